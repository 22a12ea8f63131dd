// The opening of every client transfer: the conversation socket, the read or write
// request, and the adoption of the address that answers it.
#include <algorithm>

#include "client_engine.h"
#include "kv/time.h"

namespace {

constexpr uint16_t kDefaultTftpPort = 69;

}  // namespace

kvp::socket_t CreateClientConversationSocket(kvp::SockAddr4* server) {
    kvp::Socket s(kvp::UdpSocket());
    if (!s.valid()) {
        ReportClientError("CreateConversationSocket: Failed to create a socket");
        return kvp::kInvalidSocket;
    }
    kvp::SockAddr4 local;
    local.addr = kvp::HostToNet32(kvp::kInaddrAny);
    local.port = 0;
    if (kvp::Bind(s.get(), local) != 0) {
        ReportClientError("CreateConversationSocket: Unable to bind a local port");
        return kvp::kInvalidSocket;
    }
    // The request goes to the server's TFTP port; the socket stays unconnected until the
    // server's transfer port is known.
    uint16_t port = 0;
    if (!kvp::GetServicePort("tftp", "udp", &port)) port = kvp::HostToNet16(kDefaultTftpPort);
    server->family = kvp::kAfInet;
    server->port = port;
    return s.release();
}

int MakeSendRWReq(ServerInfo* server, TransferContext* ctx, uint16_t opcode, std::FILE* log) {
    const int32_t retryLimit = g_clientSettings.RetryLimit;
    ctx->sendLen = BuildRequestPacket(ctx->sendBuf, opcode, ctx->fileName, ctx->mode);
    if (ctx->sendLen == 0) {
        LogClientEventF(log, "MakeSendRWReq: The request for %s does not fit one packet.",
                        ctx->fileName.c_str());
        return 0;
    }
    // Never offer more room than the buffer has.
    const int room = std::clamp<int32_t>(ctx->maxPacket, 0, kMaxPacket);
    ctx->recvLen = room;

    for (int32_t waits = 0;; ++waits) {
        LogClientEvent(log, "Sending request");
        const int ready = kvp::WaitWritable(ctx->socket, ctx->waitSec, ctx->waitUsec);
        if (ready < 0) {
            ReportClientSocketError("MakeSendRWReq: Select() error");
            return 0;
        }
        if (ready == 0) {
            if (waits >= retryLimit) {
                LogClientEventF(log, "MakeSendRWReq: Timeout exceeded for send request of %s.",
                                ctx->fileName.c_str());
                return 0;
            }
            continue;
        }
        const int sent = kvp::SendTo(ctx->socket, ctx->sendBuf, ctx->sendLen, server->addr);
        if (sent < 0) {
            ReportClientSocketError("MakeSendRWReq: sendto() error");
            return 0;
        }
        if (sent < ctx->sendLen) {
            ReportClientSocketError("MakeSendRWReq: Failed to send whole data packet");
            return 0;
        }
        ctx->sendLen = sent;
        break;
    }

    // The request goes out again at every wait that runs out: a request or answer lost
    // on the way costs one wait, not the transfer. The count of waits is that of a
    // request sent once; the horizon is RetryLimit waits.
    RetryWatch watch;
    StartRetryWatch(&watch, retryLimit - 1, ctx->timeout, kvp::GetTickCount());
    kvp::SockAddr4 from;
    for (;;) {
        LogClientEvent(log, "Waiting for first response");
        const int ready = kvp::WaitReadable(ctx->socket, ctx->waitSec, ctx->waitUsec);
        if (ready < 0) {
            ReportClientSocketError("MakeSendRWReq: Select() error");
            return 0;
        }
        if (ready == 0) {
            if (NoteMiss(&watch, kvp::GetTickCount())) {
                LogClientEventF(log, "MakeSendRWReq: Timeout exceeded for response of %s.",
                                ctx->fileName.c_str());
                return 0;
            }
            LogClientEvent(log, "Sending request");
            // A failed re-send is one more wait without an answer.
            kvp::SendTo(ctx->socket, ctx->sendBuf, ctx->sendLen, server->addr);
            continue;
        }
        // A datagram larger than the room fails the receive (it is never cut).
        const int got = kvp::RecvFrom(ctx->socket, ctx->recvBuf, room, &from);
        if (got < 0) {
            ReportClientSocketError("MakeSendRWReq: recvfrom() error");
            return 0;
        }
        ctx->recvLen = got;
        break;
    }

    // A server answers from its own transfer port; only a different address is worth a
    // note.
    if (from.addr != server->addr.addr) {
        LogClientEventF(log, "MakeSendRWReq: Got unexpected response from %s, not %s. Proceeding.",
                        kvp::InetNtoa(from.addr).c_str(), server->addressText.c_str());
    }
    server->addr = from;
    server->addressText = kvp::InetNtoa(from.addr);
    server->addrLen = sizeof(kvp::SockAddr4);

    LogClientEvent(log, "Binding local socket to server");
    if (kvp::Connect(ctx->socket, server->addr) != 0) {
        ReportClientSocketError("MakeSendRWReq: Unable to connect local socket");
        return 0;
    }
    return 1;
}
