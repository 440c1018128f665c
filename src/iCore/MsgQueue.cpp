#include "iCore/MsgQueue.h"
#include <atomic>
#include "ESS/Assert.h"
#include "iCore/MsgObject.h"
#include "iCore/MsgThread.h"

namespace iCore
{
namespace detail
{

namespace
{

std::atomic<int64_t> g_droppedMsgs{0};
std::atomic<DroppedMsgReporter> g_droppedReporter{nullptr};

// Functions of the thread itself, posted through thread contexts.
class FnMsg : public MsgBase
{
public:
    explicit FnMsg(const boost::function<void()>& fn) : m_fn(fn) {}

    void Execute() override { m_fn(); }
    std::string Info() const override { return "Msg thread function"; }

private:
    boost::function<void()> m_fn;
};

} // namespace

// ---------------------------------------------------------------------------------------------

void WarnDroppedMsg(const MsgBase& msg, const char* reason)
{
    // The single place where an undeliverable message is reported.
    g_droppedMsgs.fetch_add(1, std::memory_order_relaxed);
    if (DroppedMsgReporter r = g_droppedReporter.load(std::memory_order_acquire))
        r("Message dropped (" + std::string(reason) + "): " + msg.Info());
}

// ---------------------------------------------------------------------------------------------

void TimerHeap::Insert(TimerRec* r, Clock::time_point deadline)
{
    ESS_ASSERT(r->heapIndex < 0);
    r->deadline = deadline;
    r->seq = ++m_seq;
    m_heap.push_back(r);
    Place(m_heap.size() - 1, r);
    SiftUp(m_heap.size() - 1);
}

void TimerHeap::Remove(TimerRec* r)
{
    if (r->heapIndex < 0)
        return;
    const size_t i = static_cast<size_t>(r->heapIndex);
    ESS_ASSERT(i < m_heap.size() && m_heap[i] == r);
    r->heapIndex = -1;
    TimerRec* last = m_heap.back();
    m_heap.pop_back();
    if (i == m_heap.size())
        return;
    Place(i, last);
    SiftUp(i);
    SiftDown(static_cast<size_t>(last->heapIndex));
}

std::vector<TimerRec*> TimerHeap::TakeAll()
{
    std::vector<TimerRec*> res;
    res.swap(m_heap);
    for (TimerRec* r : res)
        r->heapIndex = -1;
    return res;
}

void TimerHeap::SiftUp(size_t i)
{
    TimerRec* r = m_heap[i];
    while (i > 0)
    {
        const size_t parent = (i - 1) / 2;
        if (!Less(r, m_heap[parent]))
            break;
        Place(i, m_heap[parent]);
        i = parent;
    }
    Place(i, r);
}

void TimerHeap::SiftDown(size_t i)
{
    const size_t n = m_heap.size();
    TimerRec* r = m_heap[i];
    for (;;)
    {
        size_t child = 2 * i + 1;
        if (child >= n)
            break;
        if (child + 1 < n && Less(m_heap[child + 1], m_heap[child]))
            ++child;
        if (!Less(m_heap[child], r))
            break;
        Place(i, m_heap[child]);
        i = child;
    }
    Place(i, r);
}

// ---------------------------------------------------------------------------------------------

MsgQueue::~MsgQueue()
{
    // Whatever is left was posted after the thread had finished or never ran; nothing can run now.
    while (MsgBase* p = m_list.PopFront())
        delete p;
    for (TimerRec* r : m_timers.TakeAll())
        if (r->kind == TimerRec::kContext)
            delete r;
}

bool MsgQueue::IsOwnThread() const
{
    // Compared by queue, not by thread object: a later thread object may reuse an old address.
    MsgThread* p = CurrentMsgThreadPtr();
    return p != nullptr && p->m_queue.get() == this;
}

void MsgQueue::Wake(std::unique_lock<std::mutex>& lock)
{
    const bool wake = m_waiting;
    lock.unlock();
    // Notified outside the lock so that the woken loop does not block on it at once; the queue
    // itself stays alive through the caller's shared reference.
    if (wake)
        m_cond.notify_one();
}

bool MsgQueue::Post(ObjectToken& token, std::unique_ptr<MsgBase> msg)
{
    MsgList::SetTarget(msg.get(), token.object);

    if (IsOwnThread())
    {
        // Same thread: misuse is a programming error, reported where it happens.
        if (token.state == ObjectToken::stDestroyRequested)
            ESS_HALT("Destroy requested");
        if (token.state == ObjectToken::stDestroyProcessed)
            ESS_HALT("Destroy processed");

        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_closed)
        {
            lock.unlock();
            return false; // posted while the thread tears down: it could never run
        }
        m_list.PushBack(msg.release());
        token.pending.fetch_add(1, std::memory_order_relaxed);
        return true; // the loop is running this very call: no wake-up needed
    }

    const char* reason = nullptr;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (token.state == ObjectToken::stDestroyRequested)
        reason = "Destroy requested";
    else if (token.state == ObjectToken::stDestroyProcessed)
        reason = "Destroy processed";
    else if (m_closed)
        reason = "Thread finished";

    if (reason)
    {
        lock.unlock();
        WarnDroppedMsg(*msg, reason);
        return false;
    }

    m_list.PushBack(msg.release());
    token.pending.fetch_add(1, std::memory_order_relaxed);
    // Once unlocked, the message may run and end its object, and the thread may end; only when a
    // wake-up is due is the queue kept alive across it (the common busy case costs nothing more).
    std::shared_ptr<MsgQueue> keep;
    if (m_waiting)
        keep = token.queue;
    Wake(lock);
    return true;
}

bool MsgQueue::PostFunction(const boost::function<void()>& fn, int delayMs)
{
    ESS_ASSERT(fn);
    std::unique_ptr<FnMsg> msg;
    std::unique_ptr<TimerRec> rec;
    if (delayMs <= 0)
        msg = std::make_unique<FnMsg>(fn);
    else
        rec = std::make_unique<TimerRec>(TimerRec::kContext, fn, 0);

    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed)
    {
        lock.unlock();
        if (msg)
            WarnDroppedMsg(*msg, "Thread finished");
        else
            g_droppedMsgs.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (msg)
        m_list.PushBack(msg.release());
    else
        m_timers.Insert(rec.release(), Clock::now() + std::chrono::milliseconds(delayMs));
    Wake(lock);
    return true;
}

void MsgQueue::RequestExit()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_exit.store(true, std::memory_order_relaxed);
    Wake(lock);
}

void MsgQueue::Arm(TimerRec* r, int ms)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timers.Remove(r);
    r->active = !m_closed;
    if (!m_closed)
        m_timers.Insert(r, Clock::now() + std::chrono::milliseconds(ms));
    // Armed on the owner thread, which is running and re-reads the deadlines before it sleeps.
}

void MsgQueue::Disarm(TimerRec* r)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timers.Remove(r);
    r->active = false;
}

} // namespace detail

void SetDroppedMsgReporter(DroppedMsgReporter reporter)
{
    detail::g_droppedReporter.store(reporter, std::memory_order_release);
}

int64_t DroppedMsgCount()
{
    return detail::g_droppedMsgs.load(std::memory_order_relaxed);
}

} // namespace iCore
