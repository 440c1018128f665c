#pragma once
#include <string>
#include <boost/date_time/posix_time/ptime.hpp>

namespace YrLogV2
{

// Date and time texts of the log library, wide.
//   mode 3: whole seconds, "%Y-%m-%d %H:%M:%S" (timeOnly: "%H:%M:%S").
// Only mode 3 exists; any other mode is a programming error and fatal.
class FormatHelper
{
public:
    static const int c_modeSeconds = 3;

    FormatHelper(bool timeOnly, int mode);

    std::wstring Format(const boost::posix_time::ptime& time) const;

    // The current local time (boost local clock).
    std::wstring FormatNow() const;

private:
    bool m_timeOnly;
    int m_mode;
};

} // namespace YrLogV2
