#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include "Utils/AliveCallback.h"
#include "Utils/ThreadContextChecker.h"
#include "YrNet/ITcpSocket.h"
#include "YrNet/InternalDnsResolver.h"
#include "YrNet/NetThread.h"
#include "YrNet/TcpSocketBase.h"

namespace YrNet
{

// Bytes a connection may hold unsent before it fails with "Send queue overflow": a peer that
// stops reading must not make the process run out of memory.
const uint64_t c_tcpSendQueueLimit = 16 * 1024 * 1024;

// The TCP engine: resolves, connects, reads continuously and sends from a queue, on the network
// thread, and reports to its owner there. Made and destroyed on the network thread by its facade
// (TcpSocket), which keeps the connection's state and identity and disconnects by replacing it.
class TcpSocketImpl : public ITcpSocketEngine, boost::noncopyable
{
public:
    // One read takes up to this much: a stream that is waiting comes in few large chunks.
    static constexpr uint64_t c_readBufferSize = 64 * 1024;
    // A read this small is copied out into a chunk of its own size, and the read buffer is kept
    // for the next read: small chunks do not each hold a whole read buffer while they are queued.
    static constexpr uint64_t c_copyOutBelow = 4096;
    // Buffers gathered into one write at most.
    static constexpr size_t c_maxGatherBuffers = 64;

    // A fresh, unconnected engine.
    TcpSocketImpl(ITcpSocketToUser* user, const SocketIdBase* id,
                  uint64_t sendQueueLimit = c_tcpSendQueueLimit);
    // An engine around an accepted connection: it starts reading at once, within the window.
    TcpSocketImpl(ITcpSocketToUser* user, const SocketIdBase* id,
                  const boost::shared_ptr<boost::asio::ip::tcp::socket>& accepted,
                  const TcpRecvWindow& window = TcpRecvWindow(), uint64_t sendQueueLimit = c_tcpSendQueueLimit);
    ~TcpSocketImpl() override;

    // ITcpSocketEngine: the user-thread entries (they post to the network thread or wait for it).
    void ConnectToHost(const HostAddr& addr) override;
    void SendData(const Utils::ByteArray& data) override;
    HostAddr LocalHostInf() const override;
    HostAddr PeerHostInf() const override;
    void PauseReceive() override;
    void ResumeReceive() override;
    // Receive window (user thread; see TcpSocketBase::SetRecvWindow).
    void SetRecvWindow(uint64_t high, uint64_t low, uint64_t readCost);
    void AckReceived(uint64_t bytes, uint64_t reads);
    // Everything handed to SendData has gone out (user thread): an AllDataSent raised before the
    // latest SendData is stale by the time the user would hear it.
    bool AllSent() const;

private:
    typedef boost::asio::ip::tcp tcp;

    // Callbacks are made on user threads too, and the network thread resets them.
    template <class F>
    auto MakeCallback(F&& f) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_alive.Wrap(std::forward<F>(f));
    }

    template <class F>
    void PostToNetwork(F&& f)
    {
        boost::asio::post(m_io, MakeCallback(std::forward<F>(f)));
    }

    // Network thread.
    void DoConnect(const HostAddr& addr);
    void ConnectTo(const std::vector<tcp::endpoint>& endpoints);
    void OnConnected(const boost::system::error_code& ec, const tcp::endpoint& ep);
    void RecordPeer(const tcp::endpoint* pFallback);
    void StartRead();
    void OnRead(const boost::system::error_code& ec, size_t n);
    // The n bytes just read, as a chunk to hand on; m_readBuffer stays for reuse when it can.
    Utils::ByteArray TakeReadChunk(size_t n);
    // Moves what the user thread handed over into the send queue and starts a write.
    void TakeHandedOver();
    bool Enqueue(Utils::ByteArray&& data);
    void SendNextData();
    void OnWritten(const boost::system::error_code& ec, size_t n);
    void DoSetPaused(bool paused);
    // Folds the acknowledgements made since into the window and reopens it when it may.
    void DoAck();
    void TakeAcksLocked();
    uint64_t Unacked() const { return m_unackedBytes + m_unackedReads * m_readCost; }
    void ReportLibraryError(const boost::system::error_code& ec);
    void ReportError(const std::wstring& text, int32_t code);

    Utils::AliveCallback<> m_alive;
    mutable std::mutex m_mutex; // guards m_alive

    // Between the user thread and the network thread: a stream of small sends or acknowledgements
    // costs one post per batch, not one per call.
    mutable std::mutex m_handOverLock; // guards the members down to the next blank line
    std::vector<Utils::ByteArray> m_handedOver;
    bool m_handOverPosted = false;
    bool m_allSent = true;
    uint64_t m_ackedBytes = 0;
    uint64_t m_ackedReads = 0;
    bool m_ackPosted = false;
    bool m_windowClosed = false; // written by the network thread only

    Utils::ThreadContextChecker m_context;
    Utils::SafeRef<NetThread> m_thread;
    boost::asio::io_context& m_io;
    boost::shared_ptr<tcp::socket> m_socket;
    const SocketIdBase* const m_id;
    ITcpSocketToUser* const m_user;
    // Read on user threads, written on the network thread, always as one aligned word.
    class ReadyFlag
    {
    public:
        explicit ReadyFlag(bool v) : m_value(v ? 1 : 0) {}
        bool Get() const { return m_value.load(std::memory_order_acquire) != 0; }
        void Set(bool v) { m_value.store(v ? 1 : 0, std::memory_order_release); }

    private:
        std::atomic<uint32_t> m_value;
    };
    ReadyFlag m_ready;
    InternalDnsResolver<tcp> m_resolver;

    std::deque<Utils::ByteArray> m_sendQueue;
    std::vector<Utils::ByteArray> m_inFlight; // the buffers of the write under way
    bool m_sending;
    uint64_t m_pendingBytes; // queued plus in flight
    const uint64_t m_sendQueueLimit;

    HostAddr m_peer; // recorded once, at connect or accept
    bool m_paused;
    bool m_reading;
    // The buffer of the read under way, or the one kept for the next read (null: a new one is
    // made). Only the network thread touches it, and only while no read is under way or from
    // that read's completion.
    Utils::ByteArray m_readBuffer;

    // Bytes and reads delivered to the user and not yet acknowledged; reading stops once they
    // (Unacked) reach m_windowHigh and starts again at m_windowLow or below (no window while
    // m_windowHigh is 0). Acknowledgements wait in m_acked* until the network thread takes them;
    // only a closed window (m_windowClosed) makes them post at once.
    uint64_t m_unackedBytes = 0;
    uint64_t m_unackedReads = 0;
    uint64_t m_readCost = 0;
    uint64_t m_windowHigh = 0;
    uint64_t m_windowLow = 0;
};

} // namespace YrNet
