#pragma once
#include <string>
#include "ESS/CppLocation.h"

namespace ESS
{

// The assertion path: reports and halts; returns true only if the process could not be ended.
bool AssertionFailed(const std::wstring& message, const CppLocation& location, bool runHooks);

// An assertion message from 8-bit text in the locale's encoding.
std::wstring MakeMessage(const std::string& text);

namespace detail
{
// Follows a fatal assertion site: the process must not go on.
[[noreturn]] void AbortAfterAssert();
} // namespace detail

} // namespace ESS

// Checks an invariant; on failure reports the condition text exactly as written and halts.
#define ESS_ASSERT(cond)                                                                                     \
    do                                                                                                       \
    {                                                                                                        \
        if (!(cond))                                                                                         \
        {                                                                                                    \
            ::ESS::AssertionFailed(::ESS::MakeMessage(#cond), ESS_LOCATION, true);                           \
            ::ESS::detail::AbortAfterAssert();                                                               \
        }                                                                                                    \
    } while (0)

// Halts with a message built by the site (8-bit text, std::string or const char*).
#define ESS_HALT(text)                                                                                       \
    do                                                                                                       \
    {                                                                                                        \
        ::ESS::AssertionFailed(::ESS::MakeMessage(text), ESS_LOCATION, true);                                \
        ::ESS::detail::AbortAfterAssert();                                                                   \
    } while (0)

#define ESS_UNIMPLEMENTED ESS_HALT("Unimplemented!")
