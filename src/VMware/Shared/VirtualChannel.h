#pragma once
// The host's virtual-channel interface, in the RDP-compatible layout on x86-64 Linux. The host
// (the Horizon Client, or the substitute host of the tests) and the plug-in share nothing but this
// header's types, so every size and offset is pinned below. Every ULONG, UINT and DWORD of the
// original interface is 32 bits here.
#include <cstddef>
#include <cstdint>

extern "C"
{

#define CHANNEL_NAME_LEN 7
#define CHANNEL_CHUNK_LENGTH 1600

// Versions of VirtualChannelInit.
#define VIRTUAL_CHANNEL_VERSION_WIN2000 1

// Return codes of the host's functions; CHANNEL_RC_OK is the only success.
#define CHANNEL_RC_OK 0
#define CHANNEL_RC_ALREADY_INITIALIZED 1
#define CHANNEL_RC_NOT_INITIALIZED 2
#define CHANNEL_RC_ALREADY_CONNECTED 3
#define CHANNEL_RC_NOT_CONNECTED 4
#define CHANNEL_RC_TOO_MANY_CHANNELS 5
#define CHANNEL_RC_BAD_CHANNEL 6
#define CHANNEL_RC_BAD_CHANNEL_HANDLE 7
#define CHANNEL_RC_NO_BUFFER 8
#define CHANNEL_RC_BAD_INIT_HANDLE 9
#define CHANNEL_RC_NOT_OPEN 10
#define CHANNEL_RC_BAD_PROC 11
#define CHANNEL_RC_NO_MEMORY 12
#define CHANNEL_RC_UNKNOWN_CHANNEL_NAME 13
#define CHANNEL_RC_ALREADY_OPEN 14
#define CHANNEL_RC_NOT_IN_VIRTUALCHANNELENTRY 15
#define CHANNEL_RC_NULL_DATA 16
#define CHANNEL_RC_ZERO_LENGTH 17

// Init events (CHANNEL_INIT_EVENT_FN).
#define CHANNEL_EVENT_INITIALIZED 0
#define CHANNEL_EVENT_CONNECTED 1
#define CHANNEL_EVENT_V1_CONNECTED 2
#define CHANNEL_EVENT_DISCONNECTED 3
#define CHANNEL_EVENT_TERMINATED 4
// Open events (CHANNEL_OPEN_EVENT_FN).
#define CHANNEL_EVENT_DATA_RECEIVED 10
#define CHANNEL_EVENT_WRITE_COMPLETE 11
#define CHANNEL_EVENT_WRITE_CANCELLED 12

// Chunk flags of DATA_RECEIVED; other bits may be set and mean nothing to the plug-in.
#define CHANNEL_FLAG_FIRST 0x01
#define CHANNEL_FLAG_LAST 0x02
#define CHANNEL_FLAG_ONLY (CHANNEL_FLAG_FIRST | CHANNEL_FLAG_LAST)
#define CHANNEL_FLAG_MIDDLE 0

    typedef struct tagCHANNEL_DEF
    {
        char name[CHANNEL_NAME_LEN + 1];
        uint32_t options;
    } CHANNEL_DEF, *PCHANNEL_DEF;

    typedef void CHANNEL_INIT_EVENT_FN(void* pInitHandle, uint32_t event, void* pData, uint32_t dataLength);
    typedef CHANNEL_INIT_EVENT_FN* PCHANNEL_INIT_EVENT_FN;

    typedef void CHANNEL_OPEN_EVENT_FN(uint32_t openHandle, uint32_t event, void* pData, uint32_t dataLength,
                                       uint32_t totalLength, uint32_t dataFlags);
    typedef CHANNEL_OPEN_EVENT_FN* PCHANNEL_OPEN_EVENT_FN;

    typedef uint32_t VIRTUALCHANNELINIT(void** ppInitHandle, PCHANNEL_DEF pChannel, int32_t channelCount,
                                        uint32_t versionRequested,
                                        PCHANNEL_INIT_EVENT_FN pChannelInitEventProc);
    typedef VIRTUALCHANNELINIT* PVIRTUALCHANNELINIT;

    typedef uint32_t VIRTUALCHANNELOPEN(void* pInitHandle, uint32_t* pOpenHandle, char* pChannelName,
                                        PCHANNEL_OPEN_EVENT_FN pChannelOpenEventProc);
    typedef VIRTUALCHANNELOPEN* PVIRTUALCHANNELOPEN;

    typedef uint32_t VIRTUALCHANNELCLOSE(uint32_t openHandle);
    typedef VIRTUALCHANNELCLOSE* PVIRTUALCHANNELCLOSE;

    typedef uint32_t VIRTUALCHANNELWRITE(uint32_t openHandle, void* pData, uint32_t dataLength,
                                         void* pUserData);
    typedef VIRTUALCHANNELWRITE* PVIRTUALCHANNELWRITE;

    typedef struct tagCHANNEL_ENTRY_POINTS
    {
        uint32_t cbSize;
        uint32_t protocolVersion;
        PVIRTUALCHANNELINIT pVirtualChannelInit;
        PVIRTUALCHANNELOPEN pVirtualChannelOpen;
        PVIRTUALCHANNELCLOSE pVirtualChannelClose;
        PVIRTUALCHANNELWRITE pVirtualChannelWrite;
    } CHANNEL_ENTRY_POINTS, *PCHANNEL_ENTRY_POINTS;

    // The plug-in's export; TRUE (1) or FALSE (0).
    typedef int32_t VIRTUALCHANNELENTRY(PCHANNEL_ENTRY_POINTS pEntryPoints);
    typedef VIRTUALCHANNELENTRY* PVIRTUALCHANNELENTRY;

    // The extended interface (FreeRDP tries it first; Windows' RDP client has it too). Every call
    // names the host's init handle, so a host can serve it from any thread, and every callback
    // carries back the user parameter the plug-in gave to VirtualChannelInitEx.
    typedef void CHANNEL_INIT_EVENT_EX_FN(void* lpUserParam, void* pInitHandle, uint32_t event, void* pData,
                                          uint32_t dataLength);
    typedef CHANNEL_INIT_EVENT_EX_FN* PCHANNEL_INIT_EVENT_EX_FN;

    typedef void CHANNEL_OPEN_EVENT_EX_FN(void* lpUserParam, uint32_t openHandle, uint32_t event, void* pData,
                                          uint32_t dataLength, uint32_t totalLength, uint32_t dataFlags);
    typedef CHANNEL_OPEN_EVENT_EX_FN* PCHANNEL_OPEN_EVENT_EX_FN;

    // pInitHandle is the handle the host passed to VirtualChannelEntryEx (an input here).
    typedef uint32_t VIRTUALCHANNELINITEX(void* lpUserParam, void* clientContext, void* pInitHandle,
                                          PCHANNEL_DEF pChannel, int32_t channelCount,
                                          uint32_t versionRequested,
                                          PCHANNEL_INIT_EVENT_EX_FN pChannelInitEventProcEx);
    typedef VIRTUALCHANNELINITEX* PVIRTUALCHANNELINITEX;

    typedef uint32_t VIRTUALCHANNELOPENEX(void* pInitHandle, uint32_t* pOpenHandle, char* pChannelName,
                                          PCHANNEL_OPEN_EVENT_EX_FN pChannelOpenEventProcEx);
    typedef VIRTUALCHANNELOPENEX* PVIRTUALCHANNELOPENEX;

    typedef uint32_t VIRTUALCHANNELCLOSEEX(void* pInitHandle, uint32_t openHandle);
    typedef VIRTUALCHANNELCLOSEEX* PVIRTUALCHANNELCLOSEEX;

    typedef uint32_t VIRTUALCHANNELWRITEEX(void* pInitHandle, uint32_t openHandle, void* pData,
                                           uint32_t dataLength, void* pUserData);
    typedef VIRTUALCHANNELWRITEEX* PVIRTUALCHANNELWRITEEX;

    // A host may pass a longer table of its own that starts with these fields (FreeRDP does):
    // the plug-in reads only these.
    typedef struct tagCHANNEL_ENTRY_POINTS_EX
    {
        uint32_t cbSize;
        uint32_t protocolVersion;
        PVIRTUALCHANNELINITEX pVirtualChannelInitEx;
        PVIRTUALCHANNELOPENEX pVirtualChannelOpenEx;
        PVIRTUALCHANNELCLOSEEX pVirtualChannelCloseEx;
        PVIRTUALCHANNELWRITEEX pVirtualChannelWriteEx;
    } CHANNEL_ENTRY_POINTS_EX, *PCHANNEL_ENTRY_POINTS_EX;

    // The plug-in's extended export; TRUE (1) or FALSE (0).
    typedef int32_t VIRTUALCHANNELENTRYEX(PCHANNEL_ENTRY_POINTS_EX pEntryPointsEx, void* pInitHandle);
    typedef VIRTUALCHANNELENTRYEX* PVIRTUALCHANNELENTRYEX;

} // extern "C"

