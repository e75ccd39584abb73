#include "http/tls_layer.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <unordered_map>

#include "http/block_socket.h"
#include "http/text_utils.h"

namespace corvandel::http {

// What OpenSSL's callbacks reach of a layer.
struct TTLSLayerAccess {
  static int NewSession(SSL* ssl, SSL_SESSION* session) {
    auto* layer = static_cast<TTLSLayer*>(SSL_get_app_data(ssl));
    return layer != nullptr && layer->KeepSession(session) ? 1 : 0;
  }
};

// The sessions of each service and trust, each handed to one handshake at
// a time. OpenSSL takes a TLS 1.3 session as used up once a handshake has
// resumed it (a ticket is for one connection), and the service sends a new
// one on every connection; a TLS 1.2 session stays good and comes back
// after its handshake. A service called by several workers at once thus
// gets a few sessions, up to kPerService.
class TSessionStore {
public:
  TSessionStore() = default;
  ~TSessionStore() {
    for (auto& entry : services_)
      for (SSL_SESSION* session : entry.second) SSL_SESSION_free(session);
  }
  TSessionStore(const TSessionStore&) = delete;
  TSessionStore& operator=(const TSessionStore&) = delete;

  // The newest session kept under key, taken out with the store's
  // reference, or null. Ones that can no longer be resumed, have timed out
  // or (when checked) whose certificate has expired since are dropped.
  SSL_SESSION* Take(const std::string& key, bool checked) {
    const std::lock_guard lock(mutex_);
    const auto found = services_.find(key);
    if (found == services_.end()) return nullptr;
    std::vector<SSL_SESSION*>& sessions = found->second;
    SSL_SESSION* taken = nullptr;
    while (taken == nullptr && !sessions.empty()) {
      SSL_SESSION* newest = sessions.back();
      sessions.pop_back();
      --count_;
      if (Usable(newest, checked))
        taken = newest;
      else
        SSL_SESSION_free(newest);
    }
    if (sessions.empty()) services_.erase(found);
    return taken;
  }

  // Takes over the caller's reference to session under key, as the newest;
  // false when it is not kept (the store is full of other services' live
  // sessions), the reference then staying the caller's.
  bool Keep(const std::string& key, SSL_SESSION* session) {
    const std::lock_guard lock(mutex_);
    auto found = services_.find(key);
    if (found == services_.end()) {
      if (count_ >= kMaxSessions) DropUnusable();
      if (count_ >= kMaxSessions) return false;
      found = services_.try_emplace(key).first;
    }
    std::vector<SSL_SESSION*>& sessions = found->second;
    if (sessions.size() >= kPerService || count_ >= kMaxSessions) {
      if (sessions.empty()) return false;
      SSL_SESSION_free(sessions.front());
      sessions.erase(sessions.begin());
      --count_;
    }
    sessions.push_back(session);
    ++count_;
    return true;
  }

  void Forget(const std::string& key) {
    const std::lock_guard lock(mutex_);
    const auto found = services_.find(key);
    if (found == services_.end()) return;
    for (SSL_SESSION* session : found->second) SSL_SESSION_free(session);
    count_ -= found->second.size();
    services_.erase(found);
  }

private:
  // Enough for every worker calling one service at once.
  static constexpr std::size_t kPerService = 16;
  // Sessions of all services together. A run calls each of its services in
  // turn, so a full store keeps the sessions it has rather than trading
  // them for newer ones that would be dropped before their next use.
  static constexpr std::size_t kMaxSessions = 4096;

  static bool Usable(SSL_SESSION* session, bool checked) {
    if (SSL_SESSION_is_resumable(session) != 1) return false;
    const std::time_t now = std::time(nullptr);
    if (now - SSL_SESSION_get_time(session) >= SSL_SESSION_get_timeout(session)) return false;
    if (!checked) return true;
    X509* peer = SSL_SESSION_get0_peer(session);
    return peer != nullptr && X509_cmp_time(X509_get0_notAfter(peer), nullptr) > 0;
  }

