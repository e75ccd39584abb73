// One ping call against a fast local service: calls per second and CPU time
// per call, with a new connection for every call, on 1 and 10 threads.
// Side by side: Corvandel's Post; libcurl posting the same request that
// libxml2 writes, and libxml2 parsing and classifying the answer; Python's
// xmlrpc.client.
//
// The CPU column of the in-process benchmarks counts the calling threads
// only; the service runs on a thread of its own. user_us/call and
// sys_us/call split that CPU into user space and kernel, and SocketFloor
// is what the kernel alone costs per call. Post's graceful close
// waits up to a millisecond for the service's close, so wall time per call
// is not the measure here.

#include <benchmark/benchmark.h>
#include <sys/epoll.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unordered_map>

#include "ping_bench_support.h"

namespace {

using namespace corvandel::bench;

// A service on its own thread that answers every complete request at once
// and closes once the client has closed.
class TAnswerServer : public TLocalService {
public:
  TAnswerServer() : TLocalService("http", SOCK_NONBLOCK) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    Watch(Listener());
    Watch(wake_);
    thread_ = std::thread([this] { Run(); });
  }
  ~TAnswerServer() override {
    const uint64_t one = 1;
    if (::write(wake_, &one, sizeof(one)) != sizeof(one)) std::abort();
    thread_.join();
    for (const auto& entry : requests_) ::close(entry.first);
    ::close(epoll_);
    ::close(wake_);
  }

private:
  void Watch(int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  }

  void Run() {
    epoll_event events[64];
    for (;;) {
      const int count = ::epoll_wait(epoll_, events, 64, -1);
      for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wake_) return;
        if (fd == Listener()) {
          for (int connection; (connection = ::accept4(Listener(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
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
          if (RequestComplete(request)) {
            ::send(fd, Answer().data(), Answer().size(), MSG_NOSIGNAL);
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

  int epoll_ = -1;
  int wake_ = -1;
  std::thread thread_;
  std::unordered_map<int, std::string> requests_;
};

TAnswerServer& Server() {
  static TAnswerServer server;
  return server;
}

void BM_CorvandelPost(benchmark::State& state) { MeasureCorvandelPost(state, Server().URL()); }
BENCHMARK(BM_CorvandelPost)->Threads(1)->Threads(10)->UseRealTime()->MinTime(3.0);

// The floor under every client: the fewest system calls one call can take
// (socket, connect, wait, send, wait, receive, close) with the request
// ready and the answer only checked for its first line. What a client
// spends above this is its own.
void BM_SocketFloor(benchmark::State& state) {
  const std::string request = "POST /RPC2 HTTP/1.0\r\nContent-Length: 0\r\n\r\n";
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(Server().Port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int64_t failures = 0;
  const TThreadCPU start = TThreadCPU::Now();
  char answer[4096];
  for (auto _ : state) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    pollfd entry{fd, POLLOUT, 0};
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 && errno == EINPROGRESS)
      ::poll(&entry, 1, 1000);
    ssize_t received = -1;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      entry.events = POLLIN;
      ::poll(&entry, 1, 1000);
      received = ::recv(fd, answer, sizeof(answer), 0);
    }
    if (received < 12 || std::memcmp(answer, "HTTP/1.0 200", 12) != 0) ++failures;
    ::close(fd);
  }
  CountCalls(state, failures, start);
}
BENCHMARK(BM_SocketFloor)->Threads(1)->Threads(10)->UseRealTime()->MinTime(3.0);

#ifdef CORVANDEL_HAVE_PING_PEER
void BM_CurlPostLibxml2Parse(benchmark::State& state) { MeasurePeerPing(state, Server().URL()); }
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
