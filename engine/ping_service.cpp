#include "engine/ping_service.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/ping_texts.h"
#include "runtime/ascii_case.h"
#include "runtime/code_page.h"

namespace corvandel::engine {

namespace {

using xml::DOMChar;
using xml::DOMString;
using xml::DOMStringView;
using xml::TDOMElement;
using xml::TDOMNode;

std::string Narrow(const DOMString& text) { return runtime::UTF16ToSystem(text); }

TDOMElement* AppendElement(xml::TXMLDocument& document, TDOMNode& parent, std::u16string_view name) {
  return static_cast<TDOMElement*>(parent.AppendChild(document.CreateElement(DOMString(name))));
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

bool IsContainer(const TDOMNode* node) {
  const uint16_t type = node->NodeType();
  return type == xml::ELEMENT_NODE || type == xml::ENTITY_REFERENCE_NODE;
}

// Where marker (ASCII, lower case) next occurs in text from position from,
// the letters A to Z of text compared in lower case; npos when it does not.
std::size_t FindNoCase(DOMStringView text, std::size_t from, std::string_view marker) {
  for (std::size_t i = from; i + marker.size() <= text.size(); ++i) {
    std::size_t k = 0;
    for (; k < marker.size(); ++k) {
      DOMChar c = text[i + k];
      if (c >= u'A' && c <= u'Z') c = static_cast<DOMChar>(c + (u'a' - u'A'));
      if (c != static_cast<DOMChar>(static_cast<unsigned char>(marker[k]))) break;
    }
    if (k == marker.size()) return i;
  }
  return DOMString::npos;
}

// The text content of the nodes that the classification reads, from one
// walk over the answer. The text content of an element or entity reference
// is a stretch of the answer's text in document order, so every such node
// is recorded as a stretch of one buffer instead of being collected anew:
// members nested inside names or values would otherwise make the work grow
// with the square of the answer.
class TAnswerText {
public:
  // A node's text: a stretch of the buffer, or the node's own text for the
  // nodes that have no children (text, comments, instructions).
  struct TText {
    std::size_t Begin = 0;
    std::size_t End = 0;
    DOMString Own;
    bool IsOwn = false;
  };

  void Request(const TDOMNode* node) {
    if (node && IsContainer(node)) stretches_.try_emplace(node);
  }

  // Walks the descendants of root once, filling the buffer and the
  // stretches of the requested nodes.
  void Collect(TDOMNode* root) {
    TDOMNode* node = root->FirstChild();
    while (node) {
      if (auto it = stretches_.find(node); it != stretches_.end()) it->second.first = text_.size();
      if (TDOMNode* child = node->FirstChild()) {
        node = child;
        continue;
      }
      AppendLeaf(node);
      for (;;) {
        if (auto it = stretches_.find(node); it != stretches_.end()) it->second.second = text_.size();
        if (TDOMNode* sibling = node->NextSibling()) {
          node = sibling;
          break;
        }
        node = node->ParentNode();
        if (!node || node == root) {
          node = nullptr;
          break;
        }
      }
    }
    for (std::size_t i = 0; i + kThankMarker.size() <= text_.size(); ++i) {
      std::size_t k = 0;
      while (k < kThankMarker.size() && text_[i + k] == static_cast<DOMChar>(kThankMarker[k])) ++k;
      if (k == kThankMarker.size()) thanks_.push_back(i);
    }
  }

  TText Of(const TDOMNode* node) const {
    TText text;
    if (auto it = stretches_.find(node); it != stretches_.end()) {
      text.Begin = it->second.first;
      text.End = it->second.second;
    } else {
      text.Own = node->TextContent();
      text.IsOwn = true;
    }
    return text;
  }

  // Whether the text, lower-cased in A to Z only, is word (ASCII).
  bool EqualsLowerCase(const TText& text, std::string_view word) const {
    const DOMChar* units = text.IsOwn ? text.Own.data() : text_.data() + text.Begin;
    const std::size_t length = text.IsOwn ? text.Own.size() : text.End - text.Begin;
    if (length != word.size()) return false;
    for (std::size_t i = 0; i < length; ++i) {
      DOMChar c = units[i];
      if (c >= u'A' && c <= u'Z') c = static_cast<DOMChar>(c + (u'a' - u'A'));
      if (c != static_cast<DOMChar>(static_cast<unsigned char>(word[i]))) return false;
    }
    return true;
  }

  bool ContainsThank(const TText& text) const {
    if (text.IsOwn) return text.Own.find(u"Thank") != DOMString::npos;
    if (text.End - text.Begin < kThankMarker.size()) return false;
    const auto it = std::lower_bound(thanks_.begin(), thanks_.end(), text.Begin);
    return it != thanks_.end() && *it + kThankMarker.size() <= text.End;
  }

  // Whether the text holds one of the refusal markers, ASCII case ignored.
  // Asked only of a thank-you under a non-zero flerror; the markers are
  // found in the buffer once, on the first question, so that nested
  // messages whose stretches overlap still cost one pass.
  bool Refuses(const TText& text) {
    if (text.IsOwn) {
      for (const std::string_view marker : kRefusalMarkers)
        if (FindNoCase(text.Own, 0, marker) != DOMString::npos) return true;
      return false;
    }
    if (!refusalsFound_) {
      for (std::size_t m = 0; m < kRefusalMarkers.size(); ++m)
        for (std::size_t at = FindNoCase(text_, 0, kRefusalMarkers[m]); at != DOMString::npos;
             at = FindNoCase(text_, at + 1, kRefusalMarkers[m]))
          refusals_[m].push_back(at);
      refusalsFound_ = true;
    }
    for (std::size_t m = 0; m < kRefusalMarkers.size(); ++m) {
      const auto it = std::lower_bound(refusals_[m].begin(), refusals_[m].end(), text.Begin);
      if (it != refusals_[m].end() && *it + kRefusalMarkers[m].size() <= text.End) return true;
    }
    return false;
  }

  // The text narrowed to the system code page.
  std::string Narrowed(const TText& text) const {
    if (text.IsOwn) return Narrow(text.Own);
    return runtime::UTF16ToSystem(DOMStringView(text_).substr(text.Begin, text.End - text.Begin));
  }

private:
  // What a node without children adds to the text content of its
  // ancestors; the same rules as TextContent.
  void AppendLeaf(const TDOMNode* node) {
    const uint16_t type = node->NodeType();
    if (type == xml::TEXT_NODE || type == xml::CDATA_SECTION_NODE) {
      const auto* text = static_cast<const xml::TDOMText*>(node);
      if (!text->IsIgnorableWhitespace()) Append(text->Data());
    } else if (type != xml::PROCESSING_INSTRUCTION_NODE && type != xml::COMMENT_NODE) {
      Append(node->TextContent());
    }
  }

  void Append(DOMStringView units) { text_.append(units); }

  DOMString text_;
  std::unordered_map<const TDOMNode*, std::pair<std::size_t, std::size_t>> stretches_;
  std::vector<std::size_t> thanks_;  // where "Thank" starts in text_, ascending
  // Where each refusal marker starts in text_, ascending; filled on the
  // first call of Refuses.
  std::array<std::vector<std::size_t>, kRefusalMarkers.size()> refusals_;
  bool refusalsFound_ = false;
};

// The element children of parent, one after another.
const TDOMElement* NextElement(const TDOMNode* node) {
  for (; node; node = node->NextSibling()) {
    if (node->NodeType() == xml::ELEMENT_NODE) return static_cast<const TDOMElement*>(node);
  }
  return nullptr;
}

const TDOMElement* FirstElement(const TDOMNode& parent) { return NextElement(parent.FirstChild()); }

// A fault element among the children of the method response.
const TDOMElement* FaultOf(const TDOMElement& root) {
  for (const TDOMElement* child = FirstElement(root); child; child = NextElement(child->NextSibling()))
    if (child->NodeName() == kFaultElement) return child;
  return nullptr;
}

// faultCode and faultString of a fault: <fault><value><struct> with one
// <member><name/><value/></member> each. The members are siblings, so the
// text contents read here never overlap. A fault without them is still an
// error, with the answer left as it was.
void ReadFault(const TDOMElement& fault, std::string& answer, std::string& reason) {
  std::string code;
  std::string text;
  bool hasText = false;
  const TDOMElement* value = FirstElement(fault);
  const TDOMElement* structure = value ? FirstElement(*value) : nullptr;
  if (structure) {
    for (const TDOMElement* member = FirstElement(*structure); member; member = NextElement(member->NextSibling())) {
      const TDOMElement* name = FirstElement(*member);
      const TDOMElement* content = name ? NextElement(name->NextSibling()) : nullptr;
      if (!name || !content) continue;
      const std::string memberName = runtime::LowerCase(Narrow(name->TextContent()));
      if (memberName != kFaultCodeMember && memberName != kFaultStringMember) continue;
      const DOMString valueText = content->TextContent();
      if (memberName == kFaultCodeMember) {
        code = Narrow(valueText);
      } else {
        text = Narrow(valueText);
        hasText = true;
      }
    }
  }
  if (hasText) answer = text;
  reason = "fault";
  if (!code.empty()) reason += " " + code;
  if (hasText) reason += ": " + text;
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

bool TPingService::ClassifyAnswer(xml::TXMLDocument& answerDocument, std::string& answer,
                                  std::string* reason) const {
  std::string ownReason;
  std::string& why = reason ? *reason : ownReason;
  why.clear();
  bool success = true;
  TDOMElement* root = answerDocument.DocumentElement();
  if (!root) return success;
  // An error page or a parked domain's page may be well-formed XML too; only
  // a method response is an answer.
  if (root->NodeName() != kMethodResponseElement)
    throw EMalformedAnswer("the document element is " + Narrow(root->NodeName()) + ", not methodResponse");
  if (const TDOMElement* fault = FaultOf(*root)) {
    ReadFault(*fault, answer, why);
    return false;
  }
  xml::TDOMElementList* members = root->GetElementsByTagName(DOMString(kMemberElement));
  const uint32_t count = members->Length();

  // A member's children are its first and second child nodes; the value's
  // text is that of the second child's first child.
  TAnswerText texts;
  for (uint32_t i = 0; i < count; ++i) {
    const TDOMNode* first = members->Item(i)->FirstChild();
    if (!first) continue;
    texts.Request(first);
    if (const TDOMNode* second = first->NextSibling()) texts.Request(second->FirstChild());
  }
  texts.Collect(root);

  // Only the last message member's text becomes the answer, so the text is
  // narrowed once, also when a later member turns out malformed.
  std::optional<TAnswerText::TText> message;
  std::string flag;  // the text of the flerror value that set the flag
  auto commitMessage = [&] {
    if (message) answer = texts.Narrowed(*message);
  };
  auto valueText = [&](const TDOMNode* second) {
    if (!second || !second->FirstChild()) {
      commitMessage();
      throw EMalformedAnswer("member value without content");
    }
    return texts.Of(second->FirstChild());
  };
  for (uint32_t i = 0; i < count; ++i) {
    const TDOMNode* first = members->Item(i)->FirstChild();
    if (!first) {
      commitMessage();
      throw EMalformedAnswer("member without children");
    }
    const TDOMNode* second = first->NextSibling();
    if (runtime::LowerCase(Narrow(first->NodeName())) != kNameElement) continue;
    const TAnswerText::TText name = texts.Of(first);
    if (texts.EqualsLowerCase(name, kErrorFlagMember)) {
      flag = texts.Narrowed(valueText(second));
      try {
        success = ToInteger(flag) == 0;
        why = success ? std::string() : std::string(kErrorFlagMember) + " " + flag;
      } catch (const EMalformedAnswer&) {
        commitMessage();
        throw;
      }
    } else if (texts.EqualsLowerCase(name, kMessageMember)) {
      message = valueText(second);
      // The thank-you rule mends the services that set flerror on a plain
      // thank-you; a thank-you that goes on to refuse stays a refusal.
      if (!success) {
        const bool thanks = texts.ContainsThank(*message);
        if (thanks && !texts.Refuses(*message))
          success = true;
        else
          why = std::string(kErrorFlagMember) + " " + flag + std::string(thanks ? kRefusedReason : "");
      }
    }
  }
  commitMessage();
  if (success) why.clear();
  return success;
}

}  // namespace corvandel::engine
