#pragma once
#include <string>
#include <boost/function.hpp>
#include "ESS/CppLocation.h"
#include "Utils/IBasicInterface.h"

namespace ESS
{
namespace AssertElse
{

// Decides what a failed assert-else check does. Only the default hook exists: every failed
// check is fatal.
class IHook : public Utils::IBasicInterface
{
public:
    virtual bool IsFatal() const = 0;
    virtual bool IsFatalAt(const CppLocation& location) const = 0;
    virtual void PutInformation(const std::wstring& info) = 0;
};

// Reports the failed check "Assertion '<cond>' failed at '<location>'; info '<info()>'" and
// halts the process.
bool DoProcess(const char* condition, const CppLocation& location,
               const boost::function<std::wstring()>& info);

namespace detail
{
std::wstring NoInformation();
}

} // namespace AssertElse
} // namespace ESS

// A check that carries an information text besides its condition; fatal like ESS_ASSERT.
#define ESS_ASSERT_ELSE_INFO(cond, infoFn)                                                                   \
    do                                                                                                       \
    {                                                                                                        \
        if (!(cond))                                                                                         \
            ::ESS::AssertElse::DoProcess(#cond, ESS_LOCATION, (infoFn));                                     \
    } while (0)

#define ESS_ASSERT_ELSE(cond) ESS_ASSERT_ELSE_INFO(cond, &::ESS::AssertElse::detail::NoInformation)
