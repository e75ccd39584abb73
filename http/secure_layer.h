#pragma once

// The plug-in point for an encrypting layer under a TCP socket. No such
// layer ships with the program: TSSLNone, the default, refuses every secure
// operation, so "https" connections fail cleanly with a readable reason.

#include <cstdint>
#include <memory>
#include <string>

namespace corvandel::http {

class TTCPBlockSocket;

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

  // True while an encrypted link is up; sends and receives then go through it.
  bool SecureEnabled() const { return secureEnabled_; }
  int32_t LastError() const { return lastError_; }
  const std::string& LastErrorDesc() const { return lastErrorDesc_; }

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

protected:
  TTCPBlockSocket& Owner() const { return owner_; }
  void SetSecureEnabled(bool enabled) { secureEnabled_ = enabled; }
  void SetError(int32_t code, std::string text);
  void ClearSecureError() { SetError(0, {}); }

private:
  void NotCompiled();

  TTCPBlockSocket& owner_;
  bool secureEnabled_ = false;
  int32_t lastError_ = 0;
  std::string lastErrorDesc_;
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

// The factory every new TCP socket uses; it makes a TSSLNone unless another
// was installed. Install one before sockets are created on other threads.
TSecureLayerFactory DefaultSecureLayerClass();
void SetDefaultSecureLayerClass(TSecureLayerFactory factory);

}  // namespace corvandel::http
