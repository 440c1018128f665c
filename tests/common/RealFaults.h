#pragma once
// Faults that really happen in every build: no optimiser may remove them (volatile accesses, calls
// that are used after they return) and no sanitizer reports them before they fault.
#include <sys/mman.h>
#include <signal.h>
#include <cstddef>
#include <cstdint>
#include <thread>

extern "C" void* __libc_malloc(size_t size);
extern "C" void __libc_free(void* p);

namespace TestUtils
{

#define YR_REAL_FAULT __attribute__((noinline, no_sanitize("address", "undefined")))

inline int* volatile g_realFaultNull = nullptr;

YR_REAL_FAULT inline void WriteNullHere()
{
    *g_realFaultNull = 7;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winfinite-recursion"
YR_REAL_FAULT inline int RecurseForever(int depth)
{
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    const int r = RecurseForever(depth + 1);
    return r + pad[0];
}
#pragma GCC diagnostic pop

// An object on a page that can be neither read nor written: it faults at its first use, wherever
// that is (inside a library, under one of the library's locks).
template <class T>
T& InaccessibleObject()
{
    static void* const page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return *static_cast<T*>(page);
}

// Faults inside glibc's malloc while it holds the main arena's lock: a chunk in the unsorted bin
// gets a broken back link, and the next large allocation follows it. Calls glibc's allocator by
// its own name, so that a sanitizer's allocator does not stand in between. Must run on a thread
// of the main arena (the main thread) in a process with more than one thread (glibc locks arenas
// only then).
YR_REAL_FAULT inline void FaultInsideMalloc()
{
    const size_t size = 0x2000;
    const size_t chunk = size + 0x10;
    // Three neighbours, so that the middle one neither merges with a free chunk nor with the top.
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        char* a = static_cast<char*>(__libc_malloc(size));
        char* b = static_cast<char*>(__libc_malloc(size));
        char* c = static_cast<char*>(__libc_malloc(size));
        if (b != a + chunk || c != b + chunk)
            continue; // not neighbours: leave them, try again
        __libc_free(b);
        reinterpret_cast<volatile uintptr_t*>(b)[1] = 0x10; // the back link
        __libc_malloc(3 * size);
        __libc_free(a);
        __libc_free(c);
    }
}

// Runs fn on a thread that the host made (std::thread, none of ours) with an alternate signal
// stack of the given size, or with none at all for 0.
inline void OnHostThread(size_t altStackBytes, void (*fn)())
{
    std::thread t(
        [altStackBytes, fn]
        {
            stack_t ss = {};
            ss.ss_flags = SS_DISABLE;
            if (altStackBytes != 0)
            {
                ss.ss_sp = ::mmap(nullptr, altStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                                  -1, 0);
                ss.ss_size = altStackBytes;
                ss.ss_flags = 0;
            }
            ::sigaltstack(&ss, nullptr);
            fn();
        });
    t.join();
}

} // namespace TestUtils
