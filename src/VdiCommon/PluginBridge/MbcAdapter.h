#pragma once
#include <cstdint>
#include <memory>
#include "MediaBridgeControl/IMbcTransp.h"
#include "VdiCommon/ILowLevelTransport.h"

namespace iCore
{
class MsgThread;
}

namespace YrLogV2
{
class Log;
}

namespace VdiCommon
{

// What the channel adapter is made with.
struct MbcAdapterEnv
{
    MbcAdapterEnv(iCore::MsgThread& thread, YrLogV2::Log& log, bool server,
                  MediaBridgeControl::IMbcTranspEvents& events, const LlTransportCreator& createFn)
        : m_thread(thread), m_log(log), m_server(server), m_events(events), m_createFn(createFn)
    {
    }

    iCore::MsgThread& m_thread;                     // the adapter lives on it
    YrLogV2::Log& m_log;                            // parent of the adapter's log node
    bool m_server;                                  // the session's role: false client, true server
    MediaBridgeControl::IMbcTranspEvents& m_events; // state changes and received data
    LlTransportCreator m_createFn;                  // makes the low-level transport below
};

// Packets handed to the low-level transport whose result has not come back, at which the adapter
// reports a send backlog to a listener that takes part in back-pressure
// (MediaBridgeControl::IMbcSendFlowEvents), and at which it reports the backlog cleared. The
// channel refuses writes beyond 1000 outstanding ones, so the high mark leaves room for what the
// other side has already read when it is told to pause.
const uint64_t c_llBacklogHigh = 200;
const uint64_t c_llBacklogLow = 50;

// The virtual channel as a media-bridge transport: a session of the session transport over the
// low-level channel transport. Call it on the environment's thread ("Not in thread context"
// otherwise); the adapter, its session and its low-level transport live on that thread.
std::unique_ptr<MediaBridgeControl::IMbcTransp> CreateMbcAdapter(const MbcAdapterEnv& env);

} // namespace VdiCommon
