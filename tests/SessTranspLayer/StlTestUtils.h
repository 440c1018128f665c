#pragma once
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "SessTranspLayer/MemoryLink.h"
#include "SessTranspLayer/StlConnection.h"
#include "SessTranspLayer/StlPacket.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"

namespace StlTest
{

using namespace SessTranspLayer;
using Clock = std::chrono::steady_clock;

// Every wait in these tests stops by itself after this; a correct session is far quicker.
constexpr std::chrono::milliseconds c_waitLimit(10000);

inline Utils::ByteArray Bytes(uint64_t size, uint8_t seed)
{
    Utils::ByteArray res(size, size); // capacity, size
    for (uint64_t i = 0; i < size; ++i)
        res.MutableData()[i] = static_cast<uint8_t>(seed + i * 7);
    return res;
}

inline Utils::ByteArray Frame(uint64_t src, uint32_t session, uint16_t num, StlCmd cmd,
                              const Utils::ByteArray& data = Utils::ByteArray())
{
    return StlPacketSerializer::Serialize(StlPacket(src, session, num, cmd, data));
}

inline Utils::ByteArray Concat(const Utils::ByteArray& a, const Utils::ByteArray& b)
{
    Utils::ByteArray res(a.Size() + b.Size(), uint64_t(0));
    res.Append(a, false);
    res.Append(b, false);
    return res;
}

// Waits on a condition that other threads change under the same mutex.
class Waitable
{
public:
    template <class Pred>
    bool WaitFor(Pred pred, std::chrono::milliseconds limit = c_waitLimit)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, limit, pred);
    }

protected:
    template <class Fn>
    void Change(Fn fn)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            fn();
        }
        m_cond.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
};

// What a connection reported to its owner, from any thread.
class OwnerRecorder : public IStl2Owner, public Waitable
{
public:
    enum Kind
    {
        kConnected,
        kData,
        kDisconnected
    };

    struct Event
    {
        Kind kind;
        int cause; // kDisconnected
        uint64_t id;
        Utils::ByteArray data; // kData
        Clock::time_point time;
    };

    // On ReceiveData: send every payload back (allowed from inside ReceiveData).
    void EchoThrough(StlConnection* conn) { m_echo = conn; }

    // Count data events without keeping them (for long runs).
    void SetKeepData(bool keep)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_keepData = keep;
    }

    void Connected(uint64_t id) override { Add(Event{kConnected, -1, id, Utils::ByteArray(), Clock::now()}); }

    void ReceiveData(const Utils::ByteArray& data, uint64_t id) override
    {
        Add(Event{kData, -1, id, data, Clock::now()});
        if (m_echo)
            m_echo->SendData(data);
    }

    void Disconnected(const DiscCause& cause, uint64_t id) override
    {
        Add(Event{kDisconnected, cause.CastToInt(), id, Utils::ByteArray(), Clock::now()});
    }

    int Count(Kind kind)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_counts[kind];
    }

    bool WaitCount(Kind kind, int count, std::chrono::milliseconds limit = c_waitLimit)
    {
        return WaitFor([&] { return m_counts[kind] >= count; }, limit);
    }

    std::vector<Event> Events()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

    std::vector<Event> Events(Kind kind)
    {
        std::vector<Event> res;
        for (const Event& e : Events())
            if (e.kind == kind)
                res.push_back(e);
        return res;
    }

    // The causes of the Disconnected calls, in order.
    std::vector<int> Causes()
    {
        std::vector<int> res;
        for (const Event& e : Events(kDisconnected))
            res.push_back(e.cause);
        return res;
    }

private:
    void Add(const Event& e)
    {
        Change(
            [&]
            {
                ++m_counts[e.kind];
                if (e.kind != kData || m_keepData)
                    m_events.push_back(e);
            });
    }

    std::vector<Event> m_events;
    int m_counts[3] = {0, 0, 0};
    bool m_keepData = true;
    StlConnection* m_echo = nullptr;
};

// Watches one direction of a link: every piece sent, the packets they carry, and which pieces
// travel. Installed as the sending end's filter, so it runs on the sender's thread.
class WireTap : public Waitable
{
public:
    struct Packet
    {
        uint64_t src;
        uint32_t session;
        uint16_t num;
        uint32_t cmd;
        uint32_t size;
        Clock::time_point time;
        bool dropped;
    };

    // Packets for which drop returns true are lost (whole control packets only: they are never
    // cut into pieces).
    typedef std::function<bool(const StlPacket&)> DropFn;

    MemoryLinkEnd::SendFilter Filter()
    {
        return [this](const Utils::ByteArray& piece) { return OnPiece(piece); };
    }

