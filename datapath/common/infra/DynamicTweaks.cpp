// Interim cache: the one field the file logger needs; the full table comes with the tweak files.
#include "DynamicTweaks.h"

#include "Tweaks.h"

DynamicTweaks::DynamicTweaks() { update(); }

void DynamicTweaks::update() {
    t_disableLogMemoryAllocationTracking.store(
        Tweaks::instance()->longVal("t_disableLogMemoryAllocationTracking", TweakDefault<i64>(0)) != 0,
        std::memory_order_relaxed);
}
