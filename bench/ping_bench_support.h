#pragma once

// What the benchmarks that make ping calls share: the answer their local
// services give and the listener those services start from, the counters,
// Corvandel's side of a measurement, and the libcurl + libxml2 peer making
// the same call with the same work per call.

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "engine/ping_service.h"
#include "loopback_listener.h"

#if defined(CORVANDEL_HAVE_LIBCURL) && defined(CORVANDEL_HAVE_LIBXML2)
#define CORVANDEL_HAVE_PING_PEER 1
#include <curl/curl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#endif

namespace corvandel::bench {

inline constexpr const char* kSite = "http://corvandel.example/blog/";
inline constexpr const char* kThanks = "Thanks for the ping.";

// What Python's xmlrpc.server answers to a ping, byte for byte in size and form.
inline const std::string kAnswerBody =
    "<?xml version='1.0'?>\n<methodResponse>\n<params>\n<param>\n<value><struct>\n<member>\n<name>flerror</name>\n"
    "<value><boolean>0</boolean></value>\n</member>\n<member>\n<name>message</name>\n"
    "<value><string>Thanks for the ping.</string></value>\n</member>\n</struct></value>\n</param>\n</params>\n"
    "</methodResponse>\n";

// True once request holds its head and the whole body the head announces.
inline bool RequestComplete(const std::string& request) {
  const std::size_t end = request.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  std::string head = request.substr(0, end);
  for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::size_t at = head.find("content-length:");
  const std::size_t length = at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 15, nullptr, 10);
  return request.size() >= end + 4 + length;
}

// A service on the IPv4 loopback that gives every complete request the
// same answer; subclasses decide how connections are served.
class TLocalService {
public:
  TLocalService(std::string scheme, int listenerFlags)
      : scheme_(std::move(scheme)),
        answer_("HTTP/1.0 200 OK\r\nServer: bench\r\nContent-Type: text/xml\r\nContent-Length: " +
                std::to_string(kAnswerBody.size()) + "\r\n\r\n" + kAnswerBody) {
    listener_ = corvandel::testing::OpenLoopbackListener(AF_INET, port_, 1024, listenerFlags);
    if (listener_ < 0) std::abort();
  }
  virtual ~TLocalService() { ::close(listener_); }
  TLocalService(const TLocalService&) = delete;
  TLocalService& operator=(const TLocalService&) = delete;

  std::string URL() const { return scheme_ + "://127.0.0.1:" + std::to_string(port_) + "/RPC2"; }
  uint16_t Port() const { return port_; }

protected:
  int Listener() const { return listener_; }
  const std::string& Answer() const { return answer_; }

private:
  std::string scheme_;
  std::string answer_;
  int listener_ = -1;
  uint16_t port_ = 0;
};

// The calling thread's CPU so far, in user space and in the kernel, in µs.
struct TThreadCPU {
  double User = 0;
  double System = 0;

  static TThreadCPU Now() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    const auto micros = [](const timeval& time) { return static_cast<double>(time.tv_sec) * 1e6 + static_cast<double>(time.tv_usec); };
    return {micros(usage.ru_utime), micros(usage.ru_stime)};
  }
};

