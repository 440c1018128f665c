#pragma once
#include <cstdint>
#include <unordered_map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>
#include <boost/noncopyable.hpp>
#include "Utils/ByteArray.h"
#include "Utils/IBasicInterface.h"
#include "VMware/Shared/VirtualChannel.h"
#include "VdiCommon/ILowLevelTransport.h"
#include "YrLogV2/Log.h"
#include "iCore/MsgObject.h"

namespace VMware
{
namespace Client
{

// The plug-in's only owner of the virtual channel "YrTnVCh". It registers the channel when it is
// made, opens it when the remote side connects, joins the host's chunks into whole packets for its
// listener (the low-level transport), writes packets at once while it keeps every write the host
// has not completed, and routes the host's write results back to the writer. It also owns the
// plug-in's long-lived objects (client objects) and destroys them when the host terminates.
//
// Threads: the host calls the event procedures on its own threads. Those only change the driver's
// channel state and post messages; everything the listener's user sees runs on the listener's
// message thread. Posts go through the listener's post target, so a post to a listener that is
// being destroyed is dropped, never delivered to freed memory. The channel state, the reassembly
// buffer, the listener link and the outstanding-write list are guarded by one mutex; the host is
// never called with it held. Writes come on the writer's thread: through the extended table any
// thread may write; a host that keeps classic open handles per thread (FreeRDP) refuses classic
// writes from threads of ours, so such a host is served through the extended table.
//
// Reconnection: a host may keep the channel open across DISCONNECTED; its open at the next
// CONNECTED then answers ALREADY_OPEN, and the driver goes on with the handle of its last open.
class DriverCore : boost::noncopyable
{
public:
    class LowLevelTransport;

    typedef VdiCommon::ILowLevelTransport::SendCallback SendCallback;
    // An outstanding write: its bytes (whose address is the host's user data; no other
    // outstanding write has the same) and the function that passes the result on to the writer's
    // thread. The bytes are shared with the writer, never written.
    typedef std::pair<Utils::ByteArray, SendCallback> SendItem;

    // The plug-in's long-lived objects, destroyed first added first.
    class ClientObjects : boost::noncopyable
    {
    public:
        ClientObjects();
        // Destroys what Clear did not.
        ~ClientObjects();

        // The first call fixes the thread; later calls and Clear must come on it.
        void Add(std::unique_ptr<Utils::IVirtualDestroy>&& obj);
        // Once: destroys the objects in the order of addition.
        void Clear();

        bool Cleared() const { return m_cleared; }
        size_t Size() const { return m_arr.size(); }

        // Destroys the objects left, in the order of addition, without the thread check (the
        // driver's end, which may come on whatever thread unloads the module).
        void DestroyRemaining();

    private:
        std::vector<std::unique_ptr<Utils::IVirtualDestroy>> m_arr;
        void* m_threadId; // the thread of the first Add; null before it
        bool m_cleared;
    };

    // Copies the table and registers the channel; throws ESS::Exception when VirtualChannelInit
    // fails.
    explicit DriverCore(const CHANNEL_ENTRY_POINTS* pEntryPoints);
    // The same through the extended table and the init handle the host passed to the entry.
    DriverCore(const CHANNEL_ENTRY_POINTS_EX* pEntryPointsEx, void* pInitHandle);
    ~DriverCore();

    // The host's callbacks; they reach the process-wide driver g_core and do nothing without one.
    static void ConnectionEventProc(void* initHandle, uint32_t event, void* pData, uint32_t dataLength);
    static void ChannelEventProc(uint32_t openHandle, uint32_t event, void* pData, uint32_t dataLength,
                                 uint32_t totalLength, uint32_t dataFlags);
    // The extended callbacks; the user parameter is the driver that registered, and a call for
    // any other driver than g_core does nothing.
    static void ConnectionEventProcEx(void* userParam, void* initHandle, uint32_t event, void* pData,
                                      uint32_t dataLength);
    static void ChannelEventProcEx(void* userParam, uint32_t openHandle, uint32_t event, void* pData,
                                   uint32_t dataLength, uint32_t totalLength, uint32_t dataFlags);

    void ConnectionEventProcImpl(void* connectionHandle, uint32_t event, void* pData, uint32_t dataLength);
    void ChannelEventProcImpl(uint32_t channelHandle, uint32_t event, void* pData, uint32_t dataLength,
                              uint32_t totalLength, uint32_t dataFlags);

