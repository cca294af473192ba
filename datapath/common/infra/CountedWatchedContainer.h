#pragma once
#include "MemWatchedContainer.h"
#include "Types.h"

#include <atomic>
#include <string>

// A standard container listed by the memory report, whose item count the report reads without the owner's lock:
// the owner calls noteSize() after every change, under its own lock.
template <class T>
class CountedWatchedContainer : public T, public MemWatchedContainer {
public:
    explicit CountedWatchedContainer(const std::string& name) : T(), MemWatchedContainer(name) {
        MemWatchedContainerDatabase::instance()->registerContainer(static_cast<MemWatchedContainer*>(this));
    }
    ~CountedWatchedContainer() override {
        MemWatchedContainerDatabase::instance()->unregisterContainer(static_cast<MemWatchedContainer*>(this));
    }
    CountedWatchedContainer(const CountedWatchedContainer&) = delete;
    CountedWatchedContainer& operator=(const CountedWatchedContainer&) = delete;

    u64 size() const override { return m_count.load(std::memory_order_relaxed); }
    void noteSize() { m_count.store(T::size(), std::memory_order_relaxed); }

private:
    std::atomic<u64> m_count{0};
};
