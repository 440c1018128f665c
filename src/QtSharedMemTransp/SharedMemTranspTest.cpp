// The named entry "SharedMemTranspTest": two processes, a server and a client on one segment
// name, run the media-bridge packet protocol over the shared-memory transport, each sending bursts
// of numbered packets and checking the numbers of what arrives, until a key press, a failure of
// the link or a packet out of sequence.
#include <iostream>
#include <memory>
#include <string>
#include <boost/bind/bind.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/make_shared.hpp>
#include <fmt/format.h>
#include "ESS/Exception.h"
#include "MbProtocol/MbProto.h"
#include "Platform/SysInfo.h"
#include "QtSharedMemTransp/QtSharedMemTransp.h"
#include "Utils/AppEntry.h"
#include "Utils/ByteArray.h"
#include "Utils/LexicalCast.h"
#include "Utils/Random.h"
#include "Utils/StatisticElement.h"
#include "Utils/StringUtils.h"
#include "YrLogV2/Log.h"
#include "YrMeta/YrMetaInfo.h"
#include "YrMeta/YrMetaObject.h"
#include "iCore/MsgObject.h"
#include "iCore/ThreadRunnerFunc.h"

namespace
{

class TestPacket : public MbProtocol::CommandObject
{
public:
    int m_packetNum = 0;
    Utils::ByteArray m_payload;

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info = boost::make_shared<YrMeta::Info>(this);
        YrMeta::Info::AddField(info, "m_packetNum", &m_packetNum);
        YrMeta::Info::AddField(info, "m_payload", &m_payload);
        return info;
    }
};

class RequestList : public MbProtocol::CommandList
{
public:
    RequestList() : MbProtocol::CommandList(true) { Add<TestPacket>(false); }
};

class RespList : public MbProtocol::CommandList
{
public:
    RespList() : MbProtocol::CommandList(false) { Add<TestPacket>(false); }
};

typedef MbProtocol::MbProto<1, RequestList, RespList> Proto;
typedef Utils::StatisticElement<int, int64_t, unsigned int> SizeStat;

const int c_statPeriodMs = 15000;
const int c_keyCheckPeriodMs = 1000;
const uint32_t c_ringSize = 4096;
const double c_sendQueueFactor = 32.0;

std::string StatText(const SizeStat& s)
{
    if (s.Empty())
        return "(empty)";
    return fmt::format("packets {}, size {}", s.Count(), s.Sum() / 1024);
}

class Test : public iCore::MsgObject
{
public:
    Test(bool isServer, const std::wstring& memName)
        : iCore::MsgObject(OwnedByThread), m_log(YrLogV2::LogRoot::RootLog(), "Test"),
          m_proto(isServer, m_log, boost::bind(&Test::SendData, this, boost::placeholders::_1),
                  boost::bind(&Test::OnPacket, this, boost::placeholders::_1)),
          m_random(isServer ? 1 : 10, false)
    {
        QtSharedMemTransp::ClientProfile prof;
        prof.name = memName;
        prof.eventFn = boost::bind(&Test::OnEvent, this, boost::placeholders::_1);
        prof.sendQueueFactor = c_sendQueueFactor;
        if (isServer)
        {
            QtSharedMemTransp::ServerProfile srv;
            static_cast<QtSharedMemTransp::ClientProfile&>(srv) = prof;
            srv.toClientBuffSize = c_ringSize;
            srv.toServerBuffSize = c_ringSize;
            m_transp = QtSharedMemTransp::CreateServer(srv);
        }
        else
        {
            m_transp = QtSharedMemTransp::CreateClient(prof);
        }

        PutFunctor([this] { RunDelayed([this] { PrintStatistics(); }, c_statPeriodMs, true); });
        PutFunctor([this] { RunDelayed([this] { CheckKey(); }, c_keyCheckPeriodMs, true); });
    }

private:
    void OnEvent(const QtSharedMemTransp::EventVariant& ev)
    {
        switch (ev.which())
        {
        case 1: // StateChanged
        {
            const QtSharedMemTransp::StateInfo st = m_transp->State();
            std::string line = "state: " + QtSharedMemTransp::StateName(st.state);
            if (!st.text.empty())
                line += "; " + Utils::UnicodeToLocaleString(st.text);
            std::cout << line << std::endl;
            if (st.state == QtSharedMemTransp::State::Connected)
                ScheduleBurst();
            else
                getMsgThread().RequestExit();
            break;
        }
        case 2: // SendBuffEmpty
            ScheduleBurst();
            break;
        case 3: // Data
            try
            {
                m_proto.PutData(boost::get<QtSharedMemTransp::Event::Data>(ev).data);
            }
            // The stream is lost from here on: say so and stop, as for any failure of the link.
            catch (const ESS::BaseException& e)
            {
                StopOnBadData(Utils::UnicodeToLocaleString(e.Message()));
            }
            catch (const std::exception& e)
            {
                StopOnBadData(e.what());
            }
            break;
        default:
            break;
        }
    }

