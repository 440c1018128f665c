// The buffered log file output (see LogOutput.h).
//
// Threads: Write runs on any thread under the log root's delivery mutex; the flusher thread,
// Flush, halts (exit observer) and process exit write the buffer out. Each output's own mutex
// guards its buffer and file; a halt never waits long for it.
#include "YrLogV2/LogOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <vector>
#include <QDateTime>
#include <QDir>
#include "Platform/Halt.h"
#include "Platform/HaltPathLock.h"
#include "Utils/DebugLog.h"
#include "Utils/FuncThread.h"
#include "Utils/TextFileWriter.h"
#include "YrLogV2/Tag.h"

namespace YrLogV2
{

namespace
{

const char c_byteOrderMark[] = "\xEF\xBB\xBF";
const std::size_t c_byteOrderMarkSize = sizeof(c_byteOrderMark) - 1;

// True while this thread writes out every output: a fault inside that must not try again.
thread_local bool t_flushingAll = false;

// A lock that remembers its owner, so that a halt raised while this thread holds it does not
// lock it again (the buffer may be half written then).
class OwnedMutex
{
public:
    void lock()
    {
        m_mutex.lock();
        m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    bool try_lock_for(std::chrono::milliseconds wait)
    {
        if (!m_mutex.try_lock_for(wait))
            return false;
        m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        return true;
    }
    void unlock()
    {
        m_owner.store(std::thread::id(), std::memory_order_relaxed);
        m_mutex.unlock();
    }
    bool HeldByThisThread() const
    {
        return m_owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

private:
    std::timed_mutex m_mutex;
    std::atomic<std::thread::id> m_owner{};
};

class FileOutput;

// Every live file output, for the halt and exit flush. Never destroyed: a halt or exit may come
// after static destruction has begun.
class Registry
{
public:
    static Registry& Instance()
    {
        static Registry* const p = new Registry();
        return *p;
    }

    void Add(FileOutput* p);
    void Remove(FileOutput* p);
    void FlushAll() noexcept;

private:
    OwnedMutex m_lock; // guards up to the blank line
    std::set<FileOutput*> m_outputs;
    bool m_hooked = false;

    Utils::NotificationHandle m_exitObserver;
};

class FileOutput : public IFileOutput
{
public:
    FileOutput(const QString& folder, const FileOutputLimits& limits);
    ~FileOutput() override;

    // ILogOutput; any thread, under the root's delivery mutex.
    void Write(const LogRecord& record, const std::string& line) override;

    // IFileOutput; any thread.
    QString FilePath() const override;
    void Flush() override;

    // For a halt or exit: writes out unless the output is busy on this thread or for too long.
    void FlushNoWait() noexcept;

private:
    using Clock = std::chrono::steady_clock;

    // Opens path for appending (the byte-order mark starts a new file) and gives its size in
    // bytes; -1 (errno set) when it cannot be opened or started. A file it made and could not
    // start is removed again: a full disk must not fill the folder with empty files.
    static int OpenFile(const QString& path, uint64_t& bytes);
    // The first file while none is open, else the next one.
    QString NewFilePathLocked() const;

    void FlushLocked();
    // Goes on in a new file; 0, or the error (errno) when it cannot be started: the output goes
    // on as it was, the failure told, and the next try waits c_startRetryMs. path: the file tried.
    int TryStartFileLocked(QString& path);
    void StartFileLocked(); // and calls the clean-up
    // Says once per episode, on stderr at once and in the debug log from the flusher thread
    // (this thread may hold the log root's delivery mutex, which the debug log takes too).
    void TellLocked(bool& episode, const std::string& text);
    void FlusherLoop(); // flusher thread

    const QString m_folder;
    const FileOutputLimits m_limits;

    mutable OwnedMutex m_lock; // guards up to the blank line
    std::condition_variable_any m_wake;
    int m_fd; // -1 until a first file could be started
    QString m_path;
    std::string m_buffer;
    uint64_t m_fileBytes; // written and buffered into the current file
    int m_fileNumber;
    bool m_stop;
    bool m_writeFailing; // until a write succeeds again
    bool m_startFailing; // until a file has been started
    Clock::time_point m_nextStartTry;
    std::vector<std::string> m_notices; // for the debug log, told by the flusher thread

    std::unique_ptr<Utils::IVirtualDestroy> m_flusher;
};

void Registry::Add(FileOutput* p)
{
    std::lock_guard<OwnedMutex> lock(m_lock);
    m_outputs.insert(p);
    if (m_hooked)
        return;
    m_hooked = true;
    // Kind 0 comes first for every halt, before the crash report is written (kind 1).
    m_exitObserver = Platform::AddExitObserver([](const Platform::ExitInformation&) { FlushFileOutputs(); });
    std::atexit([] { FlushFileOutputs(); });
}

void Registry::Remove(FileOutput* p)
{
    std::lock_guard<OwnedMutex> lock(m_lock);
    m_outputs.erase(p);
}

void Registry::FlushAll() noexcept
{
    if (t_flushingAll || m_lock.HeldByThisThread())
        return;
    t_flushingAll = true;
    if (Platform::TryLockForHaltPath(m_lock))
    {
        for (FileOutput* p : m_outputs)
            p->FlushNoWait();
        m_lock.unlock();
    }
    t_flushingAll = false;
}

FileOutput::FileOutput(const QString& folder, const FileOutputLimits& limits)
    : m_folder(folder), m_limits(limits), m_fd(-1), m_fileBytes(0), m_fileNumber(1), m_stop(false),
      m_writeFailing(false), m_startFailing(false)
{
    // With no room (a full disk, a file-size limit) the output waits for it without a file, as
    // after a failed next file; a folder or file it may never make is the caller's to handle.
    QString path;
    const int error = TryStartFileLocked(path);
    if (error != 0 && error != ENOSPC && error != EDQUOT && error != EFBIG)
        ESS_THROW_MSG(Utils::TextFileWriter::Error, L"Can't open file " + path.toStdWString());
    m_buffer.reserve(c_flushBytes + 4096);

    Registry::Instance().Add(this);
    m_flusher = Utils::ThreadRunFn([this] { FlusherLoop(); }, "LogFlush");
}

FileOutput::~FileOutput()
{
    Registry::Instance().Remove(this);
    {
        std::lock_guard<OwnedMutex> lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_flusher.reset();

    std::lock_guard<OwnedMutex> lock(m_lock);
    FlushLocked();
    if (m_fd >= 0)
        ::close(m_fd);
}

void FileOutput::Write(const LogRecord& record, const std::string& line)
{
    // On the halt path the record is lost when the output stays busy past a short wait, and no
    // file is started: a new file's name takes the local time from the time-zone code, whose lock
    // a thread stopped by a fault may hold. A record that gets in is written out at once: the
    // process ends before the flusher's next turn.
    const bool haltPath = Platform::OnHaltPath();
    if (!Platform::LockBoundedOnHaltPath(m_lock))
        return;
    std::lock_guard<OwnedMutex> lock(m_lock, std::adopt_lock);
    // Without a file the records are lost; the first record after the pause tries again.
    if (m_fd < 0 && !haltPath && Clock::now() >= m_nextStartTry)
        StartFileLocked();
    if (m_fd < 0)
        return;
    const bool wasEmpty = m_buffer.empty();
    m_buffer.append(line).push_back('\n');
    m_fileBytes += line.size() + 1;

    if (haltPath || record.level <= Warning.Level() || m_buffer.size() >= c_flushBytes)
        FlushLocked();
    else if (wasEmpty)
        m_wake.notify_one(); // one wake per batch, not per record

    // After a failed start the next try waits: a full disk must not cost a file per record.
    if (!haltPath && m_limits.maxFileBytes != 0 && m_fileBytes >= m_limits.maxFileBytes &&
        (!m_startFailing || Clock::now() >= m_nextStartTry))
        StartFileLocked();
}

QString FileOutput::FilePath() const
{
    std::lock_guard<OwnedMutex> lock(m_lock);
    return m_path;
}

void FileOutput::Flush()
{
    std::lock_guard<OwnedMutex> lock(m_lock);
    FlushLocked();
}

void FileOutput::FlushNoWait() noexcept
{
    if (m_lock.HeldByThisThread() || !Platform::TryLockForHaltPath(m_lock))
        return;
    FlushLocked();
    m_lock.unlock();
}

int FileOutput::OpenFile(const QString& path, uint64_t& bytes)
{
    // Names go by the second: a second log started by this process within the same second
    // (the library unloaded and loaded again) goes on after the first one's records.
    const QByteArray name = QFile::encodeName(path);
    bool made = true;
    int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST)
    {
        made = false;
        fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    }
    if (fd < 0)
        return -1;
    struct stat st;
    bool started = ::fstat(fd, &st) == 0;
    bytes = started ? uint64_t(st.st_size) : 0;
    if (started && bytes == 0)
    {
        // A part of the mark is no start either; writing the rest tells why (errno).
        std::size_t done = 0;
        while (started && done < c_byteOrderMarkSize)
        {
            const ssize_t n = ::write(fd, c_byteOrderMark + done, c_byteOrderMarkSize - done);
            if (n > 0)
                done += std::size_t(n);
            else
                started = n < 0 && errno == EINTR;
        }
        bytes = c_byteOrderMarkSize;
    }
    if (started)
        return fd;
    const int error = errno;
    ::close(fd);
    if (made)
        ::unlink(name.constData());
    errno = error;
    return -1;
}

QString FileOutput::NewFilePathLocked() const
{
    QString name = MakeLogFileName(QDateTime::currentDateTime(), ::getpid());
    if (m_fd >= 0)
    {
        name.chop(4); // ".log"
        name += "_" + QString::number(m_fileNumber + 1) + ".log";
    }
    return QDir(m_folder).filePath(name);
}

void FileOutput::FlushLocked()
{
    const char* p = m_buffer.data();
    std::size_t left = m_buffer.size();
    while (left > 0)
    {
        const ssize_t n = ::write(m_fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            // A full disk must not stop the program: the records are lost, and said so.
            TellLocked(m_writeFailing, std::string("log file write failed: ") + std::strerror(errno));
            break;
        }
        m_writeFailing = false;
        p += n;
        left -= std::size_t(n);
    }
    m_buffer.clear(); // keeps its capacity
}

void FileOutput::TellLocked(bool& episode, const std::string& text)
{
    if (episode)
        return;
    episode = true;
    try
    {
        // A halt flushes here too: the halting thread may hold the stream's lock.
        Platform::WriteToStandardError("YrLogV2: " + text + "\n");
        m_notices.push_back(text);
        // The wake takes the condition's own lock without a bound; on the halt path the flusher
        // would come too late anyway.
        if (!Platform::OnHaltPath())
            m_wake.notify_one();
    }
    catch (const std::exception&)
    {
        // Out of memory: nothing more can be said.
    }
}

int FileOutput::TryStartFileLocked(QString& path)
{
    path = NewFilePathLocked();
    uint64_t bytes = 0;
    std::error_code folderError;
    if (m_fd < 0)
        std::filesystem::create_directories(QFile::encodeName(m_folder).toStdString(), folderError);
    const int fd = folderError ? -1 : OpenFile(path, bytes);
    if (fd < 0)
    {
        const int error = folderError ? folderError.value() : errno;
        m_nextStartTry = Clock::now() + std::chrono::milliseconds(c_startRetryMs);
        TellLocked(m_startFailing, std::string(m_fd < 0 ? "log file '" : "next log file '") +
                                       path.toStdString() + "' can't be opened: " + std::strerror(error));
        return error;
    }
    if (m_fd >= 0)
    {
        ::close(m_fd);
        ++m_fileNumber;
    }
    m_fd = fd;
    m_path = path;
    m_fileBytes = bytes;
    m_startFailing = false;
    return 0;
}

void FileOutput::StartFileLocked()
{
    FlushLocked();
    QString path;
    if (TryStartFileLocked(path) != 0 || !m_limits.onNewFile)
        return;
    try
    {
        m_limits.onNewFile();
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "YrLogV2: log folder clean-up failed: %s\n", e.what());
    }
}

void FileOutput::FlusherLoop()
{
    std::unique_lock<OwnedMutex> lock(m_lock);
    while (!m_stop)
    {
        m_wake.wait(lock, [this] { return m_stop || !m_buffer.empty() || !m_notices.empty(); });
        if (!m_notices.empty())
        {
            std::vector<std::string> notices;
            notices.swap(m_notices);
            lock.unlock();
            for (const std::string& n : notices)
                Utils::DebugLogFile::Write(L"YrLogV2: " + QString::fromStdString(n).toStdWString());
            lock.lock();
            continue;
        }
        // Records written within one period go out together.
        m_wake.wait_for(lock, std::chrono::milliseconds(c_flushPeriodMs), [this] { return m_stop; });
        FlushLocked();
    }
}

} // namespace

std::shared_ptr<IFileOutput> CreateFileOutput(const QString& folder, const FileOutputLimits& limits)
{
    return std::make_shared<FileOutput>(folder, limits);
}

void FlushFileOutputs() noexcept
{
    Registry::Instance().FlushAll();
}

} // namespace YrLogV2
