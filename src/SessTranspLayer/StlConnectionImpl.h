#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "SessTranspLayer/StlConnection.h"
#include "SessTranspLayer/StlPacket.h"
#include "Utils/ByteArray.h"
#include "Utils/Fsm.h"
#include "YrLogV2/Log.h"
#include "YrMeta/SmartEnum.h"
#include "iCore/MsgObject.h"

namespace SessTranspLayer
{

// The session state machine behind StlConnection. Everything runs on the thread that made it:
// the owner's calls, the transport's calls, timers and the events it posts to itself.
class StlConnectionImpl : public IStlTransport2Owner, public iCore::MsgObject
{
public:
    YRMETA_SMART_ENUM(St, (stInitialCli, 0), (stInitialSrv, 1), (stWaitConnected, 2), (stConnected, 3),
                      (stWaitDisc, 4), (stWaitTranspCli, 5));

    struct EvBase : Utils::FsmBaseEvent
    {
    };
    struct EvConnectCmd : EvBase
    {
    };
    struct EvWaitTranspCmd : EvBase
    {
    };
    struct EvConnectPackCmd : EvBase
    {
    };
    struct EvConnected : EvBase
    {
    };
    struct EvDiscUserCmd : EvBase
    {
    };
    struct EvDiscPackCmd : EvBase
    {
    };
    struct EvDisconnected : EvBase
    {
    };
    struct EvPing : EvBase
    {
    };
    struct EvPong : EvBase
    {
    };
    struct EvErr : EvBase
    {
        explicit EvErr(const DiscCause& cause) : m_cause(cause) {}
        std::wstring ToString() const override; // "EvErr cause: <name>"
        DiscCause m_cause;
    };
    struct EvRxData : EvBase
    {
        explicit EvRxData(const Utils::ByteArray& data) : m_data(data) {}
        Utils::ByteArray m_data;
    };

    struct Session
    {
        uint32_t m_id = 0;
        uint16_t m_txNum = 0; // next number to send
        uint16_t m_rxNum = 0; // next number expected
        uint64_t m_dst = 0;   // the peer's source id
        // Which session a posted Connected notification belongs to (not on the wire).
        uint64_t m_serial = 0;
    };

    struct SessionEnv;

    StlConnectionImpl(const StlSettings& settings, YrLogV2::Log& parentLog, IStl2Owner& owner,
                      IStlTransport& transport);
    ~StlConnectionImpl() override;

    void Connect();
    void Disconnect();
    bool IsConnected() const;
    void SendData(const Utils::ByteArray& data);
    void SendDataBatch(const std::vector<Utils::ByteArray>& batch);
    StlStatistics GetStatistics() const { return m_stat; }

    // IStlTransport2Owner
    void OnTranspConnected() override;
    void OnTranspData(const Utils::ByteArray& data) override;
    void OnTranspError(const std::wstring& cause) override;

private:
    using StFsm = Utils::Fsm<EvBase, St::Value>;

    static const StlSettings& CheckedSettings(const StlSettings& settings);
    static std::string StateName(St::Value state);

    bool IsClientMode() const { return m_settings.m_role == c_stlRoleClient; }
    void BuildFsmTable();

    void RaiseEvent(const EvBase& ev);
    template <class TEv>
    void PostEvent(const TEv& ev)
    {
        PutFunctor([this, ev] { RaiseEvent(ev); });
    }
    void OnNoTransition(const EvBase& ev);
    void OnChangeState(St::Value oldState, St::Value newState);

    void NewSession();
    bool AcceptUserData(const Utils::ByteArray& data);
    // The next packet of the session, logged and counted as sent.
    StlPacket MakePacket(StlCmd cmd, const Utils::ByteArray& data);
    void SendCmd(StlCmd cmd, const Utils::ByteArray& data);
    void CloseSession(const DiscCause& cause);
    void NotifyConnected();
    void RestartRxPingTimer();
    void OnPingTimer();
    void OnRxPingTimeout();
    void OnRspTimeout();

    // Receiving
    void ParseStream(const Utils::ByteArray& chunk);
    void ResumeRx();
    void ProcessPacket(const StlPacket& p);
    bool CheckIncomingPacket(const StlPacket& p);
    bool ServerProcessInitialPacket(const StlPacket& p);
    bool ClientProcessInitialPacket(const StlPacket& p);
    void SetUpSession(const StlPacket& p);
    void DispatchPacket(const StlPacket& p);

    // Handlers
    void DoNothing(const EvBase& ev);
    void StartCliSession(const EvConnectCmd& ev);
    void OnConnected(const EvConnected& ev);
    void OnSrvConnectPack(const EvConnectPackCmd& ev);
    void OnSrvPing(const EvPing& ev);
    void OnDiscUserCmd(const EvDiscUserCmd& ev);
    void OnDiscPackCmd(const EvDiscPackCmd& ev);
    void OnDisconnected(const EvDisconnected& ev);
    void OnRxData(const EvRxData& ev);
    void OnSrvErr(const EvErr& ev);
    void CliRestartOrRetrySession(const EvErr& ev);

    const StlSettings m_settings;
    const uint64_t m_srcId;
    IStl2Owner& m_owner;
    IStlTransport& m_transport;
    StlStatistics m_stat;
    YrLogV2::Log m_log;
    const YrLogV2::UserTag m_tagPacket;
    const YrLogV2::UserTag m_tagState;
    const YrLogV2::UserTag m_tagFsmEv;
    const YrLogV2::UserTag m_tagFsmWarning;
    const YrLogV2::UserTag m_tagFsmErr;
    StFsm m_fsm;
    std::unique_ptr<Session> m_currSession;
    std::unique_ptr<SessionEnv> m_sessionEnv;
    uint64_t m_sessionSerial = 0;
    // While a Connected notification waits in the queue, received bytes wait too, so that the
    // owner hears of the session before its first data.
    bool m_rxHeld = false;
    Utils::ByteArray m_rxHeldData;
};

} // namespace SessTranspLayer
