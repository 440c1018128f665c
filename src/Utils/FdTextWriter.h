#pragma once
#include <string>
#include <boost/noncopyable.hpp>

namespace Utils
{

// A UTF-8 text file written through its descriptor alone, for the halt path (the crash report,
// the abnormal-exit record): no Qt object, stream or codec lookup, no time-zone code, no thrown
// error, hence no lock that another thread may hold. The thread that halted may be stopped inside
// Qt or the C library with one of their locks held. The bytes are those of TextFileWriter with
// the codec "utf-8": the file is emptied, a new one starts with the byte-order mark, an existing
// one gets none. Each line is written at once, so a report cut short keeps the lines written
// before it.
// Threads: one thread at a time.
class FdTextWriter : boost::noncopyable
{
public:
    // Opens the file; Error() tells whether that worked.
    FdTextWriter(const std::string& path, bool timePrefix);
    ~FdTextWriter();

    // "" while every step has worked; else why the first one failed: "Can't open file " + path,
    // or "Can't write file " + path + ": " + the system's reason. Nothing is written after it.
    const std::string& Error() const { return m_error; }

    // [time ": "] text "\n", the local time as "d.MM hh:mm:ss" when asked for at construction.
    // False when the line was not written whole (see Error()).
    // A code point that is no character (a surrogate, above U+10FFFF) is written as U+FFFD, where
    // Qt's stream wrote "?" for a lone surrogate, "??" above U+10FFFF, and glued some such pairs
    // into a false character.
    bool WriteLine(const std::wstring& text);

private:
    bool WriteAll(const std::string& bytes);

    const std::string m_path;
    const bool m_timePrefix;
    int m_fd;
    std::string m_error;
};

} // namespace Utils
