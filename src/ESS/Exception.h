#pragma once
#include <exception>
#include <string>
#include "ESS/CppLocation.h"

namespace ESS
{

// Root of the program's own exceptions: message, raising location and stack at the raise.
class BaseException : public std::exception
{
public:
    BaseException(const std::wstring& message, const CppLocation& location);
    ~BaseException() override;

    const char* what() const noexcept override;

    void CaptureStackTrace();
    std::wstring FormatText() const;

    const std::wstring& Message() const { return m_message; }
    const CppLocation& Location() const { return m_location; }
    const std::string& StackTrace() const { return m_stackTrace; }

private:
    CppLocation m_location;
    std::wstring m_message;
    std::string m_stackTrace;
    mutable std::string m_textCache;
};

#define ESS_DECLARE_EXCEPTION(Name, Base)                                                                    \
    class Name : public Base                                                                                 \
    {                                                                                                        \
    public:                                                                                                  \
        Name(const std::wstring& message, const ::ESS::CppLocation& location) : Base(message, location) {}   \
    }

ESS_DECLARE_EXCEPTION(Exception, BaseException);
ESS_DECLARE_EXCEPTION(Assertion, BaseException);
ESS_DECLARE_EXCEPTION(TutException, BaseException);

// Raised after a call that must never return; its message is "No return!" unless a site gives one.
class NoReturnException : public BaseException
{
public:
    explicit NoReturnException(const CppLocation& location) : BaseException(L"No return!", location) {}
    NoReturnException(const std::wstring& message, const CppLocation& location)
        : BaseException(message.empty() ? std::wstring(L"No return!") : message, location)
    {
    }
};

// Markers, known only by their run-time type.
class INonTraceable
{
public:
    virtual ~INonTraceable() = default;
};
class BreakHookChain
{
};
class HookRethrow
{
};

void ProcessHook(const BaseException* e);

// The only way program exceptions are thrown: the stack is captured and the hooks see
// the exception before anybody can catch it.
template <class T>
[[noreturn]] void Throw(T e)
{
    e.CaptureStackTrace();
    ProcessHook(&e);
    throw e;
}

[[noreturn]] void ThrowException(const CppLocation& location, const std::wstring& message);
[[noreturn]] void ThrowTutException(const std::wstring& message, const CppLocation& location);

// Registered name + " (" + id + ")", or the id alone for an unnamed thread.
std::string CurrentThreadText();

} // namespace ESS

// Throws an exception of type T (constructor (std::wstring, CppLocation)) raised here.
#define ESS_THROW_MSG(T, msg) ::ESS::Throw(T((msg), ESS_LOCATION))
#define ESS_THROW(T) ::ESS::Throw(T(std::wstring(), ESS_LOCATION))
