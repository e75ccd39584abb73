#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "http/block_socket.h"
#include "http/text_utils.h"

namespace corvandel::http {

namespace {

constexpr std::string_view kCRLF = "\r\n";
constexpr std::string_view kCR = "\r";
constexpr std::string_view kLF = "\n";
constexpr int kFailure = -1;
// What a receive asks for when the socket is readable with nothing pending.
constexpr int32_t kClosedProbeSize = 512;

// Deducts the time spent from start to now from timeout; false once it is
// used up. A negative timeout means no limit and is never used up.
bool DeductElapsed(int32_t& timeout, uint32_t start, uint32_t now) {
  if (timeout < 0) return true;
  const uint32_t elapsed = TickSpan(start, now);
  if (elapsed >= static_cast<uint32_t>(timeout)) return false;
  timeout -= static_cast<int32_t>(elapsed);
  return true;
}

// Where a receive lands before it becomes a packet: as large as a packet
// may be, and kept by the thread, so that no receive has to clear or
// allocate it. A receive that a hook starts while the thread's buffer is
// in use gets one of its own.
class TPacketBuffer {
public:
  TPacketBuffer() {
    TSlot& slot = Slot();
    if (slot.Busy) {
      own_.reset(new char[kMaxPacketSize]);
      data_ = own_.get();
    } else {
      slot.Busy = true;
      if (!slot.Buffer) slot.Buffer.reset(new char[kMaxPacketSize]);
      data_ = slot.Buffer.get();
    }
  }
  ~TPacketBuffer() {
    if (!own_) Slot().Busy = false;
  }
  TPacketBuffer(const TPacketBuffer&) = delete;
  TPacketBuffer& operator=(const TPacketBuffer&) = delete;

  char* Data() const { return data_; }

private:
  struct TSlot {
    std::unique_ptr<char[]> Buffer;
    bool Busy = false;
  };
  static TSlot& Slot() {
    thread_local TSlot slot;
    return slot;
  }

