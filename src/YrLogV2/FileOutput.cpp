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
#include <mutex>
#include <set>
#include <thread>
#include <QDateTime>
#include <QDir>
#include "Platform/Halt.h"
#include "Utils/FuncThread.h"
#include "Utils/TextFileWriter.h"
#include "YrLogV2/Tag.h"

namespace YrLogV2
{

namespace
{

const char c_byteOrderMark[] = "\xEF\xBB\xBF";

// A halt or exit waits no longer than this for an output busy on another thread.
const auto c_haltLockWait = std::chrono::milliseconds(100);

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
    // Opens path for appending (the byte-order mark starts a new file) and gives its size in
    // bytes; -1 when it cannot be opened.
    static int OpenFile(const QString& path, uint64_t& bytes);
    QString NextFileName();

    void FlushLocked();
    void StartNextFileLocked();
    void FlusherLoop(); // flusher thread

    const QString m_folder;
    const FileOutputLimits m_limits;

    mutable OwnedMutex m_lock; // guards up to the blank line
    std::condition_variable_any m_wake;
    int m_fd;
    QString m_path;
    std::string m_buffer;
    uint64_t m_fileBytes; // written and buffered into the current file
    int m_fileNumber;
    bool m_stop;
    bool m_writeFailed; // reported once on stderr

    std::unique_ptr<Utils::IVirtualDestroy> m_flusher;
};

void Registry::Add(FileOutput* p)
{
    std::lock_guard<OwnedMutex> lock(m_lock);
    m_outputs.insert(p);
    if (m_hooked)
        return;
    m_hooked = true;
    // Kind 0 comes first for every halt, before the crash report is written (kind 1); kind 1
    // catches what the report itself logged.
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
    if (m_lock.try_lock_for(c_haltLockWait))
    {
        for (FileOutput* p : m_outputs)
            p->FlushNoWait();
        m_lock.unlock();
    }
    t_flushingAll = false;
}

FileOutput::FileOutput(const QString& folder, const FileOutputLimits& limits)
    : m_folder(folder), m_limits(limits), m_fd(-1), m_fileBytes(0), m_fileNumber(1), m_stop(false),
      m_writeFailed(false)
{
    QDir().mkpath(folder);
    m_path = QDir(folder).filePath(MakeLogFileName(QDateTime::currentDateTime(), ::getpid()));
    m_fd = OpenFile(m_path, m_fileBytes);
    if (m_fd < 0)
        ESS_THROW_MSG(Utils::TextFileWriter::Error, L"Can't open file " + m_path.toStdWString());
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
    ::close(m_fd);
}

void FileOutput::Write(const LogRecord& record, const std::string& line)
{
    std::lock_guard<OwnedMutex> lock(m_lock);
    const bool wasEmpty = m_buffer.empty();
    m_buffer.append(line).push_back('\n');
    m_fileBytes += line.size() + 1;

    if (record.level <= Warning.Level() || m_buffer.size() >= c_flushBytes)
        FlushLocked();
    else if (wasEmpty)
        m_wake.notify_one(); // one wake per batch, not per record

    if (m_limits.maxFileBytes != 0 && m_fileBytes >= m_limits.maxFileBytes)
        StartNextFileLocked();
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
    if (m_lock.HeldByThisThread() || !m_lock.try_lock_for(c_haltLockWait))
        return;
    FlushLocked();
    m_lock.unlock();
}

int FileOutput::OpenFile(const QString& path, uint64_t& bytes)
{
    // Names go by the second: a second log started by this process within the same second
    // (the library unloaded and loaded again) goes on after the first one's records.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0)
    {
        ::close(fd);
        return -1;
    }
    bytes = uint64_t(st.st_size);
    if (bytes == 0)
    {
        if (::write(fd, c_byteOrderMark, sizeof(c_byteOrderMark) - 1) < 0)
        {
            ::close(fd);
            return -1;
        }
        bytes = sizeof(c_byteOrderMark) - 1;
    }
    return fd;
}

QString FileOutput::NextFileName()
{
    QString name = MakeLogFileName(QDateTime::currentDateTime(), ::getpid());
    name.chop(4); // ".log"
    return QDir(m_folder).filePath(name + "_" + QString::number(++m_fileNumber) + ".log");
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
            // A full disk must not stop the program: the records are lost, and said so once.
            if (!m_writeFailed)
                std::fprintf(stderr, "YrLogV2: log file write failed: %s\n", std::strerror(errno));
            m_writeFailed = true;
            break;
        }
        p += n;
        left -= std::size_t(n);
    }
    m_buffer.clear(); // keeps its capacity
}

void FileOutput::StartNextFileLocked()
{
    FlushLocked();
    const QString path = NextFileName();
    uint64_t bytes = 0;
    const int fd = OpenFile(path, bytes);
    if (fd < 0)
    {
        // Goes on in the current file; the next record tries again.
        if (!m_writeFailed)
            std::fprintf(stderr, "YrLogV2: next log file can't be opened: %s\n", std::strerror(errno));
        m_writeFailed = true;
        return;
    }
    ::close(m_fd);
    m_fd = fd;
    m_path = path;
    m_fileBytes = bytes;
    m_writeFailed = false;
    if (!m_limits.onNewFile)
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
        m_wake.wait(lock, [this] { return m_stop || !m_buffer.empty(); });
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
