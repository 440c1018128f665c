#include "VMware/Client/DriverCore.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <utility>
#include "CrashReporter/CrHook.h"
#include "ESS/Assert.h"
#include "ESS/Exception.h"
#include <fmt/format.h>
#include "Utils/StringUtils.h"
#include "Platform/Thread.h"
#include "VMware/Shared/Constants.h"
#include "iCore/MsgParam.h"

namespace VMware
{
namespace Client
{

std::unique_ptr<DriverCore> g_core;

namespace
{

// Once per process: the outstanding list grew past the warning size.
std::atomic<bool> g_sendListWarned(false);

std::string ServerName(const void* pData, uint32_t dataLength)
{
    if (pData == nullptr)
        return std::string();
    const char* p = static_cast<const char*>(pData);
    // The name is a C string; never read past the length the host gave.
    return std::string(p, ::strnlen(p, dataLength));
}

} // namespace

// Items that threads hand to a message object in batches: the first item of a batch posts,
// the ones added before the object has taken the batch join it. The post goes through the
// object's post target, so a batch for an object that is gone is dropped with it.
template <class TItem, class TOwner>
class BatchPost
{
public:
    using Drain = void (TOwner::*)();

    BatchPost(iCore::MsgPostTarget target, TOwner* owner, Drain drain)
        : m_target(std::move(target)), m_owner(owner), m_drain(drain)
    {
    }

    // Any thread.
    void Add(TItem&& item)
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_items.push_back(std::move(item));
            if (m_items.size() > 1)
                return; // the batch's post is on its way
        }
        m_target.Put(std::make_unique<iCore::MsgSimple<TOwner>>(m_owner, m_drain));
    }

    // The owner's thread, from the drain: the batch, in the order of addition.
    std::vector<TItem> Take()
    {
        std::vector<TItem> taken;
        std::lock_guard<std::mutex> lock(m_lock);
        taken.swap(m_items);
        return taken;
    }

private:
    const iCore::MsgPostTarget m_target;
    TOwner* const m_owner;
    const Drain m_drain;

    std::mutex m_lock; // guards the member below
    std::vector<TItem> m_items;
};

struct DriverCore::ListenerEvent
{
    bool isPacket;
    bool connected;          // of a connection change
    Utils::ByteArray packet; // of a packet
};

class DriverCore::ListenerEvents : public BatchPost<ListenerEvent, LowLevelTransport>
{
public:
    using BatchPost::BatchPost;
};

// ---------------------------------------------------------------------------------------------
// The low-level transport over the channel: the driver's listener.

class DriverCore::LowLevelTransport : public VdiCommon::ILowLevelTransport, public iCore::MsgObject
{
public:
    struct SendResult
    {
        uint64_t id;
        VdiCommon::SendDataRes result;
    };

    LowLevelTransport(DriverCore& core, YrLogV2::Log& log, VdiCommon::ILowLevelTransportEvents& events)
        : m_core(core), m_log(log, "LowLevelTransport"), m_events(events), m_lastId(0)
    {
    }

    ~LowLevelTransport() override
    {
        // Unregistering first: from here on the driver posts nothing new to this object, and what
        // is already queued dies with it (the message-object teardown below).
        m_core.UnregisterListener(this);
        if (m_core.OutstandingWrites() != 0)
            m_core.m_log.Add(YrLogV2::Warning, "Send data list isn't empty");
    }

    void SendPacket(const Utils::ByteArray& data, const SendCallback& callback) override
    {
        getMsgThread().AssertContext();
        ESS_ASSERT(!data.IsNull() && !data.IsEmpty());
        ESS_ASSERT(callback != 0);
        ESS_ASSERT(data.Size() <= Shared::Constants::c_defaultBufferLength);

        // The user's callback stays here, on this thread; the driver keeps only a poster that
        // any thread may call, copy or destroy. A result for a transport that is gone is dropped.
        const uint64_t id = ++m_lastId;
        m_pending.emplace(id, PendingSend{callback, m_connections});
        m_core.WriteData(data, [results = m_results, id](const VdiCommon::SendDataRes& res)
                         { results->Add(SendResult{id, res}); });
    }

