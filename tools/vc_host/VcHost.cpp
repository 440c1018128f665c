#include "VcHost.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace VcHost
{

namespace
{

std::atomic<Host*> g_host(nullptr);

uint64_t NowMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// The table's functions. A call that comes when no host exists (a plug-in left loaded after its
// host) is refused.
uint32_t CInit(void** ppInitHandle, PCHANNEL_DEF pChannel, int32_t channelCount, uint32_t versionRequested,
               PCHANNEL_INIT_EVENT_FN proc)
{
    Host* h = g_host.load();
    return h ? h->OnInit(ppInitHandle, pChannel, channelCount, versionRequested, proc)
             : CHANNEL_RC_NOT_INITIALIZED;
}

uint32_t COpen(void* pInitHandle, uint32_t* pOpenHandle, char* pChannelName, PCHANNEL_OPEN_EVENT_FN proc)
{
    Host* h = g_host.load();
    return h ? h->OnOpen(pInitHandle, pOpenHandle, pChannelName, proc) : CHANNEL_RC_NOT_INITIALIZED;
}

uint32_t CClose(uint32_t openHandle)
{
    Host* h = g_host.load();
    return h ? h->OnClose(openHandle) : CHANNEL_RC_NOT_INITIALIZED;
}

uint32_t CWrite(uint32_t openHandle, void* pData, uint32_t dataLength, void* pUserData)
{
    Host* h = g_host.load();
    return h ? h->OnWrite(openHandle, pData, dataLength, pUserData) : CHANNEL_RC_NOT_INITIALIZED;
}

uint32_t CInitEx(void* lpUserParam, void*, void* pInitHandle, PCHANNEL_DEF pChannel, int32_t channelCount,
                 uint32_t versionRequested, PCHANNEL_INIT_EVENT_EX_FN proc)
{
    Host* h = g_host.load();
    return h ? h->OnInitEx(lpUserParam, pInitHandle, pChannel, channelCount, versionRequested, proc)
             : CHANNEL_RC_NOT_INITIALIZED;
}

uint32_t COpenEx(void* pInitHandle, uint32_t* pOpenHandle, char* pChannelName, PCHANNEL_OPEN_EVENT_EX_FN proc)
{
    Host* h = g_host.load();
    return h ? h->OnOpenEx(pInitHandle, pOpenHandle, pChannelName, proc) : CHANNEL_RC_NOT_INITIALIZED;
}

uint32_t CCloseEx(void* pInitHandle, uint32_t openHandle)
{
    Host* h = g_host.load();
    return h ? h->OnCloseEx(pInitHandle, openHandle) : CHANNEL_RC_NOT_INITIALIZED;
}

uint32_t CWriteEx(void* pInitHandle, uint32_t openHandle, void* pData, uint32_t dataLength, void* pUserData)
{
    Host* h = g_host.load();
    return h ? h->OnWriteEx(pInitHandle, openHandle, pData, dataLength, pUserData)
             : CHANNEL_RC_NOT_INITIALIZED;
}

// The header and the bytes of one frame, in as few calls as the pipe allows (one, mostly).
bool WriteFrame(int fd, const uint8_t (&header)[4], const uint8_t* p, size_t n)
{
    iovec parts[2] = {{const_cast<uint8_t*>(header), sizeof(header)}, {const_cast<uint8_t*>(p), n}};
    iovec* part = parts;
    int count = 2;
    while (count > 0)
    {
        const ssize_t w = ::writev(fd, part, count);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        size_t done = static_cast<size_t>(w);
        while (count > 0 && done >= part->iov_len)
        {
            done -= part->iov_len;
            ++part;
            --count;
        }
        if (count > 0)
        {
            part->iov_base = static_cast<uint8_t*>(part->iov_base) + done;
            part->iov_len -= done;
        }
    }
    return true;
}

// Reads a pipe in large blocks: the peer's frames are small, and a read per header and per
// payload would cost the host more than the plug-in it serves.
class BufferedReader
{
public:
    explicit BufferedReader(int fd) : m_fd(fd), m_buffer(64 * 1024) {}

    // Exactly n bytes; false at the end of input or on an error.
    bool Read(uint8_t* p, size_t n)
    {
        while (n > 0)
        {
            if (m_begin == m_end)
            {
                const ssize_t r = ::read(m_fd, m_buffer.data(), m_buffer.size());
                if (r < 0 && errno == EINTR)
                    continue;
                if (r <= 0)
                    return false;
                m_begin = 0;
                m_end = static_cast<size_t>(r);
            }
            const size_t k = std::min(n, m_end - m_begin);
            std::memcpy(p, m_buffer.data() + m_begin, k);
            m_begin += k;
            p += k;
            n -= k;
        }
        return true;
    }

private:
    const int m_fd;
    std::vector<uint8_t> m_buffer;
    size_t m_begin = 0;
    size_t m_end = 0;
};

} // namespace

void Host::OpenProc::operator()(uint32_t handle, uint32_t event, void* data, uint32_t length, uint32_t total,
                                uint32_t flags) const
{
    if (ex != nullptr)
        ex(userParam, handle, event, data, length, total, flags);
    else
        classic(handle, event, data, length, total, flags);
}

Host::Host(Profile profile)
    : m_profile(profile), m_lib(nullptr), m_entry(nullptr), m_entryEx(nullptr), m_inEntry(false),
      m_initResult(CHANNEL_RC_OK), m_openResult(CHANNEL_RC_OK), m_mode(WriteMode::Complete), m_delayMs(0),
      m_chunkSize(CHANNEL_CHUNK_LENGTH), m_mergeLimit(profile == Profile::FreeRdp ? c_freeRdpMergeLimit : 0),
      m_initCookie(0), m_open(false), m_connected(false), m_openHandle(0), m_nextHandle(0x51),
      m_delivering(false), m_droppedClosed(0), m_merged(0), m_writerBusy(false), m_maxOutstanding(0),
      m_accepted(0), m_refused(0), m_completed(0), m_cancelled(0), m_peerPid(-1), m_peerIn(-1),
      m_clientPosted(0), m_clientDone(0), m_stop(false), m_stopClient(false)
{
    Host* expected = nullptr;
    if (!g_host.compare_exchange_strong(expected, this))
        std::abort(); // one host per process: the C functions could not tell two apart
    if (m_profile == Profile::FreeRdp)
    {
        m_client = std::thread([this] { ClientLoop(); });
        m_clientId = m_client.get_id();
    }
    m_receiver = std::thread([this] { ReceiveLoop(); });
    m_writer = std::thread([this] { WriterLoop(); });
    // Named here as well: a "threads" command right after start must not see them unnamed.
    ::pthread_setname_np(m_receiver.native_handle(), "vchost-recv");
    ::pthread_setname_np(m_writer.native_handle(), "vchost-write");
}

Host::~Host()
{
    CancelAllOutstanding();
    StopPeer();
    if (m_lib != nullptr)
        Unload();
    StopThreads();
    g_host = nullptr;
}

void Host::StopThreads()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_recvWake.notify_all();
    m_writerWake.notify_all();
    m_changed.notify_all();
    if (m_receiver.joinable())
        m_receiver.join();
    if (m_writer.joinable())
        m_writer.join();
    // The client thread goes last: until the other two have ended, they may still wait for it.
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopClient = true;
    }
    m_changed.notify_all();
    if (m_client.joinable())
        m_client.join();
}

