#include "YrMeta/SmartEnum.h"

#include <typeinfo>
#include "Platform/TypeName.h"
#include "Utils/StringUtils.h"

namespace YrMeta
{

int SmartEnum::CastToInt() const
{
    const EnumRawInfo& info = RawInfo();
    const std::uint64_t index = ValueIndex();
    ESS_ASSERT(info.IsValidIndex(index));
    return info.values[index];
}

std::string SmartEnum::ToString() const
{
    const EnumRawInfo& info = RawInfo();
    const std::uint64_t index = ValueIndex();
    ESS_ASSERT(info.IsValidIndex(index));
    return info.names[index];
}

bool SmartEnum::FromInt(const EnumValue& value, bool throwIfMissing)
{
    const EnumRawInfo& info = RawInfo();
    for (std::uint64_t i = 0; i < info.count; ++i)
    {
        if (info.values[i] == value.value)
        {
            SetValueIndex(i);
            return true;
        }
    }
    if (!throwIfMissing)
    {
        return false;
    }
    const std::string text = "Enum (" + Platform::RawTypeName(typeid(*this)) + ") value " +
                             std::to_string(value.value) + " is not valid.";
    ThrowConvertionException(ESS_LOCATION, Utils::LocaleStringToUnicode(text));
}

bool SmartEnum::FromString(const std::string& text, bool throwIfMissing)
{
    const EnumRawInfo& info = RawInfo();
    for (std::uint64_t i = 0; i < info.count; ++i)
    {
        if (text == info.names[i])
        {
            SetValueIndex(i);
            return true;
        }
    }
    if (!throwIfMissing)
    {
        return false;
    }
    const std::string msg =
        "Enum (" + Platform::RawTypeName(typeid(*this)) + ") does not have value of " + text;
    ThrowConvertionException(ESS_LOCATION, Utils::LocaleStringToUnicode(msg));
}

int SmartEnum::Compare(const SmartEnum& other) const
{
    const int a = CastToInt();
    const int b = other.CastToInt();
    return (a < b) ? -1 : ((a > b) ? 1 : 0);
}

void SmartEnum::ThrowConvertionException(const ESS::CppLocation& location, const std::wstring& message)
{
    ESS::Throw(ConvertionException(message, location));
}

} // namespace YrMeta
