/* Behaves like COMBASE for one apartment mode per thread: the first RoInitialize of a thread gives
   S_OK, a repeat with the same mode S_FALSE, another mode RPC_E_CHANGED_MODE. Registering zero
   factories is E_INVALIDARG, more gives S_FALSE. The mode c_throwingMode makes RoInitialize throw a
   C++ exception, like a broken library would. Every call is counted for the tests. */
#include <stdint.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

enum
{
    c_throwingMode = 0x7E57
};

/* Throws std::runtime_error (StandInThrow.cpp). */
void StandInThrow(void);

static __thread int t_mode = -1;
static int g_initCalls;
static int g_registerCalls;
static int g_revokeCalls;
static int g_uninitCalls;

EXPORT int32_t RoInitialize(int32_t initType)
{
    ++g_initCalls;
    if (initType == c_throwingMode)
    {
        StandInThrow();
    }
    if (t_mode < 0)
    {
        t_mode = initType;
        return 0;
    }
    return (t_mode == initType) ? 1 : (int32_t)0x80010106u;
}

EXPORT int32_t RoRegisterActivationFactories(void** ids, void** factories, uint32_t count, void** cookie)
{
    (void)ids;
    (void)factories;
    ++g_registerCalls;
    if (count == 0)
    {
        return (int32_t)0x80070057u;
    }
    if (cookie)
    {
        *cookie = (void*)&g_registerCalls;
    }
    return 1;
}

EXPORT void RoRevokeActivationFactories(void* cookie)
{
    (void)cookie;
    ++g_revokeCalls;
}

EXPORT void RoUninitialize(void)
{
    ++g_uninitCalls;
    t_mode = -1;
}

/* How often the named function was called. */
EXPORT int StandInCallCount(const char* name)
{
    if (strcmp(name, "RoInitialize") == 0)
        return g_initCalls;
    if (strcmp(name, "RoRegisterActivationFactories") == 0)
        return g_registerCalls;
    if (strcmp(name, "RoRevokeActivationFactories") == 0)
        return g_revokeCalls;
    if (strcmp(name, "RoUninitialize") == 0)
        return g_uninitCalls;
    return -1;
}
