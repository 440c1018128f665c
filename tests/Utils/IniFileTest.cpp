#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>
#include <string>
#include <vector>
#include "Utils/IniFile.h"
#include "Utils/StringUtils.h"

namespace
{

typedef Utils::IniFile::ParseParams Params;

// "config.ini": no sections, nothing repeated.
const Params c_config("//", "/*", "*/", '"', false, false, false);
// "brand.ini": sections allowed.
const Params c_brand("//", "/*", "*/", '"', true, false, false);

struct Identity
{
    std::string operator()(const std::string& s) const { return s; }
};

typedef Utils::IniFile::ContDataSrc<std::vector<std::string>, Identity> VectorSource;

void ParseLines(Utils::IniFile& file, const std::vector<std::string>& lines, const Params& params)
{
    Identity conv;
    VectorSource src(lines, conv);
    Utils::IniFile::Parse(file, src, params);
}

// The parse error text, or "" when the lines parse.
std::string ParseError(const std::vector<std::string>& lines, const Params& params)
{
    Utils::IniFile file;
    try
    {
        ParseLines(file, lines, params);
    }
    catch (const Utils::IniFileParseError& e)
    {
        return Utils::WStringToStdString(e.Message());
    }
    return std::string();
}

// The value of key in the first section of the parsed lines.
std::string Value(const std::vector<std::string>& lines, const std::string& key)
{
    Utils::IniFile file;
    ParseLines(file, lines, c_brand);
    const Utils::IniFileItem* p = file.Sections()[0]->FindItem(key);
    return p ? p->Value() : std::string("<missing>");
}

std::string StripOne(const std::string& line, int depthIn = 0)
{
    int depth = depthIn;
    std::string error;
    return Utils::IniFile::StripComments(line, c_config, depth, error);
}

} // namespace

TEST(IniFileTest, SectionsAndDefaultSection)
{
    Utils::IniFile file;
    ParseLines(file, {"a = 1", "[Main]", "b=2"}, c_brand);
    ASSERT_EQ(file.Sections().Size(), 2u);
    EXPECT_EQ(file.Sections()[0]->Name(), "default");
    EXPECT_EQ(file.Sections()[1]->Name(), "Main");
    const Utils::IniFileItem* a = file.FindSection("default")->FindItem("a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->Value(), "1");
    EXPECT_EQ(a->Line(), 0);
    EXPECT_EQ(file.FindSection("Main")->FindItem("b")->Line(), 2);
    EXPECT_EQ(file.FindSection("main"), nullptr);

    EXPECT_EQ(ParseError({"a = 1", "[Main]"}, c_config), "Sections not allowed at 1; data: [Main]");

    for (const auto& lines : {std::vector<std::string>{}, std::vector<std::string>{"// c", "", "/* x */"}})
    {
        Utils::IniFile empty;
        ParseLines(empty, lines, c_config);
        ASSERT_EQ(empty.Sections().Size(), 1u);
        EXPECT_EQ(empty.Sections()[0]->Name(), "default");
        EXPECT_TRUE(empty.Sections()[0]->Items().IsEmpty());
    }
}

TEST(IniFileTest, Comments)
{
    EXPECT_EQ(Value({"p = \"a//b\""}, "p"), "a//b");
    EXPECT_EQ(Value({"p = a//b"}, "p"), "a");
    EXPECT_EQ(Value({"k = 1 /* c */ + 2"}, "k"), "1  + 2");
    EXPECT_EQ(Value({"p = \" x \" // tail"}, "p"), " x ");
    EXPECT_EQ(Value({"p = \""}, "p"), "\"");

    Utils::IniFile file;
    ParseLines(file, {"/* a", "b */ x = 1"}, c_config);
    const Utils::IniFileItem* x = file.Sections()[0]->FindItem("x");
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->Value(), "1");
    EXPECT_EQ(x->Line(), 1);

    EXPECT_EQ(ParseError({"a = 1 */"}, c_config), "Can't close global comment at 0; data: a = 1 */");
    // Nested blocks need an end each; an unclosed block at the end of the file is accepted.
    EXPECT_EQ(Value({"/* /* */ a = 1 */ b = 2"}, "b"), "2");
    EXPECT_EQ(ParseError({"/* never closed", "a = 1"}, c_config), "");
    // A line comment ends the line even inside a block, hiding the block end.
    EXPECT_EQ(StripOne("x // */"), "x");
    int depth = 1;
    std::string error;
    EXPECT_EQ(Utils::IniFile::StripComments("a // */", c_config, depth, error), "");
    EXPECT_EQ(depth, 1);
}

