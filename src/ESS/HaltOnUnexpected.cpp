#include "ESS/HaltOnUnexpected.h"

#include "ESS/Assert.h"

namespace ESS
{

void HaltOnUnexpected(const Utils::ExceptionInfo& info, const std::wstring& location)
{
    std::wstring text = L"Halt on unexpected exception";
    if (!location.empty())
        text += L" at location " + location;
    text += L"\n" + Utils::ExceptionToText(info) + L"\n";
    AssertionFailed(text, ESS_LOCATION, true);
    detail::AbortAfterAssert();
}

} // namespace ESS
