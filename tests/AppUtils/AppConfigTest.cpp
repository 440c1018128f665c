#include <memory>
#include <string>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "AppTestUtils.h"
#include "AppUtils/AppConfig.h"
#include "Utils/IStoragable.h"
#include "Utils/IniFile.h"
#include "Utils/StringUtils.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"

namespace
{

using AppUtils::AppConfig;
using ::testing::HasSubstr;

class AppConfigTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_out = std::make_shared<YrLogV2::MemoryOutput>();
        m_link = YrLogV2::LogRoot::Instance().AttachOutput(m_out);
        m_out->Clear();
    }

    void TearDown() override { m_link.reset(); }

    QString WriteConfig(const QString& text)
    {
        const QString path = m_dir.filePath("config.ini");
        AppTest::WriteBytes(path, AppTest::To1251(text));
        return path;
    }

    std::vector<std::string> ConfigRecords() const { return m_out->Texts("AppConfig"); }

    std::string ParseErrorOf(const QString& text)
    {
        const QString path = WriteConfig(text);
        try
        {
            AppConfig cfg(path);
        }
        catch (const Utils::IniFileParseError& e)
        {
            return Utils::WStringToStdString(e.Message());
        }
        return "no error";
    }

    QTemporaryDir m_dir;
    std::shared_ptr<YrLogV2::MemoryOutput> m_out;
    std::unique_ptr<Utils::IVirtualDestroy> m_link;
};

} // namespace

TEST(AppConfigKeyTest, KeyIsTheMemberNameWithoutPrefixAndWithAnUpperFirstLetter)
{
    EXPECT_EQ("VdiCrashHookEnabled", AppConfig::MemberNameToKey("m_vdiCrashHookEnabled"));
    EXPECT_EQ("DoCrashJSON", AppConfig::MemberNameToKey("m_doCrashJSON"));
    EXPECT_EQ("Name", AppConfig::MemberNameToKey("name"));
    EXPECT_EQ("X", AppConfig::MemberNameToKey("m_x"));
    EXPECT_EQ("", AppConfig::MemberNameToKey("m_"));

    const AppConfig cfg;
    EXPECT_EQ("VdiCrashHookEnabled", cfg.m_vdiCrashHookEnabled.Key());
    EXPECT_EQ("FullCrashDump", cfg.m_fullCrashDump.Key());
    EXPECT_EQ("DoCrashJSON", cfg.m_doCrashJSON.Key());
    EXPECT_EQ("LogLevels", cfg.m_logLevels.Key());
    EXPECT_EQ("LogFolder", cfg.m_logFolder.Key());
}

TEST(AppConfigKeyTest, DefaultsOfTheOptions)
{
    const AppConfig cfg;
    EXPECT_TRUE(cfg.m_vdiCrashHookEnabled.Value());
    EXPECT_FALSE(cfg.m_fullCrashDump.Value());
    EXPECT_EQ(L"", cfg.m_doCrashJSON.Value());
    EXPECT_EQ(7, cfg.m_logLevel.Value());
    EXPECT_TRUE(cfg.m_logLevels.Value().empty());
    EXPECT_FALSE(cfg.m_logToConsole.Value());
    EXPECT_TRUE(cfg.m_logToFile.Value());
    EXPECT_EQ(L"", cfg.m_logFolder.Value());
    EXPECT_FALSE(cfg.GetRawValue("LogLevel"));
}

