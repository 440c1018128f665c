#pragma once
// Drives the channel driver linked into the test through the substitute host: the host plays the
// Horizon Client, a message thread of the test plays the driver's user.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <QThread>
#include "Platform/Thread.h"
#include "Utils/ByteArray.h"
#include "VMware/Client/DriverCore.h"
#include "VMware/Client/VMwareEntry.h"
#include "VcHost.h"
#include "VdiCommon/ILowLevelTransport.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"
#include "iCore/MsgThread.h"
#include "iCore/ThreadRunnerFunc.h"

namespace VMwareTest
{

const int c_waitMs = 10000;

// The export's first half only: the table check and the driver, without the application start-up
// (which exists once per process and belongs to the shipped library's tests).
inline int32_t InitOnlyEntry(PCHANNEL_ENTRY_POINTS table)
{
    return VMware::Client::InitDriverInstance(table) ? 1 : 0;
}

inline int32_t InitOnlyEntryEx(PCHANNEL_ENTRY_POINTS_EX table, void* initHandle)
{
    return VMware::Client::InitDriverInstanceEx(table, initHandle) ? 1 : 0;
}

inline Utils::ByteArray MakePacket(size_t size, uint8_t seed)
{
    Utils::ByteArray a(size, 0, size);
    for (size_t i = 0; i < size; ++i)
        a.MutableData()[i] = static_cast<uint8_t>(seed + i * 7);
    return a;
}

inline VcHost::Bytes ToBytes(const Utils::ByteArray& a)
{
    return a.IsEmpty() ? VcHost::Bytes() : VcHost::Bytes(a.Data(), a.Data() + a.Size());
}

// The records of the log while the object lives.
class LogCapture
{
public:
    LogCapture() : m_out(std::make_shared<YrLogV2::MemoryOutput>())
    {
        m_link = YrLogV2::LogRoot::Instance().AttachOutput(m_out);
        m_out->Clear();
    }

    std::vector<std::string> Texts() const
    {
        std::vector<std::string> r;
        for (const YrLogV2::LogRecord& rec : m_out->Records())
            r.push_back(rec.text);
        return r;
    }

    size_t Count(const std::string& text) const
    {
        const std::vector<std::string> t = Texts();
        return static_cast<size_t>(std::count(t.begin(), t.end(), text));
    }

    bool Has(const std::string& text) const { return Count(text) > 0; }

    // The tag of the first record with that text, or "".
    std::string TagOf(const std::string& text) const
    {
        for (const YrLogV2::LogRecord& rec : m_out->Records())
            if (rec.text == text)
                return rec.tag;
        return std::string();
    }

private:
    std::shared_ptr<YrLogV2::MemoryOutput> m_out;
    std::unique_ptr<Utils::IVirtualDestroy> m_link;
};

// What the user of the transport saw, readable from the test's thread.
class Recorder
{
public:
    void Event(const std::string& e)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_events.push_back(e);
        m_cv.notify_all();
    }

    void Packet(const Utils::ByteArray& p)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_packets.push_back(ToBytes(p));
        m_cv.notify_all();
    }

    void Result(int r, bool insideSend, bool onUserThread)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_results.push_back(r);
        if (insideSend)
            m_resultInsideSend = true;
        if (!onUserThread)
            m_resultOffThread = true;
        m_cv.notify_all();
    }

    std::vector<std::string> Events() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_events;
    }
    std::vector<VcHost::Bytes> Packets() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_packets;
    }
    std::vector<int> Results() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_results;
    }
    bool ResultInsideSend() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_resultInsideSend;
    }
    bool ResultOffThread() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_resultOffThread;
    }

    bool WaitEvents(size_t n)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_cv.wait_for(lock, std::chrono::milliseconds(c_waitMs), [&] { return m_events.size() >= n; });
    }
    bool WaitPackets(size_t n)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_cv.wait_for(lock, std::chrono::milliseconds(c_waitMs),
                             [&] { return m_packets.size() >= n; });
    }
    bool WaitResults(size_t n)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_cv.wait_for(lock, std::chrono::milliseconds(c_waitMs),
                             [&] { return m_results.size() >= n; });
    }

private:
    mutable std::mutex m_lock;
    std::condition_variable m_cv;
    std::vector<std::string> m_events;
    std::vector<VcHost::Bytes> m_packets;
    std::vector<int> m_results;
    bool m_resultInsideSend = false;
    bool m_resultOffThread = false;
};

