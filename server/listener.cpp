// The listener on the TFTP port and the request threads it starts, one per datagram.
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "engine.h"
#include "kv/debug.h"
#include "kv/errors.h"
#include "kv/net.h"
#include "kv/process.h"
#include "kv/thread.h"
#include "report.h"
#include "settings.h"

namespace {

constexpr uint16_t kDefaultTftpPort = 69;
// How long the listener waits on its socket before it looks at the shutdown event again:
// the bound on how long a stop takes to be noticed.
constexpr long kListenStepUs = 500 * 1000;
constexpr uint32_t kSocketEventWaitMs = 5000;
// How long the listener waits for a request thread to end when all are busy, and after
// a failed thread creation, before it looks at the shutdown event again.
constexpr uint32_t kBusyWaitMs = 500;

std::atomic<int> g_requestThreads{0};

// Signalled whenever a request thread ends, so that a listener at the thread bound can
// go on. Never destroyed: request threads may outlive everything else.
const kvp::EventHandle& SlotFreedEvent() {
    static const kvp::EventHandle* event =
        new kvp::EventHandle(kvp::CreateEventA(false, false, nullptr));
    return *event;
}

// What one listener shares with its request threads; it lives until the last of them
// ends, so the listening socket is never closed (and its number reused) under a request
// thread that is about to read from it.
struct ListenerShared {
    kvp::Socket socket;
    kvp::EventHandle socketEvent;
    // Set while a started request thread has not yet taken its datagram: only one thread
    // reads from the listening socket at a time, since its receive blocks.
    std::atomic<bool> receivePending{false};
};

struct RequestArgs {
    std::shared_ptr<ListenerShared> listener;
    std::shared_ptr<const ListenerConfig> config;
};

// Holds one place among the request threads for the life of a thread.
class RequestSlot {
  public:
    RequestSlot() = default;
    RequestSlot(const RequestSlot&) = delete;
    RequestSlot& operator=(const RequestSlot&) = delete;
    ~RequestSlot() {
        g_requestThreads.fetch_sub(1);
        kvp::SetEvent(SlotFreedEvent());
    }
};

// The requests whose transfers are running, each by the client's address and port and
// the request's bytes. A request that comes again while its transfer runs (re-sent by
// a client whose answer was lost, or doubled on the way) is that same request, not a
// second transfer: a second upload of the same file would be refused as existing, or
// would truncate the file under the first, and a second download would hold a thread
// for a client that no longer listens to it. Never destroyed: request threads may
// outlive everything else.
class RunningRequest {
  public:
    RunningRequest(const ClientInfo& client, const TransferContext& ctx) {
        key_.append(reinterpret_cast<const char*>(&client.address.addr),
                    sizeof client.address.addr);
        key_.append(reinterpret_cast<const char*>(&client.address.port),
                    sizeof client.address.port);
        key_.append(reinterpret_cast<const char*>(ctx.recvBuf), static_cast<size_t>(ctx.recvLen));
        std::lock_guard<std::mutex> lock(Mutex());
        claimed_ = Keys().insert(key_).second;
    }
    ~RunningRequest() {
        if (!claimed_) return;
        std::lock_guard<std::mutex> lock(Mutex());
        Keys().erase(key_);
    }
    RunningRequest(const RunningRequest&) = delete;
    RunningRequest& operator=(const RunningRequest&) = delete;
    bool claimed() const { return claimed_; }

