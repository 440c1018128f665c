#include "iCore/MsgTimerEx.h"
#include "ESS/Assert.h"
#include "iCore/MsgQueue.h"

namespace iCore
{

MsgTimerEx::MsgTimerEx() : m_thread(&CurrentMsgThread()) {}

MsgTimerEx::MsgTimerEx(MsgThread& thread) : m_thread(&thread)
{
    m_thread->AssertContext();
}

MsgTimerEx::~MsgTimerEx()
{
    if (!m_rec)
        return;
    getMsgThread().AssertContext();
    getMsgThread().m_queue->Disarm(m_rec);
    // Due in this round or firing right now: the loop frees it once it is done with it.
    if (m_rec->inDispatch)
        m_rec->orphan = true;
    else
        delete m_rec;
}

void MsgTimerEx::Start(const boost::function<void()>& fn, int ms, bool periodic)
{
    ESS_ASSERT(getMsgThread().InCurrentThreadContext());
    ESS_ASSERT(fn);
    Stop();
    if (ms <= 0 || ms > c_maxArmMs)
        return;

    // The record in dispatch still holds the function that may be running now: leave it to the
    // loop and take a fresh one.
    if (m_rec && m_rec->inDispatch)
    {
        m_rec->orphan = true;
        m_rec = nullptr;
    }
    if (m_rec)
        m_rec->fn = fn;
    else
        m_rec = new detail::TimerRec(detail::TimerRec::kTimer, fn, 0);
    m_rec->periodMs = periodic ? ms : 0;
    getMsgThread().m_queue->Arm(m_rec, ms);
}

bool MsgTimerEx::IsActive() const
{
    return m_rec != nullptr && m_rec->active;
}

void MsgTimerEx::Stop()
{
    if (!m_rec)
        return;
    getMsgThread().AssertContext();
    getMsgThread().m_queue->Disarm(m_rec);
    // A callback of this run collected as due in the current round is skipped by this.
    ++m_rec->generation;
}

} // namespace iCore
