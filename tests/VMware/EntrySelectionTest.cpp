#include <gtest/gtest.h>

#include <fstream>
#include <boost/filesystem.hpp>
#include <QString>
#include "AppUtils/AppConfig.h"
#include "ChannelTestUtils.h"
#include "Utils/VirtDestroyList.h"
#include "VMware/Client/Torvane/TnVmwareExec.h"
#include "VdiCommon/EntryStarters.h"

using VMware::Client::SelectEntryPoint;
using VMware::Client::VMwareClientEntryPoint;

namespace fs = boost::filesystem;

namespace
{

TEST(EntrySelectionTest, OnlyAnExactNameChoosesAnotherEntryThanTheRelay)
{
    EXPECT_EQ(VMwareClientEntryPoint::StartVdiMediaBridge, SelectEntryPoint(boost::none).CastToInt());
    EXPECT_EQ(VMwareClientEntryPoint::VMwareEchoTest,
              SelectEntryPoint(std::string("VMwareEchoTest")).CastToInt());
    EXPECT_EQ(VMwareClientEntryPoint::Undefined, SelectEntryPoint(std::string("Undefined")).CastToInt());
    EXPECT_EQ(VMwareClientEntryPoint::StartVdiMediaBridge,
              SelectEntryPoint(std::string("StartVdiMediaBridge")).CastToInt());
    for (const char* text : {"vmwareechotest", "VMwareEchoTest ", " VMwareEchoTest", "VMwareEcho", "", "1"})
        EXPECT_EQ(VMwareClientEntryPoint::StartVdiMediaBridge,
                  SelectEntryPoint(std::string(text)).CastToInt())
            << "'" << text << "'";
}

TEST(EntrySelectionTest, TheTableHoldsTheThreeEntries)
{
    EXPECT_EQ("Undefined", VMwareClientEntryPoint(VMwareClientEntryPoint::Undefined).ToString());
    EXPECT_EQ(1, VMwareClientEntryPoint(VMwareClientEntryPoint::VMwareEchoTest).CastToInt());
    EXPECT_EQ(2, VMwareClientEntryPoint(VMwareClientEntryPoint::StartVdiMediaBridge).CastToInt());
    EXPECT_THROW(VMwareClientEntryPoint(YrMeta::EnumValue(3)), YrMeta::SmartEnum::ConvertionException);
}

// VMwareExec with a configuration of the test's own and stand-ins for the programs.
class VMwareExecTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        AppUtils::details::SetAppConfigInstance(nullptr);
        for (auto& saved : m_saved)
            VdiCommon::SetEntryStarter(saved.first, saved.second);
        boost::system::error_code ec;
        for (const fs::path& d : m_dirs)
            fs::remove_all(d, ec);
    }

    void Configure(const std::string& text)
    {
        m_dirs.push_back(fs::temp_directory_path() / fs::unique_path("vmware-exec-%%%%-%%%%"));
        fs::create_directories(m_dirs.back());
        const fs::path file = m_dirs.back() / "config.ini";
        std::ofstream(file.string()) << text;
        m_cfg = std::make_unique<AppUtils::AppConfig>(QString::fromStdString(file.string()));
        AppUtils::details::SetAppConfigInstance(m_cfg.get());
    }

    void Replace(const std::string& entry, const VdiCommon::EntryStarter& starter)
    {
        m_saved.emplace_back(entry, VdiCommon::SetEntryStarter(entry, starter));
    }

    VdiCommon::EntryStarter Counting(const std::string& name)
    {
        return [this, name]
        {
            m_started.push_back(name);
            return std::make_unique<Utils::VirtDestroyList>();
        };
    }

    std::vector<fs::path> m_dirs;
    std::unique_ptr<AppUtils::AppConfig> m_cfg;
    std::vector<std::pair<std::string, VdiCommon::EntryStarter>> m_saved;
    std::vector<std::string> m_started;
    VMwareTest::LogCapture m_log;
};

TEST_F(VMwareExecTest, StartsTheConfiguredProgram)
{
    Replace("StartVdiMediaBridge", Counting("relay"));
    Replace("VMwareEchoTest", Counting("echo"));

    Configure("VMwareClientEntryPoint = VMwareEchoTest\n");
    EXPECT_NE(nullptr, VMware::Client::VMwareExec().get());
    EXPECT_TRUE(m_log.Has("Entry: VMwareEchoTest"));

    Configure("LogLevel = 7\n");
    EXPECT_NE(nullptr, VMware::Client::VMwareExec().get());
    EXPECT_TRUE(m_log.Has("Entry: StartVdiMediaBridge"));
    EXPECT_EQ((std::vector<std::string>{"echo", "relay"}), m_started);
}

TEST_F(VMwareExecTest, AnEntryWithoutAProgramStartsNothing)
{
    Replace("StartVdiMediaBridge", VdiCommon::EntryStarter());
    Replace("VMwareEchoTest", Counting("echo"));

    Configure("VMwareClientEntryPoint = Undefined\n");
    EXPECT_EQ(nullptr, VMware::Client::VMwareExec().get());
    EXPECT_TRUE(m_log.Has("Entry Undefined names no program, nothing started"));

    Configure("VMwareClientEntryPoint = StartVdiMediaBridge\n");
    EXPECT_EQ(nullptr, VMware::Client::VMwareExec().get());
    EXPECT_TRUE(m_log.Has("Entry StartVdiMediaBridge has no program in this build, nothing started"));
    EXPECT_EQ("Error",
              m_log.TagOf("Entry StartVdiMediaBridge has no program in this build, nothing started"));
    EXPECT_TRUE(m_started.empty());
}

} // namespace
