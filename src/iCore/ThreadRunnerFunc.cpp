#include "iCore/ThreadRunnerFunc.h"
#include "ESS/Assert.h"
#include "Platform/Thread.h"
#include "Utils/ThreadSyncEvent.h"
#include "iCore/MsgQueue.h"

namespace iCore
{

class ThreadRunnerFunc::Body : public Platform::Thread
{
public:
    Body(const std::string& name, ThreadRunnerFunc& owner) : Platform::Thread(name), m_owner(owner) {}

    // Waits here, while this object is still whole, rather than in the base destructor.
    ~Body() override { Wait(); }

private:
    void run() override { m_owner.RunBody(); }

    ThreadRunnerFunc& m_owner;
};

// ---------------------------------------------------------------------------------------------

ThreadRunnerFunc::ThreadRunnerFunc(const ThreadRunnerFuncProfile& profile, const RunFn& fn, bool* timedOut)
    : m_profile(profile), m_runFn(fn), m_creationTimeout(Timeout(profile.m_creationLimitMs, ~0u)),
      m_runTimeout(Timeout(profile.m_runLimitMs, ~0u)), m_queue(std::make_shared<detail::MsgQueue>()),
      m_finished(std::make_unique<detail::FlagEvent>()), m_threadJoined(false)
{
    ESS_ASSERT(m_runFn);
    if (timedOut)
        *timedOut = false;

    m_created = std::make_shared<Utils::ThreadSyncEvent>(!m_profile.m_noThreadChecks);
    m_thread = std::make_unique<Body>("Host" + m_profile.m_name, *this);
    m_thread->Start(m_profile.m_priority);

    if (!m_created->Wait(m_creationTimeout))
    {
        if (!timedOut)
            ESS_HALT("Creation timeout");
        *timedOut = true;
    }
}

ThreadRunnerFunc::~ThreadRunnerFunc()
{
    if (!m_threadJoined)
        ESS_ASSERT(JoinThread() && "Run timeout");
    m_thread.reset(); // waits for the thread without limit
    m_created.reset();
}

unsigned int ThreadRunnerFunc::Timeout(int value, unsigned int def)
{
    ESS_ASSERT(value >= 0);
    return value >= 1 ? static_cast<unsigned int>(value) : def;
}

void ThreadRunnerFunc::RunBody()
{
    {
        MsgThread thread(m_profile.m_name, m_queue);
        try
        {
            MsgThreadFnBlocked(thread, m_runFn);
        }
        catch (...)
        {
            detail::HaltOnEscapedException(L"iCore::ThreadRunnerFunc");
        }
        Utils::SignalEventFn(m_created);
        thread.Run();
    }
    m_finished->Set();
}

bool ThreadRunnerFunc::OnRunnerThread() const
{
    MsgThread* p = CurrentMsgThreadPtr();
    return p != nullptr && p->m_queue == m_queue;
}

bool ThreadRunnerFunc::JoinThread()
{
    ESS_ASSERT(!m_threadJoined);
    // The thread cannot wait for its own end.
    ESS_ASSERT(!OnRunnerThread());
    m_queue->RequestExit();
    const bool res = m_finished->Wait(m_runTimeout);
    m_threadJoined = true;
    return res;
}

bool ThreadRunnerFunc::WaitFinished()
{
    ESS_ASSERT(!m_threadJoined);
    ESS_ASSERT(!OnRunnerThread());
    const bool res = m_finished->Wait(m_runTimeout);
    if (res)
        m_threadJoined = true;
    return res;
}

void ThreadRunnerFunc::RequestExit()
{
    m_queue->RequestExit();
}

bool ThreadRunnerFunc::IsFinished() const
{
    return m_finished->IsSet();
}

} // namespace iCore