  std::unique_ptr<char[]> own_;
  char* data_ = nullptr;
};

}  // namespace

int32_t TBlockSocket::TransportReceive(char* buffer, int32_t length) {
  for (;;) {
    ssize_t received;
    do {
      received = ::recv(handle_, buffer, static_cast<std::size_t>(length), 0);
    } while (received == kFailure && errno == EINTR);
    CheckResult(static_cast<int>(received));
    if (received == 0) SetLastError(WSAECONNRESET, {TErrorOrigin::PeerClosed, 0});
    // In blocking mode a receive with nothing there waits for data, with
    // the deadline and a stop request still able to end it.
    if (lastErrorCode_ != WSAEWOULDBLOCK || nonBlocking_) return static_cast<int32_t>(received);
    if (AwaitIO(false, -1) < 0) return kFailure;
  }
}

int32_t TBlockSocket::ReceiveBytes(void* buffer, int32_t length) {
  if (CheckStopFlag()) return 0;
  if (length <= 0) {
    ClearError();
    return 0;
  }
  LimitBandwidth(length, maxRecvBandwidth_, nextRecvTick_);
  const int32_t count = TransportReceive(static_cast<char*>(buffer), length);
  ReportError();
  return count <= 0 ? 0 : Deliver(buffer, count);
}

int32_t TBlockSocket::TransportReceiveNow(char* buffer, int32_t length) {
  const int32_t available = PendingBytes();
  if (available <= 0) return 0;
  return std::max(TransportReceive(buffer, std::min(available, length)), 0);
}

int32_t TBlockSocket::ReceiveArrived(char* buffer, int32_t length) {
  if (maxRecvBandwidth_ > 0 || CheckStopFlag()) return 0;
  const int32_t count = TransportReceiveNow(buffer, length);
  return count <= 0 ? 0 : Deliver(buffer, count);
}

int32_t TBlockSocket::Deliver(void* buffer, int32_t count) {
  bytesReceived_ += static_cast<uint32_t>(count);
  if (onStatus_) DoStatus(HR_ReadCount, std::to_string(count));
  if (onMonitor_) onMonitor_(*this, false, buffer, count);
  if (onReadFilter_) {
    std::string data(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
    onReadFilter_(*this, data);
    count = static_cast<int32_t>(std::min(data.size(), static_cast<std::size_t>(count)));
    std::memcpy(buffer, data.data(), static_cast<std::size_t>(count));
  }
  return count;
}

std::string TBlockSocket::ReceivePacket(int32_t timeout) {
  ClearError();
  std::string packet;
  if (HasPendingInput()) {
    CompactPendingInput();
    packet.swap(pendingInput_);
  } else {
    // What has arrived is taken at once. No yield before looking: with more
    // workers than cores it hands the processor to another worker on every
    // read, and when nothing is there yet the wait below sleeps until
    // something is.
    const TPacketBuffer scratch;
    char* const buffer = scratch.Data();
    int32_t count = ReceiveArrived(buffer, kMaxPacketSize);
    if (count == 0 && lastErrorCode_ == 0) {
      if (WaitReadable(timeout)) {
        // One receive brings what arrived, or tells why the socket is
        // readable with nothing to read: 0 after an orderly close, the
        // system's error after a reset.
        int32_t wanted = kMaxPacketSize;
        if (maxRecvBandwidth_ > 0) {
          // The limit counts what is asked for, so ask for what is there.
          wanted = PendingBytes();
          if (wanted == 0) wanted = kClosedProbeSize;
        }
        count = ReceiveBytes(buffer, wanted);
        if (count == 0 && lastErrorCode_ == 0) SetLastError(WSAECONNRESET, {TErrorOrigin::PeerClosed, 0});
      } else if (lastErrorCode_ == 0) {
        SetLastError(WSAETIMEDOUT);
      }
    }
    packet.assign(buffer, static_cast<std::size_t>(count));
  }
  if (convertLineEnd_ && !packet.empty()) {
    // The partner of a line end that closed the previous read.
    if (skipLF_ && packet.front() == '\n') packet.erase(0, 1);
    else if (skipCR_ && packet.front() == '\r') packet.erase(0, 1);
    skipLF_ = false;
    skipCR_ = false;
  }
  ReportError();
  return packet;
}

std::string TBlockSocket::ReceiveTerminated(int32_t timeout, std::string_view terminator) {
  ClearError();
  if (terminator.empty()) return {};
  const bool looseLineEnds = convertLineEnd_ && terminator == kCRLF;
  if (std::string line; TakePendingLine(terminator, looseLineEnds, line) || lastErrorCode_ != 0) {
    ReportError();
    return line;
  }
  std::string accumulated;
  int32_t position = 0;
  std::string found;
  try {
    for (;;) {
      const uint32_t start = Tick();
      const std::size_t scanned = accumulated.size();
      accumulated += ReceivePacket(timeout);
      if (lastErrorCode_ != 0) break;
      if (accumulated.size() > scanned) {
        // Only the new bytes can hold the end, plus the tail of the old ones
        // that a longer terminator may straddle.
        if (looseLineEnds) {
          const TLineEnd end = FindLineEnd(std::string_view(accumulated).substr(scanned));
          if (end.Position > 0) {
            position = end.Position + static_cast<int32_t>(scanned);
            found = end.Terminator;
          }
        } else {
          const std::size_t from = scanned >= terminator.size() ? scanned - terminator.size() + 1 : 0;
          const std::size_t at = accumulated.find(terminator, from);
          if (at != std::string::npos) {
            position = static_cast<int32_t>(at + 1);
            found = terminator;
          }
        }
      }
      if (maxLineLength_ != 0 && accumulated.size() > static_cast<std::size_t>(maxLineLength_)) {
        SetLastError(WSAENOBUFS);
        break;
      }
      if (position > 0) break;
      if (!interPacketTimeout_ && !DeductElapsed(timeout, start, Tick())) {
        SetLastError(WSAETIMEDOUT);
        break;
      }
    }
  } catch (...) {
    // Raised on an error with RaiseExcept: the partial line must survive it.
    CompactPendingInput();
    pendingInput_.insert(0, accumulated);
    throw;
  }
  std::string line;
  if (lastErrorCode_ == 0 && position > 0) {
    line = accumulated.substr(0, static_cast<std::size_t>(position - 1));
    accumulated.erase(0, static_cast<std::size_t>(position - 1) + found.size());
    // A lone CR or LF may be the first half of a pair still on its way.
    if (looseLineEnds && found == kCR) skipLF_ = true;
    if (looseLineEnds && found == kLF) skipCR_ = true;
  }
  SetPendingInput(std::move(accumulated));
  ReportError();
  return line;
}

bool TBlockSocket::TakePendingLine(std::string_view terminator, bool looseLineEnds, std::string& line) {
  if (!HasPendingInput()) return false;
  if (convertLineEnd_) {
    // The partner of a line end that closed the previous read.
    const char first = pendingInput_[pendingStart_];
    if ((skipLF_ && first == '\n') || (skipCR_ && first == '\r')) ++pendingStart_;
    skipLF_ = false;
    skipCR_ = false;
  }
  const std::string_view pending = std::string_view(pendingInput_).substr(pendingStart_);
  // The limit holds for what is buffered, complete lines inside it or not.
  if (maxLineLength_ != 0 && pending.size() > static_cast<std::size_t>(maxLineLength_)) {
    SetLastError(WSAENOBUFS);
    return false;
  }
  std::size_t length = 0;
  std::string found;
  if (looseLineEnds) {
    TLineEnd end = FindLineEnd(pending);
    if (end.Position <= 0) return false;
    length = static_cast<std::size_t>(end.Position - 1);
    found = std::move(end.Terminator);
  } else {
    const std::size_t at = pending.find(terminator);
    if (at == std::string_view::npos) return false;
    length = at;
    found = terminator;
  }
  line.assign(pending.substr(0, length));
  pendingStart_ += length + found.size();
  if (pendingStart_ >= pendingInput_.size()) ClearPendingInput();
  if (looseLineEnds && found == kCR) skipLF_ = true;
  if (looseLineEnds && found == kLF) skipCR_ = true;
  return true;
}

std::string TBlockSocket::ReceiveLine(int32_t timeout) {
  std::string line = ReceiveTerminated(timeout, kCRLF);
  if (lastErrorCode_ != 0) line.clear();
  return line;
}

template <typename Sink>
int32_t TBlockSocket::ReceiveExact(int32_t length, int32_t timeout, Sink&& sink) {
  ClearError();
  if (length <= 0) return 0;
  int32_t got = 0;
  for (;;) {
    const uint32_t start = Tick();
    std::string packet = ReceivePacket(timeout);
    const auto take = static_cast<int32_t>(
        std::min(static_cast<std::size_t>(length - got), packet.size()));
    sink(packet.data(), take);
    got += take;
    if (static_cast<std::size_t>(take) < packet.size()) SetPendingInput(packet.substr(static_cast<std::size_t>(take)));
    if (lastErrorCode_ != 0 || got >= length) break;
    if (!interPacketTimeout_ && !DeductElapsed(timeout, start, Tick())) {
      SetLastError(WSAETIMEDOUT);
      break;
    }
  }
  ReportError();
  return got;
}

int32_t TBlockSocket::ReceiveBytesWait(void* buffer, int32_t length, int32_t timeout) {
  char* out = static_cast<char*>(buffer);
  return ReceiveExact(length, timeout, [&out](const char* data, int32_t count) {
    std::memcpy(out, data, static_cast<std::size_t>(count));
    out += count;
  });
}

std::string TBlockSocket::ReceiveFixedText(int32_t length, int32_t timeout) {
  // Grown packet by packet, so that a length announced by a peer costs no
  // memory before the bytes actually arrive.
  std::string text;
  ReceiveExact(length, timeout, [&text](const char* data, int32_t count) {
    text.append(data, static_cast<std::size_t>(count));
  });
  if (lastErrorCode_ != 0) text.clear();
  return text;
}

void TBlockSocket::ReceiveToStream(runtime::TStream& stream, int32_t timeout, int64_t size) {
  ClearError();
  if (size <= 0) return;
  const int64_t block = std::max(sendMaxChunk_, 1);
  for (int64_t blocks = size / block; blocks > 0; --blocks) {
    const std::string text = ReceiveFixedText(static_cast<int32_t>(block), timeout);
    if (lastErrorCode_ != 0) return;
    AppendTextToStream(stream, text);
  }
  const auto rest = static_cast<int32_t>(size % block);
  if (rest > 0) {
    const std::string text = ReceiveFixedText(rest, timeout);
    if (lastErrorCode_ == 0) AppendTextToStream(stream, text);
  }
}

}  // namespace corvandel::http
