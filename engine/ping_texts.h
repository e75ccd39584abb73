#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace corvandel::engine {

// Texts the ping engine sends, matches or shows.
inline constexpr std::u16string_view kPingMethodName = u"weblogUpdates.ping";
inline constexpr std::string_view kPingContentType = "text/xml";
inline constexpr std::string_view kNoAnswer = "?";
inline constexpr std::string_view kNotXMLPrefix = "answer is not XML: ";
inline constexpr std::string_view kNotXMLReason = "not an XML-RPC answer: ";
inline constexpr std::string_view kThankMarker = "Thank";
// A thank-you under a non-zero flerror is a success, unless the message
// also says one of these (ASCII case ignored): "Thanks for the ping, but
// your site has been blacklisted." is a refusal.
inline constexpr std::array<std::string_view, 8> kRefusalMarkers = {
    ", but", "blacklist", "banned", "denied", "refused", "rejected", "too many", "not allowed"};

// Reasons beside the answer, for the front-ends that show why a call failed.
// Every result starts failed with kCallNotMadeReason; only a success clears it.
inline constexpr std::string_view kCallNotMadeReason = "call not made";
// A failure whose call gave no reason of its own.
inline constexpr std::string_view kCallFailedReason = "call failed";
inline constexpr std::string_view kOutOfMemoryReason = "out of memory";
inline constexpr std::string_view kUnknownFailureReason = "unknown failure";
// After "flerror <value>" when a thank-you under that flag refused.
inline constexpr std::string_view kRefusedReason = ": refused";
// A redirect is not followed; its reason names where the service went, so
// that the service line can be corrected.
inline constexpr std::string_view kMovedPermanentlyReason = "moved permanently to ";
inline constexpr std::string_view kMovedTemporarilyReason = "moved temporarily to ";
// The most of a Location a reason repeats; a longer one is cut, with
// kCutMarker after it.
inline constexpr std::size_t kMaxLocationInReason = 512;
inline constexpr std::string_view kCutMarker = "\xE2\x80\xA6";  // U+2026

// Element and member names of the XML-RPC messages.
inline constexpr std::u16string_view kMethodCallElement = u"methodCall";
inline constexpr std::u16string_view kMethodNameElement = u"methodName";
inline constexpr std::u16string_view kParamsElement = u"params";
inline constexpr std::u16string_view kParamElement = u"param";
inline constexpr std::u16string_view kValueElement = u"value";
inline constexpr std::u16string_view kMethodResponseElement = u"methodResponse";
inline constexpr std::u16string_view kFaultElement = u"fault";
inline constexpr std::u16string_view kMemberElement = u"member";
inline constexpr std::string_view kNameElement = "name";
inline constexpr std::string_view kErrorFlagMember = "flerror";
inline constexpr std::string_view kMessageMember = "message";
inline constexpr std::string_view kFaultCodeMember = "faultcode";
inline constexpr std::string_view kFaultStringMember = "faultstring";

}  // namespace corvandel::engine