void Host::RunOnClient(const std::function<void()>& fn)
{
    if (m_profile != Profile::FreeRdp || std::this_thread::get_id() == m_clientId)
    {
        fn();
        return;
    }
    std::unique_lock<std::mutex> lock(m_lock);
    m_clientTasks.push_back(fn);
    const uint64_t ticket = ++m_clientPosted;
    m_changed.notify_all();
    // Unbounded on purpose: fn refers to the caller's frame, so the caller may not leave before it
    // ran. The client thread runs tasks until the host stops.
    m_changed.wait(lock, [this, ticket] { return m_clientDone >= ticket; });
}

void Host::ClientLoop()
{
    ::pthread_setname_np(::pthread_self(), "vchost-client");
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;)
    {
        m_changed.wait(lock, [this] { return m_stopClient || !m_clientTasks.empty(); });
        if (m_clientTasks.empty())
            return;
        const std::function<void()> task = std::move(m_clientTasks.front());
        m_clientTasks.pop_front();
        lock.unlock();
        task();
        lock.lock();
        ++m_clientDone;
        m_changed.notify_all();
    }
}

void Host::Problem(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_problems.push_back(text);
}

std::vector<std::string> Host::Problems() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_problems;
}

template <class TPred>
bool Host::WaitFor(TPred pred, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

// ---- the plug-in ------------------------------------------------------------------------------

bool Host::Load(const std::string& path, std::string* error)
{
    void* lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr)
    {
        if (error)
            *error = ::dlerror();
        return false;
    }
    void* sym = ::dlsym(lib, "VirtualChannelEntry");
    void* symEx = ::dlsym(lib, "VirtualChannelEntryEx");
    // FreeRDP takes a plug-in with either entry; the Horizon Client knows only the classic one.
    if (sym == nullptr && (m_profile == Profile::Classic || symEx == nullptr))
    {
        if (error)
            *error = "no VirtualChannelEntry";
        ::dlclose(lib);
        return false;
    }
    m_lib = lib;
    m_entry = reinterpret_cast<PVIRTUALCHANNELENTRY>(sym);
    m_entryEx = reinterpret_cast<PVIRTUALCHANNELENTRYEX>(symEx);
    return true;
}

