// A whole ping run against a local service that answers each call after a
// fixed delay: 3 sites x 100 services with 10 workers, wall time against the
// ideal of the batch design. Per site the ideal is ceil(100 / 10) rounds of
// one delay each, plus the wait for the timer tick that starts the next
// site (at most one interval), so the run's ideal lies between
// 3 x 500 ms and 3 x 700 ms.
//
// Counters: ideal_min_ms and ideal_max_ms bound the ideal; of_ideal_max is
// the wall time as a share of the upper bound (1.0 = exactly the ideal with
// a full tick per site; the goal is at most 1.05).

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/console_view.h"
#include "cli/record_writer.h"
#include "engine/run_controller.h"
#include "ping_bench_support.h"
#include "runtime/event_loop.h"

namespace {

using namespace corvandel;
using namespace std::chrono_literals;

constexpr int kSites = 3;
constexpr int kServices = 100;
constexpr int kWorkers = 10;
constexpr auto kAnswerDelay = 50ms;

// Answers every request kAnswerDelay after it arrived, one thread per
// connection, as a slow but steady ping service would.
class TDelayedServer : public bench::TLocalService {
public:
  TDelayedServer() : TLocalService("http", 0) { acceptor_ = std::thread([this] { AcceptLoop(); }); }
  ~TDelayedServer() override {
    stopping_ = true;
    ::shutdown(Listener(), SHUT_RDWR);
    acceptor_.join();
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto& connection : connections_) connection.join();
  }

private:
  void AcceptLoop() {
    while (!stopping_) {
      const int connection = ::accept4(Listener(), nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      const std::lock_guard<std::mutex> lock(mutex_);
      connections_.emplace_back([this, connection] { Serve(connection); });
    }
  }

  void Serve(int connection) const {
    std::string request;
    char buffer[4096];
    while (!bench::RequestComplete(request)) {
      const ssize_t n = ::recv(connection, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    std::this_thread::sleep_for(kAnswerDelay);
    ::send(connection, Answer().data(), Answer().size(), MSG_NOSIGNAL);
    ::shutdown(connection, SHUT_WR);
    while (::recv(connection, buffer, sizeof(buffer), 0) > 0) {
    }
    ::close(connection);
  }

  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> connections_;
};

void BM_RunAgainstDelayedService(benchmark::State& state) {
  TDelayedServer server;
  std::vector<std::string> services;
  for (int i = 0; i < kServices; ++i)
    services.push_back("127.0.0.1:" + std::to_string(server.Port()) + "/rpc" + std::to_string(i));

  std::vector<std::string> sites;
  for (int i = 0; i < kSites; ++i) sites.push_back("site" + std::to_string(i) + ".example");
  // The log goes nowhere: only the run's time is of interest.
  std::FILE* quiet = std::fopen("/dev/null", "w");
  if (!quiet) {
    state.SkipWithError("cannot open /dev/null");
    return;
  }

  double totalSeconds = 0;
  for (auto _ : state) {
    runtime::TEventLoop loop;
    cli::TRecordWriter writer(quiet, cli::TOutputFormat::Text);
    cli::TConsoleView view(loop, sites, services, kWorkers,
                           [&writer](const engine::TPingResult& result) { writer.Result(result); });
    engine::TRunController controller(loop, view);
    view.Attach(controller);
    const auto start = std::chrono::steady_clock::now();
    controller.StartRun();
    loop.RunUntil([&] { return controller.Idle(); });
    const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
    state.SetIterationTime(elapsed.count());
    totalSeconds += elapsed.count();
    if (view.AnyError()) state.SkipWithError("not every call succeeded");
  }
  const double rounds = (kServices + kWorkers - 1) / kWorkers;
  const double idealMin = kSites * rounds * std::chrono::duration<double, std::milli>(kAnswerDelay).count();
  const double idealMax = idealMin + kSites * std::chrono::duration<double, std::milli>(engine::kPingTimerInterval).count();
  state.counters["ideal_min_ms"] = idealMin;
  state.counters["ideal_max_ms"] = idealMax;
  state.counters["of_ideal_max"] = totalSeconds * 1000.0 / static_cast<double>(state.iterations()) / idealMax;
  std::fclose(quiet);
}
BENCHMARK(BM_RunAgainstDelayedService)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
