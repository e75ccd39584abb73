#include "http/memory_socket.h"

#include <algorithm>
#include <cstring>

namespace corvandel::http {

TMemoryBlockSocket::TMemoryBlockSocket(std::vector<TPeerScript> scripts) : scripts_(std::move(scripts)) {}

TMemoryBlockSocket::~TMemoryBlockSocket() { open_ = false; }

void TMemoryBlockSocket::ConnectTo(const std::string&, const std::string&) {
  ClearError();
  SetStopFlag(false);
  SetPendingInput({});
  SetSkipCR(false);
  SetSkipLF(false);
  if (written_.size() >= scripts_.size()) {
    SetLastError(WSAECONNREFUSED);
    ReportError();
    return;
  }
  written_.emplace_back();
  open_ = true;
  packet_ = 0;
  offset_ = 0;
  gateMark_ = std::string::npos;
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
      case TPeerEnd::Close: SetLastError(WSAECONNRESET); return 0;
      case TPeerEnd::Reset: SetLastError(WSAECONNRESET); return -1;
      case TPeerEnd::Silence: SetLastError(WSAEWOULDBLOCK); return -1;
    }
  }
  const std::string& packet = Script().Packets[packet_];
  const std::size_t count = std::min(packet.size() - offset_, static_cast<std::size_t>(length));
  std::memcpy(buffer, packet.data() + offset_, count);
  offset_ += count;
  return static_cast<int32_t>(count);
}

int TMemoryBlockSocket::TransportWait(bool writable, int32_t) {
  if (StopRequested()) return -1;
  if (!open_) {
    SetLastError(WSAENOTSOCK);
    return -1;
  }
  if (writable) return Script().Reads ? 1 : 0;
  // Readable while data is ready, and at the end unless the peer stays silent.
  if (NextPacketReady()) return 1;
  return !PacketsLeft() && Script().End != TPeerEnd::Silence ? 1 : 0;
}

}  // namespace corvandel::http
