#pragma once
#include <atomic>
#include <string>
#include <QMutex>
#include <QThread>
#include <boost/noncopyable.hpp>
#include "Utils/IBasicInterface.h"

namespace Platform
{

namespace detail
{

// What the implementation thread calls on its new thread.
class IThreadBody : public Utils::IBasicInterface
{
public:
    virtual void ThreadEntry() = 0;
};

// The Qt thread under a Platform::Thread; it only forwards into its owner.
class ThreadImpl : public QThread
{
public:
    explicit ThreadImpl(IThreadBody* owner);
    ~ThreadImpl() override;

private:
    void run() override;

    IThreadBody* m_owner;
};

// name + "/" + the registered name of the calling (creating) thread.
std::string MakeThreadName(const std::string& name);

} // namespace detail

// Base of every thread the system creates: named "<name>/<creator>", registered in the
// thread-name registry while its body runs, body guarded so that an escaping exception halts
// with a report; the destructor waits for the body without a deadline.
class Thread : public detail::IThreadBody, boost::noncopyable
{
public:
    explicit Thread(const std::string& name, unsigned int stackSize = 0);
    ~Thread() override;

    void Start(QThread::Priority priority);
    void SetPriority(QThread::Priority priority);
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
    void ThreadEntry() override;

    std::string m_name;
    detail::ThreadImpl m_impl;
    std::atomic<void*> m_id;
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
