// Slim reader/writer locks: one pointer-sized word, all zero when free, so a static one is constant-initialised.
#pragma once

typedef unsigned char BOOLEAN;

typedef struct _RTL_SRWLOCK {
    void* Ptr;
} SRWLOCK, *PSRWLOCK;

#define SRWLOCK_INIT {0}

void InitializeSRWLock(PSRWLOCK lock);
void AcquireSRWLockExclusive(PSRWLOCK lock);
void ReleaseSRWLockExclusive(PSRWLOCK lock);
BOOLEAN TryAcquireSRWLockExclusive(PSRWLOCK lock);
void AcquireSRWLockShared(PSRWLOCK lock);
void ReleaseSRWLockShared(PSRWLOCK lock);
BOOLEAN TryAcquireSRWLockShared(PSRWLOCK lock);