void Host::UseEntry(PVIRTUALCHANNELENTRY entry)
{
    m_entry = entry;
}

void Host::UseEntryEx(PVIRTUALCHANNELENTRYEX entry)
{
    m_entryEx = entry;
}

bool Host::Unload()
{
    if (m_lib == nullptr)
        return false;
    // The library must see every result before it goes, and nothing of ours may call it after.
    CancelAllOutstanding();
    WaitDelivered(10000);
    Dl_info info;
    std::string path;
    void* const anEntry =
        m_entry != nullptr ? reinterpret_cast<void*>(m_entry) : reinterpret_cast<void*>(m_entryEx);
    if (::dladdr(anEntry, &info) != 0 && info.dli_fname != nullptr)
        path = info.dli_fname;
    {
        // The library's registration goes with it: a library loaded again registers afresh.
        std::lock_guard<std::mutex> lock(m_lock);
        m_open = false;
        m_connected = false;
        m_reg = Registration();
        m_initProc = InitProc();
        m_openProc = OpenProc();
        m_entry = nullptr;
        m_entryEx = nullptr;
    }
    const int rc = ::dlclose(m_lib);
    m_lib = nullptr;
    if (rc != 0 || path.empty())
        return false;
    void* again = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (again != nullptr)
    {
        ::dlclose(again);
        return false;
    }
    return true;
}

CHANNEL_ENTRY_POINTS Host::EntryPoints() const
{
    CHANNEL_ENTRY_POINTS t;
    std::memset(&t, 0, sizeof(t));
    t.cbSize = sizeof(t);
    t.protocolVersion = VIRTUAL_CHANNEL_VERSION_WIN2000;
    t.pVirtualChannelInit = &CInit;
    t.pVirtualChannelOpen = &COpen;
    t.pVirtualChannelClose = &CClose;
    t.pVirtualChannelWrite = &CWrite;
    return t;
}

int32_t Host::CallEntry()
{
    CHANNEL_ENTRY_POINTS t = EntryPoints();
    return CallEntry(&t);
}

int32_t Host::CallEntry(PCHANNEL_ENTRY_POINTS table)
{
    if (m_entry == nullptr)
    {
        Problem("CallEntry without an entry");
        return 0;
    }
    return RunEntry([this, table] { return m_entry(table); });
}

CHANNEL_ENTRY_POINTS_EX Host::EntryPointsEx() const
{
    CHANNEL_ENTRY_POINTS_EX t;
    std::memset(&t, 0, sizeof(t));
    t.cbSize = sizeof(t);
    t.protocolVersion = VIRTUAL_CHANNEL_VERSION_WIN2000;
    t.pVirtualChannelInitEx = &CInitEx;
    t.pVirtualChannelOpenEx = &COpenEx;
    t.pVirtualChannelCloseEx = &CCloseEx;
    t.pVirtualChannelWriteEx = &CWriteEx;
    return t;
}

int32_t Host::CallEntryEx()
{
    // As FreeRDP does: the table lives on the stack of the call, so the plug-in must copy it.
    CHANNEL_ENTRY_POINTS_EX t = EntryPointsEx();
    return CallEntryEx(&t, InitHandle());
}

