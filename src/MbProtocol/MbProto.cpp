#include "MbProtocol/MbProto.h"
#include "Utils/VectorUtils.h"

namespace MbProtocol
{

Context::Context(ContextHandler& handler, ContextId id, const std::string& desc, const HandlerFn& handlerFn)
    : m_handler(handler), m_id(id), m_desc(desc), m_handlerFn(handlerFn)
{
    ESS_ASSERT(!m_desc.empty());
    ESS_ASSERT(m_handlerFn);
    if (!IsDefault())
        m_handler.RegisterContext(this);
}

Context::~Context()
{
    if (!IsDefault())
        m_handler.UnregisterContext(this);
}

std::string Context::ToString() const
{
    return "'" + m_desc + "'[" + std::to_string(m_id.Id()) + "]";
}

void ContextHandler::RegisterContext(Context* p)
{
    ESS_ASSERT(p != 0);
    ESS_ASSERT(!p->IsDefault());
    HandlerLog().Add(YrLogV2::Info, "Register context: {}", p->ToString());
    m_handlers.push_back(p);
}

void ContextHandler::UnregisterContext(Context* p)
{
    ESS_ASSERT(p != 0);
    HandlerLog().Add(YrLogV2::Info, "Unregister context: {}", p->ToString());
    ESS_ASSERT(Utils::RemoveAllByValue(m_handlers, p) == 1);
}

Context* ContextHandler::FindContext(ContextId id) const
{
    for (auto it = m_handlers.rbegin(); it != m_handlers.rend(); ++it)
        if ((*it)->Id() == id)
            return *it;
    return nullptr;
}

} // namespace MbProtocol
