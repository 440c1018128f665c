#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QString>
#include <gtest/gtest.h>
#include "QtSharedMemTransp/Buff.h"
#include "QtSharedMemTransp/QtSharedMemTransp.h"
#include "iCore/MsgThread.h"
#include "iCore/ThreadRunnerFunc.h"

namespace ShmTest
{

// Every wait of these tests is bounded by this; a working transport is far quicker.
constexpr std::chrono::milliseconds c_waitLimit(15000);

// A segment key no other test (of this or a parallel test process) uses.
inline std::wstring UniqueKey(const std::string& what)
{
    static std::atomic<int> counter(0);
    return QString("yrShmTest_%1_%2_%3")
        .arg(getpid())
        .arg(QString::fromStdString(what))
        .arg(++counter)
        .toStdWString();
}

// Removes the semaphore that Qt keeps beside a segment when the process that made it died
// without cleaning up (only once nobody uses the key any more).
inline void RemoveOrphanSemaphore(const std::wstring& key)
{
    QSystemSemaphore sem(QString::fromStdWString(key), 1, QSystemSemaphore::Create);
}

// For conditions no event announces (words of the segment): checks every few milliseconds until
// pred holds or the limit has passed.
inline bool PollUntil(const std::function<bool()>& pred)
{
    const auto deadline = std::chrono::steady_clock::now() + c_waitLimit;
    while (!pred())
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// True when no segment exists under the key (the system removed it after its last user left).
inline bool SegmentGone(const std::wstring& key)
{
    QSharedMemory probe(QString::fromStdWString(key));
    if (!probe.attach())
        return probe.error() == QSharedMemory::NotFound;
    probe.detach();
    return false;
}

// What a transport reported, in order.
struct Recorded
{
    enum Kind
    {
        kNone,
        kStateChanged,
        kSendBuffEmpty,
        kData
    };
    Kind kind;
    QtSharedMemTransp::StateInfo state; // read at StateChanged
    Utils::ByteArray data;
};

// One transport on a message thread of its own, with its events recorded. The transport is made,
// used and destroyed on that thread.
class Side
{
public:
    Side()
        : m_runner(new iCore::ThreadRunnerFunc(iCore::ThreadRunnerFuncProfile(0, "ShmSide", 7, 0, 0, false),
                                               [this](iCore::MsgThread& t) { m_thread = &t; }))
    {
    }

    ~Side()
    {
        Destroy();
        m_runner.reset();
    }

    void MakeServer(QtSharedMemTransp::ServerProfile profile)
    {
        profile.eventFn = [this](const QtSharedMemTransp::EventVariant& ev) { OnEvent(ev); };
        Call([&] { m_transp = QtSharedMemTransp::CreateServer(profile); });
    }

    void MakeClient(QtSharedMemTransp::ClientProfile profile)
    {
        profile.eventFn = [this](const QtSharedMemTransp::EventVariant& ev) { OnEvent(ev); };
        Call([&] { m_transp = QtSharedMemTransp::CreateClient(profile); });
    }

    void Destroy()
    {
        Call([&] { m_transp.reset(); });
    }

    void Send(const Utils::ByteArray& data)
    {
        Call([&] { m_transp->Send(data); });
    }

    QtSharedMemTransp::StateInfo State()
    {
        QtSharedMemTransp::StateInfo res;
        Call([&] { res = m_transp->State(); });
        return res;
    }

    // Runs fn on the transport's thread, after everything posted there before, and waits for it.
    void Call(const std::function<void()>& fn)
    {
        ASSERT_TRUE(iCore::MsgThreadFnBlocked(*m_thread, [&](iCore::MsgThread&) { fn(); }));
    }

    // Lets every event already raised reach the recorder: events are posted messages, and this
    // call's message runs after them.
    void Settle()
    {
        Call([] {});
    }

    std::vector<Recorded> Events()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

    // Waits (bounded) until pred holds for the recorded events.
    bool WaitFor(const std::function<bool(const std::vector<Recorded>&)>& pred)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, c_waitLimit, [&] { return pred(m_events); });
    }

    // Waits until a StateChanged to the state was reported.
    bool WaitState(QtSharedMemTransp::State state)
    {
        return WaitFor(
            [state](const std::vector<Recorded>& evs)
            {
                for (const Recorded& r : evs)
                    if (r.kind == Recorded::kStateChanged && r.state.state == state)
                        return true;
                return false;
            });
    }

