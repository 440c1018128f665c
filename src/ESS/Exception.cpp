#include "ESS/Exception.h"

#include <sstream>
#include <typeinfo>

#include <QString>

#include "Platform/StackTrace.h"
#include "Platform/Thread.h"
#include "Platform/TypeName.h"
#include "Utils/StringUtils.h"

namespace ESS
{

namespace
{

// The readable name of a dynamic type; the raw name when the clean-up fails or gives nothing.
std::string ReadableTypeName(const std::type_info& ti)
{
    const std::string raw = Platform::RawTypeName(ti);
    try
    {
        std::string pretty = Platform::PrettyTypeName(raw.c_str());
        if (!pretty.empty())
            return pretty;
    }
    catch (...)
    {
    }
    return raw;
}

} // namespace

BaseException::BaseException(const std::wstring& message, const CppLocation& location)
    : m_location(location), m_message(message)
{
}

BaseException::~BaseException() = default;

void BaseException::CaptureStackTrace()
{
    m_stackTrace = Platform::CaptureStackTrace();
    m_textCache.clear();
}

std::wstring BaseException::FormatText() const
{
    std::wostringstream ss;
    ss << L"Exception ";
    if (!m_message.empty())
        ss << L"\n>>>\n" << m_message << L"\n<<<\n";
    ss << Utils::LocaleStringToUnicode(ReadableTypeName(typeid(*this)));
    ss << L" in thread " << Utils::LocaleStringToUnicode(CurrentThreadText());
    const std::string location = m_location.ToString();
    if (!location.empty())
        ss << L" @ " << Utils::LocaleStringToUnicode(location);
    if (!m_stackTrace.empty())
        ss << L"\n* Stack trace *\n" << Utils::LocaleStringToUnicode(m_stackTrace);
    return ss.str();
}

const char* BaseException::what() const noexcept
{
    if (m_textCache.empty())
    {
        try
        {
            m_textCache = QString::fromStdWString(FormatText()).toUtf8().toStdString();
        }
        catch (...)
        {
            return "ESS::BaseException";
        }
    }
    return m_textCache.c_str();
}

void ThrowException(const CppLocation& location, const std::wstring& message)
{
    Throw(Exception(message, location));
}

void ThrowTutException(const std::wstring& message, const CppLocation& location)
{
    Throw(TutException(message, location));
}

std::string CurrentThreadText()
{
    const std::string id = Platform::ThreadIdToString(Platform::Thread::GetCurrentThreadID());
    const std::string name = Platform::CurrentThreadName();
    return name.empty() ? id : name + " (" + id + ")";
}

} // namespace ESS
