#pragma once

// The secure layer on OpenSSL 3: TLS 1.2 or newer over the owner's
// non-blocking descriptor. Secure by default: the peer's certificate is
// checked against the system's trust store (OpenSSL's default paths, which
// honour SSL_CERT_FILE and SSL_CERT_DIR) plus CertCAFile, and against
// HostName (a DNS name, sent as SNI, or an IP literal, sent without SNI).
// Renegotiation is refused.
//
// Every wait goes through the owner's WaitReadable / WaitWritable with
// Timeout, so the exchange deadline and a stop request end a handshake, a
// send or a receive like any other read. All layers share one context per
// CertCAFile; nothing here changes process-wide OpenSSL state.
//
// With a session store (Sessions, and Port set), the sessions a service
// hands out (TLS 1.3 tickets, TLS 1.2 session IDs or tickets) are kept under
// the service and the trust, and the next handshake with the same ones
// offers one of them. A resumed session carries no certificate: it is kept
// only when the handshake that made it passed verification under the same
// trust, and its certificate is checked again against HostName and its
// expiry, so a resumed handshake refuses what a full one refuses. The
// sessions of a service whose handshake or check fails are forgotten.

#include <cstdint>
#include <memory>
#include <string>

#include "http/secure_layer.h"

struct ssl_st;
struct ssl_session_st;

namespace corvandel::http {

// Error codes of the layer; LastErrorDesc() says what exactly went wrong.
inline constexpr int32_t kTLSHandshakeFailed = 1;   // verification, protocol, peer's alert
inline constexpr int32_t kTLSPeerClosed = 2;        // end of stream during the handshake
inline constexpr int32_t kTLSTransportFailed = 3;   // the descriptor failed
inline constexpr int32_t kTLSTimedOut = 4;          // a wait of Timeout passed
inline constexpr int32_t kTLSRecordFailed = 5;      // a bad record after the handshake
inline constexpr int32_t kTLSNotConnected = 6;      // no session, or its socket is gone
inline constexpr int32_t kTLSSetupFailed = 7;       // context, CA file or session set-up
// A stop request ended a wait; the socket reports it as WSAECONNABORTED.
inline constexpr int32_t kTLSStopped = 10053;

// How long closing waits to hand over close_notify; the peer's own
// close_notify is never awaited.
inline constexpr int32_t kTLSShutdownWait = 100;

class TTLSLayer : public TCustomSSL {
public:
  // VerifyCert starts true.
  explicit TTLSLayer(TTCPBlockSocket& owner);
  ~TTLSLayer() override;

  // "OpenSSL" and OpenSSL's own version text.
  std::string LibName() const override;
  std::string LibVersion() const override;

  // The client handshake on the owner's connection.
  bool SecureConnect() override;
  // Sends close_notify (waiting at most kTLSShutdownWait to hand it over)
  // and ends the session.
  bool SecureShutdown() override;
  // Sends everything or fails (-1).
  int32_t SecureSend(const void* buffer, int32_t length) override;
  // What is available, at least one byte; 0 when the peer closed (close_notify
  // or end of stream), -1 on failure.
  int32_t SecureReceive(void* buffer, int32_t length) override;
  // Decrypted bytes waiting inside the session.
  int32_t SecurePending() override;
  void SecureAbort() override;

  // The protocol version and cipher of the session, e.g. "TLSv1.3
  // TLS_AES_256_GCM_SHA384"; empty without one.
  std::string SessionDescription() const;
  // True when the last handshake resumed a stored session instead of doing
  // a full one; kept after the session ends, until the next handshake.
  bool SessionResumed() const { return resumed_; }

private:
  friend struct TTLSLayerAccess;
  enum class TWait { Read, Write };

  // Waits as OpenSSL asked; false with the layer's error set otherwise.
  bool WaitFor(TWait direction, const char* during);
  // Ends the session without any I/O.
  void DropSession();
  // True while the session still runs on the owner's current descriptor.
  bool SessionUsable();
  void FailHandshake(int result);
  // After a resumed handshake: the X509_V_ result of the stored session's
  // verification, and then of its certificate's name and expiry now.
  long ResumedVerifyResult(const std::string& name, bool ipLiteral);
  // Offered by OpenSSL for each session the service hands out; true when
  // it was kept (the store then holds OpenSSL's reference).
  bool KeepSession(ssl_session_st* session);
  // Drops the stored sessions of this connection's service and trust.
  void ForgetSessions();
  void FailRecord(int result, const char* during);

  ssl_st* ssl_ = nullptr;
  int fd_ = -1;
  // After a fatal error OpenSSL must not be asked to send close_notify.
  bool fatal_ = false;
  // What this connection's sessions are kept under; empty without a store.
  std::string sessionKey_;
  // Whether the certificate is checked on this connection.
  bool verifying_ = true;
  bool resumed_ = false;
  // A session of this connection went to the store.
  bool keptNew_ = false;
};

std::unique_ptr<TCustomSSL> NewTLSLayer(TTCPBlockSocket& owner);

// The check behind CheckTrustFile: file is loaded as the shared context's
// extra trust, so that a front-end learns of a bad file before its first call.
bool TLSCheckTrustFile(const std::string& file, std::string& error);

}  // namespace corvandel::http
