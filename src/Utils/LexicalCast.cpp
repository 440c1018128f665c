#include "Utils/LexicalCast.h"

#include <cstdio>
#include <map>
#include <sstream>
#include <typeinfo>
#include <vector>
#include <boost/lexical_cast.hpp>
#include "Platform/TypeName.h"
#include "Utils/StringUtils.h"

void ThrowBadLexicalCast(const ESS::CppLocation& location, const std::wstring& message)
{
    ESS::Throw(BadLexicalCast(message, location));
}

namespace
{

// ---- the conversions themselves; a failure is boost::bad_lexical_cast

template <class To, class From>
struct Converter
{
    static To Do(const From& value) { return boost::lexical_cast<To>(value); }
};

// The Windows `long` is 32 bits: keep its range although `long` is wider here.
template <>
struct Converter<long, std::string>
{
    static long Do(const std::string& value) { return boost::lexical_cast<int32_t>(value); }
};

template <>
struct Converter<bool, std::string>
{
    static bool Do(const std::string& value)
    {
        const boost::optional<bool> res = Utils::StringToBool(value);
        if (!res)
        {
            throw boost::bad_lexical_cast(typeid(std::string), typeid(bool));
        }
        return *res;
    }
};

template <>
struct Converter<bool, const char*>
{
    static bool Do(const char* const& value)
    {
        if (value == nullptr)
        {
            throw boost::bad_lexical_cast(typeid(const char*), typeid(bool));
        }
        return Converter<bool, std::string>::Do(std::string(value));
    }
};

template <>
struct Converter<std::string, bool>
{
    static std::string Do(const bool& value) { return value ? "1" : "0"; }
};

std::string DoubleToString(double value)
{
    char buff[64];
    const int n = std::snprintf(buff, sizeof(buff), "%.*g", 17, value);
    return std::string(buff, (n > 0 && n < static_cast<int>(sizeof(buff))) ? n : 0);
}

template <>
struct Converter<std::string, double>
{
    static std::string Do(const double& value) { return DoubleToString(value); }
};

template <>
struct Converter<std::wstring, double>
{
    static std::wstring Do(const double& value) { return Utils::WidenString(DoubleToString(value)); }
};

// ---- the value as the failure message shows it

std::wstring ValueText(const std::string& value)
{
    return Utils::WidenString(value);
}

std::wstring ValueText(const std::wstring& value)
{
    return value;
}

std::wstring ValueText(const char* value)
{
    return Utils::WidenString(value != nullptr ? value : "");
}

template <class T>
std::wstring ValueText(const T& value)
{
    std::wostringstream ss;
    ss << value;
    return ss.str();
}

} // namespace

template <class To, class From>
To LexicalCastImpl(const From& value)
{
    try
    {
        return Converter<To, From>::Do(value);
    }
    catch (const boost::bad_lexical_cast& e)
    {
        ThrowBadLexicalCast(ESS_LOCATION, Utils::CastFailureText(e.what(), ValueText(value),
                                                                 Platform::RawTypeName(typeid(From)),
                                                                 Platform::RawTypeName(typeid(To))));
    }
}

// The pairs the system converts; nothing else links.
template unsigned short LexicalCastImpl<unsigned short, std::string>(const std::string&);
template short LexicalCastImpl<short, std::string>(const std::string&);
template int LexicalCastImpl<int, std::string>(const std::string&);
template long LexicalCastImpl<long, std::string>(const std::string&);
template unsigned int LexicalCastImpl<unsigned int, std::string>(const std::string&);
template unsigned int LexicalCastImpl<unsigned int, std::wstring>(const std::wstring&);
template uint64_t LexicalCastImpl<uint64_t, std::string>(const std::string&);
template double LexicalCastImpl<double, std::string>(const std::string&);
template bool LexicalCastImpl<bool, std::string>(const std::string&);
template bool LexicalCastImpl<bool, const char*>(const char* const&);
template std::string LexicalCastImpl<std::string, unsigned short>(const unsigned short&);
template std::string LexicalCastImpl<std::string, int>(const int&);
template std::string LexicalCastImpl<std::string, long>(const long&);
template std::string LexicalCastImpl<std::string, unsigned int>(const unsigned int&);
template std::string LexicalCastImpl<std::string, uint64_t>(const uint64_t&);
template std::string LexicalCastImpl<std::string, unsigned char>(const unsigned char&);
template std::string LexicalCastImpl<std::string, double>(const double&);
template std::string LexicalCastImpl<std::string, bool>(const bool&);
template std::string LexicalCastImpl<std::string, std::string>(const std::string&);
template std::wstring LexicalCastImpl<std::wstring, int>(const int&);
template std::wstring LexicalCastImpl<std::wstring, unsigned int>(const unsigned int&);
template std::wstring LexicalCastImpl<std::wstring, uint64_t>(const uint64_t&);
template std::wstring LexicalCastImpl<std::wstring, double>(const double&);

