#include "SessTranspLayer/StlConnectionImpl.h"

#include <algorithm>
#include <climits>
#include <map>
#include <mutex>
#include <utility>
#include <vector>
#include <fmt/format.h>
#include <fmt/xchar.h>
#include "ESS/Assert.h"
#include "Platform/SysInfo.h"
#include "Utils/Random.h"
#include "iCore/MsgTimerEx.h"

namespace SessTranspLayer
{

namespace
{

const int c_tagLevel = 16;

// One generator for every connection of the process, so that two connections made in a row
// draw different parts of one sequence.
std::mutex& RandomMutex()
{
    static std::mutex s_mutex;
    return s_mutex;
}

Utils::Random& RandomSource() // under RandomMutex
{
    static Utils::Random s_random(Platform::GetTickCount());
    return s_random;
}

// Never 0: (a + 1) * (b + 1) with a, b below 2^32 - 1.
uint64_t NextSrcId()
{
    std::lock_guard<std::mutex> lock(RandomMutex());
    const uint64_t a = RandomSource().Next(0xFFFFFFFF);
    const uint64_t b = RandomSource().Next(0xFFFFFFFF);
    return (a + 1) * (b + 1);
}

// 1 .. 0xFFFFFFFF.
uint32_t NextSessionId()
{
    std::lock_guard<std::mutex> lock(RandomMutex());
    return RandomSource().Next(0xFFFFFFFF) + 1;
}

// Timer settings and statistics values are ints: larger values stop at INT_MAX (a timer armed
// beyond the maximum of MsgTimerEx never fires).
int ClampToInt(uint64_t value)
{
    return static_cast<int>(std::min<uint64_t>(value, INT_MAX));
}

// Frames packets straight into the pieces the lower transport takes: header and payload go
// from the packet into the piece, with no frame-sized buffer in between, and every piece is
// full but the last of what the writer was made for, so that frames sent together share pieces.
class PieceWriter
{
public:
    // total: the wire size of all the packets that will be added; each piece is made once, at
    // its final size.
    PieceWriter(IStlTransport& transport, uint64_t maxPiece, uint64_t total)
        : m_transport(transport), m_maxPiece(maxPiece), m_left(total)
    {
    }
    ~PieceWriter() { ESS_ASSERT(m_left == 0 && m_piece.IsNull()); }

    void Add(const StlPacket& p)
    {
        uint8_t header[c_stlHeaderSize];
        StlPacketSerializer::WriteHeader(p, header);
        Put(header, c_stlHeaderSize);
        if (!p.m_data.IsEmpty())
            Put(p.m_data.Data(), p.m_data.Size());
    }

private:
    void Put(const uint8_t* pData, uint64_t size)
    {
        while (size > 0)
        {
            ESS_ASSERT(m_left >= size);
            if (m_piece.IsNull())
                m_piece = Utils::ByteArray(std::min(m_maxPiece, m_left), uint64_t(0));
            const uint64_t n = std::min(size, m_piece.Capacity() - m_piece.Size());
            m_piece.Append(pData, n, false);
            pData += n;
            size -= n;
            m_left -= n;
            if (m_piece.Size() == m_piece.Capacity())
            {
                Utils::ByteArray piece = std::move(m_piece);
                m_piece = Utils::ByteArray();
                m_transport.Send(piece);
            }
        }
    }

    IStlTransport& m_transport;
    const uint64_t m_maxPiece;
    uint64_t m_left; // bytes still to come
    Utils::ByteArray m_piece;
};

std::string CmdName(uint32_t cmd)
{
    StlCmd c(StlCmd::nonInitialize);
    if (cmd <= INT_MAX && c.FromInt(YrMeta::EnumValue(static_cast<int>(cmd)), false))
        return c.ToString();
    return std::to_string(cmd);
}

} // namespace

struct StlConnectionImpl::SessionEnv
{
    explicit SessionEnv(uint32_t rspTimeout) : m_rspTimeout(rspTimeout)
    {
        m_rspCmds[StlCmd::cmdConnect] = StlCmd::cmdConnected;
        m_rspCmds[StlCmd::cmdPing] = StlCmd::cmdPong;
        m_rspCmds[StlCmd::cmdDisc] = StlCmd::cmdDisconnected;
        for (const auto& rc : m_rspCmds)
            m_rspTimers[rc.second] = std::make_unique<iCore::MsgTimerEx>();
    }

    void StopTimers()
    {
        m_pingTimer.Stop();
        for (auto& t : m_rspTimers)
            t.second->Stop();
    }

