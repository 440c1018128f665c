#include "Utils/ExceptionInfo.h"

#include <typeinfo>

#include "ESS/Exception.h"
#include "Platform/TypeName.h"
#include "Utils/StringUtils.h"

namespace Utils
{

ExceptionInfo MakeExceptionInfo(const std::exception& e)
{
    ExceptionInfo info;
    info.typeName = Platform::RawTypeName(typeid(e));
    if (const auto* pBase = dynamic_cast<const ESS::BaseException*>(&e))
        info.text = pBase->FormatText();
    else
        info.text = LocaleStringToUnicode(e.what());
    return info;
}

std::wstring ExceptionToText(const ExceptionInfo& info)
{
    std::wstring res;
    if (!info.context.empty())
        res += info.context + L"; ";
    if (!info.typeName.empty() || !info.text.empty())
    {
        res += L"Exception type ";
        if (info.typeName.empty())
        {
            res += L"[no type information]";
        }
        else
        {
            std::string pretty;
            try
            {
                pretty = Platform::PrettyTypeName(info.typeName.c_str());
            }
            catch (...)
            {
            }
            res += L"'" + WidenString(pretty.empty() ? info.typeName : pretty) + L"'";
        }
        res += L" info ";
        res += info.text.empty() ? std::wstring(L"[no info]") : L"'" + info.text + L"'";
    }
    if (!info.stackTrace.empty())
        res += L"\n * stack trace * \n" + WidenString(info.stackTrace);
    return res;
}

} // namespace Utils
