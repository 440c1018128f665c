#include "Platform/Thread.h"
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <chrono>
#include <cstdint>
#include <thread>
#include "ESS/Assert.h"
#include "ESS/HaltOnUnexpected.h"
#include "Platform/FaultSignals.h"
#include "Platform/OsTryCatch.h"
#include "Utils/ThreadNames.h"
#include "Utils/ThreadTracking.h"

namespace Platform
{

namespace
{

// What Qt does on Linux: the normal policy has a single priority, so only the idle class counts.
void ApplyPriority(pthread_t handle, QThread::Priority priority)
{
    if (priority == QThread::InheritPriority)
        return;
    sched_param param;
    param.sched_priority = 0;
    pthread_setschedparam(handle, priority == QThread::IdlePriority ? SCHED_IDLE : SCHED_OTHER, &param);
}

// The kernel keeps 15 characters of a thread's name.
void SetKernelThreadName(const std::string& name)
{
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

} // namespace

namespace detail
{

std::string MakeThreadName(const std::string& name)
{
    return name + "/" + CurrentThreadName();
}

} // namespace detail

Thread::Thread(const std::string& name, unsigned int stackSize)
    : m_name(detail::MakeThreadName(name)), m_stackSize(stackSize), m_id(nullptr), m_handle(),
      m_started(false), m_joined(false)
{
}

Thread::~Thread()
{
    // A derived class must have made its body end; otherwise this blocks while it runs.
    Wait();
}

void Thread::Start(QThread::Priority priority)
{
    std::lock_guard<std::mutex> lock(m_joinLock);
    ESS_ASSERT(!m_started && "Thread started twice");
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (m_stackSize != 0)
        pthread_attr_setstacksize(&attr, m_stackSize);
    const int rc = pthread_create(&m_handle, &attr, &Thread::ThreadMain, this);
    pthread_attr_destroy(&attr);
    ESS_ASSERT(rc == 0 && "pthread_create failed");
    m_started = true;
    ApplyPriority(m_handle, priority);
}

void Thread::SetPriority(QThread::Priority priority)
{
    std::lock_guard<std::mutex> lock(m_joinLock);
    if (m_started && !m_joined)
        ApplyPriority(m_handle, priority);
}

void Thread::Wait()
{
    std::lock_guard<std::mutex> lock(m_joinLock);
    if (!m_started || m_joined)
        return;
    ESS_ASSERT(!pthread_equal(m_handle, pthread_self()) && "A thread cannot wait for itself");
    pthread_join(m_handle, nullptr);
    m_joined = true;
}

void* Thread::ThreadMain(void* self)
{
    static_cast<Thread*>(self)->ThreadEntry();
    return nullptr;
}

void* Thread::getID() const
{
    ESS_ASSERT(m_id != 0);
    return m_id;
}

void* Thread::GetCurrentThreadID()
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(::syscall(SYS_gettid)));
}

void Thread::ThreadEntry()
{
    // A fault on this thread (a stack overflow too) needs stack room for its report.
    AltSignalStackScope altStack;
    // Like a module's thread-attach notification: before the name is known.
    const bool tracked = Utils::detail::ThreadTrackingAttach();

    SetKernelThreadName(m_name);
    void* const id = GetCurrentThreadID();
    m_id = id;
    Utils::ThreadNames::Instance().Register(id, m_name);

    const std::wstring label = L"Platform::Thread";
    {
        auto body = Utils::MakeExecuter([this] { run(); });
        std::unique_ptr<Utils::ExceptionInfo> info = OsTryCatch(body, enOsTCTDefault);
        if (info)
            ESS::HaltOnUnexpected(*info, label);
    }

    Utils::ThreadNames::Instance().Unregister(id);
    // The thread-detach notification, after the name is gone.
    if (tracked)
        Utils::detail::ThreadTrackingDetach();
}

std::string CurrentThreadName()
{
    return Utils::ThreadNames::InstancePtr()->GetName(Thread::GetCurrentThreadID());
}

std::string ThreadIdToString(void* id)
{
    // Not a stream: a stream copies the global locale, under a lock, when the host has set one.
    return std::to_string(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(id)));
}

void SleepMs(unsigned int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace Platform
