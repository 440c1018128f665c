#include "Utils/ThreadContext.h"
#include <mutex>
#include <utility>
#include <vector>
#include "ESS/Assert.h"
#include "Platform/Thread.h"
#include "Utils/FuncRAII.h"
#include "Utils/ThreadNames.h"
#include "Utils/ThreadSyncEvent.h"

namespace Utils
{

namespace
{

// Records every synchronous call in progress (waiter -> target) and halts on a call whose
// target is itself waiting for the caller.
class DeadlockDetector
{
public:
    typedef std::pair<void*, void*> Block;

    static DeadlockDetector& Instance()
    {
        static DeadlockDetector* const d = new DeadlockDetector();
        return *d;
    }

    boost::function<void()> RegisterBlock(void* waiter, void* target)
    {
        const Block b(waiter, target);
        {
            std::unique_lock<std::mutex> lock(m_lock);
            if (Find(b) >= 0)
            {
                lock.unlock(); // the halt must not run under our lock
                Fail("duplicate", b);
            }
            if (Find(Block(target, waiter)) >= 0)
            {
                lock.unlock();
                Fail("Deadlock detected", b);
            }
            m_blocks.push_back(b);
        }
        return [this, b]() { Release(b); };
    }

    [[noreturn]] static void Fail(const std::string& text, const Block& b)
    {
        const std::string report = text + "; " + Describe(b.first) + " -> " + Describe(b.second);
        ESS_HALT(report);
    }

private:
    int Find(const Block& b) const
    {
        for (size_t i = 0; i < m_blocks.size(); ++i)
        {
            if (m_blocks[i] == b)
                return static_cast<int>(i);
        }
        return -1;
    }

    void Release(const Block& b)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const int i = Find(b);
        ESS_ASSERT(i >= 0);
        m_blocks.erase(m_blocks.begin() + i);
    }

    static std::string Describe(void* id)
    {
        const std::string name = ThreadNames::Instance().GetName(id);
        const std::string idText = Platform::ThreadIdToString(id);
        return name.empty() ? idText : name + " (" + idText + ")";
    }

    std::mutex m_lock; // guards m_blocks
    std::vector<Block> m_blocks;
};

} // namespace

ThreadContext::ThreadContext(const RunInThreadFn& runInThreadFn, bool isCurrentThread,
                             boost::optional<void*> targetId)
    : m_alive(std::make_shared<std::atomic<bool>>(true)), m_runInThreadFn(runInThreadFn)
{
    ESS_ASSERT(runInThreadFn);
    if (targetId)
    {
        m_id = targetId;
    }
    else if (isCurrentThread)
    {
        m_id = Platform::Thread::GetCurrentThreadID();
    }
    else
    {
        // m_id is still empty here, so this call registers no block.
        void* id = nullptr;
        RunSyncImpl([&id]() { id = Platform::Thread::GetCurrentThreadID(); }, c_noLimit);
        m_id = id;
    }
}

ThreadContext::ThreadContext(const ThreadContext& other)
    : m_alive(std::make_shared<std::atomic<bool>>(true)), m_runInThreadFn(other.m_runInThreadFn),
      m_id(other.m_id)
{
}

ThreadContext::~ThreadContext()
{
    *m_alive = false;
}

bool ThreadContext::IsCurrent() const
{
    ESS_ASSERT(m_id);
    return Platform::Thread::GetCurrentThreadID() == m_id.get();
}

void ThreadContext::RunAsync(const boost::function<void()>& fn, int param)
{
    ESS_ASSERT(fn);
    std::shared_ptr<std::atomic<bool>> alive = m_alive;
    m_runInThreadFn(
        [alive, fn]()
        {
            if (*alive)
                fn();
        },
        param);
}

void ThreadContext::RunSync(const boost::function<void()>& fn, unsigned int timeout)
{
    ESS_ASSERT(fn);
    if (IsCurrent())
    {
        fn();
        return;
    }
    RunSyncImpl(fn, timeout);
}

void ThreadContext::RunSyncImpl(const boost::function<void()>& fn, unsigned int timeout)
{
    ESS_ASSERT(fn);
    boost::function<void()> release;
    if (m_id)
        release =
            DeadlockDetector::Instance().RegisterBlock(Platform::Thread::GetCurrentThreadID(), m_id.get());

    auto event = std::make_shared<ThreadSyncEvent>(true);
    RunAsync(
        [fn, release, event]()
        {
            // The block is released before the waiter wakes, also when fn throws.
            FuncRAII done(
                [&release, &event]()
                {
                    if (release)
                        release();
                    SignalEventFn(event);
                });
            fn();
        },
        0);
    ESS_ASSERT(event->Wait(timeout));
}

} // namespace Utils
