#pragma once
// Counts the plain operator new calls of the calling thread while a CountNew lives; the
// allocation itself is left to the operator new this one hides (the sanitizer's or the library's).
// Defines the global operator new: include it in one file of a test executable only.
#include <dlfcn.h>
#include <cstdlib>
#include <new>

namespace TestUtils
{
namespace detail
{
inline thread_local bool t_countNew = false;
inline thread_local int t_newCount = 0;

using NewFn = void* (*)(std::size_t);
inline NewFn NextNew()
{
    static const NewFn fn = reinterpret_cast<NewFn>(dlsym(RTLD_NEXT, "_Znwm"));
    return fn;
}
} // namespace detail

class CountNew
{
public:
    CountNew()
    {
        detail::t_newCount = 0;
        detail::t_countNew = true;
    }
    ~CountNew() { detail::t_countNew = false; }
    int Count() const { return detail::t_newCount; }
};

} // namespace TestUtils

void* operator new(std::size_t size)
{
    using namespace TestUtils::detail;
    if (t_countNew)
        ++t_newCount;
    if (NewFn fn = NextNew())
        return fn(size);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
