#pragma once
#include <memory>
#include "MediaBridgeControl/IMbcTransp.h"

namespace iCore
{
class MsgThread;
}

namespace YrLogV2
{
class Log;
}

namespace VMware
{
namespace Client
{

// Where the channel's media-bridge transport lives and whom it reports to.
struct MbcTranspEnvToCreate
{
    MbcTranspEnvToCreate(iCore::MsgThread& thread, YrLogV2::Log& log,
                         MediaBridgeControl::IMbcTranspEvents& events)
        : m_thread(thread), m_log(log), m_events(events)
    {
    }

    iCore::MsgThread& m_thread;
    YrLogV2::Log& m_log;
    MediaBridgeControl::IMbcTranspEvents& m_events;
};

// The virtual channel of the plug-in as a media-bridge transport: a client session over the
// channel driver's low-level transport. Call it on env's thread.
std::unique_ptr<MediaBridgeControl::IMbcTransp> CreateMbcTransp(const MbcTranspEnvToCreate& env);

} // namespace Client
} // namespace VMware
