#pragma once
// The process's locks: the platform's slim reader/writer lock, always taken
// exclusively, and a guard that holds one for the rest of a scope.
//
// Each lock is a process-wide global initialised with SRWLOCK_INIT: usable
// from the first instruction, with nothing to create or delete and no call
// that can fail. A lock is not recursive: a thread that holds one must not
// take it again.

#include "tolvane.h"

using Lock = SRWLOCK;

class LockGuard {
public:
    explicit LockGuard(Lock &lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~LockGuard() { ReleaseSRWLockExclusive(&lock_); }
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;

private:
    Lock &lock_;
};
