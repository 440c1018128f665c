#pragma once
#include <atomic>
#include <climits>
#include <memory>
#include <boost/function.hpp>
#include <boost/optional.hpp>

namespace Utils
{

// A handle to one thread that can run functions in it, posted (RunAsync) or waited for
// (RunSync). Synchronous calls between two threads that would wait for each other halt with
// "Deadlock detected" instead of hanging (only direct two-thread cycles are found).
class ThreadContext
{
public:
    // Posts a function into the target thread; the int is handed through (message threads read
    // it as a delay in milliseconds).
    typedef boost::function<void(const boost::function<void()>&, int)> RunInThreadFn;

    static const unsigned int c_noLimit = UINT_MAX;

    // targetId: the target thread's id when known; otherwise isCurrentThread says whether the
    // caller is the target, and if it is not the target thread is asked for its id.
    ThreadContext(const RunInThreadFn& runInThreadFn, bool isCurrentThread, boost::optional<void*> targetId);
    // The copy cancels only what it posts itself: it has an alive flag of its own.
    ThreadContext(const ThreadContext& other);
    ThreadContext& operator=(const ThreadContext&) = delete;
    // Functions posted through this context and not yet run are skipped.
    ~ThreadContext();

    bool IsCurrent() const;
    void* Id() const { return m_id.get_value_or(nullptr); }

    void RunAsync(const boost::function<void()>& fn, int param = 0);

    // Runs fn in the target thread and waits for it; inline when called on the target thread.
    // Not finishing within the limit is fatal ("event->Wait(timeout)"). Without a limit, a call
    // into a context destroyed before its function ran never returns: give a limit where the
    // target may go away.
    void RunSync(const boost::function<void()>& fn, unsigned int timeout = c_noLimit);

private:
    void RunSyncImpl(const boost::function<void()>& fn, unsigned int timeout);

    std::shared_ptr<std::atomic<bool>> m_alive;
    RunInThreadFn m_runInThreadFn;
    boost::optional<void*> m_id;
};

} // namespace Utils
