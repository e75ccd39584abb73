// One https ping call against a local TLS service: a new connection and a
// full handshake for every call, on 1 and 10 threads. Side by side:
// Corvandel's Post over its OpenSSL layer; libcurl (over the same OpenSSL)
// posting the same body and libxml2 parsing and classifying the answer.
//
// The service runs on threads of its own; the CPU column counts the calling
// threads only. Both clients verify the service's certificate (a
// self-signed one, trusted through a CA file) and its address; neither
// resumes sessions, and the service hands out no tickets.

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/ping_service.h"
#include "loopback_listener.h"
#include "ping_bench_support.h"
#include "http/secure_layer.h"

#ifdef CORVANDEL_HAVE_LIBCURL
#include <curl/curl.h>
#endif
#ifdef CORVANDEL_HAVE_LIBXML2
#include <libxml/parser.h>
#include <libxml/tree.h>
#endif

namespace {

using corvandel::bench::Collect;
using corvandel::bench::CountCalls;
#ifdef CORVANDEL_HAVE_LIBXML2
using corvandel::bench::Members;
#endif

constexpr const char* kSite = "http://corvandel.example/blog/";
// More than the most client threads, so that no call waits for a server thread.
constexpr int kServerThreads = 16;

const std::string kAnswerBody =
    "<?xml version='1.0'?>\n<methodResponse>\n<params>\n<param>\n<value><struct>\n<member>\n<name>flerror</name>\n"
    "<value><boolean>0</boolean></value>\n</member>\n<member>\n<name>message</name>\n"
    "<value><string>Thanks for the ping.</string></value>\n</member>\n</struct></value>\n</param>\n</params>\n"
    "</methodResponse>\n";

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
class TTLSServer {
public:
  TTLSServer() {
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
    listener_ = corvandel::testing::OpenLoopbackListener(AF_INET, port_, 1024);
    answer_ = "HTTP/1.0 200 OK\r\nServer: bench\r\nContent-Type: text/xml\r\nContent-Length: " +
              std::to_string(kAnswerBody.size()) + "\r\n\r\n" + kAnswerBody;
    for (int i = 0; i < kServerThreads; ++i) threads_.emplace_back([this] { Run(); });
  }
  ~TTLSServer() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    for (std::thread& thread : threads_) thread.join();
    ::close(listener_);
    SSL_CTX_free(context_);
    std::filesystem::remove(caFile_);
  }
  TTLSServer(const TTLSServer&) = delete;
  TTLSServer& operator=(const TTLSServer&) = delete;

  std::string URL() const { return "https://127.0.0.1:" + std::to_string(port_) + "/RPC2"; }
  const std::string& CAFile() const { return caFile_; }

private:
  static bool Complete(const std::string& request) {
    const std::size_t end = request.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    std::string head = request.substr(0, end);
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t at = head.find("content-length:");
    const std::size_t length = at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 15, nullptr, 10);
    return request.size() >= end + 4 + length;
  }

  void Run() {
    while (!stopping_) {
      const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      SSL* ssl = SSL_new(context_);
      SSL_set_fd(ssl, connection);
      if (SSL_accept(ssl) == 1) {
        std::string request;
        char buffer[16384];
        int n;
        while (!Complete(request) && (n = SSL_read(ssl, buffer, sizeof(buffer))) > 0)
          request.append(buffer, static_cast<std::size_t>(n));
        if (Complete(request)) SSL_write(ssl, answer_.data(), static_cast<int>(answer_.size()));
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
  std::string answer_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> threads_;
};

// Made on first use; from then on every ping call trusts its certificate.
TTLSServer& Server() {
  static TTLSServer server;
  static const bool trusted = [] {
    corvandel::http::SetSecureSettings(corvandel::http::TSecureSettings{server.CAFile(), false});
    return true;
  }();
  (void)trusted;
  return server;
}

void BM_CorvandelHttpsPost(benchmark::State& state) {
  const std::string url = Server().URL();
  corvandel::engine::TPingService service;
  service.BuildRequest(kSite);
  corvandel::engine::TPingResult result;
  int64_t failures = 0;
  for (auto _ : state) {
    if (!service.Post(url, result)) ++failures;
  }
  CountCalls(state, failures);
}
BENCHMARK(BM_CorvandelHttpsPost)->Threads(1)->Threads(10)->UseRealTime()->MinTime(3.0);

#if defined(CORVANDEL_HAVE_LIBCURL) && defined(CORVANDEL_HAVE_LIBXML2)

void BM_CurlHttpsPostLibxml2Parse(benchmark::State& state) {
  static const int initialised = [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    xmlInitParser();
    return 0;
  }();
  (void)initialised;
  const std::string body =
      "<?xml version=\"1.0\"?>\r\n<methodCall>\r\n  <methodName>weblogUpdates.ping</methodName>\r\n  <params>\r\n"
      "    <param>\r\n      <value>" + std::string(kSite) + "</value>\r\n    </param>\r\n    <param>\r\n"
      "      <value>" + std::string(kSite) + "</value>\r\n    </param>\r\n  </params>\r\n</methodCall>\r\n";
  const std::string url = Server().URL();
  const std::string caFile = Server().CAFile();
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: text/xml");
  std::string response;
  int64_t failures = 0;
  for (auto _ : state) {
    // A handle per call, like Post's client per call: nothing is resumed.
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Mozilla/4.0 (compatible; Corvandel)");
    curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 90000L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    response.clear();
    bool passed = curl_easy_perform(curl) == CURLE_OK;
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    passed = passed && code == 200;
    if (passed) {
      xmlDoc* document = xmlReadMemory(response.data(), static_cast<int>(response.size()), "answer.xml", nullptr,
                                       XML_PARSE_NONET | XML_PARSE_NOBLANKS);
      bool success = document != nullptr;
      std::string answer = "?";
      if (document) Members(xmlDocGetRootElement(document), success, answer);
      xmlFreeDoc(document);
      passed = success && answer == "Thanks for the ping.";
    }
    if (!passed) ++failures;
    curl_easy_cleanup(curl);
  }
  curl_slist_free_all(headers);
  CountCalls(state, failures);
}
BENCHMARK(BM_CurlHttpsPostLibxml2Parse)->Threads(1)->Threads(10)->UseRealTime()->MinTime(3.0);

#endif

}  // namespace
