#pragma once
#include <algorithm>
#include <cstddef>
#include <type_traits>

namespace Utils
{

// True when index addresses an element of the container: 0 <= index < size.
template <class TCont, class TIndex>
bool ValidateIndex(const TCont& cont, TIndex index)
{
    static_assert(std::is_integral_v<TIndex>, "integral index expected");
    if constexpr (std::is_signed_v<TIndex>)
    {
        if (index < 0)
            return false;
    }
    return static_cast<std::make_unsigned_t<TIndex>>(index) < cont.size();
}

// Removes every element equal to value; returns how many were removed.
template <class TCont, class TValue>
size_t RemoveAllByValue(TCont& cont, const TValue& value)
{
    const size_t before = cont.size();
    cont.erase(std::remove(cont.begin(), cont.end(), value), cont.end());
    return before - cont.size();
}

} // namespace Utils
