#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>
#include <QString>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include "Platform/Thread.h"
#include "Utils/IBasicInterface.h"
#include "Utils/Mutexed.h"
#include "Utils/Notification.h"
#include "Utils/ThreadTracking.h"

namespace Utils
{

// The thread statistics report: which threads the process has when it is first asked for, then
// one line for every thread that starts or ends (threads started through Platform::Thread). The
// lines go to the log node "Threads" with the tag Info.
namespace ThreadsInfo
{

// (thread id, registered name; empty for a thread that is not ours).
typedef std::vector<std::pair<uint64_t, std::string>> ThreadList;

// What the report needs of the log. The logging layer registers the real one at load time;
// tests give their own.
class ILogTarget : public IBasicInterface
{
public:
    // True when the log's delivery lock could be had within waitMs; it is released at once.
    virtual bool ProbeFree(int waitMs) = 0;
    // One record with the tag Info.
    virtual void Write(const std::string& line) = 0;
};

typedef boost::function<std::unique_ptr<ILogTarget>()> LogTargetFactory;

// Set by the logging layer while the module loads; a later call replaces it. Without one the
// lines go to the debug log.
void SetLogTargetFactory(const LogTargetFactory& factory);

// A target from the registered factory (or the debug-log one).
std::unique_ptr<ILogTarget> CreateLogTarget();

// The threads of the process now, in snapshot order, with their registered names; empty when
// no snapshot can be taken.
ThreadList CurrentThreadList();

// "no thread info" for an empty list; else "Threads: user <n>, system <m>" and, unless brief,
// "\n system: " + the system ids joined by ", " and "\n" + the lines "<id, right-aligned in 6>: <name>".
QString ThreadText(const ThreadList& list, bool brief);

// The report's state. The process has one (Instance); separate ones exist only in tests.
class Tracker : boost::noncopyable
{
public:
    static const uint64_t c_limit = 512;

    // Logs "startup: " + the thread text of list; subscribes to thread tracking when subscribe.
    Tracker(std::unique_ptr<ILogTarget> log, const ThreadList& list, bool subscribe);
    ~Tracker();

    // The thread handler: runs on the thread that starts or ends.
    void OnThreadEvent(const ThreadTrackingInfo& info);

    // Ids of started threads that have not ended, in start order.
    std::vector<void*> StartedIds() const;

private:
    void Log(const std::string& line);

    const uint64_t m_limit;
    mutable std::recursive_mutex m_lock;
    std::vector<void*> m_started;
    std::unique_ptr<ILogTarget> m_log;
    Mutexed<std::vector<std::string>, Platform::MutexRecursive> m_pending;
    // Last: the subscription ends before anything it reaches is destroyed.
    NotificationHandle m_subscription;
};

// The process-wide report, made on the first call (thread-safe) and never destroyed.
Tracker& Instance();

} // namespace ThreadsInfo

} // namespace Utils
