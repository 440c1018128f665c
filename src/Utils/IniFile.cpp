#include "Utils/IniFile.h"
#include <cstring>
#include <sstream>
#include <QTextCodec>
#include "Utils/StringUtils.h"

namespace Utils
{

namespace IniFileUtils
{

void ThrowParseError(const std::string& message, int line, const std::string& data)
{
    std::ostringstream text;
    text << message;
    if (line >= 0)
        text << " at " << line << "; data: " << data;
    ESS_THROW_MSG(IniFileParseError, LocaleStringToUnicode(text.str()));
}

} // namespace IniFileUtils

// ---------------------------------------------------------------------------------------------

IniFileItem::IniFileItem(const std::string& strippedLine, int32_t line, char quote) : m_line(line)
{
    const size_t eq = strippedLine.find('=');
    if (eq == std::string::npos)
    {
        m_name = TrimWhitespace(strippedLine);
        return;
    }
    m_name = TrimWhitespace(strippedLine.substr(0, eq));
    m_value = TrimWhitespace(strippedLine.substr(eq + 1));
    if (m_value.size() >= 2 && m_value.front() == quote && m_value.back() == quote)
        m_value = m_value.substr(1, m_value.size() - 2);
}

bool IniFileItem::ToBool(bool* pError) const
{
    if (pError)
        *pError = false;
    if (m_value == "0")
        return false;
    if (m_value == "1")
        return true;

    const std::string up = StringUpCaseCopy(m_value);
    if (up == "FALSE" || up == "F")
        return false;
    if (up == "TRUE" || up == "T")
        return true;

    if (!pError)
        ThrowConvertException("bool");
    *pError = true;
    return false;
}

void IniFileItem::ThrowConvertException(const std::string& typeName) const
{
    // No blank before "in line": the text is kept as users of the files know it.
    std::ostringstream text;
    text << "Can't convert item's " << m_name << " value " << m_value << " to " << typeName << "in line "
         << m_line;
    ESS_THROW_MSG(ConvertException, LocaleStringToUnicode(text.str()));
}

// ---------------------------------------------------------------------------------------------

IniFileItem* IniFileSection::FindItem(const std::string& name) const
{
    const auto i = m_firstByName.find(name);
    return i == m_firstByName.end() ? nullptr : i->second;
}

void IniFileSection::AddItem(std::unique_ptr<IniFileItem> item, bool checkDuplicate)
{
    ESS_ASSERT(item);
    // One look-up: the index keeps the first item of a key, a later duplicate is only listed.
    const bool first = m_firstByName.emplace(item->Name(), item.get()).second;
    if (checkDuplicate && !first)
        IniFileUtils::ThrowParseError("Duplicate item " + item->Name(), -1, std::string());
    m_items.Add(std::move(item));
}

void IniFileSection::AddItem(IniFileItem* pItem, bool checkDuplicate)
{
    ESS_ASSERT(pItem != 0);
    AddItem(std::unique_ptr<IniFileItem>(pItem), checkDuplicate);
}

void IniFileSection::ThrowItemNotFound(const std::string& name) const
{
    ESS_THROW_MSG(ItemNotFound, LocaleStringToUnicode("Item not found, name " + name));
}

// ---------------------------------------------------------------------------------------------

IniFileSection* IniFile::FindSection(const std::string& name) const
{
    const auto i = m_firstByName.find(name);
    return i == m_firstByName.end() ? nullptr : i->second;
}

IniFileSection* IniFile::AddSection(const std::string& name, bool checkDuplicate)
{
    if (checkDuplicate && FindSection(name) != nullptr)
        IniFileUtils::ThrowParseError("Duplicate section, name " + name, -1, std::string());
    CheckIdentifier(name, -1, std::string());
    auto section = std::make_unique<IniFileSection>(name);
    IniFileSection* pSection = section.get();
    m_sections.Add(std::move(section));
    m_firstByName.emplace(name, pSection);
    return pSection;
}

void IniFile::ThrowSectionNotFound(const std::string& name) const
{
    ESS_THROW_MSG(SectionNotFound, LocaleStringToUnicode("Section not found, name " + name));
}

void IniFile::CheckIdentifier(const std::string& name, int line, const std::string& data)
{
    auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };

