#include "Semaphore.h"

#include <chrono>

void Semaphore::post() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_count;
    m_cv.notify_one();
}

void Semaphore::wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return m_count != 0; });
    --m_count;
}

bool Semaphore::timedWait(u32 milliseconds) {
    // One deadline for the whole call: spurious wake-ups neither shorten nor restart the wait.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_until(lock, deadline, [this] { return m_count != 0; })) return false;
    --m_count;
    return true;
}
