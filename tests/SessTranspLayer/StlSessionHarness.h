#pragma once
// Drives a server session with a script decoded from arbitrary bytes, as a hostile client and
// a careless owner would, and checks what the session does in return. Shared by the libFuzzer
// target (fuzz/stl_session.cpp) and the test that replays its corpus.
//
// Script: one byte of settings (the largest packet: 1 + byte, so frames are cut often), then
// operations, each an op byte followed by its arguments (missing bytes read as 0):
//   0 raw    : n, then n bytes delivered as they are
//   1 packet : cmd (value % 10: 7 to 9 are not valid commands), flags, then by the flags a new
//              session id (4 bytes), a packet number (2 bytes), a number offset (1 byte), a
//              payload size and payload bytes, a byte to flip; the packet is a correct frame of
//              the scripted client unless the flags spoil it
//   2 the transport reports an error        3 the transport reports connected
//   4 owner Disconnect                      5 owner SendData (size byte)
//   6 owner Connect                         7 deliver the packets held back so far, as one chunk
// Packet flags: bits 0-1 source id (0, 3: the client's; 1: zero; 2: another), bit 2 a new
// session id, bits 3-4 number (0, 1: the next; 2: next + offset; 3: explicit), bit 5 flip a byte,
// bit 6 hold the frame back (joined with the next delivery), bit 7 a payload on any command.
// Every operation runs from a message of its own, so that what the session posts runs between.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <utility>
#include <vector>
#include "SessTranspLayer/StlConnection.h"
#include "SessTranspLayer/StlPacket.h"
#include "YrLogV2/Log.h"
#include "iCore/MsgObject.h"
#include "iCore/MsgThread.h"

namespace StlFuzz
{

using namespace SessTranspLayer;

typedef std::function<void(const char* what)> FailFn;

// What the owner heard in one run.
struct Summary
{
    int connected = 0;
    int data = 0;
    std::vector<int> causes;
};

class ServerDriver : public iCore::MsgObject, public IStlTransport, public IStl2Owner
{
public:
    ServerDriver(const uint8_t* data, size_t size, YrLogV2::Log& log, const FailFn& fail)
        : m_script(data, data + size), m_fail(fail)
    {
        StlSettings s;
        s.m_role = c_stlRoleServer;
        s.m_maxPacketSize = 1 + Byte();
        // Timers never fire within a run: a script cannot wait.
        s.m_respTimeoutMs = 1000000;
        s.m_pingIntervalMs = 1000000;
        m_maxPacket = s.m_maxPacketSize;
        m_conn = std::make_unique<StlConnection>(s, log, *this, *this);
    }

    ~ServerDriver() override { m_conn.reset(); }

    // Runs the script from the thread's queue; Done() tells when it has finished.
    void Start()
    {
        PutFunctor([this] { Step(); });
    }

    bool Done()
    {
        std::lock_guard<std::mutex> lock(m_doneMutex);
        return m_done;
    }

    void WaitDone()
    {
        std::unique_lock<std::mutex> lock(m_doneMutex);
        m_doneCond.wait(lock, [this] { return m_done; });
    }

    // IStlTransport
    bool IsConnected() const override { return m_transpUp; }
    void SetUser(IStlTransport2Owner& user) override { m_user = &user; }
    void Send(const Utils::ByteArray& piece) override
    {
        Check(!piece.IsEmpty(), "an empty piece was sent");
        Check(piece.Size() <= m_maxPacket, "a piece above the largest packet was sent");
        // The session's own output must parse back into its frames, numbered without gaps.
        std::unique_ptr<StlPacket> p = m_outParser.ProcessData(piece);
        Check(m_outParser.BufferedSize() < 64 * 1024, "the session's output does not parse");
        if (p)
            OnOwnPacket(*p);
    }

    // IStl2Owner
    void Connected(uint64_t id) override
    {
        CheckId(id);
        Check(!m_ownerConnected, "Connected twice without Disconnected");
        m_ownerConnected = true;
        ++m_summary.connected;
    }
    void ReceiveData(const Utils::ByteArray& data, uint64_t id) override
    {
        CheckId(id);
        Check(m_ownerConnected, "data before Connected");
        ++m_summary.data;
        // A payload is a slice of the delivered stream, whatever the script made of it.
        const uint8_t* begin = data.IsEmpty() ? nullptr : data.Data();
        Check(data.IsEmpty() ||
                  std::search(m_allIn.begin(), m_allIn.end(), begin, begin + data.Size()) != m_allIn.end(),
              "data that the client did not send");
    }
    void Disconnected(const DiscCause& cause, uint64_t id) override
    {
        CheckId(id);
        Check(cause.CastToInt() >= 0 && cause.CastToInt() <= 4, "cause");
        m_ownerConnected = false;
        m_expectOwnNum = 0;
        m_summary.causes.push_back(cause.CastToInt());
    }

    const Summary& GetSummary() const { return m_summary; }

private:
    void Check(bool cond, const char* what)
    {
        if (!cond)
            m_fail(what);
    }

    void CheckId(uint64_t id)
    {
        if (m_srcId == 0)
            m_srcId = id;
        Check(id != 0 && id == m_srcId, "owner call with a foreign source id");
    }

    void OnOwnPacket(const StlPacket& p)
    {
        if (m_srcId == 0)
            m_srcId = p.m_srcId;
        Check(p.m_srcId == m_srcId && p.m_srcId != 0, "own packet with a foreign source id");
        if (p.m_cmd == StlCmd::cmdConnected)
            m_expectOwnNum = 0;
        Check(p.m_packNum == m_expectOwnNum, "own packets not numbered in sequence");
        m_expectOwnNum = static_cast<uint16_t>(p.m_packNum + 1);
        Check(p.m_cmd != StlCmd::cmdPing && p.m_cmd != StlCmd::cmdConnect, "a server sent a client command");
    }

