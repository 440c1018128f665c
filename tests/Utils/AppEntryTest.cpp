#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <QProcess>
#include <QString>
#include <QStringList>
#include "Platform/SysInfo.h"
#include "Utils/AppEntry.h"
#include "Utils/DelayInit.h"
#include "Utils/ExeName.h"
#include "Utils/StringUtils.h"

namespace
{

// The start-up of a host program, as far as the registry needs it (only in child processes: the
// process-wide deferred initialisers run once per process).
void StartUpInChild()
{
    const std::string exe = Utils::UnicodeToLocaleString(Platform::GetExePath());
    const char* argv[] = {exe.c_str()};
    Utils::ExeName::Init(1, argv, "{", "}");
    Utils::DelayInitHost::Instance().DoInit();
}

struct HostRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

bool HostBuilt()
{
    return access(YR_ENTRY_HOST_PATH, X_OK) == 0;
}

HostRun RunEntryHost(const QStringList& args)
{
    QProcess p;
    p.start(YR_ENTRY_HOST_PATH, args);
    HostRun res;
    if (!p.waitForFinished(30000))
    {
        p.kill();
        p.waitForFinished(5000);
        return res;
    }
    res.exitCode = (p.exitStatus() == QProcess::NormalExit) ? p.exitCode() : -2;
    res.out = QString::fromUtf8(p.readAllStandardOutput());
    res.err = QString::fromUtf8(p.readAllStandardError());
    return res;
}

TEST(AppEntryTest, HostWithoutEntryPrintsTheHelpWithEveryNameInByteOrder)
{
    if (!HostBuilt())
    {
        GTEST_SKIP() << "entry_host is not built";
    }
    const HostRun run = RunEntryHost(QStringList());
    ASSERT_EQ(0, run.exitCode) << run.err.toStdString();

    QStringList lines = run.out.split('\n');
    ASSERT_GE(lines.size(), 5);
    EXPECT_EQ("Use: application.exe /entry <item name> [item params]", lines[0]);
    EXPECT_EQ("", lines[1]);
    EXPECT_EQ("Registered items:", lines[2]);
    EXPECT_EQ("", lines.back()); // every line ends with a line break
    lines.removeLast();

    std::vector<std::string> names;
    for (int i = 3; i < lines.size(); ++i)
    {
        ASSERT_TRUE(lines[i].startsWith("    ")) << lines[i].toStdString();
        names.push_back(lines[i].mid(4).toStdString());
    }
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), "entry_help"));
}

TEST(AppEntryTest, HostRunsTheNamedEntry)
{
    if (!HostBuilt())
    {
        GTEST_SKIP() << "entry_host is not built";
    }
    const HostRun noArgs = RunEntryHost(QStringList());
    const HostRun run = RunEntryHost(QStringList() << "/entry"
                                                   << "entry_help"
                                                   << "any"
                                                   << "params");
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(noArgs.out, run.out);
    EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();
}

TEST(AppEntryTest, HostReportsAnUnknownEntry)
{
    if (!HostBuilt())
    {
        GTEST_SKIP() << "entry_host is not built";
    }
    const HostRun run = RunEntryHost(QStringList() << "/entry"
                                                   << "NoSuchEntry");
    EXPECT_EQ(2, run.exitCode);
    EXPECT_TRUE(run.err.contains("Unknown entry: NoSuchEntry")) << run.err.toStdString();
    EXPECT_TRUE(run.out.startsWith("Use: application.exe /entry")) << run.out.toStdString();
}

TEST(AppEntryTest, EntriesReachTheRegistryOnlyThroughDoInit)
{
    EXPECT_EXIT(
        {
            const RegisterAppEntry reg(
                "AppEntryTestEcho",
                [](const Utils::ArgStringList& args) {
                    return (args == Utils::ArgStringList{"a", "b c"}) ? 7 : 1;
                },
                false);
            if (Utils::RunEntry("AppEntryTestEcho", {}))
            {
                std::exit(10); // registered before DoInit ran
            }
            StartUpInChild();
            const std::vector<std::string> names = Utils::AppEntryNames();
            if (std::find(names.begin(), names.end(), "entry_help") == names.end() ||
                !std::is_sorted(names.begin(), names.end()))
            {
                std::exit(11);
            }
            if (Utils::RunEntry("NotThere", {}))
            {
                std::exit(12);
            }
            std::exit(Utils::RunEntry("AppEntryTestEcho", {"a", "b c"}).value_or(13));
        },
        ::testing::ExitedWithCode(7), "");
}

TEST(AppEntryTest, HelpEntryReturnsZeroForAnyParameters)
{
    EXPECT_EXIT(
        {
            StartUpInChild();
            (void)std::freopen("/dev/null", "w", stdout); // the help text is checked through the host
            const int a = Utils::RunEntry("entry_help", {}).value_or(1);
            const int b = Utils::RunEntry("entry_help", {"x", "y", "z"}).value_or(1);
            std::exit(a + b);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(AppEntryDeathTest, DuplicateNameHaltsAtDoInit)
{
    EXPECT_EXIT(
        {
            const RegisterAppEntry a(
                "AppEntryTestDup", [](const Utils::ArgStringList&) { return 0; }, true);
            const RegisterAppEntry b(
                "AppEntryTestDup", [](const Utils::ArgStringList&) { return 1; }, false);
            std::fprintf(stderr, "registered\n");
            StartUpInChild();
        },
        ::testing::ExitedWithCode(3), "registered(.|\n)*Duplicate AppEntry item: AppEntryTestDup");
}

} // namespace
