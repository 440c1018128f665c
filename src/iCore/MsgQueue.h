#pragma once
// Internal to the message-thread runtime: the queue shared between a message thread and the
// threads that post to it, its timers, and the per-object tokens that make foreign posts safe.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include "iCore/MsgBase.h"

namespace iCore
{

class MsgObject;
class MsgThread;

namespace detail
{

using Clock = std::chrono::steady_clock;

// Singly linked FIFO of messages through MsgBase::m_next.
class MsgList
{
public:
    bool Empty() const { return m_head == nullptr; }

    void PushBack(MsgBase* p)
    {
        p->m_next = nullptr;
        if (m_tail)
            m_tail->m_next = p;
        else
            m_head = p;
        m_tail = p;
    }

    MsgBase* PopFront()
    {
        MsgBase* p = m_head;
        if (p)
        {
            m_head = p->m_next;
            if (!m_head)
                m_tail = nullptr;
            p->m_next = nullptr;
        }
        return p;
    }

    // Moves the whole content out, leaving this list empty.
    MsgList Take()
    {
        MsgList res = *this;
        m_head = m_tail = nullptr;
        return res;
    }

    void Append(MsgList& other)
    {
        if (other.Empty())
            return;
        if (m_tail)
            m_tail->m_next = other.m_head;
        else
            m_head = other.m_head;
        m_tail = other.m_tail;
        other.m_head = other.m_tail = nullptr;
    }

    // Moves every message addressed to target into out, keeping the order of the rest; returns
    // how many were moved.
    size_t Extract(const MsgObject* target, MsgList& out)
    {
        size_t count = 0;
        MsgBase* prev = nullptr;
        MsgBase* p = m_head;
        while (p)
        {
            MsgBase* next = p->m_next;
            if (p->m_target == target)
            {
                if (prev)
                    prev->m_next = next;
                else
                    m_head = next;
                if (m_tail == p)
                    m_tail = prev;
                out.PushBack(p);
                ++count;
            }
            else
            {
                prev = p;
            }
            p = next;
        }
        return count;
    }

    static void SetTarget(MsgBase* p, MsgObject* target) { p->m_target = target; }
    static MsgObject* TargetOf(const MsgBase* p) { return p->m_target; }

private:
    MsgBase* m_head = nullptr;
    MsgBase* m_tail = nullptr;
};

// One armed (or armable) timed call. Owned by a MsgTimerEx, by a message object (its delayed
// calls) or by the queue (delayed functions of a thread context). While the loop dispatches it
// (inDispatch) its owner never deletes it: the owner marks it orphan and the loop frees it.
struct TimerRec : boost::noncopyable
{
    enum Kind
    {
        kTimer,   // owned by a MsgTimerEx
        kDelayed, // owned by a message object (RunDelayed)
        kContext  // owned by the queue, one-shot
    };

    TimerRec(Kind k, const boost::function<void()>& f, int period) : kind(k), periodMs(period), fn(f) {}

    const Kind kind;
    int heapIndex = -1; // position in the heap, -1 when not armed
    Clock::time_point deadline;
    uint64_t seq = 0; // arming order, keeps equal deadlines in FIFO order
    int periodMs;     // 0: one-shot
    uint32_t generation = 0;
    bool active = false; // a callback is still to come (armed, or a one-shot due and not yet run)
    bool inDispatch = false;
    bool orphan = false;
    boost::function<void()> fn;

    // kDelayed: the owner and its list of delayed calls.
    MsgObject* owner = nullptr;
    TimerRec* prev = nullptr;
    TimerRec* next = nullptr;
};

// Binary min-heap of armed timers by (deadline, seq); every record knows its index, so removal
// is O(log n) and a restarted timer leaves nothing stale behind.
class TimerHeap
{
public:
    bool Empty() const { return m_heap.empty(); }
    TimerRec* Top() const { return m_heap.front(); }
    size_t Size() const { return m_heap.size(); }

    void Insert(TimerRec* r, Clock::time_point deadline);
    void Remove(TimerRec* r); // no effect when r is not armed

    // Removes and returns every record (none armed afterwards).
    std::vector<TimerRec*> TakeAll();

private:
    static bool Less(const TimerRec* a, const TimerRec* b)
    {
        return a->deadline < b->deadline || (a->deadline == b->deadline && a->seq < b->seq);
    }
    void Place(size_t i, TimerRec* r)
    {
        m_heap[i] = r;
        r->heapIndex = static_cast<int>(i);
    }
    void SiftUp(size_t i);
    void SiftDown(size_t i);

    std::vector<TimerRec*> m_heap;
    uint64_t m_seq = 0;
};

// Delivery state of one message object, shared by the object and every MsgPostTarget made from
// it, so that a foreign thread can post even after the object is gone: the state is read under
// the queue mutex and a post to an object that is not alive is dropped.
struct ObjectToken : boost::noncopyable
{
    enum State
    {
        stAlive,
        stDestroyRequested,
        stDestroyProcessed
    };

    ObjectToken(const std::shared_ptr<MsgQueue>& q, MsgObject* obj) : queue(q), object(obj) {}

    const std::shared_ptr<MsgQueue> queue;
    MsgObject* const object;
    State state = stAlive;       // written by the owner thread under the queue mutex
    std::atomic<int> pending{0}; // messages of this object in the queue or the batch in hand
};

// A flag that one thread sets and others wait for; unlike a ThreadSyncEvent it may be waited
// for from any thread, any number of times.
class FlagEvent : boost::noncopyable
{
public:
    void Set()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_set = true;
        }
        m_cond.notify_all();
    }

    // ms with all bits set: no limit. True when the flag is set.
    bool Wait(unsigned int ms)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (ms == ~0u)
        {
            m_cond.wait(lock, [this] { return m_set; });
            return true;
        }
        return m_cond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_set; });
    }

    bool IsSet()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_set;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_set = false;
};

// The queue of one message thread. It is shared: posters (through tokens and thread contexts)
// may keep it after the thread has ended; it is then closed and takes nothing more.
class MsgQueue : boost::noncopyable
{
public:
    MsgQueue() = default;
    ~MsgQueue();

    // True on the thread that runs this queue's loop.
    bool IsOwnThread() const;

    // Queues a message to a message object; see MsgObject::PutMsgToThread.
    bool Post(ObjectToken& token, std::unique_ptr<MsgBase> msg);

    // Queues a function of the thread itself (thread contexts): at once when delayMs <= 0, else
    // after delayMs. Dropped (false) when the thread has finished.
    bool PostFunction(const boost::function<void()>& fn, int delayMs);

    // Any thread: the loop leaves after the message in hand.
    void RequestExit();
    bool ExitRequested() const { return m_exit.load(std::memory_order_relaxed); }

    // Owner thread: arm / disarm a timer record under the mutex.
    void Arm(TimerRec* r, int ms);
    void Disarm(TimerRec* r);

    std::mutex m_mutex;
    std::condition_variable m_cond;
    MsgList m_list;         // guarded by m_mutex
    TimerHeap m_timers;     // guarded by m_mutex
    bool m_waiting = false; // the loop sleeps on m_cond; guarded by m_mutex
    bool m_closed = false;  // guarded by m_mutex
    std::atomic<bool> m_exit{false};

private:
    void Wake(std::unique_lock<std::mutex>& lock);
};

// Inside a catch block: halts with the exception in hand (ESS::HaltOnUnexpected).
[[noreturn]] void HaltOnEscapedException(const wchar_t* where);

// The one place where a message that cannot be delivered is reported.
void WarnDroppedMsg(const MsgBase& msg, const char* reason);

} // namespace detail
} // namespace iCore
