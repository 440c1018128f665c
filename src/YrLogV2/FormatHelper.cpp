#include "YrLogV2/FormatHelper.h"

#include <cwchar>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include "ESS/Assert.h"

namespace YrLogV2
{

FormatHelper::FormatHelper(bool timeOnly, int mode) : m_timeOnly(timeOnly), m_mode(mode)
{
    ESS_ASSERT(mode == c_modeSeconds);
}

std::wstring FormatHelper::Format(const boost::posix_time::ptime& time) const
{
    if (time.is_special())
        return std::wstring();

    // Built by hand: the stream facets of date_time are slow and locale dependent.
    const boost::gregorian::date d = time.date();
    const boost::posix_time::time_duration t = time.time_of_day();
    wchar_t buf[64];
    if (m_timeOnly)
        std::swprintf(buf, 64, L"%02d:%02d:%02d", int(t.hours()), int(t.minutes()), int(t.seconds()));
    else
        std::swprintf(buf, 64, L"%04d-%02d-%02d %02d:%02d:%02d", int(d.year()), int(d.month()), int(d.day()),
                      int(t.hours()), int(t.minutes()), int(t.seconds()));
    return buf;
}

std::wstring FormatHelper::FormatNow() const
{
    return Format(boost::posix_time::second_clock::local_time());
}

} // namespace YrLogV2
