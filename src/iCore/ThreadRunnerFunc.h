#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <QThread>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include "Utils/IBasicInterface.h"
#include "iCore/MsgThread.h"

namespace Utils
{
class ThreadSyncEvent;
}

namespace iCore
{

namespace detail
{
class MsgQueue;
class FlagEvent;
} // namespace detail

// Settings of a ThreadRunnerFunc.
struct ThreadRunnerFuncProfile
{
    ThreadRunnerFuncProfile() = default;
    // The priority is a QThread::Priority value (2 = LowPriority).
    ThreadRunnerFuncProfile(int32_t kind, const std::string& name, int priority, int32_t creationLimitMs,
                            int32_t runLimitMs, bool noThreadChecks)
        : m_kind(kind), m_name(name), m_priority(static_cast<QThread::Priority>(priority)),
          m_creationLimitMs(creationLimitMs), m_runLimitMs(runLimitMs), m_noThreadChecks(noThreadChecks)
    {
    }

    int32_t m_kind = 0;
    std::string m_name;
    QThread::Priority m_priority = QThread::InheritPriority;
    int32_t m_creationLimitMs = 0; // 0: no limit
    int32_t m_runLimitMs = 0;      // 0: no limit
    bool m_noThreadChecks = false; // the creation event is made without thread checks
};

// Runs a message thread: a Platform::Thread named "Host" + the profile's name makes a MsgThread
// under the profile's name, runs fn with it and only then lets the constructor return; afterwards
// the thread runs its message loop until MsgThread::RequestExit.
//
// Destroying the runner asks the thread to exit and joins it. A thread that is to end by itself
// is waited for with WaitFinished before the runner is destroyed.
class ThreadRunnerFunc : public Utils::IVirtualDestroy, boost::noncopyable
{
public:
    typedef boost::function<void(MsgThread&)> RunFn;

    // With timedOut given, a creation time-out sets it; without, it halts ("Creation timeout").
    ThreadRunnerFunc(const ThreadRunnerFuncProfile& profile, const RunFn& fn, bool* timedOut = nullptr);
    ~ThreadRunnerFunc() override;

    // The limit when it is 1 or more, else def; a negative limit is fatal.
    static unsigned int Timeout(int value, unsigned int def);

    // Asks the thread to exit and waits for it for the run limit; false after a time-out. Once only.
    bool JoinThread();

    // Waits for the thread to end by itself, for the run limit; false after a time-out. After a
    // true result the runner counts as joined.
    bool WaitFinished();

    // Any thread: the message loop leaves after the message in hand.
    void RequestExit();

    // True once the thread body has finished.
    bool IsFinished() const;

    const ThreadRunnerFuncProfile& Profile() const { return m_profile; }

private:
    class Body;

    void RunBody();
    bool OnRunnerThread() const;

    const ThreadRunnerFuncProfile m_profile;
    const RunFn m_runFn;
    const unsigned int m_creationTimeout;
    const unsigned int m_runTimeout;
    const std::shared_ptr<detail::MsgQueue> m_queue;
    std::shared_ptr<Utils::ThreadSyncEvent> m_created;
    std::unique_ptr<detail::FlagEvent> m_finished;
    std::unique_ptr<Body> m_thread;
    bool m_threadJoined;
};

} // namespace iCore