  private:
    static std::mutex& Mutex() {
        static std::mutex* mu = new std::mutex;
        return *mu;
    }
    static std::set<std::string>& Keys() {
        static std::set<std::string>* keys = new std::set<std::string>;
        return *keys;
    }
    std::string key_;
    bool claimed_ = false;
};

void Dispatch(ClientInfo* client, TransferContext* ctx) {
    const uint16_t opcode = GetPacketOpcode(ctx->recvBuf, ctx->recvLen);
    switch (opcode) {
        case 0xFFFF:
            LogServerEvent(*client->listener, "Short TFTP packet received. Ignoring it.");
            break;
        case kOpRrq:
        case kOpWrq: {
            const RunningRequest running(*client, *ctx);
            if (!running.claimed()) break;  // a repeat of a running request: no answer
            if (opcode == kOpRrq) {
                ServeReadRequest(client, ctx);
            } else {
                ServeWriteRequest(client, ctx);
            }
            break;
        }
        case kOpData:
            LogServerEvent(*client->listener, "Unexpected DATA packet received from client.");
            break;
        case kOpAck:
            LogServerEvent(*client->listener, "Unexpected ACK packet received from client.");
            break;
        case kOpError:
            LogServerEvent(*client->listener, "Unexpected ERROR packet received from client.");
            break;
        default:
            LogServerEventF(*client->listener,
                            "Unknown packet received from client, opcode is %02d.", opcode);
            break;
    }
}

}  // namespace

std::shared_ptr<ListenerConfig> LoadListenerConfig() {
    auto config = std::make_shared<ListenerConfig>();
    LoadServerParameters(&config->settings);
    // Set by a host that runs the server in a console.
    const std::string toStderr = kvp::GetEnv("KVTFTP_LOG_STDERR");
    config->logToStderr = !toStderr.empty() && toStderr != "0";
    config->reporter = MakeServerReporter(config.get());
    config->rootConcern = kvp::ClassifyServeRoot(config->settings.rootDirectory);
    config->transferReporter = MakeTransferReporter(config.get());
    return config;
}

int ActiveRequestThreads() {
    return g_requestThreads.load();
}

uint32_t GetInitialRequest(void* arg) {
    std::unique_ptr<RequestArgs> args(static_cast<RequestArgs*>(arg));
    RequestSlot slot;
    try {
        TransferContext ctx;
        ClientInfo client;
        client.listener = std::move(args->config);
        int err = 0;
        {
            // The transfer runs on a socket of its own: the listening socket is let go
            // here, so that a stopped listener's port is free for the next listener
            // while this transfer still runs.
            const std::shared_ptr<ListenerShared> listener = std::move(args->listener);
            // The listener saw a datagram, but it may be gone by now (one with a bad
            // checksum is dropped only when read): a receive that waited for the next
            // one would hold this thread, and the listening socket, beyond a stop.
            ctx.recvLen = kvp::RecvFromWithin(listener->socket.get(), ctx.recvBuf, kMaxPacket,
                                              &client.address, 0, 0);
            err = kvp::LastSocketError();
            // The datagram is off the socket either way (one too large is consumed too),
            // so the listener may go on at once.
            listener->receivePending.store(false);
            kvp::SetEvent(listener->socketEvent);
        }
        if (ctx.recvLen == kvp::kTimedOut) return 0;
        if (ctx.recvLen < 0) {
            // Only one report waits for the operator at a time, so a sender of bad
            // datagrams cannot pile up threads waiting for it.
            ReportServerError("GetInitialRequest: Recvfrom error occurred", err,
                              client.listener.get());
            return 0;
        }
        if (!CheckClientAllowed(&client)) return 0;
        Dispatch(&client, &ctx);
    } catch (const std::exception& e) {
        // Out of memory, at worst: this request is lost, the server goes on.
        std::string line = std::string("GetInitialRequest: ") + e.what() + "\n";
        kvp::OutputDebugStringA(line.c_str());
        return 0;
    }
    return 1;
}