    const uint32_t m_rspTimeout;
    iCore::MsgTimerEx m_pingTimer;          // client: periodic ping; server: single-shot RxPing watchdog
    std::map<uint32_t, uint32_t> m_rspCmds; // request -> awaited response
    std::map<uint32_t, std::unique_ptr<iCore::MsgTimerEx>> m_rspTimers; // by awaited response
    StlPacketSerializer m_serializer;
};

std::wstring StlConnectionImpl::EvErr::ToString() const
{
    const std::string name = m_cause.ToString();
    return fmt::format(L"EvErr cause: {}", std::wstring(name.begin(), name.end()));
}

// ------------------------------------------------------------------------------------------------

const StlSettings& StlConnectionImpl::CheckedSettings(const StlSettings& settings)
{
    // A size of 0 would cut every frame into empty pieces without end.
    const uint64_t maxPacketSize = settings.m_maxPacketSize;
    ESS_ASSERT(maxPacketSize > 0);
    return settings;
}

std::string StlConnectionImpl::StateName(St::Value state)
{
    return St(state).ToString();
}

StlConnectionImpl::StlConnectionImpl(const StlSettings& settings, YrLogV2::Log& parentLog, IStl2Owner& owner,
                                     IStlTransport& transport)
    : m_settings(CheckedSettings(settings)), m_srcId(NextSrcId()), m_owner(owner), m_transport(transport),
      m_log(parentLog, settings.m_role == c_stlRoleClient ? "StlClient" : "StlServer"),
      m_tagPacket(c_tagLevel, "packet"), m_tagState(c_tagLevel, "state"), m_tagFsmEv(c_tagLevel, "FsmEv"),
      m_tagFsmWarning(c_tagLevel, "FsmWarning"), m_tagFsmErr(c_tagLevel, "FsmErr"),
      m_fsm(
          settings.m_role == c_stlRoleClient ? St::stInitialCli : St::stInitialSrv,
          [this](const EvBase& ev) { OnNoTransition(ev); },
          [this](St::Value oldState, St::Value newState) { OnChangeState(oldState, newState); }),
      m_sessionEnv(std::make_unique<SessionEnv>(settings.m_respTimeoutMs))
{
    m_stat.m_maxPacketSize = static_cast<uint32_t>(settings.m_maxPacketSize);
    m_transport.SetUser(*this);
    BuildFsmTable();
    m_log.Add(YrLogV2::Info, "SrcId = {}", m_srcId);

    // Posted, so that the first event runs from the message loop after the owner has its object.
    if (IsClientMode())
    {
        if (m_transport.IsConnected())
            PostEvent(EvConnectCmd());
        else
            PostEvent(EvWaitTranspCmd());
    }
}

StlConnectionImpl::~StlConnectionImpl()
{
    m_sessionEnv.reset();
    m_currSession.reset();
}

void StlConnectionImpl::BuildFsmTable()
{
    using Utils::FsmSpecState;
    using Self = StlConnectionImpl;
    if (IsClientMode())
    {
        m_fsm.Add<EvConnectCmd>(St::stInitialCli, St::stWaitConnected, this, &Self::StartCliSession);
        m_fsm.Add<EvWaitTranspCmd>(St::stInitialCli, St::stWaitTranspCli, this, &Self::DoNothing);
        m_fsm.Add<EvConnectCmd>(St::stWaitTranspCli, St::stWaitConnected, this, &Self::StartCliSession);
        m_fsm.Add<EvConnected>(St::stWaitConnected, St::stConnected, this, &Self::OnConnected);
        m_fsm.Add<EvPong>(St::stConnected, FsmSpecState::_SameState_, this, &Self::DoNothing);
        m_fsm.Add<EvDiscUserCmd>(St::stConnected, St::stWaitDisc, this, &Self::OnDiscUserCmd);
        m_fsm.Add<EvDiscPackCmd>(St::stConnected, St::stInitialCli, this, &Self::OnDiscPackCmd);
        m_fsm.Add<EvRxData>(St::stConnected, FsmSpecState::_SameState_, this, &Self::OnRxData);
        m_fsm.Add<EvDisconnected>(St::stWaitDisc, St::stInitialCli, this, &Self::OnDisconnected);
        m_fsm.Add<EvErr>(FsmSpecState::_AnyState_, FsmSpecState::_DynamicState_, this,
                         &Self::CliRestartOrRetrySession);
    }
    else
    {
        m_fsm.Add<EvConnectPackCmd>(St::stInitialSrv, St::stConnected, this, &Self::OnSrvConnectPack);
        m_fsm.Add<EvDiscPackCmd>(St::stConnected, St::stInitialSrv, this, &Self::OnDiscPackCmd);
        m_fsm.Add<EvDiscUserCmd>(St::stConnected, St::stWaitDisc, this, &Self::OnDiscUserCmd);
        m_fsm.Add<EvPing>(St::stConnected, FsmSpecState::_SameState_, this, &Self::OnSrvPing);
        m_fsm.Add<EvRxData>(St::stConnected, FsmSpecState::_SameState_, this, &Self::OnRxData);
        m_fsm.Add<EvDisconnected>(St::stWaitDisc, St::stInitialSrv, this, &Self::OnDisconnected);
        m_fsm.Add<EvErr>(FsmSpecState::_AnyState_, St::stInitialSrv, this, &Self::OnSrvErr);
    }
}

// ------------------------------------------------------------------------------------------------
// Owner's calls

void StlConnectionImpl::Connect()
{
    RaiseEvent(EvConnectCmd());
}

void StlConnectionImpl::Disconnect()
{
    RaiseEvent(EvDiscUserCmd());
}

bool StlConnectionImpl::IsConnected() const
{
    return m_fsm.GetState() == St::stConnected;
}

void StlConnectionImpl::SendData(const Utils::ByteArray& data)
{
    if (AcceptUserData(data))
        SendCmd(StlCmd::cmdData, data);
}

void StlConnectionImpl::SendDataBatch(const std::vector<Utils::ByteArray>& batch)
{
    std::vector<StlPacket> packets;
    packets.reserve(batch.size());
    uint64_t total = 0;
    for (const Utils::ByteArray& data : batch)
    {
        if (!AcceptUserData(data))
            continue;
        packets.push_back(MakePacket(StlCmd::cmdData, data));
        total += packets.back().WireSize();
    }
    PieceWriter writer(m_transport, m_settings.m_maxPacketSize, total);
    for (const StlPacket& p : packets)
        writer.Add(p);
}

bool StlConnectionImpl::AcceptUserData(const Utils::ByteArray& data)
{
    // Inside Disconnected the state still reads stConnected while the session is gone.
    if (!IsConnected() || !m_currSession)
    {
        m_log.Add(YrLogV2::Warning, "User try Send data in state {}. Ignore.", StateName(m_fsm.GetState()));
        return false;
    }
    // Every receiver refuses a larger payload; sending it would only cost the session.
    if (data.Size() > c_stlMaxPayload)
    {
        m_log.Add(YrLogV2::Warning, "User try Send data of size {} above the limit {}. Ignore.", data.Size(),
                  c_stlMaxPayload);
        return false;
    }
    m_log.Add(m_tagFsmEv, "User SendData size {}", data.Size());
    return true;
}

// ------------------------------------------------------------------------------------------------
// Lower transport's calls

void StlConnectionImpl::OnTranspConnected()
{
    m_log.Add(m_tagFsmEv, "Transport connected.");
    PostEvent(EvConnectCmd());
}

void StlConnectionImpl::OnTranspError(const std::wstring& cause)
{
    m_log.Add(m_tagFsmEv, "Transport OnError with cause {}", cause);
    PostEvent(EvErr(DiscCause::dcTranspErr));
}

void StlConnectionImpl::OnTranspData(const Utils::ByteArray& data)
{
    m_stat.m_received.Add(ClampToInt(data.Size()));
    if (data.IsNull())
        return; // nothing to parse
    if (m_rxHeld)
    {
        // Grown geometrically: many small chunks may arrive while Connected is on its way.
        const uint64_t needed = m_rxHeldData.Size() + data.Size();
        if (m_rxHeldData.Capacity() < needed)
        {
            Utils::ByteArray bigger(std::max<uint64_t>(needed, 2 * m_rxHeldData.Capacity()), uint64_t(0));
            if (!m_rxHeldData.IsEmpty())
                bigger.Append(m_rxHeldData, false);
            m_rxHeldData = std::move(bigger);
        }
        m_rxHeldData.Append(data, false);
        return;
    }
    ParseStream(data);
}

void StlConnectionImpl::ParseStream(const Utils::ByteArray& data)
{
    // Take every packet the chunk completes: one packet per chunk would leave a complete packet
    // (a second frame of the chunk, or one behind a dropped false start) waiting for unrelated
    // bytes, and a late answer would turn into a time-out. Each round consumes at least one
    // byte, and a closed session empties the parser, so the loop ends.
    StlPacketSerializer& parser = m_sessionEnv->m_serializer;
    const Utils::ByteArray none(uint64_t(0), uint64_t(0));
    Utils::ByteArray chunk = data;
    for (;;)
    {
        const uint64_t before = parser.BufferedSize() + chunk.Size();
        std::unique_ptr<StlPacket> p = parser.ProcessData(chunk);
        const bool progress = p || parser.BufferedSize() < before;
        if (p)
            ProcessPacket(*p);
        // The rest stays in the parser until the owner has heard Connected.
        if (!progress || m_rxHeld)
            break;
        chunk = none;
    }
}

void StlConnectionImpl::ResumeRx()
{
    m_rxHeld = false;
    Utils::ByteArray held;
    std::swap(held, m_rxHeldData);
    ParseStream(held.IsNull() ? Utils::ByteArray(uint64_t(0), uint64_t(0)) : held);
}

// ------------------------------------------------------------------------------------------------
// Events

void StlConnectionImpl::RaiseEvent(const EvBase& ev)
{
    if (m_log.Active(m_tagFsmEv))
        m_log.Add(m_tagFsmEv, "{} in state {}", ev.ToString(), StateName(m_fsm.GetState()));
    m_fsm.DoEvent(ev, Utils::FsmTable(0));
}

void StlConnectionImpl::OnNoTransition(const EvBase& ev)
{
    if (m_log.Active(m_tagFsmWarning))
        m_log.Add(m_tagFsmWarning, "No transition for {} in state {}", ev.ToString(),
                  StateName(m_fsm.GetState()));
}

void StlConnectionImpl::OnChangeState(St::Value oldState, St::Value newState)
{
    if (m_log.Active(m_tagState))
        m_log.Add(m_tagState, "Change state: {}->{}", StateName(oldState), StateName(newState));
}

// ------------------------------------------------------------------------------------------------
// Sessions and sending

void StlConnectionImpl::NewSession()
{
    ++m_stat.m_sessions;
    m_currSession = std::make_unique<Session>();
    m_currSession->m_serial = ++m_sessionSerial;
}

StlPacket StlConnectionImpl::MakePacket(StlCmd cmd, const Utils::ByteArray& data)
{
    ESS_ASSERT(m_currSession);
    const uint16_t num = m_currSession->m_txNum++;
    StlPacket p(m_srcId, m_currSession->m_id, num, cmd, data);
    if (m_log.Active(m_tagPacket))
        m_log.Add(m_tagPacket, "Tx: {}", p.ToString());
    m_stat.m_sent.Add(ClampToInt(p.WireSize())); // once per frame, however many pieces it takes
    return p;
}

void StlConnectionImpl::SendCmd(StlCmd cmd, const Utils::ByteArray& data)
{
    const StlPacket p = MakePacket(cmd, data);
    PieceWriter(m_transport, m_settings.m_maxPacketSize, p.WireSize()).Add(p);

    auto rsp = m_sessionEnv->m_rspCmds.find(p.m_cmd);
    if (rsp != m_sessionEnv->m_rspCmds.end())
        m_sessionEnv->m_rspTimers[rsp->second]->Start([this] { OnRspTimeout(); },
                                                      ClampToInt(m_sessionEnv->m_rspTimeout), false);
}

void StlConnectionImpl::CloseSession(const DiscCause& cause)
{
    m_log.Add(YrLogV2::Info, "Close session: {}", cause.ToString());
    m_sessionEnv->StopTimers();
    m_sessionEnv->m_serializer.Reset();
    // Bytes held back for the owner's Connected belong to this session as much as the parser's.
    m_rxHeldData = Utils::ByteArray();
    m_currSession.reset();
    m_owner.Disconnected(cause, m_srcId);
}

void StlConnectionImpl::NotifyConnected()
{
    ESS_ASSERT(m_currSession);
    const uint64_t serial = m_currSession->m_serial;
    m_rxHeld = true;
    PutFunctor(
        [this, serial]
        {
            // Parsing resumes from a message of its own: the owner may do anything in Connected.
            PutFunctor([this] { ResumeRx(); });
            // An event posted earlier (a transport error) may have closed the session already;
            // its owner must not hear Connected after its Disconnected.
            if (!m_currSession || m_currSession->m_serial != serial)
            {
                m_log.Add(m_tagFsmWarning, "Session closed before it was reported connected");
                return;
            }
            m_log.Add(YrLogV2::Info, "Session Connected");
            m_owner.Connected(m_srcId);
        });
}

void StlConnectionImpl::RestartRxPingTimer()
{
    const uint64_t ms = uint64_t(m_settings.m_pingIntervalMs) + m_settings.m_respTimeoutMs;
    m_sessionEnv->m_pingTimer.Start([this] { OnRxPingTimeout(); }, ClampToInt(ms), false);
}

void StlConnectionImpl::OnPingTimer()
{
    SendCmd(StlCmd::cmdPing, Utils::ByteArray());
}

void StlConnectionImpl::OnRxPingTimeout()
{
    m_log.Add(m_tagFsmWarning, "RxPing timeout");
    RaiseEvent(EvErr(DiscCause::dcRspTimeout));
}

void StlConnectionImpl::OnRspTimeout()
{
    RaiseEvent(EvErr(DiscCause::dcRspTimeout));
}

// ------------------------------------------------------------------------------------------------
// Receiving

void StlConnectionImpl::ProcessPacket(const StlPacket& p)
{
    if (m_log.Active(m_tagPacket))
        m_log.Add(m_tagPacket, "Rx: {}", p.ToString());
    if (!CheckIncomingPacket(p))
        return;
    // Every accepted packet belongs to a session: the check made or found one.
    ESS_ASSERT(m_currSession);
    ++m_currSession->m_rxNum;
    auto timer = m_sessionEnv->m_rspTimers.find(p.m_cmd);
    if (timer != m_sessionEnv->m_rspTimers.end())
        timer->second->Stop();
    DispatchPacket(p);
}

bool StlConnectionImpl::CheckIncomingPacket(const StlPacket& p)
{
    switch (m_fsm.GetState())
    {
    case St::stInitialSrv:
        if (p.m_cmd != StlCmd::cmdConnect)
            return false;
        NewSession();
        return ServerProcessInitialPacket(p);

    case St::stWaitConnected:
        if (p.m_cmd == StlCmd::cmdConnected)
            return ClientProcessInitialPacket(p);
        m_log.Add(m_tagFsmWarning, "Wrong type of initial packet {}", CmdName(p.m_cmd));
        return false;

    default:
        break;
    }

    if (!m_currSession)
    {
        m_log.Add(YrLogV2::Warning,
                  "Unexpected packet without curr session. Packet ignored. Rx: {} State: {}", p.ToString(),
                  StateName(m_fsm.GetState()));
        return false;
    }
    if (p.m_sessionId != m_currSession->m_id)
    {
        m_log.Add(m_tagFsmErr, "Unexpected session id {}", p.m_sessionId);
        // A new client session reaching a busy server ends the running one; the client's next
        // attempt then finds the server free.
        if (p.m_cmd == StlCmd::cmdConnect && !IsClientMode())
            RaiseEvent(EvErr(DiscCause::dcWrongHeader));
        return false;
    }
    if (p.m_srcId != m_currSession->m_dst)
    {
        m_log.Add(m_tagFsmErr, "Unexpected source id {}", p.m_srcId);
        RaiseEvent(EvErr(DiscCause::dcWrongHeader));
        return false;
    }
    if (p.m_packNum != m_currSession->m_rxNum)
    {
        m_log.Add(m_tagFsmErr, "Wrong packet num {}", p.m_packNum);
        RaiseEvent(EvErr(DiscCause::dcWrongHeader));
        return false;
    }
    return true;
}

bool StlConnectionImpl::ServerProcessInitialPacket(const StlPacket& p)
{
    if (p.m_srcId == 0)
    {
        RaiseEvent(EvErr(DiscCause::dcWrongHeader));
        return false;
    }
    SetUpSession(p);
    m_currSession->m_rxNum = p.m_packNum; // the caller then expects the next number
    return true;
}

bool StlConnectionImpl::ClientProcessInitialPacket(const StlPacket& p)
{
    if (p.m_packNum != 0 || p.m_sessionId == 0 || p.m_srcId == 0)
    {
        RaiseEvent(EvErr(DiscCause::dcWrongHeader));
        return false;
    }
    SetUpSession(p);
    return true;
}

void StlConnectionImpl::SetUpSession(const StlPacket& p)
{
    ESS_ASSERT(m_currSession);
    m_log.Add(m_tagFsmEv, "Setup session: {} with dst {}", p.m_sessionId, p.m_srcId);
    m_currSession->m_id = p.m_sessionId;
    m_currSession->m_dst = p.m_srcId;
}

void StlConnectionImpl::DispatchPacket(const StlPacket& p)
{
    switch (p.m_cmd)
    {
    case StlCmd::cmdConnect:
        RaiseEvent(EvConnectPackCmd());
        break;
    case StlCmd::cmdConnected:
        RaiseEvent(EvConnected());
        break;
    case StlCmd::cmdDisc:
        RaiseEvent(EvDiscPackCmd());
        break;
    case StlCmd::cmdDisconnected:
        RaiseEvent(EvDisconnected());
        break;
    case StlCmd::cmdPing:
        RaiseEvent(EvPing());
        break;
    case StlCmd::cmdPong:
        RaiseEvent(EvPong());
        break;
    case StlCmd::cmdData:
        RaiseEvent(EvRxData(p.m_data));
        break;
    default:
        break; // counted, but no event
    }
}

// ------------------------------------------------------------------------------------------------
// Handlers (inside the machine: events they need are posted)

void StlConnectionImpl::DoNothing(const EvBase&) {}

void StlConnectionImpl::StartCliSession(const EvConnectCmd&)
{
    ESS_ASSERT(!m_currSession);
    NewSession();
    m_currSession->m_id = NextSessionId();
    m_log.Add(YrLogV2::Info, "Start new session with id={}", m_currSession->m_id);
    SendCmd(StlCmd::cmdConnect, Utils::ByteArray());
}

void StlConnectionImpl::OnConnected(const EvConnected&)
{
    m_log.Add(m_tagFsmEv, "Start ping {}ms", m_settings.m_pingIntervalMs);
    m_sessionEnv->m_pingTimer.Start([this] { OnPingTimer(); }, ClampToInt(m_settings.m_pingIntervalMs), true);
    NotifyConnected();
}

void StlConnectionImpl::OnSrvConnectPack(const EvConnectPackCmd&)
{
    SendCmd(StlCmd::cmdConnected, Utils::ByteArray());
    RestartRxPingTimer();
    NotifyConnected();
}

void StlConnectionImpl::OnSrvPing(const EvPing&)
{
    SendCmd(StlCmd::cmdPong, Utils::ByteArray());
    RestartRxPingTimer();
}

void StlConnectionImpl::OnDiscUserCmd(const EvDiscUserCmd&)
{
    m_log.Add(m_tagFsmEv, "Begin Disc flow");
    SendCmd(StlCmd::cmdDisc, Utils::ByteArray());
}

void StlConnectionImpl::OnDiscPackCmd(const EvDiscPackCmd&)
{
    SendCmd(StlCmd::cmdDisconnected, Utils::ByteArray());
    CloseSession(DiscCause::dcDiscRemote);
}

void StlConnectionImpl::OnDisconnected(const EvDisconnected&)
{
    if (m_fsm.GetState() == St::stWaitDisc)
        CloseSession(DiscCause::dcDiscByUser);
}

void StlConnectionImpl::OnRxData(const EvRxData& ev)
{
    m_owner.ReceiveData(ev.m_data, m_srcId);
}

void StlConnectionImpl::OnSrvErr(const EvErr& ev)
{
    CloseSession(ev.m_cause);
}

void StlConnectionImpl::CliRestartOrRetrySession(const EvErr& ev)
{
    ESS_ASSERT(IsClientMode());
    const St::Value state = m_fsm.GetState();

    // The owner asked to disconnect: whatever ended the wait, the session is over and the
    // client waits for its owner (or its transport) instead of opening a new one.
    if (state == St::stWaitDisc)
    {
        m_log.Add(m_tagFsmEv, "Disconnect not confirmed. Close session without restart.");
        CloseSession(ev.m_cause);
        m_fsm.SetState(St::stInitialCli);
        return;
    }

    if (ev.m_cause == DiscCause::dcTranspErr)
        PostEvent(EvWaitTranspCmd());
    else
        PostEvent(EvConnectCmd());

    if (ev.m_cause == DiscCause::dcRspTimeout && state == St::stWaitConnected)
    {
        // The connect went unanswered: ask again within the same session.
        m_log.Add(m_tagFsmEv, "Connection timeout. Try connect again.");
        SendCmd(StlCmd::cmdConnect, Utils::ByteArray());
        return;
    }

    m_log.Add(m_tagFsmEv, "Restart new session. Try connect again.");
    CloseSession(ev.m_cause);
    m_fsm.SetState(St::stInitialCli);
}

} // namespace SessTranspLayer
