#pragma once
#include "Logger.h"
#include "Mutex.h"
#include "RcStatus.h"
#include "TrackedAllocation.h"
#include "Types.h"

#include <list>
#include <memory>

namespace FutureInternal {

// Told the value of a future once it is set.
template <class T>
class FutureObserver {
public:
    virtual ~FutureObserver() = default;
    virtual void update(T value) = 0;
};

template <class T>
struct FutureRep {
    FutureRep() { m_pending.lock(); }

    // Held from creation until the value is set, so a thread that takes it waits for the value. It has no owner:
    // the setting thread releases what the creating thread took.
    UnownedMutex m_pending;
    // Guards the fields below.
    Mutex m_mutex;
    T m_value{};
    bool m_bSet = false;
    std::list<FutureObserver<T>*> m_observers;  // not owned
};

// A shared handle to one value that a thread sets once; copies share it. Setting it releases every waiter and
// tells the observers in the order they were added, on the setting thread, under the rep's lock.
template <class T>
class Future {
public:
    Future()
        : m_rep(trackedNew<FutureRep<T>>("FutureRep<T>", __FILE__, __LINE__),
                [](FutureRep<T>* rep) { trackedDelete(rep, __FILE__, __LINE__); }) {}

    void set(T value) {
        // The rep outlives the call even when an observer drops every other handle; declared before the lock, so
        // the lock goes first.
        std::shared_ptr<FutureRep<T>> tempSmartPtr = m_rep;
        ScopedLock lock(&tempSmartPtr->m_mutex);
        ASSERT(!tempSmartPtr->m_bSet);
        tempSmartPtr->m_bSet = true;
        tempSmartPtr->m_value = value;
        tempSmartPtr->m_pending.unlock();
        for (FutureObserver<T>* observer : tempSmartPtr->m_observers) observer->update(value);
    }

    bool isSet() const {
        ScopedLock lock(&m_rep->m_mutex);
        return m_rep->m_bSet;
    }

    // Blocks until the value is set and returns it. The pending lock is given back at once, so every waiter
    // passes.
    T wait() const {
        m_rep->m_pending.lock();
        m_rep->m_pending.unlock();
        ScopedLock lock(&m_rep->m_mutex);
        return m_rep->m_value;
    }

    // Told at once when the value is set already, else at the set.
    void addObserver(FutureObserver<T>* observer) {
        ScopedLock lock(&m_rep->m_mutex);
        if (m_rep->m_bSet) {
            observer->update(m_rep->m_value);
        } else {
            m_rep->m_observers.push_back(observer);
        }
    }

    // In one step under the rep's lock: true with the value when it is set, else the observer is added (and told
    // at the set) and false.
    bool getValueOrAddObserver(T& value, FutureObserver<T>* observer) {
        ScopedLock lock(&m_rep->m_mutex);
        if (m_rep->m_bSet) {
            value = m_rep->m_value;
            return true;
        }
        m_rep->m_observers.push_back(observer);
        return false;
    }

private:
    std::shared_ptr<FutureRep<T>> m_rep;
};

}  // namespace FutureInternal
