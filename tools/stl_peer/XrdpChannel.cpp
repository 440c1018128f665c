#include "XrdpChannel.h"
#include <dlfcn.h>
#include <algorithm>
#include <chrono>
#include <thread>

namespace
{

const unsigned int c_currentSession = 0xFFFFFFFFu; // WTS_CURRENT_SESSION
const int c_virtualFileHandle = 1;                 // WTSVirtualFileHandle

// Debian installs the library in a folder of its own, outside the loader's search path.
const char* const c_libNames[] = {"libxrdpapi.so.0", "/usr/lib/x86_64-linux-gnu/xrdp/libxrdpapi.so.0"};

} // namespace

XrdpChannel::~XrdpChannel()
{
    Close();
    if (m_lib != nullptr)
        ::dlclose(m_lib);
}

bool XrdpChannel::Load(std::string& error)
{
    for (const char* name : c_libNames)
    {
        m_lib = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
        if (m_lib != nullptr)
            break;
    }
    if (m_lib == nullptr)
    {
        error = "libxrdpapi not found (is xrdp installed?)";
        return false;
    }
    m_openEx = reinterpret_cast<OpenExFn>(::dlsym(m_lib, "WTSVirtualChannelOpenEx"));
    m_read = reinterpret_cast<ReadFn>(::dlsym(m_lib, "WTSVirtualChannelRead"));
    m_write = reinterpret_cast<WriteFn>(::dlsym(m_lib, "WTSVirtualChannelWrite"));
    m_close = reinterpret_cast<CloseFn>(::dlsym(m_lib, "WTSVirtualChannelClose"));
    m_query = reinterpret_cast<QueryFn>(::dlsym(m_lib, "WTSVirtualChannelQuery"));
    m_free = reinterpret_cast<FreeFn>(::dlsym(m_lib, "WTSFreeMemory"));
    if (!m_openEx || !m_read || !m_write || !m_close || !m_query || !m_free)
    {
        error = "libxrdpapi lacks a channel function";
        return false;
    }
    return true;
}

bool XrdpChannel::Open(const std::string& name, std::string& error)
{
    if (m_lib == nullptr && !Load(error))
        return false;
    m_handle = m_openEx(c_currentSession, name.c_str(), 0);
    if (m_handle == nullptr)
    {
        error = "WTSVirtualChannelOpenEx failed (no session on DISPLAY?)";
        return false;
    }
    // Some versions hand out a handle even when the session's channel server did not answer; only
    // an open handle reports its socket.
    void* fd = nullptr;
    unsigned int bytes = 0;
    if (m_query(m_handle, c_virtualFileHandle, &fd, &bytes) == 0)
    {
        Close();
        error = "the session's channel server did not accept the channel";
        return false;
    }
    m_free(fd);
    return true;
}

int XrdpChannel::Read(uint8_t* buf, uint32_t size, uint32_t timeoutMs)
{
    unsigned int got = 0;
    if (m_handle == nullptr || m_read(m_handle, timeoutMs, reinterpret_cast<char*>(buf), size, &got) == 0)
        return -1;
    return static_cast<int>(got);
}

bool XrdpChannel::Write(const uint8_t* p, uint32_t n)
{
    std::lock_guard<std::mutex> lock(m_writeLock);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(c_writeLimitMs);
    while (m_handle != nullptr)
    {
        // A Windows BOOL: 0 is failure. What went out may be less than asked while the socket is full.
        unsigned int written = 0;
        if (m_write(m_handle, reinterpret_cast<const char*>(p), n, &written) == 0)
            return false;
        p += written;
        n -= std::min(written, n);
        if (n == 0)
            return true;
        if (std::chrono::steady_clock::now() > limit)
            return false;
        if (written == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void XrdpChannel::Close()
{
    if (m_handle != nullptr)
        m_close(m_handle);
    m_handle = nullptr;
}
