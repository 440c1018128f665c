#include "Utils/StringUtils.h"

#include <clocale>
#include <cwctype>
#include <mutex>
#include <boost/algorithm/string/trim.hpp>
#include <QByteArray>
#include <QTextCodec>

namespace Utils
{

namespace
{

void SetQtLocaleCodec()
{
    QTextCodec* pUtf8 = QTextCodec::codecForName("UTF-8");
    ESS_ASSERT(pUtf8 != 0);
    QTextCodec::setCodecForLocale(pUtf8);
}

std::once_flag g_localeCodecOnce;

QTextCodec* LocaleCodec()
{
    std::call_once(g_localeCodecOnce, SetQtLocaleCodec);
    return QTextCodec::codecForLocale();
}

// wchar_t holds 32 bits here: a surrogate or a value above U+10FFFF is not a character, and
// Qt would glue such values into false pairs; they become U+FFFD instead.
QString WideToQString(const std::wstring& s)
{
    std::u32string ucs4;
    ucs4.reserve(s.size());
    for (wchar_t c : s)
    {
        const uint32_t u = static_cast<uint32_t>(c);
        const bool valid = u <= 0x10FFFF && (u < 0xD800 || u > 0xDFFF);
        ucs4.push_back(valid ? static_cast<char32_t>(u) : U'\xFFFD');
    }
    return QString::fromUcs4(ucs4.data(), static_cast<int>(ucs4.size()));
}

void AppendUtf8(std::string& out, uint32_t c)
{
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
        c = 0xFFFD;
    if (c < 0x80)
    {
        out += char(c);
    }
    else if (c < 0x800)
    {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    }
    else if (c < 0x10000)
    {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
    else
    {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

std::string ToStdString(const QByteArray& ba)
{
    return std::string(ba.constData(), static_cast<size_t>(ba.size()));
}

} // namespace

void SetupLocaleCodePage()
{
    SetQtLocaleCodec();
    // Done: a later first conversion must not look the codec up (under the lock of Qt's codec
    // registry, which a thread stopped by a fault inside Qt may hold).
    std::call_once(g_localeCodecOnce, [] {});
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr)
    {
        std::setlocale(LC_CTYPE, "C.utf8");
    }
}

std::wstring WidenString(const std::string& s)
{
    std::wstring res;
    res.reserve(s.size());
    for (char c : s)
    {
        const unsigned char b = static_cast<unsigned char>(c);
        res.push_back(static_cast<wchar_t>(b < 0x80 ? b : (0xFF00u | b)));
    }
    return res;
}

std::wstring LocaleStringToUnicode(const std::string& s)
{
    QTextCodec* pC = LocaleCodec();
    ESS_ASSERT(pC != 0);
    // Keep a leading byte-order mark as a character: a code page decoder drops no bytes.
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    return pC->toUnicode(s.data(), static_cast<int>(s.size()), &state).toStdWString();
}

std::string UnicodeToLocaleString(const std::wstring& s)
{
    if (s.empty())
    {
        return std::string();
    }
    QTextCodec* pC = LocaleCodec();
    ESS_ASSERT(pC != 0);
    const std::string res = ToStdString(pC->fromUnicode(WideToQString(s)));
    ESS_ASSERT(res.size() != 0);
    return res;
}

std::wstring StdStringToWString(const std::string& s)
{
    return QString::fromStdString(s).toStdWString();
}

std::string WStringToStdString(std::wstring_view s)
{
    std::string out;
    out.reserve(s.size());
    for (wchar_t c : s)
        AppendUtf8(out, static_cast<uint32_t>(c));
    return out;
}

bool StringUpCase(const std::string& in, std::string& out)
{
    ESS_ASSERT(in.size() == out.size());

    bool allAscii = true;
    for (size_t i = 0; i < in.size(); ++i)
    {
        const unsigned char b = static_cast<unsigned char>(in[i]);
        if (b >= 0x80)
        {
            allAscii = false;
        }
        out[i] = (b >= 'a' && b <= 'z') ? static_cast<char>(b - 32) : in[i];
    }
    return allAscii;
}

std::string StringUpCaseCopy(const std::string& in, bool* pAllAscii)
{
    std::string out(in.size(), '\0');
    const bool allAscii = StringUpCase(in, out);
    if (pAllAscii != nullptr)
    {
        *pAllAscii = allAscii;
    }
    return out;
}

std::wstring StringUpCaseW(const std::wstring& s)
{
    std::wstring res(s);
    for (wchar_t& c : res)
    {
        c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    }
    return res;
}

std::wstring StringLowCaseW(const std::wstring& s)
{
    std::wstring res(s);
    for (wchar_t& c : res)
    {
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    }
    return res;
}

std::string TrimWhitespace(const std::string& s)
{
    static const char* const c_spaces = " \n\r\t";
    const std::string::size_type first = s.find_first_not_of(c_spaces);
    if (first == std::string::npos)
    {
        return std::string();
    }
    const std::string::size_type last = s.find_last_not_of(c_spaces);
    return s.substr(first, last - first + 1);
}

std::string Trim(const std::string& s)
{
    return boost::algorithm::trim_copy(s);
}

std::string PadRight(const std::string& text, unsigned int width, char fill)
{
    std::string res(text);
    const int32_t missing = static_cast<int32_t>(width) - static_cast<int32_t>(text.size());
    if (missing >= 1)
    {
        res.append(static_cast<size_t>(missing), fill);
    }
    return res;
}

QString FormatByteSize(int64_t value, int base, int precision, const QString& format)
{
    // A base of 0 would divide by zero, a base of 1 has no meaning as a unit step.
    ESS_ASSERT(base > 1);

    static const char c_units[] = "KMGTP";
    if (value < base)
    {
        return format.arg(QString::number(value), QString());
    }

    // divisor * base <= value holds whenever the loop goes on, so the divisor never overflows.
    int64_t divisor = base;
    int unit = 0;
    while (value / divisor >= base && unit < 4)
    {
        divisor *= base;
        ++unit;
    }
    const double number = static_cast<double>(value) / static_cast<double>(divisor);
    return format.arg(QString::number(number, 'f', precision), QString(QChar(c_units[unit])));
}

std::string ToWindows1251(const QString& text, bool toDosCyrillic)
{
    QTextCodec* pCodec = QTextCodec::codecForName("Windows-1251");
    ESS_ASSERT(pCodec != 0);
    std::string res = ToStdString(pCodec->fromUnicode(text));
    if (toDosCyrillic)
    {
        for (char& c : res)
        {
            const unsigned char b = static_cast<unsigned char>(c);
            if (b >= 0xC0 && b <= 0xEF)
            {
                c = static_cast<char>(b - 0x40);
            }
            else if (b >= 0xF0)
            {
                c = static_cast<char>(b - 0x10);
            }
        }
    }
    return res;
}

} // namespace Utils
