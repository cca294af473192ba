#pragma once
#include "Mutex.h"

#include <atomic>

// Lazily created process-wide instance of T, made as an Impl on first use and never destroyed.
template <class T, class Impl = T>
class Singleton {
public:
    static T* instance() {
        T* p = s_instance.load(std::memory_order_acquire);
        if (p) return p;
        ScopedLock lock(s_mutex.get());
        p = s_instance.load(std::memory_order_relaxed);
        if (!p) {
            p = new Impl();  // plain allocation; a throwing constructor frees it and leaves the pointer null
            s_instance.store(p, std::memory_order_release);
        }
        return p;
    }

protected:
    Singleton() = default;
    // Never destroyed: writer and worker threads outlive main, and one may reach its first use while the process
    // runs its exit-time destructors.
    static inline NeverDestroyed<Mutex> s_mutex;

private:
    static inline std::atomic<T*> s_instance{nullptr};
};
