#include "YrNet/TcpSocketImpl.h"
#include <algorithm>
#include <utility>
#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <boost/make_shared.hpp>
#include "ESS/Assert.h"
#include "Utils/StringUtils.h"
#include "YrNet/CloseOnExec.h"
#include "YrNet/HostAddr2BoostEndpoint.h"

namespace YrNet
{

TcpSocketImpl::TcpSocketImpl(ITcpSocketToUser* user, const SocketIdBase* id, uint64_t sendQueueLimit)
    : m_thread(NetThread::Instance()), m_io(m_thread->GetIoService()),
      m_socket(boost::make_shared<tcp::socket>(m_io)), m_id(id), m_user(user), m_ready(false),
      m_resolver(m_io), m_sending(false), m_pendingBytes(0), m_sendQueueLimit(sendQueueLimit),
      m_paused(false), m_reading(false)
{
    m_context.Assert();
}

TcpSocketImpl::TcpSocketImpl(ITcpSocketToUser* user, const SocketIdBase* id,
                             const boost::shared_ptr<tcp::socket>& accepted, const TcpRecvWindow& window,
                             uint64_t sendQueueLimit)
    : m_thread(NetThread::Instance()), m_io(m_thread->GetIoService()), m_socket(accepted), m_id(id),
      m_user(user), m_ready(true), m_resolver(m_io), m_sending(false), m_pendingBytes(0),
      m_sendQueueLimit(sendQueueLimit), m_paused(false), m_reading(false), m_readCost(window.readCost),
      m_windowHigh(window.high), m_windowLow(window.low)
{
    ESS_ASSERT(window.low < window.high || window.high == 0);
    m_context.Assert();
    ESS_ASSERT(m_socket);
    RecordPeer(nullptr);
    StartRead();
}

TcpSocketImpl::~TcpSocketImpl()
{
    m_context.Assert();
    // Closing first cancels the read and the write under way while their buffers still exist;
    // their completions find dead callbacks.
    boost::system::error_code ec;
    m_socket->close(ec);
}

// ------------------------------------------------------------------------------------------------
// User thread

void TcpSocketImpl::ConnectToHost(const HostAddr& addr)
{
    ESS_ASSERT(!m_context.Current());
    ESS_ASSERT(!m_ready.Get());
    PostToNetwork([this, addr]() { DoConnect(addr); });
}

void TcpSocketImpl::SendData(const Utils::ByteArray& data)
{
    ESS_ASSERT(!m_context.Current());
    if (!m_ready.Get())
        return;
    {
        std::lock_guard<std::mutex> lock(m_handOverLock);
        m_allSent = false;
        m_handedOver.push_back(data);
        if (m_handOverPosted)
            return; // the post on its way takes this one too
        m_handOverPosted = true;
    }
    PostToNetwork([this]() { TakeHandedOver(); });
}

bool TcpSocketImpl::AllSent() const
{
    ESS_ASSERT(!m_context.Current());
    std::lock_guard<std::mutex> lock(m_handOverLock);
    return m_allSent;
}

HostAddr TcpSocketImpl::LocalHostInf() const
{
    ESS_ASSERT(!m_context.Current());
    return m_thread->RunBlockedQuery<HostAddr>(
        [this]()
        {
            boost::system::error_code ec;
            const tcp::endpoint ep = m_socket->local_endpoint(ec);
            return ec ? HostAddr() : HostAddr(ep.address(), ep.port());
        });
}

HostAddr TcpSocketImpl::PeerHostInf() const
{
    ESS_ASSERT(!m_context.Current());
    return m_thread->RunBlockedQuery<HostAddr>([this]() { return m_peer; });
}

void TcpSocketImpl::PauseReceive()
{
    ESS_ASSERT(!m_context.Current());
    PostToNetwork([this]() { DoSetPaused(true); });
}

void TcpSocketImpl::ResumeReceive()
{
    ESS_ASSERT(!m_context.Current());
    PostToNetwork([this]() { DoSetPaused(false); });
}

void TcpSocketImpl::SetRecvWindow(uint64_t high, uint64_t low, uint64_t readCost)
{
    ESS_ASSERT(!m_context.Current());
    ESS_ASSERT(low < high || high == 0);
    PostToNetwork(
        [this, high, low, readCost]()
        {
            m_windowHigh = high;
            m_windowLow = low;
            m_readCost = readCost;
            DoAck();
        });
}

void TcpSocketImpl::AckReceived(uint64_t bytes, uint64_t reads)
{
    ESS_ASSERT(!m_context.Current());
    {
        std::lock_guard<std::mutex> lock(m_handOverLock);
        m_ackedBytes += bytes;
        m_ackedReads += reads;
        // An open window takes the acknowledgements at its next read; only a closed one waits
        // for them, and is told once.
        if (!m_windowClosed || m_ackPosted)
            return;
        m_ackPosted = true;
    }
    PostToNetwork([this]() { DoAck(); });
}

// ------------------------------------------------------------------------------------------------
// Network thread

void TcpSocketImpl::DoConnect(const HostAddr& addr)
{
    m_context.Assert();
    tcp::endpoint ep;
    if (TryConvertTcpEndPoint(addr, ep))
    {
        ConnectTo(std::vector<tcp::endpoint>(1, ep));
        return;
    }

    m_resolver.Resolve(addr,
                       [this](const boost::system::error_code& ec, const tcp::resolver::results_type& results)
                       {
                           m_context.Assert();
                           if (ec)
                           {
                               ReportLibraryError(ec);
                               return;
                           }
                           ConnectTo(std::vector<tcp::endpoint>(results.begin(), results.end()));
                       });
}

void TcpSocketImpl::ConnectTo(const std::vector<tcp::endpoint>& endpoints)
{
    // The range connect opens the socket for each endpoint's protocol, closing it between tries.
    // Composed operations touch the socket after their inner step completed, also when it was
    // cancelled: every handler keeps the socket object alive until it has run.
    boost::asio::async_connect(
        *m_socket, endpoints,
        MakeCallback([this, socket = m_socket](const boost::system::error_code& ec, const tcp::endpoint& ep)
                     { OnConnected(ec, ep); }));
}

void TcpSocketImpl::OnConnected(const boost::system::error_code& ec, const tcp::endpoint& ep)
{
    m_context.Assert();
    if (ec)
    {
        ReportLibraryError(ec);
        return;
    }
    SetCloseOnExec(*m_socket);
    RecordPeer(&ep);
    m_ready.Set(true);
    m_user->Connected(m_id);
    StartRead();
}

void TcpSocketImpl::RecordPeer(const tcp::endpoint* pFallback)
{
    // Asked once: after a reset the system can no longer tell, and the bytes already received
    // must still be delivered with their sender.
    boost::system::error_code ec;
    const tcp::endpoint ep = m_socket->remote_endpoint(ec);
    if (!ec)
        m_peer = HostAddr(ep.address(), ep.port());
    else if (pFallback)
        m_peer = HostAddr(pFallback->address(), pFallback->port());
    else
        m_peer = HostAddr();
}

void TcpSocketImpl::StartRead()
{
    // Only this thread writes the flag, so it reads it without the lock.
    if (m_paused || m_reading || m_windowClosed)
        return;
    m_reading = true;
    if (m_readBuffer.IsNull())
        m_readBuffer = Utils::ByteArray(c_readBufferSize, uint64_t(0));
    uint8_t* const p = m_readBuffer.MutableData();
    // The socket object is kept alive by the handler; the buffer by this engine, whose
    // destruction closes the socket (and so ends the read) first.
    m_socket->async_read_some(boost::asio::buffer(p, c_readBufferSize),
                              MakeCallback([this, socket = m_socket](const boost::system::error_code& ec,
                                                                     size_t n) { OnRead(ec, n); }));
}

void TcpSocketImpl::OnRead(const boost::system::error_code& ec, size_t n)
{
    m_context.Assert();
    m_reading = false;
    if (ec == boost::asio::error::operation_aborted)
        return; // the socket was closed under the read
    if (ec)
    {
        ReportLibraryError(ec);
        return;
    }
    if (n > 0)
    {
        boost::shared_ptr<SocketData> rec = boost::make_shared<SocketData>();
        rec->id = m_id;
        rec->peer = m_peer;
        rec->data = TakeReadChunk(n);
        m_unackedBytes += n;
        ++m_unackedReads;
        // Decided here, where the reads are made: the user's acknowledgements may come late, but
        // never more than one read beyond the window is taken in.
        if (m_windowHigh != 0)
        {
            std::lock_guard<std::mutex> lock(m_handOverLock);
            TakeAcksLocked();
            if (Unacked() >= m_windowHigh)
                m_windowClosed = true;
        }
        m_user->DataReceived(rec);
    }
    StartRead();
}

Utils::ByteArray TcpSocketImpl::TakeReadChunk(size_t n)
{
    if (n < c_copyOutBelow)
        return Utils::ByteArray(std::as_const(m_readBuffer).Data(), n);
    // A large chunk takes the buffer itself; the next read gets a fresh one.
    Utils::ByteArray chunk = std::move(m_readBuffer);
    m_readBuffer = Utils::ByteArray();
    chunk.ResizeWritten(n);
    return chunk;
}

void TcpSocketImpl::TakeHandedOver()
{
    m_context.Assert();
    std::vector<Utils::ByteArray> batch;
    {
        std::lock_guard<std::mutex> lock(m_handOverLock);
        batch.swap(m_handedOver);
        m_handOverPosted = false;
    }
    if (!m_ready.Get())
        return;
    for (Utils::ByteArray& data : batch)
        if (!Enqueue(std::move(data)))
            return;
    if (!m_sending && !m_sendQueue.empty())
        SendNextData();
}

bool TcpSocketImpl::Enqueue(Utils::ByteArray&& data)
{
    const uint64_t size = data.Size();
    // An empty queue always takes a buffer, so one large send is never refused by itself.
    if (m_pendingBytes > 0 && m_pendingBytes + size > m_sendQueueLimit)
    {
        ReportError(L"Send queue overflow", -1);
        return false;
    }
    m_pendingBytes += size;
    m_sendQueue.push_back(std::move(data));
    return true;
}

void TcpSocketImpl::SendNextData()
{
    ESS_ASSERT(m_ready.Get());
    ESS_ASSERT(m_inFlight.empty());

    // Everything waiting (up to a bound) leaves in one gathered write, in call order.
    std::vector<boost::asio::const_buffer> buffers;
    buffers.reserve(std::min(m_sendQueue.size(), c_maxGatherBuffers));
    while (!m_sendQueue.empty() && m_inFlight.size() < c_maxGatherBuffers)
    {
        m_inFlight.push_back(std::move(m_sendQueue.front()));
        m_sendQueue.pop_front();
        const Utils::ByteArray& b = m_inFlight.back();
        // The const access shares the caller's bytes; the writable one would copy them.
        if (b.Size() > 0)
            buffers.emplace_back(b.Data(), static_cast<size_t>(b.Size()));
    }
    m_sending = true;
    boost::asio::async_write(*m_socket, buffers,
                             MakeCallback([this, socket = m_socket](const boost::system::error_code& ec,
                                                                    size_t n) { OnWritten(ec, n); }));
}

void TcpSocketImpl::OnWritten(const boost::system::error_code& ec, size_t n)
{
    m_context.Assert();
    if (ec)
    {
        ReportLibraryError(ec);
        return;
    }
    uint64_t expected = 0;
    for (const Utils::ByteArray& b : m_inFlight)
        expected += b.Size();
    if (n != expected)
    {
        ReportError(L"Cannot send all data", -1);
        return;
    }
    m_inFlight.clear();
    m_pendingBytes -= expected;

    if (!m_sendQueue.empty())
    {
        SendNextData();
        return;
    }
    m_sending = false;
    {
        std::lock_guard<std::mutex> lock(m_handOverLock);
        // More is on its way here: the report waits until that has gone out too.
        if (m_handOverPosted)
            return;
        m_allSent = true;
    }
    m_user->AllDataSent(m_id);
}

void TcpSocketImpl::DoSetPaused(bool paused)
{
    m_context.Assert();
    m_paused = paused;
    if (!m_paused && m_ready.Get())
        StartRead();
}

void TcpSocketImpl::DoAck()
{
    m_context.Assert();
    {
        std::lock_guard<std::mutex> lock(m_handOverLock);
        m_ackPosted = false;
        TakeAcksLocked();
        if (m_windowHigh == 0 || Unacked() <= m_windowLow)
            m_windowClosed = false;
        else if (Unacked() >= m_windowHigh)
            m_windowClosed = true;
    }
    if (m_ready.Get())
        StartRead();
}

void TcpSocketImpl::TakeAcksLocked()
{
    m_unackedBytes -= std::min(m_ackedBytes, m_unackedBytes);
    m_unackedReads -= std::min(m_ackedReads, m_unackedReads);
    m_ackedBytes = 0;
    m_ackedReads = 0;
}

void TcpSocketImpl::ReportLibraryError(const boost::system::error_code& ec)
{
    ReportError(Utils::LocaleStringToUnicode(ec.message()), ec.value());
}

void TcpSocketImpl::ReportError(const std::wstring& text, int32_t code)
{
    m_ready.Set(false);
    // Unsent data is of no use any more; the write under way keeps its buffers until the end.
    m_sendQueue.clear();
    {
        std::lock_guard<std::mutex> lock(m_handOverLock);
        m_handedOver.clear();
    }

    boost::shared_ptr<SocketError> rec = boost::make_shared<SocketError>();
    rec->id = m_id;
    rec->text = text;
    rec->code = code;
    rec->flag = false;
    m_user->Error(rec);

    // Inert from now on: every completion and request made before is dropped.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_alive.Reset();
}

} // namespace YrNet
