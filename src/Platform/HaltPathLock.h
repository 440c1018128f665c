#pragma once
#include <chrono>
#include <cstdio>

// Locks on the halt path. A thread stopped by a fault may hold a lock for good, so the halt path
// (a fault analysed or reported, a halt under way on this thread) only tries the locks it needs:
// for a short while at first, and without waiting once a try of the same halt has failed for that
// lock. A halt that writes many lines past a held lock thus waits for it once, not once a line.
//
// Threads: any. The failed tries are kept for the whole process: halts are serialised, and faults
// are reported one at a time.
namespace Platform
{

// The short while.
const std::chrono::milliseconds c_haltPathLockWait(100);

// True while this thread analyses or reports a fault, or halts.
bool OnHaltPath() noexcept;

// How long to try `lock` for: `wait`, or nothing when a try for it has failed on the halt path
// since the halt began.
std::chrono::milliseconds HaltPathWait(const void* lock,
                                       std::chrono::milliseconds wait = c_haltPathLockWait) noexcept;

// Notes, on the halt path, that `lock` did not come in time.
void NoteHaltPathMiss(const void* lock) noexcept;

// A fault's report or a halt begins: every lock gets its wait again.
void BeginHaltPath() noexcept;

// try_lock_for with the wait above; false when the lock did not come.
template <class TimedLockable>
bool TryLockForHaltPath(TimedLockable& lock, std::chrono::milliseconds wait = c_haltPathLockWait)
{
    if (lock.try_lock_for(HaltPathWait(&lock, wait)))
        return true;
    NoteHaltPathMiss(&lock);
    return false;
}

// Off the halt path waits for `lock`; on it, tries it as TryLockForHaltPath does.
template <class TimedLockable>
bool LockBoundedOnHaltPath(TimedLockable& lock, std::chrono::milliseconds wait = c_haltPathLockWait)
{
    if (OnHaltPath())
        return TryLockForHaltPath(lock, wait);
    lock.lock();
    return true;
}

// The same as TryLockForHaltPath for a C stream's lock (ftrylockfile); unlock with funlockfile.
bool TryLockStreamForHaltPath(FILE* stream) noexcept;

} // namespace Platform