    void SetDrop(const DropFn& drop)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_drop = drop;
    }

    // Keep only counts (for long runs).
    void SetRecordPackets(bool record)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_record = record;
    }

    std::vector<Packet> Packets()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_packets;
    }

    std::vector<Packet> Packets(StlCmd cmd)
    {
        std::vector<Packet> res;
        for (const Packet& p : Packets())
            if (p.cmd == static_cast<uint32_t>(cmd.CastToInt()))
                res.push_back(p);
        return res;
    }

    // Packets that were not dropped.
    size_t Passed()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<size_t>(
            std::count_if(m_packets.begin(), m_packets.end(), [](const Packet& p) { return !p.dropped; }));
    }

    std::vector<uint64_t> PieceSizes()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pieceSizes;
    }

    int CountLocked(StlCmd cmd) const
    {
        int n = 0;
        for (const Packet& p : m_packets)
            n += p.cmd == static_cast<uint32_t>(cmd.CastToInt()) ? 1 : 0;
        return n;
    }

    bool WaitCount(StlCmd cmd, int count, std::chrono::milliseconds limit = c_waitLimit)
    {
        return WaitFor([&] { return CountLocked(cmd) >= count; }, limit);
    }

    bool WaitPackets(size_t count, std::chrono::milliseconds limit = c_waitLimit)
    {
        return WaitFor([&] { return m_packets.size() + m_unrecorded >= count; }, limit);
    }

    // Packets whose number followed 65535 with 0.
    uint64_t Wraps()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_wraps;
    }

private:
    bool OnPiece(const Utils::ByteArray& piece)
    {
        bool pass = true;
        Change(
            [&]
            {
                if (m_record)
                    m_pieceSizes.push_back(piece.Size());
                std::unique_ptr<StlPacket> p = m_parser.ProcessData(piece);
                if (!p)
                    return;
                if (m_havePrev && m_prevNum == 65535 && p->m_packNum == 0)
                    ++m_wraps;
                m_havePrev = true;
                m_prevNum = p->m_packNum;
                // The piece that completes a frame decides for it; earlier pieces of a cut
                // frame always pass (only control packets are dropped).
                if (m_drop && m_drop(*p))
                    pass = false;
                if (m_record)
                    m_packets.push_back(Packet{p->m_srcId, p->m_sessionId, p->m_packNum, p->m_cmd,
                                               p->m_dataSize, Clock::now(), !pass});
                else
                    ++m_unrecorded;
            });
        return pass;
    }

    StlPacketSerializer m_parser;
    DropFn m_drop;
    bool m_record = true;
    std::vector<Packet> m_packets;
    std::vector<uint64_t> m_pieceSizes;
    size_t m_unrecorded = 0;
    bool m_havePrev = false;
    uint16_t m_prevNum = 0;
    uint64_t m_wraps = 0;
};

inline StlSettings Settings(uint32_t role, uint64_t maxPacket, uint32_t respMs, uint32_t pingMs)
{
    StlSettings s;
    s.m_role = role;
    s.m_maxPacketSize = maxPacket;
    s.m_respTimeoutMs = respMs;
    s.m_pingIntervalMs = pingMs;
    return s;
}

// Keeps the texts of every record by node path and wakes the tests that wait for one.
class WaitableLogOutput : public YrLogV2::ILogOutput, public Waitable
{
public:
    void Write(const YrLogV2::LogRecord& record, const std::string&) override
    {
        Change([&] { m_records.emplace_back(record.node, record.text); });
    }

    std::vector<std::string> Texts(const std::string& node)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return TextsLocked(node);
    }

    template <class Pred>
    bool WaitTexts(const std::string& node, Pred pred)
    {
        return WaitFor([&] { return pred(TextsLocked(node)); });
    }

private:
    std::vector<std::string> TextsLocked(const std::string& node) const
    {
        std::vector<std::string> res;
        for (const auto& r : m_records)
            if (r.first == node)
                res.push_back(r.second);
        return res;
    }

    std::vector<std::pair<std::string, std::string>> m_records;
};

// Collects the records of the nodes under one parent, shown down to the level-16 tags.
class LogCapture
{
public:
    explicit LogCapture(const std::string& parentName)
        : m_parentName(parentName), m_parent(YrLogV2::LogRoot::RootLog(), parentName),
          m_out(std::make_shared<WaitableLogOutput>())
    {
        YrLogV2::LogRoot::Instance().SetLevels(YrLogV2::c_defaultLevel, {{parentName, 16}});
        m_link = YrLogV2::LogRoot::Instance().AttachOutput(m_out);
    }

    ~LogCapture()
    {
        m_link.reset();
        YrLogV2::LogRoot::Instance().SetLevels(YrLogV2::c_defaultLevel, {});
    }

    YrLogV2::Log& Parent() { return m_parent; }

    // Only what the default level shows (for long runs).
    void Quiet() { YrLogV2::LogRoot::Instance().SetLevels(YrLogV2::c_defaultLevel, {}); }

    std::vector<std::string> Texts(const std::string& child) const { return m_out->Texts(Node(child)); }

    int CountText(const std::string& child, const std::string& text) const
    {
        return Count(Texts(child), text);
    }

    bool Has(const std::string& child, const std::string& text) const { return CountText(child, text) > 0; }

    // The state after the last "Change state" record, or initial when there is none.
    std::string State(const std::string& child, const std::string& initial) const
    {
        return LastState(Texts(child), initial);
    }