int32_t Host::CallEntryEx(PCHANNEL_ENTRY_POINTS_EX table, void* initHandle)
{
    if (m_entryEx == nullptr)
    {
        Problem("CallEntryEx without an extended entry");
        return 0;
    }
    return RunEntry([this, table, initHandle] { return m_entryEx(table, initHandle); });
}

int32_t Host::CallPreferredEntry()
{
    return PrefersEntryEx() ? CallEntryEx() : CallEntry();
}

int32_t Host::RunEntry(const std::function<int32_t()>& call)
{
    int32_t r = 0;
    RunOnClient(
        [this, &call, &r]
        {
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_entryThread = std::this_thread::get_id();
                m_inEntry = true;
            }
            r = call();
            std::lock_guard<std::mutex> lock(m_lock);
            m_inEntry = false;
        });
    return r;
}

// ---- behaviour --------------------------------------------------------------------------------

void Host::SetInitResult(uint32_t rc)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_initResult = rc;
}

void Host::SetOpenResult(uint32_t rc)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_openResult = rc;
}

void Host::SetWriteMode(WriteMode mode)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_mode = mode;
    }
    m_writerWake.notify_all();
    m_changed.notify_all();
}

void Host::SetWriteDelayMs(int ms)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_delayMs = ms < 0 ? 0 : ms;
}

void Host::SetChunkSize(uint32_t size)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_chunkSize = (size == 0 || size > CHANNEL_CHUNK_LENGTH) ? CHANNEL_CHUNK_LENGTH : size;
}

// ---- init events ------------------------------------------------------------------------------

void Host::RaiseInitEvent(uint32_t event, const void* data, uint32_t length)
{
    RunOnClient(
        [this, event, data, length]
        {
            InitProc proc;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                if (std::this_thread::get_id() != m_entryThread)
                    m_problems.push_back("init event " + std::to_string(event) +
                                         " raised off the entry's thread");
                proc = m_initProc;
            }
            if (!proc)
            {
                Problem("init event " + std::to_string(event) + " without a registration");
                return;
            }
            if (proc.ex != nullptr)
                proc.ex(proc.userParam, &m_initCookie, event, const_cast<void*>(data), length);
            else
                proc.classic(&m_initCookie, event, const_cast<void*>(data), length);
        });
}

void Host::Connect(const std::string& serverName)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_connected = true;
    }
    RaiseInitEvent(CHANNEL_EVENT_CONNECTED, serverName.c_str(), static_cast<uint32_t>(serverName.size() + 1));
}

void Host::Disconnect()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_connected = false;
        // FreeRDP keeps its channels open across a reconnection.
        if (m_profile == Profile::Classic)
            m_open = false;
    }
    CancelAllOutstanding();
    RaiseInitEvent(CHANNEL_EVENT_DISCONNECTED);
}

void Host::Terminate()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_connected = false;
        m_open = false;
    }
    RaiseInitEvent(CHANNEL_EVENT_TERMINATED);
}

Host::Registration Host::GetRegistration() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_reg;
}

bool Host::IsOpen() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_open;
}

uint32_t Host::OpenHandle() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_open ? m_openHandle : 0;
}

// ---- the table's functions --------------------------------------------------------------------

uint32_t Host::OnInit(void** ppInitHandle, PCHANNEL_DEF pChannel, int32_t channelCount,
                      uint32_t versionRequested, PCHANNEL_INIT_EVENT_FN proc)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (ppInitHandle == nullptr)
    {
        m_problems.push_back("VirtualChannelInit with bad arguments");
        return CHANNEL_RC_BAD_CHANNEL;
    }
    InitProc p;
    p.classic = proc;
    const uint32_t rc = Register(pChannel, channelCount, versionRequested, p);
    if (rc == CHANNEL_RC_OK)
        *ppInitHandle = &m_initCookie;
    return rc;
}

uint32_t Host::OnInitEx(void* lpUserParam, void* pInitHandle, PCHANNEL_DEF pChannel, int32_t channelCount,
                        uint32_t versionRequested, PCHANNEL_INIT_EVENT_EX_FN proc)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (pInitHandle != &m_initCookie)
    {
        m_problems.push_back("VirtualChannelInitEx with another init handle");
        return CHANNEL_RC_BAD_INIT_HANDLE;
    }
    InitProc p;
    p.ex = proc;
    p.userParam = lpUserParam;
    return Register(pChannel, channelCount, versionRequested, p);
}