  void DropUnusable() {
    for (auto entry = services_.begin(); entry != services_.end();) {
      std::vector<SSL_SESSION*>& sessions = entry->second;
      for (auto session = sessions.begin(); session != sessions.end();) {
        if (Usable(*session, false)) {
          ++session;
          continue;
        }
        SSL_SESSION_free(*session);
        session = sessions.erase(session);
        --count_;
      }
      entry = sessions.empty() ? services_.erase(entry) : std::next(entry);
    }
  }

  std::mutex mutex_;
  std::unordered_map<std::string, std::vector<SSL_SESSION*>> services_;
  std::size_t count_ = 0;
};

namespace {

constexpr const char* kLibName = "OpenSSL";

constexpr const char* kStoppedText = "stopped";
constexpr const char* kNotConnectedText = "no secure session on this connection";
constexpr const char* kNoHostNameText = "no host name to check the certificate against";
constexpr const char* kPeerClosedText = "peer closed the connection during the handshake";
constexpr const char* kVerifyFailedText = "certificate verify failed: ";
constexpr const char* kUnknownIssuerText = "unknown issuer";
constexpr const char* kSelfSignedText = "self-signed certificate";
constexpr const char* kSelfSignedInChainText = "self-signed certificate in the chain";
constexpr const char* kExpiredText = "certificate has expired";
constexpr const char* kNotYetValidText = "certificate is not yet valid";
constexpr const char* kNameMismatchText = "host name mismatch: the certificate is not for ";
// What to do about a certificate that nothing trusted vouches for.
constexpr const char* kTrustHintText = "; to trust it, pass --cacert FILE or set SSL_CERT_FILE";
constexpr const char* kProtocolVersionText = "protocol version: the server offers no TLS 1.2 or newer";
constexpr const char* kNotTLSText = "protocol version: the server does not answer in TLS";
constexpr const char* kHandshakeFailedText = "handshake failed: ";

// --- The descriptor under OpenSSL -----------------------------------------------------
//
// A BIO of our own rather than OpenSSL's socket BIO: sends must not raise
// SIGPIPE when the peer has gone, and OpenSSL's writes to a socket do.

int DescriptorOf(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

int SocketWrite(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  ssize_t sent;
  do {
    sent = ::send(DescriptorOf(bio), data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

int SocketRead(BIO* bio, char* data, int length) {
  BIO_clear_retry_flags(bio);
  ssize_t received;
  do {
    received = ::recv(DescriptorOf(bio), data, static_cast<std::size_t>(length), 0);
  } while (received < 0 && errno == EINTR);
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(bio);
  return static_cast<int>(received);
}

long SocketControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int SocketCreate(BIO* bio) {
  BIO_set_init(bio, 0);
  return 1;
}

// Made once and kept for the life of the process: every session's BIO uses it.
BIO_METHOD* SocketMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "corvandel socket");
    if (m == nullptr) return m;
    BIO_meth_set_write(m, SocketWrite);
    BIO_meth_set_read(m, SocketRead);
    BIO_meth_set_ctrl(m, SocketControl);
    BIO_meth_set_create(m, SocketCreate);
    return m;
  }();
  return method;
}

// --- Shared contexts --------------------------------------------------------------------

std::string LastOpenSSLReason() {
  const unsigned long error = ERR_peek_last_error();
  if (error == 0) return "unknown error";
  const char* reason = ERR_reason_error_string(error);
  return reason != nullptr ? reason : "error " + std::to_string(ERR_GET_REASON(error));
}

SSL_CTX* NewContext(const std::string& caFile, std::string& error) {
  ERR_clear_error();
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) {
    error = "cannot set up TLS: " + LastOpenSSLReason();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // A peer that closes without close_notify ends the stream like one that
  // sends it: HTTP frames its bodies itself, and many servers do just that.
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(context, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_clear_mode(context, SSL_MODE_AUTO_RETRY);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  // Sessions go to the layer's own store, if it has one, and nowhere else.
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(context, &TTLSLayerAccess::NewSession);
  // A store that cannot be found leaves only CertCAFile; verification then
  // fails with "unknown issuer", which says what is missing.
  SSL_CTX_set_default_verify_paths(context);
  if (!caFile.empty()) {
    std::FILE* file = std::fopen(caFile.c_str(), "rb");
    if (file == nullptr) {
      error = "cannot read the CA file \"" + caFile + "\": " + std::strerror(errno);
      SSL_CTX_free(context);
      return nullptr;
    }
    std::fclose(file);
    if (SSL_CTX_load_verify_file(context, caFile.c_str()) != 1) {
      error = "the CA file \"" + caFile + "\" holds no usable certificate (" + LastOpenSSLReason() + ")";
      SSL_CTX_free(context);
      ERR_clear_error();
      return nullptr;
    }
  }
  ERR_clear_error();
  return context;
}

// One context for each extra trust file (most processes use one), made on
// first use and shared by every session on every thread. Never freed:
// self-freeing workers may still hold sessions while the process exits.
class TContextCache {
public:
  SSL_CTX* Get(const std::string& caFile, std::string& error) {
    const std::lock_guard lock(mutex_);
    const auto found = contexts_.find(caFile);
    if (found != contexts_.end()) return found->second;
    SSL_CTX* context = NewContext(caFile, error);
    if (context != nullptr) contexts_.emplace(caFile, context);
    return context;
  }

private:
  std::mutex mutex_;
  std::map<std::string, SSL_CTX*> contexts_;
};

TContextCache& Contexts() {
  static TContextCache* const cache = new TContextCache;
  return *cache;
}

// --- Names ----------------------------------------------------------------------------

// The host as the certificate must name it: without brackets, without a
// zone, without a trailing dot.
std::string CheckedName(std::string name) {
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
  if (name.find(':') != std::string::npos) return TextBefore(name, "%");
  while (!name.empty() && name.back() == '.') name.pop_back();
  return name;
}

// A certificate name on one line, most specific part first: "CN=host,O=Org".
std::string NameText(const X509_NAME* name) {
  if (name == nullptr) return "?";
  BIO* out = BIO_new(BIO_s_mem());
  if (out == nullptr) return "?";
  X509_NAME_print_ex(out, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long size = BIO_get_mem_data(out, &data);
  std::string text = size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
  BIO_free(out);
  return text.empty() ? "?" : text;
}

// " (subject ..., issuer ...)" of the certificate the server showed first,
// or "" when it showed none.
std::string SubjectAndIssuer(ssl_st* ssl) {
  const STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl);
  const X509* leaf = chain != nullptr && sk_X509_num(chain) > 0 ? sk_X509_value(chain, 0) : SSL_get0_peer_certificate(ssl);
  if (leaf == nullptr) return {};
  return " (subject " + NameText(X509_get_subject_name(leaf)) + ", issuer " + NameText(X509_get_issuer_name(leaf)) +
         ")";
}

std::string VerifyFailure(long result, const std::string& name, ssl_st* ssl) {
  std::string text = kVerifyFailedText;
  bool untrusted = false;
  switch (result) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      text += kSelfSignedText;
      untrusted = true;
      break;
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      text += kSelfSignedInChainText;
      untrusted = true;
      break;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      text += kUnknownIssuerText;
      untrusted = true;
      break;
    case X509_V_ERR_CERT_HAS_EXPIRED: text += kExpiredText; break;
    case X509_V_ERR_CERT_NOT_YET_VALID: text += kNotYetValidText; break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: text += kNameMismatchText + name; break;
    default: text += X509_verify_cert_error_string(result); break;
  }
  text += SubjectAndIssuer(ssl);
  if (untrusted) text += kTrustHintText;
  return text;
}

// What a session is kept under: the service and the trust it was checked
// under, so that it is never offered for another name, port or trust.
std::string SessionKey(const std::string& name, const std::string& port, bool verifying, const std::string& caFile) {
  std::string key;
  key.reserve(name.size() + port.size() + caFile.size() + 4);
  key += name;
  key += '\n';
  key += port;
  key += '\n';
  key += verifying ? 'v' : '-';
  key += '\n';
  key += caFile;
  return key;
}

bool PollDescriptor(int fd, short events, int timeout) {
  pollfd entry{fd, events, 0};
  int result;
  do {
    result = ::poll(&entry, 1, timeout);
  } while (result < 0 && errno == EINTR);
  return result > 0;
}

}  // namespace

// --- The layer ------------------------------------------------------------------------

TTLSLayer::TTLSLayer(TTCPBlockSocket& owner) : TCustomSSL(owner) { VerifyCert = true; }

TTLSLayer::~TTLSLayer() { DropSession(); }

std::string TTLSLayer::LibName() const { return kLibName; }
std::string TTLSLayer::LibVersion() const { return OpenSSL_version(OPENSSL_VERSION); }

bool TTLSLayer::SecureConnect() {
  DropSession();
  SetSecureEnabled(false);
  ClearSecureError();
  resumed_ = false;
  keptNew_ = false;
  sessionKey_.clear();
  const int fd = Owner().Handle();
  if (fd == INVALID_SOCKET) {
    SetError(kTLSNotConnected, kNotConnectedText);
    return false;
  }
  const std::string name = CheckedName(HostName);
  if (VerifyCert && name.empty()) {
    SetError(kTLSSetupFailed, kNoHostNameText);
    return false;
  }
  std::string error;
  SSL_CTX* context = Contexts().Get(CertCAFile, error);
  if (context == nullptr) {
    SetError(kTLSSetupFailed, error);
    return false;
  }
  // Every wait is the owner's; OpenSSL itself must never block.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) == 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);

  ERR_clear_error();
  ssl_ = SSL_new(context);
  BIO* bio = SocketMethod() != nullptr ? BIO_new(SocketMethod()) : nullptr;
  if (ssl_ == nullptr || bio == nullptr) {
    if (bio != nullptr) BIO_free(bio);
    SetError(kTLSSetupFailed, "cannot set up TLS: " + LastOpenSSLReason());
    DropSession();
    return false;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl_, bio, bio);
  SSL_set_app_data(ssl_, this);
  fd_ = fd;
  verifying_ = VerifyCert;

  const bool ipLiteral = IsIPv4Literal(name) || IsIPv6Literal(name);
  bool named = true;
  if (!name.empty() && !ipLiteral) named = SSL_set_tlsext_host_name(ssl_, name.c_str()) == 1;
  if (!VerifyCert) {
    SSL_set_verify(ssl_, SSL_VERIFY_NONE, nullptr);
  } else if (ipLiteral) {
    named = named && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), name.c_str()) == 1;
  } else {
    SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    named = named && SSL_set1_host(ssl_, name.c_str()) == 1;
  }
  if (!named) {
    SetError(kTLSSetupFailed, "cannot check the name \"" + name + "\": " + LastOpenSSLReason());
    DropSession();
    return false;
  }
  if (Sessions && !Port.empty() && !name.empty()) {
    sessionKey_ = SessionKey(name, Port, verifying_, CertCAFile);
    if (SSL_SESSION* stored = Sessions->Take(sessionKey_, verifying_)) {
      SSL_set_session(ssl_, stored);  // takes a reference of its own
      SSL_SESSION_free(stored);
    }
  }

