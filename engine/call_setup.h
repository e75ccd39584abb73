#pragma once

// What every call of the engine does with its HTTP client, whatever it
// announces: the front-end's proxies, trust and read time-out, and the
// reading of a refusal, and the reason of a call an exception cut short.

#include <string>
#include <string_view>

#include "engine/ping_service.h"
#include "http/http_send.h"

namespace corvandel::engine {

// Applies the settings' proxy for url, their trust, their session store and
// their time-outs to http.
void PrepareClient(http::THTTPSend& http, const std::string& url, const TCallSettings& settings);

// The value of the answer's first header called name (with its colon, in
// lower case), blanks around it left out; empty without one.
std::string_view HeaderValue(const http::THTTPSend& http, std::string_view name);

// The value of the answer's Retry-After header, blanks trimmed; empty
// without one.
std::string RetryAfter(const http::THTTPSend& http);

// Why an answer's status is a failure: for a redirect with a Location,
// "moved permanently to " or "moved temporarily to " and the Location (cut
// past kMaxLocationInReason); otherwise the reason phrase of the status,
// with its Retry-After if any.
std::string StatusReason(const http::THTTPSend& http);

// The outcome of the answer in http, which the call judged success or not,
// into result: Outcome and RetryAfter.
void SetAnswerOutcome(const http::THTTPSend& http, bool success, TPingResult& result);
// The outcome of an exchange that failed in http, into result: Code 0,
// TransportFailure, the failure's reason and its description.
void FailExchange(const http::THTTPSend& http, TPingResult& result);

// Inside a catch block: "out of memory" for std::bad_alloc, the text of any
// other exception, into reason.
void DescribeCurrentException(std::string& reason) noexcept;
// Inside a catch block: the result of a call that the exception cut short,
// failed with Code 0, Answer "?" and the exception's reason.
void FailOnCurrentException(TPingResult& result) noexcept;

}  // namespace corvandel::engine
