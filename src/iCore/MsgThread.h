#pragma once
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include "Utils/Random.h"
#include "Utils/SafeRef.h"
#include "Utils/ThreadContext.h"

namespace iCore
{

class MsgObject;
class MsgTimerEx;
class MsgThread;
bool MsgThreadFnBlocked(MsgThread& thread, const boost::function<void(MsgThread&)>& fn);
class ThreadRunnerFunc;

namespace detail
{
class MsgQueue;
struct TimerRec;
class MsgList;
} // namespace detail

// A named message loop on one OS thread. It is made on the thread that runs it (normally by
// ThreadRunnerFunc); from then on that thread's CurrentMsgThread() is this object. Messages and
// timers of every message object bound to it run here, one at a time, with no lock held. Timers
// are served by the loop itself (a timed wait until the next deadline), so no helper thread
// outlives the message threads.
class MsgThread : public virtual Utils::SafeRefServer, boost::noncopyable
{
public:
    // A message thread on the calling thread with a queue of its own.
    explicit MsgThread(const std::string& name);
    ~MsgThread() override;

    const std::string& Name() const { return m_name; }

    // True from construction until the loop has ended; objects can be bound to it meanwhile.
    bool IsRunning() const { return m_running.load(std::memory_order_acquire); }

    // Halts with "Not in thread context" when called on another thread.
    void AssertContext() const;
    bool InCurrentThreadContext() const;

    // Any thread: the loop leaves after the message in hand, then the thread destroys the objects
    // it owns and checks that no message object bound to it is left.
    void RequestExit();

    // A context that posts functions into this thread (at once for an int <= 0, else delayed by
    // that many ms). Functions posted after the thread has finished are dropped.
    Utils::ThreadContext CreateContext();

    // The thread's own generator; use only on this thread.
    Utils::Random& GetRandom() { return m_random; }

    // Kernel id of the thread (Platform::Thread::GetCurrentThreadID on it).
    void* GetThreadId() const { return m_ownerThreadId; }

    // Message objects bound to this thread and not yet destroyed.
    int LiveObjectCount() const { return m_liveObjects; }

    // Runs the loop on the calling thread, which must be the creating one, until RequestExit;
    // then destroys the objects owned by the thread, drops what is still queued and halts when a
    // message object bound to the thread is still alive.
    void Run();

private:
    friend class MsgObject;
    friend class MsgTimerEx;
    friend class ThreadRunnerFunc;
    friend class detail::MsgQueue;
    friend bool MsgThreadFnBlocked(MsgThread& thread, const boost::function<void(MsgThread&)>& fn);

    MsgThread(const std::string& name, const std::shared_ptr<detail::MsgQueue>& queue);

    void RunLoop();
    void Teardown();
    // Collects the due timers into m_due; the queue mutex is held.
    void CollectDueLocked(std::chrono::steady_clock::time_point now);
    void DispatchDue();
    void FinishDispatch(detail::TimerRec* r, bool ran);

    // Bookkeeping of message objects (owner thread only).
    void AddObject(MsgObject* p, bool ownedByThread);
    void RemoveObject(MsgObject* p, bool ownedByThread);

    const std::string m_name;
    const std::shared_ptr<detail::MsgQueue> m_queue;
    void* const m_ownerThreadId;
    std::atomic<bool> m_running;
    bool m_loopDone;
    bool m_tornDown;
    Utils::Random m_random;

    int m_liveObjects;
    std::vector<MsgObject*> m_owned; // ownership mode 1, in creation order

    // The messages taken from the queue and not yet run (owner thread only).
    std::unique_ptr<detail::MsgList> m_batch;
    // The timers due in this round with the generation they were due under (owner thread only).
    std::vector<std::pair<detail::TimerRec*, uint32_t>> m_due;
};

// The message thread of the calling thread; halts when the thread runs no message thread.
MsgThread& CurrentMsgThread();
// The same, or null.
MsgThread* CurrentMsgThreadPtr();

// Runs fn with the thread on that thread and returns after it has run: at once when called on the
// thread itself, otherwise through the queue, waiting without limit. False when the thread ended
// before the function could run.
bool MsgThreadFnBlocked(MsgThread& thread, const boost::function<void(MsgThread&)>& fn);

// Live message objects of the whole process.
int64_t LiveMsgObjectCount();

// Posts that were dropped because their object was being destroyed or gone, or their thread had
// finished (process total; for diagnostics and tests).
int64_t DroppedMsgCount();

// Receives the text of every message dropped because its target was gone or its thread had
// ended. The runtime sits below logging, so the logging library installs the reporter.
using DroppedMsgReporter = void (*)(const std::string& text);
void SetDroppedMsgReporter(DroppedMsgReporter reporter);

} // namespace iCore
