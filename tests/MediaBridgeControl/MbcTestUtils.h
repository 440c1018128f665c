#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <gtest/gtest.h>
#include "MediaBridgeControl/MbcTcpTransp.h"
#include "YrLogV2/LogOutput.h"
#include "YrNet/NetTestUtils.h"

namespace MbcTest
{

using MediaBridgeControl::TranspState;
using NetTest::c_waitLimit;

// What the listener saw, from any thread, with bounded waits.
class Recorder
{
public:
    void AddState(const TranspState& st)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_states.push_back(st);
            m_threads.push_back(Platform::Thread::GetCurrentThreadID());
        }
        m_cond.notify_all();
    }

    void AddData(const std::string& bytes)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_data += bytes;
            ++m_chunks;
            m_threads.push_back(Platform::Thread::GetCurrentThreadID());
        }
        m_cond.notify_all();
    }

    // pred runs under the recorder's lock: it reads the members, never the locking accessors.
    bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit = c_waitLimit)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, limit, pred);
    }

    // Waits until a notification reported the value (the texts are not looked at).
    bool WaitState(TranspState::Value value, size_t count = 1, std::chrono::milliseconds limit = c_waitLimit)
    {
        return WaitFor([&] { return CountOfLocked(value) >= count; }, limit);
    }

    bool WaitBytes(size_t size, std::chrono::milliseconds limit = c_waitLimit)
    {
        return WaitFor([&] { return m_data.size() >= size; }, limit);
    }

    // Waits until the last notification reported the value.
    bool WaitLast(TranspState::Value value)
    {
        return WaitFor([&] { return !m_states.empty() && m_states.back().Is(value); });
    }

    std::vector<TranspState> States()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_states;
    }
    size_t StateCount()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_states.size();
    }
    size_t CountOf(TranspState::Value value)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return CountOfLocked(value);
    }
    TranspState LastState()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_states.empty() ? TranspState() : m_states.back();
    }
    std::string Data()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_data;
    }
    size_t Chunks()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_chunks;
    }
    // Every listener call happened on this thread.
    bool AllOn(void* threadId)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (void* t : m_threads)
            if (t != threadId)
                return false;
        return true;
    }

private:
    size_t CountOfLocked(TranspState::Value value) const
    {
        size_t n = 0;
        for (const TranspState& s : m_states)
            n += s.Is(value) ? 1 : 0;
        return n;
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<TranspState> m_states; // State() read in each OnStateChanged
    std::vector<void*> m_threads;
    std::string m_data;
    size_t m_chunks = 0;
};

// For conditions that nothing signals (log records, system tables): checks every millisecond
// until the condition holds or the limit runs out.
inline bool PollUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit = c_waitLimit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Owns a TCP transport on a test thread and records what it reports.
class TranspUser : public iCore::MsgObject, public MediaBridgeControl::IMbcTranspEvents
{
public:
    TranspUser(Recorder& rec, YrLogV2::Log& log) : m_rec(rec), m_log(log) {}
    ~TranspUser() override { m_transp.reset(); }

    void Create(uint32_t port, YrNet::HostAddr* pBound, int discTimeoutMs)
    {
        m_transp = MediaBridgeControl::CreateSrvTcpTransp(m_log, port, *this, pBound, discTimeoutMs);
    }

    MediaBridgeControl::IMbcTransp& Transp() { return *m_transp; }
    void Destroy() { m_transp.reset(); }

    // Runs inside each OnRecvData before it records (on the test thread).
    std::function<void()> m_onData;

private:
    void OnStateChanged() override { m_rec.AddState(m_transp->State()); }

    void OnRecvData(const Utils::ByteArray& data) override
    {
        if (m_onData)
            m_onData();
        m_rec.AddData(NetTest::ToString(data));
    }

    Recorder& m_rec;
    YrLogV2::Log& m_log;
    std::unique_ptr<MediaBridgeControl::IMbcTransp> m_transp;
};

// The test thread, a transport on it and the records of its log node.
class TranspFixture : public ::testing::Test
{
protected:
    TranspFixture() : m_parentLog(YrLogV2::LogRoot::RootLog(), "MbcTest") {}

    void SetUp() override
    {
        m_out = std::make_shared<YrLogV2::MemoryOutput>();
        m_link = YrLogV2::LogRoot::Instance().AttachOutput(m_out);
        m_thread.Call([&] { m_user = std::make_unique<TranspUser>(m_rec, m_parentLog); });
    }

    void TearDown() override
    {
        m_thread.Call([&] { m_user.reset(); });
        m_link.reset();
    }

    // Makes the transport; returns the bound port (0 when listening failed).
    uint16_t Start(uint32_t port = 0, int discTimeoutMs = MediaBridgeControl::c_tcpDiscTimeoutMs)
    {
        YrNet::HostAddr bound;
        m_thread.Call([&] { m_user->Create(port, &bound, discTimeoutMs); });
        return bound.Port() > 0 ? static_cast<uint16_t>(bound.Port()) : 0;
    }

    TranspState State()
    {
        TranspState st;
        m_thread.Call([&] { st = m_user->Transp().State(); });
        return st;
    }

    void Send(const std::string& bytes)
    {
        m_thread.Call([&] { m_user->Transp().SendData(NetTest::ToBytes(bytes)); });
    }

    // Runs what the network thread has for us, then what the test thread has queued.
    void Flush()
    {
        YrNet::NetThread::Instance()->RunBlocked([] {});
        m_thread.Call([] {});
        m_thread.Call([] {});
    }

    std::vector<std::string> LogTexts() const { return m_out->Texts("MbcTest.MbcSrvTcpTransp"); }

    int LogCount(const std::string& text) const
    {
        int n = 0;
        for (const std::string& t : LogTexts())
            n += (t == text) ? 1 : 0;
        return n;
    }

    // A client that is connected and accepted.
    NetTest::Fd ConnectAccepted(uint16_t port)
    {
        const size_t before = m_rec.CountOf(TranspState::Connected);
        NetTest::Fd fd = NetTest::PlainConnect(port);
        EXPECT_TRUE(fd.Valid());
        EXPECT_TRUE(m_rec.WaitState(TranspState::Connected, before + 1));
        return fd;
    }

    NetTest::TestThread m_thread{"MbcTest"};
    YrLogV2::Log m_parentLog;
    Recorder m_rec;
    std::unique_ptr<TranspUser> m_user;
    std::shared_ptr<YrLogV2::MemoryOutput> m_out;
    std::unique_ptr<Utils::IVirtualDestroy> m_link;
};

} // namespace MbcTest
