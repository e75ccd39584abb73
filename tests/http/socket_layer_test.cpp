#include "http/detail/socket_layer.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace corvandel::http {
namespace {

constexpr const char* kMissingHost = "no-such-host.invalid";

TEST(SocketErrorsTest, TextsByCode) {
  const std::pair<int32_t, std::string> cases[] = {
      {0, ""},
      {10004, "Interrupted system call"},
      {10035, "Operation would block"},
      {10053, "Software caused connection abort"},
      {10054, "Connection reset by peer"},
      {10055, "No Buffer space available"},
      {10059, "Too many references:can't splice"},
      {10060, "Connection timed out"},
      {10061, "Connection refused"},
      {10091, "Network subsystem is unusable"},
      {10101, "Disconnect"},
      {11001, "Host not found"},
      {11002, "Non authoritative - host not found"},
      {11004, "Valid name, no data record of requested type"},
      {12345, "Other Winsock error (12345)"},
      {10109, "Other Winsock error (10109)"},
      {-1, "Other Winsock error (-1)"},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(GetErrorDesc(code), text) << code;
}

TEST(SocketErrorsTest, SystemErrorsMapIntoTheSocketNumbering) {
  const std::pair<int, int32_t> cases[] = {
      {0, 0},
      {ECONNREFUSED, WSAECONNREFUSED},
      {ECONNRESET, WSAECONNRESET},
      {EPIPE, WSAECONNRESET},
      {ETIMEDOUT, WSAETIMEDOUT},
      {EAGAIN, WSAEWOULDBLOCK},
      {EHOSTUNREACH, WSAEHOSTUNREACH},
      {12345, 12345},
  };
  for (const auto& [error, code] : cases) EXPECT_EQ(SystemErrorToSocketError(error), code) << error;
}

TEST(SocketErrorsTest, ResolverErrorsMapIntoTheSocketNumbering) {
  const std::pair<int, int32_t> cases[] = {
      {0, 0},
      {EAI_NONAME, WSAHOST_NOT_FOUND},
      {EAI_AGAIN, WSATRY_AGAIN},
      {EAI_FAIL, WSANO_RECOVERY},
      {EAI_FAMILY, WSAEAFNOSUPPORT},
      {EAI_SERVICE, WSATYPE_NOT_FOUND},
  };
  for (const auto& [error, code] : cases) EXPECT_EQ(ResolverErrorToSocketError(error, 0), code) << error;
  EXPECT_EQ(ResolverErrorToSocketError(EAI_SYSTEM, ECONNREFUSED), WSAECONNREFUSED);
}

TEST(FillAddressTest, LiteralsAndLoopbackNames) {
  struct Case {
    std::string ip, port;
    int family;
    bool preferIP4;
    int expectedFamily;
    std::string text;
    uint16_t port_number;
  };
  const Case cases[] = {
      {"0.0.0.0", "0", AF_UNSPEC, true, AF_INET, "0.0.0.0", 0},
      {"127.0.0.1", "80", AF_UNSPEC, true, AF_INET, "127.0.0.1", 80},
      {"127.0.0.1", "80", AF_UNSPEC, false, AF_INET, "127.0.0.1", 80},
      {"::1", "8080", AF_UNSPEC, true, AF_INET6, "::1", 8080},
      {"::1", "8080", AF_INET6, true, AF_INET6, "::1", 8080},
      {"::0", "0", AF_INET6, true, AF_INET6, "::", 0},
      {"0.0.0.0", "21", AF_INET6, true, AF_INET6, "::", 21},
      {"10.1.2.3", "65535", AF_INET, true, AF_INET, "10.1.2.3", 65535},
      {"2001:db8::5", "443", AF_UNSPEC, true, AF_INET6, "2001:db8::5", 443},
  };
  for (const Case& c : cases) {
    TSocketAddress address;
    EXPECT_EQ(FillAddress(address, c.ip, c.port, c.family, SOCK_STREAM, IPPROTO_TCP, c.preferIP4), 0) << c.ip;
    EXPECT_EQ(address.Family(), c.expectedFamily) << c.ip;
    EXPECT_EQ(AddressToText(address), c.text) << c.ip;
    EXPECT_EQ(AddressPort(address), c.port_number) << c.ip;
    EXPECT_EQ(address.Length(), c.expectedFamily == AF_INET ? 16u : 28u) << c.ip;
  }
}

TEST(FillAddressTest, UnknownNamesReportHostNotFound) {
  TSocketAddress address;
  for (const std::string name : {kMissingHost, "INVALID", "deep.name.Invalid."}) {
    EXPECT_EQ(FillAddress(address, name, "80", AF_UNSPEC, SOCK_STREAM, IPPROTO_TCP, true), WSAHOST_NOT_FOUND)
        << name;
    EXPECT_EQ(address.Family(), 0);
    EXPECT_EQ(AddressToText(address), "");
  }
}

bool Resolves(const std::string& name, int family) {
  const std::vector<std::string> list = ResolveNameList(name, family, SOCK_STREAM, IPPROTO_TCP);
  return !(list.size() == 1 && list[0] == "0.0.0.0");
}

TEST(FillAddressTest, PreferenceDecidesBetweenFamiliesOfOneName) {
  std::string dual;
  for (const char* name : {"localhost", "ip6-localhost", "localhost6", "ip6-loopback"})
    if (Resolves(name, AF_INET) && Resolves(name, AF_INET6)) dual = name;
  if (dual.empty()) GTEST_SKIP() << "no host name on this machine resolves to both IPv4 and IPv6";
  TSocketAddress address;
  ASSERT_EQ(FillAddress(address, dual, "80", AF_UNSPEC, SOCK_STREAM, IPPROTO_TCP, true), 0);
  EXPECT_EQ(address.Family(), AF_INET);
  ASSERT_EQ(FillAddress(address, dual, "80", AF_UNSPEC, SOCK_STREAM, IPPROTO_TCP, false), 0);
  EXPECT_EQ(address.Family(), AF_INET6);
}

TEST(FillAddressTest, FallsBackToTheOtherFamily) {
  std::string onlyIPv4;
  for (const char* name : {"localhost", "ip4-localhost", "localhost4"})
    if (onlyIPv4.empty() && Resolves(name, AF_INET) && !Resolves(name, AF_INET6)) onlyIPv4 = name;
  if (onlyIPv4.empty()) GTEST_SKIP() << "no host name on this machine resolves to IPv4 only";
  TSocketAddress address;
  ASSERT_EQ(FillAddress(address, onlyIPv4, "80", AF_UNSPEC, SOCK_STREAM, IPPROTO_TCP, false), 0);
  EXPECT_EQ(address.Family(), AF_INET);
  EXPECT_NE(FillAddress(address, onlyIPv4, "80", AF_INET6, SOCK_STREAM, IPPROTO_TCP, false), 0);
}

TEST(ResolveNameListTest, AddressesAsTextFilteredByFamily) {
  EXPECT_EQ(ResolveNameList("127.0.0.1", AF_UNSPEC, SOCK_STREAM, IPPROTO_TCP),
            std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(ResolveNameList("::1", AF_INET6, 0, 0), std::vector<std::string>{"::1"});
  EXPECT_EQ(ResolveNameList(kMissingHost, AF_UNSPEC, 0, 0), std::vector<std::string>{"0.0.0.0"});
  const std::vector<std::string> ipv4 = ResolveNameList("localhost", AF_INET, 0, 0);
  EXPECT_NE(std::find(ipv4.begin(), ipv4.end(), "127.0.0.1"), ipv4.end());
  for (const std::string& text : ipv4) EXPECT_EQ(text.find(':'), std::string::npos) << text;
}

TEST(ResolvePortNumberTest, NumbersInHostOrder) {
  const std::pair<std::string, uint16_t> cases[] = {
      {"80", 80}, {"8080", 8080}, {"0", 0}, {"65535", 65535}, {"no-such-service-name", 0}};
  for (const auto& [port, number] : cases)
    EXPECT_EQ(ResolvePortNumber(port, AF_UNSPEC, SOCK_STREAM, IPPROTO_TCP), number) << port;
}

TEST(SocketLibraryTest, ReferenceCounted) {
  const int base = SocketLibraryLoadCount();
  EXPECT_GE(base, 1) << "the module holds a reference of its own";
  EXPECT_TRUE(LoadSocketLibrary());
  EXPECT_TRUE(LoadSocketLibrary("ws2_32.dll"));
  UnloadSocketLibrary();
  EXPECT_EQ(SocketLibraryLoadCount(), base + 1);
  UnloadSocketLibrary();
  EXPECT_EQ(SocketLibraryLoadCount(), base);
}

}  // namespace
}  // namespace corvandel::http
