#include "engine/ping_service.h"

#include <charconv>
#include <limits>

#include "engine/ping_texts.h"
#include "runtime/ascii_case.h"
#include "runtime/code_page.h"

namespace corvandel::engine {

namespace {

using xml::DOMString;
using xml::TDOMElement;
using xml::TDOMNode;

std::string Narrow(const DOMString& text) { return runtime::UTF16ToSystem(text); }

TDOMElement* AppendElement(xml::TXMLDocument& document, TDOMNode& parent, std::u16string_view name) {
  return static_cast<TDOMElement*>(parent.AppendChild(document.CreateElement(DOMString(name))));
}

// The text of the first child of a member's value element.
std::string ValueText(TDOMNode* value) {
  if (!value || !value->FirstChild()) throw EMalformedAnswer("member value without content");
  return Narrow(value->FirstChild()->TextContent());
}

// The whole text as a signed 32-bit decimal integer.
int32_t ToInteger(const std::string& text) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') {
    ++first;
    if (first != last && *first == '-') throw EMalformedAnswer("flerror value is not an integer: " + text);
  }
  int32_t value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (first == last || error != std::errc() || end != last)
    throw EMalformedAnswer("flerror value is not an integer: " + text);
  return value;
}

}  // namespace

TPingService::TPingService() = default;
TPingService::~TPingService() = default;

void TPingService::BuildRequest(const std::string& siteURL) {
  SiteURL = siteURL;
  Request.reset();
  Request = std::make_unique<xml::TXMLDocument>();
  xml::TXMLDocument& document = *Request;
  const DOMString site = runtime::SystemToUTF16(siteURL);

  TDOMElement* methodCall = AppendElement(document, document, kMethodCallElement);
  TDOMElement* methodName = AppendElement(document, *methodCall, kMethodNameElement);
  methodName->AppendChild(document.CreateTextNode(DOMString(kPingMethodName)));
  TDOMElement* params = AppendElement(document, *methodCall, kParamsElement);
  TDOMElement* param = AppendElement(document, *params, kParamElement);
  for (int i = 0; i < 2; ++i) {
    if (i > 0) param = AppendElement(document, *param->ParentNode(), kParamElement);
    TDOMElement* value = AppendElement(document, *param, kValueElement);
    value->AppendChild(document.CreateTextNode(site));
  }
}

bool TPingService::ClassifyAnswer(xml::TXMLDocument& answerDocument, std::string& answer) const {
  bool success = true;
  TDOMElement* root = answerDocument.DocumentElement();
  if (!root) return success;
  xml::TDOMElementList* members = root->GetElementsByTagName(DOMString(kMemberElement));
  for (uint32_t i = 0; i < members->Length(); ++i) {
    xml::TDOMNodeList* children = members->Item(i)->ChildNodes();
    TDOMNode* first = children->Item(0);
    TDOMNode* second = children->Item(1);
    if (!first) throw EMalformedAnswer("member without children");
    if (runtime::LowerCase(Narrow(first->NodeName())) != kNameElement) continue;
    const std::string memberName = runtime::LowerCase(Narrow(first->TextContent()));
    if (memberName == kErrorFlagMember) {
      success = ToInteger(ValueText(second)) == 0;
    } else if (memberName == kMessageMember) {
      answer = ValueText(second);
      if (!success && answer.find(kThankMarker) != std::string::npos) success = true;
    }
  }
  return success;
}

}  // namespace corvandel::engine
