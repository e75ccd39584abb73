#pragma once

// What every call of the engine does with its HTTP client, whatever it
// announces: the front-end's proxies, trust and read time-out, and the
// reading of a refusal.

#include <string>

#include "http/http_send.h"

namespace corvandel::engine {

// Applies the process's proxy for url, its secure settings and the call
// settings' time-outs to http.
void PrepareClient(http::THTTPSend& http, const std::string& url);

// The value of the answer's Retry-After header, blanks trimmed; empty
// without one.
std::string RetryAfter(const http::THTTPSend& http);

// The reason phrase of the answer's status, with its Retry-After if any.
std::string StatusReason(const http::THTTPSend& http);

}  // namespace corvandel::engine