    // Waits until the received bytes add up to at least count; returns them.
    std::vector<uint8_t> WaitData(size_t count)
    {
        std::vector<uint8_t> res;
        WaitFor(
            [&](const std::vector<Recorded>& evs)
            {
                res.clear();
                for (const Recorded& r : evs)
                    if (r.kind == Recorded::kData)
                        res.insert(res.end(), r.data.Data(), r.data.Data() + r.data.Size());
                return res.size() >= count;
            });
        return res;
    }

    // Sends the bytes in pieces of at most maxPiece and waits after each until the transport has
    // drained its queue, so that the queue bound is never reached.
    void SendAll(const Utils::ByteArray& data, size_t maxPiece)
    {
        size_t sent = 0, piece = 1;
        while (sent < data.Size())
        {
            const size_t n = std::min(std::min(piece, maxPiece), size_t(data.Size() - sent));
            const int drained = Count(Recorded::kSendBuffEmpty);
            Send(Utils::ByteArray(data.Data() + sent, n));
            sent += n;
            piece = piece * 3 + 1;
            if (piece > maxPiece)
                piece = piece % maxPiece + 1;
            ASSERT_TRUE(WaitFor(
                [&](const std::vector<Recorded>& evs)
                {
                    int n2 = 0;
                    for (const Recorded& r : evs)
                        n2 += (r.kind == Recorded::kSendBuffEmpty) ? 1 : 0;
                    return n2 > drained;
                }));
        }
    }

    int Count(Recorded::Kind kind)
    {
        int n = 0;
        for (const Recorded& r : Events())
            n += (r.kind == kind) ? 1 : 0;
        return n;
    }

private:
    void OnEvent(const QtSharedMemTransp::EventVariant& ev)
    {
        Recorded r;
        r.kind = static_cast<Recorded::Kind>(ev.which());
        if (r.kind == Recorded::kStateChanged)
            r.state = m_transp->State();
        if (const QtSharedMemTransp::Event::Data* d = boost::get<QtSharedMemTransp::Event::Data>(&ev))
            r.data = d->data;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(r);
        }
        m_cond.notify_all();
    }

    iCore::MsgThread* m_thread = nullptr;
    std::unique_ptr<iCore::ThreadRunnerFunc> m_runner;
    std::unique_ptr<QtSharedMemTransp::ITransp> m_transp;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Recorded> m_events;
};

// The test's own hand on a segment: attaches by key and reads or writes the header's words, as a
// hand-made peer or a hostile third party would.
class RawSegment
{
public:
    explicit RawSegment(const std::wstring& key) : m_mem(QString::fromStdWString(key)) {}

    bool Attach() { return m_mem.attach(); }
    bool Create(int size)
    {
        if (!m_mem.create(size))
            return false;
        std::memset(m_mem.data(), 0, size_t(m_mem.size()));
        return true;
    }

    uint8_t* Base() { return static_cast<uint8_t*>(m_mem.data()); }
    int Size() const { return m_mem.size(); }

    uint32_t Word(size_t offset) { return QtSharedMemTransp::Segment::LoadWord(Base(), offset); }
    void SetWord(size_t offset, uint32_t v) { QtSharedMemTransp::Segment::StoreWord(Base(), offset, v); }

    // The client's rings of a segment set up by a server.
    QtSharedMemTransp::Buff ClientWriteRing()
    {
        const uint32_t sizeA = Word(QtSharedMemTransp::Segment::c_offsetSizeA);
        return QtSharedMemTransp::Buff(Base() + QtSharedMemTransp::Segment::RingBOffset(sizeA),
                                       Word(QtSharedMemTransp::Segment::c_offsetSizeB));
    }
    QtSharedMemTransp::Buff ClientReadRing()
    {
        return QtSharedMemTransp::Buff(Base() + QtSharedMemTransp::Segment::c_offsetRingA,
                                       Word(QtSharedMemTransp::Segment::c_offsetSizeA));
    }

    void Detach() { m_mem.detach(); }

private:
    QSharedMemory m_mem;
};

inline Utils::ByteArray Pattern(size_t size, uint32_t seed)
{
    Utils::ByteArray res(size, size);
    uint8_t* p = res.MutableData();
    for (size_t i = 0; i < size; ++i)
    {
        seed = seed * 1103515245u + 12345u;
        p[i] = uint8_t(seed >> 16);
    }
    return res;
}

inline std::vector<uint8_t> Bytes(const Utils::ByteArray& a)
{
    return a.IsNull() ? std::vector<uint8_t>() : std::vector<uint8_t>(a.Data(), a.Data() + a.Size());
}

} // namespace ShmTest
