#include "Platform/Thread.h"
#include <sys/syscall.h>
#include <unistd.h>
#include <chrono>
#include <cstdint>
#include <sstream>
#include <thread>
#include <QDeadlineTimer>
#include "ESS/Assert.h"
#include "ESS/HaltOnUnexpected.h"
#include "Platform/FaultSignals.h"
#include "Platform/OsTryCatch.h"
#include "Utils/ThreadNames.h"
#include "Utils/ThreadTracking.h"

namespace Platform
{

namespace detail
{

ThreadImpl::ThreadImpl(IThreadBody* owner) : QThread(nullptr), m_owner(owner) {}

ThreadImpl::~ThreadImpl()
{
    wait(QDeadlineTimer(QDeadlineTimer::Forever));
}

void ThreadImpl::run()
{
    m_owner->ThreadEntry();
}

std::string MakeThreadName(const std::string& name)
{
    return name + "/" + CurrentThreadName();
}

} // namespace detail

Thread::Thread(const std::string& name, unsigned int stackSize)
    : m_name(detail::MakeThreadName(name)), m_impl(this), m_id(nullptr)
{
    // Qt gives the kernel thread this name (cut to 15 characters), so gdb and top show it.
    m_impl.setObjectName(QString::fromStdString(m_name));
    if (stackSize != 0)
        m_impl.setStackSize(stackSize);
}

Thread::~Thread()
{
    // A derived class must have made its body end; otherwise this blocks while it runs.
    m_impl.wait(QDeadlineTimer(QDeadlineTimer::Forever));
}

void Thread::Start(QThread::Priority priority)
{
    m_impl.start(priority);
}

void Thread::SetPriority(QThread::Priority priority)
{
    m_impl.setPriority(priority);
}

void Thread::Wait()
{
    m_impl.wait(QDeadlineTimer(QDeadlineTimer::Forever));
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
    std::ostringstream s;
    s << static_cast<uint64_t>(reinterpret_cast<uintptr_t>(id));
    return s.str();
}

void SleepMs(unsigned int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace Platform
