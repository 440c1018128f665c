#pragma once
#include <string>

namespace TestUtils
{

// The text as a death-test regular expression that matches it literally.
inline std::string Literal(const std::string& text)
{
    std::string res;
    for (char c : text)
    {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos)
            res += '\\';
        res += c;
    }
    return res;
}

} // namespace TestUtils
