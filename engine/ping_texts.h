#pragma once

#include <string_view>

namespace corvandel::engine {

// Texts the ping engine sends, matches or shows.
inline constexpr std::u16string_view kPingMethodName = u"weblogUpdates.ping";
inline constexpr std::string_view kPingContentType = "text/xml";
inline constexpr std::string_view kNoAnswer = "?";
inline constexpr std::string_view kNotXMLPrefix = "answer is not XML: ";
inline constexpr std::string_view kNotXMLReason = "not an XML-RPC answer: ";
inline constexpr std::string_view kThankMarker = "Thank";

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
