#include "VdiCommon/PluginBridge/MbcAdapter.h"
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

class MbcAdapter : public iCore::MsgObject,
                   public MediaBridgeControl::IMbcTransp,
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

    void SendData(const Utils::ByteArray& data) override
    {
        if (!m_stl)
        {
            m_log.Add(YrLogV2::Warning, "Try to SendData to a IMbcTransp that is not created");
            return;
        }
        if (!m_stl->IsConnected())
        {
            m_log.Add(YrLogV2::Warning, "Try to SendData to a IMbcTransp that in not connected state");
            return;
        }
        m_stl->SendData(data);
    }

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
        m_stl->Disconnect();
    }

private:
    // SessTranspLayer::IStl2Owner

    void Connected(uint64_t id) override
    {
        m_log.Add(YrLogV2::Info, "Connected: {0:#x}", id);
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
        if (m_log.Active(m_tagPacket))
            m_log.Add(m_tagPacket, "Packet to send [{}] {{ {} }}", data.Size(), data.ToString(16, 0));
        // A private block per write: the channel keeps it until the host has sent it.
        Utils::ByteArray copy(data.Data(), data.Size(), m_maxPacketSize);
        ++m_inFlight;
        if (!m_backlogHigh && m_inFlight >= c_llBacklogHigh)
            SetBacklog(true);
        m_ll->SendPacket(copy,
                         boost::bind(&MbcAdapter::OnSendPacketRes, this, boost::placeholders::_1, copy));
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
            SetupStlConnection(maxPacketSize);
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

    void OnSendPacketRes(const SendDataRes& res, const Utils::ByteArray& packet)
    {
        if (m_inFlight > 0)
            --m_inFlight;
        if (m_backlogHigh && m_inFlight <= c_llBacklogLow)
            SetBacklog(false);
        if (m_log.Active(m_tagPacket))
            m_log.Add(m_tagPacket, "OnSendPacketRes '{}' packet [{}] {{ {} }}", res.ToString(), packet.Size(),
                      packet.ToString(16, 0));
        if (res == SendDataRes(SendDataRes::Failed))
        {
            const std::wstring text = L"Unrecoverable ll-transport error.";
            if (m_pIStlTransp2Owner)
                GetStlTransport2Owner().OnTranspError(text);
            m_llFailed = true;
        }
        else if (res == SendDataRes(SendDataRes::RemoteNotReady))
        {
            if (m_log.Active(m_tagPacket))
                m_log.Add(m_tagPacket, "Remote side couldn't retrieve the packet");
        }
        // Ok, and TryLater, which the adapter does not send again.
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
        std::unique_ptr<SessTranspLayer::StlConnection> next(
            new SessTranspLayer::StlConnection(settings, m_log, *this, *this));
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

    void SetBacklog(bool high)
    {
        m_backlogHigh = high;
        if (auto* p = dynamic_cast<MediaBridgeControl::IMbcSendFlowEvents*>(&m_events))
            p->OnSendBacklog(high);
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

    uint64_t m_inFlight = 0; // packets handed to the low-level transport, result still to come
    bool m_backlogHigh = false;
};

} // namespace

std::unique_ptr<MediaBridgeControl::IMbcTransp> CreateMbcAdapter(const MbcAdapterEnv& env)
{
    env.m_thread.AssertContext();
    return std::unique_ptr<MediaBridgeControl::IMbcTransp>(new MbcAdapter(env));
}

} // namespace VdiCommon
