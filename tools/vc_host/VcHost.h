#pragma once
// A substitute for the Horizon Client's side of the virtual-channel interface, for tests and for
// running the plug-in by hand. It loads the plug-in with dlopen (or takes an entry function linked
// into the caller), calls VirtualChannelEntry on the calling thread and raises the init events on
// that same thread. Data for the plug-in is delivered from a receive thread in chunks of at most
// 1600 bytes with the FIRST/LAST flags. The plug-in's writes are taken by reference and copied only
// when a writer thread sends them; every accepted write is completed exactly once, with
// WRITE_COMPLETE or WRITE_CANCELLED and its user data. Writes can be held, delayed, cancelled or
// refused. The channel can be connected to a far-end peer process (tools/stl_peer) through a
// length-framed pipe.
//
// The FreeRDP profile behaves as FreeRDP 2.11 does instead: the entry it calls is
// VirtualChannelEntryEx when the plug-in has one (else the classic entry); the entry, every init
// event, every chunk and every write result come on one client thread of the host; a classic
// VirtualChannelWrite from any other thread answers CHANNEL_RC_BAD_CHANNEL_HANDLE (FreeRDP keeps
// the classic open handles per thread), the extended write works from any thread; the channel
// stays open across DISCONNECTED, so an open at the next CONNECTED answers CHANNEL_RC_ALREADY_OPEN;
// writes while disconnected answer CHANNEL_RC_NOT_CONNECTED; the far-end peer's writes are merged
// into messages of up to 32768 bytes (as a server that reads its program more slowly than it
// writes does), each delivered in chunks of at most 1600 bytes.
//
// One Host per process: the C functions of the entry-point tables reach it through a global.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <sys/types.h>
#include "VMware/Shared/VirtualChannel.h"

namespace VcHost
{

using Bytes = std::vector<uint8_t>;

class Host
{
public:
    enum class WriteMode
    {
        Complete, // sent (after the delay, if any) and completed with WRITE_COMPLETE
        Hold,     // kept until ReleaseHeld
        Cancel,   // completed with WRITE_CANCELLED, never sent
        Refuse    // not accepted: VirtualChannelWrite returns CHANNEL_RC_NO_MEMORY
    };

    // What the plug-in registered with VirtualChannelInit.
    struct Registration
    {
        bool done = false;
        std::string name; // up to the terminator of the 8-byte field
        char rawName[CHANNEL_NAME_LEN + 1] = {};
        uint32_t options = 0;
        int32_t channelCount = 0;
        uint32_t versionRequested = 0;
    };

    enum class Profile
    {
        Classic, // the Horizon Client's behaviour, as the plug-in was built for
        FreeRdp  // FreeRDP 2.11's (see above)
    };

    // Largest message the FreeRDP profile merges the peer's writes into.
    static constexpr uint32_t c_freeRdpMergeLimit = 32768;

    explicit Host(Profile profile = Profile::Classic);
    // Cancels what is outstanding (each write completed once), stops the peer and the threads,
    // and unloads the library.
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // ---- the plug-in
    bool Load(const std::string& path, std::string* error = nullptr);
    // In-process use: an entry function of the caller's own code instead of a loaded library.
    void UseEntry(PVIRTUALCHANNELENTRY entry);
    void UseEntryEx(PVIRTUALCHANNELENTRYEX entry);
    Profile GetProfile() const { return m_profile; }
    // The profile calls the extended entry: FreeRDP with a plug-in that has one.
    bool PrefersEntryEx() const { return m_profile == Profile::FreeRdp && m_entryEx != nullptr; }
    // Cancels outstanding writes, stops delivering, then dlclose. True when the library is gone
    // from the process afterwards.
    bool Unload();
    bool Loaded() const { return m_lib != nullptr; }

    // The table of this host's functions.
    CHANNEL_ENTRY_POINTS EntryPoints() const;
    // VirtualChannelEntry with this host's table, or with the given one (null allowed).
    int32_t CallEntry();
    int32_t CallEntry(PCHANNEL_ENTRY_POINTS table);
    // The extended table and the init handle the host passes with it.
    CHANNEL_ENTRY_POINTS_EX EntryPointsEx() const;
    void* InitHandle() { return &m_initCookie; }
    // VirtualChannelEntryEx with this host's table and init handle, or with the given ones.
    int32_t CallEntryEx();
    int32_t CallEntryEx(PCHANNEL_ENTRY_POINTS_EX table, void* initHandle);
    // The entry this profile calls (see PrefersEntryEx).
    int32_t CallPreferredEntry();

