#include "YrLogV2/LogRootImpl.h"

#include <exception>
#include <QMutexLocker>
#include <boost/filesystem.hpp>
#include <fmt/format.h>
#include "ESS/Assert.h"
#include "Platform/Halt.h"
#include "Platform/HaltPathLock.h"
#include "Platform/Thread.h"
#include "Utils/DebugLog.h"
#include "Utils/DelayInit.h"
#include "iCore/MsgThread.h"
#include "Utils/ExeName.h"
#include "YrLogV2/LogInternal.h"

namespace YrLogV2
{

namespace
{

// Set once, before the first handle exists; handles reach the root through it, so that making
// the root's own children never re-enters Instance().
std::atomic<LogRootImpl*> g_pRoot{nullptr};

// True while this thread delivers a record: a record made meanwhile on this thread (an output
// that triggers a Qt warning, say) is queued behind the current one instead of recursing.
thread_local bool t_delivering = false;

// Records queued by re-entrant logging during one delivery; beyond that they are dropped,
// so that an output which logs on every write cannot loop forever.
const std::size_t c_reentrantLimit = 256;

LogRootImpl* CreateRoot()
{
    // Deliberately never destroyed: any thread or static destructor may still log at exit.
    return new LogRootImpl();
}

class OutputGroup : public Utils::IVirtualDestroy
{
public:
    OutputGroup(LogRootImpl& root, uint64_t group) : m_root(root), m_group(group) {}
    ~OutputGroup() override { m_root.Detach(m_group); }

private:
    LogRootImpl& m_root;
    uint64_t m_group;
};

// Called by a poster after it has let go of the queue's lock, so the log's mutex is never taken
// inside it.
void ReportDroppedMsg(const std::string& text)
{
    LogRoot::RootLog().Add(Warning, "{}", text);
}

class DeliveringScope
{
public:
    DeliveringScope() { t_delivering = true; }
    ~DeliveringScope() { t_delivering = false; }
};

} // namespace

namespace details
{

LogRootImpl& Root()
{
    LogRootImpl* p = g_pRoot.load(std::memory_order_acquire);
    return p ? *p : static_cast<LogRootImpl&>(LogRoot::Instance());
}

std::string CurrentThreadText()
{
    std::string name = Platform::CurrentThreadName();
    if (name.empty())
        name = Platform::ThreadIdToString(Platform::Thread::GetCurrentThreadID());
    return name;
}

} // namespace details

LogRoot& LogRoot::Instance()
{
    static LogRootImpl* const p = CreateRoot();
    return *p;
}

Log& LogRoot::RootLog()
{
    Log* px = &static_cast<LogRootImpl&>(Instance()).RootHandle();
    ESS_ASSERT(px != 0);
    return *px;
}

LogRootImpl::LogRootImpl()
    : m_rootNode(nullptr, "root", "root"), m_defaultLevel(c_defaultLevel), m_mutex(QMutex::Recursive),
      m_nextGroup(1), m_earlyDone(false), m_earlyDropped(0), m_debugMode(false), m_pRootLog(nullptr)
{
    m_rootNode.SetThreshold(m_defaultLevel);
    g_pRoot.store(this, std::memory_order_release);
    m_pRootLog = new Log(&m_rootNode, Log::RootTag());

    // From now on the debug log's texts become records of this child.
    Log* pDebugLog = new Log(*m_pRootLog, "UtilsDebugLog");
    Utils::DebugLogFile::SetRedirect([pDebugLog](const std::wstring& text)
                                     { pDebugLog->Add(Info, L"{}", text); });

    // Posts that the message threads drop are reported here from now on, whoever made the root.
    iCore::SetDroppedMsgReporter(&ReportDroppedMsg);
}

details::Node& LogRootImpl::ChildNode(details::Node& parent, const std::string& name)
{
    const std::string path = (&parent == &m_rootNode) ? name : parent.Path() + "." + name;
    std::lock_guard<std::mutex> lock(m_treeLock);
    std::unique_ptr<details::Node>& p = m_nodes[path];
    if (!p)
    {
        p = std::make_unique<details::Node>(&parent, name, path);
        p->SetThreshold(LevelFor(*p));
    }
    return *p;
}

// Under m_treeLock; the parent's threshold is already up to date.
int LogRootImpl::LevelFor(const details::Node& node) const
{
    auto i = m_levels.find(node.Path());
    if (i == m_levels.end())
        i = m_levels.find(node.Name());
    if (i != m_levels.end())
        return i->second;
    return node.Parent() ? node.Parent()->Threshold() : m_defaultLevel;
}

void LogRootImpl::SetLevels(int defaultLevel, const std::map<std::string, int>& nodeLevels)
{
    std::lock_guard<std::mutex> lock(m_treeLock);
    m_defaultLevel = defaultLevel;
    m_levels = nodeLevels;
    m_rootNode.SetThreshold(defaultLevel);
    // A parent's path sorts before its children's ("A" < "A.B"), so one pass in map order sees
    // every parent before its children.
    for (auto& n : m_nodes)
        n.second->SetThreshold(LevelFor(*n.second));
}

int LogRootImpl::DefaultLevel() const
{
    std::lock_guard<std::mutex> lock(m_treeLock);
    return m_defaultLevel;
}

std::unique_ptr<Utils::IVirtualDestroy>
LogRootImpl::AttachOutputs(const std::vector<std::shared_ptr<ILogOutput>>& outputs)
{
    QMutexLocker lock(&m_mutex);
    // An output attached from inside a delivery would change the list being walked.
    ESS_ASSERT(!t_delivering);
    for (const auto& o : outputs)
        ESS_ASSERT(o);

    const uint64_t group = m_nextGroup++;
    for (const auto& o : outputs)
        m_outputs.push_back(Attached{group, o});

    if (!m_earlyDone && !outputs.empty())
    {
        DeliveringScope scope;
        for (const LogRecord& r : m_early)
        {
            const std::string line = FormatRecordLine(r);
            for (const auto& o : outputs)
                WriteTo(*o, r, line);
        }
        if (m_earlyDropped > 0)
        {
            const LogRecord r = MakeRootRecord(
                Warning,
                fmt::format("{} early log records were dropped before the log was set up", m_earlyDropped));
            const std::string line = FormatRecordLine(r);
            for (const auto& o : outputs)
                WriteTo(*o, r, line);
        }
        std::vector<LogRecord>().swap(m_early);
        m_earlyDropped = 0;
        m_earlyDone = true;
    }
    return std::make_unique<OutputGroup>(*this, group);
}

void LogRootImpl::Detach(uint64_t group)
{
    // Outputs whose last owner is the root end after the lock is released: a file output's end
    // waits for its flusher thread, which may be waiting for the lock to log.
    std::vector<Attached> detached;
    QMutexLocker lock(&m_mutex);
    ESS_ASSERT(!t_delivering);
    for (auto i = m_outputs.begin(); i != m_outputs.end();)
    {
        if (i->group == group)
        {
            detached.push_back(std::move(*i));
            i = m_outputs.erase(i);
        }
        else
            ++i;
    }
}

void LogRootImpl::DiscardEarlyRecords()
{
    QMutexLocker lock(&m_mutex);
    std::vector<LogRecord>().swap(m_early);
    m_earlyDropped = 0;
    m_earlyDone = true;
}

void LogRootImpl::Deliver(LogRecord&& record)
{
    // On the halt path the record is lost when the log stays busy past a short wait: the thread
    // that holds it may be stopped by a fault.
    if (!Platform::LockBoundedOnHaltPath(m_mutex))
        return;
    std::unique_lock<QMutex> lock(m_mutex, std::adopt_lock);
    if (t_delivering)
    {
        if (m_reentrant.size() < c_reentrantLimit)
            m_reentrant.push_back(std::move(record));
        return;
    }

    DeliveringScope scope;
    DeliverNow(record);
    while (!m_reentrant.empty())
    {
        const LogRecord next = std::move(m_reentrant.front());
        m_reentrant.pop_front();
        DeliverNow(next);
    }
}

void LogRootImpl::DeliverNow(const LogRecord& record)
{
    if (!m_earlyDone)
    {
        if (m_early.size() < c_earlyRecordLimit)
            m_early.push_back(record);
        else
            ++m_earlyDropped;
        return;
    }
    if (m_outputs.empty())
        return;

    const std::string line = FormatRecordLine(record);
    for (const Attached& a : m_outputs)
        WriteTo(*a.output, record, line);
}

void LogRootImpl::WriteTo(ILogOutput& output, const LogRecord& record, const std::string& line)
{
    // One failing output must neither lose the record for the others nor fail the writer.
    try
    {
        output.Write(record, line);
    }
    catch (const std::exception& e)
    {
        Platform::WriteToStandardError(std::string("YrLogV2: log output failed: ") + e.what() + "\n");
    }
    catch (...)
    {
        Platform::WriteToStandardError("YrLogV2: log output failed\n");
    }
}

LogRecord LogRootImpl::MakeRootRecord(const Tag& tag, const std::string& text) const
{
    return details::MakeRecord(m_rootNode, tag, std::string(text));
}

namespace
{

// "debug.mode" next to the executable switches the debug flag on.
void ReadDebugMarker()
{
    if (!Utils::ExeName::IsInitialized())
        return;
    const boost::filesystem::path marker =
        boost::filesystem::path(Utils::ExeName::Instance().GetExeName()).parent_path() / "debug.mode";
    boost::system::error_code ec;
    const bool present = boost::filesystem::exists(marker, ec) && !ec;
    LogRoot::Instance().SetDebugMode(present);
}

// The root exists before every ordinary deferred function runs (they may log).
Utils::DelayInitRegistrar g_rootInit([] { LogRoot::Instance(); }, -10);
Utils::DelayInitRegistrar g_debugFlagInit(&ReadDebugMarker, 0);

} // namespace

} // namespace YrLogV2
