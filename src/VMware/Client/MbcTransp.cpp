#include "VMware/Client/MbcTransp.h"
#include "VMware/Client/DriverCore.h"
#include "VdiCommon/EntryStarters.h"
#include "VdiCommon/PluginBridge/BridgeLauncher.h"
#include "VdiCommon/PluginBridge/MbcAdapter.h"
#include "VdiCommon/PluginBridge/PluginBridge.h"

namespace VMware
{
namespace Client
{

std::unique_ptr<MediaBridgeControl::IMbcTransp> CreateMbcTransp(const MbcTranspEnvToCreate& env)
{
    return VdiCommon::CreateMbcAdapter(
        VdiCommon::MbcAdapterEnv(env.m_thread, env.m_log, false, env.m_events, LowLevelTransportCreator()));
}

} // namespace Client
} // namespace VMware

// Here rather than with the bridge: the relay's channel side is the channel driver's, which the
// bridge's own module does not reach.
namespace VdiCommon
{
namespace PluginBridge
{

namespace
{

std::unique_ptr<MediaBridgeControl::IMbcTransp>
CreateChannelSide(iCore::MsgThread& thread, YrLogV2::Log& log, MediaBridgeControl::IMbcTranspEvents& events)
{
    return VMware::Client::CreateMbcTransp(VMware::Client::MbcTranspEnvToCreate(thread, log, events));
}

} // namespace

std::unique_ptr<Utils::IVirtualDestroy> StartVdiMediaBridge()
{
    PluginBridgeProf prof;
    prof.m_createServer = &CreateTcpServerSide;
    prof.m_launchClient = &LaunchMediaBridge;
    prof.m_createClient = &CreateChannelSide;
    return StartPluginBridge(prof);
}

namespace
{
const EntryStarterRegistrar g_bridgeEntry("StartVdiMediaBridge", &StartVdiMediaBridge);
}

} // namespace PluginBridge
} // namespace VdiCommon
