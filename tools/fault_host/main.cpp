// fault_host: loads the plug-in with dlopen, as every real host does, runs its classic entry, then
// starts a thread of its own that never runs the library's code and faults on it. The library's
// crash report is expected to end the process (exit code 3).
//
// Usage: fault_host <library> [--hold-heap]
// With --hold-heap every allocation that thread makes after the fault blocks for good, as one
// behind the lock of a heap arena that broke under it would.
// Exit codes besides the report's: 1 when the library cannot be loaded or refuses to start.
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "VMware/Shared/VirtualChannel.h"
#include "common/RealFaults.h"

namespace
{

std::atomic<bool> g_holdHeap{false};
std::atomic<bool> g_faulterSet{false};
pthread_t g_faulter;

void BlockIfHeld()
{
    if (g_holdHeap.load() && g_faulterSet.load() && pthread_equal(pthread_self(), g_faulter))
        for (;;)
            ::pause();
}

int g_initHandle;

uint32_t Init(void** ppInitHandle, PCHANNEL_DEF, int32_t, uint32_t, PCHANNEL_INIT_EVENT_FN)
{
    *ppInitHandle = &g_initHandle;
    return CHANNEL_RC_OK;
}
uint32_t Open(void*, uint32_t*, char*, PCHANNEL_OPEN_EVENT_FN)
{
    return CHANNEL_RC_NOT_CONNECTED;
}
uint32_t Close(uint32_t)
{
    return CHANNEL_RC_NOT_OPEN;
}
uint32_t Write(uint32_t, void*, uint32_t, void*)
{
    return CHANNEL_RC_NOT_OPEN;
}

void* Fault(void*)
{
    g_faulter = pthread_self();
    g_faulterSet = true;
    TestUtils::WriteNullHere();
    return nullptr;
}

} // namespace

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator serves every allocation and calls this hook on the allocating thread.
extern "C" void __sanitizer_malloc_hook(const volatile void*, size_t)
{
    BlockIfHeld();
}
#else
// glibc's allocator behind the standard names, which every library of the process (the dynamic
// loader's thread-local storage included) calls.
extern "C"
{
    void* __libc_calloc(size_t, size_t);
    void* __libc_realloc(void*, size_t);

    void* malloc(size_t n)
    {
        BlockIfHeld();
        return __libc_malloc(n);
    }
    void* calloc(size_t n, size_t size)
    {
        BlockIfHeld();
        return __libc_calloc(n, size);
    }
    void* realloc(void* p, size_t n)
    {
        BlockIfHeld();
        return __libc_realloc(p, n);
    }
}
#endif

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: fault_host <library> [--hold-heap]\n");
        return 1;
    }
    g_holdHeap = argc > 2 && std::strcmp(argv[2], "--hold-heap") == 0;
    void* lib = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr)
    {
        std::fprintf(stderr, "fault_host: %s\n", ::dlerror());
        return 1;
    }
    auto entry = reinterpret_cast<PVIRTUALCHANNELENTRY>(::dlsym(lib, "VirtualChannelEntry"));
    CHANNEL_ENTRY_POINTS points{
        sizeof(CHANNEL_ENTRY_POINTS), VIRTUAL_CHANNEL_VERSION_WIN2000, &Init, &Open, &Close, &Write};
    if (entry == nullptr || entry(&points) == 0)
    {
        std::fprintf(stderr, "fault_host: the entry failed\n");
        return 1;
    }

    pthread_t t;
    if (::pthread_create(&t, nullptr, &Fault, nullptr) != 0)
        return 1;
    ::pthread_join(t, nullptr);
    std::fprintf(stderr, "fault_host: the fault came back\n");
    return 1;
}
