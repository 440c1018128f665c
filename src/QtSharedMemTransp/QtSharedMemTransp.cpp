#include "QtSharedMemTransp/QtSharedMemTransp.h"
#include <chrono>
#include <climits>
#include <deque>
#include <QSharedMemory>
#include <QString>
#include <fmt/format.h>
#include <fmt/xchar.h>
#include "ESS/Assert.h"
#include "Platform/SysInfo.h"
#include "QtSharedMemTransp/Buff.h"
#include "iCore/MsgObject.h"
#include "iCore/MsgTimerEx.h"

namespace QtSharedMemTransp
{

std::string StateName(State state)
{
    switch (state)
    {
    case State::Initial:
        return "Initial";
    case State::Connected:
        return "Connected";
    case State::Disconnected:
        return "Disconnected";
    case State::Error:
        return "Error";
    }
    return std::string();
}

namespace
{

using namespace Segment;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::wstring QtErrorText(const QSharedMemory& mem)
{
    return mem.errorString().toStdWString();
}

class Transp : public iCore::MsgObject, public ITransp
{
public:
    explicit Transp(const ServerProfile& profile) : Transp(profile, true)
    {
        const uint32_t sizeA = profile.toClientBuffSize;
        const uint32_t sizeB = profile.toServerBuffSize;
        // QSharedMemory takes an int size.
        if (!SizesValid(sizeA, sizeB, INT_MAX))
        {
            SetDisconnected(L"wrong buffer sizes", true);
            return;
        }
        const int size = int(TotalSize(sizeA, sizeB));

        // A segment whose server died is not removed by the system while its key file is there;
        // attaching and detaching once removes such an orphan (and leaves a segment in use alone).
        if (m_mem.attach(QSharedMemory::ReadWrite))
            m_mem.detach();

        if (!TakeMapping(m_mem.create(size, QSharedMemory::ReadWrite), L"create"))
            return;
        ESS_ASSERT(m_mem.size() >= size);

        // The sizes go in before the magic: a client that attaches meanwhile sees no magic rather
        // than a valid magic with zero sizes.
        std::memset(m_pHeader, 0, size_t(m_mem.size()));
        StoreWord(m_pHeader, c_offsetSizeA, sizeA);
        StoreWord(m_pHeader, c_offsetSizeB, sizeB);
        StoreWord(m_pHeader, c_offsetMagic, c_magic);

        MakeBuffs(sizeA, sizeB);
        StartPolling();
    }

    explicit Transp(const ClientProfile& profile) : Transp(profile, false)
    {
        if (!TakeMapping(m_mem.attach(QSharedMemory::ReadWrite), L"attach to"))
            return;

        // Whoever made the segment under this key may be anything: nothing beyond the mapping is
        // read and nothing is trusted before it was checked.
        const int64_t mapped = m_mem.size();
        if (mapped < int64_t(c_fixedSize))
        {
            Release();
            SetDisconnected(L"wrong segment size", true);
            return;
        }
        if (LoadWord(m_pHeader, c_offsetMagic) != c_magic)
        {
            SetDisconnected(L"wrong magic", true);
            return;
        }
        // The sizes are read once: the rings are made from the values checked here.
        const uint32_t sizeA = LoadWord(m_pHeader, c_offsetSizeA);
        const uint32_t sizeB = LoadWord(m_pHeader, c_offsetSizeB);
        if (!SizesValid(sizeA, sizeB, uint64_t(mapped)))
        {
            SetDisconnected(L"wrong buffer sizes", true);
            return;
        }

        // One client per segment: a second one would share the rings with the first and garble
        // both streams, so a link that a client holds is left alone.
        if (!TakeLink())
        {
            Release();
            SetDisconnected(L"segment in use", true);
            return;
        }
        MakeBuffs(sizeA, sizeB);

        SetConnected();
        StartPolling();
    }

    ~Transp() override
    {
        // The peer sees the link word at its next poll.
        SetDisconnected(L"dtor", false);
    }

    // ITransp

    StateInfo State() const override
    {
        StateInfo res;
        res.state = m_state;
        res.text = m_text;
        return res;
    }

