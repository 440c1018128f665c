#pragma once
#include "Utils/IBasicInterface.h"

namespace MediaBridgeControl
{

// Optional faces of media-bridge transports and their listeners for back-pressure between the
// two sides of a relay: a side that cannot get rid of what it is given reports a backlog, and the
// relay holds back the reading of the other side until the backlog has cleared, instead of
// queueing without bound or dropping data. Found with dynamic_cast; a transport or a listener
// without them simply takes no part.

// A transport whose reading from its peer can be held back. While paused no new bytes are read;
// what was read before is still delivered. Pausing twice is the same as once.
class IMbcRecvFlow : public Utils::IBasicInterface
{
public:
    virtual void SetRecvPaused(bool paused) = 0;
};

// A listener that wants to know when data handed to the transport piles up below it (called on
// the transport's thread, only when the condition changes).
class IMbcSendFlowEvents : public Utils::IBasicInterface
{
public:
    virtual void OnSendBacklog(bool high) = 0;
};

} // namespace MediaBridgeControl
