#pragma once
#include <cstdint>
#include <memory>
#include <vector>
#include <boost/function.hpp>
#include "Utils/ByteArray.h"
#include "Utils/IBasicInterface.h"

namespace MediaBridgeControl
{

// Optional faces of media-bridge transports for flow control between the two sides of a relay.
// Found with dynamic_cast; a transport without them simply takes no part.
//
// The relay's road from the media bridge to the channel works by counts: the media-bridge side
// stops reading once the bytes it has delivered and the relay has not acknowledged reach a high
// mark (IMbcRecvWindow), and the relay acknowledges bytes only when the channel side has finished
// with them (IMbcSendDone). Both counts are kept where they change, so no signal can come late.

// A transport whose reading from its peer can be held back. While paused no new bytes are read;
// what was read before is still delivered. Pausing twice is the same as once.
class IMbcRecvFlow : public Utils::IBasicInterface
{
public:
    virtual void SetRecvPaused(bool paused) = 0;
};

// A transport that reads from its peer only while what it has delivered and was not acknowledged
// stays below `high`; it reads again once that is at `low` or below. Every delivered chunk costs
// its bytes plus `chunkCost` (so that a flood of small chunks is bounded too). At most one read
// beyond `high` is taken in. The window holds for the connection of the moment and for the ones
// that follow; each connection counts its own chunks.
class IMbcRecvWindow : public Utils::IBasicInterface
{
public:
    virtual void SetRecvWindow(uint64_t high, uint64_t low, uint64_t chunkCost) = 0;
    // One delivered chunk of the current connection the user is done with.
    virtual void AckRecv(uint64_t chunkBytes) = 0;
};

// A transport that tells when it is done with data: `done` is called once, on the transport's
// thread and never inside this call, when the data has left (the lower layer has completed its
// writes) or has been given up (refused, dropped, or its session ended).
class IMbcSendDone : public Utils::IBasicInterface
{
public:
    virtual void SendDataNotify(const Utils::ByteArray& data, const boost::function<void()>& done) = 0;
    // Chunks that were waiting together, each sent as SendDataNotify would; `done` is called once,
    // when all of them are done. By default simply one SendDataNotify each.
    virtual void SendDataBatchNotify(const std::vector<Utils::ByteArray>& chunks,
                                     const boost::function<void()>& done)
    {
        auto left = std::make_shared<size_t>(chunks.size());
        for (const Utils::ByteArray& c : chunks)
            SendDataNotify(c,
                           [left, done]()
                           {
                               if (--*left == 0 && done)
                                   done();
                           });
    }
};

// A listening transport that keeps only the connection of one process of this user: any other
// connection is closed at once, with a warning naming its process and user, and the transport
// keeps listening. Until a pid is given (or with pid 0) every process of this user is let in.
class IMbcPeerCheck : public Utils::IBasicInterface
{
public:
    virtual void ExpectPeerPid(int64_t pid) = 0;
};

} // namespace MediaBridgeControl