TEST(IniFileTest, SectionNames)
{
    EXPECT_EQ(ParseError({"[ Main ]"}, c_brand), "Bad identificator  Main ");
    EXPECT_EQ(ParseError({"[Main Section-2]"}, c_brand), "");
    EXPECT_EQ(ParseError({"[]"}, c_brand), "");
    EXPECT_EQ(ParseError({"[1abc]"}, c_brand), "Bad identificator 1abc");
    EXPECT_EQ(ParseError({"x=1", "[Main"}, c_brand), "Bad section syntax at 1; data: [Main");
    EXPECT_EQ(ParseError({"[Main]", "[Main]"}, c_brand), "Duplicate section, name Main");
    Params dupOk = c_brand;
    dupOk.m_allowDuplicateSections = true;
    EXPECT_EQ(ParseError({"[Main]", "[Main]"}, dupOk), "");
}

// Where repeats are allowed every line stays, in file order, and a key finds its first line.
TEST(IniFileTest, RepeatedKeysKeepOrderAndTheFirstIsFound)
{
    Params dupOk = c_brand;
    dupOk.m_allowDuplicateItems = true;
    dupOk.m_allowDuplicateSections = true;
    Utils::IniFile file;
    ParseLines(file, {"[S]", "k = 1", "j = x", "k = 2", "[S]", "k = 3"}, dupOk);
    ASSERT_EQ(2u, file.Sections().Size());
    EXPECT_EQ(file.Sections()[0], file.FindSection("S"));
    const Utils::IniFileSection& s = *file.Sections()[0];
    ASSERT_EQ(3u, s.Items().Size());
    EXPECT_EQ("1", s.Items()[0]->Value());
    EXPECT_EQ("x", s.Items()[1]->Value());
    EXPECT_EQ("2", s.Items()[2]->Value());
    EXPECT_EQ(1, s.FindItem("k")->Line());
    EXPECT_EQ("Duplicate item k", ParseError({"k = 1", "j = x", "k = 2"}, c_config));
}

TEST(IniFileTest, Items)
{
    EXPECT_EQ(ParseError({"a = 1", "a = 2"}, c_config), "Duplicate item a");
    Params dupOk = c_config;
    dupOk.m_allowDuplicateItems = true;
    EXPECT_EQ(ParseError({"a = 1", "a = 2"}, dupOk), "");

    Utils::IniFile file;
    ParseLines(file, {"A = 1", "a = 2", "key", "=5", "a2=b=c"}, c_config);
    const Utils::IniFileSection& s = *file.Sections()[0];
    EXPECT_EQ(s.FindItem("A")->Value(), "1");
    EXPECT_EQ(s.FindItem("a")->Value(), "2");
    ASSERT_NE(s.FindItem("key"), nullptr);
    EXPECT_EQ(s.FindItem("key")->Value(), "");
    ASSERT_NE(s.FindItem(""), nullptr);
    EXPECT_EQ(s.FindItem("")->Value(), "5");
    EXPECT_EQ(s.FindItem("a2")->Value(), "b=c");
}

TEST(IniFileTest, ToBool)
{
    auto item = [](const std::string& v) { return Utils::IniFileItem("k = " + v, 3, '"'); };
    for (const char* t : {"1", "true", "T", "tRuE", "t"})
        EXPECT_TRUE(item(t).ToBool()) << t;
    for (const char* f : {"0", "f", "FALSE", "False"})
        EXPECT_FALSE(item(f).ToBool()) << f;

    bool error = false;
    EXPECT_FALSE(item("yes").ToBool(&error));
    EXPECT_TRUE(error);
    EXPECT_TRUE(item("T").ToBool(&error));
    EXPECT_FALSE(error);

    try
    {
        item("yes").ToBool();
        FAIL() << "no exception";
    }
    catch (const Utils::IniFileItem::ConvertException& e)
    {
        EXPECT_EQ(e.Message(), L"Can't convert item's k value yes to boolin line 3");
    }
}

TEST(IniFileTest, NotFoundExceptions)
{
    Utils::IniFile file;
    ParseLines(file, {"a=1"}, c_config);
    try
    {
        file.ThrowSectionNotFound("X");
    }
    catch (const Utils::IniFile::SectionNotFound& e)
    {
        EXPECT_EQ(e.Message(), L"Section not found, name X");
    }
    try
    {
        file.Sections()[0]->ThrowItemNotFound("y");
    }
    catch (const Utils::IniFileSection::ItemNotFound& e)
    {
        EXPECT_EQ(e.Message(), L"Item not found, name y");
    }
}

class IniFileDiskTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    QString Write(const QString& name, const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return path;
    }

    QTemporaryDir m_dir;
};

