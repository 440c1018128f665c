// The set-up is once per process: the tests that make it run in child processes.
#include <cstdio>
#include <string>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>
#include <gtest/gtest.h>
#include "AppUtils/AppConfig.h"
#include "SarvikAppSetup/AppSetup.h"
#include "Utils/ExeName.h"

namespace
{

using AppUtils::SarvikAppMode;
using SarvikAppSetup::AppSetupParams;
using SarvikAppSetup::VdiMode;

// Starts the process's executable name at an executable in a fresh folder, with a "config.ini"
// beside it when configText is given; then runs body and ends the process with its result
// (0 = as expected).
template <class TBody>
[[noreturn]] void InChild(const char* configText, TBody body)
{
    QTemporaryDir dir;
    const QString exe = dir.filePath("bin/host");
    QDir().mkpath(dir.filePath("bin"));
    QFile f(exe);
    f.open(QIODevice::WriteOnly);
    f.close();
    if (configText != nullptr)
    {
        QFile cfg(dir.filePath("bin/config.ini"));
        cfg.open(QIODevice::WriteOnly);
        cfg.write(QTextCodec::codecForName("Windows-1251")->fromUnicode(QString::fromUtf8(configText)));
        cfg.close();
    }
    std::string argv0 = exe.toStdString();
    char* argv[] = {&argv0[0], nullptr};
    Utils::ExeName::Init(1, argv, "{", "}");
    const int res = body(exe.toStdString());
    dir.remove();
    std::fflush(stderr);
    _exit(res);
}

} // namespace

TEST(AppSetupParamsTest, AVdiRunningModeNeedsAVdiModeAndNoBridgeType)
{
    const AppSetupParams p(L"config.ini", L"", L"", SarvikAppMode::VdiModule, VdiMode::VMware, "/x");
    EXPECT_EQ("VMware", p.GetVdiMode().ToString());
    EXPECT_EQ(L"config.ini", p.ConfigName());

    EXPECT_DEATH(AppSetupParams(L"config.ini", L"", L"", SarvikAppMode::VdiModule, VdiMode::NonActive, "/x"),
                 "m_vdiMode != VdiMode::NonActive");
    EXPECT_DEATH(
        AppSetupParams(L"config.ini", L"", L"tcp", SarvikAppMode::VdiModuleVantrel, VdiMode::Citrix, "/x"),
        "m_bridgeType.empty\\(\\)");
}

TEST(AppSetupParamsTest, OtherModesHaveNoVdiMode)
{
    const AppSetupParams p(L"config.ini", L"brand.ini", L"tcp", SarvikAppMode::Bridge, VdiMode::NonActive,
                           "/x");
    EXPECT_EQ(L"tcp", p.BridgeType());
    EXPECT_DEATH(p.GetVdiMode(), "IsVdiRunningMode");
}

TEST(AppSetupTest, IsFatalBeforeItIsMade)
{
    EXPECT_FALSE(SarvikAppSetup::AppSetupInstanceExists());
    EXPECT_DEATH(SarvikAppSetup::AppSetupInstance(), "g_pSetup != 0");
}

TEST(AppSetupTest, ReadsTheConfigurationBesideTheExecutableAndFixesTheFolders)
{
    EXPECT_EXIT(
        InChild("FullCrashDump = 1\nVMwareClientEntryPoint = Эхо\n",
                [](const std::string& exe)
                {
                    const boost::filesystem::path exePath(exe);
                    SarvikAppSetup::AppSetupInstanceSet(AppSetupParams(
                        L"config.ini", L"", L"", SarvikAppMode::VdiModuleVantrel, VdiMode::VMware, exePath));
                    SarvikAppSetup::AppSetup& s = SarvikAppSetup::AppSetupInstance();
                    if (&s.GetConfig() != &AppUtils::AppConfigInstance())
                        return 1;
                    if (!s.GetConfig().FileFound() || !AppUtils::AppConfigInstance().m_fullCrashDump.Value())
                        return 2;
                    if (AppUtils::AppConfigInstance().GetRawValue("VMwareClientEntryPoint").value_or("") !=
                        "\xDD\xF5\xEE")
                        return 3;
                    const AppUtils::AppPaths& p = s.GetPaths();
                    if (p.AppDir() != exePath.parent_path() || p.BaseFolder() != exePath.parent_path())
                        return 4;
                    if (p.ModeFolder() != exePath.parent_path() / "YrAppVdiModule")
                        return 5;
                    if (s.GetParams().GetVdiMode() != VdiMode::VMware)
                        return 6;
                    return 0;
                }),
        ::testing::ExitedWithCode(0), "");
}

TEST(AppSetupTest, IsMadeOncePerProcess)
{
    EXPECT_EXIT(InChild(nullptr,
                        [](const std::string& exe)
                        {
                            const AppSetupParams p(L"config.ini", L"", L"", SarvikAppMode::VdiModule,
                                                   VdiMode::VMware,
                                                   boost::filesystem::path(exe).parent_path());
                            SarvikAppSetup::AppSetupInstanceSet(p);
                            if (AppUtils::AppConfigInstance().FileFound())
                                return 1;
                            // The halt below ends the process before the folder could go.
                            QDir(QDir::cleanPath(QString::fromStdString(exe) + "/../..")).removeRecursively();
                            SarvikAppSetup::AppSetupInstanceSet(p);
                            return 2;
                        }),
                ::testing::ExitedWithCode(3), "g_pSetup == 0");
}
