#include "http/secure_layer.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef CORVANDEL_HAVE_TLS
#include "http/tls_layer.h"
#endif

namespace corvandel::http {

namespace {

constexpr int32_t kSecureFailure = -1;
constexpr const char* kSSLNoneVersion = "Without SSL support";
constexpr const char* kSSLNoneName = "ssl_none";

#ifdef CORVANDEL_HAVE_TLS
constexpr TSecureLayerFactory kBuildFactory = &NewTLSLayer;
#else
constexpr TSecureLayerFactory kBuildFactory = &NewSSLNone;
#endif

// Read by every socket constructor, possibly on several threads at once.
std::atomic<TSecureLayerFactory> defaultFactory{kBuildFactory};

}  // namespace

void TCustomSSL::SetError(int32_t code, std::string text) {
  lastError_ = code;
  lastErrorDesc_ = std::move(text);
}

void TCustomSSL::NotCompiled() { SetError(kSecureFailure, kSSLNotCompiledText); }

bool TCustomSSL::SecureConnect() {
  NotCompiled();
  return false;
}

bool TCustomSSL::SecureAccept() {
  NotCompiled();
  return false;
}

bool TCustomSSL::SecureShutdown() {
  NotCompiled();
  return false;
}

int32_t TCustomSSL::SecureSend(const void*, int32_t) {
  NotCompiled();
  return kSecureFailure;
}

int32_t TCustomSSL::SecureReceive(void*, int32_t) {
  NotCompiled();
  return kSecureFailure;
}

int32_t TCustomSSL::SecurePending() {
  NotCompiled();
  return 0;
}

std::string TSSLNone::LibVersion() const { return kSSLNoneVersion; }
std::string TSSLNone::LibName() const { return kSSLNoneName; }

std::unique_ptr<TCustomSSL> NewSSLNone(TTCPBlockSocket& owner) { return std::make_unique<TSSLNone>(owner); }

TSecureLayerFactory DefaultSecureLayerClass() { return defaultFactory.load(); }

void SetDefaultSecureLayerClass(TSecureLayerFactory factory) {
  defaultFactory.store(factory != nullptr ? factory : kBuildFactory);
}

void ApplySecureSettings(const TSecureSettings& settings, TCustomSSL& layer) {
  layer.CertCAFile = settings.CAFile;
  layer.VerifyCert = !settings.Insecure;
}

#ifndef CORVANDEL_HAVE_TLS
std::shared_ptr<TSessionStore> NewSessionStore() { return nullptr; }
#endif

bool CheckTrustFile(const std::string& file, std::string& error) {
#ifdef CORVANDEL_HAVE_TLS
  return TLSCheckTrustFile(file, error);
#else
  std::FILE* stream = std::fopen(file.c_str(), "rb");
  if (stream == nullptr) {
    error = "cannot read the CA file \"" + file + "\": " + std::strerror(errno);
    return false;
  }
  std::fclose(stream);
  return true;
#endif
}

}  // namespace corvandel::http
