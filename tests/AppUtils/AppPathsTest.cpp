#include <gtest/gtest.h>
#include "AppTestUtils.h"
#include "AppUtils/AppBuildInfo.h"
#include "AppUtils/AppPaths.h"

namespace
{

namespace fs = boost::filesystem;
using AppUtils::AppPaths;
using AppUtils::SarvikAppMode;
using SarvikAppSetup::VdiMode;

} // namespace

TEST(AppPathsTest, VdiModuleFoldersLieUnderTheDataRootByVdiMode)
{
    const AppPaths p("/opt/app/lib/plugin.so", SarvikAppMode::VdiModule, VdiMode::VMware,
                     "/opt/app/lib/plugin.so", "/home/u/.local/share");
    EXPECT_EQ(fs::path("/opt/app/lib"), p.AppDir());
    EXPECT_EQ(fs::path("/home/u/.local/share/YrAppVdiModule/VMware"), p.ModeFolder());
    EXPECT_EQ(fs::path("/home/u/.local/share/YrAppVdiModule/VMware/Logs"), p.LogFolder());
    EXPECT_EQ(fs::path("/home/u/.local/share/YrAppVdiModule/VMware/CrashReports"),
              AppUtils::GetReportPath(p));

    const AppPaths citrix("/x/app", SarvikAppMode::VdiModule, VdiMode::Citrix, "/x", "/d");
    EXPECT_EQ(fs::path("/d/YrAppVdiModule/Citrix"), citrix.ModeFolder());
}

TEST(AppPathsTest, VantrelFoldersLieUnderTheBaseFolder)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString exe = dir.filePath("entry_host");
    AppTest::WriteBytes(exe, "x");
    const fs::path exePath(exe.toStdString());

    // A base that names a file stands for its folder.
    const AppPaths fromFile(exePath, SarvikAppMode::VdiModuleVantrel, VdiMode::VMware, exePath, "/d");
    EXPECT_EQ(exePath.parent_path(), fromFile.BaseFolder());
    EXPECT_EQ(exePath.parent_path() / "YrAppVdiModule", fromFile.ModeFolder());
    EXPECT_EQ(exePath.parent_path() / "YrAppVdiModule" / "CrashReports", AppUtils::GetReportPath(fromFile));

    const AppPaths fromDir(exePath, SarvikAppMode::VdiModuleVantrel, VdiMode::VMware, exePath.parent_path(),
                           "/d");
    EXPECT_EQ(exePath.parent_path(), fromDir.BaseFolder());
    EXPECT_EQ(AppUtils::GetReportPath(fromFile), AppUtils::GetReportPath(fromDir));
}

TEST(AppPathsTest, OtherModesHaveAFolderOfTheirOwn)
{
    const AppPaths p("/a/app", SarvikAppMode::Bridge, VdiMode::NonActive, "/a", "/d");
    EXPECT_EQ(fs::path("/d/YrAppBridge"), p.ModeFolder());
    EXPECT_EQ(fs::path("/d/YrAppBridge/CrashReports"), AppUtils::GetReportPath(p));
    EXPECT_EQ(fs::path("/q/CrashReports"), AppUtils::MakeCrashReportsPath("/q"));
}

TEST(AppPathsTest, WidePathsRoundTripThroughUtf8)
{
    const std::wstring text = L"/tmp/Журналы/log файл";
    EXPECT_EQ(
        "/tmp/\xD0\x96\xD1\x83\xD1\x80\xD0\xBD\xD0\xB0\xD0\xBB\xD1\x8B/log \xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB",
        AppUtils::ToPath(text).string());
    EXPECT_EQ(text, AppUtils::FromPath(AppUtils::ToPath(text)));
}

TEST(AppModeTest, EnumerationsHaveTheirNamesAndValues)
{
    EXPECT_EQ("VMware", VdiMode(VdiMode::VMware).ToString());
    EXPECT_EQ(2, VdiMode(VdiMode::VMware).CastToInt());
    EXPECT_EQ("NonActive", VdiMode(YrMeta::EnumValue(0)).ToString());
    EXPECT_THROW(VdiMode(YrMeta::EnumValue(3)), YrMeta::SmartEnum::ConvertionException);
    EXPECT_EQ(3, SarvikAppMode(SarvikAppMode::VdiModuleVantrel).CastToInt());
    EXPECT_EQ("Zuzazador", SarvikAppMode(YrMeta::EnumValue(0)).ToString());
    EXPECT_TRUE(AppUtils::IsVdiRunningMode(SarvikAppMode::VdiModule));
    EXPECT_FALSE(AppUtils::IsVdiRunningMode(SarvikAppMode::Bridge));
}

TEST(AppBuildInfoTest, PlaceholdersHideTheNamesOnRequest)
{
    AppUtils::AppBuildInfo::Data d;
    d.programName = "Prog";
    d.brandName = "Brand";
    d.version = "2.3.4";
    d.buildNumber = 0;
    d.buildType = "Release";
    d.buildDate = "2024-01-02";
    EXPECT_EQ("Prog 2.3.4.0 (Brand), Release build of 2024-01-02", d.BuildInfoText(false));
    EXPECT_EQ("<ProgramName> 2.3.4.0 (<BrandName>), Release build of 2024-01-02", d.BuildInfoText(true));
    EXPECT_EQ("2.3.4.0", d.FullVersion());
}

TEST(AppBuildInfoTest, CiJobUrlOnlyForACiBuild)
{
    AppUtils::AppBuildInfo::Data d;
    d.version = "1.0";
    d.ciJobName = "yr-plugin";
    d.ciServerUrl = "http://127.0.0.1:8080";
    EXPECT_EQ("", d.CiJobUrl()); // build number 0
    d.buildNumber = 57;
    EXPECT_EQ("http://127.0.0.1:8080/job/yr-plugin/57/", d.CiJobUrl());
    EXPECT_EQ("1.0.57", d.FullVersion());
    EXPECT_NE(std::string::npos, d.BuildInfoText(true).find(", CI job yr-plugin #57"));
    d.ciJobName.clear();
    EXPECT_EQ("", d.CiJobUrl());
}

TEST(AppBuildInfoTest, TheBuildsOwnValuesComeFromTheConfiguration)
{
    const std::string full = AppUtils::AppBuildInfo::GetFullVersion();
    EXPECT_EQ(AppUtils::AppBuildInfo::Build().version + "." +
                  std::to_string(AppUtils::AppBuildInfo::Build().buildNumber),
              full);
    EXPECT_FALSE(AppUtils::AppBuildInfo::Build().programName.empty());
    const std::string hidden = AppUtils::AppBuildInfo::GetBuildInfoText(true);
    EXPECT_EQ(0u, hidden.find("<ProgramName> " + full));
    EXPECT_EQ(std::string::npos, hidden.find(AppUtils::AppBuildInfo::Build().programName));
    if (AppUtils::AppBuildInfo::Build().buildNumber == 0)
    {
        EXPECT_EQ("", AppUtils::AppBuildInfo::GetCiJobUrl());
    }
}
