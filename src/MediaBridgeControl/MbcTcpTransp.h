#pragma once
#include <cstdint>
#include <memory>
#include "MediaBridgeControl/IMbcTransp.h"
#include "Utils/ByteArray.h"
#include "YrLogV2/Log.h"
#include "YrNet/HostAddr.h"

namespace MediaBridgeControl
{

// The in-band disconnect command of the TCP link: the 17 bytes "TcpTranspCmd Disc", nothing
// more. Only a received chunk that is exactly these bytes is taken as the command.
const Utils::ByteArray& TcpTranspCmdDisc();

// How long a connection waits, after sending the disconnect command, for the peer to end the
// connection before it drops the connection itself. A peer that ignores the command must not
// keep the link up for ever.
const int c_tcpDiscTimeoutMs = 5000;

// A transport that listens on the loopback interface and serves one connection at a time. It is
// also an IMbcRecvFlow and an IMbcRecvWindow (IMbcFlow.h): a relay may hold back its reading
// from the peer; and an IMbcPeerCheck: only a process of this user (the expected one, once
// known) is let in. Call it on a message thread: the transport and its listener calls live on
// that thread.
// pBoundAddr receives the address actually bound (with the port the system chose for port 0);
// it is left untouched when listening fails, and the transport is then FatalError, "Can't listen".
// discTimeoutMs: see c_tcpDiscTimeoutMs; 0 or less waits for the peer without a limit.
std::unique_ptr<IMbcTransp> CreateSrvTcpTransp(YrLogV2::Log& parentLog, uint32_t port,
                                               IMbcTranspEvents& events,
                                               YrNet::HostAddr* pBoundAddr = nullptr,
                                               int discTimeoutMs = c_tcpDiscTimeoutMs);

} // namespace MediaBridgeControl
