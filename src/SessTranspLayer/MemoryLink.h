#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include "SessTranspLayer/StlConnection.h"
#include "Utils/ByteArray.h"
#include "iCore/MsgObject.h"

namespace iCore
{
class ThreadRunnerFunc;
}

namespace SessTranspLayer
{

// One end of an in-memory packet link: a transport for a connection on this end's thread. Every
// piece sent is copied and posted to the other end's thread, where it reaches that end's user
// as one OnTranspData call, in order, as from a real transport. Use only on its own thread.
class MemoryLinkEnd : public IStlTransport, public iCore::MsgObject
{
public:
    // Decides for every piece about to be sent whether it travels (true) or is lost (false).
    // Runs on the sender's thread.
    typedef boost::function<bool(const Utils::ByteArray& piece)> SendFilter;

    explicit MemoryLinkEnd(bool connected);
    ~MemoryLinkEnd() override;

    // Made on the peer's thread; the peer must stay until both ends are destroyed or detached.
    void SetPeer(MemoryLinkEnd* peer);

    // IStlTransport
    bool IsConnected() const override { return m_connected; }
    void SetUser(IStlTransport2Owner& user) override { m_user = &user; }
    void Send(const Utils::ByteArray& data) override;

    // The user is gone: nothing is delivered any more.
    void ClearUser() { m_user = nullptr; }

    // Up: the user hears OnTranspConnected. Down: pieces sent from now on are lost.
    void SetConnected(bool connected);
    // The transport fails: it goes down and the user hears OnTranspError.
    void ReportError(const std::wstring& cause);
    // Bytes to the user as if the peer had sent them (at once, on this thread).
    void Inject(const Utils::ByteArray& data);
    void SetSendFilter(const SendFilter& filter) { m_filter = filter; }

private:
    void Deliver(const Utils::ByteArray& data);

    bool m_connected;
    IStlTransport2Owner* m_user = nullptr;
    MemoryLinkEnd* m_peer = nullptr;
    iCore::MsgPostTarget m_peerTarget;
    SendFilter m_filter;
};

// Two message threads joined by a pair of MemoryLinkEnd, for tests and benchmarks. Objects that
// the caller makes on the link's threads must be destroyed (on those threads) before the link.
class MemoryLink : boost::noncopyable
{
public:
    enum Side
    {
        SideA = 0,
        SideB = 1
    };

    // Both ends start connected or not.
    explicit MemoryLink(bool connected = true, const std::string& nameA = "LinkA",
                        const std::string& nameB = "LinkB");
    ~MemoryLink();

    iCore::MsgThread& Thread(Side side) const;
    // Use it only on the side's thread (see Call).
    MemoryLinkEnd& End(Side side) const;
    // Runs fn on the side's thread and returns after it has run.
    void Call(Side side, const boost::function<void()>& fn) const;

private:
    struct SideData
    {
        std::unique_ptr<iCore::ThreadRunnerFunc> m_runner;
        iCore::MsgThread* m_thread = nullptr;
        std::unique_ptr<MemoryLinkEnd> m_end; // made and destroyed on m_thread
    };

    SideData m_sides[2];
};

} // namespace SessTranspLayer