    void StopOnBadData(const std::string& why)
    {
        std::cout << "Recv bad data: " << why << std::endl;
        getMsgThread().RequestExit();
    }

    void ScheduleBurst()
    {
        const int delayMs = 30 + int(m_random.Next(91));
        PutFunctor([this, delayMs] { RunDelayed([this] { SendBurst(); }, delayMs, false); });
    }

    void SendBurst()
    {
        const uint32_t count = 1 + m_random.Next(6);
        for (uint32_t i = 0; i < count; ++i)
            PutMsg(&Test::SendPacket);
    }

    void SendPacket()
    {
        const uint32_t size = 819 + m_random.Next(5326);
        const uint8_t fill = uint8_t(m_random.Next(256));

        TestPacket p;
        p.m_packetNum = int(m_sendNum++);
        p.m_payload = Utils::ByteArray(uint64_t(size), fill, 0);
        m_proto.Send(MbProtocol::ContextId(1), MbProtocol::ContextId(1), p);
        m_sendStat.Add(int(size));
    }

    void SendData(const Utils::ByteArray& data) { m_transp->Send(data); }

    bool OnPacket(const MbProtocol::Packet& packet)
    {
        const std::shared_ptr<TestPacket> p = packet.As<TestPacket>();
        if (!p)
            return true;
        if (uint32_t(p->m_packetNum) != m_recvNum)
        {
            std::cout << fmt::format("Recv wrong num {}, excpected {}", p->m_packetNum, m_recvNum)
                      << std::endl;
            getMsgThread().RequestExit();
        }
        ++m_recvNum;
        m_recvStat.Add(int(p->m_payload.Size()));
        return true;
    }

    void PrintStatistics()
    {
        std::cout << fmt::format("recv {}; send {}", StatText(m_recvStat), StatText(m_sendStat)) << std::endl;
    }

    void CheckKey()
    {
        if (Platform::ReadKeyNoWait() >= 1)
            getMsgThread().RequestExit();
    }

    YrLogV2::Log m_log;
    std::unique_ptr<QtSharedMemTransp::ITransp> m_transp;
    Proto m_proto;
    Utils::Random m_random;
    uint32_t m_recvNum = 0;
    uint32_t m_sendNum = 0;
    SizeStat m_recvStat;
    SizeStat m_sendStat;
};

int SharedMemTranspTest(const Utils::ArgStringList& args)
{
    // An empty name cannot key a segment: treated like a wrong command line.
    if (args.size() != 2 || args[1].empty())
    {
        std::cout << "usage: boolIsServer memName" << std::endl;
        return 0;
    }
    const boost::optional<bool> isServer = Utils::StringToBool(args[0]);
    if (!isServer)
        throw boost::bad_lexical_cast(typeid(std::string), typeid(bool));
    const std::wstring memName = Utils::LocaleStringToUnicode(args[1]);

    iCore::ThreadRunnerFunc runner(iCore::ThreadRunnerFuncProfile(0, "Test", 2, 0, 0, false),
                                   [&](iCore::MsgThread&) { new Test(*isServer, memName); });
    runner.WaitFinished();
    return 0;
}

RegisterAppEntry g_register("SharedMemTranspTest", &SharedMemTranspTest, true);

} // namespace
