#include "http/block_socket.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "http/detail/socket_layer.h"
#include "http/text_utils.h"

namespace corvandel::http {

namespace {

constexpr const char* kSocketErrorFormat = "TCP/IP Socket error %d: %s";
constexpr const char* kIPv4Text = "IPv4";
constexpr const char* kIPv6Text = "IPv6";
constexpr const char* kLoopbackText = "127.0.0.1";
constexpr const char* kAnyIPv4 = "0.0.0.0";
constexpr const char* kAnyPort = "0";
constexpr int32_t kBandwidthSlice = 250;  // ms between StopFlag checks in a bandwidth wait
// A peer that keeps sending must not hold a close up for ever; past this the
// connection is dropped with whatever is still unread.
constexpr std::size_t kMaxDrainBytes = 1 << 20;
// What one receive of the drain takes at most.
constexpr int32_t kDrainPiece = 4096;
constexpr int kFailure = -1;

std::string FormatSocketError(int32_t code, const std::string& text) {
  const int size = std::snprintf(nullptr, 0, kSocketErrorFormat, code, text.c_str());
  std::string message(static_cast<std::size_t>(std::max(size, 0)), '\0');
  std::snprintf(message.data(), message.size() + 1, kSocketErrorFormat, code, text.c_str());
  return message;
}

void SleepMs(int32_t milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Milliseconds from now to the deadline, rounded up; 0 once it has passed.
int64_t MillisecondsUntil(TDeadlineClock::time_point deadline, TDeadlineClock::time_point now) {
  const auto left = deadline - now;
  if (left <= TDeadlineClock::duration::zero()) return 0;
  return std::chrono::ceil<std::chrono::milliseconds>(left).count();
}

}  // namespace

int SocketFamilyToSystem(TSocketFamily family) {
  switch (family) {
    case SF_IP4: return AF_INET;
    case SF_IP6: return AF_INET6;
    default: return AF_UNSPEC;
  }
}

ESocketError::ESocketError(int32_t code, const std::string& text)
    : ESocketError(FormatSocketError(code, text), code, text) {}

ESocketError::ESocketError(const std::string& message, int32_t code, std::string text)
    : std::runtime_error(message), errorCode_(code), errorMessage_(std::move(text)) {}

TBlockSocket::~TBlockSocket() {
  if (handle_ == INVALID_SOCKET) return;
  DetachHooks();
  try {
    TBlockSocket::Close();
  } catch (...) {
    CloseHandle();
  }
}

void TBlockSocket::DetachHooks() {
  // What a hook refers to is often destroyed before the socket, so the
  // closing done by a destructor is not announced.
  onStatus_ = nullptr;
  onReadFilter_ = nullptr;
  onCreateSocket_ = nullptr;
  onMonitor_ = nullptr;
  onHeartbeat_ = nullptr;
  raiseExcept_ = false;
}

std::string TBlockSocket::GetErrorDescEx() const { return GetErrorDesc(lastErrorCode_); }

// --- Error state --------------------------------------------------------------

void TBlockSocket::ClearError() {
  lastErrorCode_ = 0;
  lastErrorCause_ = {};
  lastErrorText_.clear();
}

void TBlockSocket::SetSystemError(int systemError) {
  lastErrorCode_ = SystemErrorToSocketError(systemError);
  lastErrorCause_ = {TErrorOrigin::System, systemError};
}

uint32_t TBlockSocket::Tick() const { return CurrentTick(); }

int32_t TBlockSocket::CheckResult(int result) {
  const int systemError = errno;
  ClearError();
  if (result == kFailure) {
    SetSystemError(systemError);
    lastErrorText_ = GetErrorDesc(lastErrorCode_);
  }
  return lastErrorCode_;
}

void TBlockSocket::ReportError() {
  lastErrorText_ = GetErrorDescEx();
  if (lastErrorCode_ == 0 || lastErrorCode_ == WSAEWOULDBLOCK || lastErrorCode_ == WSAEINPROGRESS)
    return;
  if (onStatus_) DoStatus(HR_Error, std::to_string(lastErrorCode_) + "," + lastErrorText_);
  if (raiseExcept_) throw ESocketError(lastErrorCode_, lastErrorText_);
}

void TBlockSocket::DoStatus(THookSocketReason reason, const std::string& value) {
  if (onStatus_) onStatus_(*this, reason, value);
}

void TBlockSocket::DoHeartbeat() {
  if (heartbeatRate_ != 0 && onHeartbeat_) onHeartbeat_(*this);
}

bool TBlockSocket::CheckStopFlag() {
  DoHeartbeat();
  if (!StopRequested()) return false;
  ReportError();
  return true;
}

bool TBlockSocket::StopRequested() {
  if (!stopFlag_.exchange(false)) return false;
  SetLastError(WSAECONNABORTED);
  return true;
}

void TBlockSocket::LimitBandwidth(int32_t length, int32_t limit, uint32_t& nextTick) {
  if (stopFlag_.load() || limit <= 0) return;
  // A signed difference reads "before" correctly across a wrap of the tick;
  // 0 means nothing has been booked yet, whatever the clock reads.
  const auto ahead = nextTick == 0 ? 0 : static_cast<int32_t>(nextTick - CurrentTick());
  if (ahead > 0) {
    DoStatus(HR_Wait, std::to_string(ahead));
    SleepMs(ahead % kBandwidthSlice);
    for (int32_t slices = ahead / kBandwidthSlice; slices > 0 && !stopFlag_.load(); --slices)
      SleepMs(kBandwidthSlice);
  }
  nextTick = CurrentTick() + static_cast<uint32_t>(static_cast<int64_t>(length) * 1000 / limit);
}

// --- Options --------------------------------------------------------------------

void TBlockSocket::QueueOption(TSocketOption option) {
  if (handle_ == INVALID_SOCKET) {
    pendingOptions_.push_back(option);
    return;
  }
  ApplyOption(option);
  ReportError();
}

void TBlockSocket::ApplyQueuedOptions() {
  std::vector<TSocketOption> options;
  options.swap(pendingOptions_);
  for (const TSocketOption& option : options) ApplyOption(option);
}

void TBlockSocket::ApplyOption(const TSocketOption& option) {
  const auto setInt = [this](int level, int name, int value) {
    return CheckResult(setsockopt(handle_, level, name, &value, sizeof(value)));
  };
  const auto setTime = [this](int name, int32_t milliseconds) {
    timeval time{};
    time.tv_sec = std::max(milliseconds, 0) / 1000;
    time.tv_usec = std::max(milliseconds, 0) % 1000 * 1000;
    return CheckResult(setsockopt(handle_, SOL_SOCKET, name, &time, sizeof(time)));
  };
  const int value = option.Value;
  switch (option.Kind) {
    case TSocketOptionKind::Linger: {
      linger setting{};
      setting.l_onoff = value >= 0 ? 1 : 0;
      setting.l_linger = std::max(value, 0) / 1000;
      CheckResult(setsockopt(handle_, SOL_SOCKET, SO_LINGER, &setting, sizeof(setting)));
      break;
    }
    case TSocketOptionKind::RecvBuffer: setInt(SOL_SOCKET, SO_RCVBUF, value); break;
    case TSocketOptionKind::SendBuffer: setInt(SOL_SOCKET, SO_SNDBUF, value); break;
    case TSocketOptionKind::NonBlock:
      // The descriptor itself never blocks (every wait is the socket's own,
      // bounded and stoppable); the mode only decides whether a receive
      // with nothing to read waits or reports WSAEWOULDBLOCK.
      ClearError();
      nonBlocking_ = value != 0;
      break;
    case TSocketOptionKind::RecvTimeout: setTime(SO_RCVTIMEO, value); break;
    case TSocketOptionKind::SendTimeout: setTime(SO_SNDTIMEO, value); break;
    case TSocketOptionKind::Reuse: setInt(SOL_SOCKET, SO_REUSEADDR, value != 0); break;
    case TSocketOptionKind::TTL:
      if (usesIPv6_) setInt(IPPROTO_IPV6, IPV6_UNICAST_HOPS, value);
      else setInt(IPPROTO_IP, IP_TTL, value);
      break;
    case TSocketOptionKind::Broadcast: setInt(SOL_SOCKET, SO_BROADCAST, value != 0); break;
    case TSocketOptionKind::MulticastTTL:
      if (usesIPv6_) setInt(IPPROTO_IPV6, IPV6_MULTICAST_HOPS, value);
      else setInt(IPPROTO_IP, IP_MULTICAST_TTL, value);
      break;
    case TSocketOptionKind::MulticastLoop:
      if (usesIPv6_) setInt(IPPROTO_IPV6, IPV6_MULTICAST_LOOP, value != 0);
      else setInt(IPPROTO_IP, IP_MULTICAST_LOOP, value != 0);
      break;
  }
}

void TBlockSocket::SetLinger(bool enable, int32_t milliseconds) {
  QueueOption({TSocketOptionKind::Linger, enable ? std::max(milliseconds, 0) : -1});
}
void TBlockSocket::SetSizeRecvBuffer(int32_t size) { QueueOption({TSocketOptionKind::RecvBuffer, size}); }
void TBlockSocket::SetSizeSendBuffer(int32_t size) { QueueOption({TSocketOptionKind::SendBuffer, size}); }
void TBlockSocket::SetNonBlockMode(bool value) { QueueOption({TSocketOptionKind::NonBlock, value}); }
void TBlockSocket::SetRecvTimeout(int32_t ms) { QueueOption({TSocketOptionKind::RecvTimeout, ms}); }
void TBlockSocket::SetSendTimeout(int32_t ms) { QueueOption({TSocketOptionKind::SendTimeout, ms}); }
void TBlockSocket::SetReuseAddress(bool value) { QueueOption({TSocketOptionKind::Reuse, value}); }
void TBlockSocket::SetTTL(int32_t value) { QueueOption({TSocketOptionKind::TTL, value}); }

// --- Connection -------------------------------------------------------------------

std::string TBlockSocket::LocalHostName() const {
  std::string name = http::LocalHostName();
  return name.empty() ? kLoopbackText : name;
}

void TBlockSocket::CloseHandle() {
  if (handle_ == INVALID_SOCKET) return;
  ::close(handle_);
  handle_ = INVALID_SOCKET;
}

void TBlockSocket::Close() { Abort(); }

void TBlockSocket::Abort() {
  CloseHandle();
  pendingOptions_.clear();
  family_ = familyDefault_;
  DoStatus(HR_SocketClose, "");
}

void TBlockSocket::SetAddress(TSocketAddress& address, const std::string& ip, const std::string& port) {
  // The texts of the announcements are made only when someone listens:
  // turning the address back into text costs more than the lookup of a
  // literal.
  if (onStatus_) DoStatus(HR_ResolvingBegin, ip + ":" + port);
  ClearError();
  TSocketFamily family = family_;
  if (handle_ != INVALID_SOCKET) {
    // An open socket can only reach addresses of its own family.
    if (family == SF_Any) family = usesIPv6_ ? SF_IP6 : SF_IP4;
  } else if (family == SF_Any) {
    if (IsIPv4Literal(ip)) family = SF_IP4;
    else if (IsIPv6Literal(ip)) family = SF_IP6;
  }
  lastErrorCode_ = FillAddress(address, ip, port, SocketFamilyToSystem(family), SocketType(),
                               SocketProtocol(), preferIP4_, &lastErrorCause_);
  if (onStatus_) DoStatus(HR_ResolvingEnd, AddressToText(address) + ":" + std::to_string(AddressPort(address)));
}

void TBlockSocket::CreateHandle(const TSocketAddress& address) {
  stopFlag_.store(false);
  bytesReceived_ = 0;
  bytesSent_ = 0;
  ClearError();
  if (handle_ != INVALID_SOCKET) return;
  ClearPendingInput();
  isBound_ = false;
  usesIPv6_ = address.Family() == AF_INET6;
  handle_ = ::socket(usesIPv6_ ? AF_INET6 : AF_INET, SocketType() | SOCK_CLOEXEC | SOCK_NONBLOCK,
                     SocketProtocol());
  if (handle_ == INVALID_SOCKET) SetSystemError(errno);
  ReportError();
  DoStatus(HR_SocketCreate, usesIPv6_ ? kIPv6Text : kIPv4Text);
  if (handle_ == INVALID_SOCKET) return;
  ApplyQueuedOptions();
  if (onCreateSocket_) onCreateSocket_(*this);
}

void TBlockSocket::ReadBackAddresses(bool connected) {
  socklen_t length = sizeof(localAddress_);
  localAddress_.Clear();
  if (getsockname(handle_, localAddress_.Data(), &length) != 0) localAddress_.Clear();
  // A connected socket's peer is the address it connected to, which the
  // system would only repeat.
  if (connected) return;
  length = sizeof(remoteAddress_);
  TSocketAddress peer;
  if (getpeername(handle_, peer.Data(), &length) == 0) remoteAddress_ = peer;
}

void TBlockSocket::ConnectTo(const std::string& ip, const std::string& port) { ConnectPlain(ip, port); }

void TBlockSocket::ConnectPlain(const std::string& ip, const std::string& port) {
  SetAddress(remoteAddress_, ip, port);
  if (lastErrorCode_ == 0) CreateHandle(remoteAddress_);
  if (lastErrorCode_ == 0 && handle_ != INVALID_SOCKET) {
    if (::connect(handle_, remoteAddress_.Data(), remoteAddress_.Length()) == kFailure) {
      if (errno == EINPROGRESS || errno == EINTR) AwaitConnect();
      else SetSystemError(errno);
    }
    if (lastErrorCode_ == 0) {
      ReadBackAddresses(true);
      ClearPendingInput();
      skipLF_ = false;
      skipCR_ = false;
    }
  }
  ReportError();
  if (onStatus_) DoStatus(HR_Connect, ip + ":" + port);
}

void TBlockSocket::AwaitConnect() {
  readyEvents_ = 0;
  const int rc = AwaitIO(true, connectTimeout_ > 0 ? connectTimeout_ : -1);
  if (rc < 0) return;
  if (rc == 0) {
    SetLastError(WSAETIMEDOUT);
    return;
  }
  // Writable with neither an error nor a hang-up: the connect succeeded,
  // and there is no error to ask for.
  if (readyEvents_ == POLLOUT) {
    SetLastError(0);
    return;
  }
  int error = 0;
  socklen_t size = sizeof(error);
  if (getsockopt(handle_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
  if (error == 0) SetLastError(0);
  else SetSystemError(error);
}

void TBlockSocket::BindTo(const std::string& ip, const std::string& port) {
  ClearError();
  if (handle_ == INVALID_SOCKET && family_ == SF_Any && ip == kAnyIPv4 && port == kAnyPort) return;
  SetAddress(localAddress_, ip, port);
  if (lastErrorCode_ == 0) CreateHandle(localAddress_);
  if (lastErrorCode_ == 0 && handle_ != INVALID_SOCKET) {
    if (CheckResult(::bind(handle_, localAddress_.Data(), localAddress_.Length())) == 0) {
      ReadBackAddresses(false);
      ClearPendingInput();
      isBound_ = true;
    }
  }
  ReportError();
  if (onStatus_) DoStatus(HR_Bind, ip + ":" + port);
}

// --- Sending ----------------------------------------------------------------------

int32_t TBlockSocket::TransportSend(const char* buffer, int32_t length) {
  ssize_t sent;
  do {
    sent = ::send(handle_, buffer, static_cast<std::size_t>(length), MSG_NOSIGNAL);
  } while (sent == kFailure && errno == EINTR);
  CheckResult(static_cast<int>(sent));
  return static_cast<int32_t>(sent);
}

int32_t TBlockSocket::SendBytes(const void* buffer, int32_t length) {
  if (CheckStopFlag()) return 0;
  if (onMonitor_) onMonitor_(*this, true, buffer, length);
  const char* bytes = static_cast<const char*>(buffer);
  int32_t sent = 0;
  while (sent < length) {
    const int32_t piece = std::min(length - sent, sendMaxChunk_);
    if (piece < 1) break;
    LimitBandwidth(piece, maxSendBandwidth_, nextSendTick_);
    int32_t count = TransportSend(bytes + sent, piece);
    // No room for now: wait for some, within NonblockSendTimeout and the
    // deadline, so that a peer that stops reading cannot hold the send.
    while (lastErrorCode_ == WSAEWOULDBLOCK) {
      const int ready = AwaitIO(true, nonblockSendTimeout_);
      if (ready == 0) SetLastError(WSAETIMEDOUT);
      if (ready <= 0) break;
      count = TransportSend(bytes + sent, piece);
    }
    if (lastErrorCode_ != 0 || count < 0) break;
    sent += count;
    bytesSent_ += static_cast<uint32_t>(count);
    if (onStatus_) DoStatus(HR_WriteCount, std::to_string(count));
  }
  ReportError();
  return sent;
}

void TBlockSocket::SendText(std::string_view text) {
  SendBytes(text.data(), static_cast<int32_t>(std::min<std::size_t>(text.size(), INT32_MAX)));
}

// --- Waiting ----------------------------------------------------------------------

int32_t TBlockSocket::PendingBytes() {
  int available = 0;
  if (handle_ == INVALID_SOCKET || ioctl(handle_, FIONREAD, &available) != 0) return 0;
  return std::clamp(available, 0, kMaxPacketSize);
}

int TBlockSocket::TransportWait(bool writable, int32_t timeout) {
  const uint32_t start = CurrentTick();
  for (;;) {
    int32_t left = -1;
    if (timeout >= 0) {
      const uint32_t elapsed = TickSpan(start, CurrentTick());
      left = elapsed >= static_cast<uint32_t>(timeout) ? 0 : timeout - static_cast<int32_t>(elapsed);
    }
    const int32_t slice = left < 0 || left > kStopCheckSlice ? kStopCheckSlice : left;
    pollfd entry{handle_, static_cast<short>(writable ? POLLOUT : POLLIN), 0};
    const int rc = poll(&entry, 1, slice);
    if (rc > 0) {
      readyEvents_ = entry.revents;
      return 1;
    }
    if (rc < 0 && errno != EINTR) {
      CheckResult(rc);
      return kFailure;
    }
    if (rc == 0 && slice == left) return 0;
    if (StopRequested()) return kFailure;
  }
}

int TBlockSocket::AwaitIO(bool writable, int32_t timeout) {
  if (!TransportOpen()) {
    SetLastError(WSAENOTSOCK);
    return kFailure;
  }
  if (StopRequested()) return kFailure;
  bool cutByDeadline = false;
  if (hasDeadline_) {
    const int64_t left = MillisecondsUntil(deadline_, Now());
    if (left <= 0) {
      deadlineReached_ = true;
      SetLastError(WSAETIMEDOUT);
      return kFailure;
    }
    if (timeout < 0 || left < timeout) {
      timeout = static_cast<int32_t>(std::min<int64_t>(left, INT32_MAX));
      cutByDeadline = true;
    }
  }
  const int rc = TransportWait(writable, timeout);
  if (rc == 0 && cutByDeadline) {
    deadlineReached_ = true;
    SetLastError(WSAETIMEDOUT);
    return kFailure;
  }
  return rc;
}

bool TBlockSocket::PollReadable(int32_t timeout) { return AwaitIO(false, timeout) > 0; }

bool TBlockSocket::WaitReadable(int32_t timeout) {
  ClearError();
  bool readable = false;
  if (heartbeatRate_ == 0) {
    readable = PollReadable(timeout) || PollReadable(0);
  } else {
    // Wait in slices so that the heartbeat can run and a stop can break in.
    const int32_t rate = heartbeatRate_;
    int32_t slice = timeout < 0 ? rate : timeout % rate;
    int32_t slicesLeft = timeout < 0 ? -1 : timeout / rate;
    for (;;) {
      readable = PollReadable(slice);
      if (readable || lastErrorCode_ != 0 || slicesLeft == 0) break;
      if (slicesLeft > 0) --slicesLeft;
      slice = rate;
      DoHeartbeat();
      if (StopRequested()) break;
    }
  }
  ReportError();
  if (readable) DoStatus(HR_CanRead, "");
  return readable;
}

bool TBlockSocket::WaitWritable(int32_t timeout) {
  ClearError();
  const bool writable = TransportOpen() && AwaitIO(true, timeout) > 0;
  ReportError();
  if (writable) DoStatus(HR_CanWrite, "");
  return writable;
}

// --- Closing ------------------------------------------------------------------------

void TBlockSocket::DrainInput() {
  try {
    // The peer's last data or its close usually follows ours at once; wait
    // for it briefly rather than sleeping for a fixed time. A wait ends at
    // once when either is there already.
    if (HasPendingInput()) ClearPendingInput();
    else AwaitIO(false, kDrainWait);
    char buffer[kDrainPiece];
    for (std::size_t drained = 0; drained < kMaxDrainBytes;) {
      const int32_t count = ReceiveArrived(buffer, kDrainPiece);
      if (count <= 0) break;
      drained += static_cast<std::size_t>(count);
    }
  } catch (...) {
    // Whatever goes wrong while discarding input must not stop the close.
  }
  ClearError();
}

}  // namespace corvandel::http
