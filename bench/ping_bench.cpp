// One ping call against a fast local service: calls per second and CPU time
// per call, with a new connection for every call, on 1 and 10 threads.
// Side by side: Corvandel's Post; libcurl posting the same body and libxml2
// parsing and classifying the answer; Python's xmlrpc.client.
//
// The CPU column of the in-process benchmarks counts the calling threads
// only; the service runs on a thread of its own. Post's graceful close
// pauses for a millisecond, so wall time per call is not the measure here.

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unordered_map>

#include "engine/ping_service.h"
#include "loopback_listener.h"
#include "ping_bench_support.h"

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

// What Python's xmlrpc.server answers to a ping, byte for byte in size and form.
const std::string kAnswerBody =
    "<?xml version='1.0'?>\n<methodResponse>\n<params>\n<param>\n<value><struct>\n<member>\n<name>flerror</name>\n"
    "<value><boolean>0</boolean></value>\n</member>\n<member>\n<name>message</name>\n"
    "<value><string>Thanks for the ping.</string></value>\n</member>\n</struct></value>\n</param>\n</params>\n"
    "</methodResponse>\n";

std::string AnswerBytes() {
  return "HTTP/1.0 200 OK\r\nServer: bench\r\nContent-Type: text/xml\r\nContent-Length: " +
         std::to_string(kAnswerBody.size()) + "\r\n\r\n" + kAnswerBody;
}

// A service on its own thread that answers every complete request at once
// and closes once the client has closed.
class TAnswerServer {
public:
  TAnswerServer() : answer_(AnswerBytes()) {
    listener_ = corvandel::testing::OpenLoopbackListener(AF_INET, port_, 1024, SOCK_NONBLOCK);
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    Watch(listener_);
    Watch(wake_);
    thread_ = std::thread([this] { Run(); });
  }
  ~TAnswerServer() {
    const uint64_t one = 1;
    if (::write(wake_, &one, sizeof(one)) != sizeof(one)) std::abort();
    thread_.join();
    for (const auto& entry : requests_) ::close(entry.first);
    ::close(listener_);
    ::close(epoll_);
    ::close(wake_);
  }
  TAnswerServer(const TAnswerServer&) = delete;
  TAnswerServer& operator=(const TAnswerServer&) = delete;

  std::string URL() const { return "http://127.0.0.1:" + std::to_string(port_) + "/RPC2"; }

private:
  void Watch(int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  }

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
    epoll_event events[64];
    for (;;) {
      const int count = ::epoll_wait(epoll_, events, 64, -1);
      for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wake_) return;
        if (fd == listener_) {
          for (int connection; (connection = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
            requests_[connection];
            Watch(connection);
          }
          continue;
        }
        std::string& request = requests_[fd];
        char buffer[16384];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0) {
          if (request.size() < (1u << 20)) request.append(buffer, static_cast<std::size_t>(n));
          if (Complete(request)) {
            ::send(fd, answer_.data(), answer_.size(), MSG_NOSIGNAL);
            request = "answered";
          }
        }
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
          ::close(fd);
          requests_.erase(fd);
        }
      }
    }
  }

  std::string answer_;
  int listener_ = -1;
  int epoll_ = -1;
  int wake_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::unordered_map<int, std::string> requests_;
};

TAnswerServer& Server() {
  static TAnswerServer server;
  return server;
}

void BM_CorvandelPost(benchmark::State& state) {
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
BENCHMARK(BM_CorvandelPost)->Threads(1)->Threads(10)->UseRealTime()->MinTime(3.0);

#if defined(CORVANDEL_HAVE_LIBCURL) && defined(CORVANDEL_HAVE_LIBXML2)

bool CurlPing(CURL* curl, std::string& response) {
  response.clear();
  if (curl_easy_perform(curl) != CURLE_OK) return false;
  long code = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
  if (code != 200) return false;
  xmlDoc* document = xmlReadMemory(response.data(), static_cast<int>(response.size()), "answer.xml", nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOBLANKS);
  if (!document) return false;
  bool success = true;
  std::string answer = "?";
  Members(xmlDocGetRootElement(document), success, answer);
  xmlFreeDoc(document);
  return success && answer == "Thanks for the ping.";
}

void BM_CurlPostLibxml2Parse(benchmark::State& state) {
  static const int initialised = [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    xmlInitParser();
    return 0;
  }();
  (void)initialised;
  // The body the ping call writes for the same site.
  const std::string body =
      "<?xml version=\"1.0\"?>\r\n<methodCall>\r\n  <methodName>weblogUpdates.ping</methodName>\r\n  <params>\r\n"
      "    <param>\r\n      <value>" + std::string(kSite) + "</value>\r\n    </param>\r\n    <param>\r\n"
      "      <value>" + std::string(kSite) + "</value>\r\n    </param>\r\n  </params>\r\n</methodCall>\r\n";
  const std::string url = Server().URL();
  CURL* curl = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: text/xml");
  std::string response;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "Mozilla/4.0 (compatible; Corvandel)");
  curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 90000L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
  int64_t failures = 0;
  for (auto _ : state) {
    if (!CurlPing(curl, response)) ++failures;
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  CountCalls(state, failures);
}
BENCHMARK(BM_CurlPostLibxml2Parse)->Threads(1)->Threads(10)->UseRealTime()->MinTime(3.0);

#endif

// Python's xmlrpc.client in a child process: it reports its own rate and
// the CPU time of its process per call.
constexpr const char* kPythonClient = R"(
import sys, threading, time, xmlrpc.client
url, threads, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
site = "http://corvandel.example/blog/"
counts, failures = [0] * threads, [0]
def work(i):
    proxy = xmlrpc.client.ServerProxy(url)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        answer = proxy.weblogUpdates.ping(site, site)
        if answer.get("flerror") or answer.get("message") != "Thanks for the ping.":
            failures[0] += 1
        counts[i] += 1
start, cpu = time.monotonic(), time.process_time()
workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
for w in workers: w.start()
for w in workers: w.join()
wall, cpu = time.monotonic() - start, time.process_time() - cpu
total = sum(counts)
print(total / wall, cpu / total, failures[0])
)";

void BM_PythonXmlrpcClient(benchmark::State& state) {
  const std::filesystem::path script = std::filesystem::temp_directory_path() / "corvandel_ping_bench_client.py";
  std::ofstream(script) << kPythonClient;
  const std::string command = "python3 " + script.string() + " " + Server().URL() + " " +
                              std::to_string(state.range(0)) + " 3";
  double rate = 0;
  double cpuPerCall = 0;
  double failures = 0;
  for (auto _ : state) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe || std::fscanf(pipe, "%lf %lf %lf", &rate, &cpuPerCall, &failures) != 3) {
      state.SkipWithError("python3 with xmlrpc.client is not available");
    }
    if (pipe) ::pclose(pipe);
  }
  std::filesystem::remove(script);
  state.counters["calls/s"] = rate;
  state.counters["cpu_us/call"] = cpuPerCall * 1e6;
  state.counters["failures"] = failures;
}
BENCHMARK(BM_PythonXmlrpcClient)->Arg(1)->Arg(10)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
