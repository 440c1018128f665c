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

// How long after a write the channel refused (while it stays connected) the client opens a new
// session over the same channel.
const int c_sessionRestartDelayMs = 1000;

// The virtual channel as a media-bridge transport: a session of the session transport over the
// low-level channel transport. Call it on the environment's thread ("Not in thread context"
// otherwise); the adapter, its session and its low-level transport live on that thread.
// It is also a MediaBridgeControl::IMbcSendDone: data sent with SendDataNotify is reported done
// when the channel has completed the last write that carries it.
// A write the channel refuses ends the session (dcTranspErr); while the channel stays connected
// a new session is opened after c_sessionRestartDelayMs.
std::unique_ptr<MediaBridgeControl::IMbcTransp> CreateMbcAdapter(const MbcAdapterEnv& env);

} // namespace VdiCommon
