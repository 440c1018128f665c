#include "AppUtils/AppBuildInfo.h"

#include <fmt/format.h>
#include "AppUtils/AppBuildConstants.h"

namespace AppUtils
{

const AppBuildInfo::Data& AppBuildInfo::Build()
{
    static const Data data = []
    {
        Data d;
        d.programName = BuildConstants::c_programName;
        d.brandName = BuildConstants::c_brandName;
        d.version = BuildConstants::c_version;
        d.buildNumber = BuildConstants::c_buildNumber;
        d.ciJobName = BuildConstants::c_ciJobName;
        d.ciServerUrl = BuildConstants::c_ciServerUrl;
        d.buildType = BuildConstants::c_buildType;
        d.buildDate = BuildConstants::c_buildDate;
        return d;
    }();
    return data;
}

std::string AppBuildInfo::Data::BuildInfoText(bool hideNames) const
{
    std::string text = fmt::format("{} {} ({}), {} build of {}", hideNames ? "<ProgramName>" : programName,
                                   FullVersion(), hideNames ? "<BrandName>" : brandName,
                                   buildType.empty() ? "unknown" : buildType, buildDate);
    if (!ciJobName.empty() && buildNumber > 0)
        text += fmt::format(", CI job {} #{}", ciJobName, buildNumber);
    return text;
}

std::string AppBuildInfo::Data::FullVersion() const
{
    return version + "." + std::to_string(buildNumber);
}

std::string AppBuildInfo::Data::CiJobUrl() const
{
    if (ciJobName.empty() || buildNumber <= 0)
        return std::string();
    std::string server = ciServerUrl;
    if (!server.empty() && server.back() != '/')
        server += '/';
    return fmt::format("{}job/{}/{}/", server, ciJobName, buildNumber);
}

} // namespace AppUtils
