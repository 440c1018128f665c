#include "YrNet/UdpSocket.h"
#include <mutex>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/make_shared.hpp>
#include "Utils/AliveCallback.h"
#include "Utils/StringUtils.h"
#include "Utils/ThreadContextChecker.h"
#include "YrNet/CloseOnExec.h"
#include "YrNet/HostAddr2BoostEndpoint.h"
#include "YrNet/InternalDnsResolver.h"

namespace YrNet
{

// The socket on the network thread.
class UdpSocket::UdpSocketImpl : boost::noncopyable
{
    typedef boost::asio::ip::udp udp;

    // Handlers are wrapped on the caller's thread (sends) and on the network thread.
    template <class F>
    auto MakeCallback(F&& f)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_alive.Wrap(std::forward<F>(f));
    }

public:
    UdpSocketImpl(IUdpSocketToUser& facade, const SocketIdBase* id)
        : m_thread(NetThread::Instance()), m_io(m_thread->GetIoService()), m_socket(m_io, udp::v4()),
          m_facade(facade), m_id(id), m_resolver(m_io)
    {
        SetCloseOnExec(m_socket);
    }

    // Caller's thread: binding runs on the network thread while the caller waits.
    bool Bind(const HostAddr& host)
    {
        udp::endpoint localEp;
        ESS_ASSERT(TryConvertUdpEndPoint(host, localEp));
        ESS_ASSERT(!m_context.Current());
        return m_thread->RunBlockedQuery<bool>([this, localEp]() { return DoBind(localEp); });
    }

    // Caller's thread.
    void PostSendData(const Utils::ByteArray& data, const HostAddr& host)
    {
        boost::asio::post(m_io, MakeCallback([this, data, host]() { DoSendData(data, host); }));
    }

private:
    bool DoBind(const udp::endpoint& ep)
    {
        boost::system::error_code ec;
        m_socket.bind(ep, ec);
        if (ec)
            return false;
        StartReceive();
        return true;
    }

    void StartReceive()
    {
        m_context.Assert();
        Utils::ByteArray buf(c_receiveBufferSize, uint64_t(0));
        uint8_t* const p = buf.MutableData();
        boost::shared_ptr<udp::endpoint> sender = boost::make_shared<udp::endpoint>();
        m_socket.async_receive_from(boost::asio::buffer(p, c_receiveBufferSize), *sender, 0,
                                    MakeCallback([this, buf = std::move(buf), sender](
                                                     const boost::system::error_code& ec, size_t n) mutable
                                                 { OnReceive(ec, n, buf, *sender); }));
    }

    void OnReceive(const boost::system::error_code& ec, size_t n, Utils::ByteArray& buf,
                   const udp::endpoint& sender)
    {
        m_context.Assert();
        buf.ResizeWritten(buf.Size() + n);
        if (ec)
        {
            ReportLibraryError(ec);
            return; // receiving ends here
        }
        boost::shared_ptr<SocketData> rec = boost::make_shared<SocketData>();
        rec->id = m_id;
        if (sender.port() != 0)
            rec->peer = HostAddr(sender.address(), sender.port());
        rec->data = std::move(buf);
        m_facade.DataReceived(rec);
        StartReceive();
    }

    void DoSendData(const Utils::ByteArray& data, const HostAddr& host)
    {
        m_context.Assert();
        udp::endpoint ep;
        if (TryConvertUdpEndPoint(host, ep))
        {
            SendTo(data, ep);
            return;
        }
        m_resolver.Resolve(host, MakeCallback([this, data](const boost::system::error_code& ec,
                                                           const udp::resolver::results_type& res)
                                              { OnResolved(ec, res, data); }));
    }

    void OnResolved(const boost::system::error_code& ec, const udp::resolver::results_type& results,
                    const Utils::ByteArray& data)
    {
        m_context.Assert();
        if (ec)
        {
            ReportLibraryError(ec);
            return;
        }
        if (results.empty())
        {
            ReportError(L"Cannot resolve DNS name", -1);
            return;
        }
        SendTo(data, results.begin()->endpoint());
    }

    void SendTo(const Utils::ByteArray& data, const udp::endpoint& ep)
    {
        // The const access shares the caller's bytes.
        const uint8_t* const p = data.Data();
        m_socket.async_send_to(boost::asio::buffer(p, static_cast<size_t>(data.Size())), ep, 0,
                               MakeCallback([this, data](const boost::system::error_code& ec, size_t n)
                                            { OnSendResponse(ec, n, data); }));
    }

    void OnSendResponse(const boost::system::error_code& ec, size_t n, const Utils::ByteArray& data)
    {
        m_context.Assert();
        if (ec)
        {
            ReportLibraryError(ec);
            return;
        }
        if (n != data.Size())
            ESS_HALT("Not all data was transferred. Expected: " + std::to_string(data.Size()) +
                     " transferred: " + std::to_string(n));
    }

    void ReportLibraryError(const boost::system::error_code& ec)
    {
        ReportError(Utils::LocaleStringToUnicode(ec.message()), ec.value());
    }

    void ReportError(const std::wstring& text, int32_t code)
    {
        boost::shared_ptr<SocketError> rec = boost::make_shared<SocketError>();
        rec->id = m_id;
        rec->text = text;
        rec->code = code;
        rec->flag = false;
        m_facade.Error(rec);
    }

    Utils::SafeRef<NetThread> m_thread;
    boost::asio::io_context& m_io;
    udp::socket m_socket;
    IUdpSocketToUser& m_facade;
    const SocketIdBase* const m_id;
    InternalDnsResolver<udp> m_resolver;
    Utils::ThreadContextChecker m_context;
    Utils::AliveCallback<> m_alive;
    std::mutex m_mutex; // guards the making and the reset of callbacks
};

UdpSocket::UdpSocket(iCore::MsgThread& thread, const Utils::SafeRef<IUdpSocketToUser>& user)
    : iCore::MsgObject(thread), m_user(user), m_binded(false)
{
    IUdpSocketToUser* const facade = this;
    const SocketIdBase* const id = this;
    m_impl.Reset([facade, id]() { return new UdpSocketImpl(*facade, id); });
}

UdpSocket::~UdpSocket()
{
    m_impl.Clear();
}

bool UdpSocket::Bind(const HostAddr& host)
{
    m_binded = m_impl->Bind(host);
    return m_binded;
}

void UdpSocket::SendData(const Utils::ByteArray& data, const HostAddr& host)
{
    ESS_ASSERT(m_binded);
    ESS_ASSERT(!data.IsEmpty());
    m_impl->PostSendData(data, host);
}

void UdpSocket::DataReceived(boost::shared_ptr<SocketData> data)
{
    PutMsg(&UdpSocket::DeliverData, std::move(data));
}

void UdpSocket::Error(boost::shared_ptr<SocketError> error)
{
    PutMsg(&UdpSocket::DeliverError, std::move(error));
}

void UdpSocket::DeliverData(boost::shared_ptr<SocketData> data)
{
    m_user->DataReceived(std::move(data));
}

void UdpSocket::DeliverError(boost::shared_ptr<SocketError> error)
{
    m_user->Error(std::move(error));
}

} // namespace YrNet
