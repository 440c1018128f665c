#include "ESS/BoostHooks.h"

#include <boost/assert.hpp>

#include "ESS/Assert.h"

namespace boost
{

// A call of an empty boost::function anywhere in the system.
void throw_exception(const bad_function_call&)
{
    ESS::AssertionFailed(L"boost::bad_function_call", ESS_LOCATION, true);
    ESS::detail::AbortAfterAssert();
}

// BOOST_ASSERT failures of the Boost libraries take the system's assertion path.
void assertion_failed(char const* expr, char const* function, char const* file, long line)
{
    ESS::AssertionFailed(ESS::MakeMessage(expr != nullptr ? expr : ""),
                         ESS::CppLocation(file, function, static_cast<int32_t>(line)), true);
}

void assertion_failed_msg(char const* expr, char const* msg, char const* function, char const* file,
                          long line)
{
    std::string text = expr != nullptr ? expr : "";
    if (msg != nullptr && *msg != '\0')
    {
        text += "\n";
        text += msg;
    }
    ESS::AssertionFailed(ESS::MakeMessage(text), ESS::CppLocation(file, function, static_cast<int32_t>(line)),
                         true);
}

} // namespace boost
