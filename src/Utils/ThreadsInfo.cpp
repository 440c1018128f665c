#include "Utils/ThreadsInfo.h"

#include <algorithm>
#include <mutex>
#include <QStringList>
#include <fmt/format.h>
#include "ESS/Assert.h"
#include "Platform/ProcSnapshot.h"
#include "Utils/DebugLog.h"
#include "Utils/StringUtils.h"
#include "Utils/ThreadNames.h"

namespace Utils
{
namespace ThreadsInfo
{

namespace
{

std::mutex& FactoryLock()
{
    static std::mutex* const p = new std::mutex();
    return *p;
}

LogTargetFactory& Factory()
{
    static LogTargetFactory* const p = new LogTargetFactory();
    return *p;
}

// Used only when no logging layer is linked in: the lines still reach somebody.
class DebugLogTarget : public ILogTarget
{
public:
    bool ProbeFree(int) override { return true; }
    void Write(const std::string& line) override
    {
        DebugLogFile::Write(L"Threads: " + StdStringToWString(line));
    }
};

std::unique_ptr<ILogTarget> MakeTargetImpl()
{
    LogTargetFactory factory;
    {
        std::lock_guard<std::mutex> lock(FactoryLock());
        factory = Factory();
    }
    if (factory)
    {
        std::unique_ptr<ILogTarget> p = factory();
        if (p)
            return p;
    }
    return std::unique_ptr<ILogTarget>(new DebugLogTarget());
}

} // namespace

std::unique_ptr<ILogTarget> CreateLogTarget()
{
    return MakeTargetImpl();
}

void SetLogTargetFactory(const LogTargetFactory& factory)
{
    std::lock_guard<std::mutex> lock(FactoryLock());
    Factory() = factory;
}

ThreadList CurrentThreadList()
{
    ThreadList list;
    std::unique_ptr<Platform::IProcSnapshot> snapshot;
    try
    {
        snapshot = Platform::CreateProcSnapshot();
    }
    catch (const ESS::Exception&)
    {
        return list;
    }
    ThreadNames& names = ThreadNames::Instance();
    for (int i = 0; i < snapshot->ThreadCount(); ++i)
    {
        const uint64_t id = snapshot->ThreadIdAt(i);
        list.emplace_back(id, names.GetName(reinterpret_cast<void*>(static_cast<uintptr_t>(id))));
    }
    return list;
}

QString ThreadText(const ThreadList& list, bool brief)
{
    if (list.empty())
        return "no thread info";

    QStringList system;
    QStringList user;
    for (const auto& t : list)
    {
        const QString id = QString::fromStdString(
            Platform::ThreadIdToString(reinterpret_cast<void*>(static_cast<uintptr_t>(t.first))));
        if (t.second.empty())
            system << id;
        else
            user << QString("%1: %2").arg(id, 6).arg(QString::fromStdString(t.second));
    }

    QString text = QString("Threads: user %1, system %2").arg(user.size()).arg(system.size());
    if (!brief)
    {
        text += "\n system: " + system.join(", ");
        text += "\n" + user.join("\n");
    }
    return text;
}

Tracker::Tracker(std::unique_ptr<ILogTarget> log, const ThreadList& list, bool subscribe)
    : m_limit(c_limit), m_log(std::move(log))
{
    ESS_ASSERT(m_log);
    m_started.reserve(m_limit);
    m_log->Write("startup: " + ThreadText(list, false).toStdString());
    if (subscribe)
        m_subscription =
            SubscribeThreadTracking([this](const ThreadTrackingInfo& info) { OnThreadEvent(info); });
}

Tracker::~Tracker()
{
    // A notification in progress on another thread finishes before the handle is gone.
    m_subscription.Reset();
}

void Tracker::OnThreadEvent(const ThreadTrackingInfo& info)
{
    void* const id = Platform::Thread::GetCurrentThreadID();
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (info.started)
        {
            if (m_started.size() < m_limit)
                m_started.push_back(id);
        }
        else
        {
            m_started.erase(std::remove(m_started.begin(), m_started.end(), id), m_started.end());
        }
    }

    // A thread that starts or ends while somebody holds the log must not hang on it.
    const bool blocked = !m_log->ProbeFree(1);
    const std::string line = fmt::format("{}{} id {}", blocked ? "[blocked] " : "",
                                         info.started ? "begin" : "end", Platform::ThreadIdToString(id));
    if (blocked)
    {
        m_pending.Lock()->push_back(line);
        return;
    }
    Log(line);
}

void Tracker::Log(const std::string& line)
{
    {
        Mutexed<std::vector<std::string>, Platform::MutexRecursive>::Ptr pending = m_pending.Lock();
        for (const std::string& held : *pending)
            m_log->Write(held);
        pending->clear();
    }
    m_log->Write(line);
}

std::vector<void*> Tracker::StartedIds() const
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_started;
}

Tracker& Instance()
{
    // Never destroyed: threads keep ending until the process is gone.
    static Tracker* const p = new Tracker(CreateLogTarget(), CurrentThreadList(), true);
    return *p;
}

} // namespace ThreadsInfo
} // namespace Utils