// The driver's user: it lives on its message thread and records what reaches it.
class ChannelUser : public VdiCommon::ILowLevelTransportEvents
{
public:
    explicit ChannelUser(Recorder& rec)
        : m_rec(rec), m_log(YrLogV2::LogRoot::RootLog(), "ChannelUser"),
          m_threadId(Platform::Thread::GetCurrentThreadID())
    {
        m_transport = VMware::Client::CreateLowLevelTransport(iCore::CurrentMsgThread(), m_log, *this);
    }

    ~ChannelUser() override { m_transport.reset(); }

    void Start() { m_transport->Start(); }

    void Send(const Utils::ByteArray& data)
    {
        m_inSend = true;
        m_transport->SendPacket(
            data, [this](const VdiCommon::SendDataRes& r)
            { m_rec.Result(r.CastToInt(), m_inSend, Platform::Thread::GetCurrentThreadID() == m_threadId); });
        m_inSend = false;
    }

    void OnConnected(bool connected, uint64_t maxPacketSize) override
    {
        m_rec.Event(std::string(connected ? "connected " : "disconnected ") + std::to_string(maxPacketSize));
    }

    void OnDataReceived(const Utils::ByteArray& packet) override { m_rec.Packet(packet); }

private:
    Recorder& m_rec;
    YrLogV2::Log m_log;
    void* const m_threadId;
    bool m_inSend = false;
    std::unique_ptr<VdiCommon::ILowLevelTransport> m_transport;
};

// A message thread for objects of the test.
class UserThread
{
public:
    explicit UserThread(const std::string& name = "ChUser")
    {
        m_runner = std::make_unique<iCore::ThreadRunnerFunc>(
            iCore::ThreadRunnerFuncProfile(0, name, QThread::InheritPriority, c_waitMs, c_waitMs, false),
            [this](iCore::MsgThread& t) { m_thread = &t; });
    }

    // Runs fn on the thread and returns after it ran; also every message posted to the thread
    // before this call has run by then.
    void Run(const std::function<void()>& fn)
    {
        iCore::MsgThreadFnBlocked(*m_thread, [&fn](iCore::MsgThread&) { fn(); });
    }

    void Flush()
    {
        Run([] {});
    }

    iCore::MsgThread& Thread() { return *m_thread; }

private:
    iCore::MsgThread* m_thread = nullptr;
    std::unique_ptr<iCore::ThreadRunnerFunc> m_runner;
};

// A host, a registered driver and, on request, a user of the channel.
class ChannelTest : public ::testing::Test
{
protected:
    void SetUp() override { UseProfile(VcHost::Host::Profile::Classic); }

    // A fresh host of that profile, offering both entries (only one host may exist at a time).
    void UseProfile(VcHost::Host::Profile profile)
    {
        m_host.reset();
        m_host = std::make_unique<VcHost::Host>(profile);
        m_host->UseEntry(&InitOnlyEntry);
        m_host->UseEntryEx(&InitOnlyEntryEx);
    }

    void TearDown() override
    {
        DestroyUser();
        m_userThread.reset();
        // Cancels what is outstanding: every write the driver made gets its result.
        m_host.reset();
    }

    // Through the entry the host's profile calls.
    void Register() { ASSERT_EQ(1, m_host->CallPreferredEntry()); }

    void CreateUser(bool start = true)
    {
        if (!m_userThread)
            m_userThread = std::make_unique<UserThread>();
        m_userThread->Run([this] { m_user = std::make_unique<ChannelUser>(m_rec); });
        if (start)
            m_userThread->Run([this] { m_user->Start(); });
    }

    void DestroyUser()
    {
        if (m_userThread)
            m_userThread->Run([this] { m_user.reset(); });
    }

    void Send(const Utils::ByteArray& data)
    {
        m_userThread->Run([&] { m_user->Send(data); });
    }

    // Every message the driver posted so far has reached the user.
    void Flush() { m_userThread->Flush(); }

    LogCapture m_log;
    Recorder m_rec;
    std::unique_ptr<VcHost::Host> m_host;
    std::unique_ptr<UserThread> m_userThread;
    std::unique_ptr<ChannelUser> m_user; // lives on the user thread
};

} // namespace VMwareTest