    // ---- behaviour
    void SetInitResult(uint32_t rc);
    void SetOpenResult(uint32_t rc);
    void SetWriteMode(WriteMode mode);
    void SetWriteDelayMs(int ms);
    void SetChunkSize(uint32_t size); // 1..1600

    // ---- init events, on the thread that called the entry (the client thread under FreeRDP)
    void RaiseInitEvent(uint32_t event, const void* data = nullptr, uint32_t length = 0);
    void Connect(const std::string& serverName = "vc_host");
    // Closes the channel, cancels every outstanding write (WRITE_CANCELLED) and raises
    // DISCONNECTED.
    void Disconnect();
    void Terminate();

    Registration GetRegistration() const;
    bool IsOpen() const;
    uint32_t OpenHandle() const;

    // ---- data for the plug-in (receive thread)
    // One write of the peer, cut into chunks of the chunk size.
    void Deliver(const Bytes& packet);
    // One raw chunk, as given (tests of broken sequences); nullData passes a null pointer.
    void DeliverChunk(const Bytes& chunk, uint32_t totalLength, uint32_t flags, bool nullData = false);
    // Everything queued so far has been handed to the plug-in (or dropped while closed).
    bool WaitDelivered(int timeoutMs);
    uint64_t DroppedWhileClosed() const;
    // Messages made of more than one write of the peer.
    uint64_t MergedMessages() const;

    // ---- writes of the plug-in
    size_t Outstanding() const;
    size_t MaxOutstanding() const;
    uint64_t Accepted() const;
    uint64_t Refused() const;
    uint64_t Completed() const;
    uint64_t Cancelled() const;
    // Completes (complete true) or cancels the n oldest outstanding writes.
    void ReleaseHeld(size_t n, bool complete);
    bool WaitOutstanding(size_t count, int timeoutMs);
    bool WaitResults(uint64_t completedPlusCancelled, int timeoutMs);
    // Copies of the writes sent so far, in order; taken out.
    std::vector<Bytes> TakeSent();
    bool WaitSent(size_t count, int timeoutMs);

    // ---- the far-end peer (its standard input gets the plug-in's writes, its standard output
    // is delivered to the plug-in, both framed with a 4-byte big-endian length)
    bool StartPeer(const std::string& path, const std::vector<std::string>& args,
                   std::string* error = nullptr);
    bool WaitPeerLine(const std::string& line, int timeoutMs);
    std::vector<std::string> PeerLines() const;
    // Closes its input and waits for it to end (bounded); its exit code, or -1.
    int StopPeer();

    // Breaks of the channel contract seen from the plug-in (an unknown handle, a write above
    // 1600 bytes, a call outside its place...), as texts.
    std::vector<std::string> Problems() const;

    // ---- the C side (the table's functions land here)
    uint32_t OnInit(void** ppInitHandle, PCHANNEL_DEF pChannel, int32_t channelCount,
                    uint32_t versionRequested, PCHANNEL_INIT_EVENT_FN proc);
    uint32_t OnOpen(void* pInitHandle, uint32_t* pOpenHandle, char* pChannelName,
                    PCHANNEL_OPEN_EVENT_FN proc);
    uint32_t OnClose(uint32_t openHandle);
    uint32_t OnWrite(uint32_t openHandle, void* pData, uint32_t dataLength, void* pUserData);
    uint32_t OnInitEx(void* lpUserParam, void* pInitHandle, PCHANNEL_DEF pChannel, int32_t channelCount,
                      uint32_t versionRequested, PCHANNEL_INIT_EVENT_EX_FN proc);
    uint32_t OnOpenEx(void* pInitHandle, uint32_t* pOpenHandle, char* pChannelName,
                      PCHANNEL_OPEN_EVENT_EX_FN proc);
    uint32_t OnCloseEx(void* pInitHandle, uint32_t openHandle);
    uint32_t OnWriteEx(void* pInitHandle, uint32_t openHandle, void* pData, uint32_t dataLength,
                       void* pUserData);

private:
    // The plug-in's callbacks, of whichever interface it registered with.
    struct InitProc
    {
        PCHANNEL_INIT_EVENT_FN classic = nullptr;
        PCHANNEL_INIT_EVENT_EX_FN ex = nullptr;
        void* userParam = nullptr;
        explicit operator bool() const { return classic != nullptr || ex != nullptr; }
    };
    struct OpenProc
    {
        PCHANNEL_OPEN_EVENT_FN classic = nullptr;
        PCHANNEL_OPEN_EVENT_EX_FN ex = nullptr;
        void* userParam = nullptr;
        explicit operator bool() const { return classic != nullptr || ex != nullptr; }
        void operator()(uint32_t handle, uint32_t event, void* data, uint32_t length, uint32_t total,
                        uint32_t flags) const;
    };

