#pragma once
// The server end of a static virtual channel of an xrdp session, through xrdp's channel API
// (libxrdpapi). Debian ships the library without its header, and the peer must build where xrdp
// is not installed, so the library is loaded at run time and its few functions are declared here
// as xrdp's public xrdpapi.h declares them.
//
// Threads: Open and Close on one thread; Read on one thread at a time; Write from any thread
// (writes are serialised, so a write's header and body are never interleaved with another's).
#include <cstdint>
#include <mutex>
#include <string>

class XrdpChannel
{
public:
    XrdpChannel() = default;
    XrdpChannel(const XrdpChannel&) = delete;
    XrdpChannel& operator=(const XrdpChannel&) = delete;
    ~XrdpChannel();

    // Opens the channel of the session named by DISPLAY; false with a reason on failure.
    bool Open(const std::string& name, std::string& error);
    // Bytes read into buf (the channel is a byte stream: no write boundaries), 0 when nothing came
    // within timeoutMs, -1 when the channel has closed or failed.
    int Read(uint8_t* buf, uint32_t size, uint32_t timeoutMs);
    // Writes all n bytes; false when the channel has failed or stays full for c_writeLimitMs.
    bool Write(const uint8_t* p, uint32_t n);
    void Close();

private:
    using OpenExFn = void* (*)(unsigned int sessionId, const char* name, unsigned int flags);
    using ReadFn = int (*)(void* handle, unsigned int timeoutMs, char* buf, unsigned int size,
                           unsigned int* read);
    using WriteFn = int (*)(void* handle, const char* buf, unsigned int length, unsigned int* written);
    using CloseFn = int (*)(void* handle);
    using QueryFn = int (*)(void* handle, int virtualClass, void** buffer, unsigned int* bytes);
    using FreeFn = void (*)(void* memory);

    static constexpr uint32_t c_writeLimitMs = 30000;

    bool Load(std::string& error);

    void* m_lib = nullptr;
    OpenExFn m_openEx = nullptr;
    ReadFn m_read = nullptr;
    WriteFn m_write = nullptr;
    CloseFn m_close = nullptr;
    QueryFn m_query = nullptr;
    FreeFn m_free = nullptr;
    void* m_handle = nullptr;

    std::mutex m_writeLock; // one write at a time
};