  for (;;) {
    ERR_clear_error();
    const int result = SSL_connect(ssl_);
    if (result == 1) break;
    const int reason = SSL_get_error(ssl_, result);
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
      if (WaitFor(reason == SSL_ERROR_WANT_READ ? TWait::Read : TWait::Write, "handshake")) continue;
      ForgetSessions();
      DropSession();
      return false;
    }
    FailHandshake(result);
    ForgetSessions();
    DropSession();
    return false;
  }
  ERR_clear_error();
  resumed_ = SSL_session_reused(ssl_) == 1;
  if (resumed_ && verifying_) {
    const long verified = ResumedVerifyResult(name, ipLiteral);
    if (verified != X509_V_OK) {
      SetError(kTLSHandshakeFailed, VerifyFailure(verified, name, ssl_));
      ForgetSessions();
      DropSession();
      return false;
    }
  }
  // A session that is still good after resuming (TLS 1.2, unless the
  // service sent a new one) serves again.
  if (resumed_ && !keptNew_) {
    SSL_SESSION* session = SSL_get1_session(ssl_);
    if (session != nullptr && !KeepSession(session)) SSL_SESSION_free(session);
  }
  SetSecureEnabled(true);
  return true;
}

long TTLSLayer::ResumedVerifyResult(const std::string& name, bool ipLiteral) {
  const long stored = SSL_get_verify_result(ssl_);
  if (stored != X509_V_OK) return stored;
  X509* peer = SSL_get0_peer_certificate(ssl_);
  if (peer == nullptr) return X509_V_ERR_UNSPECIFIED;
  if (X509_cmp_time(X509_get0_notAfter(peer), nullptr) <= 0) return X509_V_ERR_CERT_HAS_EXPIRED;
  if (ipLiteral) return X509_check_ip_asc(peer, name.c_str(), 0) == 1 ? X509_V_OK : X509_V_ERR_IP_ADDRESS_MISMATCH;
  return X509_check_host(peer, name.c_str(), name.size(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1
             ? X509_V_OK
             : X509_V_ERR_HOSTNAME_MISMATCH;
}

bool TTLSLayer::KeepSession(SSL_SESSION* session) {
  if (sessionKey_.empty() || !Sessions || SSL_SESSION_is_resumable(session) != 1) return false;
  // Only what a full check passed, or what needed none, is ever offered again.
  if (verifying_ && SSL_get_verify_result(ssl_) != X509_V_OK) return false;
  if (!Sessions->Keep(sessionKey_, session)) return false;
  keptNew_ = true;
  return true;
}

void TTLSLayer::ForgetSessions() {
  if (!sessionKey_.empty() && Sessions) Sessions->Forget(sessionKey_);
}

bool TTLSLayer::SecureShutdown() {
  bool sent = false;
  if (ssl_ != nullptr && !fatal_ && fd_ == Owner().Handle()) {
    ERR_clear_error();
    int result = SSL_shutdown(ssl_);
    if (result < 0 && SSL_get_error(ssl_, result) == SSL_ERROR_WANT_WRITE &&
        PollDescriptor(fd_, POLLOUT, kTLSShutdownWait)) {
      ERR_clear_error();
      result = SSL_shutdown(ssl_);
    }
    // 0 means our close_notify went out and the peer's has not come, which
    // is all that is wanted here.
    sent = result >= 0;
  }
  DropSession();
  SetSecureEnabled(false);
  return sent;
}

int32_t TTLSLayer::SecureSend(const void* buffer, int32_t length) {
  ClearSecureError();
  if (!SessionUsable()) return -1;
  if (length <= 0) return 0;
  for (;;) {
    ERR_clear_error();
    std::size_t written = 0;
    const int result = SSL_write_ex(ssl_, buffer, static_cast<std::size_t>(length), &written);
    // Without partial writes a success is always the whole buffer.
    if (result == 1) return static_cast<int32_t>(written);
    const int reason = SSL_get_error(ssl_, result);
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
      if (WaitFor(reason == SSL_ERROR_WANT_READ ? TWait::Read : TWait::Write, "sending")) continue;
      return -1;
    }
    FailRecord(result, "sending");
    return -1;
  }
}

int32_t TTLSLayer::SecureReceive(void* buffer, int32_t length) {
  ClearSecureError();
  if (!SessionUsable()) return -1;
  if (length <= 0) return 0;
  for (;;) {
    ERR_clear_error();
    std::size_t received = 0;
    const int result = SSL_read_ex(ssl_, buffer, static_cast<std::size_t>(length), &received);
    if (result == 1) return static_cast<int32_t>(received);
    const int reason = SSL_get_error(ssl_, result);
    if (reason == SSL_ERROR_ZERO_RETURN) return 0;
    if (reason == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && (errno == ECONNRESET || errno == EPIPE)) {
      // A reset ends the stream as a close does; the reason still says which.
      fatal_ = true;
      SetPeerResetError(errno);
      return 0;
    }
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
      if (WaitFor(reason == SSL_ERROR_WANT_READ ? TWait::Read : TWait::Write, "receiving")) continue;
      return -1;
    }
    FailRecord(result, "receiving");
    return -1;
  }
}

