#pragma once
#include "Semaphore.h"

#include <windows.h>

class IMutex {
public:
    constexpr IMutex() noexcept = default;
    virtual void lock() = 0;
    virtual void unlock() = 0;
    virtual ~IMutex() = default;
};

// Plain, non-recursive lock: a slim reader/writer lock taken exclusively. The constexpr constructor makes static
// instances constant-initialised (the lock is all zero when free), so every singleton's lock exists before any
// static initialiser of another file can ask for the singleton; the runtime's std::mutex cannot promise that.
class Mutex : public IMutex {
public:
    constexpr Mutex() noexcept = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock() override { AcquireSRWLockExclusive(&m_lock); }
    void unlock() override { ReleaseSRWLockExclusive(&m_lock); }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

// A lock without an owning thread: one thread may take it and another release it.
class UnownedMutex : public IMutex {
public:
    UnownedMutex() : m_semaphore(1) {}
    void lock() override { m_semaphore.wait(); }
    void unlock() override { m_semaphore.post(); }

private:
    Semaphore m_semaphore;
};

// Holds a T that is constructed like a static (constant-initialised when T's constructor is constexpr) and never
// destroyed.
template <class T>
class NeverDestroyed {
public:
    constexpr NeverDestroyed() noexcept : m_value() {}
    ~NeverDestroyed() {}
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;
    T* get() { return &m_value; }

private:
    union {
        T m_value;
    };
};

class ScopedLock {
public:
    explicit ScopedLock(IMutex* mutex) : m_mutex(mutex) { m_mutex->lock(); }
    explicit ScopedLock(IMutex& mutex) : ScopedLock(&mutex) {}
    ~ScopedLock() { m_mutex->unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    IMutex* m_mutex;
};
