#include "VMware/Client/Torvane/TnVmwareExec.h"

#include "AppUtils/AppConfig.h"
#include "Utils/StringUtils.h"
#include "VdiCommon/EntryStarters.h"
#include "YrLogV2/Log.h"

namespace VMware
{
namespace Client
{

namespace
{

std::unique_ptr<Utils::IVirtualDestroy> StartRegistered(const VMwareClientEntryPoint& entry)
{
    const VdiCommon::EntryStarter starter = VdiCommon::GetEntryStarter(entry.ToString());
    if (!starter)
    {
        YrLogV2::LogRoot::RootLog().Add(
            YrLogV2::Error, "Entry {} has no program in this build, nothing started", entry.ToString());
        return nullptr;
    }
    return starter();
}

} // namespace

VMwareClientEntryPoint SelectEntryPoint(const boost::optional<std::string>& configured)
{
    VMwareClientEntryPoint entry(VMwareClientEntryPoint::StartVdiMediaBridge);
    if (!configured)
        return entry;
    const YrMeta::EnumRawInfo& info = VMwareClientEntryPoint::StaticRawInfo();
    for (uint64_t i = 0; i < info.count; ++i)
    {
        if (*configured == info.names[i])
        {
            entry.SetValueIndex(i);
            break;
        }
    }
    return entry;
}

std::unique_ptr<Utils::IVirtualDestroy> VMwareExec()
{
    const VMwareClientEntryPoint entry =
        SelectEntryPoint(AppUtils::AppConfigInstance().GetRawValue("VMwareClientEntryPoint"));
    YrLogV2::Log& log = YrLogV2::LogRoot::RootLog();
    log.Add(YrLogV2::Info, L"Entry: {}", Utils::StdStringToWString(entry.ToString()));

    switch (entry.CastToInt())
    {
    case VMwareClientEntryPoint::StartVdiMediaBridge:
    case VMwareClientEntryPoint::VMwareEchoTest:
        return StartRegistered(entry);
    default:
        // A configuration file can name it; it must not halt the host.
        log.Add(YrLogV2::Error, "Entry {} names no program, nothing started", entry.ToString());
        return nullptr;
    }
}

} // namespace Client
} // namespace VMware