uint32_t Host::Register(PCHANNEL_DEF pChannel, int32_t channelCount, uint32_t versionRequested,
                        const InitProc& proc)
{
    if (!m_inEntry)
    {
        m_problems.push_back("VirtualChannelInit outside VirtualChannelEntry");
        return CHANNEL_RC_NOT_IN_VIRTUALCHANNELENTRY;
    }
    if (pChannel == nullptr || channelCount < 1 || !proc)
    {
        m_problems.push_back("VirtualChannelInit with bad arguments");
        return CHANNEL_RC_BAD_CHANNEL;
    }
    if (m_reg.done)
        return CHANNEL_RC_ALREADY_INITIALIZED;
    if (m_initResult != CHANNEL_RC_OK)
        return m_initResult;
    m_reg.done = true;
    std::memcpy(m_reg.rawName, pChannel[0].name, sizeof(m_reg.rawName));
    m_reg.name.assign(pChannel[0].name, ::strnlen(pChannel[0].name, sizeof(pChannel[0].name)));
    m_reg.options = pChannel[0].options;
    m_reg.channelCount = channelCount;
    m_reg.versionRequested = versionRequested;
    m_initProc = proc;
    return CHANNEL_RC_OK;
}

uint32_t Host::OnOpen(void* pInitHandle, uint32_t* pOpenHandle, char* pChannelName,
                      PCHANNEL_OPEN_EVENT_FN proc)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (pInitHandle != &m_initCookie)
        return CHANNEL_RC_BAD_INIT_HANDLE;
    OpenProc p;
    p.classic = proc;
    return Open(pOpenHandle, pChannelName, p);
}

uint32_t Host::OnOpenEx(void* pInitHandle, uint32_t* pOpenHandle, char* pChannelName,
                        PCHANNEL_OPEN_EVENT_EX_FN proc)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (pInitHandle != &m_initCookie)
        return CHANNEL_RC_BAD_INIT_HANDLE;
    OpenProc p;
    p.ex = proc;
    p.userParam = m_initProc.userParam;
    return Open(pOpenHandle, pChannelName, p);
}

uint32_t Host::Open(uint32_t* pOpenHandle, char* pChannelName, const OpenProc& proc)
{
    if (pOpenHandle == nullptr || pChannelName == nullptr)
        return CHANNEL_RC_BAD_CHANNEL;
    if (!proc)
        return CHANNEL_RC_BAD_PROC;
    if (!m_reg.done || std::string(pChannelName, ::strnlen(pChannelName, CHANNEL_NAME_LEN + 1)) != m_reg.name)
        return CHANNEL_RC_UNKNOWN_CHANNEL_NAME;
    // The open handle is not written then: the caller keeps the one it has.
    if (m_open)
        return CHANNEL_RC_ALREADY_OPEN;
    if (m_openResult != CHANNEL_RC_OK)
        return m_openResult;
    m_openHandle = m_nextHandle++;
    *pOpenHandle = m_openHandle;
    m_openProc = proc;
    m_open = true;
    return CHANNEL_RC_OK;
}

uint32_t Host::OnClose(uint32_t openHandle)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_problems.push_back("VirtualChannelClose called");
    if (!m_open || openHandle != m_openHandle)
        return CHANNEL_RC_BAD_CHANNEL_HANDLE;
    m_open = false;
    return CHANNEL_RC_OK;
}

uint32_t Host::OnCloseEx(void* pInitHandle, uint32_t openHandle)
{
    if (pInitHandle != &m_initCookie)
        return CHANNEL_RC_BAD_INIT_HANDLE;
    return OnClose(openHandle);
}

uint32_t Host::OnWrite(uint32_t openHandle, void* pData, uint32_t dataLength, void* pUserData)
{
    // FreeRDP finds a classic open handle in a table of the thread that raises the events; on any
    // other thread the handle is unknown.
    if (m_profile == Profile::FreeRdp && std::this_thread::get_id() != m_clientId)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_refused;
        return CHANNEL_RC_BAD_CHANNEL_HANDLE;
    }
    return AcceptWrite(openHandle, pData, dataLength, pUserData);
}

