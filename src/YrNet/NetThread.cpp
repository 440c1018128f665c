#include "YrNet/NetThread.h"
#include <climits>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/scoped_ptr.hpp>
#include "Platform/TypeName.h"
#include "Utils/StringUtils.h"

namespace YrNet
{

namespace
{

boost::scoped_ptr<NetThread> g_service;
QMutex g_mutex;
bool g_created = false;

// The instance whose loop runs on the calling thread; null on every other thread.
thread_local NetThread* t_current = nullptr;

} // namespace

NetThread::NetThread()
    : Platform::Thread("NetThread"), m_pIoService(nullptr), m_ready(new Utils::ThreadSyncEvent()),
      m_log(YrLogV2::LogRoot::RootLog(), "NetThread"), m_mutex(QMutex::NonRecursive)
{
    Start(QThread::InheritPriority);
    m_ready->Wait(UINT_MAX);
    ESS_ASSERT(m_pIoService != 0);
}

NetThread::~NetThread()
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_pIoService)
            m_pIoService->stop();
    }
    Wait();
}

void NetThread::run()
{
    t_current = this;
    boost::asio::io_context io;
    auto work = boost::asio::make_work_guard(io);

    boost::shared_ptr<Utils::ThreadSyncEvent> ready = m_ready;
    boost::asio::post(io,
                      [this, &io, ready]()
                      {
                          {
                              QMutexLocker lock(&m_mutex);
                              m_pIoService = &io;
                          }
                          Utils::SignalEventFn(ready);
                      });

    try
    {
        io.run();
    }
    catch (const std::exception& e)
    {
        // A completion handler threw: the loop state can no longer be trusted.
        ESS_HALT("Type=" + Platform::PrettyTypeName(Platform::RawTypeName(typeid(e)).c_str()) + " " +
                 e.what());
    }
    catch (...)
    {
        ESS_HALT("Unknown exception");
    }

    work.reset();
    {
        QMutexLocker lock(&m_mutex);
        m_pIoService = nullptr;
    }
    t_current = nullptr;
    // io is destroyed here, on this thread: queued handlers are destroyed without running.
}

Utils::SafeRef<NetThread> NetThread::Instance()
{
    // Objects made on the network thread take the instance that runs them without the global
    // mutex: DestroyInstance holds it while it joins this thread, and waiting for it here would
    // never end. An object made while the thread goes then halts the destruction as it should.
    if (t_current)
        return Utils::SafeRef<NetThread>(t_current);

    QMutexLocker lock(&g_mutex);
    if (!g_service && !g_created)
    {
        g_service.reset(new NetThread());
        g_created = true;
    }
    ESS_ASSERT(g_service && "Get NetThread instance after destroy");
    return Utils::SafeRef<NetThread>(g_service.get());
}

void NetThread::DestroyInstance(bool allowRecreate)
{
    QMutexLocker lock(&g_mutex);
    ESS_ASSERT(!IsNetworkThread());
    g_service.reset();
    if (allowRecreate)
        g_created = false;
}

bool NetThread::IsNetworkThread()
{
    return t_current != nullptr;
}

boost::asio::io_context* NetThread::GetIoServ()
{
    ESS_ASSERT(m_pIoService);
    return m_pIoService;
}

boost::asio::io_context& NetThread::GetIoService()
{
    QMutexLocker lock(&m_mutex);
    ESS_ASSERT(m_pIoService);
    return *m_pIoService;
}

void NetThread::RunBlocked(const boost::function<void()>& fn)
{
    ESS_ASSERT(!IsNetworkThread() && "Blocking call into the network thread made on the network thread");

    boost::shared_ptr<Utils::ThreadSyncEvent> done(new Utils::ThreadSyncEvent());
    std::shared_ptr<std::exception_ptr> error = std::make_shared<std::exception_ptr>();
    boost::asio::post(GetIoService(),
                      [fn, done, error]()
                      {
                          try
                          {
                              fn();
                          }
                          catch (...)
                          {
                              *error = std::current_exception();
                          }
                          Utils::SignalEventFn(done);
                      });
    done->Wait(UINT_MAX);

    if (!*error)
        return;
    try
    {
        std::rethrow_exception(*error);
    }
    catch (const ESS::BaseException&)
    {
        throw;
    }
    catch (const std::exception& e)
    {
        ESS_THROW_MSG(NetThreadTaskError, Utils::LocaleStringToUnicode(e.what()));
    }
    catch (...)
    {
        ESS_THROW_MSG(NetThreadTaskError, L"Unknown exception");
    }
}

} // namespace YrNet
