#pragma once
#include <string>

namespace iCore
{

class MsgObject;

namespace detail
{
class MsgQueue;
class MsgList;
} // namespace detail

// A message addressed to one message object. It is created on the heap by the poster, queued
// to the object's thread by MsgObject::PutMsgToThread and deleted by that thread after it ran,
// or without running when its object is destroyed first.
class MsgBase
{
public:
    MsgBase() : m_target(nullptr), m_next(nullptr) {}
    // A copy is a new, unqueued message for the same object.
    MsgBase(const MsgBase& other) : m_target(other.m_target), m_next(nullptr) {}
    MsgBase& operator=(const MsgBase&) = delete;
    virtual ~MsgBase() = default;

    // Runs on the target's thread.
    virtual void Execute() = 0;

    // Diagnostic text (for reports about messages that were dropped).
    virtual std::string Info() const = 0;

    // The object the message was posted to; null until it is posted, or for a message of the thread
    // itself. Only compared, never followed, outside the target's thread.
    const MsgObject* Target() const { return m_target; }

private:
    friend class detail::MsgQueue;
    friend class detail::MsgList;

    MsgObject* m_target;
    MsgBase* m_next; // intrusive queue link: queuing allocates nothing
};

} // namespace iCore