uint32_t Host::OnWriteEx(void* pInitHandle, uint32_t openHandle, void* pData, uint32_t dataLength,
                         void* pUserData)
{
    if (pInitHandle != &m_initCookie)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_refused;
        return CHANNEL_RC_BAD_INIT_HANDLE;
    }
    return AcceptWrite(openHandle, pData, dataLength, pUserData);
}

uint32_t Host::AcceptWrite(uint32_t openHandle, void* pData, uint32_t dataLength, void* pUserData)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_mode == WriteMode::Refuse)
        {
            ++m_refused;
            return CHANNEL_RC_NO_MEMORY;
        }
        if (m_profile == Profile::FreeRdp && !m_connected)
        {
            ++m_refused;
            return CHANNEL_RC_NOT_CONNECTED;
        }
        if (!m_open || openHandle != m_openHandle)
        {
            ++m_refused;
            return CHANNEL_RC_NOT_OPEN;
        }
        if (pData == nullptr)
        {
            ++m_refused;
            return CHANNEL_RC_NULL_DATA;
        }
        if (dataLength == 0)
        {
            ++m_refused;
            return CHANNEL_RC_ZERO_LENGTH;
        }
        if (dataLength > CHANNEL_CHUNK_LENGTH)
            m_problems.push_back("write of " + std::to_string(dataLength) + " bytes");
        for (const Write& w : m_writes)
        {
            if (w.userData == pUserData)
                m_problems.push_back("user data of an outstanding write used again");
        }
        // Taken by reference: the bytes are read only when the write is sent.
        m_writes.push_back(Write{static_cast<const uint8_t*>(pData), dataLength, pUserData, openHandle,
                                 NowMs() + static_cast<uint64_t>(m_delayMs), 0});
        ++m_accepted;
        if (m_writes.size() > m_maxOutstanding)
            m_maxOutstanding = m_writes.size();
    }
    m_writerWake.notify_all();
    m_changed.notify_all();
    return CHANNEL_RC_OK;
}

// ---- data for the plug-in ---------------------------------------------------------------------

void Host::Deliver(const Bytes& packet)
{
    if (packet.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        QueueChunksLocked(packet.data(), static_cast<uint32_t>(packet.size()));
    }
    m_recvWake.notify_all();
}

void Host::QueueChunksLocked(const uint8_t* data, uint32_t total)
{
    for (uint32_t off = 0; off < total; off += m_chunkSize)
    {
        const uint32_t n = std::min(m_chunkSize, total - off);
        uint32_t flags = 0;
        if (off == 0)
            flags |= CHANNEL_FLAG_FIRST;
        if (off + n == total)
            flags |= CHANNEL_FLAG_LAST;
        m_recvQueue.push_back(Chunk{Bytes(data + off, data + off + n), total, flags, false});
    }
}

void Host::QueueMergedMessageLocked()
{
    // What the peer wrote meanwhile becomes one message, up to the limit; a write that does not
    // fit is cut, and its rest starts the next message.
    Bytes message;
    size_t writes = 0;
    while (!m_peerWrites.empty() && message.size() < m_mergeLimit)
    {
        Bytes& w = m_peerWrites.front();
        const size_t n = std::min(w.size(), m_mergeLimit - message.size());
        message.insert(message.end(), w.begin(), w.begin() + static_cast<std::ptrdiff_t>(n));
        ++writes;
        if (n == w.size())
            m_peerWrites.pop_front();
        else
            w.erase(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(n));
    }
    if (writes > 1)
        ++m_merged;
    QueueChunksLocked(message.data(), static_cast<uint32_t>(message.size()));
}

uint64_t Host::MergedMessages() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_merged;
}

void Host::DeliverChunk(const Bytes& chunk, uint32_t totalLength, uint32_t flags, bool nullData)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_recvQueue.push_back(Chunk{chunk, totalLength, flags, nullData});
    }
    m_recvWake.notify_all();
}

bool Host::WaitDelivered(int timeoutMs)
{
    return WaitFor([this] { return m_recvQueue.empty() && m_peerWrites.empty() && !m_delivering; },
                   timeoutMs);
}

uint64_t Host::DroppedWhileClosed() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_droppedClosed;
}

