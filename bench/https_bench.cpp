// One https ping call against a local TLS service, on 1 and 10 threads,
// with a new connection for every call. Side by side: Corvandel's Post over
// its OpenSSL layer; libcurl (over the same OpenSSL) posting the same
// request that libxml2 writes, and libxml2 parsing and classifying the
// answer.
//
// Two services: one hands out no tickets and caches no sessions, so that
// every call does a full handshake; the other issues TLS 1.3 tickets, so
// that a client that keeps them resumes. Against the second, Corvandel's
// calls share one session store (as the calls of a run do) and libcurl's
// handles share one share handle with CURL_LOCK_DATA_SSL_SESSION. The
// "resumed" column is the share of the calls' connections that the service
// saw resumed.
//
// The services run on threads of their own; the CPU column counts the
// calling threads only. Both clients verify the service's certificate (a
// self-signed one, trusted through a CA file) and its address.
//
// CPU per call of the calling threads, medians of 7 interleaved
// repetitions, in two runs on a 2-core virtual machine shared with other
// builds (Release; --benchmark_repetitions=7
// --benchmark_enable_random_interleaving=true
// --benchmark_report_aggregates_only=true):
//
//                       Corvandel        libcurl+libxml2    ratio
//   full, 1 thread      1186 /  780 us   1663 / 1237 us     0.71 / 0.63
//   full, 10 threads     821 /  742 us   1699 / 1423 us     0.48 / 0.52
//   resumed, 1 thread    615 /  375 us   1283 /  952 us     0.48 / 0.39
//   resumed, 10 threads  514 /  385 us   1281 / 1094 us     0.40 / 0.35
//
// Corvandel resumes every call (resumed=1, 1 and 10 threads); libcurl
// resumes all on 1 thread and about 97% on 10. A resumed call halves
// Corvandel's cost; libcurl's falls by a fifth only: its profile shows
// OpenSSL contexts being made and the CA file being loaded during the
// calls, which Corvandel does once per trust file for the process.

#include <benchmark/benchmark.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/ping_service.h"
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
// A resuming service issues tickets (two after a full handshake, one after
// a resumption, OpenSSL's defaults) and caches TLS 1.2 sessions.
class TTLSServer : public TLocalService {
public:
  explicit TTLSServer(bool resuming) : TLocalService("https", 0) {
    context_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(context_, identity_.Cert);
    SSL_CTX_use_PrivateKey(context_, identity_.Key);
    if (resuming) {
      static const unsigned char kContext[] = "corvandel bench";
      SSL_CTX_set_session_id_context(context_, kContext, sizeof(kContext) - 1);
    } else {
      SSL_CTX_set_options(context_, SSL_OP_NO_TICKET);
      SSL_CTX_set_session_cache_mode(context_, SSL_SESS_CACHE_OFF);
    }
    caFile_ = (std::filesystem::temp_directory_path() / ("corvandel_https_bench_" + std::to_string(::getpid()) +
                                                          (resuming ? "_resuming" : "") + ".pem"))
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
  // Handshakes done so far, and how many of them resumed a session.
  int64_t Handshakes() const { return handshakes_.load(); }
  int64_t Resumed() const { return resumed_.load(); }

private:
  void Run() {
    while (!stopping_) {
      const int connection = ::accept4(Listener(), nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      SSL* ssl = SSL_new(context_);
      SSL_set_fd(ssl, connection);
      if (SSL_accept(ssl) == 1) {
        ++handshakes_;
        if (SSL_session_reused(ssl) == 1) ++resumed_;
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
  std::atomic<int64_t> handshakes_{0};
  std::atomic<int64_t> resumed_{0};
  std::vector<std::thread> threads_;
};

// Made on first use.
TTLSServer& Server() {
  static TTLSServer server(false);
  return server;
}
TTLSServer& ResumingServer() {
  static TTLSServer server(true);
  return server;
}

// Runs measure, and on the first thread reports the share of the
// service's handshakes in the meantime that resumed. Every thread starts
// and ends its timed loop together, so the window is the measurement's.
template <typename TMeasure>
void WithResumedShare(benchmark::State& state, const TTLSServer& server, TMeasure measure) {
  const int64_t handshakes = server.Handshakes();
  const int64_t resumed = server.Resumed();
  measure();
  if (state.thread_index() != 0) return;
  const int64_t made = server.Handshakes() - handshakes;
  state.counters["resumed"] = made > 0 ? static_cast<double>(server.Resumed() - resumed) / static_cast<double>(made) : 0;
}

std::shared_ptr<const corvandel::engine::TCallSettings> CallSettings(const TTLSServer& server, bool sessions) {
  auto settings = std::make_shared<corvandel::engine::TCallSettings>();
  settings->Secure = corvandel::http::TSecureSettings{server.CAFile(), false};
  if (sessions) settings->Sessions = corvandel::http::NewSessionStore();
  return settings;
}

void BM_CorvandelHttpsPost(benchmark::State& state) {
  MeasureCorvandelPost(state, Server().URL(), CallSettings(Server(), false));
}
BENCHMARK(BM_CorvandelHttpsPost)->Threads(1)->Threads(10)->UseRealTime()->MinTime(3.0);

// The settings of one run, its store shared by every thread.
void BM_CorvandelHttpsPostResumed(benchmark::State& state) {
  static const auto settings = CallSettings(ResumingServer(), true);
  WithResumedShare(state, ResumingServer(), [&] { MeasureCorvandelPost(state, ResumingServer().URL(), settings); });
}
BENCHMARK(BM_CorvandelHttpsPostResumed)->Threads(1)->Threads(10)->UseRealTime()->MinTime(3.0);

#ifdef CORVANDEL_HAVE_PING_PEER
void BM_CurlHttpsPostLibxml2Parse(benchmark::State& state) { MeasurePeerPing(state, Server().URL(), Server().CAFile()); }
BENCHMARK(BM_CurlHttpsPostLibxml2Parse)->Threads(1)->Threads(10)->UseRealTime()->MinTime(3.0);

// One share handle for the TLS sessions of every handle on every thread,
// with the locks libcurl asks for.
class TCurlShare {
public:
  TCurlShare() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    share_ = curl_share_init();
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, Lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, Unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  ~TCurlShare() { curl_share_cleanup(share_); }
  TCurlShare(const TCurlShare&) = delete;
  TCurlShare& operator=(const TCurlShare&) = delete;

  CURLSH* Handle() const { return share_; }

private:
  static std::mutex& MutexOf(void* self, curl_lock_data data) {
    return static_cast<TCurlShare*>(self)->mutexes_[static_cast<std::size_t>(data) % kLocks];
  }
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) { MutexOf(self, data).lock(); }
  static void Unlock(CURL*, curl_lock_data data, void* self) { MutexOf(self, data).unlock(); }

  static constexpr std::size_t kLocks = CURL_LOCK_DATA_LAST;
  CURLSH* share_ = nullptr;
  std::mutex mutexes_[kLocks];
};

void BM_CurlHttpsPostLibxml2ParseResumed(benchmark::State& state) {
  static TCurlShare share;
  WithResumedShare(state, ResumingServer(),
                   [&] { MeasurePeerPing(state, ResumingServer().URL(), ResumingServer().CAFile(), share.Handle()); });
}
BENCHMARK(BM_CurlHttpsPostLibxml2ParseResumed)->Threads(1)->Threads(10)->UseRealTime()->MinTime(3.0);
#endif

}  // namespace
