#include "Utils/MapCryptoStorage.h"

#include <QDir>
#include <QString>
#include <boost/filesystem/operations.hpp>
#include "ESS/Assert.h"
#include "Utils/IStoragable.h"
#include "Utils/ManagedList.h"
#include "Utils/SplitString.h"
#include "Utils/StringUtils.h"

namespace Utils
{

namespace
{

const std::string g_valSeparator = "###";
const std::string c_nameField = "Name";
const std::string c_valField = "Val";
const char* const c_codec = "Windows-1251";

// Changing the key makes every file written before unreadable.
const char c_key[] = "vQtRbKmwZeH";
const size_t c_keyLength = sizeof(c_key) - 1;
static_assert(c_keyLength == 11, "the key is 11 letters");

// The same operation scrambles and unscrambles.
std::string Scramble(const std::string& value)
{
    std::string res(value);
    for (size_t i = 0; i < res.size(); ++i)
        res[i] = static_cast<char>(res[i] ^ c_key[i % c_keyLength]);
    return res;
}

// Whether a text goes through a line of the file unchanged: the line is taken as UTF-8 and written
// in Windows-1251, so only ASCII survives; "=" ends a field and CR or LF a line.
bool SurvivesLine(const std::string& text)
{
    for (char c : text)
    {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b >= 0x80 || c == '=' || c == '\r' || c == '\n')
            return false;
    }
    return text.find(g_valSeparator) == std::string::npos;
}

std::string ReadField(const std::string& piece, const std::string& field)
{
    ManagedList<std::string> parts;
    SplitString(piece, "=", parts, false);
    if (parts.Size() >= 2 && *parts[0] == field)
        return *parts[1];
    return std::string();
}

QString ToQString(const boost::filesystem::path& path)
{
    return QString::fromStdString(path.string());
}

} // namespace

MapCryptoStorage::MapCryptoStorage(const boost::filesystem::path& filePath, bool eraseBadFile)
    : m_filePath(filePath)
{
    if (!boost::filesystem::is_regular_file(m_filePath))
        return;
    if (!Load(m_filePath) && eraseBadFile)
        Erase();
}

MapCryptoStorage::~MapCryptoStorage() = default;

void MapCryptoStorage::SetField(const std::string& name, const std::string& value)
{
    ESS_ASSERT(name.find(g_valSeparator) == std::string::npos);

    // A name that does not read back would make the whole file fail to load (and be erased), or
    // come back as another name; a name ending in '#' merges with the separator.
    if (name.empty() || !SurvivesLine(name) || name.back() == '#')
    {
        ESS_THROW_MSG(BadField, L"Name can't be stored: '" + StdStringToWString(name) + L"'");
    }
    const std::string scrambled = Scramble(value);
    if (!SurvivesLine(scrambled))
    {
        ESS_THROW_MSG(BadField, L"Value can't be stored for name '" + StdStringToWString(name) + L"'");
    }
    m_ids[name] = scrambled;
}

std::string MapCryptoStorage::GetField(const std::string& name) const
{
    if (IsEmpty())
        return std::string();
    const auto it = m_ids.find(name);
    return (it == m_ids.end()) ? std::string() : Scramble(it->second);
}

bool MapCryptoStorage::FieldExist(const std::string& name) const
{
    ESS_ASSERT(!IsEmpty());
    return m_ids.find(name) != m_ids.end();
}

bool MapCryptoStorage::IsEmpty() const
{
    return m_ids.empty();
}

void MapCryptoStorage::Save()
{
    ESS_ASSERT(!m_ids.empty());

    StringList lines;
    for (const auto& i : m_ids)
    {
        const std::string line = c_nameField + "=" + i.first + g_valSeparator + c_valField + "=" + i.second;
        lines.append(QString::fromStdString(line));
    }

    // Written beside the store and moved over it only once it reads back whole, so that a failed
    // or short write never costs the data saved before.
    boost::filesystem::path tmpPath(m_filePath);
    tmpPath += ".tmp";
    const QString tmpName = ToQString(tmpPath);
    try
    {
        lines.SaveToFile(tmpName, c_codec);
        StringList check;
        check.LoadFromFile(tmpName, c_codec);
        if (static_cast<const QStringList&>(check) != static_cast<const QStringList&>(lines))
        {
            ESS_THROW_MSG(IStoragable::IoError, StdStringToWString(tmpPath.string()) + L" - short write");
        }
    }
    catch (...)
    {
        // Only a file the write may have left; whatever else stands in its way is not ours.
        boost::system::error_code ec;
        if (boost::filesystem::is_regular_file(tmpPath, ec))
            boost::filesystem::remove(tmpPath, ec);
        throw;
    }
    boost::filesystem::rename(tmpPath, m_filePath);
}

bool MapCryptoStorage::Load(const boost::filesystem::path& filePath)
{
    StringList lines;
    try
    {
        lines.LoadFromFile(ToQString(filePath), c_codec);
    }
    catch (const ESS::Exception&)
    {
        return false;
    }
    if (lines.isEmpty())
        return false;
    for (const QString& line : lines)
    {
        if (!ParseLine(line.toStdString()))
            return false;
    }
    return true;
}

void MapCryptoStorage::Erase()
{
    ESS_ASSERT(boost::filesystem::remove(m_filePath));
    m_ids.clear();
}

bool MapCryptoStorage::ParseLine(const std::string& line)
{
    ManagedList<std::string> pieces;
    SplitString(line, g_valSeparator, pieces, true);
    if (pieces.Size() != 2)
        return false;

    const std::string name = ReadField(*pieces[0], c_nameField);
    const std::string value = ReadField(*pieces[1], c_valField);
    if (name.empty())
        return false;

    // An empty value may be given again; a second non-empty one makes the file ambiguous.
    std::string& stored = m_ids[name];
    if (!stored.empty())
        return false;
    stored = value;
    return true;
}

namespace
{

void Check(bool ok, const char* condition, const ESS::CppLocation& location)
{
    if (!ok)
        ESS::ThrowTutException(StdStringToWString(condition), location);
}

#define STORAGE_CHECK(cond) Check((cond), #cond, ESS_LOCATION)

} // namespace

int StorageTest(const ArgStringList&)
{
    const boost::filesystem::path path = QDir::temp().filePath("MapCryptoStorageTest.txt").toStdString();
    const std::string url1 = "https://storage.test/account/first";
    const std::string id1 = "4711";
    const std::string url2 = "https://storage.test/account/second";
    const std::string id2 = "120594";

    {
        MapCryptoStorage storage(path, true);
        storage.SetField(url1, id1);
        storage.Save();
    }
    {
        MapCryptoStorage storage(path, false);
        STORAGE_CHECK(storage.GetField(url1) == id1);
        storage.SetField(url2, id2);
        storage.Save();
    }
    {
        MapCryptoStorage storage(path, false);
        STORAGE_CHECK(storage.GetField(url1) == id1);
        STORAGE_CHECK(storage.GetField(url2) == id2);
    }
    return 0;
}

namespace
{
const RegisterAppEntry g_storageTestEntry("MapCryptoStorage", &StorageTest, true);
} // namespace

} // namespace Utils
