#include "ESS/AssertElse.h"

#include "ESS/Assert.h"
#include "ESS/HaltOnUnexpected.h"
#include "Utils/StringUtils.h"

namespace ESS
{
namespace AssertElse
{

namespace
{

// Every failed check is fatal.
class DefaultHook : public IHook
{
public:
    bool IsFatal() const override { return true; }
    bool IsFatalAt(const CppLocation&) const override { return true; }
    void PutInformation(const std::wstring&) override {}
};

// Made at start-up and never destroyed: checks may fail while static objects are torn down.
IHook* const g_pDefaultHook = new DefaultHook();

} // namespace

bool DoProcess(const char* condition, const CppLocation& location,
               const boost::function<std::wstring()>& info)
{
    try
    {
        ESS_ASSERT(g_pDefaultHook);
        IHook* pHook = g_pDefaultHook;

        std::wstring text = L"Assertion '";
        text += Utils::WidenString(condition != nullptr ? condition : "");
        text += L"' failed at '";
        text += Utils::WidenString(location.ToString());
        text += L"'; info '";
        text += info(); // an empty function halts with "boost::bad_function_call"
        text += L"'";

        if (pHook->IsFatal())
        {
            AssertionFailed(text, ESS_LOCATION, true);
            ::ESS::detail::AbortAfterAssert();
        }
        pHook->PutInformation(text);
        return false;
    }
    catch (const std::exception& e)
    {
        HaltOnUnexpected(Utils::MakeExceptionInfo(e), std::wstring());
    }
}

namespace detail
{

std::wstring NoInformation()
{
    return std::wstring();
}

} // namespace detail

} // namespace AssertElse
} // namespace ESS