    void Send(const Utils::ByteArray& data) override
    {
        if (m_state != QtSharedMemTransp::State::Connected)
        {
            const std::string name = StateName(m_state);
            SetDisconnected(
                fmt::format(L"Sending data in a wrong state '{}'", std::wstring(name.begin(), name.end())),
                true);
            return;
        }
        data.AssertIsNotNull();

        const uint64_t total = m_queuedBytes + data.Size();
        if (double(total) > double(m_writeBuff->Capacity()) * m_profile.sendQueueFactor)
        {
            SetDisconnected(L"send queue limit", true);
            return;
        }

        m_sendBuffEmptyPending = true;
        m_sendQueue.push_back(SendItem{data, 0});
        m_queuedBytes += data.Size();
        FlushSendQueue();
        CheckRings();
    }

private:
    struct SendItem
    {
        Utils::ByteArray bytes;
        uint64_t written; // already in the ring
    };

    struct TickInfo
    {
        int64_t changedNs; // steady clock, when the peer's tick last changed
        uint32_t peerTick;
    };

    Transp(const ClientProfile& profile, bool isServer) : m_profile(profile), m_isServer(isServer)
    {
        const QString key = QString::fromStdWString(m_profile.name);
        ESS_ASSERT(!key.isEmpty());
        ESS_ASSERT(m_profile.eventFn);
        ESS_ASSERT(m_profile.pollPeriodMs > 0 && m_profile.pollPeriodMs <= iCore::MsgTimerEx::c_maxArmMs);
        m_mem.setKey(key);
    }

    size_t OwnTickOffset() const { return m_isServer ? c_offsetServerTick : c_offsetClientTick; }
    size_t PeerTickOffset() const { return m_isServer ? c_offsetClientTick : c_offsetServerTick; }

    // The link word := attached, unless a client holds it already (or it will not hold still).
    bool TakeLink()
    {
        for (int attempt = 0; attempt < 16; ++attempt)
        {
            const uint32_t link = LoadWord(m_pHeader, c_offsetLink);
            if (link == linkAttached)
                return false;
            if (CompareStoreWord(m_pHeader, c_offsetLink, link, linkAttached))
                return true;
        }
        return false;
    }

    // The result of creating or attaching the segment: the header's address when it is mapped,
    // else the transport ends disconnected with the Qt error, naming what failed.
    bool TakeMapping(bool mapped, const wchar_t* action)
    {
        if (!mapped)
        {
            SetDisconnected(fmt::format(L"unable to {} memory, name '{}': {}", action, m_profile.name,
                                        QtErrorText(m_mem)),
                            true);
            return false;
        }
        m_pHeader = static_cast<uint8_t*>(m_mem.data());
        ESS_ASSERT(m_pHeader);
        return true;
    }

    // The rings, with the capacities of the header.
    void MakeBuffs(uint32_t sizeA, uint32_t sizeB)
    {
        auto ringA = std::make_unique<Buff>(m_pHeader + c_offsetRingA, sizeA);
        auto ringB = std::make_unique<Buff>(m_pHeader + RingBOffset(sizeA), sizeB);
        m_writeBuff = std::move(m_isServer ? ringA : ringB);
        m_readBuff = std::move(m_isServer ? ringB : ringA);
    }

    // Gives up the mapping without touching the segment.
    void Release()
    {
        m_writeBuff.reset();
        m_readBuff.reset();
        m_pHeader = nullptr;
        m_mem.detach();
    }

    void StartPolling()
    {
        m_timer.Start([this] { CheckHeader(); }, m_profile.pollPeriodMs, true);
    }

    void CheckHeader()
    {
        const uint32_t link = LoadWord(m_pHeader, c_offsetLink);
        switch (m_state)
        {
        case QtSharedMemTransp::State::Initial:
            if (link == linkAttached)
                SetConnected();
            break;

        case QtSharedMemTransp::State::Connected:
            if (link != linkAttached)
            {
                SetDisconnected(L"Disc by header value", false);
                break;
            }
            ProcessTicks();
            FlushSendQueue();
            {
                Utils::ByteArray data = m_readBuff->Read();
                if (!data.IsEmpty())
                    RaiseEvent(Event::Data{data});
            }
            CheckRings();
            break;

        case QtSharedMemTransp::State::Disconnected:
        case QtSharedMemTransp::State::Error:
            break;
        }
    }