void Host::ReceiveLoop()
{
    ::pthread_setname_np(::pthread_self(), "vchost-recv");
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;)
    {
        m_recvWake.wait(lock, [this] { return m_stop || !m_recvQueue.empty() || !m_peerWrites.empty(); });
        if (m_stop)
            return;
        if (m_recvQueue.empty())
            QueueMergedMessageLocked();
        Chunk c = std::move(m_recvQueue.front());
        m_recvQueue.pop_front();
        const bool open = m_open && m_openProc && (m_profile == Profile::Classic || m_connected);
        const OpenProc proc = m_openProc;
        const uint32_t handle = m_openHandle;
        if (!open)
        {
            ++m_droppedClosed;
            m_changed.notify_all();
            continue;
        }
        m_delivering = true;
        lock.unlock();
        RunOnClient(
            [&]
            {
                proc(handle, CHANNEL_EVENT_DATA_RECEIVED, c.nullData ? nullptr : c.bytes.data(),
                     static_cast<uint32_t>(c.bytes.size()), c.total, c.flags);
            });
        lock.lock();
        m_delivering = false;
        m_changed.notify_all();
    }
}

// ---- writes of the plug-in --------------------------------------------------------------------

void Host::WriterLoop()
{
    ::pthread_setname_np(::pthread_self(), "vchost-write");
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;)
    {
        if (m_stop)
            return;
        bool ready = false;
        uint64_t wakeAt = 0;
        if (!m_writes.empty())
        {
            const Write& w = m_writes.front();
            if (w.action != 0 || m_mode == WriteMode::Cancel)
                ready = true;
            else if (m_mode == WriteMode::Complete || m_mode == WriteMode::Refuse)
            {
                if (NowMs() >= w.dueMs)
                    ready = true;
                else
                    wakeAt = w.dueMs;
            }
        }
        if (!ready)
        {
            if (wakeAt != 0)
                m_writerWake.wait_for(lock, std::chrono::milliseconds(wakeAt - NowMs()));
            else
                m_writerWake.wait(lock);
            continue;
        }

        const Write w = m_writes.front();
        m_writes.pop_front();
        const bool complete = (w.action == 1) || (w.action == 0 && m_mode != WriteMode::Cancel);
        Bytes copy;
        if (complete)
        {
            copy.assign(w.data, w.data + w.length); // the plug-in keeps the bytes until now
            m_sent.push_back(copy);
        }
        const OpenProc proc = m_openProc;
        const int peerIn = m_peerIn;
        m_writerBusy = true;
        lock.unlock();

        if (complete && peerIn >= 0)
            SendToPeer(peerIn, copy);
        if (proc)
            RunOnClient(
                [&]
                {
                    proc(w.handle, complete ? CHANNEL_EVENT_WRITE_COMPLETE : CHANNEL_EVENT_WRITE_CANCELLED,
                         w.userData, w.length, w.length, 0);
                });
        else
            Problem("a write without an open procedure");

        lock.lock();
        if (complete)
            ++m_completed;
        else
            ++m_cancelled;
        m_writerBusy = false;
        m_changed.notify_all();
    }
}

void Host::SendToPeer(int peerIn, const Bytes& write)
{
    const uint32_t n = static_cast<uint32_t>(write.size());
    const uint8_t header[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    if (!WriteFrame(peerIn, header, write.data(), write.size()))
        Problem("peer input failed");
}

void Host::CancelAllOutstanding()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (Write& w : m_writes)
            w.action = 2;
    }
    m_writerWake.notify_all();
    m_changed.notify_all();
    if (!WaitFor([this] { return m_writes.empty() && !m_writerBusy; }, 10000))
        Problem("outstanding writes not cancelled in time");
}

void Host::ReleaseHeld(size_t n, bool complete)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (Write& w : m_writes)
        {
            if (n == 0)
                break;
            if (w.action == 0)
            {
                w.action = complete ? 1 : 2;
                --n;
            }
        }
    }
    m_writerWake.notify_all();
    m_changed.notify_all();
}

size_t Host::Outstanding() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_writes.size() + (m_writerBusy ? 1 : 0);
}

size_t Host::MaxOutstanding() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_maxOutstanding;
}

uint64_t Host::Accepted() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_accepted;
}

uint64_t Host::Refused() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_refused;
}

uint64_t Host::Completed() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_completed;
}

uint64_t Host::Cancelled() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_cancelled;
}

bool Host::WaitOutstanding(size_t count, int timeoutMs)
{
    return WaitFor([this, count] { return m_writes.size() + (m_writerBusy ? 1 : 0) == count; }, timeoutMs);
}