    struct Write
    {
        const uint8_t* data;
        uint32_t length;
        void* userData;
        uint32_t handle;
        uint64_t dueMs;
        int action; // 0 by the mode, 1 complete, 2 cancel
    };
    struct Chunk
    {
        Bytes bytes;
        uint32_t total;
        uint32_t flags;
        bool nullData;
    };

    uint32_t Register(PCHANNEL_DEF pChannel, int32_t channelCount, uint32_t versionRequested,
                      const InitProc& proc);                                        // mutex held
    uint32_t Open(uint32_t* pOpenHandle, char* pChannelName, const OpenProc& proc); // mutex held
    uint32_t AcceptWrite(uint32_t openHandle, void* pData, uint32_t dataLength, void* pUserData);
    int32_t RunEntry(const std::function<int32_t()>& call);
    // Runs fn on the client thread (FreeRDP profile) and returns after it ran; the classic
    // profile runs it on the calling thread.
    void RunOnClient(const std::function<void()>& fn);
    void ClientLoop();
    void QueueChunksLocked(const uint8_t* data, uint32_t total);
    void QueueMergedMessageLocked();
    void ReceiveLoop();
    void WriterLoop();
    void SendToPeer(int peerIn, const Bytes& write); // one framed write to the peer's input
    void PeerOutLoop(int fd);
    void PeerErrLoop(int fd);
    void Problem(const std::string& text);
    void StopThreads();
    void CancelAllOutstanding();
    template <class TPred>
    bool WaitFor(TPred pred, int timeoutMs);

    mutable std::mutex m_lock;
    // Waiters on any change of state (WaitFor, the client thread). The receiver and the writer
    // wait on their own variables: a chunk queued or a write accepted wakes only the thread that
    // serves it, so a host thread is never woken per chunk for nothing.
    std::condition_variable m_changed;
    std::condition_variable m_recvWake;
    std::condition_variable m_writerWake;

    const Profile m_profile;
    void* m_lib;
    PVIRTUALCHANNELENTRY m_entry;
    PVIRTUALCHANNELENTRYEX m_entryEx;
    std::thread::id m_entryThread;
    bool m_inEntry;

    uint32_t m_initResult;
    uint32_t m_openResult;
    WriteMode m_mode;
    int m_delayMs;
    uint32_t m_chunkSize;
    const uint32_t m_mergeLimit; // the peer's writes are merged into messages up to this; 0: not

    Registration m_reg;
    char m_initCookie;
    InitProc m_initProc;
    OpenProc m_openProc;
    bool m_open;
    bool m_connected; // between CONNECTED and DISCONNECTED
    uint32_t m_openHandle;
    uint32_t m_nextHandle;

    std::deque<Chunk> m_recvQueue;
    bool m_delivering;
    uint64_t m_droppedClosed;
    std::deque<Bytes> m_peerWrites; // waiting to be merged into messages
    uint64_t m_merged;

    std::deque<Write> m_writes;
    bool m_writerBusy;
    size_t m_maxOutstanding;
    uint64_t m_accepted, m_refused, m_completed, m_cancelled;
    std::vector<Bytes> m_sent;

    std::vector<std::string> m_problems;

    pid_t m_peerPid;
    int m_peerIn;
    std::vector<std::string> m_peerLines;
    std::thread m_peerOut;
    std::thread m_peerErr;

    std::deque<std::function<void()>> m_clientTasks;
    uint64_t m_clientPosted, m_clientDone;
    std::thread::id m_clientId;

    bool m_stop;
    bool m_stopClient; // set after the receiver and the writer have ended
    std::thread m_receiver;
    std::thread m_writer;
    std::thread m_client; // FreeRDP profile only
};

} // namespace VcHost
