#pragma once
#include <exception>
#include <string>

namespace Utils
{

// A standard exception that carries its message as text.
class ExceptionMsg : public std::exception
{
public:
    explicit ExceptionMsg(const std::string& message) : m_message(message) {}
    ~ExceptionMsg() override = default;

    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};

} // namespace Utils