    void Start() override
    {
        getMsgThread().AssertContext();
        m_core.AnnounceOpen(this);
    }

    const std::shared_ptr<ListenerEvents>& DriverEvents() const { return m_driverEvents; }

private:
    void DeliverConnected(bool connected)
    {
        if (connected && !m_connected)
            ++m_connections;
        m_connected = connected;
        m_events.OnConnected(connected, connected ? Shared::Constants::c_defaultBufferLength : 0);
    }

    // The host completes writes in bursts; a burst comes as one batch.
    void OnSendResults()
    {
        for (const SendResult& r : m_results->Take())
            OnSendResult(r);
    }

    void OnDriverEvents()
    {
        for (const ListenerEvent& ev : m_driverEvents->Take())
        {
            if (ev.isPacket)
                m_events.OnDataReceived(ev.packet);
            else
                DeliverConnected(ev.connected);
        }
    }

    void OnSendResult(const SendResult& r)
    {
        auto it = m_pending.find(r.id);
        if (it == m_pending.end())
        {
            m_log.Add(YrLogV2::Warning, "OnPacketWriteResult cannot find SendData");
            return;
        }
        const PendingSend pending = it->second;
        m_pending.erase(it);
        // A write of a connection the user has since seen end and come back: its failure belongs
        // to the connection that is gone, and must not end the session begun on the new one.
        if (r.result == VdiCommon::SendDataRes(VdiCommon::SendDataRes::Failed) &&
            pending.connection != m_connections)
        {
            m_log.Add(YrLogV2::Info, "A write of an earlier connection failed, reported as not delivered");
            pending.callback(VdiCommon::SendDataRes::RemoteNotReady);
            return;
        }
        pending.callback(r.result);
    }

    DriverCore& m_core;
    YrLogV2::Log m_log;
    VdiCommon::ILowLevelTransportEvents& m_events;
    uint64_t m_lastId;
    struct PendingSend
    {
        SendCallback callback;
        uint64_t connection; // m_connections when it was sent
    };
    std::map<uint64_t, PendingSend> m_pending; // writes without a result yet
    // Write results from the host's threads, and the driver's events.
    const std::shared_ptr<BatchPost<SendResult, LowLevelTransport>> m_results =
        std::make_shared<BatchPost<SendResult, LowLevelTransport>>(PostTarget(), this,
                                                                   &LowLevelTransport::OnSendResults);
    const std::shared_ptr<ListenerEvents> m_driverEvents =
        std::make_shared<ListenerEvents>(PostTarget(), this, &LowLevelTransport::OnDriverEvents);
    bool m_connected = false;                  // as last delivered to the user
    uint64_t m_connections = 0;                // connections delivered to the user so far
};

// ---------------------------------------------------------------------------------------------

DriverCore::ClientObjects::ClientObjects() : m_threadId(nullptr), m_cleared(false) {}

DriverCore::ClientObjects::~ClientObjects()
{
    DestroyRemaining();
}

void DriverCore::ClientObjects::Add(std::unique_ptr<Utils::IVirtualDestroy>&& obj)
{
    ESS_ASSERT(!m_cleared);
    void* const current = Platform::Thread::GetCurrentThreadID();
    if (m_threadId == nullptr)
        m_threadId = current;
    else
        ESS_ASSERT(m_threadId == current);
    m_arr.push_back(std::move(obj));
}

void DriverCore::ClientObjects::Clear()
{
    ESS_ASSERT(!m_cleared);
    if (m_threadId != nullptr)
        ESS_ASSERT(m_threadId == Platform::Thread::GetCurrentThreadID());
    else
        ESS_ASSERT(m_arr.empty());
    m_cleared = true;
    m_threadId = nullptr;
    DestroyRemaining();
}

