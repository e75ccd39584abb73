#include "xml/dom.h"

namespace corvandel::xml {

TDOMNodeList::TDOMNodeList(TDOMNode* node)
    : node_(node), document_(node->Document()), revision_(document_->Revision() - 1) {}

TDOMNodeList::~TDOMNodeList() = default;

void TDOMNodeList::Refresh() {
  if (revision_ != document_->Revision()) Rebuild();
}

uint32_t TDOMNodeList::Length() {
  Refresh();
  return static_cast<uint32_t>(items_.size());
}

TDOMNode* TDOMNodeList::Item(uint32_t index) {
  Refresh();
  return index < items_.size() ? items_[index] : nullptr;
}

int TDOMNodeList::Classify(TDOMNode*) const { return ADD; }

void TDOMNodeList::Rebuild() {
  items_.clear();
  revision_ = document_->Revision();
  TDOMNode* current = node_->FirstChild();
  while (current) {
    const int verdict = Classify(current);
    if (verdict == ADD || verdict == ADD_DESCEND) items_.push_back(current);
    TDOMNode* next = (verdict == SKIP_DESCEND || verdict == ADD_DESCEND) ? current->FirstChild() : nullptr;
    for (TDOMNode* s = current; !next && s != node_; s = s->ParentNode()) next = s->NextSibling();
    current = next;
  }
}

TDOMElementList::TDOMElementList(TDOMNode* node, DOMString tagName)
    : TDOMNodeList(node), tagName_(std::move(tagName)), matchName_(tagName_ != u"*") {}

TDOMElementList::TDOMElementList(TDOMNode* node, const DOMString& namespaceURI, DOMString localName)
    : TDOMNodeList(node),
      tagName_(std::move(localName)),
      namespaceMode_(true),
      anyNamespace_(namespaceURI == u"*"),
      matchName_(tagName_ != u"*") {
  if (!anyNamespace_) namespaceIndex_ = node->Document()->IndexOfNamespace(namespaceURI, false);
}

TDOMElementList::~TDOMElementList() { document_->ForgetList(this); }

int TDOMElementList::Classify(TDOMNode* node) const {
  if (node->NodeType() != ELEMENT_NODE) return SKIP_DESCEND;
  const auto* element = static_cast<const TDOMElement*>(node);
  if (!namespaceMode_) return !matchName_ || element->NodeName() == tagName_ ? ADD_DESCEND : SKIP_DESCEND;
  const bool namespaceMatches = anyNamespace_ || element->NamespaceIndex() == namespaceIndex_;
  const bool nameMatches = !matchName_ || element->LocalNameView() == tagName_;
  return namespaceMatches && nameMatches ? ADD_DESCEND : SKIP_DESCEND;
}

}  // namespace corvandel::xml