    for (size_t i = 0; i < name.size(); ++i)
    {
        const char c = name[i];
        const bool ok =
            (i == 0) ? isLetter(c) : (isLetter(c) || isDigit(c) || c == '_' || c == '-' || c == ' ');
        if (!ok)
            IniFileUtils::ThrowParseError("Bad identificator " + name, line, data);
    }
}

std::string IniFile::StripComments(const std::string& rawLine, const ParseParams& params, int& depth,
                                   std::string& error)
{
    // The blank lets a block end at the very end of the line be seen one position later.
    const std::string s = TrimWhitespace(rawLine) + " ";
    // The first character decides most positions without a comparison (markers are never empty).
    auto startsAt = [&s](const std::string& marker, size_t p)
    { return s[p] == marker[0] && s.compare(p, marker.size(), marker) == 0; };

    int quoteCount = 0;
    std::string kept;
    for (size_t p = 0; p < s.size(); ++p)
    {
        if (s[p] == params.m_quote)
            ++quoteCount;

        if (quoteCount % 2 == 0)
        {
            if (startsAt(params.m_blockBegin, p))
                ++depth;

            const size_t endLen = params.m_blockEnd.size();
            if (p >= endLen && startsAt(params.m_blockEnd, p - endLen))
            {
                if (depth < 1)
                {
                    error = "Can't close global comment";
                    return std::string();
                }
                --depth;
            }

            if (startsAt(params.m_lineComment, p))
                break;
        }

        if (depth < 1)
            kept += s[p];
    }
    return TrimWhitespace(kept);
}

void IniFile::Parse(IniFile& file, IIniFileDataSource& source, const ParseParams& params)
{
    ESS_ASSERT(!params.m_lineComment.empty() && !params.m_blockBegin.empty() && !params.m_blockEnd.empty());

    IniFileSection* pCurrent = nullptr;
    int depth = 0;
    int line = -1;

    while (!source.Eof())
    {
        const std::string raw = source.ReadNextLine();
        ++line;

        std::string error;
        const std::string stripped = StripComments(raw, params, depth, error);
        if (!error.empty())
            IniFileUtils::ThrowParseError(error, line, raw);
        if (stripped.empty())
            continue;

        if (stripped[0] == '[')
        {
            if (!params.m_sectionsAllowed)
                IniFileUtils::ThrowParseError("Sections not allowed", line, raw);
            if (stripped.size() < 2 || stripped.back() != ']')
                IniFileUtils::ThrowParseError("Bad section syntax", line, raw);
            const std::string name = stripped.substr(1, stripped.size() - 2);
            pCurrent = file.AddSection(name, !params.m_allowDuplicateSections);
            continue;
        }

        if (pCurrent == nullptr)
            pCurrent = file.AddSection("default", true);
        pCurrent->AddItem(std::make_unique<IniFileItem>(stripped, line, params.m_quote),
                          !params.m_allowDuplicateItems);
    }

    // A block comment still open at the end is accepted.
    if (file.m_sections.IsEmpty())
        file.AddSection("default", true);
}

// ---------------------------------------------------------------------------------------------

QtIniFile::ConvertFunctor::ConvertFunctor(const char* pEncoding)
{
    ESS_ASSERT(pEncoding != 0);
    m_pCodec = QTextCodec::codecForName(pEncoding);
    ESS_ASSERT(m_pCodec != 0);
    m_encoder.reset(m_pCodec->makeEncoder(QTextCodec::IgnoreHeader));
}

std::string QtIniFile::ConvertFunctor::operator()(const QString& line) const
{
    ESS_ASSERT(m_pCodec != 0);
    const QByteArray bytes = m_encoder->fromUnicode(line);
    return std::string(bytes.constData(), strnlen(bytes.constData(), bytes.size()));
}

QtIniFile::QtIniFile(const QString& fileName, const char* codecName, const ParseParams& params)
{
    StringList lines;
    lines.LoadFromFile(fileName, codecName);
    const ConvertFunctor converter(codecName);
    ContDataSrc<QStringList, ConvertFunctor> source(lines, converter);
    Parse(*this, source, params);
}

} // namespace Utils
