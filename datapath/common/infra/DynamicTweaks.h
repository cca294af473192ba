#pragma once
#include "Singleton.h"
#include "Types.h"

#include <atomic>

// Cached copy of frequently read tweaks, refreshed in place after every tweak change; reads take no lock.
class DynamicTweaks : public Singleton<DynamicTweaks> {
public:
    DynamicTweaks();
    void update();

    std::atomic<bool> t_disableLogMemoryAllocationTracking{false};
};