    uint8_t Byte() { return m_pos < m_script.size() ? m_script[m_pos++] : 0; }

    Utils::ByteArray Take(size_t n)
    {
        const uint64_t size = n;
        Utils::ByteArray res(size, size); // capacity, size
        for (size_t i = 0; i < n; ++i)
            res.MutableData()[i] = Byte();
        return res;
    }

    void Deliver(const Utils::ByteArray& bytes)
    {
        if (!bytes.IsEmpty())
            m_allIn.insert(m_allIn.end(), bytes.Data(), bytes.Data() + bytes.Size());
        if (!m_held.IsNull())
        {
            Utils::ByteArray all = m_held;
            all.Append(bytes, true);
            m_held = Utils::ByteArray();
            m_user->OnTranspData(all);
            return;
        }
        m_user->OnTranspData(bytes);
    }

    void PacketOp()
    {
        const uint32_t cmd = Byte() % 10;
        const uint8_t flags = Byte();
        if (flags & 0x04)
        {
            m_session = 0;
            for (int i = 0; i < 4; ++i)
                m_session = (m_session << 8) | Byte();
        }
        uint16_t num = m_nextNum;
        switch ((flags >> 3) & 3)
        {
        case 2:
            num = static_cast<uint16_t>(m_nextNum + Byte());
            break;
        case 3:
            num = static_cast<uint16_t>((Byte() << 8) | Byte());
            break;
        default:
            break;
        }
        uint64_t src = m_cliSrc;
        if ((flags & 3) == 1)
            src = 0;
        else if ((flags & 3) == 2)
            src = m_cliSrc + 1;

        Utils::ByteArray payload;
        if (cmd == StlCmd::cmdData || (flags & 0x80))
            payload = Take(Byte());
        StlPacket p(src, m_session, num, StlCmd::cmdPing, payload);
        p.m_cmd = cmd;
        Utils::ByteArray frame = StlPacketSerializer::Serialize(p);
        if (flags & 0x20)
            frame.MutableData()[Byte() % frame.Size()] ^= 0x5A;
        m_nextNum = static_cast<uint16_t>(num + 1);

        if (flags & 0x40)
        {
            m_allIn.insert(m_allIn.end(), std::as_const(frame).Data(),
                           std::as_const(frame).Data() + frame.Size());
            if (m_held.IsNull())
                m_held = frame;
            else
                m_held.Append(frame, true);
            return;
        }
        Deliver(frame);
    }

    void Step()
    {
        if (m_pos >= m_script.size())
        {
            {
                std::lock_guard<std::mutex> lock(m_doneMutex);
                m_done = true;
            }
            m_doneCond.notify_all();
            return;
        }
        switch (Byte() % 8)
        {
        case 0:
            Deliver(Take(Byte()));
            break;
        case 1:
            PacketOp();
            break;
        case 2:
            m_transpUp = false;
            m_user->OnTranspError(L"fuzz");
            break;
        case 3:
            m_transpUp = true;
            m_user->OnTranspConnected();
            break;
        case 4:
            m_conn->Disconnect();
            break;
        case 5:
            m_conn->SendData(Take(Byte()));
            break;
        case 6:
            m_conn->Connect();
            break;
        case 7:
            if (!m_held.IsNull())
                Deliver(Utils::ByteArray(uint64_t(0), uint64_t(0)));
            break;
        }
        // Keeps the owner's view and the connection's in step.
        Check(!m_conn->IsConnected() || m_conn->GetStatistics().m_sessions > 0,
              "connected without a session");
        PutFunctor([this] { Step(); });
    }

    std::vector<uint8_t> m_script;
    size_t m_pos = 0;
    FailFn m_fail;
    uint64_t m_maxPacket = 0;
    std::unique_ptr<StlConnection> m_conn;
    IStlTransport2Owner* m_user = nullptr;
    bool m_transpUp = true;

    // The scripted client.
    const uint64_t m_cliSrc = 0x0123456789ABCDEFull;
    uint32_t m_session = 0x11223344;
    uint16_t m_nextNum = 0;
    Utils::ByteArray m_held;
    std::vector<uint8_t> m_allIn; // every byte delivered to the session

    // What the session did.
    uint64_t m_srcId = 0;
    bool m_ownerConnected = false;
    uint16_t m_expectOwnNum = 0;
    StlPacketSerializer m_outParser;
    Summary m_summary;

    std::mutex m_doneMutex;
    std::condition_variable m_doneCond;
    bool m_done = false;
};

// Runs one script against a new server session on the thread and returns when it has finished
// and the session is gone.
inline Summary RunServerScript(iCore::MsgThread& thread, YrLogV2::Log& log, const uint8_t* data, size_t size,
                               const FailFn& fail)
{
    Summary res;
    std::unique_ptr<ServerDriver> driver;
    iCore::MsgThreadFnBlocked(thread,
                              [&](iCore::MsgThread&)
                              {
                                  driver = std::make_unique<ServerDriver>(data, size, log, fail);
                                  driver->Start();
                              });
    driver->WaitDone();
    iCore::MsgThreadFnBlocked(thread,
                              [&](iCore::MsgThread&)
                              {
                                  res = driver->GetSummary();
                                  driver.reset();
                              });
    return res;
}

} // namespace StlFuzz
