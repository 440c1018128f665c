#include "iCore/MsgThread.h"
#include <algorithm>
#include <sstream>
#include <boost/make_shared.hpp>
#include "ESS/Assert.h"
#include "ESS/HaltOnUnexpected.h"
#include "Platform/Thread.h"
#include "Utils/DelayInit.h"
#include "Utils/Locker.h"
#include "iCore/MsgObject.h"
#include "iCore/MsgQueue.h"

namespace iCore
{

namespace
{

thread_local MsgThread* t_current = nullptr;

// Process-wide count of live message objects, next to the per-thread counts.
struct LifeCounter
{
    Utils::LockerMutex lock;
    int64_t live = 0;
};

// Never destroyed: message objects of detached threads may still count down during exit.
LifeCounter& Counter()
{
    static LifeCounter* const p = new LifeCounter();
    return *p;
}

// Made at start-up among the other deferred initialisers rather than on a message thread.
Utils::DelayInitRegistrar g_counterInit([] { Counter(); }, 0);

void CountObject(int delta)
{
    LifeCounter& c = Counter();
    Utils::Locker lock(c.lock);
    c.live += delta;
}

} // namespace

namespace detail
{

void HaltOnEscapedException(const wchar_t* where)
{
    try
    {
        throw;
    }
    catch (const std::exception& e)
    {
        ESS::HaltOnUnexpected(Utils::MakeExceptionInfo(e), where);
    }
    catch (...)
    {
        Utils::ExceptionInfo info;
        info.text = L"unknown exception";
        ESS::HaltOnUnexpected(info, where);
    }
}

} // namespace detail

// ---------------------------------------------------------------------------------------------

MsgThread::MsgThread(const std::string& name) : MsgThread(name, std::make_shared<detail::MsgQueue>()) {}

MsgThread::MsgThread(const std::string& name, const std::shared_ptr<detail::MsgQueue>& queue)
    : m_name(name), m_queue(queue), m_ownerThreadId(Platform::Thread::GetCurrentThreadID()), m_running(true),
      m_loopDone(false), m_tornDown(false), m_liveObjects(0), m_batch(std::make_unique<detail::MsgList>())
{
    // One message thread per OS thread: CurrentMsgThread must be unambiguous.
    ESS_ASSERT(t_current == nullptr);
    t_current = this;
}

MsgThread::~MsgThread()
{
    ESS_ASSERT(m_ownerThreadId == Platform::Thread::GetCurrentThreadID());
    Teardown();
    t_current = nullptr;
}

bool MsgThread::InCurrentThreadContext() const
{
    return t_current == this;
}

void MsgThread::AssertContext() const
{
    if (!InCurrentThreadContext())
        ESS_ASSERT(false && "Not in thread context");
}

void MsgThread::RequestExit()
{
    // Once the flag is set the loop may end and the thread destroy this object, and with it the
    // queue, while the wake-up is still being sent: the call keeps the queue alive itself.
    const std::shared_ptr<detail::MsgQueue> queue = m_queue;
    queue->RequestExit();
}

Utils::ThreadContext MsgThread::CreateContext()
{
    std::shared_ptr<detail::MsgQueue> queue = m_queue;
    return Utils::ThreadContext([queue](const boost::function<void()>& fn, int delayMs)
                                { queue->PostFunction(fn, delayMs); },
                                InCurrentThreadContext(), boost::optional<void*>(m_ownerThreadId));
}

void MsgThread::Run()
{
    ESS_ASSERT(m_ownerThreadId == Platform::Thread::GetCurrentThreadID());
    ESS_ASSERT(!m_loopDone);
    // Halted here, before unwinding would tear the thread down and report the leftovers instead.
    try
    {
        RunLoop();
    }
    catch (...)
    {
        detail::HaltOnEscapedException(L"iCore::MsgThread");
    }
    m_loopDone = true;
    Teardown();
}

void MsgThread::RunLoop()
{
    detail::MsgQueue& q = *m_queue;
    for (;;)
    {
        {
            std::unique_lock<std::mutex> lock(q.m_mutex);
            for (;;)
            {
                if (q.ExitRequested())
                    return;
                CollectDueLocked(detail::Clock::now());
                if (!m_due.empty() || !q.m_list.Empty())
                    break;
                q.m_waiting = true;
                if (q.m_timers.Empty())
                    q.m_cond.wait(lock);
                else
                    q.m_cond.wait_until(lock, q.m_timers.Top()->deadline);
                q.m_waiting = false;
            }
            // Everything queued so far; later posts (also those made by these messages) wait for
            // the next round, so the order of posting is kept.
            m_batch->Append(q.m_list);
        }

        DispatchDue();

        while (!q.ExitRequested())
        {
            MsgBase* p = m_batch->PopFront();
            if (!p)
                break;
            if (MsgObject* target = detail::MsgList::TargetOf(p))
                target->m_token->pending.fetch_sub(1, std::memory_order_relaxed);
            p->Execute();
            delete p;
        }
    }
}

void MsgThread::CollectDueLocked(detail::Clock::time_point now)
{
    detail::TimerHeap& heap = m_queue->m_timers;
    while (!heap.Empty() && heap.Top()->deadline <= now)
    {
        detail::TimerRec* r = heap.Top();
        heap.Remove(r);
        r->inDispatch = true;
        m_due.emplace_back(r, r->generation);
        if (r->periodMs > 0)
        {
            // Ticks missed while the thread was busy are skipped, so a slow callback cannot keep
            // the loop in timers and starve the messages.
            detail::Clock::time_point next = r->deadline + std::chrono::milliseconds(r->periodMs);
            if (next <= now)
                next = now + std::chrono::milliseconds(r->periodMs);
            heap.Insert(r, next);
        }
    }
}

void MsgThread::DispatchDue()
{
    // A callback may stop, restart or destroy any timer of this round, its own included: each one
    // is checked right before it runs, and records are freed only here.
    for (size_t i = 0; i < m_due.size(); ++i)
    {
        detail::TimerRec* r = m_due[i].first;
        const bool run = !r->orphan && r->generation == m_due[i].second && !m_queue->ExitRequested();
        if (run)
        {
            if (r->periodMs == 0)
                r->active = false;
            r->fn();
        }
        FinishDispatch(r, run);
    }
    m_due.clear();
}

void MsgThread::FinishDispatch(detail::TimerRec* r, bool ran)
{
    r->inDispatch = false;
    if (r->orphan)
    {
        delete r;
        return;
    }
    switch (r->kind)
    {
    case detail::TimerRec::kContext:
        delete r;
        break;
    case detail::TimerRec::kDelayed:
        if (ran && r->periodMs == 0)
        {
            r->owner->UnlinkDelayed(r);
            delete r;
        }
        break;
    case detail::TimerRec::kTimer:
        break;
    }
}

void MsgThread::Teardown()
{
    if (m_tornDown)
        return;
    m_tornDown = true;
    m_running.store(false, std::memory_order_release);

    // Objects owned by the thread, newest first; each one unregisters itself.
    while (!m_owned.empty())
        delete m_owned.back();

    detail::MsgList rest;
    std::vector<detail::TimerRec*> timers;
    {
        std::lock_guard<std::mutex> lock(m_queue->m_mutex);
        m_queue->m_closed = true;
        rest.Append(*m_batch);
        rest.Append(m_queue->m_list);
        timers = m_queue->m_timers.TakeAll();
    }
    while (MsgBase* p = rest.PopFront())
    {
        if (MsgObject* target = detail::MsgList::TargetOf(p))
            target->m_token->pending.fetch_sub(1, std::memory_order_relaxed);
        delete p;
    }
    // Records of timers and delayed calls stay with their owners; only the thread's own go.
    for (detail::TimerRec* r : timers)
        if (r->kind == detail::TimerRec::kContext)
            delete r;

    if (m_liveObjects != 0)
    {
        std::ostringstream report;
        report << "MsgThread " << m_name << ": " << m_liveObjects
               << " message object(s) not destroyed at thread exit";
        ESS_HALT(report.str());
    }
}

void MsgThread::AddObject(MsgObject* p, bool ownedByThread)
{
    ++m_liveObjects;
    if (ownedByThread)
        m_owned.push_back(p);
    CountObject(1);
}

void MsgThread::RemoveObject(MsgObject* p, bool ownedByThread)
{
    --m_liveObjects;
    if (ownedByThread)
    {
        auto i = std::find(m_owned.rbegin(), m_owned.rend(), p);
        ESS_ASSERT(i != m_owned.rend());
        m_owned.erase(std::next(i).base());
    }
    CountObject(-1);
}

// ---------------------------------------------------------------------------------------------

MsgThread* CurrentMsgThreadPtr()
{
    return t_current;
}

MsgThread& CurrentMsgThread()
{
    MsgThread* pThread = t_current;
    ESS_ASSERT(pThread != 0);
    return *pThread;
}

bool MsgThreadFnBlocked(MsgThread& thread, const boost::function<void(MsgThread&)>& fn)
{
    ESS_ASSERT(fn);
    if (thread.InCurrentThreadContext())
    {
        fn(thread);
        return true;
    }

    // The flag is set when the posted function is destroyed, whether it ran or was dropped at the
    // thread's end, so the caller never waits for a function that can no longer run.
    struct Call
    {
        std::shared_ptr<detail::FlagEvent> done = std::make_shared<detail::FlagEvent>();
        std::shared_ptr<bool> ran = std::make_shared<bool>(false);
    } call;

    struct Guard
    {
        explicit Guard(std::shared_ptr<detail::FlagEvent> d) : done(std::move(d)) {}
        ~Guard() { done->Set(); }
        std::shared_ptr<detail::FlagEvent> done;
    };
    auto guard = std::make_shared<Guard>(call.done);

    MsgThread* pThread = &thread;
    std::shared_ptr<bool> ran = call.ran;
    boost::function<void(MsgThread&)> f = fn;
    // The function may end the loop, and the thread destroy itself and its queue, before the
    // posting call has finished waking it.
    const std::shared_ptr<detail::MsgQueue> queue = thread.m_queue;
    queue->PostFunction(
        [guard, ran, f, pThread]() mutable
        {
            f(*pThread);
            *ran = true;
            guard.reset();
        },
        0);
    guard.reset();
    call.done->Wait(~0u);
    return *call.ran;
}

int64_t LiveMsgObjectCount()
{
    LifeCounter& c = Counter();
    Utils::Locker lock(c.lock);
    return c.live;
}

} // namespace iCore
