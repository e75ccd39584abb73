#pragma once

// What the ping-call benchmarks share: their counters and, for the
// libcurl + libxml2 peer, the body collector and the same reading of
// members that the ping call makes.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef CORVANDEL_HAVE_LIBXML2
#include <libxml/tree.h>
#endif

namespace corvandel::bench {

inline void CountCalls(benchmark::State& state, int64_t failures) {
  state.counters["calls/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["failures"] = static_cast<double>(failures);
}

// A libcurl write callback appending to the std::string behind target.
inline std::size_t Collect(char* data, std::size_t size, std::size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

#ifdef CORVANDEL_HAVE_LIBXML2
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
#endif

}  // namespace corvandel::bench
