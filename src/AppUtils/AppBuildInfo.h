#pragma once
#include <string>

namespace AppUtils
{

// What the build says about itself (fixed when the build is configured).
class AppBuildInfo
{
public:
    // The values behind the texts; Build() holds this build's, tests make their own.
    struct Data
    {
        std::string programName;
        std::string brandName;
        std::string version;
        int buildNumber = 0;
        std::string ciJobName;
        std::string ciServerUrl;
        std::string buildType;
        std::string buildDate;

        // "<program> <full version> (<brand>), <build type> build of <date>[, CI job <name> #<n>]";
        // with hideNames the names are "<ProgramName>" and "<BrandName>".
        std::string BuildInfoText(bool hideNames) const;
        // version + "." + build number.
        std::string FullVersion() const;
        // <server>job/<name>/<n>/ for a CI build (a job name and a build number above 0), else "".
        std::string CiJobUrl() const;
    };

    static const Data& Build();

    static std::string GetBuildInfoText(bool hideNames) { return Build().BuildInfoText(hideNames); }
    static std::string GetFullVersion() { return Build().FullVersion(); }
    static std::string GetCiJobUrl() { return Build().CiJobUrl(); }
};

} // namespace AppUtils
