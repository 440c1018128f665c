#pragma once
#include <memory>
#include <boost/function.hpp>
#include "Utils/SafeRef.h"
#include "iCore/MsgBase.h"
#include "iCore/MsgParam.h"
#include "iCore/MsgThread.h"

namespace iCore
{

namespace detail
{
struct ObjectToken;
struct TimerRec;
} // namespace detail

class MsgObject;

// A handle through which any thread may post to a message object, also after the object is gone:
// a post to an object that is being destroyed or destroyed is then dropped (and reported), never
// delivered to freed memory. Threads that cannot guarantee that the object outlives their call
// post through one of these instead of through the object.
class MsgPostTarget
{
public:
    MsgPostTarget() = default;

    // Same rules as MsgObject::PutMsgToThread; false when the message was dropped (it is deleted).
    bool Put(std::unique_ptr<MsgBase> msg) const;

    bool IsEmpty() const { return !m_token; }

private:
    friend class MsgObject;
    explicit MsgPostTarget(const std::shared_ptr<detail::ObjectToken>& t) : m_token(t) {}

    std::shared_ptr<detail::ObjectToken> m_token;
};

// An active object bound to one running message thread. It is made, used and destroyed on that
// thread. Its destruction is a handshake with the thread: its queued messages and pending
// delayed calls are dropped, and posts arriving from other threads from then on are dropped too.
//
// Derive from it non-virtually (messages convert their object pointer to it).
class MsgObject : public virtual Utils::SafeRefServer
{
public:
    enum ThreadOwnershipMode
    {
        OwnedByHolder = 0, // whoever holds the object destroys it (on its thread)
        OwnedByThread = 1  // the thread destroys it when the thread ends, unless it is deleted sooner
    };

    explicit MsgObject(ThreadOwnershipMode mode = OwnedByHolder); // CurrentMsgThread()
    MsgObject(MsgThread& thread, ThreadOwnershipMode mode = OwnedByHolder);
    MsgObject(const MsgObject&) = delete;
    MsgObject& operator=(const MsgObject&) = delete;
    ~MsgObject() override;

    // Queues the message to this object's thread; it runs later, after the messages posted before
    // it, never inside this call. Callable from any thread. On the object's own thread a post to
    // an object under destruction halts ("Destroy requested" / "Destroy processed"); from another
    // thread it is dropped. The flag is an unused "urgent" hint.
    void PutMsgToThread(std::unique_ptr<MsgBase> msg, bool urgent = false);
    // The same for a caller that hands over a raw pointer it owns.
    void PutMsgToThread(MsgBase* pMsg, bool urgent = false);

    // Runs fn on this object's thread after delayMs, and every delayMs when periodic. Pending calls
    // die with the object. Owner thread only.
    void RunDelayed(const boost::function<void()>& fn, int delayMs, bool periodic = false);

    MsgThread& getMsgThread() const { return *m_thread; }

    MsgPostTarget PostTarget() const { return MsgPostTarget(m_token); }

    // Conveniences over PutMsgToThread: a member function of the derived object, with or without
    // a parameter, or any callable.
    template <class T, class TArg, class TParam>
    void PutMsg(void (T::*fn)(TArg), TParam&& param)
    {
        PutMsgToThread(
            std::make_unique<MsgParam<T, TArg>>(static_cast<T*>(this), fn, std::forward<TParam>(param)));
    }

    template <class T>
    void PutMsg(void (T::*fn)())
    {
        PutMsgToThread(std::make_unique<MsgSimple<T>>(static_cast<T*>(this), fn));
    }

    template <class F>
    void PutFunctor(F&& f)
    {
        PutMsgToThread(std::make_unique<MsgFunctor<std::decay_t<F>>>(std::forward<F>(f)));
    }

private:
    friend class MsgThread;
    friend class MsgPostTarget;

    void Bind();
    void UnlinkDelayed(detail::TimerRec* r);

    Utils::SafeRef<MsgThread> m_thread;
    const ThreadOwnershipMode m_mode;
    std::shared_ptr<detail::ObjectToken> m_token;
    detail::TimerRec* m_delayed = nullptr; // list of pending RunDelayed calls
};

} // namespace iCore
