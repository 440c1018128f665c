#pragma once
#include <exception>
#include <memory>
#include <boost/asio/io_context.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <QMutex>
#include "ESS/Exception.h"
#include "Platform/Thread.h"
#include "Utils/SafeRef.h"
#include "Utils/ThreadSyncEvent.h"
#include "YrLogV2/Log.h"

namespace YrNet
{

// A failure inside work that the network thread ran for a waiting caller, rethrown on the
// caller's thread when it was not one of the program's own exceptions already.
ESS_DECLARE_EXCEPTION(NetThreadTaskError, ::ESS::Exception);

// The single thread that runs every socket operation of the process: it owns the event loop.
class NetThread : public Platform::Thread, public virtual Utils::SafeRefServer
{
public:
    ~NetThread() override;

    // The instance, made on first use (the caller waits until its loop runs).
    static Utils::SafeRef<NetThread> Instance();
    // Stops and joins the thread. Without allowRecreate, a later Instance() is a contract violation.
    // Every network object must be gone by then.
    static void DestroyInstance(bool allowRecreate);

    // True on the network thread.
    static bool IsNetworkThread();

    boost::asio::io_context* GetIoServ();
    boost::asio::io_context& GetIoService();

    YrLogV2::Log& Log() { return m_log; }

    // Runs fn on the network thread and waits for it without a time limit. An exception thrown by
    // fn is rethrown here, on the caller's thread (program exceptions as they are, others as
    // NetThreadTaskError). Never called on the network thread itself, which would wait for itself.
    void RunBlocked(const boost::function<void()>& fn);

    // The same for a query with a result.
    template <class R>
    R RunBlockedQuery(const boost::function<R()>& fn)
    {
        std::shared_ptr<R> res = std::make_shared<R>();
        RunBlocked([res, fn]() { *res = fn(); });
        return std::move(*res);
    }

private:
    NetThread();
    void run() override;

    boost::asio::io_context* m_pIoService;
    boost::shared_ptr<Utils::ThreadSyncEvent> m_ready;
    YrLogV2::Log m_log;
    QMutex m_mutex;
};

} // namespace YrNet
