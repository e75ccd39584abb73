#include "xml/dom.h"

namespace corvandel::xml {

TDOMNamedNodeMap::~TDOMNamedNodeMap() {
  // A document going as a whole destroys the items itself.
  if (owner_->Document() && owner_->Document()->TearingDown()) return;
  // Each item is detached first, so that freeing it does not look for it here.
  TNodeVector items;
  items.swap(items_);
  for (TDOMNode* item : items) {
    if (item->NodeType() == ATTRIBUTE_NODE) static_cast<TDOMAttr*>(item)->ownerElement_ = nullptr;
    item->Free();
  }
}

std::size_t TDOMNamedNodeMap::Find(DOMStringView name, bool& found) const {
  std::size_t low = 0, high = items_.size();
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    const int c = items_[middle]->CompareNodeName(name);
    if (c == 0) {
      found = true;
      return middle;
    }
    // c > 0: name orders after the item's name.
    if (c > 0) low = middle + 1;
    else high = middle;
  }
  found = false;
  return low;
}

TDOMNode* TDOMNamedNodeMap::GetNamedItem(DOMStringView name) const {
  bool found = false;
  const std::size_t index = Find(name, found);
  return found ? items_[index] : nullptr;
}

void TDOMNamedNodeMap::CheckNewItem(TDOMNode* node, const char* situation) const {
  uint16_t code = 0;
  if (owner_->ReadOnly()) code = NO_MODIFICATION_ALLOWED_ERR;
  else if (node->Document() != owner_->Document()) code = WRONG_DOCUMENT_ERR;
  else if (node->NodeType() != itemType_) code = HIERARCHY_REQUEST_ERR;
  else if (itemType_ == ATTRIBUTE_NODE) {
    const TDOMElement* ownerElement = static_cast<TDOMAttr*>(node)->OwnerElement();
    if (ownerElement && ownerElement != owner_) code = INUSE_ATTRIBUTE_ERR;
  }
  if (code != 0) throw EDOMError(code, situation);
}

TDOMNode* TDOMNamedNodeMap::SetNamedItem(TDOMNode* node) {
  CheckNewItem(node, "NamedNodeMap.SetNamedItem");
  const bool attributes = itemType_ == ATTRIBUTE_NODE;
  if (attributes) static_cast<TDOMAttr*>(node)->ownerElement_ = static_cast<TDOMElement*>(owner_);
  bool found = false;
  const DOMString& name = node->NodeName();
  // Items often come in order (a parsed element's attributes, a copied
  // map): one that orders after the last one needs no search.
  const std::size_t index =
      !items_.empty() && items_.back()->CompareNodeName(name) > 0 ? items_.size() : Find(name, found);
  return Place(node, index, found);
}

TDOMNode* TDOMNamedNodeMap::Place(TDOMNode* node, std::size_t index, bool found) {
  if (!found) {
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(index), node);
    return nullptr;
  }
  TDOMNode* old = items_[index];
  items_[index] = node;
  if (old != node && itemType_ == ATTRIBUTE_NODE) static_cast<TDOMAttr*>(old)->ownerElement_ = nullptr;
  return old;
}

TDOMNode* TDOMNamedNodeMap::RemoveNamedItem(DOMStringView name) {
  if (owner_->ReadOnly()) throw EDOMError(NO_MODIFICATION_ALLOWED_ERR, "NamedNodeMap.RemoveNamedItem");
  bool found = false;
  const std::size_t index = Find(name, found);
  if (!found) throw EDOMNotFound("NamedNodeMap.RemoveNamedItem");
  if (itemType_ == ATTRIBUTE_NODE) return static_cast<TDOMElement*>(owner_)->RemoveAttributeNode(static_cast<TDOMAttr*>(items_[index]));
  return TakeItem(index);
}

TDOMNode* TDOMNamedNodeMap::TakeItem(std::size_t index) {
  TDOMNode* item = items_[index];
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  return item;
}

TDOMNode* TDOMNamedNodeMap::GetNamedItemNS(const DOMString&, DOMStringView) const { return nullptr; }

TDOMNode* TDOMNamedNodeMap::SetNamedItemNS(TDOMNode* node) { return SetNamedItem(node); }

TDOMNode* TDOMNamedNodeMap::RemoveNamedItemNS(const DOMString&, DOMStringView) {
  throw EDOMNotFound("NamedNodeMap.RemoveNamedItemNS");
}

TDOMNode* TAttributeMap::AddInPlace(TDOMAttr* attribute) {
  attribute->ownerElement_ = Element();
  bool found = false;
  const std::size_t index = Find(attribute->NameItem()->Key, found);
  return Place(attribute, index, found);
}

std::ptrdiff_t TAttributeMap::IndexOfNS(int namespaceIndex, DOMStringView localName) const {
  if (namespaceIndex < 0) return -1;
  for (std::size_t i = 0; i < items_.size(); ++i) {
    const auto* attribute = static_cast<const TDOMAttr*>(items_[i]);
    if (attribute->NamespaceIndex() == namespaceIndex && attribute->LocalNameView() == localName)
      return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

TDOMNode* TAttributeMap::GetNamedItemNS(const DOMString& namespaceURI, DOMStringView localName) const {
  const std::ptrdiff_t index = IndexOfNS(owner_->Document()->IndexOfNamespace(namespaceURI, false), localName);
  return index < 0 ? nullptr : items_[static_cast<std::size_t>(index)];
}

TDOMNode* TAttributeMap::SetNamedItemNS(TDOMNode* node) {
  CheckNewItem(node, "NamedNodeMap.SetNamedItemNS");
  auto* attribute = static_cast<TDOMAttr*>(node);
  TDOMNode* result = nullptr;
  const std::ptrdiff_t sameNS = IndexOfNS(attribute->NamespaceIndex(), attribute->LocalNameView());
  if (sameNS >= 0) result = TakeItem(static_cast<std::size_t>(sameNS));
  bool found = false;
  const std::size_t index = Find(node->NodeName(), found);
  if (!found || result) {
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(index), node);
  } else {
    result = items_[index];
    items_[index] = node;
  }
  if (result && result != node) static_cast<TDOMAttr*>(result)->ownerElement_ = nullptr;
  attribute->ownerElement_ = Element();
  return result;
}

TDOMNode* TAttributeMap::RemoveNamedItemNS(const DOMString& namespaceURI, DOMStringView localName) {
  if (owner_->ReadOnly()) throw EDOMError(NO_MODIFICATION_ALLOWED_ERR, "NamedNodeMap.RemoveNamedItemNS");
  const std::ptrdiff_t index = IndexOfNS(owner_->Document()->IndexOfNamespace(namespaceURI, false), localName);
  if (index < 0) throw EDOMNotFound("NamedNodeMap.RemoveNamedItemNS");
  auto* attribute = static_cast<TDOMAttr*>(TakeItem(static_cast<std::size_t>(index)));
  attribute->ownerElement_ = nullptr;
  Element()->RestoreDefaultAttribute(attribute->NodeName());
  return attribute;
}

}  // namespace corvandel::xml