namespace Utils
{

boost::optional<bool> StringToBool(const std::string& text)
{
    static const char* const c_false[] = {"0", "F", "FALSE", "f", "false", "False"};
    static const char* const c_true[] = {"1", "T", "TRUE", "t", "true", "True"};
    for (const char* p : c_false)
    {
        if (text == p)
        {
            return false;
        }
    }
    for (const char* p : c_true)
    {
        if (text == p)
        {
            return true;
        }
    }
    return boost::none;
}

std::wstring CastFailureText(const std::string& errorText, const std::wstring& valueText,
                             const std::string& sourceTypeName, const std::string& targetTypeName)
{
    return L"Can't cast '" + WidenString(sourceTypeName) + L"' -> '" + WidenString(targetTypeName) +
           L"', value '" + valueText + L"': " + WidenString(errorText);
}

std::string IntToString(int value, int minWidth)
{
    static const char c_digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";

    // Digits of the magnitude, computed unsigned so that INT_MIN has one.
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    std::string digits;
    do
    {
        digits.insert(digits.begin(), c_digits[magnitude % 10]);
        magnitude /= 10;
    } while (magnitude != 0);

    // Fill zeros go between the sign and the digits.
    const int sign = value < 0 ? 1 : 0;
    const int len = static_cast<int>(digits.size()) + sign;
    if (len < minWidth)
    {
        digits.insert(digits.begin(), static_cast<size_t>(minWidth - len), '0');
    }
    return sign ? "-" + digits : digits;
}

namespace
{

// Writes the hex text into buff; false when minAddBytes is out of 0..4.
bool IntToHexString(unsigned int value, char* buff, size_t buffSize, bool add0xPrefix, int minAddBytes)
{
    if (static_cast<unsigned int>(minAddBytes) > 4)
    {
        return false;
    }

    static const char c_hex[] = "0123456789abcdef";
    char work[8];
    int count = 1;
    for (int i = 0; i < 8; ++i)
    {
        work[i] = c_hex[(value >> (4 * i)) & 0xF];
        if (((value >> (4 * i)) & 0xF) != 0)
        {
            count = i + 1;
        }
    }
    const int n = std::max(count, 2 * minAddBytes);

    size_t pos = 0;
    if (add0xPrefix)
    {
        buff[pos++] = '0';
        buff[pos++] = 'x';
    }
    for (int i = n - 1; i >= 0; --i)
    {
        buff[pos++] = work[i];
    }
    ESS_ASSERT(pos < buffSize);
    buff[pos] = '\0';
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
    {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f')
    {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F')
    {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::string IntToHexString(unsigned int value, bool add0xPrefix, int minAddBytes)
{
    char buff[16];
    ESS_ASSERT(IntToHexString(value, buff, sizeof(buff), add0xPrefix, minAddBytes));
    return buff;
}

bool HexStringToInt(const std::string& text, unsigned int& value, bool with0xPrefix)
{
    value = 0;
    // The text is read as a C string would be: an embedded NUL ends it.
    const std::string s(text.c_str());

    size_t pos = 0;
    if (with0xPrefix)
    {
        if (s.size() < 3 || s[0] != '0' || s[1] != 'x')
        {
            return false;
        }
        pos = 2;
    }
    if (pos >= s.size())
    {
        return false;
    }
    if (s.size() - pos > 8)
    {
        return false;
    }

    for (; pos < s.size(); ++pos)
    {
        const int d = HexDigit(s[pos]);
        if (d < 0)
        {
            return false;
        }
        value = (value << 4) | static_cast<unsigned int>(d);
    }
    return true;
}

void DumpToHexString(const void* pData, uint64_t size, std::string& out, uint64_t maxBytes,
                     const std::string& tail)
{
    ESS_ASSERT(pData != 0);

    out.clear();
    const bool cut = maxBytes != 0 && size > maxBytes;
    const uint64_t count = cut ? maxBytes : size;
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    out.reserve(count * 3 + (cut ? tail.size() + 1 : 0));
    for (uint64_t i = 0; i < count; ++i)
    {
        if (i != 0)
        {
            out += ' ';
        }
        out += IntToHexString(p[i], false, 1);
    }
    if (cut)
    {
        out += ' ';
        out += tail;
    }
}

std::string DumpToHexStringLimited(const void* pData, uint64_t size, uint64_t maxBytes)
{
    std::string res;
    DumpToHexString(pData, size, res, maxBytes, "(...)");
    return res;
}

template <class TMap>
TMap ParseOptionsMapCont(const std::string& text)
{
    std::vector<std::string> pieces;
    Split(pieces, text, std::string(";"), false);

    TMap res;
    for (const std::string& rawPiece : pieces)
    {
        const std::string piece = Trim(rawPiece);
        if (piece.empty())
        {
            continue;
        }
        const std::string::size_type eq = piece.find('=');
        if (eq == std::string::npos)
        {
            ESS::ThrowException(ESS_LOCATION, L"Can't find '=' in " + LocaleStringToUnicode(piece));
        }
        const std::string key = Trim(piece.substr(0, eq));
        const std::string value = Trim(piece.substr(eq + 1));
        if (!res.insert(typename TMap::value_type(key, value)).second)
        {
            ESS::ThrowException(ESS_LOCATION, L"Duplicate key '" + LocaleStringToUnicode(key) + L"'");
        }
    }
    return res;
}

template std::map<std::string, std::string>
ParseOptionsMapCont<std::map<std::string, std::string>>(const std::string&);

} // namespace Utils
