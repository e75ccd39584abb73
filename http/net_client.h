#pragma once

// What every network client of the program shares: where it connects, from
// which local address, how long it waits for each read and the credentials
// it may present.

#include <cstdint>
#include <string>

namespace corvandel::http {

inline constexpr const char* kDefaultTargetHost = "127.0.0.1";
inline constexpr const char* kDefaultTargetPort = "0";
// Any local address and any port: binding it before a socket exists does nothing.
inline constexpr const char* kDefaultIPInterface = "0.0.0.0";
inline constexpr int32_t kDefaultNetTimeout = 5000;

class TNetClient {
public:
  virtual ~TNetClient() = default;
  TNetClient(const TNetClient&) = delete;
  TNetClient& operator=(const TNetClient&) = delete;

  // The host and port actually connected to; every request sets them.
  const std::string& TargetHost() const { return targetHost_; }
  void SetTargetHost(std::string value) { targetHost_ = std::move(value); }
  const std::string& TargetPort() const { return targetPort_; }
  void SetTargetPort(std::string value) { targetPort_ = std::move(value); }

  // The local address bound before connecting.
  const std::string& IPInterface() const { return ipInterface_; }
  void SetIPInterface(std::string value) { ipInterface_ = std::move(value); }

  // Milliseconds to wait for each line, packet or block read.
  int32_t Timeout() const { return timeout_; }
  void SetTimeout(int32_t value) { timeout_ = value; }

  // Credentials used when the request's address carries none.
  const std::string& UserName() const { return userName_; }
  void SetUserName(std::string value) { userName_ = std::move(value); }
  const std::string& Password() const { return password_; }
  void SetPassword(std::string value) { password_ = std::move(value); }

protected:
  TNetClient() = default;

private:
  std::string targetHost_ = kDefaultTargetHost;
  std::string targetPort_ = kDefaultTargetPort;
  std::string ipInterface_ = kDefaultIPInterface;
  int32_t timeout_ = kDefaultNetTimeout;
  std::string userName_;
  std::string password_;
};

}  // namespace corvandel::http
