#pragma once
#include <pthread.h>
#include <atomic>
#include <mutex>
#include <string>
#include <QMutex>
#include <QThread>
#include <boost/noncopyable.hpp>

namespace Platform
{

namespace detail
{

// name + "/" + the registered name of the calling (creating) thread.
std::string MakeThreadName(const std::string& name);

} // namespace detail

// Base of every thread the system creates: named "<name>/<creator>", registered in the
// thread-name registry while its body runs, body guarded so that an escaping exception halts
// with a report; the destructor waits for the body without a deadline.
//
// Wait joins the kernel thread (pthread_join), not only the end of the body: when it returns,
// nothing of the thread runs any more, not even the thread-specific destructors of the C library
// or Qt. A library that is unloaded right afterwards leaves no code running behind.
//
// Threads: Start, Wait and the destructor are called by the owner's thread, never by the thread
// itself.
class Thread : boost::noncopyable
{
public:
    explicit Thread(const std::string& name, unsigned int stackSize = 0);
    virtual ~Thread();

    // The priority is taken as Qt takes it on Linux: IdlePriority runs the thread under
    // SCHED_IDLE, every other value leaves the default scheduling.
    void Start(QThread::Priority priority);
    void SetPriority(QThread::Priority priority);
    // Joins the thread; at once when it was never started or is joined already.
    void Wait();

    // Asserts that the thread has entered its body.
    void* getID() const;

    // The kernel thread id (gettid) of the calling thread.
    static void* GetCurrentThreadID();

    const std::string& Name() const { return m_name; }

protected:
    // The thread body.
    virtual void run() = 0;

private:
    static void* ThreadMain(void* self);
    void ThreadEntry();

    std::string m_name;
    unsigned int m_stackSize;
    std::atomic<void*> m_id;

    std::mutex m_joinLock; // guards the members up to the blank line
    pthread_t m_handle;
    bool m_started;
    bool m_joined;
};

// The registered name of the calling thread, "" when it is not registered.
std::string CurrentThreadName();

// The id as an unsigned 64-bit decimal number.
std::string ThreadIdToString(void* id);

// Suspends the calling thread for the given milliseconds.
void SleepMs(unsigned int ms);

// Non-recursive mutex; lock()/unlock()/tryLock() are QMutex's.
class Mutex : public QMutex
{
public:
    Mutex() : QMutex(QMutex::NonRecursive) {}

    bool try_lock() { return tryLock(); }
};

// Recursive mutex (the lock type of Utils::Mutexed instances).
class MutexRecursive : public QMutex
{
public:
    MutexRecursive() : QMutex(QMutex::Recursive) {}

    bool try_lock() { return tryLock(); }
};

} // namespace Platform
