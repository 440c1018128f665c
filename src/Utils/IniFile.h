#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <QString>
#include <QStringList>
#include "ESS/Assert.h"
#include "ESS/Exception.h"
#include "Utils/IBasicInterface.h"
#include "Utils/IStoragable.h"
#include "Utils/ManagedList.h"

class QTextCodec;
class QTextEncoder;

namespace Utils
{

// Syntax and duplicate errors of an ini file.
ESS_DECLARE_EXCEPTION(IniFileParseError, ::ESS::Exception);

namespace IniFileUtils
{
// message, then " at " line "; data: " data unless line is -1.
[[noreturn]] void ThrowParseError(const std::string& message, int line, const std::string& data);
} // namespace IniFileUtils

// One "key = value" line; texts are bytes in the file's codec.
class IniFileItem
{
public:
    ESS_DECLARE_EXCEPTION(ConvertException, ::ESS::Exception);

    // From a line already stripped of comments; the first "=" separates key and value.
    IniFileItem(const std::string& strippedLine, int32_t line, char quote);
    IniFileItem(const std::string& name, const std::string& value, int32_t line)
        : m_name(name), m_value(value), m_line(line)
    {
    }

    const std::string& Name() const { return m_name; }
    const std::string& Value() const { return m_value; }
    int32_t Line() const { return m_line; } // index of the line in the file, from 0

    // "0"/"1", or "true"/"t"/"false"/"f" in any letter case. With pError the failure is
    // reported there (result false); without it, ConvertException is thrown.
    bool ToBool(bool* pError = nullptr) const;

    [[noreturn]] void ThrowConvertException(const std::string& typeName) const;

private:
    std::string m_name;
    std::string m_value;
    int32_t m_line;
};

class IniFileSection
{
public:
    ESS_DECLARE_EXCEPTION(ItemNotFound, ::ESS::Exception);

    explicit IniFileSection(const std::string& name) : m_name(name) {}
    IniFileSection(const IniFileSection&) = delete;
    IniFileSection& operator=(const IniFileSection&) = delete;

    const std::string& Name() const { return m_name; }
    const ManagedList<IniFileItem>& Items() const { return m_items; }

    // The first item with exactly this key, or null.
    IniFileItem* FindItem(const std::string& name) const;
    // Takes ownership; a repeated key is a parse error when checkDuplicate.
    void AddItem(std::unique_ptr<IniFileItem> item, bool checkDuplicate);
    // The same for a caller that hands over a raw pointer it owns.
    void AddItem(IniFileItem* pItem, bool checkDuplicate);

    [[noreturn]] void ThrowItemNotFound(const std::string& name) const;

private:
    std::string m_name;
    ManagedList<IniFileItem> m_items; // in file order
    // The first item of each key: the duplicate check and FindItem stay constant-time, so a long
    // file is read in time linear in its lines.
    std::unordered_map<std::string, IniFileItem*> m_firstByName;
};

// The line source of the parser.
class IIniFileDataSource : public IBasicInterface
{
public:
    virtual bool Eof() const = 0;
    virtual std::string ReadNextLine() = 0;
};

class IniFile
{
public:
    ESS_DECLARE_EXCEPTION(SectionNotFound, ::ESS::Exception);

    struct ParseParams
    {
        std::string m_lineComment;
        std::string m_blockBegin;
        std::string m_blockEnd;
        char m_quote;
        bool m_sectionsAllowed;
        bool m_allowDuplicateSections;
        bool m_allowDuplicateItems;

        ParseParams(const std::string& lineComment = "//", const std::string& blockBegin = "/*",
                    const std::string& blockEnd = "*/", char quote = '"', bool sectionsAllowed = true,
                    bool allowDuplicateSections = false, bool allowDuplicateItems = false)
            : m_lineComment(lineComment), m_blockBegin(blockBegin), m_blockEnd(blockEnd), m_quote(quote),
              m_sectionsAllowed(sectionsAllowed), m_allowDuplicateSections(allowDuplicateSections),
              m_allowDuplicateItems(allowDuplicateItems)
        {
        }
    };

    // Walks a container of lines, converting each with the converter.
    template <class Container, class Converter>
    class ContDataSrc : public IIniFileDataSource
    {
    public:
        ContDataSrc(const Container& cont, const Converter& converter)
            : m_pConverter(&converter), m_curr(cont.begin()), m_end(cont.end())
        {
        }

        bool Eof() const override { return m_curr == m_end; }

        std::string ReadNextLine() override
        {
            ESS_ASSERT(!Eof());
            return (*m_pConverter)(*m_curr++);
        }

    private:
        const Converter* m_pConverter;
        typename Container::const_iterator m_curr;
        typename Container::const_iterator m_end;
    };

    IniFile() = default;
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;
    virtual ~IniFile() = default;

    const ManagedList<IniFileSection>& Sections() const { return m_sections; }

    // The first section with exactly this name, or null.
    IniFileSection* FindSection(const std::string& name) const;
    IniFileSection* AddSection(const std::string& name, bool checkDuplicate);

    [[noreturn]] void ThrowSectionNotFound(const std::string& name) const;

    // Fills an empty document; stops at the first error.
    static void Parse(IniFile& file, IIniFileDataSource& source, const ParseParams& params);

    // The line without comments, trimmed. depth carries open block comments across lines;
    // a block end with no open block sets error and gives an empty result.
    static std::string StripComments(const std::string& rawLine, const ParseParams& params, int& depth,
                                     std::string& error);

    // Empty, or an ASCII letter followed by letters, digits, '_', '-' and blanks.
    static void CheckIdentifier(const std::string& name, int line, const std::string& data);

private:
    ManagedList<IniFileSection> m_sections; // in file order
    std::unordered_map<std::string, IniFileSection*> m_firstByName;
};

// An ini document read from a file with a named codec.
class QtIniFile : public IniFile
{
public:
    // Converts a line to the codec's bytes (up to the first NUL).
    class ConvertFunctor
    {
    public:
        explicit ConvertFunctor(const char* pEncoding);
        std::string operator()(const QString& line) const;

    private:
        QTextCodec* m_pCodec;
        // One converter for all lines: the codec alone would open a new one for every line.
        std::shared_ptr<QTextEncoder> m_encoder;
    };

    QtIniFile(const QString& fileName, const char* codecName, const ParseParams& params);
};

} // namespace Utils
