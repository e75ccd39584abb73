// One https ping call against a local TLS service: a new connection and a
// full handshake for every call, on 1 and 10 threads. Side by side:
// Corvandel's Post over its OpenSSL layer; libcurl (over the same OpenSSL)
// posting the same request that libxml2 writes, and libxml2 parsing and
// classifying the answer.
//
// The service runs on threads of its own; the CPU column counts the calling
// threads only. Both clients verify the service's certificate (a
// self-signed one, trusted through a CA file) and its address; neither
// resumes sessions, and the service hands out no tickets.

#include <benchmark/benchmark.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "http/secure_layer.h"
#include "ping_bench_support.h"

namespace {

using namespace corvandel::bench;

// More than the most client threads, so that no call waits for a server thread.
constexpr int kServerThreads = 16;

// A self-signed P-256 certificate for 127.0.0.1, made in memory.
struct TIdentity {
  EVP_PKEY* Key = nullptr;
  X509* Cert = nullptr;

  TIdentity() {
    Key = EVP_EC_gen("P-256");
    Cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(Cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(Cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(Cert), 86400);
    X509_set_pubkey(Cert, Key);
    X509_NAME* name = X509_get_subject_name(Cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("bench"), -1, -1, 0);
    X509_set_issuer_name(Cert, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, Cert, Cert, nullptr, nullptr, 0);
    X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "IP:127.0.0.1");
    X509_add_ext(Cert, san, -1);
    X509_EXTENSION_free(san);
    X509_sign(Cert, Key, EVP_sha256());
  }
  ~TIdentity() {
    X509_free(Cert);
    EVP_PKEY_free(Key);
  }
};

// Answers each request on its connection, then closes it with close_notify.
class TTLSServer : public TLocalService {
public:
  TTLSServer() : TLocalService("https", 0) {
    context_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(context_, identity_.Cert);
    SSL_CTX_use_PrivateKey(context_, identity_.Key);
    SSL_CTX_set_options(context_, SSL_OP_NO_TICKET);
    SSL_CTX_set_session_cache_mode(context_, SSL_SESS_CACHE_OFF);
    caFile_ = (std::filesystem::temp_directory_path() / ("corvandel_https_bench_" + std::to_string(::getpid()) +
                                                          ".pem"))
                  .string();
    if (FILE* file = std::fopen(caFile_.c_str(), "w")) {
      PEM_write_X509(file, identity_.Cert);
      std::fclose(file);
    }
    for (int i = 0; i < kServerThreads; ++i) threads_.emplace_back([this] { Run(); });
  }
  ~TTLSServer() override {
    stopping_ = true;
    ::shutdown(Listener(), SHUT_RDWR);
    for (std::thread& thread : threads_) thread.join();
    SSL_CTX_free(context_);
    std::filesystem::remove(caFile_);
  }

  const std::string& CAFile() const { return caFile_; }

private:
  void Run() {
    while (!stopping_) {
      const int connection = ::accept4(Listener(), nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      SSL* ssl = SSL_new(context_);
      SSL_set_fd(ssl, connection);
      if (SSL_accept(ssl) == 1) {
        std::string request;
        char buffer[16384];
        int n;
        while (!RequestComplete(request) && (n = SSL_read(ssl, buffer, sizeof(buffer))) > 0)
          request.append(buffer, static_cast<std::size_t>(n));
        if (RequestComplete(request)) SSL_write(ssl, Answer().data(), static_cast<int>(Answer().size()));
        SSL_shutdown(ssl);
      }
      SSL_free(ssl);
      ERR_clear_error();
      ::close(connection);
    }
  }

  TIdentity identity_;
  SSL_CTX* context_ = nullptr;
  std::string caFile_;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> threads_;
};

// Made on first use.
TTLSServer& Server() {
  static TTLSServer server;
  return server;
}

void BM_CorvandelHttpsPost(benchmark::State& state) {
  auto settings = std::make_shared<corvandel::engine::TCallSettings>();
  settings->Secure = corvandel::http::TSecureSettings{Server().CAFile(), false};
  MeasureCorvandelPost(state, Server().URL(), std::move(settings));
}
BENCHMARK(BM_CorvandelHttpsPost)->Threads(1)->Threads(10)->UseRealTime()->MinTime(3.0);

#ifdef CORVANDEL_HAVE_PING_PEER
void BM_CurlHttpsPostLibxml2Parse(benchmark::State& state) { MeasurePeerPing(state, Server().URL(), Server().CAFile()); }
BENCHMARK(BM_CurlHttpsPostLibxml2Parse)->Threads(1)->Threads(10)->UseRealTime()->MinTime(3.0);
#endif

}  // namespace
