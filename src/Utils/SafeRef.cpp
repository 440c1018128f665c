#include "Utils/SafeRef.h"
#include <sstream>
#include <typeinfo>
#include "Platform/TypeName.h"

namespace Utils
{

SafeRefServer::~SafeRefServer()
{
    const int32_t count = m_refCount.load();
    if (count == 0)
        return;

    std::ostringstream report;
    report << "~SafeRefServer " << count;
    if (!m_typeText.empty())
        report << " TYPE {" << m_typeText << "}";
    ESS_HALT(report.str());
}

void SafeRefServer::IncSafeRef(BaseSafeRef*) const
{
    const int32_t prevVal = m_refCount.fetch_add(1);
    // Only the thread that moved the count from 0 writes the text; the name of the complete
    // object is what typeid gives for *this through the virtual table.
    if (prevVal == 0 && m_typeText.empty())
        m_typeText = Platform::RawTypeName(typeid(*this));
}

void SafeRefServer::DecSafeRef(BaseSafeRef*) const
{
    const int32_t prevVal = m_refCount.fetch_sub(1);
    ESS_ASSERT(prevVal > 0);
}

} // namespace Utils
