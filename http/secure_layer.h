#pragma once

// The plug-in point for an encrypting layer under a TCP socket. Built with
// TLS, new sockets get the OpenSSL layer (http/tls_layer.h); without it they
// get TSSLNone, which refuses every secure operation, so "https" connections
// fail cleanly with a readable reason.

#include <cstdint>
#include <memory>
#include <string>

namespace corvandel::http {

class TTCPBlockSocket;
// Sessions kept for resumption; see NewSessionStore.
class TSessionStore;

enum TSSLType { LT_all, LT_SSLv2, LT_SSLv3, LT_TLSv1, LT_TLSv1_1, LT_SSHv2 };

// Base of every secure layer. Its operations all fail: they set the error
// code -1 with kSSLNotCompiledText and return false (-1 from send and
// receive, 0 from pending).
class TCustomSSL {
public:
  explicit TCustomSSL(TTCPBlockSocket& owner) : owner_(owner) {}
  virtual ~TCustomSSL() = default;
  TCustomSSL(const TCustomSSL&) = delete;
  TCustomSSL& operator=(const TCustomSSL&) = delete;

  virtual std::string LibVersion() const { return {}; }
  virtual std::string LibName() const { return {}; }

  virtual bool SecureConnect();
  virtual bool SecureAccept();
  virtual bool SecureShutdown();
  virtual int32_t SecureSend(const void* buffer, int32_t length);
  virtual int32_t SecureReceive(void* buffer, int32_t length);
  virtual int32_t SecurePending();
  // Forgets the session without any I/O, for a socket that was aborted:
  // its descriptor number may soon belong to another connection.
  virtual void SecureAbort() { SetSecureEnabled(false); }

  // True while an encrypted link is up; sends and receives then go through it.
  bool SecureEnabled() const { return secureEnabled_; }
  int32_t LastError() const { return lastError_; }
  const std::string& LastErrorDesc() const { return lastErrorDesc_; }
  // After a receive that returned 0: the errno of the reset that ended the
  // stream, or 0 when the peer closed it in order.
  int PeerResetError() const { return peerResetError_; }

  // Settings an implementation may use.
  TSSLType SSLType = LT_all;
  std::string KeyPassword;
  std::string Username;
  std::string Password;
  std::string Ciphers;
  std::string CertificateFile;
  std::string PrivateKeyFile;
  std::string Certificate;
  std::string PrivateKey;
  std::string PFX;
  std::string PFXfile;
  std::string TrustCertificateFile;
  std::string TrustCertificate;
  std::string CertCA;
  std::string CertCAFile;
  bool VerifyCert = false;
  std::string SSHChannelType;
  std::string SSHChannelArg1;
  std::string SSHChannelArg2;
  // The name the peer must prove (sent as SNI unless it is an IP literal);
  // set by the client before SecureConnect.
  std::string HostName;
  // The service's port, set by the client with HostName: part of what a
  // stored session is kept under.
  std::string Port;
  // Where sessions are kept and found for resumption; null for none. Used
  // only when Port is set.
  std::shared_ptr<TSessionStore> Sessions;
  // Milliseconds each wait of the handshake, a send or a receive may take;
  // the owner's exchange deadline and stop request still apply on top.
  int32_t Timeout = 90000;

protected:
  TTCPBlockSocket& Owner() const { return owner_; }
  void SetSecureEnabled(bool enabled) { secureEnabled_ = enabled; }
  void SetError(int32_t code, std::string text);
  void ClearSecureError() {
    SetError(0, {});
    peerResetError_ = 0;
  }
  void SetPeerResetError(int systemError) { peerResetError_ = systemError; }

private:
  void NotCompiled();

  TTCPBlockSocket& owner_;
  bool secureEnabled_ = false;
  int32_t lastError_ = 0;
  std::string lastErrorDesc_;
  int peerResetError_ = 0;
};

// The layer used when no encryption is available.
class TSSLNone : public TCustomSSL {
public:
  using TCustomSSL::TCustomSSL;
  std::string LibVersion() const override;
  std::string LibName() const override;
};

inline constexpr const char* kSSLNotCompiledText = "SSL/TLS support is not compiled!";

// Makes the secure layer of a new TCP socket.
using TSecureLayerFactory = std::unique_ptr<TCustomSSL> (*)(TTCPBlockSocket& owner);

// The factory every new TCP socket uses: the OpenSSL layer's when the build
// has TLS, TSSLNone's otherwise, unless another was installed. Installing
// nullptr restores the build's own. Install one before sockets are created
// on other threads.
TSecureLayerFactory DefaultSecureLayerClass();
void SetDefaultSecureLayerClass(TSecureLayerFactory factory);
// The factory of TSSLNone, for installing it in a build that has TLS.
std::unique_ptr<TCustomSSL> NewSSLNone(TTCPBlockSocket& owner);

// Trust settings a front-end chooses, and hands to each call's secure layer.
struct TSecureSettings {
  // Certificates trusted on top of the system's store; empty for none.
  std::string CAFile;
  // Accepts any certificate for any name. For tests against hosts whose
  // certificate cannot be checked; never the default.
  bool Insecure = false;
};

// Puts the settings into a layer: CertCAFile and VerifyCert.
void ApplySecureSettings(const TSecureSettings& settings, TCustomSSL& layer);

// A store of TLS sessions for the calls of one run, shared by its threads,
// so that later calls to a service resume the session of an earlier one
// instead of doing a full handshake. A session is kept under its service
// (host name, port) and the trust it was checked under (CertCAFile,
// VerifyCert), and is only offered to a connection that matches all of
// them; resumption checks the certificate's name and trust as a full
// handshake does. Null in a build without TLS.
std::shared_ptr<TSessionStore> NewSessionStore();

// True when file can serve as CertCAFile: readable and, when the build has
// TLS, holding at least one certificate. Otherwise false with the reason.
bool CheckTrustFile(const std::string& file, std::string& error);

}  // namespace corvandel::http