    // A chunk of a message of the peer: one write of it, or several that its server merged (host
    // thread).
    void OnDataReceived(const void* pData, uint32_t dataLength, uint32_t totalLength, uint32_t dataFlags);
    // The host's result of one of our writes (host thread).
    void OnWriteCompleted(uint32_t eventType, void* pUserData);

    // Writes a packet at once (writer's thread). The callback gets Failed when the outstanding
    // list is full or the host refuses the write, else the host's result later.
    void WriteData(const Utils::ByteArray& data, const SendCallback& callback);

    // Announces the current open state to the listener.
    void NotifyConnection();

    ClientObjects& GetClientObjects() { return m_clientObjects; }

    bool IsOpen() const;
    size_t OutstandingWrites() const;
    bool HasListener() const;

    // Makes the transport its listener, replacing an earlier one (the transport's thread).
    void RegisterListener(LowLevelTransport* pListener);

private:
    friend class LowLevelTransport;
    // What the driver tells its listener, handed to the listener's thread in batches.
    struct ListenerEvent;
    class ListenerEvents;

    // One chunk of DATA_RECEIVED, as the host gave it.
    struct Chunk
    {
        const void* data;
        uint32_t length;
        uint32_t total;
        uint32_t flags;
    };

    // The helpers below expect the mutex held; those named ...Locked say so.
    // Returns the address the item is known by.
    const uint8_t* PutDataToSendLocked(SendItem&& item);
    // Takes the outstanding item whose bytes are at the write's user data out of the list.
    SendItem TakeSendDataLocked(const void* pUserData);
    void PostConnectionLocked(bool connected); // listener present

    // Reassembly steps; each false one has dropped the packet with a Warning.
    bool CheckChunkLocked(const Chunk& chunk);  // a listener, data, a total in range
    bool StartPacketLocked(const Chunk& chunk); // a FIRST chunk
    bool AppendChunkLocked(const Chunk& chunk); // a following chunk of the same total
    void GrowReceiveBufferLocked(uint64_t needed);
    void DeliverPacketLocked(const Chunk& lastChunk); // posts a whole packet to the listener
    bool DropPartialPacketLocked(const char* reason, const Chunk& chunk);
    void ResetPacketLocked();

    void OnConnected(void* pData, uint32_t dataLength);
    void OnDisconnected();
    void OnTerminated();

    void UnregisterListener(LowLevelTransport* pListener);
    void AnnounceOpen(LowLevelTransport* pListener);

    // The host's functions through whichever table it gave. Called without the mutex: the host
    // may take its own locks and call us back meanwhile.
    void RegisterChannel();
    uint32_t HostOpen(uint32_t* pHandle);
    uint32_t HostWrite(uint32_t handle, void* pBytes, uint32_t size);

    const bool m_extended; // the host gave the extended table
    CHANNEL_ENTRY_POINTS m_entryPoints;
    CHANNEL_ENTRY_POINTS_EX m_entryPointsEx;
    void* m_connectionHandle; // the init handle: set by VirtualChannelInit, or given to the entry
    YrLogV2::Log m_log;
    ClientObjects m_clientObjects;

    mutable std::mutex m_lock;
    uint32_t m_channelHandle; // 0 while the channel is not open
    uint32_t m_openedHandle;  // of our last open; kept across a disconnection, 0 before any open
    LowLevelTransport* m_listener;
    std::shared_ptr<ListenerEvents> m_listenerEvents; // the listener's; null without a listener
    Utils::ByteArray m_recvBuffer;
    uint32_t m_recvTotal; // the announced length of the packet being joined; 0 when none is
    std::unordered_map<const void*, SendItem> m_sendDataList; // by the address of the bytes
};

// The process-wide driver; null until the start-up made it. Never cleared by the plug-in; the
// module's static destructors destroy it.
extern std::unique_ptr<DriverCore> g_core;

// Hands a long-lived object to the driver (the start-up's thread).
void AddClientObject(std::unique_ptr<Utils::IVirtualDestroy>&& obj);

// Makes the low-level transport over the channel on the calling message thread and registers it
// as the driver's listener, replacing an earlier one. Call it on `thread`: the transport binds to
// the calling thread, the argument itself is not consulted.
std::unique_ptr<VdiCommon::ILowLevelTransport>
CreateLowLevelTransport(iCore::MsgThread& thread, YrLogV2::Log& log,
                        VdiCommon::ILowLevelTransportEvents& events);

// CreateLowLevelTransport as a creator for users that must not depend on the driver.
VdiCommon::LlTransportCreator LowLevelTransportCreator();

} // namespace Client
} // namespace VMware