void DriverCore::ClientObjects::DestroyRemaining()
{
    // First added first: the application start-up object, the log set-up, then the entry's
    // object. Each is taken out of the vector before it dies, so an object whose destruction
    // reaches the driver never sees a half-destroyed entry.
    for (size_t i = 0; i < m_arr.size(); ++i)
    {
        std::unique_ptr<Utils::IVirtualDestroy> obj = std::move(m_arr[i]);
        obj.reset();
    }
    m_arr.clear();
}

// ---------------------------------------------------------------------------------------------

DriverCore::DriverCore(const CHANNEL_ENTRY_POINTS* pEntryPoints)
    : m_extended(false), m_connectionHandle(nullptr), m_log(YrLogV2::LogRoot::RootLog(), "DriverCore"),
      m_channelHandle(0), m_openedHandle(0), m_listener(nullptr), m_recvTotal(0)
{
    std::memset(&m_entryPoints, 0, sizeof(m_entryPoints));
    std::memset(&m_entryPointsEx, 0, sizeof(m_entryPointsEx));
    ESS_ASSERT(pEntryPoints);
    m_entryPoints = *pEntryPoints;
    RegisterChannel();
}

DriverCore::DriverCore(const CHANNEL_ENTRY_POINTS_EX* pEntryPointsEx, void* pInitHandle)
    : m_extended(true), m_connectionHandle(pInitHandle), m_log(YrLogV2::LogRoot::RootLog(), "DriverCore"),
      m_channelHandle(0), m_openedHandle(0), m_listener(nullptr), m_recvTotal(0)
{
    std::memset(&m_entryPoints, 0, sizeof(m_entryPoints));
    std::memset(&m_entryPointsEx, 0, sizeof(m_entryPointsEx));
    ESS_ASSERT(pEntryPointsEx);
    // Only the fields of our layout: a host's longer table (and its own size field) is not ours
    // to copy, and the host may free it when the entry returns.
    std::memcpy(&m_entryPointsEx, pEntryPointsEx, sizeof(m_entryPointsEx));
    RegisterChannel();
}

void DriverCore::RegisterChannel()
{
    CHANNEL_DEF def;
    std::memset(&def, 0, sizeof(def));
    Shared::ArrCopy(def.name, Shared::Constants::c_channelName);
    def.options = 0;

    const uint32_t rc =
        m_extended
            ? m_entryPointsEx.pVirtualChannelInitEx(this, nullptr, m_connectionHandle, &def, 1,
                                                    VIRTUAL_CHANNEL_VERSION_WIN2000, &ConnectionEventProcEx)
            : m_entryPoints.pVirtualChannelInit(&m_connectionHandle, &def, 1, VIRTUAL_CHANNEL_VERSION_WIN2000,
                                                &ConnectionEventProc);
    if (rc != CHANNEL_RC_OK)
    {
        ESS_THROW_MSG(ESS::Exception,
                      Utils::StdStringToWString(fmt::format("CreateDriver VirtualChannelInit '{}' failed: {}",
                                                            Shared::Constants::c_channelName, rc)));
    }
    m_log.Add(YrLogV2::Info, "CreateDriver VirtualChannelInit '{}' OK", Shared::Constants::c_channelName);
}

uint32_t DriverCore::HostOpen(uint32_t* pHandle)
{
    char name[CHANNEL_NAME_LEN + 1];
    std::memset(name, 0, sizeof(name));
    Shared::ArrCopy(name, Shared::Constants::c_channelName);
    if (m_extended)
        return m_entryPointsEx.pVirtualChannelOpenEx(m_connectionHandle, pHandle, name, &ChannelEventProcEx);
    return m_entryPoints.pVirtualChannelOpen(m_connectionHandle, pHandle, name, &ChannelEventProc);
}

uint32_t DriverCore::HostWrite(uint32_t handle, void* pBytes, uint32_t size)
{
    // The bytes' address is also the write's user data: it names the item in the results.
    if (m_extended)
        return m_entryPointsEx.pVirtualChannelWriteEx(m_connectionHandle, handle, pBytes, size, pBytes);
    return m_entryPoints.pVirtualChannelWrite(handle, pBytes, size, pBytes);
}

