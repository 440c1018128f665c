#pragma once

namespace Utils
{

// Mixin giving T the comparison operators from its three-way `int Compare(const T&) const`
// (negative, 0, positive). Only values of the same T compare.
template <class T>
class ComparableT
{
public:
    friend bool operator==(const T& a, const T& b) { return a.Compare(b) == 0; }
    friend bool operator!=(const T& a, const T& b) { return a.Compare(b) != 0; }
    friend bool operator<(const T& a, const T& b) { return a.Compare(b) < 0; }
    friend bool operator<=(const T& a, const T& b) { return a.Compare(b) <= 0; }
    friend bool operator>(const T& a, const T& b) { return a.Compare(b) > 0; }
    friend bool operator>=(const T& a, const T& b) { return a.Compare(b) >= 0; }

protected:
    ComparableT() = default;
    ~ComparableT() = default;
};

} // namespace Utils
