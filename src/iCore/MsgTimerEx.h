#pragma once
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include "Utils/SafeRef.h"
#include "iCore/MsgThread.h"

namespace iCore
{

namespace detail
{
struct TimerRec;
}

// A timer of an active object: made on a message thread, it fires on that thread. Start and Stop
// run on that thread too. A stopped or restarted run never delivers a callback, not even one that
// was already due in the same round of the loop.
class MsgTimerEx : boost::noncopyable
{
public:
    // Runs longer than this are accepted but never fire.
    static const int c_maxArmMs = 1296000000;

    MsgTimerEx(); // on CurrentMsgThread()
    explicit MsgTimerEx(MsgThread& thread);
    ~MsgTimerEx(); // cancels

    // Stops the run in progress, then calls fn after ms and, when periodic, every ms after that.
    // Armed only for 0 < ms <= c_maxArmMs; otherwise nothing fires.
    void Start(const boost::function<void()>& fn, int ms, bool periodic = false);

    // Cancels the run in progress; nothing when idle.
    void Stop();

    // True while a callback of the current run is still to come.
    bool IsActive() const;

    MsgThread& getMsgThread() const { return *m_thread; }

private:
    Utils::SafeRef<MsgThread> m_thread;
    detail::TimerRec* m_rec = nullptr; // made by the first Start
};

} // namespace iCore
