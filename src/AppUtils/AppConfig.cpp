#include "AppUtils/AppConfig.h"

#include <charconv>
#include <mutex>
#include <QFileInfo>
#include <QTextCodec>
#include "ESS/Assert.h"
#include "Utils/IniFile.h"
#include "Utils/LexicalCast.h"
#include "YrLogV2/Log.h"

namespace AppUtils
{

namespace
{

YrLogV2::Log& ConfigLog()
{
    static YrLogV2::Log* const p = new YrLogV2::Log(YrLogV2::LogRoot::RootLog(), "AppConfig");
    return *p;
}

// Whole text, optional sign, decimal digits, within int; nothing else.
boost::optional<int> ParseInt(const std::string& text)
{
    const char* b = text.data();
    const char* const e = b + text.size();
    if (b != e && *b == '+')
        ++b;
    int value = 0;
    const std::from_chars_result r = std::from_chars(b, e, value, 10);
    if (b == e || r.ec != std::errc() || r.ptr != e)
        return boost::none;
    return value;
}

std::mutex& InstanceLock()
{
    static std::mutex* const p = new std::mutex();
    return *p;
}

AppConfig* g_pCfg = nullptr; // guarded by InstanceLock()

} // namespace

const char* const AppConfig::c_codec = "Windows-1251";

AppConfig::OptionBase::OptionBase(AppConfig& owner, const char* memberName)
    : m_key(MemberNameToKey(memberName)), m_fromFile(false)
{
    owner.m_options.push_back(this);
}

template <>
bool AppConfig::Option<bool>::Parse(const std::string& raw)
{
    const boost::optional<bool> v = Utils::StringToBool(raw);
    if (!v)
        return false;
    m_value = *v;
    return true;
}

template <>
bool AppConfig::Option<int>::Parse(const std::string& raw)
{
    const boost::optional<int> v = ParseInt(raw);
    if (!v)
        return false;
    m_value = *v;
    return true;
}

template <>
bool AppConfig::Option<std::wstring>::Parse(const std::string& raw)
{
    m_value = DecodeText(raw);
    return true;
}

template <>
bool AppConfig::Option<AppConfig::LevelMap>::Parse(const std::string& raw)
{
    LevelMap res;
    try
    {
        using TextMap = std::map<std::string, std::string>;
        for (const auto& kv : Utils::ParseOptionsMapCont<TextMap>(raw))
        {
            const boost::optional<int> level = ParseInt(kv.second);
            if (!level || kv.first.empty())
                return false;
            res[kv.first] = *level;
        }
    }
    catch (const ESS::Exception&)
    {
        return false;
    }
    m_value = res;
    return true;
}

AppConfig::AppConfig() : m_fileFound(false) {}

AppConfig::AppConfig(const QString& fileName) : m_fileName(fileName), m_fileFound(false)
{
    Load();
}

void AppConfig::Load()
{
    if (!QFileInfo::exists(m_fileName))
    {
        ConfigLog().Add(YrLogV2::Warning, "Config file '{}' not found: every option has its default",
                        m_fileName);
        return;
    }

    // No sections, no duplicate keys: everything lives in the implicit first section.
    const Utils::IniFile::ParseParams params("//", "/*", "*/", '"', false, false, false);
    const Utils::QtIniFile file(m_fileName, c_codec, params);
    m_fileFound = true;

    const Utils::IniFileSection* pSection = file.Sections().IsEmpty() ? nullptr : file.Sections()[0];
    if (pSection != nullptr)
    {
        m_raw.reserve(pSection->Items().Size());
        for (uint64_t i = 0; i < pSection->Items().Size(); ++i)
        {
            const Utils::IniFileItem* pItem = pSection->Items()[i];
            m_raw[pItem->Name()] = pItem->Value();
        }
    }

    for (OptionBase* pOption : m_options)
    {
        const auto i = m_raw.find(pOption->Key());
        if (i == m_raw.end())
            continue;
        if (pOption->Parse(i->second))
        {
            pOption->m_fromFile = true;
            continue;
        }
        ConfigLog().Add(YrLogV2::Warning,
                        L"Option {}: bad value '{}' in line {} of '{}'; the default is used", pOption->Key(),
                        DecodeText(i->second), pSection->FindItem(i->first)->Line(), m_fileName);
    }
    ConfigLog().Add(YrLogV2::Info, "Config file '{}' read: {} items", m_fileName, m_raw.size());
}

boost::optional<std::string> AppConfig::GetRawValue(const std::string& key) const
{
    const auto i = m_raw.find(key);
    if (i == m_raw.end())
        return boost::none;
    return i->second;
}

std::string AppConfig::MemberNameToKey(const std::string& memberName)
{
    std::string key = memberName;
    if (key.compare(0, 2, "m_") == 0)
        key.erase(0, 2);
    if (!key.empty() && key[0] >= 'a' && key[0] <= 'z')
        key[0] = static_cast<char>(key[0] - 'a' + 'A');
    return key;
}

std::wstring AppConfig::DecodeText(const std::string& raw)
{
    QTextCodec* pCodec = QTextCodec::codecForName(c_codec);
    ESS_ASSERT(pCodec != 0);
    return pCodec->toUnicode(raw.data(), static_cast<int>(raw.size())).toStdWString();
}

AppConfig& AppConfigInstance()
{
    std::lock_guard<std::mutex> lock(InstanceLock());
    ESS_ASSERT(g_pCfg != 0);
    return *g_pCfg;
}

bool AppConfigInstanceExists()
{
    std::lock_guard<std::mutex> lock(InstanceLock());
    return g_pCfg != nullptr;
}

namespace details
{

void SetAppConfigInstance(AppConfig* pCfg)
{
    std::lock_guard<std::mutex> lock(InstanceLock());
    g_pCfg = pCfg;
}

} // namespace details

} // namespace AppUtils