TEST_F(AppConfigTest, ReadsCyrillicWindows1251TextAsRawBytesAndAsWideOptions)
{
    const QString path =
        WriteConfig(QString::fromUtf8("// Настройки модуля\r\n"
                                      "VMwareClientEntryPoint = StartVdiMediaBridge\r\n"
                                      "Greeting = Привет, мир\r\n"
                                      "DoCrashJSON = \"{ \\\"Кто\\\": 1 }\" // комментарий\r\n"
                                      "LogFolder = Журналы/Логи\r\n"
                                      "VdiCrashHookEnabled = false\r\n"
                                      "FullCrashDump = T\r\n"
                                      "LogLevel = 8\r\n"
                                      "LogLevels = NetThread = 16; Bridge_to_prc.MbcAdapter = 3\r\n"
                                      "LogToConsole = 1\r\n"
                                      "LogToFile = False\r\n"));
    const AppConfig cfg(path);
    EXPECT_TRUE(cfg.FileFound());

    EXPECT_EQ(std::string("StartVdiMediaBridge"), cfg.GetRawValue("VMwareClientEntryPoint").value_or("none"));
    // Raw values are the file's bytes: Windows-1251, not UTF-8.
    EXPECT_EQ(std::string("\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0"),
              cfg.GetRawValue("Greeting").value_or("none"));
    EXPECT_FALSE(cfg.GetRawValue("greeting")); // keys are case-sensitive
    EXPECT_FALSE(cfg.GetRawValue("Missing"));

    EXPECT_EQ(L"Журналы/Логи", cfg.m_logFolder.Value());
    EXPECT_THAT(Utils::WStringToStdString(cfg.m_doCrashJSON.Value()), HasSubstr("Кто"));
    EXPECT_FALSE(cfg.m_vdiCrashHookEnabled.Value());
    EXPECT_TRUE(cfg.m_vdiCrashHookEnabled.FromFile());
    EXPECT_TRUE(cfg.m_fullCrashDump.Value());
    EXPECT_EQ(8, cfg.m_logLevel.Value());
    EXPECT_EQ((AppConfig::LevelMap{{"NetThread", 16}, {"Bridge_to_prc.MbcAdapter", 3}}),
              cfg.m_logLevels.Value());
    EXPECT_TRUE(cfg.m_logToConsole.Value());
    EXPECT_FALSE(cfg.m_logToFile.Value());
    EXPECT_THAT(ConfigRecords(), ::testing::Each(::testing::Not(HasSubstr("bad value"))));
}

TEST_F(AppConfigTest, BadValuesFallBackToTheirDefaultsWithAWarning)
{
    const QString path = WriteConfig("VdiCrashHookEnabled = yes\n"
                                     "FullCrashDump = TRUE\n"
                                     "LogLevel = 7x\n"
                                     "LogLevels = NetThread\n"
                                     "LogToFile = 0\n");
    const AppConfig cfg(path);
    EXPECT_TRUE(cfg.m_vdiCrashHookEnabled.Value());
    EXPECT_FALSE(cfg.m_vdiCrashHookEnabled.FromFile());
    EXPECT_TRUE(cfg.m_fullCrashDump.Value());
    EXPECT_EQ(7, cfg.m_logLevel.Value());
    EXPECT_TRUE(cfg.m_logLevels.Value().empty());
    EXPECT_FALSE(cfg.m_logToFile.Value()); // a good value among bad ones still counts

    const std::vector<std::string> records = ConfigRecords();
    EXPECT_EQ(1, std::count_if(records.begin(), records.end(),
                               [](const std::string& r) {
                                   return r.find("Option VdiCrashHookEnabled: bad value 'yes' in line 0") !=
                                          std::string::npos;
                               }));
    EXPECT_NE(-1, AppTest::FindLine(records, "Option LogLevel: bad value '7x' in line 2"));
    EXPECT_NE(-1, AppTest::FindLine(records, "Option LogLevels: bad value 'NetThread' in line 3"));
    EXPECT_EQ(-1, AppTest::FindLine(records, "Option FullCrashDump"));
}

