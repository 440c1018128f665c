#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include "ESS/Assert.h"
#include "MbProtocol/MbCommand.h"
#include "MbProtocol/MbPacket.h"
#include "MbProtocol/MbStream.h"
#include "Platform/TypeName.h"
#include "Utils/ByteArray.h"
#include "Utils/IBasicInterface.h"
#include "YrLogV2/Log.h"

namespace MbProtocol
{

class ContextHandler;

// A dispatch target: received packets whose dispatch context is this id go to its handler. A
// context other than the default registers itself with its handler for its lifetime and must be
// destroyed before the handler.
class Context : public Utils::IVirtualDestroy, boost::noncopyable
{
public:
    // Returns false when it does not take the packet (the default handler then gets it).
    using HandlerFn = boost::function<bool(const Packet&)>;

    Context(ContextHandler& handler, ContextId id, const std::string& desc, const HandlerFn& handlerFn);
    ~Context() override;

    ContextId Id() const { return m_id; }
    bool IsDefault() const { return m_id.IsDefault(); }
    bool Handle(const Packet& packet) const { return m_handlerFn(packet); }

    // "'default'[0]"
    std::string ToString() const;

private:
    ContextHandler& m_handler;
    ContextId m_id;
    std::string m_desc;
    HandlerFn m_handlerFn;
};

// The registry of contexts (base of the engine). Ids are chosen by whoever makes a context; two
// contexts may share one, and then the one registered last gets the packets.
class ContextHandler : boost::noncopyable
{
public:
    void RegisterContext(Context* p);
    void UnregisterContext(Context* p);

protected:
    ContextHandler() = default;
    ~ContextHandler() = default;

    // Where registrations are logged.
    virtual const YrLogV2::Log& HandlerLog() const = 0;

    // The context registered last with this id; null when there is none.
    Context* FindContext(ContextId id) const;

private:
    std::vector<Context*> m_handlers; // not owned, in registration order
};

// One side of a media-bridge protocol link: frames typed commands into packets of version
// TVersion and hands the bytes to the send function, reassembles received bytes into packets and
// dispatches them. No thread of its own: Send, PutData and the contexts are used on one thread,
// and handlers and the send function run inside those calls (a handler may Send).
template <int32_t TVersion, class TRequestList, class TRespList>
class MbProto : public ContextHandler
{
public:
    using SendFn = boost::function<void(const Utils::ByteArray&)>;

    // isServer: this side sends responses and receives requests.
    MbProto(bool isServer, YrLogV2::Log& parentLog, const SendFn& sendFn,
            const Context::HandlerFn& defaultHandler)
        : m_defaultContext(*this, ContextId(0), "default", defaultHandler), m_isServer(isServer),
          m_log(parentLog, "proto"), m_sendFn(sendFn),
          m_outgoing(isServer ? static_cast<CommandList&>(m_respList) : static_cast<CommandList&>(m_reqList)),
          m_incoming(isServer ? static_cast<CommandList&>(m_reqList) : static_cast<CommandList&>(m_respList)),
          m_receiver(std::make_unique<PackReceiver>(static_cast<uint32_t>(TVersion), m_incoming))
    {
        ESS_ASSERT(m_sendFn);
    }

    // Sends obj, to be dispatched at the peer to the context `dispatch`; `reply` names the context
    // here that the peer's answer is to reach. A type the outgoing list does not hold halts.
    template <class T>
    void Send(ContextId dispatch, ContextId reply, const T& obj)
    {
        const std::string name = Platform::RawTypeName(typeid(obj));
        const CommandId id = m_outgoing.TypeToCommand(name);
        if (id.IsBad())
            ESS_HALT("Sending bad packet with type " + name);
        const bool noLog = m_outgoing.GetInfo(id).m_noLog;

        PackHeader header;
        header.req = m_isServer ? 0 : 1;
        header.noLog = noLog ? 1 : 0;
        header.cmd = id.Index();
        header.contextToDispatch = dispatch.Id();
        header.contextToReply = reply.Id();
        header.ver = TVersion;
        const Utils::ByteArray bytes = MakePacket(header, obj);

        if (!noLog)
        {
            if (m_log.Active(TagPacket))
                m_log.Add(YrLogV2::Info, "Sending {}", Packet::ToString(header, bytes, name, true, true));
            else if (m_log.Active(YrLogV2::Info))
                m_log.Add(YrLogV2::Info, "Sending {}", Packet::ToString(header, bytes, name, false, true));
        }
        m_sendFn(bytes);
    }

    // Bytes from the peer, in any chunks. Every packet completed by them is dispatched before the
    // call returns. A broken packet throws (see PackReceiver::TryGetPacket) after the packets
    // before it were dispatched; the link is then to be given up.
    void PutData(const Utils::ByteArray& data)
    {
        m_receiver->PushData(data);
        for (;;)
        {
            std::shared_ptr<Packet> packet = m_receiver->TryGetPacket();
            if (!packet)
                return;
            Dispatch(*packet);
        }
    }

    bool IsServer() const { return m_isServer; }
    const YrLogV2::Log& Log() const { return m_log; }
    const CommandList& Outgoing() const { return m_outgoing; }
    const CommandList& Incoming() const { return m_incoming; }

private:
    const YrLogV2::Log& HandlerLog() const override { return m_log; }

    void Dispatch(const Packet& packet)
    {
        Context* pContext = FindContext(packet.ContextToDispatch());
        if (!pContext)
            pContext = &m_defaultContext;
        if (!packet.NoLog())
            LogPacket(packet, "Dispatch to " + pContext->ToString() + "; ", m_log, false);

        bool ok = pContext->Handle(packet);
        if (!ok && !pContext->IsDefault())
        {
            m_log.Add(YrLogV2::Warning, "Packet was not dispatched, try with default handler");
            ok = m_defaultContext.Handle(packet);
        }
        ESS_ASSERT(ok);
    }

    Context m_defaultContext;
    const bool m_isServer;
    YrLogV2::Log m_log;
    SendFn m_sendFn;
    TRequestList m_reqList;
    TRespList m_respList;
    CommandList& m_outgoing;
    CommandList& m_incoming;
    std::unique_ptr<PackReceiver> m_receiver;
};

} // namespace MbProtocol