uint32_t StartTFTPServerThread(void* arg) {
    std::unique_ptr<ListenerArgs> args(static_cast<ListenerArgs*>(arg));
    const kvp::EventHandle shutdown = args->shutdown;
    // Every way out before the port is bound lets the starter go on too.
    struct ReadyOnExit {
        kvp::EventHandle event;
        ~ReadyOnExit() {
            if (event) kvp::SetEvent(event);
        }
    } readyGuard{args->ready};
    try {
        uint16_t port = 0;
        if (!kvp::GetServicePort("tftp", "udp", &port)) {
            ReportServerSocketError(
                "StartTFTPServerThread: Unable to find TFTP service port. Using the default");
            port = kvp::HostToNet16(kDefaultTftpPort);
        }
        auto shared = std::make_shared<ListenerShared>();
        shared->socket.reset(kvp::UdpSocket());
        if (!shared->socket.valid()) {
            ReportServerSocketError("StartTFTPServerThread: Failed to create a socket");
            return 0;
        }
        kvp::SockAddr4 local;
        local.addr = kvp::HostToNet32(kvp::kInaddrAny);
        local.port = port;
        if (kvp::Bind(shared->socket.get(), local) != 0) {
            ReportServerSocketError("StartTFTPServerThread: Failed to bind the socket");
            return 0;
        }
        // From here requests wait in the socket until the loop below takes them.
        if (readyGuard.event) kvp::SetEvent(readyGuard.event);
        const std::shared_ptr<const ListenerConfig> config = LoadListenerConfig();
        if (config->settings.rootDirectory[0] == '\0') {
            // Said once here; every request is refused until a root is set.
            LogServerEvent(*config,
                           "StartTFTPServerThread: No root directory (TFTPHome) is set. "
                           "Every request is refused until one is set.");
        } else if (config->rootConcern != kvp::ServeRootConcern::kNone) {
            // A service started without a root runs in "/" (or the Windows system
            // directory): that is never served, whatever the default says.
            LogServerEventF(*config,
                            "StartTFTPServerThread: The root directory %s (TFTPHome) is %s. "
                            "Every request is refused until another one is set.",
                            config->settings.rootDirectory,
                            kvp::ServeRootConcernText(config->rootConcern));
        }
        shared->socketEvent = kvp::CreateEventA(false, false, "Master TFTP socket event");
        if (!shared->socketEvent) {
            ReportServerError("StartTFTPServerThread: Failed to create socket event. Aborting.", 0);
            return 0;
        }
        // The shutdown event was created with the listener, so that a stop right after
        // the start always finds it.
        if (!shutdown) {
            ReportServerError("StartTFTPServerThread: Failed to create shutdown event. Aborting.",
                              0);
            return 0;
        }

        while (kvp::WaitForEvent(shutdown, 0) != kvp::WaitResult::kSignaled) {
            if (shared->receivePending.load()) {
                // The last request thread has not taken its datagram yet.
                kvp::WaitForEvent(shared->socketEvent, kSocketEventWaitMs);
                continue;
            }
            if (g_requestThreads.load() >= kMaxRequestThreads) {
                // At the bound, datagrams wait in the socket's queue (or are dropped by
                // the system when it is full) until a request thread ends.
                kvp::WaitForEvent(SlotFreedEvent(), kBusyWaitMs);
                continue;
            }
            const int ready = kvp::WaitReadable(shared->socket.get(), 0, kListenStepUs);
            if (ready < 0) {
                ReportServerSocketError("Select() error");
                return 0;
            }
            if (ready == 0) continue;

            shared->receivePending.store(true);
            g_requestThreads.fetch_add(1);
            auto* request = new RequestArgs{shared, config};
            kvp::ThreadHandle thread = kvp::CreateThread(GetInitialRequest, request);
            if (!thread) {
                const int err = kvp::LastSystemError();
                delete request;
                g_requestThreads.fetch_sub(1);
                shared->receivePending.store(false);
                // The server stays up: the datagram waits in the queue, and the listener
                // tries again once it has caught its breath.
                ReportServerError("StartTFTPServerThread: GetInitialRequest thread creation failed",
                                  err);
                kvp::WaitForEvent(SlotFreedEvent(), kBusyWaitMs);
                continue;
            }
            // The request thread runs detached; its handle is not kept.
            thread.reset();
            kvp::WaitForEvent(shared->socketEvent, kSocketEventWaitMs);
            kvp::ResetEvent(shared->socketEvent);
        }
    } catch (const std::exception& e) {
        std::string line = std::string("StartTFTPServerThread: ") + e.what() + "\n";
        kvp::OutputDebugStringA(line.c_str());
        return 0;
    }
    return 1;
}
