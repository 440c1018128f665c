#include "YrLogV2/LogOutput.h"

#include <cstdio>
#include <ctime>
#include <QDateTime>
#include <unistd.h>
#include "Platform/HaltPathLock.h"
#include "Platform/LocalTime.h"
#include "Platform/SysInfo.h"

namespace YrLogV2
{

namespace
{

void AppendPadded(std::string& out, const std::string& text, std::size_t width)
{
    out += text;
    if (text.size() < width)
        out.append(width - text.size(), ' ');
}

class ConsoleOutput : public ILogOutput
{
public:
    void Write(const LogRecord&, const std::string& line) override
    {
        // On the halt path standard output may stay locked for good (a thread stopped by a fault
        // inside printf): past a short wait the record goes to descriptor 1 directly, whole.
        if (Platform::OnHaltPath())
        {
            if (!Platform::TryLockStreamForHaltPath(stdout))
            {
                const std::string whole = line + '\n';
                Platform::WriteWhole(STDOUT_FILENO, whole.data(), whole.size());
                return;
            }
        }
        else
        {
            ::flockfile(stdout);
        }
        ::fwrite_unlocked(line.data(), 1, line.size(), stdout);
        ::fputc_unlocked('\n', stdout);
        ::fflush_unlocked(stdout);
        ::funlockfile(stdout);
    }
};

} // namespace

std::string FormatRecordLine(const LogRecord& record)
{
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<milliseconds>(record.time.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(sinceEpoch / 1000);
    int ms = static_cast<int>(sinceEpoch % 1000);
    if (ms < 0)
    {
        ms += 1000;
        --secs;
    }

    // localtime_r is the costly part; a thread's records mostly share their second. On the halt
    // path its lock may be held by a thread stopped by a fault: the offset taken ahead serves.
    thread_local std::time_t t_second = -1;
    thread_local char t_date[32];
    char haltDate[32];
    const char* date = t_date;
    if (Platform::OnHaltPath())
    {
        const std::tm lt = Platform::LocalTimeOrUtc(secs);
        std::strftime(haltDate, sizeof(haltDate), "%Y-%m-%d %H:%M:%S", &lt);
        date = haltDate;
    }
    else if (secs != t_second)
    {
        std::tm lt{};
        localtime_r(&secs, &lt);
        std::strftime(t_date, sizeof(t_date), "%Y-%m-%d %H:%M:%S", &lt);
        t_second = secs;
    }

    char msText[8];
    std::snprintf(msText, sizeof(msText), ".%03d ", ms);

    std::string line;
    line.reserve(64 + record.thread.size() + record.node.size() + record.text.size());
    line += date;
    line += msText;
    AppendPadded(line, record.thread, 18);
    line += ' ';
    AppendPadded(line, record.tag, 8);
    line += ' ';
    line += record.node;
    line += ": ";
    line += record.text;
    return line;
}

QString MakeLogFileName(const QDateTime& startTime, int64_t pid)
{
    return "log_" + startTime.toString("yyMMdd_hhmmss") + "_pid" + QString::number(pid) + ".log";
}

std::shared_ptr<ILogOutput> CreateConsoleOutput()
{
    return std::make_shared<ConsoleOutput>();
}

void MemoryOutput::Write(const LogRecord& record, const std::string& line)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_records.push_back(record);
    m_lines.push_back(line);
}

std::vector<std::string> MemoryOutput::Lines() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lines;
}

std::vector<LogRecord> MemoryOutput::Records() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_records;
}

std::vector<std::string> MemoryOutput::Texts(const std::string& node) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::string> out;
    for (const LogRecord& r : m_records)
        if (r.node == node)
            out.push_back(r.text);
    return out;
}

size_t MemoryOutput::Count() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_records.size();
}

void MemoryOutput::Clear()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_records.clear();
    m_lines.clear();
}

} // namespace YrLogV2