// Calls per second, failures, and where the calling threads' CPU went per
// call: user space (the client's own work) against the kernel (sockets,
// the loopback's TCP, waking up).
inline void CountCalls(benchmark::State& state, int64_t failures, const TThreadCPU& start) {
  const TThreadCPU end = TThreadCPU::Now();
  state.counters["calls/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["failures"] = static_cast<double>(failures);
  state.counters["user_us/call"] = benchmark::Counter(end.User - start.User, benchmark::Counter::kAvgIterations);
  state.counters["sys_us/call"] = benchmark::Counter(end.System - start.System, benchmark::Counter::kAvgIterations);
}

// Corvandel's side: Post with the request built once, as a worker does for
// the services of one site.
inline void MeasureCorvandelPost(benchmark::State& state, const std::string& url,
                                 std::shared_ptr<const corvandel::engine::TCallSettings> settings = {}) {
  corvandel::engine::TPingService service;
  if (settings) service.Settings = std::move(settings);
  service.BuildRequest(kSite);
  corvandel::engine::TPingResult result;
  int64_t failures = 0;
  const TThreadCPU start = TThreadCPU::Now();
  for (auto _ : state) {
    if (!service.Post(url, result)) ++failures;
  }
  CountCalls(state, failures, start);
}

#ifdef CORVANDEL_HAVE_PING_PEER

// A libcurl write callback appending to the std::string behind target.
inline std::size_t Collect(char* data, std::size_t size, std::size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

inline std::string Text(xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  std::string text = content ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return text;
}

// The same rules as the ping call: members' flerror and message.
inline void Members(xmlNode* node, bool& success, std::string& answer) {
  for (; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    if (std::strcmp(reinterpret_cast<const char*>(node->name), "member") == 0) {
      xmlNode* name = xmlFirstElementChild(node);
      xmlNode* value = name ? xmlNextElementSibling(name) : nullptr;
      if (name && value) {
        const std::string key = Text(name);
        if (key == "flerror") success = std::atoi(Text(value).c_str()) == 0;
        if (key == "message") answer = Text(value);
      }
    }
    Members(node->children, success, answer);
  }
}

// The peer's ping call, doing per call what Post does: a new client (a
// handle of its own, so no connection is kept from the call before), the
// request written out from its document, the answer parsed into a tree and
// classified. TLS sessions are resumed only through a share handle.
class TPeerPing {
public:
  // caFile, when given, is the only certificate the peer trusts; share,
  // when given, keeps the TLS sessions of every handle that uses it.
  TPeerPing(std::string url, std::string caFile, CURLSH* share = nullptr)
      : url_(std::move(url)), caFile_(std::move(caFile)), share_(share) {
    static const int initialised = [] {
      curl_global_init(CURL_GLOBAL_DEFAULT);
      xmlInitParser();
      return 0;
    }();
    (void)initialised;
    headers_ = curl_slist_append(nullptr, "Content-Type: text/xml");
    // The request as BuildRequest makes it: the method and the site twice.
    request_ = xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
    xmlNode* call = xmlNewNode(nullptr, reinterpret_cast<const xmlChar*>("methodCall"));
    xmlDocSetRootElement(request_, call);
    xmlNewTextChild(call, nullptr, reinterpret_cast<const xmlChar*>("methodName"),
                    reinterpret_cast<const xmlChar*>("weblogUpdates.ping"));
    xmlNode* params = xmlNewChild(call, nullptr, reinterpret_cast<const xmlChar*>("params"), nullptr);
    for (int i = 0; i < 2; ++i) {
      xmlNode* param = xmlNewChild(params, nullptr, reinterpret_cast<const xmlChar*>("param"), nullptr);
      xmlNewTextChild(param, nullptr, reinterpret_cast<const xmlChar*>("value"),
                      reinterpret_cast<const xmlChar*>(kSite));
    }
  }
  ~TPeerPing() {
    xmlFreeDoc(request_);
    curl_slist_free_all(headers_);
  }
  TPeerPing(const TPeerPing&) = delete;
  TPeerPing& operator=(const TPeerPing&) = delete;

  bool Call() {
    xmlChar* body = nullptr;
    int size = 0;
    xmlDocDumpFormatMemory(request_, &body, &size, 1);
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, reinterpret_cast<const char*>(body));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(size));
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Mozilla/4.0 (compatible; Corvandel)");
    if (!caFile_.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile_.c_str());
    if (share_ != nullptr) curl_easy_setopt(curl, CURLOPT_SHARE, share_);
    curl_easy_setopt(curl, CURLOPT_SSL_SESSIONID_CACHE, share_ != nullptr ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 90000L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response_);
    response_.clear();
    bool passed = curl_easy_perform(curl) == CURLE_OK;
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_cleanup(curl);
    xmlFree(body);
    if (!passed || code != 200) return false;
    xmlDoc* document = xmlReadMemory(response_.data(), static_cast<int>(response_.size()), "answer.xml", nullptr,
                                     XML_PARSE_NONET | XML_PARSE_NOBLANKS);
    if (!document) return false;
    bool success = true;
    std::string answer = "?";
    Members(xmlDocGetRootElement(document), success, answer);
    xmlFreeDoc(document);
    return success && answer == kThanks;
  }

private:
  std::string url_;
  std::string caFile_;
  CURLSH* share_ = nullptr;
  curl_slist* headers_ = nullptr;
  xmlDoc* request_ = nullptr;
  std::string response_;
};

inline void MeasurePeerPing(benchmark::State& state, const std::string& url, const std::string& caFile = {},
                            CURLSH* share = nullptr) {
  TPeerPing peer(url, caFile, share);
  int64_t failures = 0;
  const TThreadCPU start = TThreadCPU::Now();
  for (auto _ : state) {
    if (!peer.Call()) ++failures;
  }
  CountCalls(state, failures, start);
}

#endif

}  // namespace corvandel::bench
