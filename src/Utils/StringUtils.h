#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <QString>
#include "ESS/Assert.h"

namespace Utils
{

// Makes the "locale code page" UTF-8 whatever the environment says (LANG may be unset or C):
// Qt's locale codec and the C library's character classes (LC_CTYPE, used by towupper/towlower).
// Start-up code calls it once, before threads start; the locale conversions below also make sure
// of the Qt codec on first use, so they never depend on the environment.
void SetupLocaleCodePage();

// One wide character per byte, for texts that are ASCII in practice (type names, library
// messages): bytes 0x80..0xFF become U+FF80..U+FFFF, as a sign-extended 16-bit char would.
std::wstring WidenString(const std::string& s);

// 8-bit text in the locale's code page (UTF-8 here) <-> wide text.
std::wstring LocaleStringToUnicode(const std::string& s);
std::string UnicodeToLocaleString(const std::wstring& s);

// UTF-8 <-> wide text. A wide value that is no character (a surrogate, above U+10FFFF) becomes
// U+FFFD. The encoding takes no lock, so the halt path may use it.
std::wstring StdStringToWString(const std::string& s);
std::string WStringToStdString(std::wstring_view s);

// ASCII a-z raised to A-Z, other bytes unchanged; true when every byte is below 0x80.
bool StringUpCase(const std::string& in, std::string& out);
std::string StringUpCaseCopy(const std::string& in, bool* pAllAscii = nullptr);

// Per character towupper/towlower under the process's current C locale.
std::wstring StringUpCaseW(const std::wstring& s);
std::wstring StringLowCaseW(const std::wstring& s);

// Without leading and trailing " \n\r\t" (vertical tab and form feed stay).
std::string TrimWhitespace(const std::string& s);

// Without leading and trailing characters the global std::locale classifies as space.
std::string Trim(const std::string& s);

std::string PadRight(const std::string& text, unsigned int width, char fill);

// value scaled by base with a unit letter from "KMGTP"; format holds %1 (number) and %2 (unit).
QString FormatByteSize(int64_t value, int base, int precision, const QString& format);

// Windows-1251 bytes; toDosCyrillic moves the Cyrillic letters to the layout of code page 866.
std::string ToWindows1251(const QString& text, bool toDosCyrillic);

// Appends to out the pieces of text between occurrences of delim (out is not cleared);
// empty pieces only with keepEmpty. Returns the size of out afterwards.
namespace details
{
template <class T>
struct NonDeduced
{
    using Type = T;
};
} // namespace details

// (delim takes its type from text, so a literal may be passed for it.)
template <class TCont, class TString>
uint64_t Split(TCont& out, const TString& text, const typename details::NonDeduced<TString>::Type& delim,
               bool keepEmpty)
{
    ESS_ASSERT(!delim.empty());

    typename TString::size_type pos = 0;
    while (true)
    {
        const typename TString::size_type found = text.find(delim, pos);
        const typename TString::size_type end = (found == TString::npos) ? text.size() : found;
        if (keepEmpty || end > pos)
        {
            out.push_back(text.substr(pos, end - pos));
        }
        if (found == TString::npos)
        {
            break;
        }
        pos = found + delim.size();
    }
    return out.size();
}

} // namespace Utils