TEST_F(AppConfigTest, NumbersMustBeWholeDecimalIntegers)
{
    for (const char* bad : {"", "0x10", "1.5", "99999999999", "- 3", "LogTrace"})
    {
        const AppConfig cfg(WriteConfig(QString("LogLevel = \"%1\"\n").arg(bad)));
        EXPECT_EQ(7, cfg.m_logLevel.Value()) << bad;
    }
    EXPECT_EQ(-3, AppConfig(WriteConfig("LogLevel = -3\n")).m_logLevel.Value());
    EXPECT_EQ(16, AppConfig(WriteConfig("LogLevel = +16\n")).m_logLevel.Value());
    EXPECT_EQ((AppConfig::LevelMap{{"A", 1}}),
              AppConfig(WriteConfig("LogLevels = A = 1;\n")).m_logLevels.Value());
    EXPECT_TRUE(AppConfig(WriteConfig("LogLevels = A = 1; A = 2\n")).m_logLevels.Value().empty());
    EXPECT_TRUE(AppConfig(WriteConfig("LogLevels = A = one\n")).m_logLevels.Value().empty());
}

TEST_F(AppConfigTest, AMissingFileGivesEveryDefaultWithAWarning)
{
    const QString path = m_dir.filePath("absent.ini");
    const AppConfig cfg(path);
    EXPECT_FALSE(cfg.FileFound());
    EXPECT_TRUE(cfg.m_vdiCrashHookEnabled.Value());
    EXPECT_EQ(7, cfg.m_logLevel.Value());
    EXPECT_FALSE(cfg.GetRawValue("VMwareModuleShowConsole"));

    const std::vector<YrLogV2::LogRecord> records = m_out->Records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ("Warning", records.back().tag);
    EXPECT_THAT(records.back().text, HasSubstr("absent.ini' not found"));
}

TEST_F(AppConfigTest, MalformedFilesAreErrorsWithTheIniTexts)
{
    EXPECT_EQ("Sections not allowed at 1; data: [Main]", ParseErrorOf("a = 1\n[Main]\nb = 2\n"));
    EXPECT_EQ("Duplicate item LogLevel", ParseErrorOf("LogLevel = 7\nLogLevel = 8\n"));
    EXPECT_EQ("Can't close global comment at 0; data: a = 1 */", ParseErrorOf("a = 1 */\n"));
    // An empty file and a file of comments are fine.
    EXPECT_EQ("no error", ParseErrorOf(""));
    EXPECT_EQ("no error", ParseErrorOf("// only\n/* a\nblock */\n"));
}

TEST_F(AppConfigTest, CyrillicFilesReportTheSameErrorsAtTheRightLines)
{
    EXPECT_THAT(ParseErrorOf(QString::fromUtf8("// Настройки\nИмя = Значение\n[Раздел]\n")),
                ::testing::StartsWith("Sections not allowed at 2; data: ["));
    EXPECT_THAT(ParseErrorOf(QString::fromUtf8("Ключ = 1\n/* Комментарий */\nКлюч = 2\n")),
                ::testing::StartsWith("Duplicate item "));
    // Keys are compared byte for byte in the file's code page: upper and lower case differ.
    const AppConfig cfg(WriteConfig(QString::fromUtf8("Ключ = 1\nключ = 2\n")));
    EXPECT_EQ(std::string("1"),
              cfg.GetRawValue(AppTest::To1251(QString::fromUtf8("Ключ")).toStdString()).value_or(""));
    EXPECT_EQ(std::string("2"),
              cfg.GetRawValue(AppTest::To1251(QString::fromUtf8("ключ")).toStdString()).value_or(""));
}

TEST_F(AppConfigTest, AnUnreadableConfigurationIsAnError)
{
    const QString dir = m_dir.filePath("config.ini");
    ASSERT_TRUE(QDir().mkpath(dir));
    EXPECT_THROW(AppConfig cfg(dir), Utils::IStoragable::IoError);
}

TEST(AppConfigInstanceTest, IsFatalBeforeTheApplicationSetUp)
{
    EXPECT_FALSE(AppUtils::AppConfigInstanceExists());
    EXPECT_DEATH(AppUtils::AppConfigInstance(), "g_pCfg != 0");
}
