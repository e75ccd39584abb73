#include "http/secure_layer.h"

#include <atomic>

namespace corvandel::http {

namespace {

constexpr int32_t kSecureFailure = -1;
constexpr const char* kSSLNoneVersion = "Without SSL support";
constexpr const char* kSSLNoneName = "ssl_none";

std::unique_ptr<TCustomSSL> MakeSSLNone(TTCPBlockSocket& owner) {
  return std::make_unique<TSSLNone>(owner);
}

// Read by every socket constructor, possibly on several threads at once.
std::atomic<TSecureLayerFactory> defaultFactory{&MakeSSLNone};

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

TSecureLayerFactory DefaultSecureLayerClass() { return defaultFactory.load(); }

void SetDefaultSecureLayerClass(TSecureLayerFactory factory) {
  defaultFactory.store(factory != nullptr ? factory : &MakeSSLNone);
}

}  // namespace corvandel::http
