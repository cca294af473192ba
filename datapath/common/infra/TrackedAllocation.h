#pragma once
#include "MemShield.h"
#include "Types.h"

#include <limits>
#include <new>
#include <type_traits>
#include <utility>

// The tracked-allocation protocol: every heap object of the system's own classes is made and freed through these,
// naming its class, source file and line. A null pointer is never freed.

namespace tracked_detail {

// The start of the complete object, for a pointer that may be to a base subobject.
template <class T>
void* completeObject(T* p) {
    if constexpr (std::is_polymorphic_v<T>) {
        return const_cast<void*>(dynamic_cast<const volatile void*>(p));
    } else {
        return const_cast<void*>(static_cast<const volatile void*>(p));
    }
}

inline void* allocate(MemShield* shield, u64 size, const char* className, const char* file, u32 line) {
    if (shield->isEnabled()) return shield->internalAllocAndRegister(size, 0, className, file, line);
    // The header holds the length in 32 bits: a larger request would get a block shorter than asked for.
    ASSERT(size <= std::numeric_limits<u32>::max() - 8);
    u32* header = static_cast<u32*>(::operator new(size + 8));
    header[0] = static_cast<u32>(size + 8);
    header[1] = std::numeric_limits<u32>::max();
    shield->m_allocatedBytes.fetch_add(size + 8, std::memory_order_relaxed);
    return header + 2;
}

inline void freeSingle(MemShield* shield, void* whole, const char* file, u32 line) {
    if (shield->isEnabled()) {
        shield->freeAndUnregister(whole, file, line);
    } else {
        shield->freeAndCount(whole);
    }
}

}  // namespace tracked_detail

// Tracked allocation: the memory comes from the guard, then the object is built in it.
template <class T, class... Args>
T* trackedNew(const char* className, const char* file, u32 line, Args&&... args) {
    static_assert(alignof(T) <= 8, "tracked blocks are 8-byte aligned");
    MemShield* shield = MemShield::instance();
    void* memory = tracked_detail::allocate(shield, sizeof(T), className, file, line);
    try {
        return ::new (memory) T(std::forward<Args>(args)...);
    } catch (...) {
        tracked_detail::freeSingle(shield, memory, file, line);
        throw;
    }
}

// Tracked delete. In registered mode the pointer is checked before the destructor runs: a destructor run on a
// freed or foreign block would crash before the report.
template <class T>
void trackedDelete(T* p, const char* file, u32 line) {
    if (p == nullptr) return;
    MemShield* shield = MemShield::instance();
    if (shield->isEnabled()) {
        // Finding the complete object reads the object: only once it is known to lie in a live block.
        if (!shield->isInsideLiveBlock(p)) shield->verifyPtr(p, file, line);
        void* whole = tracked_detail::completeObject(p);
        shield->verifyPtr(whole, file, line);
        p->~T();
        shield->freeAndUnregister(whole, file, line);
    } else {
        void* whole = tracked_detail::completeObject(p);
        p->~T();
        shield->freeAndCount(whole);
    }
}

// Tracked array allocation of `count` items (left uninitialised) of a trivially destructible type.
template <class T>
T* trackedArrayNew(u64 count, const char* typeName, const char* file, u32 line) {
    static_assert(std::is_trivially_destructible_v<T> && std::is_trivially_default_constructible_v<T>,
                  "tracked arrays hold plain items");
    static_assert(alignof(T) <= 8, "tracked blocks are 8-byte aligned");
    return reinterpret_cast<T*>(
        MemShield::instance()->internalAllocAndCountOnlyArray(count * sizeof(T), count, typeName, file, line));
}

// Tracked array free.
template <class T>
void trackedArrayFree(T* p, const char* file, u32 line) {
    if (p == nullptr) return;
    MemShield* shield = MemShield::instance();
    if (shield->isEnabled()) {
        shield->freeAndUnregister(const_cast<void*>(static_cast<const volatile void*>(p)), file, line);
    } else {
        shield->freeAndCountArray(const_cast<void*>(static_cast<const volatile void*>(p)));
    }
}
