#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <boost/function.hpp>
#include <boost/variant.hpp>
#include "Utils/ByteArray.h"
#include "Utils/IBasicInterface.h"

// A point-to-point byte stream between two processes of one machine over a named shared-memory
// segment (layout in QtSharedMemTransp/Buff.h). The server creates the segment and waits for a
// client; the client attaches and is connected at once. Both poll on a timer, keep a heartbeat in
// the header and end the link through the header's link word. No framing, no logging: everything
// the transport has to say is the text of its state.
namespace QtSharedMemTransp
{

enum class State : int32_t
{
    Initial = 0,
    Connected = 1,
    Disconnected = 2,
    Error = 3
};

// "Initial", "Connected", "Disconnected", "Error"; "" for any other value.
std::string StateName(State state);

struct StateInfo
{
    State state = State::Initial;
    std::wstring text; // why; empty in Initial and Connected
};

namespace Event
{
struct None
{
};
struct StateChanged
{
};
// The send queue was drained into the ring after a Send.
struct SendBuffEmpty
{
};
// Bytes read from the peer in one poll.
struct Data
{
    Utils::ByteArray data;
};
} // namespace Event

typedef boost::variant<Event::None, Event::StateChanged, Event::SendBuffEmpty, Event::Data> EventVariant;
typedef boost::function<void(const EventVariant&)> EventFn;

struct ClientProfile
{
    std::wstring name;             // the segment's key; not empty
    EventFn eventFn;               // called on the transport's thread; must be set
    int32_t pollPeriodMs = 50;     // poll timer period
    int32_t discTimeoutMs = 16000; // how long the peer's heartbeat may stand still
    double sendQueueFactor = 8.0;  // send queue bound, in write-ring capacities
};

struct ServerProfile : ClientProfile
{
    uint32_t toClientBuffSize = 16384; // ring A; a multiple of 4
    uint32_t toServerBuffSize = 16384; // ring B
};

class ITransp : public Utils::IBasicInterface
{
public:
    virtual StateInfo State() const = 0;
    // Queues the bytes for the peer (not a null array); only in Connected.
    virtual void Send(const Utils::ByteArray& data) = 0;
};

// Both run on a message thread, which the transport then belongs to. They return a transport also
// when the segment cannot be made or used: it is in Error and its text says why.
std::unique_ptr<ITransp> CreateServer(const ServerProfile& profile);
std::unique_ptr<ITransp> CreateClient(const ClientProfile& profile);

} // namespace QtSharedMemTransp
