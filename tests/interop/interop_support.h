// Running TFTP programs of other projects, our own programs and our client library
// side by side on 127.0.0.1, for the interop tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kv/dynlib.h"
#include "kv/export.h"
#include "kv/process.h"
#include "kvtftpclidll.h"
#include "process_support.h"

namespace kvinterop {

// The peer programs live in $KV_PEERS_DIR/bin (prepared by prepare-peers.sh). Without
// KV_PEERS_DIR the interop tests are skipped; with it, a missing peer is a failure.
bool PeersConfigured();
// Full path of a peer program; records a test failure and returns "" when missing.
std::string PeerProgram(const std::string& name);

using kvtest::CommandResult;
using kvtest::Daemon;
using kvtest::RunCommand;
using kvtest::ShellQuote;
using kvtest::WaitForOwnTftpServer;
using kvtest::WaitForTftpServer;

// tftpd-hpa in the foreground on 127.0.0.1:port serving root, uploads creating files.
std::vector<std::string> TftpdHpaCommand(const std::string& program, uint16_t port,
                                         const std::string& root);

// Writes a services file that maps tftp to the port (and syslog to another).
void WriteServices(const std::string& path, uint16_t tftp_port);

// Text of the given size: lines of printable characters ended by bare line feeds,
// starting with one of 511 characters so that a netascii conversion must split a
// CR LF pair across the first block boundary.
std::string TextData(size_t size, uint32_t seed = 1);
// The netascii form of text without carriage returns: each LF becomes CR LF.
std::string ToNetascii(const std::string& text);

// Our client library, loaded once per process by its file name and bound by the two
// exported names only.
class ClientLibrary {
  public:
    static ClientLibrary& Get();
    bool loaded() const { return transfer_ && query_; }
    // Starts a transfer and polls until the worker ends (at most limit_s seconds).
    // Returns false when TFTPTransfer refused or the worker did not end in time.
    bool Transfer(const std::string& server, int action, int mode, const std::string& local,
                  const std::string& remote, const std::string& log_path, int limit_s = 120,
                  bool* saw_running = nullptr);

  private:
    ClientLibrary();
    kvp::HLibrary lib_ = nullptr;
    TFTPTransferProc transfer_ = nullptr;
    TFTPQueryStatusProc query_ = nullptr;
};

constexpr int kUpload = 0;
constexpr int kDownload = 1;
constexpr int kNetascii = 0;
constexpr int kOctet = 1;

}  // namespace kvinterop