    void SetConnected()
    {
        m_tickInfo = std::make_unique<TickInfo>(TickInfo{NowNs(), LoadWord(m_pHeader, PeerTickOffset())});
        if (m_state == QtSharedMemTransp::State::Connected)
            return;
        m_state = QtSharedMemTransp::State::Connected;
        m_text.clear();
        RaiseEvent(Event::StateChanged());
    }

    void ProcessTicks()
    {
        ESS_ASSERT(m_tickInfo);
        StoreWord(m_pHeader, OwnTickOffset(), Platform::GetTickCount());

        const uint32_t peerTick = LoadWord(m_pHeader, PeerTickOffset());
        const int64_t now = NowNs();
        if (peerTick != m_tickInfo->peerTick)
        {
            m_tickInfo->peerTick = peerTick;
            m_tickInfo->changedNs = now;
            return;
        }
        const int64_t elapsedMs = (now - m_tickInfo->changedNs) / 1000000;
        if (elapsedMs > int64_t(m_profile.discTimeoutMs))
            SetDisconnected(L"Disc timeout", false);
    }

    void FlushSendQueue()
    {
        for (;;)
        {
            const uint64_t room = m_writeBuff->BytesForWrite();
            if (room == 0)
                return;

            if (m_sendQueue.empty())
            {
                if (m_sendBuffEmptyPending)
                {
                    m_sendBuffEmptyPending = false;
                    RaiseEvent(Event::SendBuffEmpty());
                }
                return;
            }

            SendItem& item = m_sendQueue.front();
            const Utils::ByteArray& bytes = item.bytes;
            const uint64_t rest = bytes.Size() - item.written;
            const uint64_t count = (room < rest) ? room : rest;
            m_writeBuff->Write(bytes.Data() + item.written, count);
            if (m_writeBuff->IsCorrupt())
                return;
            m_queuedBytes -= count;
            if (count < rest)
                item.written += count;
            else
                m_sendQueue.pop_front();
        }
    }

    // A ring whose offsets left their range: the peer (or whoever holds the key) broke the format,
    // and nothing more is read from or written to the segment.
    void CheckRings()
    {
        if (m_writeBuff->IsCorrupt() || m_readBuff->IsCorrupt())
            SetDisconnected(L"corrupt ring buffer", true);
    }

    void SetDisconnected(const std::wstring& text, bool isError)
    {
        m_timer.Stop();
        if (m_pHeader)
            StoreWord(m_pHeader, c_offsetLink, linkLeft);

        const QtSharedMemTransp::State next =
            isError ? QtSharedMemTransp::State::Error : QtSharedMemTransp::State::Disconnected;
        if (next == m_state)
            return;
        m_state = next;
        m_text = text;
        RaiseEvent(Event::StateChanged());
    }

    void RaiseEvent(const EventVariant& ev) { PutMsg(&Transp::DeliverEvent, ev); }

    void DeliverEvent(EventVariant ev)
    {
        // The user may destroy the transport from inside its callback.
        const EventFn fn = m_profile.eventFn;
        fn(ev);
    }

    QSharedMemory m_mem;
    QtSharedMemTransp::State m_state = QtSharedMemTransp::State::Initial;
    std::wstring m_text;
    ClientProfile m_profile;
    const bool m_isServer;
    uint8_t* m_pHeader = nullptr;
    std::unique_ptr<Buff> m_writeBuff;
    std::unique_ptr<Buff> m_readBuff;
    std::deque<SendItem> m_sendQueue;
    uint64_t m_queuedBytes = 0; // bytes of the queue not yet in the ring
    bool m_sendBuffEmptyPending = false;
    std::unique_ptr<TickInfo> m_tickInfo;
    iCore::MsgTimerEx m_timer;
};

} // namespace

std::unique_ptr<ITransp> CreateServer(const ServerProfile& profile)
{
    return std::unique_ptr<ITransp>(new Transp(profile));
}

std::unique_ptr<ITransp> CreateClient(const ClientProfile& profile)
{
    return std::unique_ptr<ITransp>(new Transp(profile));
}

} // namespace QtSharedMemTransp
