#pragma once
#include "Logger.h"
#include "Mutex.h"
#include "RcStatus.h"
#include "Types.h"

#include <memory>

namespace FutureInternal {

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
};

// A shared handle to one value that a thread sets once; copies share it.
template <class T>
class Future {
public:
    Future() : m_rep(std::make_shared<FutureRep<T>>()) {}

    void set(T value) {
        // The rep outlives the call even when every other handle goes meanwhile.
        std::shared_ptr<FutureRep<T>> tempSmartPtr = m_rep;
        ScopedLock lock(&tempSmartPtr->m_mutex);
        ASSERT(!tempSmartPtr->m_bSet);
        tempSmartPtr->m_bSet = true;
        tempSmartPtr->m_value = value;
        tempSmartPtr->m_pending.unlock();
    }

    bool isSet() const {
        ScopedLock lock(&m_rep->m_mutex);
        return m_rep->m_bSet;
    }

private:
    std::shared_ptr<FutureRep<T>> m_rep;
};

}  // namespace FutureInternal