bool Host::WaitResults(uint64_t n, int timeoutMs)
{
    return WaitFor([this, n] { return m_completed + m_cancelled >= n; }, timeoutMs);
}

std::vector<Bytes> Host::TakeSent()
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<Bytes> r;
    r.swap(m_sent);
    return r;
}

bool Host::WaitSent(size_t count, int timeoutMs)
{
    return WaitFor([this, count] { return m_sent.size() >= count; }, timeoutMs);
}

// ---- the far-end peer -------------------------------------------------------------------------

bool Host::StartPeer(const std::string& path, const std::vector<std::string>& args, std::string* error)
{
    if (m_peerPid > 0)
    {
        if (error)
            *error = "peer runs already";
        return false;
    }
    // A peer that ends first must not end the host with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(out, O_CLOEXEC) != 0)
    {
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    if (::pipe2(err, O_CLOEXEC) != 0)
    {
        for (int fd : {in[0], in[1], out[0], out[1]})
            ::close(fd);
        return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<std::string> all{path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0)
    {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        if (error)
            *error = std::string("posix_spawn: ") + std::strerror(rc);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_peerPid = pid;
        m_peerIn = in[1];
    }
    const int outFd = out[0];
    const int errFd = err[0];
    m_peerOut = std::thread([this, outFd] { PeerOutLoop(outFd); });
    m_peerErr = std::thread([this, errFd] { PeerErrLoop(errFd); });
    return true;
}

void Host::PeerOutLoop(int fd)
{
    ::pthread_setname_np(::pthread_self(), "vchost-peerout");
    BufferedReader in(fd);
    for (;;)
    {
        uint8_t header[4];
        if (!in.Read(header, 4))
            break;
        const uint32_t n = (uint32_t(header[0]) << 24) | (uint32_t(header[1]) << 16) |
                           (uint32_t(header[2]) << 8) | uint32_t(header[3]);
        if (n == 0 || n > 1024 * 1024)
        {
            Problem("peer frame of " + std::to_string(n) + " bytes");
            break;
        }
        Bytes packet(n);
        if (!in.Read(packet.data(), n))
            break;
        if (n > CHANNEL_CHUNK_LENGTH)
            Problem("peer write of " + std::to_string(n) + " bytes");
        bool merge = false;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            merge = m_mergeLimit != 0;
            if (merge)
                m_peerWrites.push_back(std::move(packet));
        }
        if (merge)
            m_recvWake.notify_all();
        else
            Deliver(packet);
    }
    ::close(fd);
}

void Host::PeerErrLoop(int fd)
{
    ::pthread_setname_np(::pthread_self(), "vchost-peererr");
    std::string pending;
    char buf[512];
    for (;;)
    {
        const ssize_t r = ::read(fd, buf, sizeof(buf));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        pending.append(buf, static_cast<size_t>(r));
        size_t pos;
        while ((pos = pending.find('\n')) != std::string::npos)
        {
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_peerLines.push_back(pending.substr(0, pos));
            }
            pending.erase(0, pos + 1);
            m_changed.notify_all();
        }
    }
    ::close(fd);
}

bool Host::WaitPeerLine(const std::string& line, int timeoutMs)
{
    return WaitFor(
        [this, &line]
        {
            for (const std::string& l : m_peerLines)
                if (l == line)
                    return true;
            return false;
        },
        timeoutMs);
}

std::vector<std::string> Host::PeerLines() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_peerLines;
}

int Host::StopPeer()
{
    pid_t pid;
    int in;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        pid = m_peerPid;
        in = m_peerIn;
        m_peerIn = -1;
        m_peerPid = -1;
    }
    if (pid <= 0)
        return -1;
    // The writer may be writing to the pipe: it took the descriptor before; wait until it is idle.
    WaitFor([this] { return !m_writerBusy; }, 10000);
    ::close(in); // end of input ends the peer
    int status = 0;
    pid_t r = 0;
    for (int i = 0; i < 1000 && r == 0; ++i)
    {
        r = ::waitpid(pid, &status, WNOHANG);
        if (r == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (r == 0)
    {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    if (m_peerOut.joinable())
        m_peerOut.join();
    if (m_peerErr.joinable())
        m_peerErr.join();
    return (r > 0 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

} // namespace VcHost