int32_t TTLSLayer::SecurePending() {
  if (ssl_ == nullptr || fd_ != Owner().Handle()) return 0;
  return SSL_pending(ssl_);
}

void TTLSLayer::SecureAbort() {
  DropSession();
  SetSecureEnabled(false);
}

std::string TTLSLayer::SessionDescription() const {
  if (ssl_ == nullptr || !SecureEnabled()) return {};
  return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}

bool TTLSLayer::WaitFor(TWait direction, const char* during) {
  const bool ready = direction == TWait::Read ? Owner().WaitReadable(Timeout) : Owner().WaitWritable(Timeout);
  if (ready) return true;
  const int32_t code = Owner().LastErrorCode();
  if (code == WSAECONNABORTED) {
    SetError(kTLSStopped, kStoppedText);
  } else if (code == WSAETIMEDOUT) {
    SetError(kTLSTimedOut, std::string(during) + " timed out: the exchange took too long");
  } else if (code == 0) {
    SetError(kTLSTimedOut, std::string(during) + " timed out");
  } else {
    fatal_ = true;
    SetError(kTLSTransportFailed, std::string(during) + " failed: " + GetErrorDesc(code));
  }
  return false;
}

void TTLSLayer::DropSession() {
  fd_ = -1;
  fatal_ = false;
  // Only a session touches OpenSSL: a plain connection's thread then never
  // gets the library's per-thread error state, which a self-freeing worker
  // still on its way out at exit would leave behind.
  if (ssl_ == nullptr) return;
  SSL_free(ssl_);  // frees the BIO too
  ssl_ = nullptr;
  ERR_clear_error();
}

