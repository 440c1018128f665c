#pragma once
#include <map>
#include <string>
#include <unordered_map>
#include <vector>
#include <QString>
#include <boost/noncopyable.hpp>
#include <boost/optional.hpp>

namespace Utils
{
class IniFileSection;
}

namespace AppUtils
{

// The typed option registry, read from "config.ini": a Windows-1251 ini file without sections,
// every item in the implicit first section. An option's key is its member name without "m_" and
// with the first letter upper-cased (m_fullCrashDump -> "FullCrashDump").
//
// A missing file gives every default and a Warning; a value that does not convert gives that
// option's default and a Warning; a malformed file (Utils::IniFileParseError, "Sections not
// allowed at ...", "Duplicate item ...") or an unreadable one (Utils::IStoragable::IoError) throws.
// Once made, the registry does not change: it is read from any thread without a lock.
class AppConfig : boost::noncopyable
{
public:
    static const char* const c_codec; // "Windows-1251"

    typedef std::map<std::string, int> LevelMap;

    class OptionBase : boost::noncopyable
    {
    public:
        const std::string& Key() const { return m_key; }
        // True when the file held a valid value for the option.
        bool FromFile() const { return m_fromFile; }

    protected:
        OptionBase(AppConfig& owner, const char* memberName);
        virtual ~OptionBase() = default;

    private:
        friend class AppConfig;
        // False when the text does not convert; the value is then left alone.
        virtual bool Parse(const std::string& raw) = 0;

        std::string m_key;
        bool m_fromFile;
    };

    template <class T>
    class Option : public OptionBase
    {
    public:
        Option(AppConfig& owner, const char* memberName, const T& def)
            : OptionBase(owner, memberName), m_default(def), m_value(def)
        {
        }

        const T& Value() const { return m_value; }
        const T& Default() const { return m_default; }

    private:
        bool Parse(const std::string& raw) override;

        const T m_default;
        T m_value;
    };

    // Every option at its default.
    AppConfig();
    // Reads the file (see above).
    explicit AppConfig(const QString& fileName);

    // The text of the key as written in the file (Windows-1251 bytes, without quotes and comments);
    // none when the file has no such key.
    boost::optional<std::string> GetRawValue(const std::string& key) const;

    const QString& FileName() const { return m_fileName; }
    bool FileFound() const { return m_fileFound; }

    // "m_logLevel" -> "LogLevel".
    static std::string MemberNameToKey(const std::string& memberName);
    // Windows-1251 bytes as wide text.
    static std::wstring DecodeText(const std::string& raw);

private:
    void Load();

    QString m_fileName;
    bool m_fileFound;
    std::unordered_map<std::string, std::string> m_raw;
    // Filled by the options' constructors, so it comes before them.
    std::vector<OptionBase*> m_options;

#define APPUTILS_CONFIG_OPTION(Type, member, def)                                                            \
    Option<Type> member                                                                                      \
    {                                                                                                        \
        *this, #member, def                                                                                  \
    }

public:
    // Crash handling in a VDI module.
    APPUTILS_CONFIG_OPTION(bool, m_vdiCrashHookEnabled, true);
    APPUTILS_CONFIG_OPTION(bool, m_fullCrashDump, false);
    // Settings of the crash-on-command timer (JSON); empty: off.
    APPUTILS_CONFIG_OPTION(std::wstring, m_doCrashJSON, std::wstring());

    // Logging: the default level of every node, levels by node ("NetThread = 8; Bridge_to_prc = 16"),
    // the outputs, and the log folder (empty: the running mode's; relative: below the
    // application's folder).
    APPUTILS_CONFIG_OPTION(int, m_logLevel, 7);
    APPUTILS_CONFIG_OPTION(LevelMap, m_logLevels, LevelMap());
    APPUTILS_CONFIG_OPTION(bool, m_logToConsole, false);
    APPUTILS_CONFIG_OPTION(bool, m_logToFile, true);
    APPUTILS_CONFIG_OPTION(std::wstring, m_logFolder, std::wstring());

#undef APPUTILS_CONFIG_OPTION
};

template <>
bool AppConfig::Option<bool>::Parse(const std::string& raw);
template <>
bool AppConfig::Option<int>::Parse(const std::string& raw);
template <>
bool AppConfig::Option<std::wstring>::Parse(const std::string& raw);
template <>
bool AppConfig::Option<AppConfig::LevelMap>::Parse(const std::string& raw);

// The application's registry; fatal ("g_pCfg != 0") before the application set-up made it.
AppConfig& AppConfigInstance();
bool AppConfigInstanceExists();

namespace details
{
// The application set-up installs its registry here (null removes it).
void SetAppConfigInstance(AppConfig* pCfg);
} // namespace details

} // namespace AppUtils
