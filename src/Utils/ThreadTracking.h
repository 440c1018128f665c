#pragma once
#include <boost/function.hpp>
#include "Utils/Notification.h"

namespace Utils
{

// What a thread-tracking subscriber hears: a thread started (true) or is finishing (false).
struct ThreadTrackingInfo
{
    bool started;
};

// Switches tracking on for the rest of the process and subscribes fn. Only threads that start
// afterwards through Platform::Thread are reported (threads of the host are not seen), each on
// its own thread: once when it starts, once when it ends.
NotificationHandle SubscribeThreadTracking(const boost::function<void(const ThreadTrackingInfo&)>& fn);

// Tells every subscriber about the calling thread.
void NotifyThreadTracking(bool started);

namespace detail
{
// Called at the top of every Platform::Thread; stands in for a module's thread-attach
// notification. True when the thread is tracked: it then calls ThreadTrackingDetach when its
// body has ended, before the thread counts as finished, so that a Wait for the thread also
// waits for its "finishing" notification.
bool ThreadTrackingAttach();
void ThreadTrackingDetach();
} // namespace detail

} // namespace Utils