    // Records arrive from the connections' threads.
    bool WaitText(const std::string& child, const std::string& text, int count = 1) const
    {
        return m_out->WaitTexts(Node(child),
                                [&](const std::vector<std::string>& t) { return Count(t, text) >= count; });
    }

    bool WaitState(const std::string& child, const std::string& initial, const std::string& state) const
    {
        return m_out->WaitTexts(Node(child), [&](const std::vector<std::string>& t)
                                { return LastState(t, initial) == state; });
    }

private:
    std::string Node(const std::string& child) const { return m_parentName + "." + child; }

    static int Count(const std::vector<std::string>& texts, const std::string& text)
    {
        return static_cast<int>(std::count(texts.begin(), texts.end(), text));
    }

    static std::string LastState(const std::vector<std::string>& texts, const std::string& initial)
    {
        std::string res = initial;
        const std::string prefix = "Change state: ";
        for (const std::string& t : texts)
            if (t.compare(0, prefix.size(), prefix) == 0)
                res = t.substr(t.find("->") + 2);
        return res;
    }

    std::string m_parentName;
    YrLogV2::Log m_parent;
    std::shared_ptr<WaitableLogOutput> m_out;
    std::unique_ptr<Utils::IVirtualDestroy> m_link;
};

inline std::string CurrentTestName()
{
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string("Stl_") + info->test_suite_name() + "_" + info->name();
}

// A client on side A and a server on side B of an in-memory link, with a tap on each direction.
class StlPairTest : public ::testing::Test
{
protected:
    static const MemoryLink::Side A = MemoryLink::SideA;
    static const MemoryLink::Side B = MemoryLink::SideB;

    // Short times, so that time-outs show within a test.
    static StlSettings Short(uint32_t role) { return Settings(role, 1600, 200, 300); }
    // Times that never run out within a test.
    static StlSettings Long(uint32_t role) { return Settings(role, 1600, 20000, 30000); }

    explicit StlPairTest(bool connected = true) : m_log(CurrentTestName()), m_link(connected) {}

    ~StlPairTest() override { StopAll(); }

    void StartServer(const StlSettings& s, bool echo = false)
    {
        m_link.Call(B,
                    [&]
                    {
                        m_link.End(B).SetSendFilter(m_s2c.Filter());
                        m_srv = std::make_unique<StlConnection>(s, m_log.Parent(), m_srvOwner, m_link.End(B));
                        if (echo)
                            m_srvOwner.EchoThrough(m_srv.get());
                    });
    }

    void StartClient(const StlSettings& s)
    {
        m_link.Call(A,
                    [&]
                    {
                        m_link.End(A).SetSendFilter(m_c2s.Filter());
                        m_cli = std::make_unique<StlConnection>(s, m_log.Parent(), m_cliOwner, m_link.End(A));
                    });
    }

    // Both sides connected.
    void StartPair(const StlSettings& cli, const StlSettings& srv, bool echo = false)
    {
        StartServer(srv, echo);
        StartClient(cli);
        ASSERT_TRUE(m_cliOwner.WaitCount(OwnerRecorder::kConnected, 1));
        ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kConnected, 1));
    }

    void StopAll()
    {
        m_link.Call(A,
                    [&]
                    {
                        m_link.End(A).ClearUser();
                        m_link.End(A).SetSendFilter(MemoryLinkEnd::SendFilter());
                        m_cli.reset();
                    });
        m_link.Call(B,
                    [&]
                    {
                        m_link.End(B).ClearUser();
                        m_link.End(B).SetSendFilter(MemoryLinkEnd::SendFilter());
                        m_srv.reset();
                    });
    }

    void OnCli(const std::function<void()>& fn) { m_link.Call(A, fn); }
    void OnSrv(const std::function<void()>& fn) { m_link.Call(B, fn); }

    StlStatistics CliStat()
    {
        StlStatistics res;
        OnCli([&] { res = m_cli->GetStatistics(); });
        return res;
    }

    StlStatistics SrvStat()
    {
        StlStatistics res;
        OnSrv([&] { res = m_srv->GetStatistics(); });
        return res;
    }

    // Bytes to a side's connection as if they came from the other side.
    void InjectToSrv(const Utils::ByteArray& data)
    {
        OnSrv([&] { m_link.End(B).Inject(data); });
    }
    void InjectToCli(const Utils::ByteArray& data)
    {
        OnCli([&] { m_link.End(A).Inject(data); });
    }

    std::string CliState() const { return m_log.State("StlClient", "stInitialCli"); }
    std::string SrvState() const { return m_log.State("StlServer", "stInitialSrv"); }

    LogCapture m_log;
    OwnerRecorder m_cliOwner;
    OwnerRecorder m_srvOwner;
    WireTap m_c2s;
    WireTap m_s2c;
    MemoryLink m_link;
    std::unique_ptr<StlConnection> m_cli; // on A
    std::unique_ptr<StlConnection> m_srv; // on B
};

} // namespace StlTest
