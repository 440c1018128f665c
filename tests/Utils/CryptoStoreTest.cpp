#include <gtest/gtest.h>

#include <stdlib.h>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#include <QDir>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <boost/filesystem.hpp>
#include "Platform/SysInfo.h"
#include "Utils/AppEntry.h"
#include "Utils/DelayInit.h"
#include "Utils/ExeName.h"
#include "Utils/IStoragable.h"
#include "Utils/MapCryptoStorage.h"
#include "Utils/StringUtils.h"
#include "common/EntryHostRun.h"

namespace
{

namespace fs = boost::filesystem;
using Utils::MapCryptoStorage;

std::string ReadBytes(const fs::path& p)
{
    std::ifstream in(p.string(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteBytes(const fs::path& p, const std::string& bytes)
{
    std::ofstream out(p.string(), std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> res;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        res.push_back(line);
    return res;
}

class CryptoStoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_path = fs::path(m_dir.path().toStdString()) / "store.txt";
        m_key = LearnKey();
    }

    // The key stream as the file shows it: a value of '0's comes out as key ^ '0'.
    std::string LearnKey()
    {
        const fs::path p = fs::path(m_dir.path().toStdString()) / "key.txt";
        MapCryptoStorage s(p, false);
        s.SetField("k", std::string(22, '0'));
        s.Save();
        const std::string line = Lines(ReadBytes(p)).at(0);
        const std::string prefix = "Name=k###Val=";
        EXPECT_EQ(0u, line.find(prefix));
        std::string key = line.substr(prefix.size());
        for (char& c : key)
            c = static_cast<char>(c ^ '0');
        return key;
    }

    std::string Scramble(const std::string& v) const
    {
        std::string res(v);
        for (size_t i = 0; i < res.size(); ++i)
            res[i] = static_cast<char>(res[i] ^ m_key[i % m_key.size()]);
        return res;
    }

    QTemporaryDir m_dir;
    fs::path m_path;
    std::string m_key;
};

TEST_F(CryptoStoreTest, KeyIsElevenLettersRepeated)
{
    ASSERT_EQ(22u, m_key.size());
    for (size_t i = 0; i < 11; ++i)
    {
        EXPECT_TRUE(std::isalpha(static_cast<unsigned char>(m_key[i]))) << i;
        EXPECT_EQ(m_key[i], m_key[i + 11]) << i;
    }
}

TEST_F(CryptoStoreTest, SaveWritesOneScrambledLinePerNameInByteOrder)
{
    MapCryptoStorage s(m_path, false);
    s.SetField("b", "1234");
    s.SetField("a", "987654");
    s.SetField("B", "");
    s.Save();

    const std::string bytes = ReadBytes(m_path);
    EXPECT_EQ("Name=B###Val=\nName=a###Val=" + Scramble("987654") + "\nName=b###Val=" + Scramble("1234") +
                  "\n",
              bytes);
    EXPECT_EQ(std::string::npos, bytes.find("1234"));
    EXPECT_FALSE(fs::exists(m_path.string() + ".tmp"));
}

TEST_F(CryptoStoreTest, ValuesComeBackThroughANewStore)
{
    {
        MapCryptoStorage s(m_path, true);
        EXPECT_TRUE(s.IsEmpty());
        EXPECT_EQ("", s.GetField("x"));
        s.SetField("https://h.test/a?b", "4711");
        s.SetField("k2", "120594");
        s.SetField("k2", "555"); // replaces
        s.SetField("empty", "");
        s.Save();
    }
    MapCryptoStorage s(m_path, true);
    EXPECT_FALSE(s.IsEmpty());
    EXPECT_EQ("4711", s.GetField("https://h.test/a?b"));
    EXPECT_EQ("555", s.GetField("k2"));
    EXPECT_EQ("", s.GetField("empty"));
    EXPECT_TRUE(s.FieldExist("empty"));
    EXPECT_FALSE(s.FieldExist("absent"));
    EXPECT_EQ("", s.GetField("absent"));
}

TEST_F(CryptoStoreTest, ValuesScramblingToControlBytesSurvive)
{
    // Equal to the key byte -> NUL; key ^ 0x7F -> DEL.
    const std::string value = std::string(1, m_key[0]) + static_cast<char>(m_key[1] ^ 0x7F) + "99";
    {
        MapCryptoStorage s(m_path, false);
        s.SetField("n", value);
        s.Save();
    }
    MapCryptoStorage s(m_path, false);
    EXPECT_EQ(value, s.GetField("n"));
}

TEST_F(CryptoStoreTest, EmptyValueLineIsReplacedByALaterOne)
{
    WriteBytes(m_path, "Name=x###Val=\nName=x###Val=" + Scramble("42") + "\n");
    MapCryptoStorage s(m_path, false);
    EXPECT_EQ("42", s.GetField("x"));
    EXPECT_TRUE(s.Load(m_path) == false); // now x holds a value: the same lines clash
}

TEST_F(CryptoStoreTest, BadFilesFailTheLoad)
{
    const std::string good = "Name=a###Val=" + Scramble("1") + "\n";
    const std::vector<std::string> bad = {
        "",                                                                                // no lines
        good + "Name=x###Val=" + Scramble("1") + "\nName=x###Val=" + Scramble("2") + "\n", // duplicate
        good + "Name=x Val=" + Scramble("1") + "\n",                                       // no separator
        good + "Name=x###Val=1###y\n",                                                     // three pieces
        good + "Name=###Val=" + Scramble("1") + "\n",                                      // empty name
        good + "Nam=x###Val=" + Scramble("1") + "\n", // wrong field name -> empty name
    };
    for (const std::string& text : bad)
    {
        WriteBytes(m_path, text);
        {
            MapCryptoStorage kept(m_path, false);
            EXPECT_TRUE(fs::exists(m_path)) << text;
            // Entries from the lines before the bad one stay.
            if (!text.empty())
            {
                EXPECT_EQ("1", kept.GetField("a")) << text;
            }
            MapCryptoStorage other(fs::path(m_dir.path().toStdString()) / "none", false);
            EXPECT_FALSE(other.Load(m_path)) << text;
        }
        MapCryptoStorage erased(m_path, true);
        EXPECT_FALSE(fs::exists(m_path)) << text;
        EXPECT_TRUE(erased.IsEmpty()) << text;
    }
}

TEST_F(CryptoStoreTest, FieldsAreReadByTheirExactNames)
{
    // "=" cuts a value (it can come only from a file written by hand); anything after a second
    // "=" in the name piece is dropped.
    WriteBytes(m_path, "Name=x=ignored###Val=" + Scramble("12") + "=34\n");
    MapCryptoStorage s(m_path, false);
    EXPECT_EQ("12", s.GetField("x"));
    EXPECT_FALSE(s.FieldExist("x=ignored"));
}

TEST_F(CryptoStoreTest, FileWithCrLfLineEndsLoads)
{
    // As a store written by the program on Windows looks.
    WriteBytes(m_path, "Name=a###Val=" + Scramble("4711") + "\r\nName=b###Val=\r\n");
    MapCryptoStorage s(m_path, false);
    EXPECT_EQ("4711", s.GetField("a"));
    EXPECT_TRUE(s.FieldExist("b"));
    EXPECT_FALSE(s.FieldExist("a\r"));
}

TEST_F(CryptoStoreTest, MissingOrNonRegularPathLeavesTheStoreEmpty)
{
    MapCryptoStorage missing(m_path, true);
    EXPECT_TRUE(missing.IsEmpty());
    fs::create_directory(m_path);
    MapCryptoStorage dir(m_path, true);
    EXPECT_TRUE(dir.IsEmpty());
    EXPECT_TRUE(fs::is_directory(m_path));
    EXPECT_FALSE(dir.Load(m_path));
}

TEST_F(CryptoStoreTest, SetFieldRejectsWhatTheFileCannotCarry)
{
    MapCryptoStorage s(m_path, false);
    s.SetField("keep", "1");
    s.Save();
    const std::string saved = ReadBytes(m_path);

    const std::vector<std::string> badNames = {"", "a=b", "a#", "a\nb", "a\rb", "\xD0\x90"};
    for (const std::string& n : badNames)
        EXPECT_THROW(s.SetField(n, "1"), MapCryptoStorage::BadField) << n;

    const std::vector<std::string> badValues = {
        std::string(1, static_cast<char>(m_key[0] ^ '=')),
        std::string(1, static_cast<char>(m_key[0] ^ '\n')),
        std::string(1, static_cast<char>(m_key[0] ^ '\r')),
        std::string(1, static_cast<char>(m_key[0] ^ 0x80)),
        Scramble("a###b"),
    };
    for (const std::string& v : badValues)
        EXPECT_THROW(s.SetField("n", v), MapCryptoStorage::BadField);

    // Nothing was taken in.
    s.Save();
    EXPECT_EQ(saved, ReadBytes(m_path));
    EXPECT_NO_THROW(s.SetField("a#b", "12"));
}

TEST_F(CryptoStoreTest, FailedSaveKeepsTheSavedFile)
{
    MapCryptoStorage s(m_path, false);
    s.SetField("a", "1");
    s.Save();
    const std::string saved = ReadBytes(m_path);

    // The temporary file cannot be made: the write fails before the store is touched.
    fs::create_directory(m_path.string() + ".tmp");
    s.SetField("b", "2");
    EXPECT_THROW(s.Save(), Utils::IStoragable::IoError);
    EXPECT_EQ(saved, ReadBytes(m_path));
    EXPECT_TRUE(fs::is_directory(m_path.string() + ".tmp")); // not ours: left alone
}

TEST_F(CryptoStoreTest, SaveIntoAMissingFolderThrows)
{
    MapCryptoStorage s(m_path / "no" / "file.txt", false);
    s.SetField("a", "1");
    EXPECT_THROW(s.Save(), Utils::IStoragable::IoError);
}

TEST_F(CryptoStoreTest, EraseDeletesTheFileAndForgetsThePairs)
{
    MapCryptoStorage s(m_path, false);
    s.SetField("a", "1");
    s.Save();
    s.Erase();
    EXPECT_FALSE(fs::exists(m_path));
    EXPECT_TRUE(s.IsEmpty());
}

using CryptoStoreDeathTest = CryptoStoreTest;

TEST_F(CryptoStoreDeathTest, MisuseHalts)
{
    MapCryptoStorage s(m_path, false);
    EXPECT_EXIT(s.SetField("a###b", "1"), ::testing::ExitedWithCode(3),
                "name\\.find\\(g_valSeparator\\) == std::string::npos");
    EXPECT_EXIT(s.Save(), ::testing::ExitedWithCode(3), "!m_ids\\.empty\\(\\)");
    EXPECT_EXIT(s.FieldExist("a"), ::testing::ExitedWithCode(3), "!IsEmpty\\(\\)");
    EXPECT_EXIT(s.Erase(), ::testing::ExitedWithCode(3), "boost::filesystem::remove\\(m_filePath\\)");
}

// Without the entry host: the registry of a started process holds the self-test, and running it
// by name leaves two pairs with non-empty (scrambled) values in the temp folder. Runs in a child
// with a temp folder of its own; the exit code says what failed.
int RunSelfTestInChild()
{
    QTemporaryDir dir;
    if (!dir.isValid())
        return 10;
    setenv("TMPDIR", dir.path().toLocal8Bit().constData(), 1);
    const std::string exe = Utils::UnicodeToLocaleString(Platform::GetExePath());
    const char* argv[] = {exe.c_str()};
    Utils::ExeName::Init(1, argv, "{", "}");
    Utils::DelayInitHost::Instance().DoInit();
    const std::vector<std::string> names = Utils::AppEntryNames();
    if (std::find(names.begin(), names.end(), "MapCryptoStorage") == names.end())
        return 11;
    if (Utils::RunEntry("MapCryptoStorage", {"ignored"}).value_or(12) != 0)
        return 13;

    const std::vector<std::string> lines =
        Lines(ReadBytes(QDir(dir.path()).filePath("MapCryptoStorageTest.txt").toStdString()));
    dir.remove();
    if (lines.size() != 2)
        return 14;
    for (const std::string& line : lines)
    {
        const size_t val = line.find("###Val=");
        if (line.rfind("Name=", 0) != 0 || val == std::string::npos || val + 7 >= line.size())
            return 15;
    }
    return 0;
}

TEST(CryptoStoreEntryTest, SelfTestIsRegisteredAndRunsByName)
{
    EXPECT_EXIT(std::exit(RunSelfTestInChild()), ::testing::ExitedWithCode(0), "");
}

TEST(CryptoStoreEntryTest, SelfTestStoresBothValuesInTheTempFolder)
{
    if (!TestUtils::EntryHostBuilt())
        GTEST_SKIP() << "entry_host is not built";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QProcessEnvironment env;
    env.insert("TMPDIR", dir.path());

    for (int run = 0; run < 2; ++run) // a file left by an earlier run is used again
    {
        const TestUtils::EntryHostRun r = TestUtils::RunEntryHost("MapCryptoStorage", QByteArray(), env);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(0, r.exitCode) << r.err.toStdString();
        const std::vector<std::string> lines =
            Lines(ReadBytes(QDir(dir.path()).filePath("MapCryptoStorageTest.txt").toStdString()));
        ASSERT_EQ(2u, lines.size());
        EXPECT_EQ(0u, lines[0].find("Name=")) << lines[0];
        EXPECT_LT(lines[0], lines[1]);
    }
}

} // namespace
