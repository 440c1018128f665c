#include "SessTranspLayer/MemoryLink.h"

#include <memory>
#include <utility>
#include <QThread>
#include "ESS/Assert.h"
#include "iCore/MsgParam.h"
#include "iCore/ThreadRunnerFunc.h"

namespace SessTranspLayer
{

namespace
{

template <class F>
std::unique_ptr<iCore::MsgBase> MakeMsg(F f)
{
    return std::make_unique<iCore::MsgFunctor<F>>(std::move(f));
}

} // namespace

MemoryLinkEnd::MemoryLinkEnd(bool connected) : m_connected(connected) {}

MemoryLinkEnd::~MemoryLinkEnd() = default;

void MemoryLinkEnd::SetPeer(MemoryLinkEnd* peer)
{
    m_peer = peer;
    m_peerTarget = peer ? peer->PostTarget() : iCore::MsgPostTarget();
}

void MemoryLinkEnd::Send(const Utils::ByteArray& data)
{
    if (!m_connected || m_peer == nullptr || (m_filter && !m_filter(data)))
        return;
    // A transport copies what it sends: the sender may reuse its buffer at once.
    Utils::ByteArray copy = data.IsNull() ? Utils::ByteArray(uint64_t(0), uint64_t(0))
                                          : Utils::ByteArray(data.Data(), data.Size());
    MemoryLinkEnd* peer = m_peer;
    // Dropped, not run, once the peer is gone.
    m_peerTarget.Put(MakeMsg([peer, copy] { peer->Deliver(copy); }));
}

void MemoryLinkEnd::SetConnected(bool connected)
{
    m_connected = connected;
    if (connected && m_user)
        m_user->OnTranspConnected();
}

void MemoryLinkEnd::ReportError(const std::wstring& cause)
{
    m_connected = false;
    if (m_user)
        m_user->OnTranspError(cause);
}

void MemoryLinkEnd::Inject(const Utils::ByteArray& data)
{
    Deliver(data);
}

void MemoryLinkEnd::Deliver(const Utils::ByteArray& data)
{
    if (m_user)
        m_user->OnTranspData(data);
}

// ------------------------------------------------------------------------------------------------

MemoryLink::MemoryLink(bool connected, const std::string& nameA, const std::string& nameB)
{
    const std::string names[2] = {nameA, nameB};
    for (int i = 0; i < 2; ++i)
    {
        SideData& s = m_sides[i];
        const iCore::ThreadRunnerFuncProfile profile(0, names[i], QThread::InheritPriority, 0, 0, false);
        s.m_runner = std::make_unique<iCore::ThreadRunnerFunc>(profile,
                                                               [&s, connected](iCore::MsgThread& t)
                                                               {
                                                                   s.m_thread = &t;
                                                                   s.m_end = std::make_unique<MemoryLinkEnd>(connected);
                                                               });
    }
    Call(SideA, [this] { m_sides[SideA].m_end->SetPeer(m_sides[SideB].m_end.get()); });
    Call(SideB, [this] { m_sides[SideB].m_end->SetPeer(m_sides[SideA].m_end.get()); });
}

MemoryLink::~MemoryLink()
{
    for (int i = 0; i < 2; ++i)
    {
        SideData& s = m_sides[i];
        Call(static_cast<Side>(i), [&s] { s.m_end.reset(); });
    }
    for (SideData& s : m_sides)
        s.m_runner.reset();
}

iCore::MsgThread& MemoryLink::Thread(Side side) const
{
    return *m_sides[side].m_thread;
}

MemoryLinkEnd& MemoryLink::End(Side side) const
{
    ESS_ASSERT(m_sides[side].m_end);
    return *m_sides[side].m_end;
}

void MemoryLink::Call(Side side, const boost::function<void()>& fn) const
{
    const bool ran = iCore::MsgThreadFnBlocked(*m_sides[side].m_thread, [&fn](iCore::MsgThread&) { fn(); });
    ESS_ASSERT(ran);
}

} // namespace SessTranspLayer
