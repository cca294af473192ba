#pragma once
#include "Types.h"

#include <utility>

// The tracked-allocation protocol: every heap object of the system's own classes is made and freed through these,
// naming its class, source file and line. Until the tracked allocator exists they use the plain heap.
template <class T, class... Args>
T* trackedNew(const char* /*className*/, const char* /*file*/, u32 /*line*/, Args&&... args) {
    return new T(std::forward<Args>(args)...);
}

template <class T>
void trackedDelete(T* p, const char* /*file*/, u32 /*line*/) {
    delete p;
}

template <class T>
T* trackedArrayNew(u64 count, const char* /*typeName*/, const char* /*file*/, u32 /*line*/) {
    return new T[count];
}

template <class T>
void trackedArrayFree(T* p, const char* /*file*/, u32 /*line*/) {
    delete[] p;
}
