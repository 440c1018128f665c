#pragma once
#include <cstdint>
#include <string>
#include <boost/optional.hpp>
#include "ESS/Assert.h"
#include "ESS/Exception.h"

// A failed text <-> number conversion; the message names both types, the value and the reason.
ESS_DECLARE_EXCEPTION(BadLexicalCast, ::ESS::Exception);

[[noreturn]] void ThrowBadLexicalCast(const ESS::CppLocation& location, const std::wstring& message);

// Converts value to To; a failure throws BadLexicalCast. Defined for a fixed set of pairs only
// (text to and from the integer types, double and bool); any other pair fails to link.
// The `long` pairs keep the 32-bit range of the Windows `long`.
template <class To, class From>
To LexicalCastImpl(const From& value);

template <class To, std::size_t N>
To LexicalCastImpl(const char (&value)[N])
{
    return LexicalCastImpl<To, const char*>(value);
}

// As LexicalCastImpl, but a failure gives defaultValue when it holds one.
template <class To, class From>
To LexicalCast(const From& value, const boost::optional<To>& defaultValue = boost::optional<To>())
{
    try
    {
        return LexicalCastImpl<To, From>(value);
    }
    catch (const BadLexicalCast&)
    {
        if (defaultValue)
        {
            return *defaultValue;
        }
        throw;
    }
}

template <class To, std::size_t N>
To LexicalCast(const char (&value)[N], const boost::optional<To>& defaultValue = boost::optional<To>())
{
    return LexicalCast<To, const char*>(value, defaultValue);
}

namespace Utils
{

// "0", "F", "FALSE", "f", "false", "False" -> false; "1", "T", "TRUE", "t", "true", "True" -> true;
// anything else (no trimming, no other mixture of case) -> none.
boost::optional<bool> StringToBool(const std::string& text);

// "Can't cast '<source type>' -> '<target type>', value '<value>': <error>".
std::wstring CastFailureText(const std::string& errorText, const std::wstring& valueText,
                             const std::string& sourceTypeName, const std::string& targetTypeName);

std::string IntToString(int value, int minWidth = 1);

// Lower-case hex with at least 2 * minAddBytes digits (minAddBytes 0..4).
std::string IntToHexString(unsigned int value, bool add0xPrefix = false, int minAddBytes = 0);

// At most 8 hex digits; with with0xPrefix the text starts with "0x". False on any bad input.
bool HexStringToInt(const std::string& text, unsigned int& value, bool with0xPrefix = false);

// Bytes as blank-separated hex pairs; with maxBytes != 0 a longer dump is cut and ends in " " + tail.
void DumpToHexString(const void* pData, uint64_t size, std::string& out, uint64_t maxBytes = 0,
                     const std::string& tail = std::string());
std::string DumpToHexStringLimited(const void* pData, uint64_t size, uint64_t maxBytes);

// Parses "key = value; key = value" (keys and values trimmed, a value may hold '=').
// Throws ESS::Exception on a piece without '=' and on a repeated key.
template <class TMap>
TMap ParseOptionsMapCont(const std::string& text);

} // namespace Utils
