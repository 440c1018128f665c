#include "MbProtocol/MbCommand.h"
#include "Utils/VectorUtils.h"

namespace MbProtocol
{

CommandId CommandList::TypeToCommand(const std::string& name) const
{
    for (size_t i = 0; i < m_types.size(); ++i)
        if (m_types[i].m_typeName == name)
            return CommandId(static_cast<int32_t>(i));
    return CommandId();
}

const CommandList::Info& CommandList::GetInfo(CommandId id) const
{
    const int32_t i = id.Index();
    ESS_ASSERT(Utils::ValidateIndex(m_types, i));
    return m_types[static_cast<size_t>(i)];
}

std::shared_ptr<CommandObject> CommandList::Create(CommandId id, const Utils::ByteArray& payload) const
{
    const int32_t i = id.Index();
    ESS_ASSERT(Utils::ValidateIndex(m_types, i));
    return m_types[static_cast<size_t>(i)].m_createFn(payload);
}

} // namespace MbProtocol
