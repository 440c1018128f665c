#include "iCore/MsgObject.h"
#include "ESS/Assert.h"
#include "iCore/MsgQueue.h"

namespace iCore
{

bool MsgPostTarget::Put(std::unique_ptr<MsgBase> msg) const
{
    ESS_ASSERT(msg);
    ESS_ASSERT(m_token);
    return m_token->queue->Post(*m_token, std::move(msg));
}

// ---------------------------------------------------------------------------------------------

MsgObject::MsgObject(ThreadOwnershipMode mode) : m_thread(&CurrentMsgThread()), m_mode(mode)
{
    Bind();
}

MsgObject::MsgObject(MsgThread& thread, ThreadOwnershipMode mode) : m_thread(&thread), m_mode(mode)
{
    Bind();
}

void MsgObject::Bind()
{
    ESS_ASSERT(m_thread->IsRunning());
    m_thread->AssertContext();
    m_token = std::make_shared<detail::ObjectToken>(m_thread->m_queue, this);
    m_thread->AddObject(this, m_mode == OwnedByThread);
}

MsgObject::~MsgObject()
{
    // The destroy handshake: from "requested" on, foreign posts are dropped and own-thread posts
    // halt; every queued message and pending delayed call of the object goes; then "processed".
    MsgThread& thread = *m_thread;
    thread.AssertContext();
    detail::ObjectToken& token = *m_token;
    detail::MsgQueue& queue = *token.queue;

    detail::MsgList dropped;
    size_t found = 0;
    detail::TimerRec* delayed = m_delayed;
    m_delayed = nullptr;
    {
        std::lock_guard<std::mutex> lock(queue.m_mutex);
        token.state = detail::ObjectToken::stDestroyRequested;
        if (token.pending.load(std::memory_order_relaxed) > 0)
            found = queue.m_list.Extract(this, dropped);
        for (detail::TimerRec* r = delayed; r; r = r->next)
            queue.m_timers.Remove(r);
    }
    // The rest sits in the batch the loop has in hand (only this thread touches it).
    if (static_cast<size_t>(token.pending.load(std::memory_order_relaxed)) > found)
        thread.m_batch->Extract(this, dropped);
    token.pending.store(0, std::memory_order_relaxed);

    // Destroying a message may run user code (its parameter's destructor), so no lock is held.
    while (MsgBase* p = dropped.PopFront())
        delete p;

    while (delayed)
    {
        detail::TimerRec* r = delayed;
        delayed = r->next;
        r->prev = r->next = nullptr;
        r->owner = nullptr;
        // A call that the loop is dispatching right now is freed by the loop.
        if (r->inDispatch)
            r->orphan = true;
        else
            delete r;
    }

    {
        std::lock_guard<std::mutex> lock(queue.m_mutex);
        token.state = detail::ObjectToken::stDestroyProcessed;
    }
    thread.RemoveObject(this, m_mode == OwnedByThread);
}

void MsgObject::PutMsgToThread(std::unique_ptr<MsgBase> msg, bool /*urgent*/)
{
    ESS_ASSERT(msg);
    m_token->queue->Post(*m_token, std::move(msg));
}

void MsgObject::PutMsgToThread(MsgBase* pMsg, bool urgent)
{
    ESS_ASSERT(pMsg);
    PutMsgToThread(std::unique_ptr<MsgBase>(pMsg), urgent);
}

void MsgObject::RunDelayed(const boost::function<void()>& fn, int delayMs, bool periodic)
{
    ESS_ASSERT(delayMs > 0);
    ESS_ASSERT(fn);
    m_thread->AssertContext();

    detail::TimerRec* r = new detail::TimerRec(detail::TimerRec::kDelayed, fn, periodic ? delayMs : 0);
    r->owner = this;
    r->next = m_delayed;
    if (m_delayed)
        m_delayed->prev = r;
    m_delayed = r;
    m_token->queue->Arm(r, delayMs);
}

void MsgObject::UnlinkDelayed(detail::TimerRec* r)
{
    if (r->prev)
        r->prev->next = r->next;
    else
        m_delayed = r->next;
    if (r->next)
        r->next->prev = r->prev;
    r->prev = r->next = nullptr;
}

} // namespace iCore
