#include "Utils/DebugLog.h"

#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <QDateTime>
#include <QStandardPaths>
#include <boost/filesystem/path.hpp>
#include "ESS/Assert.h"
#include "Platform/HaltPathLock.h"
#include "Platform/LocalTime.h"
#include "Platform/SysInfo.h"
#include "Utils/ExeName.h"
#include "Utils/TextFile.h"

namespace Utils
{

namespace
{

struct DebugFile
{
    TextFileWriter writer{DebugFilePath(), true, true, false, "UTF-8"};

    static QString DebugFilePath()
    {
        // Before the start-up has recorded the executable name, the process's own file names it.
        const std::wstring exe =
            ExeName::IsInitialized() ? ExeName::Instance().GetExeName() : Platform::GetExePath();
        const std::wstring stem = boost::filesystem::path(exe).stem().wstring();
        return QStandardPaths::writableLocation(QStandardPaths::TempLocation) + "/debug_log_" +
               QString::fromStdWString(stem) + ".txt";
    }

    // On the halt path without the C library's time-zone code, whose lock a thread stopped by a
    // fault may hold.
    static QString LocalTimeText()
    {
        if (!Platform::OnHaltPath())
            return QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss");
        const std::tm tm = Platform::LocalTimeOrUtc(std::time(nullptr));
        char text[32];
        return QString::fromLatin1(text, int(std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &tm)));
    }
};

struct DebugLogState
{
    std::timed_mutex lock; // not recursive: a nested write on the same thread is caught by t_inWrite instead
    boost::function<void(const std::wstring&)> redirect;
    bool openTried = false;
    std::unique_ptr<DebugFile> pFile;
};

DebugLogState& State()
{
    static DebugLogState* const p = new DebugLogState(); // used until the very end of the process
    return *p;
}

// Made while the module loads, before any thread can race for it.
[[maybe_unused]] DebugLogState& g_stateAtLoad = State();

// The state outlives the module's other statics, but its file must not: a library that the host
// unloads would leave the descriptor open for good, one more at every load.
struct CloseFileAtUnload
{
    ~CloseFileAtUnload()
    {
        DebugLogState& s = State();
        std::lock_guard<std::timed_mutex> guard(s.lock);
        s.pFile.reset();
        s.openTried = false;
    }
} g_closeFileAtUnload;

// Set while this thread is inside Write (and so holds the lock).
thread_local bool t_inWrite = false;

void InitFile(DebugLogState& s)
{
    ESS_ASSERT(s.pFile == 0);
    try
    {
        s.pFile = std::make_unique<DebugFile>();
    }
    catch (const std::exception&)
    {
        // The channel stays silent.
    }
}

void WriteToFile(DebugLogState& s, const std::wstring& text, bool addTime)
{
    if (!s.openTried)
    {
        // Opening takes Qt's locks (the environment's, the codec registry's): not on the halt path.
        if (Platform::OnHaltPath())
            return;
        s.openTried = true; // a failed open is never retried
        InitFile(s);
    }
    if (!s.pFile)
    {
        return;
    }
    QString line;
    if (addTime)
    {
        line = DebugFile::LocalTimeText() + ": ";
    }
    line += QString::fromStdWString(text);
    s.pFile->writer.WriteLine(line);
}

} // namespace

void DebugLogFile::SetRedirect(const boost::function<void(const std::wstring&)>& fn)
{
    DebugLogState& s = State();
    std::lock_guard<std::timed_mutex> guard(s.lock);
    ESS_ASSERT(fn);
    s.redirect = fn;
}

void DebugLogFile::Write(const std::wstring& text, bool addTime)
{
    DebugLogState& s = State();

    if (t_inWrite)
    {
        // The redirect target wrote to the debug log again on this thread: the lock is ours already,
        // and going round the redirect once more would never end. The text goes to the file.
        WriteToFile(s, text, addTime);
        return;
    }

    // On the halt path the text is lost when the lock does not come in time; the halt has
    // written it to standard error already.
    if (!Platform::LockBoundedOnHaltPath(s.lock))
        return;
    std::lock_guard<std::timed_mutex> guard(s.lock, std::adopt_lock);
    t_inWrite = true;
    try
    {
        if (s.redirect)
        {
            s.redirect(text);
        }
        else
        {
            WriteToFile(s, text, addTime);
        }
    }
    catch (...)
    {
        t_inWrite = false;
        throw;
    }
    t_inWrite = false;
}

} // namespace Utils
