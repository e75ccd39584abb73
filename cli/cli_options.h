#pragma once

// The command line of corvandel-ping.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvandel::cli {

inline constexpr std::string_view kProgramName = "corvandel-ping";

struct TOptions {
  std::string ServicesFile;
  std::string SitesFile;
  int Threads = 0;  // set from the default when not given
  // --proxy as given, checked: overrides the environment's proxies; empty
  // turns proxies off.
  std::optional<std::string> Proxy;
  std::string CAFile;     // --cacert: trusted on top of the system's store
  bool Insecure = false;  // --insecure: certificates are not checked
  bool Help = false;
  bool Version = false;
};

// Options from the arguments after the program name. On bad usage returns
// nothing and puts the reason, one line without the program name, in error.
std::optional<TOptions> ParseOptions(const std::vector<std::string>& args, std::string& error);

// The text of --help.
std::string HelpText();

}  // namespace corvandel::cli
