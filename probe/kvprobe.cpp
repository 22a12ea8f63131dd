// kvprobe: sends one read or write request to a TFTP server, prints the first datagram
// that comes back, and connects to its sender when it opened a transfer.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>

#include "kv/errors.h"
#include "kv/net.h"
#include "tftp_core.h"

namespace {

// Set once from the command line.
int g_opcode = 1;
std::string g_mode;
std::string g_server;
std::string g_remoteFile;
kvp::socket_t g_socket = kvp::kInvalidSocket;

// A text of the reply from offset `from`: up to its first 0 byte or the datagram's end.
std::string ReplyText(const uint8_t* buf, int len, int from) {
    int end = from;
    while (end < len && buf[end] != 0) ++end;
    return std::string(reinterpret_cast<const char*>(buf + from), static_cast<size_t>(end - from));
}

void PrintUsage(const char* self) {
    std::printf("Usage:\nkvprobe <r|w> <n|o> <ServerIP> <Remotefile>\n");
    std::printf(
        "\nExamples:\nTo read a file in netascii from 'sunserver',\n\n  %s r n sunserver "
        "myfile.txt\n\nTo write a file in octet to 'storehost',\n\n  %s w o storehost "
        "newfile.exe'\n\n",
        self, self);
}

int ProbeOpenSocket() {
    std::printf("TFTP server probe. Sends one request and shows the server's answer.\n\n");
    uint16_t granted = 0;
    if (kvp::NetStartup(&granted) != 0) {
        std::printf("Failed to load Winsock.\n");
        return 0;
    }
    if (granted != 0x0101) {
        std::printf("Failed to obtain Winsock 1.1. Error %d.\n", kvp::LastSocketError());
        return 0;
    }
    g_socket = kvp::UdpSocket();
    if (g_socket == kvp::kInvalidSocket) {
        std::printf("Failed to create socket. Error %d.\n", kvp::LastSocketError());
        return 0;
    }
    kvp::SockAddr4 local;
    local.addr = kvp::HostToNet32(kvp::kInaddrAny);
    local.port = 0;
    if (kvp::Bind(g_socket, local) != 0) {
        std::printf("Bind error occurred: %d.\n", kvp::LastSocketError());
        return 0;
    }
    kvp::SockAddr4 bound;
    if (kvp::GetSockName(g_socket, &bound) != 0) {
        std::printf("Getsockname error occurred: %d.\n", kvp::LastSocketError());
        return 0;
    }
    std::printf("Locally bound to port %d.\n", static_cast<int>(kvp::NetToHost16(bound.port)));
    return 1;
}

int ProbeSendRequest() {
    kvp::SockAddr4 server;
    server.family = kvp::kAfInet;
    server.addr = kvp::InetAddr(g_server.c_str());
    uint16_t port = 0;
    if (!kvp::GetServicePort("tftp", "udp", &port)) {
        std::printf("Could not get TFTP service from database. Error %d.\n",
                    kvp::LastSocketError());
        return 0;
    }
    server.port = port;

    // main refused names that would not fit, so the request always fits its buffer.
    uint8_t packet[kMaxPacket];
    const int length =
        BuildRequestPacket(packet, static_cast<uint16_t>(g_opcode), g_remoteFile, g_mode);

    std::printf("Sending TFTP packet, opcode %02d, to %s:%d, file %s, mode %s.\n", g_opcode,
                kvp::InetNtoa(server.addr).c_str(), static_cast<int>(kvp::NetToHost16(port)),
                g_remoteFile.c_str(), g_mode.c_str());
    if (kvp::SendTo(g_socket, packet, length, server) < 0) {
        std::printf("Sendto error occurred: %d.\n", kvp::LastSocketError());
        return 0;
    }
    return 1;
}

// Connects to the sender of a DATA or ACK reply; prints `connected` on success.
int ConnectToSender(const kvp::SockAddr4& from, const char* connected) {
    if (kvp::Connect(g_socket, from) != 0) {
        std::printf("Connect error occurred: %d.\n", kvp::LastSocketError());
        return 0;
    }
    std::printf("%s", connected);
    return 1;
}

int ProbeReadReply() {
    std::printf("Waiting to receive a response...\n");
    uint8_t reply[kMaxPacket];
    kvp::SockAddr4 from;
    // No time limit: the first datagram from anyone is the answer.
    const int len = kvp::RecvFrom(g_socket, reply, sizeof reply, &from);
    if (len < 0) {
        std::printf("Recvfrom error occurred: %d.\n", kvp::LastSocketError());
        return 0;
    }
    const std::string sender = kvp::InetNtoa(from.addr);
    if (len < 2) {
        std::printf("Short packet received from %s. Aborting.\n", sender.c_str());
        return 0;
    }
    const int opcode = GetPacketOpcode(reply, len);
    std::printf("Response from %s:%d, %d bytes, opcode %02d.\n", sender.c_str(),
                static_cast<int>(kvp::NetToHost16(from.port)), len, opcode);
    switch (opcode) {
        case 1:
            if (len == 2) {
                std::printf("Read request received, but incomplete.\n");
            } else {
                std::printf("Read request received for %s.\n", ReplyText(reply, len, 2).c_str());
            }
            return 1;
        case 2:
            if (len == 2) {
                std::printf("Write request received, but incomplete.\n");
            } else {
                std::printf("Write request received for %s.\n", ReplyText(reply, len, 2).c_str());
            }
            return 1;
        case 3:
            if (len < 4) {
                std::printf("DATA packet received, but incomplete.\n");
                return 1;
            }
            std::printf("DATA packet received. Block is %02d.\n",
                        static_cast<int>(GetPacketBlock(reply, len)));
            return ConnectToSender(from, "Connected to the remote server port successfully.\n");
        case 4:
            if (len < 4) {
                std::printf("ACK packet received, but incomplete.\n");
                return 1;
            }
            std::printf("ACK packet received. Block is %d.\n",
                        static_cast<int>(GetPacketBlock(reply, len)));
            return ConnectToSender(from, "Connected to the remote server port.\n");
        case 5:
            if (len < 4) {
                std::printf("ERROR packet received, but incomplete.\n");
                return 1;
            }
            // The code stands where other packets carry their block number.
            std::printf("ERROR packet received. Code is %02d.\n",
                        static_cast<int>(GetPacketBlock(reply, len)));
            if (len > 4) std::printf("Server error is '%s'.\n", ReplyText(reply, len, 4).c_str());
            return 1;
        default:
            std::printf("Unknown packet received. Opcode %02d.\n", opcode);
            return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Every line leaves at once: the wait for an answer has no end, and whoever watches
    // the probe must see how far it got.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc != 5) {
        PrintUsage(argc > 0 && argv[0] != nullptr ? argv[0] : "kvprobe");
        return 0;
    }
    g_opcode = std::tolower(static_cast<unsigned char>(argv[1][0])) == 'w' ? 2 : 1;
    g_mode = std::tolower(static_cast<unsigned char>(argv[2][0])) == 'o' ? "octet" : "netascii";

    // Dotted addresses only; 255.255.255.255 reads like a failed parse and is refused too.
    if (kvp::InetAddr(argv[3]) == kvp::kInaddrNone) {
        std::printf("The server IP address %s is invalid.\n", argv[3]);
        return 0;
    }
    g_server = argv[3];
    g_remoteFile = argv[4];

    // The request is one datagram of at most 516 bytes: opcode, name, 0, mode, 0.
    const size_t maxName = static_cast<size_t>(kMaxPacket) - 4 - g_mode.size();
    if (g_remoteFile.size() > maxName) {
        std::printf(
            "The remote file name is too long: %zu characters, at most %zu fit one request in "
            "%s mode.\n",
            g_remoteFile.size(), maxName, g_mode.c_str());
        return 0;
    }

    if (!ProbeOpenSocket()) return 0;
    if (!ProbeSendRequest()) return 0;
    if (!ProbeReadReply()) return 0;

    std::printf("Disconnecting.\n");
    kvp::CloseSocket(g_socket);
    kvp::NetCleanup();
    std::printf("TFTP test complete.\n");
    return 1;
}
