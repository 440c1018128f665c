#include "Utils/Fsm.h"

#include <mutex>
#include <typeindex>
#include <unordered_map>
#include <fmt/format.h>
#include <fmt/xchar.h>
#include "Platform/TypeName.h"

namespace Utils
{

namespace
{

// Event names are asked for on every logged event; demangling each time would cost an
// allocation and a parse per packet, so each class is named once per process.
const std::wstring& ShortEventName(const std::type_info& ti)
{
    static std::mutex s_mutex;
    static std::unordered_map<std::type_index, std::wstring> s_names;

    std::lock_guard<std::mutex> lock(s_mutex);
    auto it = s_names.find(std::type_index(ti));
    if (it != s_names.end())
        return it->second;

    std::string name = FsmDetail::TypeName(ti);
    const std::string::size_type pos = name.rfind("::");
    if (pos != std::string::npos)
        name.erase(0, pos + 2);
    // Class names are plain ASCII identifiers, so a byte-wise widening is exact.
    std::wstring wide(name.begin(), name.end());
    // Node-based map: the reference stays valid while other names are added.
    return s_names.emplace(std::type_index(ti), std::move(wide)).first->second;
}

} // namespace

const char* FsmSpecState::FsmEnumToString(EnumType val)
{
    switch (val)
    {
    case _AnyState_:
        return "_AnyState_";
    case _DynamicState_:
        return "_DynamicState_";
    case _SameState_:
        return "_SameState_";
    }
    ESS_HALT("FsmSpecState::VerifyFsmEnum(val)");
}

std::string FsmDetail::TypeName(const std::type_info& ti)
{
    return Platform::PrettyTypeName(ti.name());
}

std::wstring FsmBaseEvent::ToString() const
{
    return ShortEventName(typeid(*this));
}

std::wstring FsmBaseEvent::ToJson() const
{
    return fmt::format(L"{{\"typename\":\"{}\"}}", ShortEventName(typeid(*this)));
}

} // namespace Utils
