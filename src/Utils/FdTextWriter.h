#pragma once
#include <string>
#include <boost/noncopyable.hpp>
#include "ESS/Exception.h"

namespace Utils
{

// A UTF-8 text file written through its descriptor alone: no Qt object, stream or codec lookup,
// hence no lock that another thread may hold. The halt path writes with it (the crash report, the
// abnormal-exit record): the thread that halted may be stopped inside Qt with one of Qt's locks
// held. The bytes are those of TextFileWriter with the codec "utf-8": the file is emptied, a new
// one starts with the byte-order mark, an existing one gets none. Each line is written at once,
// so a report cut short keeps the lines written before it.
// Threads: one thread at a time.
class FdTextWriter : boost::noncopyable
{
public:
    ESS_DECLARE_EXCEPTION(Error, ::ESS::Exception);

    // Throws Error "Can't open file " + path.
    FdTextWriter(const std::string& path, bool timePrefix);
    ~FdTextWriter();

    // [time ": "] text "\n", the local time as "d.MM hh:mm:ss" when asked for at construction.
    // A code point that is no character (a surrogate, above U+10FFFF) is written as U+FFFD, where
    // Qt's stream glued such values into false pairs.
    // Throws Error "Can't write file " + path + ": " + the system's reason.
    void WriteLine(const std::wstring& text);

private:
    void WriteAll(const std::string& bytes);

    const std::string m_path;
    const bool m_timePrefix;
    int m_fd;
};

} // namespace Utils
