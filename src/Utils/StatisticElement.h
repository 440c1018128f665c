#pragma once
#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include "ESS/Assert.h"

namespace Utils
{

// Copyable accumulator of values: last, minimum, maximum, sum and count, with a flag that
// tells when the sum or the count overflowed. Callers format its text themselves.
template <class TValue, class TSum, class TCount>
class StatisticElement
{
    static_assert(std::is_integral_v<TValue> && std::is_integral_v<TSum> && std::is_integral_v<TCount>,
                  "integral types only");

public:
    explicit StatisticElement(const std::string& name = std::string(),
                              const std::string& desc = std::string())
        : m_name(name), m_desc(desc)
    {
    }

    void Add(TValue v)
    {
        if (m_count == 0)
        {
            m_sum = 0;
            m_overflow = false;
            m_min = v;
            m_max = v;
        }

        if (++m_count == 0)
        {
            m_overflow = true;
            m_sum = 0;
        }

        if (v != 0)
        {
            TSum res;
            if (__builtin_add_overflow(m_sum, static_cast<TSum>(v), &res))
                m_overflow = true;
            m_sum = res; // wrapped on overflow; the flag tells
        }

        m_max = std::max(m_max, v);
        m_min = std::min(m_min, v);
        m_last = v;
    }

    void Clear() { *this = StatisticElement(m_name, m_desc); }

    bool Empty() const { return m_count == 0; }
    TCount Count() const { return m_count; }
    TValue Last() const { return m_last; }
    TValue Min() const { return m_min; }
    TValue Max() const { return m_max; }
    bool Overflow() const { return m_overflow; }

    TSum Sum() const
    {
        ESS_ASSERT(!Empty());
        return m_sum;
    }

    TSum Average() const
    {
        ESS_ASSERT(!Empty());
        return m_sum / static_cast<TSum>(m_count);
    }

    const std::string& Name() const { return m_name; }

private:
    TValue m_last = 0;
    TValue m_min = 0;
    TValue m_max = 0;
    TSum m_sum = 0;
    TCount m_count = 0;
    bool m_overflow = false;
    std::string m_name;
    std::string m_desc;
};

} // namespace Utils
