#pragma once
#include <exception>
#include <string>

namespace Utils
{

// The neutral description of any caught exception: program, standard or operating-system.
struct ExceptionInfo
{
    std::wstring context;   // what the catching code was doing; may be empty
    std::string stackTrace; // stack captured by the catcher; may be empty
    std::string typeName;   // raw run-time type name of the caught object; may be empty
    std::wstring text;      // what the exception says; may be empty
};

// Type name of e's dynamic type (raw); text: the full text of a program exception, else what().
ExceptionInfo MakeExceptionInfo(const std::exception& e);

// One-line text: "ctx; Exception type 'T' info 'text'" + the stack block; "" when all is empty.
std::wstring ExceptionToText(const ExceptionInfo& info);

} // namespace Utils