DriverCore::~DriverCore()
{
    // The client objects go first: their transports unregister from the driver, which must
    // still be whole then.
    m_clientObjects.DestroyRemaining();
}

void DriverCore::ConnectionEventProc(void* initHandle, uint32_t event, void* pData, uint32_t dataLength)
{
    DriverCore* p = g_core.get();
    if (p != nullptr)
        p->ConnectionEventProcImpl(initHandle, event, pData, dataLength);
}

void DriverCore::ChannelEventProc(uint32_t openHandle, uint32_t event, void* pData, uint32_t dataLength,
                                  uint32_t totalLength, uint32_t dataFlags)
{
    DriverCore* p = g_core.get();
    if (p != nullptr)
        p->ChannelEventProcImpl(openHandle, event, pData, dataLength, totalLength, dataFlags);
}

void DriverCore::ConnectionEventProcEx(void* userParam, void* initHandle, uint32_t event, void* pData,
                                       uint32_t dataLength)
{
    DriverCore* p = g_core.get();
    if (p != nullptr && p == userParam)
        p->ConnectionEventProcImpl(initHandle, event, pData, dataLength);
}

void DriverCore::ChannelEventProcEx(void* userParam, uint32_t openHandle, uint32_t event, void* pData,
                                    uint32_t dataLength, uint32_t totalLength, uint32_t dataFlags)
{
    DriverCore* p = g_core.get();
    if (p != nullptr && p == userParam)
        p->ChannelEventProcImpl(openHandle, event, pData, dataLength, totalLength, dataFlags);
}

void DriverCore::ConnectionEventProcImpl(void* connectionHandle, uint32_t event, void* pData,
                                         uint32_t dataLength)
{
    if (connectionHandle != m_connectionHandle)
    {
        // Not our registration: nothing of it may touch the channel, and the host must not crash.
        m_log.Add(YrLogV2::Error, "ConnectionEventProc unknown init handle, event {} ignored", event);
        return;
    }
    switch (event)
    {
    case CHANNEL_EVENT_INITIALIZED:
        m_log.Add(YrLogV2::Info, "ConnectionEventProc Remote side initialized");
        break;
    case CHANNEL_EVENT_CONNECTED:
        OnConnected(pData, dataLength);
        break;
    case CHANNEL_EVENT_DISCONNECTED:
        OnDisconnected();
        break;
    case CHANNEL_EVENT_TERMINATED:
        OnTerminated();
        break;
    default:
        m_log.Add(YrLogV2::Info, "ConnectionEventProc eventType: {}", event);
        break;
    }
}

void DriverCore::OnConnected(void* pData, uint32_t dataLength)
{
    uint32_t keptHandle = 0;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_channelHandle != 0)
        {
            m_log.Add(YrLogV2::Error, "ConnectionEventProc channel '{}' is open already, CONNECTED ignored",
                      Shared::Constants::c_channelName);
            return;
        }
        keptHandle = m_openedHandle;
    }

    uint32_t handle = 0;
    const uint32_t rc = HostOpen(&handle);
    if (rc == CHANNEL_RC_ALREADY_OPEN && keptHandle != 0)
    {
        // A host that keeps its channels open across a reconnection (FreeRDP does): the handle of
        // our open still names the channel.
        handle = keptHandle;
        m_log.Add(YrLogV2::Info, "ConnectionEventProc VirtualChannelOpen '{}': still open, handle {} kept",
                  Shared::Constants::c_channelName, handle);
    }
    else if (rc != CHANNEL_RC_OK)
    {
        m_log.Add(YrLogV2::Error, "ConnectionEventProc VirtualChannelOpen '{}' failed: {}",
                  Shared::Constants::c_channelName, rc);
        return;
    }
    else
    {
        m_log.Add(YrLogV2::Info, "ConnectionEventProc VirtualChannelOpen '{}' OK, server: {}",
                  Shared::Constants::c_channelName, ServerName(pData, dataLength));
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_channelHandle = handle;
        m_openedHandle = handle;
        m_recvTotal = 0;
    }
    NotifyConnection();
}

