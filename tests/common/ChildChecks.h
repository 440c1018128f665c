#pragma once
#include <unistd.h>
#include <cstdio>
#include <string>

namespace TestUtils
{

// Collects what went wrong in a child that is expected to live; the exit code tells the parent.
struct Checks
{
    std::string errors;

    void Expect(bool ok, const std::string& what)
    {
        if (!ok)
            errors += what + "\n";
    }

    [[noreturn]] void Exit()
    {
        if (!errors.empty())
            std::fprintf(stderr, "%s", errors.c_str());
        std::fflush(stderr);
        _exit(errors.empty() ? 0 : 1);
    }
};

} // namespace TestUtils
