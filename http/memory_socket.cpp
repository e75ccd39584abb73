#include "http/memory_socket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "http/text_utils.h"

namespace corvandel::http {

namespace {

constexpr std::string_view kPausePrefix = "\x01(pause ";
constexpr std::string_view kPauseSuffix = " ms)\x01";

// The length of a pause packet; -1 for any other packet.
int64_t PauseOf(std::string_view packet) {
  if (!packet.starts_with(kPausePrefix) || !packet.ends_with(kPauseSuffix)) return -1;
  packet.remove_prefix(kPausePrefix.size());
  packet.remove_suffix(kPauseSuffix.size());
  return ParseIntDef(packet, -1);
}

}  // namespace

std::string PeerPause(int32_t milliseconds) {
  return std::string(kPausePrefix) + std::to_string(std::max(milliseconds, 0)) + std::string(kPauseSuffix);
}

TMemoryBlockSocket::TMemoryBlockSocket(std::vector<TPeerScript> scripts) : scripts_(std::move(scripts)) {}

TMemoryBlockSocket::~TMemoryBlockSocket() { open_ = false; }

void TMemoryBlockSocket::ConnectTo(const std::string& ip, const std::string& port) {
  ClearError();
  SetStopFlag(false);
  SetPendingInput({});
  SetSkipCR(false);
  SetSkipLF(false);
  ResetTunnel();
  if (written_.size() >= scripts_.size()) {
    SetLastError(WSAECONNREFUSED, {TErrorOrigin::System, ECONNREFUSED});
    ReportError();
    return;
  }
  written_.emplace_back();
  open_ = true;
  packet_ = 0;
  offset_ = 0;
  gateMark_ = std::string::npos;
  pauseLeft_ = -1;
  if (!HTTPTunnelIP().empty()) NegotiateTunnel(ip, port);
}

uint32_t TMemoryBlockSocket::Tick() const {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now_.time_since_epoch()).count());
}

void TMemoryBlockSocket::Close() { Abort(); }

void TMemoryBlockSocket::Abort() {
  open_ = false;
  TTCPBlockSocket::Abort();
}

bool TMemoryBlockSocket::NextPacketReady() {
  while (PacketsLeft()) {
    const std::string& packet = Script().Packets[packet_];
    if (packet == kAfterNextRequest) {
      const std::size_t written = written_.back().size();
      if (gateMark_ == std::string::npos) gateMark_ = written;
      if (written == gateMark_) return false;
      gateMark_ = std::string::npos;
    } else if (const int64_t pause = PauseOf(packet); pause >= 0) {
      if (pauseLeft_ < 0) pauseLeft_ = pause;
      if (pauseLeft_ > 0) return false;
      pauseLeft_ = -1;
    } else if (offset_ < packet.size()) {
      return true;
    }
    // Packets of no bytes are skipped: only the end of the script ends the stream.
    ++packet_;
    offset_ = 0;
  }
  return false;
}

int32_t TMemoryBlockSocket::PendingBytes() {
  if (!open_ || !NextPacketReady()) return 0;
  const std::size_t left = Script().Packets[packet_].size() - offset_;
  return static_cast<int32_t>(std::min<std::size_t>(left, kMaxPacketSize));
}

int32_t TMemoryBlockSocket::TransportSend(const char* buffer, int32_t length) {
  ClearError();
  if (!open_) {
    SetLastError(WSAENOTCONN);
    return -1;
  }
  if (!Script().Reads) {
    SetLastError(WSAEWOULDBLOCK);
    return -1;
  }
  written_.back().append(buffer, static_cast<std::size_t>(length));
  return length;
}

int32_t TMemoryBlockSocket::TransportReceive(char* buffer, int32_t length) {
  ClearError();
  if (!open_) {
    SetLastError(WSAENOTCONN);
    return -1;
  }
  if (!NextPacketReady()) {
    if (PacketsLeft()) {
      SetLastError(WSAEWOULDBLOCK);
      return -1;
    }
    switch (Script().End) {
      case TPeerEnd::Close: SetLastError(WSAECONNRESET, {TErrorOrigin::PeerClosed, 0}); return 0;
      case TPeerEnd::Reset: SetLastError(WSAECONNRESET, {TErrorOrigin::System, ECONNRESET}); return -1;
      case TPeerEnd::Silence: SetLastError(WSAEWOULDBLOCK); return -1;
    }
  }
  const std::string& packet = Script().Packets[packet_];
  const std::size_t count = std::min(packet.size() - offset_, static_cast<std::size_t>(length));
  std::memcpy(buffer, packet.data() + offset_, count);
  offset_ += count;
  return static_cast<int32_t>(count);
}

int TMemoryBlockSocket::TransportWait(bool writable, int32_t timeout) {
  if (StopRequested()) return -1;
  if (!open_) {
    SetLastError(WSAENOTSOCK);
    return -1;
  }
  if (writable) {
    if (Script().Reads) return 1;
    PassTime(timeout);
    return 0;
  }
  // Readable while data is ready, and at the end unless the peer stays silent.
  if (NextPacketReady()) return 1;
  if (pauseLeft_ > 0 && PassTime(timeout)) return NextPacketReady() || !PacketsLeft() ? 1 : 0;
  if (!PacketsLeft() && Script().End != TPeerEnd::Silence) return 1;
  // Silence, or a gate: the whole wait passes.
  if (pauseLeft_ <= 0) PassTime(timeout);
  return 0;
}

bool TMemoryBlockSocket::PassTime(int32_t timeout) {
  const bool ends = pauseLeft_ > 0 && (timeout < 0 || timeout >= pauseLeft_);
  const int64_t passed = ends ? pauseLeft_ : std::max<int32_t>(timeout, 0);
  now_ += std::chrono::milliseconds(passed);
  if (pauseLeft_ > 0) pauseLeft_ = ends ? 0 : pauseLeft_ - passed;
  return ends;
}

}  // namespace corvandel::http