void DriverCore::OnDisconnected()
{
    m_log.Add(YrLogV2::Info, "ConnectionEventProc Disconnected");
    std::lock_guard<std::mutex> lock(m_lock);
    m_channelHandle = 0;
    if (m_recvTotal != 0)
    {
        // The rest of that write will never come.
        m_log.Add(YrLogV2::Warning, "Unfinished packet of {} bytes dropped", m_recvBuffer.Size());
        ResetPacketLocked();
    }
    if (m_listener != nullptr)
        PostConnectionLocked(false);
    else
        m_log.Add(YrLogV2::Info, "Connection happened before listener connected");
}

void DriverCore::OnTerminated()
{
    m_log.Add(YrLogV2::Info, "ConnectionEventProc The client has been terminated");
    if (OutstandingWrites() != 0)
        m_log.Add(YrLogV2::Warning, "Send data list isn't empty");
    if (m_clientObjects.Cleared())
    {
        m_log.Add(YrLogV2::Warning, "ConnectionEventProc client objects were cleared already");
        return;
    }
    // Without the mutex: the objects' destruction unregisters their transports.
    m_clientObjects.Clear();
    // The host may unload us once TERMINATED returns: the crash reporter's thread ends now too
    // (a fault after this is still reported, on its own thread).
    CrashReporter::StopFaultReporter();
}

void DriverCore::NotifyConnection()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_listener != nullptr)
        PostConnectionLocked(m_channelHandle != 0);
    else
        m_log.Add(YrLogV2::Info, "Connection happened before listener connected");
}

void DriverCore::PostConnectionLocked(bool connected)
{
    m_listenerEvents->Add(ListenerEvent{false, connected, Utils::ByteArray()});
}

void DriverCore::ChannelEventProcImpl(uint32_t channelHandle, uint32_t event, void* pData,
                                      uint32_t dataLength, uint32_t totalLength, uint32_t dataFlags)
{
    switch (event)
    {
    case CHANNEL_EVENT_DATA_RECEIVED:
    {
        bool ours = false;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            ours = (channelHandle == m_channelHandle && m_channelHandle != 0);
        }
        if (!ours)
        {
            m_log.Add(YrLogV2::Warning, "Data for channel handle {} ignored", channelHandle);
            return;
        }
        OnDataReceived(pData, dataLength, totalLength, dataFlags);
        break;
    }
    case CHANNEL_EVENT_WRITE_COMPLETE:
    case CHANNEL_EVENT_WRITE_CANCELLED:
        // Results may come after a disconnect, under the handle the channel had then; the user
        // data alone names the write.
        OnWriteCompleted(event, pData);
        break;
    default:
        break;
    }
}

void DriverCore::OnDataReceived(const void* pData, uint32_t dataLength, uint32_t totalLength,
                                uint32_t dataFlags)
{
    const Chunk chunk{pData, dataLength, totalLength, dataFlags};
    std::lock_guard<std::mutex> lock(m_lock);
    if (!CheckChunkLocked(chunk))
        return;
    const bool joined =
        (dataFlags & CHANNEL_FLAG_FIRST) != 0 ? StartPacketLocked(chunk) : AppendChunkLocked(chunk);
    if (joined && (dataFlags & CHANNEL_FLAG_LAST) != 0)
        DeliverPacketLocked(chunk);
}

bool DriverCore::CheckChunkLocked(const Chunk& chunk)
{
    if (m_listener == nullptr)
    {
        m_log.Add(YrLogV2::Warning, "Data received but there wasn't initializing, ignore the data");
        ResetPacketLocked();
        return false;
    }
    // The host's chunks are outside input: a broken sequence drops the packet, never the host.
    if (chunk.data == nullptr || chunk.length == 0)
        return DropPartialPacketLocked("no data", chunk);
    if (chunk.total == 0 || chunk.total > Shared::Constants::c_largestReceivedMessage)
        return DropPartialPacketLocked("bad total length", chunk);
    return true;
}

