#include "peer_process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

extern char** environ;

namespace corvandel::http::testing {

namespace {

// Only a hang comes near it: starting Python or making the certificates.
constexpr int kPatienceMs = 30000;

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

bool PeersAvailable() {
#if defined(CORVANDEL_PYTHON) && defined(CORVANDEL_TLS_PEER) && defined(CORVANDEL_OPENSSL_PROGRAM)
  return true;
#else
  return false;
#endif
}

const TCertificates& Certificates() {
  static TCertificates certificates;
  static std::once_flag once;
  std::call_once(once, [] {
#if defined(CORVANDEL_PYTHON) && defined(CORVANDEL_TLS_PEER) && defined(CORVANDEL_TEST_DIR)
    const std::string directory = std::string(CORVANDEL_TEST_DIR) + "/certs-" + std::to_string(::getpid());
    const std::string command = Quoted(CORVANDEL_PYTHON) + " " + Quoted(CORVANDEL_TLS_PEER) + " certs " +
                                Quoted(directory);
    if (std::system(command.c_str()) != 0) return;
    certificates.Directory = directory;
    certificates.CA = directory + "/ca.pem";
    static std::string removed;
    removed = directory;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(removed, ignored);
    });
#endif
  });
  return certificates;
}

TPeerProcess::TPeerProcess(const std::vector<std::string>& args) {
#if defined(CORVANDEL_PYTHON) && defined(CORVANDEL_TLS_PEER)
  int out[2];
  if (::pipe(out) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, out[1]);
  std::vector<std::string> words = {CORVANDEL_PYTHON, CORVANDEL_TLS_PEER};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, words[0].c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  out_ = out[0];
  const std::string line = ReadLine();
  if (line.rfind("PORT ", 0) == 0) port_ = line.substr(5);
#else
  (void)args;
#endif
}

TPeerProcess::~TPeerProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (out_ >= 0) ::close(out_);
}

std::string TPeerProcess::ReadLine() {
  while (buffered_.find('\n') == std::string::npos) {
    pollfd entry{out_, POLLIN, 0};
    if (out_ < 0 || ::poll(&entry, 1, kPatienceMs) <= 0) return {};
    char buffer[256];
    const ssize_t n = ::read(out_, buffer, sizeof(buffer));
    if (n <= 0) return {};
    buffered_.append(buffer, static_cast<std::size_t>(n));
  }
  const auto end = buffered_.find('\n');
  std::string line = buffered_.substr(0, end);
  buffered_.erase(0, end + 1);
  return line;
}

std::string RecordFile(const std::string& name) {
  static std::atomic<int> counter{0};
  return Certificates().Directory + "/" + name + "-" + std::to_string(++counter) + ".txt";
}

std::vector<std::string> RecordLines(const std::string& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace corvandel::http::testing
