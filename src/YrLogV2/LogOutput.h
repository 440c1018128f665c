#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <QString>
#include <boost/function.hpp>
#include "Utils/IBasicInterface.h"

class QDateTime;

namespace YrLogV2
{

// One record as it leaves a node; every text is UTF-8.
struct LogRecord
{
    std::chrono::system_clock::time_point time;
    std::string thread; // registered thread name, or the thread id in decimal for an unnamed thread
    int level = 0;
    std::string tag;  // tag name
    std::string node; // node path, e.g. "Bridge_to_prc.MbcAdapter"; "root" for the root node
    std::string text;
};

// The line every output writes (no line end):
//   "yyyy-MM-dd hh:mm:ss.zzz <thread, padded to 18> <tag, padded to 8> <node>: <text>"
// Local time. Fields longer than their width are not cut.
std::string FormatRecordLine(const LogRecord& record);

// Where records go. Write is called under the log root's delivery mutex, so an output sees one
// record at a time and in delivery order. An output must not log, must not write to the debug
// log (its lock is taken before the root's by the debug-log redirect) and must not attach or
// detach outputs; a failure is its own business (it reports on stderr at most).
class ILogOutput : public Utils::IBasicInterface
{
public:
    virtual void Write(const LogRecord& record, const std::string& line) = 0;
};

// "log_" + yyMMdd_hhmmss + "_pid" + pid + ".log".
QString MakeLogFileName(const QDateTime& startTime, int64_t pid);

// A plain UTF-8 file output (a byte-order mark opens every file), created in folder (made when
// missing) and named by MakeLogFileName from the current local time and this process's id.
// Records go through a memory buffer: it is written out at once for Warning and more important
// records, when it holds c_flushBytes, at most c_flushPeriodMs after a record on a flusher thread,
// on Flush, when the output ends, before every halt (an exit observer, so before a crash report)
// and at process exit. Throws Utils::TextFileWriter::Error when the folder or the file cannot be
// made for want of anything but room (no permission, a plain file in the way), after telling it
// on stderr.
//
// Size cap: when a file passes limits.maxFileBytes (0: no cap) the output goes on in a new file
// named "log_<yyMMdd_hhmmss>_pid<pid>_<n>.log" (n = 2, 3, ...) and then calls limits.onNewFile
// (under the output's lock: it must not log), which the set-up uses to clean the log folder.
// A new file that cannot be started (a full disk) leaves nothing behind; the records go on into
// the current file, and the next try comes with a record at least c_startRetryMs later. A first
// file that finds no room (ENOSPC, EDQUOT, EFBIG) is tried again the same way, the records lost
// meanwhile, and calls limits.onNewFile once it starts. Failures are told on stderr and in the
// debug log, once until writing or starting a file works again.
struct FileOutputLimits
{
    uint64_t maxFileBytes = 0;
    boost::function<void()> onNewFile;
};

class IFileOutput : public ILogOutput
{
public:
    static constexpr int c_flushPeriodMs = 100;
    static constexpr std::size_t c_flushBytes = 64 * 1024;
    static constexpr int c_startRetryMs = 1000;

    // The file written now (a new one after every size cap); empty while the first one waits for
    // room.
    virtual QString FilePath() const = 0;
    // Writes the buffered records out; any thread.
    virtual void Flush() = 0;
};
std::shared_ptr<IFileOutput> CreateFileOutput(const QString& folder,
                                              const FileOutputLimits& limits = FileOutputLimits());

// Writes out the buffers of every live file output; any thread, also inside a halt (an output
// busy on another thread for longer than a short wait is passed over rather than waited for).
void FlushFileOutputs() noexcept;

// Standard output, one flushed line per record.
std::shared_ptr<ILogOutput> CreateConsoleOutput();

// Keeps records in memory (tests, diagnostics). Readable from any thread.
class MemoryOutput : public ILogOutput
{
public:
    void Write(const LogRecord& record, const std::string& line) override;

    std::vector<std::string> Lines() const;
    std::vector<LogRecord> Records() const;
    // Texts of the records from the node with the given path, in order.
    std::vector<std::string> Texts(const std::string& node) const;
    size_t Count() const;
    void Clear();

private:
    mutable std::mutex m_lock;
    std::vector<LogRecord> m_records;
    std::vector<std::string> m_lines;
};

} // namespace YrLogV2