TEST_F(IniFileDiskTest, ReadsWindows1251WithCrLf)
{
    QTextCodec* codec = QTextCodec::codecForName("Windows-1251");
    ASSERT_NE(codec, nullptr);
    const QByteArray bytes =
        codec->fromUnicode(QString::fromUtf8("// Настройки\r\nName = \"Привет мир\"\r\nX=1\r\n"));
    const QString path = Write("config.ini", bytes);

    Utils::QtIniFile ini(path, "Windows-1251", c_config);
    const Utils::IniFileSection& s = *ini.Sections()[0];
    ASSERT_NE(s.FindItem("Name"), nullptr);
    const std::string value = s.FindItem("Name")->Value();
    EXPECT_EQ(value, std::string(codec->fromUnicode(QString::fromUtf8("Привет мир")).constData()));
    EXPECT_EQ(static_cast<unsigned char>(value[0]), 0xCF); // П in Windows-1251
    EXPECT_EQ(s.FindItem("X")->Value(), "1");
    EXPECT_EQ(s.FindItem("X")->Line(), 2);
}

TEST_F(IniFileDiskTest, ParseErrorsFromFile)
{
    const QString path = Write("bad.ini", "a = 1\n[Main]\n");
    try
    {
        Utils::QtIniFile ini(path, "Windows-1251", c_config);
        FAIL() << "no exception";
    }
    catch (const Utils::IniFileParseError& e)
    {
        EXPECT_EQ(e.Message(), L"Sections not allowed at 1; data: [Main]");
    }
}

TEST_F(IniFileDiskTest, IoErrors)
{
    try
    {
        Utils::QtIniFile ini(m_dir.path(), "Windows-1251", c_config);
        FAIL() << "no exception";
    }
    catch (const Utils::IStoragable::IoError& e)
    {
        EXPECT_EQ(e.Message(), (m_dir.path() + " - isn`t a file").toStdWString());
    }
    const QString missing = m_dir.filePath("missing.ini");
    EXPECT_THROW(Utils::QtIniFile(missing, "Windows-1251", c_config), Utils::IStoragable::IoError);

    Utils::StringList list;
    list << "x";
    try
    {
        list.SaveToFile(m_dir.filePath("no/such/dir/f.txt"), "UTF-8");
        FAIL() << "no exception";
    }
    catch (const Utils::IStoragable::IoError& e)
    {
        EXPECT_NE(e.Message().find(L" - can`t open"), std::wstring::npos);
    }
}

TEST_F(IniFileDiskTest, AResourceNameSkipsTheIsAFileTest)
{
    // A missing resource fails on opening, not on the regular-file test that disk names get.
    try
    {
        Utils::QtIniFile ini(":/no/such/config.ini", "Windows-1251", c_config);
        FAIL() << "no exception";
    }
    catch (const Utils::IStoragable::IoError& e)
    {
        EXPECT_EQ(e.Message(), L":/no/such/config.ini - can`t open");
    }
    // Only the exact prefix ":/" names a resource.
    try
    {
        Utils::QtIniFile ini(":\\no", "Windows-1251", c_config);
        FAIL() << "no exception";
    }
    catch (const Utils::IStoragable::IoError& e)
    {
        EXPECT_EQ(e.Message(), L":\\no - isn`t a file");
    }
}

TEST_F(IniFileDiskTest, StringListRoundTrip)
{
    Utils::StringList out;
    out << QString::fromUtf8("первая") << ""
        << "third";
    const QString path = m_dir.filePath("list.txt");
    out.SaveToFile(path, "Windows-1251");

    QFile raw(path);
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    const QByteArray bytes = raw.readAll();
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xEF); // п in Windows-1251

    Utils::StringList in;
    in << "stale";
    in.LoadFromFile(path, "Windows-1251");
    ASSERT_EQ(in.size(), 3);
    EXPECT_EQ(in[0], QString::fromUtf8("первая"));
    EXPECT_TRUE(in[1].isEmpty());
    EXPECT_EQ(in[2], "third");

    // Saving again truncates the longer old content.
    Utils::StringList shorter;
    shorter << "a";
    shorter.SaveToFile(path, "UTF-8");
    Utils::StringList again;
    again.LoadFromFile(path, "UTF-8");
    EXPECT_EQ(again.size(), 1);
}

TEST(IniFileDeathTest, Misuse)
{
    EXPECT_DEATH({ Utils::QtIniFile::ConvertFunctor f("No-Such-Codec"); }, "m_pCodec != 0");
    EXPECT_DEATH(
        {
            Utils::IniFileSection s("x");
            s.AddItem(nullptr, true);
        },
        "pItem != 0");
    EXPECT_DEATH(
        {
            std::vector<std::string> none;
            Identity conv;
            VectorSource src(none, conv);
            src.ReadNextLine();
        },
        "!Eof\\(\\)");
}