bool TTLSLayer::SessionUsable() {
  // After the owner aborted and perhaps connected again, the descriptor
  // number may belong to another connection: the old session must not
  // write to it.
  if (ssl_ != nullptr && fd_ == Owner().Handle()) return true;
  DropSession();
  SetSecureEnabled(false);
  SetError(kTLSNotConnected, kNotConnectedText);
  return false;
}

void TTLSLayer::FailHandshake(int result) {
  fatal_ = true;
  const int reason = SSL_get_error(ssl_, result);
  const unsigned long error = ERR_peek_last_error();
  if (reason == SSL_ERROR_ZERO_RETURN ||
      (reason == SSL_ERROR_SYSCALL && error == 0) ||
      (ERR_GET_LIB(error) == ERR_LIB_SSL && ERR_GET_REASON(error) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
    const int cause = errno;
    if (reason == SSL_ERROR_SYSCALL && error == 0 && cause != 0 && cause != EPIPE && cause != ECONNRESET)
      SetError(kTLSTransportFailed, std::string("handshake failed: ") + std::strerror(cause));
    else
      SetError(kTLSPeerClosed, kPeerClosedText);
    return;
  }
  if (ERR_GET_LIB(error) == ERR_LIB_SSL) {
    switch (ERR_GET_REASON(error)) {
      case SSL_R_CERTIFICATE_VERIFY_FAILED:
        SetError(kTLSHandshakeFailed, VerifyFailure(SSL_get_verify_result(ssl_), CheckedName(HostName), ssl_));
        return;
      case SSL_R_UNSUPPORTED_PROTOCOL:
      case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
      case SSL_R_NO_PROTOCOLS_AVAILABLE:
      case SSL_R_VERSION_TOO_LOW:
        SetError(kTLSHandshakeFailed, kProtocolVersionText);
        return;
      case SSL_R_WRONG_VERSION_NUMBER:
      case SSL_R_PACKET_LENGTH_TOO_LONG:
      case SSL_R_RECORD_LENGTH_MISMATCH:
        SetError(kTLSHandshakeFailed, kNotTLSText);
        return;
      default:
        break;
    }
  }
  SetError(kTLSHandshakeFailed, kHandshakeFailedText + LastOpenSSLReason());
}

void TTLSLayer::FailRecord(int result, const char* during) {
  fatal_ = true;
  const int reason = SSL_get_error(ssl_, result);
  if (reason == SSL_ERROR_SYSCALL && ERR_peek_last_error() == 0) {
    SetError(kTLSTransportFailed, std::string(during) + " failed: " + std::strerror(errno));
    return;
  }
  SetError(kTLSRecordFailed, std::string(during) + " failed: " + LastOpenSSLReason());
}

std::unique_ptr<TCustomSSL> NewTLSLayer(TTCPBlockSocket& owner) { return std::make_unique<TTLSLayer>(owner); }

std::shared_ptr<TSessionStore> NewSessionStore() { return std::make_shared<TSessionStore>(); }

bool TLSCheckTrustFile(const std::string& file, std::string& error) {
  return Contexts().Get(file, error) != nullptr;
}

}  // namespace corvandel::http
