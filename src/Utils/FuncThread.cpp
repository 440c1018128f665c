#include "Utils/FuncThread.h"
#include <climits>
#include <memory>
#include "ESS/Assert.h"
#include "Platform/Thread.h"
#include "Utils/FuncRAII.h"
#include "Utils/ThreadSyncEvent.h"

namespace Utils
{

namespace
{

class Runner : public IVirtualDestroy, Platform::Thread
{
public:
    Runner(const boost::function<void()>& fn, const std::string& name, const boost::function<void()>& exitFn)
        : Platform::Thread(name.empty() ? std::string("ThreadRunFn") : name), m_body(fn), m_exit(exitFn)
    {
        ESS_ASSERT(fn);
        m_startEvent = std::make_shared<ThreadSyncEvent>(true);
        Start(QThread::InheritPriority);
        m_startEvent->Wait(UINT_MAX);
    }

    ~Runner() override { Wait(); }

private:
    void run() override
    {
        FuncRAII exitGuard(
            [this]()
            {
                if (m_exit)
                    m_exit();
            });
        SignalEventFn(m_startEvent);
        m_body();
    }

    boost::function<void()> m_body;
    boost::function<void()> m_exit;
    std::shared_ptr<ThreadSyncEvent> m_startEvent;
};

} // namespace

std::unique_ptr<IVirtualDestroy> ThreadRunFn(const boost::function<void()>& fn, const std::string& name,
                                             const boost::function<void()>& exitFn)
{
    return std::unique_ptr<IVirtualDestroy>(new Runner(fn, name, exitFn));
}

} // namespace Utils
