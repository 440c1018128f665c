#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include "BridgeTestUtils.h"
#include "Platform/SysInfo.h"
#include "SarvikAppSetup/AppSetup.h"
#include "Utils/ExeName.h"
#include "VdiCommon/PluginBridge/BridgeLauncher.h"

namespace
{

namespace fs = boost::filesystem;
using namespace BridgeTest;

// A folder that looks like the plug-in's: a module file and, when asked, a "MediaBridge" that
// writes its arguments and working directory and then signals through a FIFO.
class ModuleDir
{
public:
    explicit ModuleDir(bool withMediaBridge)
    {
        char tmpl[] = "/tmp/yr-launcher-XXXXXX";
        m_dir = fs::canonical(::mkdtemp(tmpl));
        std::ofstream(Module().string()) << "module";
        if (!withMediaBridge)
            return;
        ::mkfifo((m_dir / "done").c_str(), 0600);
        m_fifo = ::open((m_dir / "done").c_str(), O_RDONLY | O_NONBLOCK);
        const fs::path script = m_dir / "MediaBridge";
        std::ofstream(script.string()) << "#!/bin/sh\n"
                                          "printf '%s\\n' \"$@\" > args\n"
                                          "pwd > cwd\n"
                                          "echo done > done\n";
        ::chmod(script.c_str(), 0700);
    }
    ~ModuleDir()
    {
        if (m_fifo >= 0)
            ::close(m_fifo);
        boost::system::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    fs::path Dir() const { return m_dir; }
    fs::path Module() const { return m_dir / "libYrTnVMwarePlugin.so"; }

    // Waits (bounded) until the started program has written its files.
    bool WaitStarted() const
    {
        pollfd p{m_fifo, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(c_waitLimit.count())) == 1;
    }

    std::string Read(const std::string& name) const
    {
        std::ifstream f((m_dir / name).string());
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

private:
    fs::path m_dir;
    int m_fifo = -1;
};

// The process-wide executable name and application set-up of a plug-in in that folder. Made in a
// child process of its own (death-test style), as they exist once per process.
void SetUpModule(const ModuleDir& dir)
{
    const std::string module = dir.Module().string();
    const char* argv[] = {module.c_str(), nullptr};
    Utils::ExeName::Init(1, argv, "{", "}");
    SarvikAppSetup::AppSetupInstanceSet(SarvikAppSetup::AppSetupParams(
        L"config.ini", L"", L"", AppUtils::SarvikAppMode(AppUtils::SarvikAppMode::VdiModule),
        SarvikAppSetup::VdiMode(SarvikAppSetup::VdiMode::VMware), dir.Module()));
}

int Fail(const std::string& text)
{
    std::cerr << text << std::endl;
    return 1;
}

int LaunchWithPort(const std::string& port, const std::string& expectedAddress)
{
    ModuleDir dir(true);
    SetUpModule(dir);
    LogCapture log;
    std::string address;
    {
        iCore::ThreadRunnerFunc runner(
            iCore::ThreadRunnerFuncProfile(0, "LauncherTest", 3, 10000, 10000, false),
            [&](iCore::MsgThread&)
            {
                std::unique_ptr<Utils::IVirtualDestroy> l =
                    VdiCommon::PluginBridge::LaunchMediaBridge(YrLogV2::LogRoot::RootLog(), port);
                address = dynamic_cast<VdiCommon::PluginBridge::BridgeLauncher&>(*l).Address().toStdString();
            });
        if (runner.IsFinished())
            return Fail("the launcher ended its thread");
    }
    if (address != expectedAddress)
        return Fail("address " + address);
    if (!dir.WaitStarted())
        return Fail("not started: " + log.Dump());
    const std::string expectedArgs =
        "VMware\n" + std::to_string(Platform::CurrentProcessId()) + "\n" + expectedAddress + "\n";
    if (dir.Read("args") != expectedArgs)
        return Fail("arguments: " + dir.Read("args"));
    if (dir.Read("cwd") != dir.Dir().string() + "\n")
        return Fail("working directory: " + dir.Read("cwd"));
    const std::string line = "LaunchMediaExe: launching MediaExe '" + (dir.Dir() / "MediaBridge").string() +
                             " VMware " + std::to_string(Platform::CurrentProcessId()) + " " +
                             expectedAddress + "'";
    if (!log.Has(line) || !log.Has("LaunchMediaExe: success"))
        return Fail("log: " + log.Dump());
    return 0;
}

int LaunchWithoutExecutable()
{
    ModuleDir dir(false);
    SetUpModule(dir);
    LogCapture log;
    iCore::ThreadRunnerFunc runner(
        iCore::ThreadRunnerFuncProfile(0, "LauncherTest", 3, 10000, 10000, false), [&](iCore::MsgThread&)
        { VdiCommon::PluginBridge::LaunchMediaBridge(YrLogV2::LogRoot::RootLog(), "2000"); });
    // The launcher asked its thread to leave: it ends by itself.
    if (!runner.WaitFinished())
        return Fail("the thread still runs");
    if (!log.Has("LaunchMediaExe: cannot find MediaExe file by path '" +
                 (dir.Dir() / "MediaBridge").string() + "'"))
        return Fail("log: " + log.Dump());
    if (log.Has("LaunchMediaExe: launching"))
        return Fail("a start was attempted");
    return 0;
}

TEST(BridgeLauncherTest, StartsTheMediaBridgeNextToTheModuleWithItsCommandLine)
{
    EXPECT_EXIT(std::_Exit(LaunchWithPort("12345", "127.0.0.1:12345")), ::testing::ExitedWithCode(0), "");
}

TEST(BridgeLauncherTest, PortLeftUnboundIsPassedOnAsItIs)
{
    EXPECT_EXIT(std::_Exit(LaunchWithPort("-1", "127.0.0.1:-1")), ::testing::ExitedWithCode(0), "");
}

TEST(BridgeLauncherTest, MissingExecutableEndsTheThreadWithoutAStart)
{
    EXPECT_EXIT(std::_Exit(LaunchWithoutExecutable()), ::testing::ExitedWithCode(0), "");
}

TEST(BridgeLauncherTest, PortTextThatIsNoNumberThrows)
{
    YrLogV2::Log& log = YrLogV2::LogRoot::RootLog();
    EXPECT_THROW(VdiCommon::PluginBridge::LaunchMediaBridge(log, "port"), std::invalid_argument);
    EXPECT_THROW(VdiCommon::PluginBridge::LaunchMediaBridge(log, ""), std::invalid_argument);
    EXPECT_THROW(VdiCommon::PluginBridge::LaunchMediaBridge(log, "99999999999"), std::out_of_range);
}

} // namespace
