#include "VdiCommon/PluginBridge/MbcAdapter.h"
#include <map>
#include <string>
#include <boost/bind/bind.hpp>
#include <QString>
#include "ESS/Assert.h"
#include "MediaBridgeControl/IMbcFlow.h"
#include "SessTranspLayer/StlConnection.h"
#include "Utils/StringUtils.h"
#include "YrLogV2/Log.h"
#include "iCore/MsgObject.h"

namespace VdiCommon
{

namespace
{

using MediaBridgeControl::TranspState;

const uint32_t c_respTimeoutMs = 8000;
const uint32_t c_pingIntervalMs = 12000;

std::string StatText(const SessTranspLayer::StlStatElement& e)
{
    if (e.Count() == 0)
        return "N/A";
    const QString total = Utils::FormatByteSize(e.Sum(), 1024, 1, "%1%2");
    const QString avg = Utils::FormatByteSize(e.Sum() / e.Count(), 1024, 1, "%1%2");
    return "count " + std::to_string(e.Count()) + ", total " + total.toStdString() + "bytes, avg " +
           avg.toStdString() + "bytes";
}

using DoneFn = boost::function<void()>;

class MbcAdapter : public iCore::MsgObject,
                   public MediaBridgeControl::IMbcTransp,
                   public MediaBridgeControl::IMbcSendDone,
                   public SessTranspLayer::IStl2Owner,
                   public SessTranspLayer::IStlTransport,
                   public ILowLevelTransportEvents
{
public:
    explicit MbcAdapter(const MbcAdapterEnv& env)
        : iCore::MsgObject(env.m_thread), m_log(env.m_log, "MbcAdapter"), m_server(env.m_server),
          m_events(env.m_events), m_tagPacket(16, "packet")
    {
        ESS_ASSERT(env.m_createFn);
        m_ll = env.m_createFn(LlEnvToCreate(env.m_thread, env.m_log, *this));
        if (m_ll)
        {
            m_log.Add(YrLogV2::Info, "Starting low level transport");
            m_ll->Start();
            return;
        }
        m_log.Add(YrLogV2::Info, "Cannot create low level transport");
        // The owner is still making this object and cannot ask for its state yet: told later.
        SetState(TranspState::FatalError, false);
        PutMsg(&MbcAdapter::NotifyStateChanged);
    }

    ~MbcAdapter() override
    {
        m_stl.reset();
        m_ll.reset();
    }

    // MediaBridgeControl::IMbcTransp

    void SendData(const Utils::ByteArray& data) override { SendDataNotify(data, DoneFn()); }

    TranspState State() const override
    {
        TranspState res = m_state;
        if (m_stl)
            res.SetDetails(Utils::LocaleStringToUnicode(StatisticsLine()));
        return res;
    }

    void Disconnect(bool restart) override
    {
        if (!m_stl)
        {
            m_log.Add(YrLogV2::Warning, "Try to Disconnect when there is no stlConnection");
            return;
        }
        m_log.Add(YrLogV2::Info, "Disconnect by command");
        m_reconnect = restart;
        m_closedByOwner = !restart;
        m_stl->Disconnect();
    }

    // MediaBridgeControl::IMbcSendDone

    void SendDataNotify(const Utils::ByteArray& data, const DoneFn& done) override
    {
        if (!CanSend(done))
            return;
        // The session cuts the data into packets at once; the last of them stands for all.
        const uint64_t before = m_packetSeq;
        m_stl->SendData(data);
        AwaitPackets(before, done);
    }

    // The frames share the channel's writes: every write is full but the batch's last.
    void SendDataBatchNotify(const std::vector<Utils::ByteArray>& chunks, const DoneFn& done) override
    {
        if (!CanSend(done))
            return;
        const uint64_t before = m_packetSeq;
        m_stl->SendDataBatch(chunks);
        AwaitPackets(before, done);
    }

private:
    // SessTranspLayer::IStl2Owner

    void Connected(uint64_t id) override
    {
        m_log.Add(YrLogV2::Info, "Connected: {0:#x}", id);
        m_llFailed = false;
        m_closedByOwner = false;
        SetState(TranspState::Connected, true);
    }

    void ReceiveData(const Utils::ByteArray& data, uint64_t id) override
    {
        m_log.Add(YrLogV2::Info, "ReceiveData, size: {}, id: {:#x}", data.Size(), id);
        m_events.OnRecvData(data);
    }

    void Disconnected(const SessTranspLayer::DiscCause& cause, uint64_t id) override
    {
        m_log.Add(YrLogV2::Info, "Disconnected: {:#x}, cause: {}", id, cause.ToString());
        SetState(TranspState::Disconnected, true);
        if (m_reconnect)
        {
            m_reconnect = false;
            m_log.Add(YrLogV2::Info, "Trying to reconnect");
            // Called from inside the session's state machine, which must not be re-entered.
            PutMsg(&MbcAdapter::Reconnect);
        }
    }

    // SessTranspLayer::IStlTransport

    bool IsConnected() const override { return m_llConnected && !m_llFailed; }

    void SetUser(SessTranspLayer::IStlTransport2Owner& user) override
    {
        ESS_ASSERT(!IsStlTransport2OwnerSet());
        m_pIStlTransp2Owner = &user;
    }

    void Send(const Utils::ByteArray& data) override
    {
        ESS_ASSERT(!data.IsNull());
        ESS_ASSERT(!data.IsEmpty());
        ESS_ASSERT(data.Size() <= m_maxPacketSize);
        // The session is ending (the channel went down or refused a write) and learns it from
        // the posted error: the channel is not asked again, and nothing is refused or logged per
        // packet meanwhile.
        if (m_llFailed)
            return;
        if (m_log.Active(m_tagPacket))
            m_log.Add(m_tagPacket, "Packet to send [{}] {{ {} }}", data.Size(), data.ToString(16, 0));
        // The session's piece is handed down shared: it is never written again, and the channel
        // keeps its reference until the host has sent it. The result keeps the bytes only for the
        // packet log.
        const uint64_t seq = ++m_packetSeq;
        const Utils::ByteArray logged = m_log.Active(m_tagPacket) ? data : Utils::ByteArray();
        m_ll->SendPacket(data,
                         boost::bind(&MbcAdapter::OnSendPacketRes, this, boost::placeholders::_1, logged, seq));
    }

    // ILowLevelTransportEvents

    void OnConnected(bool connected, uint64_t maxPacketSize) override
    {
        m_log.Add(YrLogV2::Info, "LL transport event {}, maxPackSz: {}", connected ? "EvTrConn" : "EvTrDisc",
                  maxPacketSize);
        if (connected == m_llConnected)
        {
            m_log.Add(YrLogV2::Warning, "Double LL transport event!");
            return;
        }
        m_llConnected = connected;
        if (connected)
        {
            m_llFailed = false; // a channel that connects again starts afresh
            SetupStlConnection(maxPacketSize);
        }
        if (!m_pIStlTransp2Owner)
        {
            m_log.Add(YrLogV2::Error, "IStlTransportOwner not set. Low level transport event is lost");
            return;
        }
        if (connected)
        {
            GetStlTransport2Owner().OnTranspConnected();
            return;
        }
        GetStlTransport2Owner().OnTranspError(L"MbcLowLevelTransportEvents disc");
        m_llFailed = true;
    }

    void OnDataReceived(const Utils::ByteArray& data) override
    {
        if (data.IsEmpty())
        {
            m_log.Add(YrLogV2::Warning, "OnDataRecv ignored, data is empty");
            return;
        }
        if (m_log.Active(m_tagPacket))
            m_log.Add(m_tagPacket, "Packet received [{}] {{ {} }}", data.Size(), data.ToString(0, 0));
        if (!m_pIStlTransp2Owner)
        {
            m_log.Add(YrLogV2::Warning, "OnDataRecv ignored, m_pIStlTransp2Owner = 0");
            return;
        }
        GetStlTransport2Owner().OnTranspData(data);
    }

    // Own

    // A session that takes data now; else `done` is posted.
    bool CanSend(const DoneFn& done)
    {
        if (!m_stl)
        {
            m_log.Add(YrLogV2::Warning, "Try to SendData to a IMbcTransp that is not created");
            PostDone(done);
            return false;
        }
        if (!m_stl->IsConnected())
        {
            m_log.Add(YrLogV2::Warning, "Try to SendData to a IMbcTransp that in not connected state");
            PostDone(done);
            return false;
        }
        return true;
    }

    // `done` waits for the last packet handed down since `before`, or is posted when there is none.
    void AwaitPackets(uint64_t before, const DoneFn& done)
    {
        if (!done)
            return;
        if (m_packetSeq == before)
            PostDone(done); // the session dropped it
        else
            m_chunkDone.emplace(m_packetSeq, done);
    }

    void OnSendPacketRes(const SendDataRes& res, const Utils::ByteArray& packet, uint64_t seq)
    {
        if (m_log.Active(m_tagPacket))
            m_log.Add(m_tagPacket, "OnSendPacketRes '{}' packet [{}] {{ {} }}", res.ToString(), packet.Size(),
                      packet.ToString(16, 0));
        if (res == SendDataRes(SendDataRes::Failed))
            OnWriteRefused();
        else if (res == SendDataRes(SendDataRes::RemoteNotReady))
        {
            if (m_log.Active(m_tagPacket))
                m_log.Add(m_tagPacket, "Remote side couldn't retrieve the packet");
        }
        // Ok, and TryLater, which the adapter does not send again.
        FinishChunk(seq);
    }

    // The session cannot go on without the packet, but the channel may well be fine: the
    // session ends, and a new one is opened over the same channel after the usual delay. The
    // writes of the ended session that are refused after the first add nothing (and no log).
    void OnWriteRefused()
    {
        if (m_llFailed)
            return;
        m_llFailed = true;
        const bool restart = m_llConnected && !m_closedByOwner;
        m_log.Add(YrLogV2::Warning, "The channel refused a write: the session ends{}",
                  restart ? ", a new one opens in " + std::to_string(c_sessionRestartDelayMs) + " ms" : "");
        if (m_pIStlTransp2Owner)
            GetStlTransport2Owner().OnTranspError(L"Unrecoverable ll-transport error.");
        if (restart)
            RunDelayed(boost::bind(&MbcAdapter::RestartAfterRefusal, this), c_sessionRestartDelayMs);
    }

    void RestartAfterRefusal()
    {
        // The channel went away meanwhile (its return opens the session), or it came back and
        // already did, or the owner closed the session for good.
        if (!m_llConnected || !m_llFailed || m_closedByOwner || !m_pIStlTransp2Owner)
            return;
        m_llFailed = false;
        m_log.Add(YrLogV2::Info, "Opening a new session after the refused write");
        GetStlTransport2Owner().OnTranspConnected();
    }

    void FinishChunk(uint64_t seq)
    {
        auto it = m_chunkDone.find(seq);
        if (it == m_chunkDone.end())
            return;
        const DoneFn done = std::move(it->second);
        m_chunkDone.erase(it);
        done();
    }

    void PostDone(const DoneFn& done)
    {
        if (done)
            PutFunctor(done);
    }

    void SetupStlConnection(uint64_t maxPackSize)
    {
        ESS_ASSERT(maxPackSize > 0);
        if (maxPackSize == m_maxPacketSize)
        {
            m_log.Add(YrLogV2::Info, "SetupStlConnection ignored because packet size is not changed");
            return;
        }
        SessTranspLayer::StlSettings settings;
        settings.m_role = m_server ? SessTranspLayer::c_stlRoleServer : SessTranspLayer::c_stlRoleClient;
        settings.m_maxPacketSize = maxPackSize;
        settings.m_respTimeoutMs = c_respTimeoutMs;
        settings.m_pingIntervalMs = c_pingIntervalMs;
        m_log.Add(YrLogV2::Info, "Init StlConnection on {}, maxPacketSize: {}, respTimeout: {}",
                  m_server ? "Server" : "Client", maxPackSize, c_respTimeoutMs);

        m_pIStlTransp2Owner = nullptr;
        // The new session's sends must already see the new size.
        m_maxPacketSize = maxPackSize;
        auto next = std::make_unique<SessTranspLayer::StlConnection>(settings, m_log, *this, *this);
        m_stl.swap(next); // the previous session goes after the replacement
    }

    void SetState(TranspState::Value value, bool notify)
    {
        const TranspState next(value);
        if (next.CastToInt() == m_state.CastToInt())
            return;
        m_log.Add(YrLogV2::Info, "State changed from: {}, to: {}", m_state.ToString(), next.ToString());
        m_state.Set(value, Utils::StdStringToWString(next.ToString()));
        if (notify)
            m_events.OnStateChanged();
    }

    void NotifyStateChanged() { m_events.OnStateChanged(); }

    void Reconnect()
    {
        if (m_stl)
            m_stl->Connect();
    }

    std::string StatisticsLine() const
    {
        const SessTranspLayer::StlStatistics st = m_stl->GetStatistics();
        return "max packet " + std::to_string(st.m_maxPacketSize) + " bytes; sessions " +
               std::to_string(st.m_sessions) + "; send " + StatText(st.m_sent) + "; recv " +
               StatText(st.m_received);
    }

    bool IsStlTransport2OwnerSet() const { return m_pIStlTransp2Owner != nullptr; }

    SessTranspLayer::IStlTransport2Owner& GetStlTransport2Owner()
    {
        ESS_ASSERT(m_pIStlTransp2Owner);
        return *m_pIStlTransp2Owner;
    }

    YrLogV2::Log m_log;
    const bool m_server;
    MediaBridgeControl::IMbcTranspEvents& m_events;
    TranspState m_state;
    std::unique_ptr<ILowLevelTransport> m_ll;
    std::unique_ptr<SessTranspLayer::StlConnection> m_stl;
    uint64_t m_maxPacketSize = 0;
    SessTranspLayer::IStlTransport2Owner* m_pIStlTransp2Owner = nullptr;
    bool m_llConnected = false;
    bool m_llFailed = false;
    bool m_reconnect = false;
    YrLogV2::UserTag m_tagPacket;

    bool m_closedByOwner = false;           // Disconnect without restart, until a session connects again
    uint64_t m_packetSeq = 0;               // of the last packet handed to the low-level transport
    std::map<uint64_t, DoneFn> m_chunkDone; // by the sequence number of each chunk's last packet
};

} // namespace

std::unique_ptr<MediaBridgeControl::IMbcTransp> CreateMbcAdapter(const MbcAdapterEnv& env)
{
    env.m_thread.AssertContext();
    return std::make_unique<MbcAdapter>(env);
}

} // namespace VdiCommon
