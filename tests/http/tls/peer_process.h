#pragma once

// The Python peers of the secure-transport tests (tls_peer.py), each in a
// process of its own, and the throwaway certificates they serve.

#include <sys/types.h>

#include <string>
#include <vector>

namespace corvandel::http::testing {

// Files made once per test process by "tls_peer.py certs" with the openssl
// command-line tool, in a directory of the build tree that is removed at exit.
struct TCertificates {
  std::string Directory;
  std::string CA;  // ca.pem, the CA that signed every server certificate
  // Server certificate and key files by name: good, other, expired.
  std::string Cert(const std::string& name) const { return Directory + "/" + name + ".pem"; }
  std::string Key(const std::string& name) const { return Directory + "/" + name + ".key"; }
};

// Empty Directory when Python or openssl is missing.
const TCertificates& Certificates();

// True when the peers can run at all.
bool PeersAvailable();

class TPeerProcess {
public:
  // Starts "tls_peer.py args..." and reads its "PORT <n>" line.
  explicit TPeerProcess(const std::vector<std::string>& args);
  ~TPeerProcess();
  TPeerProcess(const TPeerProcess&) = delete;
  TPeerProcess& operator=(const TPeerProcess&) = delete;

  // Empty when the peer did not start.
  const std::string& Port() const { return port_; }
  // The next line the peer prints, without its end; "" when none came in
  // a generous wait.
  std::string ReadLine();

private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffered_;
  std::string port_;
};

// A fresh file name in the certificates' directory, for a peer's record.
std::string RecordFile(const std::string& name);
// The lines of a record file; none when it does not exist.
std::vector<std::string> RecordLines(const std::string& file);

}  // namespace corvandel::http::testing
