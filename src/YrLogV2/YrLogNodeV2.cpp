#include "YrLogV2/Log.h"

#include <fmt/format.h>
#include "ESS/Assert.h"
#include "Utils/StringUtils.h"
#include "YrLogV2/LogInternal.h"

namespace YrLogV2
{

namespace details
{

namespace
{

Node& AsNode(NodeBase* p)
{
    return *static_cast<Node*>(p);
}

} // namespace

LogRecord MakeRecord(const Node& node, const Tag& tag, std::string&& text)
{
    LogRecord r;
    r.time = std::chrono::system_clock::now();
    r.thread = CurrentThreadText();
    r.level = tag.Level();
    r.tag = tag.Name();
    r.node = node.Path();
    r.text = std::move(text);
    return r;
}

} // namespace details

Log::Log(details::NodeBase* pNode, RootTag) : m_marker(c_aliveMarker), m_pNode(pNode), m_mode(0), m_mode2(0)
{
}

Log::Log(const Log& parent, const std::string& name, int mode, int mode2)
    : m_marker(c_aliveMarker), m_pNode(nullptr), m_mode(mode), m_mode2(mode2)
{
    parent.AssertAlive();
    ESS_ASSERT(!name.empty());
    m_pNode = &details::Root().ChildNode(details::AsNode(parent.m_pNode), name);
}

Log::Log(const Log& other)
    : m_marker(c_aliveMarker), m_pNode(other.m_pNode), m_mode(other.m_mode), m_mode2(other.m_mode2)
{
    other.AssertAlive();
}

Log::~Log()
{
    // A volatile store: a plain one to a dying object may be dropped by the optimiser, and the
    // marker must read dead if the storage is ever used through this handle again.
    *static_cast<volatile uint32_t*>(&m_marker) = 0;
}

void Log::AssertAlive() const
{
    if (*static_cast<const volatile uint32_t*>(&m_marker) != c_aliveMarker)
        ESS_HALT(fmt::format("Log node({}) is dead", static_cast<const void*>(this)));
}

void Log::CheckWrite(const void* pMsg) const
{
    ESS_ASSERT(pMsg != nullptr);
    AssertAlive();
}

void Log::Put(const char* pData, const Tag& tag) const
{
    ESS_ASSERT(pData != 0);
    AssertAlive();
    if (m_pNode->Passes(tag.Level()))
        WriteText(tag, std::string(pData));
}

void Log::WriteFormatted(const Tag& tag, std::string_view format, std::size_t argCount,
                         fmt::format_args args) const
{
    std::string text;
    try
    {
        text = fmt::vformat(fmt::string_view(format.data(), format.size()), args);
    }
    catch (...)
    {
        // A bad format (or an argument whose formatter throws anything at all) is a bug at the
        // call site, but the call must not fail: say what went wrong.
        if (m_pNode->Passes(LogError.Level()))
            WriteText(LogError, fmt::format("Unable to format string '{}' for {} args", format, argCount));
        return;
    }
    WriteText(tag, std::move(text));
}

void Log::WriteFormatted(const Tag& tag, std::wstring_view format, std::size_t argCount,
                         fmt::format_args args) const
{
    WriteFormatted(tag, Utils::WStringToStdString(format), argCount, args);
}

void Log::WriteText(const Tag& tag, std::string&& text) const
{
    details::Root().Deliver(details::MakeRecord(details::AsNode(m_pNode), tag, std::move(text)));
}

LogStream Log::MakeStream(const Tag& tag) const
{
    AssertAlive();
    return LogStream(*this, tag);
}

const std::string& Log::Name() const
{
    AssertAlive();
    return details::AsNode(m_pNode).Name();
}

const std::string& Log::Path() const
{
    AssertAlive();
    return details::AsNode(m_pNode).Path();
}

LogStream::LogStream(const Log& log, const Tag& tag) : m_pLog(&log), m_tag(tag)
{
    if (log.Active(tag))
        m_pStream = std::make_unique<std::ostringstream>();
}

LogStream::LogStream(LogStream&& other) noexcept
    : m_pLog(other.m_pLog), m_tag(other.m_tag), m_pStream(std::move(other.m_pStream))
{
}

LogStream::~LogStream()
{
    if (!m_pStream)
        return;
    m_pLog->AssertAlive();
    m_pLog->WriteText(m_tag, m_pStream->str());
}

LogStream& LogStream::operator<<(const std::wstring& v)
{
    if (m_pStream)
        *m_pStream << Utils::WStringToStdString(v);
    return *this;
}

LogStream& LogStream::operator<<(const wchar_t* v)
{
    if (m_pStream && v)
        *m_pStream << Utils::WStringToStdString(v);
    return *this;
}

LogStream& LogStream::operator<<(const QString& v)
{
    if (m_pStream)
        *m_pStream << v.toUtf8().constData();
    return *this;
}

} // namespace YrLogV2