bool DriverCore::StartPacketLocked(const Chunk& chunk)
{
    if (m_recvTotal != 0)
        m_log.Add(YrLogV2::Warning, "Unfinished packet of {} bytes dropped", m_recvBuffer.Size());
    if (chunk.length > chunk.total)
        return DropPartialPacketLocked("chunk above total", chunk);
    // A packet of one chunk's size is reserved whole, as most are; a merged message grows as its
    // chunks come, so an announced total that never arrives costs nothing.
    const uint64_t reserve = std::min<uint64_t>(
        chunk.total, std::max<uint64_t>(chunk.length, Shared::Constants::c_defaultBufferLength));
    m_recvBuffer = Utils::ByteArray(chunk.data, chunk.length, reserve);
    m_recvTotal = chunk.total;
    return true;
}

bool DriverCore::AppendChunkLocked(const Chunk& chunk)
{
    if (m_recvTotal == 0)
        return DropPartialPacketLocked("no first chunk", chunk);
    if (chunk.total != m_recvTotal || m_recvBuffer.Size() + chunk.length > m_recvTotal)
        return DropPartialPacketLocked("chunks above total", chunk);
    GrowReceiveBufferLocked(m_recvBuffer.Size() + chunk.length);
    m_recvBuffer.Append(chunk.data, chunk.length, false);
    return true;
}

void DriverCore::GrowReceiveBufferLocked(uint64_t needed)
{
    if (m_recvBuffer.Capacity() >= needed)
        return;
    // Doubling, never past the announced total: joining a message costs a bounded number of
    // copies of it, whatever its chunk count.
    const uint64_t capacity = std::min<uint64_t>(m_recvTotal, std::max(needed, 2 * m_recvBuffer.Capacity()));
    m_recvBuffer = Utils::ByteArray(std::as_const(m_recvBuffer).Data(), m_recvBuffer.Size(), capacity);
}

void DriverCore::DeliverPacketLocked(const Chunk& lastChunk)
{
    if (m_recvBuffer.Size() != m_recvTotal)
    {
        DropPartialPacketLocked("packet below total", lastChunk);
        return;
    }
    Utils::ByteArray packet = std::move(m_recvBuffer);
    ResetPacketLocked();
    m_listenerEvents->Add(ListenerEvent{true, false, std::move(packet)});
}

bool DriverCore::DropPartialPacketLocked(const char* reason, const Chunk& chunk)
{
    m_log.Add(YrLogV2::Warning, "Broken chunk dropped ({}): length {}, total {}, flags {}", reason,
              chunk.length, chunk.total, chunk.flags);
    ResetPacketLocked();
    return false;
}

void DriverCore::ResetPacketLocked()
{
    m_recvBuffer = Utils::ByteArray();
    m_recvTotal = 0;
}

void DriverCore::OnWriteCompleted(uint32_t eventType, void* pUserData)
{
    if (pUserData == nullptr)
    {
        m_log.Add(YrLogV2::Warning, "OnWriteCompleted pUserData is empty");
        return;
    }
    ESS_ASSERT(eventType == CHANNEL_EVENT_WRITE_COMPLETE || eventType == CHANNEL_EVENT_WRITE_CANCELLED);

    SendItem item;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_listener == nullptr)
            m_log.Add(YrLogV2::Warning, "Data sending result without initializing");
        // Taken out whether or not a listener is there: the host has let go of the bytes, so
        // the item has nothing left to wait for and must not hold a place in the list.
        item = TakeSendDataLocked(pUserData);
    }
    if (item.first.IsNull())
    {
        m_log.Add(YrLogV2::Warning, "OnPacketWriteResult cannot find SendData");
        return;
    }
    // Posts to the writer's thread; dropped there when the writer is gone.
    item.second(eventType == CHANNEL_EVENT_WRITE_COMPLETE ? VdiCommon::SendDataRes::Ok
                                                          : VdiCommon::SendDataRes::RemoteNotReady);
}

