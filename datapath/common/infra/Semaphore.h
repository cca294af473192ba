#pragma once
#include "Types.h"

#include <condition_variable>
#include <mutex>

// Counting semaphore. post() may come from any thread, also before the matching wait().
class Semaphore {
public:
    explicit Semaphore(u32 initialCount = 0) : m_count(initialCount) {}
    virtual ~Semaphore() = default;
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    virtual void post();
    virtual void wait();
    // True when a count was taken within `milliseconds` (measured on the steady clock from the call).
    virtual bool timedWait(u32 milliseconds);

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    u32 m_count;
};
