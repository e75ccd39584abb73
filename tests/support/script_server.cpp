#include "script_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>

namespace corvandel::http::testing {

// Bounds every wait on the client, so a faulty client fails a test instead
// of hanging it.
constexpr auto kClientWaitLimit = std::chrono::seconds(10);
constexpr int kClientPollLimitMs = 10000;

void AppendPieces(TScript& script, const std::string& bytes, std::size_t pieceSize) {
  for (std::size_t at = 0; at < bytes.size(); at += pieceSize) script.push_back(SendStep(bytes.substr(at, pieceSize)));
}

TLoopbackPeer::~TLoopbackPeer() {
  Close();
  if (listener_ >= 0) ::close(listener_);
}

bool TLoopbackPeer::Connect(TTCPBlockSocket& client, int family) {
  uint16_t port = 0;
  listener_ = OpenLoopbackListener(family, port);
  if (listener_ < 0) return false;
  // The kernel completes the handshake from the backlog, so connecting
  // before accepting works on one thread.
  client.ConnectTo(family == AF_INET6 ? "::1" : "127.0.0.1", std::to_string(port));
  if (client.LastErrorCode() != 0) return false;
  pollfd entry{listener_, POLLIN, 0};
  if (::poll(&entry, 1, kClientPollLimitMs) <= 0) return false;
  connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  const int on = 1;
  setsockopt(connection_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  return connection_ >= 0;
}

void TLoopbackPeer::Send(std::string_view bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(connection_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

void TLoopbackPeer::Close() {
  if (connection_ < 0) return;
  ::close(connection_);
  connection_ = -1;
}

std::string TLoopbackPeer::ReadUntilClosed(bool& reset) {
  std::string read;
  reset = false;
  for (;;) {
    pollfd entry{connection_, POLLIN, 0};
    if (::poll(&entry, 1, kClientPollLimitMs) <= 0) return read;
    char buffer[4096];
    const ssize_t n = ::recv(connection_, buffer, sizeof(buffer), 0);
    if (n == 0) return read;
    if (n < 0) {
      reset = errno == ECONNRESET;
      return read;
    }
    read.append(buffer, static_cast<std::size_t>(n));
  }
}

bool TScriptServer::CanListen(int family) {
  uint16_t port = 0;
  const TSocket fd = OpenLoopbackListener(family, port);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

TScriptServer::TScriptServer(int family, std::vector<TScript> scripts, bool pacePackets)
    : scripts_(std::move(scripts)),
      pacePackets_(pacePackets),
      host_(family == AF_INET6 ? "::1" : "127.0.0.1") {
  listener_ = OpenLoopbackListener(family, port_);
  wakeEvent_ = eventfd(0, EFD_CLOEXEC);
  if (listener_ >= 0) acceptThread_ = std::thread([this] { AcceptLoop(); });
}

TScriptServer::~TScriptServer() {
  Stop();
  if (listener_ >= 0) ::close(listener_);
  if (wakeEvent_ >= 0) ::close(wakeEvent_);
}

THookMonitor TScriptServer::PacingMonitor() {
  return [this](TBlockSocket&, bool writing, const void*, int32_t length) {
    if (writing || length <= 0) return;
    const std::lock_guard lock(mutex_);
    clientReceived_ += static_cast<std::size_t>(length);
    changed_.notify_all();
  };
}

void TScriptServer::Stop() {
  {
    const std::lock_guard lock(mutex_);
    if (stopping_ && !acceptThread_.joinable()) return;
    stopping_ = true;
    changed_.notify_all();
  }
  const uint64_t one = 1;
  if (wakeEvent_ >= 0 && ::write(wakeEvent_, &one, sizeof(one)) < 0) {
    // Nothing to do: without the wake-up the waits still end at their limits.
  }
  if (acceptThread_.joinable()) acceptThread_.join();
  // No new workers can appear once the accept thread has ended.
  for (std::thread& worker : workers_)
    if (worker.joinable()) worker.join();
}

std::vector<std::string> TScriptServer::Received() {
  const std::lock_guard lock(mutex_);
  return received_;
}

void TScriptServer::AcceptLoop() {
  for (std::size_t index = 0;; ++index) {
    pollfd entries[2] = {{listener_, POLLIN, 0}, {wakeEvent_, POLLIN, 0}};
    if (::poll(entries, 2, -1) < 0 && errno != EINTR) return;
    if (entries[1].revents != 0) return;
    if ((entries[0].revents & POLLIN) == 0) continue;
    const TSocket connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    const int on = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    const std::lock_guard lock(mutex_);
    received_.emplace_back();
    workers_.emplace_back([this, connection, index] { Serve(connection, index); });
  }
}

bool TScriptServer::WaitReadable(TSocket connection) {
  pollfd entries[2] = {{connection, POLLIN, 0}, {wakeEvent_, POLLIN, 0}};
  const int rc = ::poll(entries, 2, kClientPollLimitMs);
  return rc > 0 && entries[1].revents == 0 && entries[0].revents != 0;
}

bool TScriptServer::WaitForClient(std::size_t sentSoFar) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, kClientWaitLimit,
                           [&] { return stopping_ || clientReceived_ >= sentSoFar; }) &&
         !stopping_;
}

bool TScriptServer::SendAll(TSocket connection, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool TScriptServer::ReadUntil(TSocket connection, const std::string& terminator, std::string& read) {
  while (read.find(terminator) == std::string::npos) {
    if (!WaitReadable(connection)) return false;
    char buffer[4096];
    const ssize_t n = ::recv(connection, buffer, sizeof(buffer), 0);
    if (n <= 0) return false;
    read.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

bool TScriptServer::ReadRequest(TSocket connection, std::string& read) {
  constexpr std::string_view kHeaderEnd = "\r\n\r\n";
  constexpr std::string_view kLengthHeader = "\r\ncontent-length:";
  if (!ReadUntil(connection, std::string(kHeaderEnd), read)) return false;
  const std::size_t headerEnd = read.find(kHeaderEnd) + kHeaderEnd.size();
  std::string lower = read.substr(0, headerEnd);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::size_t length = 0;
  const std::size_t at = lower.find(kLengthHeader);
  if (at != std::string::npos) length = std::strtoul(lower.c_str() + at + kLengthHeader.size(), nullptr, 10);
  while (read.size() < headerEnd + length) {
    if (!WaitReadable(connection)) return false;
    char buffer[65536];
    const ssize_t n = ::recv(connection, buffer, sizeof(buffer), 0);
    if (n <= 0) return false;
    read.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

bool TScriptServer::StopRequested(int ms) {
  pollfd entry{wakeEvent_, POLLIN, 0};
  return ::poll(&entry, 1, ms) > 0;
}

void TScriptServer::DrainUntilClose(TSocket connection) {
  char buffer[4096];
  while (WaitReadable(connection) && ::recv(connection, buffer, sizeof(buffer), 0) > 0) {
  }
}

void TScriptServer::Serve(TSocket connection, std::size_t index) {
  const TScript& script = scripts_.empty() ? TScript{} : scripts_[std::min(index, scripts_.size() - 1)];
  std::size_t sentSoFar = 0;
  bool alive = true;
  for (const TStep& step : script) {
    if (!alive) break;
    switch (step.Kind) {
      case TStep::Send:
        if (pacePackets_ && sentSoFar > 0 && !WaitForClient(sentSoFar)) {
          alive = false;
          break;
        }
        alive = SendAll(connection, step.Bytes);
        sentSoFar += step.Bytes.size();
        break;
      case TStep::ReadUntil:
      case TStep::Echo: {
        std::string read;
        alive = ReadUntil(connection, step.Bytes, read);
        {
          const std::lock_guard lock(mutex_);
          received_[index] += read;
        }
        if (alive && step.Kind == TStep::Echo) alive = SendAll(connection, read);
        break;
      }
      case TStep::AwaitClientClose:
        DrainUntilClose(connection);
        alive = false;
        break;
      case TStep::ReadRequest: {
        std::string read;
        alive = ReadRequest(connection, read);
        const std::lock_guard lock(mutex_);
        received_[index] += read;
        break;
      }
      case TStep::Reset: {
        const linger abortive{1, 0};
        setsockopt(connection, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive));
        ::close(connection);
        return;
      }
      case TStep::Trickle:
        for (std::size_t at = 0; !step.Bytes.empty(); at = (at + 1) % step.Bytes.size()) {
          if (!SendAll(connection, step.Bytes.substr(at, 1)) || StopRequested(kTricklePauseMs)) break;
        }
        alive = false;
        break;
      case TStep::Flood:
        while (SendAll(connection, step.Bytes)) {
          const std::lock_guard lock(mutex_);
          if (stopping_) break;
        }
        alive = false;
        break;
    }
  }
  ::shutdown(connection, SHUT_WR);
  DrainUntilClose(connection);
  ::close(connection);
}

}  // namespace corvandel::http::testing
