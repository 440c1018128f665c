#include "Utils/ThreadTracking.h"
#include <atomic>

namespace Utils
{

namespace
{

typedef Notification<ThreadTrackingInfo, details::NotificationStrategyThreadSafe> TrackingNotification;

std::atomic<bool> g_trackingOn(false);

TrackingNotification& Tracking()
{
    // Never destroyed: threads may end while static destructors run.
    static TrackingNotification* const n = new TrackingNotification();
    return *n;
}

} // namespace

NotificationHandle SubscribeThreadTracking(const boost::function<void(const ThreadTrackingInfo&)>& fn)
{
    g_trackingOn = true;
    boost::function<void(ThreadTrackingInfo)> wrapped = fn;
    return Tracking().CreateHandle(wrapped);
}

void NotifyThreadTracking(bool started)
{
    ThreadTrackingInfo info;
    info.started = started;
    Tracking().Notify(info);
}

namespace detail
{

bool ThreadTrackingAttach()
{
    // The switch is read once per thread: a thread started before tracking was switched on
    // reports neither its start nor its end.
    if (!g_trackingOn.load())
        return false;
    NotifyThreadTracking(true);
    return true;
}

void ThreadTrackingDetach()
{
    NotifyThreadTracking(false);
}

} // namespace detail

} // namespace Utils
