#pragma once
#include <vector>
#include "MediaBridgeControl/TranspState.h"
#include "Utils/ByteArray.h"
#include "Utils/IBasicInterface.h"

namespace MediaBridgeControl
{

// A byte-chunk transport between the plug-in bridge and one peer. It is an active object of the
// message thread it was made on: every call comes from that thread. It adds no framing; data is
// sent only while the state is Connected (otherwise dropped with a warning).
class IMbcTransp : public Utils::IVirtualDestroy
{
public:
    virtual void SendData(const Utils::ByteArray& data) = 0;
    virtual TranspState State() const = 0;
    // Returns at once; the resulting state change is reported later through OnStateChanged.
    virtual void Disconnect(bool restart) = 0;
};

// The listener of a transport; called on the transport's thread. It outlives the transport.
class IMbcTranspEvents : public Utils::IVirtualDestroy
{
public:
    // The state may have changed (several changes, or none, per call): ask State().
    virtual void OnStateChanged() = 0;
    // One chunk exactly as the transport's lower layer delivered it.
    virtual void OnRecvData(const Utils::ByteArray& data) = 0;
    // Chunks that were waiting together, in order; the same as one OnRecvData each unless the
    // listener can use them together.
    virtual void OnRecvDataBatch(const std::vector<Utils::ByteArray>& chunks)
    {
        for (const Utils::ByteArray& c : chunks)
            OnRecvData(c);
    }
};

} // namespace MediaBridgeControl