void DriverCore::WriteData(const Utils::ByteArray& data, const SendCallback& callback)
{
    const uint8_t* pBytes = nullptr;
    uint32_t handle = 0;
    const uint32_t size = static_cast<uint32_t>(data.Size());
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_sendDataList.size() >= Shared::Constants::c_llLimitSimultaneousSendItems)
        {
            m_log.Add(YrLogV2::Error, "SendPacket cannot send packet, ll queue is full");
            callback(VdiCommon::SendDataRes::Failed);
            return;
        }
        // The writer's bytes, shared: they stay valid until the host has reported the write.
        pBytes = PutDataToSendLocked(SendItem(data, callback));
        handle = m_channelHandle;
    }

    // The host only reads the bytes; its table takes them as void*.
    const uint32_t rc = HostWrite(handle, const_cast<uint8_t*>(pBytes), size);
    if (rc == CHANNEL_RC_OK)
        return;
    m_log.Add(YrLogV2::Error, "VirtualChannelWrite to channel '{}', handle: {} failed: {}",
              Shared::Constants::c_channelName, handle, rc);
    SendItem item;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        item = TakeSendDataLocked(pBytes);
    }
    if (!item.first.IsNull())
        item.second(VdiCommon::SendDataRes::Failed);
}

const uint8_t* DriverCore::PutDataToSendLocked(SendItem&& item)
{
    ESS_ASSERT(m_sendDataList.size() < Shared::Constants::c_llLimitSimultaneousSendItems);
    const uint8_t* pBytes = std::as_const(item.first).Data();
    // The same bytes written again while their first write is outstanding: this write gets a
    // private copy, so that the address names one write only.
    if (m_sendDataList.count(pBytes) != 0)
    {
        item.first = Utils::ByteArray(pBytes, item.first.Size());
        pBytes = std::as_const(item.first).Data();
    }
    m_sendDataList.emplace(pBytes, std::move(item));
    if (m_sendDataList.size() > Shared::Constants::c_sendListWarnSize && !g_sendListWarned.exchange(true))
        m_log.Add(YrLogV2::Warning, "List to send size > {}", Shared::Constants::c_sendListWarnSize);
    return pBytes;
}

DriverCore::SendItem DriverCore::TakeSendDataLocked(const void* pUserData)
{
    auto it = m_sendDataList.find(pUserData);
    if (it == m_sendDataList.end())
        return SendItem();
    SendItem item = std::move(it->second);
    m_sendDataList.erase(it);
    return item;
}

bool DriverCore::IsOpen() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_channelHandle != 0;
}

size_t DriverCore::OutstandingWrites() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_sendDataList.size();
}

bool DriverCore::HasListener() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_listener != nullptr;
}

void DriverCore::RegisterListener(LowLevelTransport* pListener)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_listener = pListener;
    m_listenerEvents = pListener->DriverEvents();
}

void DriverCore::UnregisterListener(LowLevelTransport* pListener)
{
    std::lock_guard<std::mutex> lock(m_lock);
    // A transport replaced by a newer one must not unregister its successor.
    if (m_listener != pListener)
        return;
    m_listener = nullptr;
    m_listenerEvents.reset();
}

void DriverCore::AnnounceOpen(LowLevelTransport* pListener)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_channelHandle != 0 && m_listener != nullptr)
        PostConnectionLocked(true);
}

// ---------------------------------------------------------------------------------------------

void AddClientObject(std::unique_ptr<Utils::IVirtualDestroy>&& obj)
{
    ESS_ASSERT(g_core);
    g_core->GetClientObjects().Add(std::move(obj));
}

std::unique_ptr<VdiCommon::ILowLevelTransport>
CreateLowLevelTransport(iCore::MsgThread& thread, YrLogV2::Log& log,
                        VdiCommon::ILowLevelTransportEvents& events)
{
    ESS_ASSERT(g_core);
    auto p = std::make_unique<DriverCore::LowLevelTransport>(*g_core, log, events);
    g_core->RegisterListener(p.get());
    return p;
}

VdiCommon::LlTransportCreator LowLevelTransportCreator()
{
    return [](const VdiCommon::LlEnvToCreate& env)
    { return CreateLowLevelTransport(env.m_thread, env.m_log, env.m_events); };
}

} // namespace Client
} // namespace VMware