static_assert(sizeof(void*) == 8, "the channel layout is fixed for 64-bit processes");
static_assert(sizeof(CHANNEL_DEF) == 12, "CHANNEL_DEF");
static_assert(offsetof(CHANNEL_DEF, name) == 0, "CHANNEL_DEF::name");
static_assert(offsetof(CHANNEL_DEF, options) == 8, "CHANNEL_DEF::options");
static_assert(sizeof(CHANNEL_ENTRY_POINTS) == 40, "CHANNEL_ENTRY_POINTS");
static_assert(offsetof(CHANNEL_ENTRY_POINTS, cbSize) == 0, "CHANNEL_ENTRY_POINTS::cbSize");
static_assert(offsetof(CHANNEL_ENTRY_POINTS, protocolVersion) == 4, "CHANNEL_ENTRY_POINTS::protocolVersion");
static_assert(offsetof(CHANNEL_ENTRY_POINTS, pVirtualChannelInit) == 8, "pVirtualChannelInit");
static_assert(offsetof(CHANNEL_ENTRY_POINTS, pVirtualChannelOpen) == 16, "pVirtualChannelOpen");
static_assert(offsetof(CHANNEL_ENTRY_POINTS, pVirtualChannelClose) == 24, "pVirtualChannelClose");
static_assert(offsetof(CHANNEL_ENTRY_POINTS, pVirtualChannelWrite) == 32, "pVirtualChannelWrite");
static_assert(sizeof(CHANNEL_ENTRY_POINTS_EX) == 40, "CHANNEL_ENTRY_POINTS_EX");
static_assert(offsetof(CHANNEL_ENTRY_POINTS_EX, cbSize) == 0, "CHANNEL_ENTRY_POINTS_EX::cbSize");
static_assert(offsetof(CHANNEL_ENTRY_POINTS_EX, protocolVersion) == 4,
              "CHANNEL_ENTRY_POINTS_EX::protocolVersion");
static_assert(offsetof(CHANNEL_ENTRY_POINTS_EX, pVirtualChannelInitEx) == 8, "pVirtualChannelInitEx");
static_assert(offsetof(CHANNEL_ENTRY_POINTS_EX, pVirtualChannelOpenEx) == 16, "pVirtualChannelOpenEx");
static_assert(offsetof(CHANNEL_ENTRY_POINTS_EX, pVirtualChannelCloseEx) == 24, "pVirtualChannelCloseEx");
static_assert(offsetof(CHANNEL_ENTRY_POINTS_EX, pVirtualChannelWriteEx) == 32, "pVirtualChannelWriteEx");
