#include "xml/dom.h"

#include <algorithm>
#include <cstring>

#include "xml/xml_names.h"

// Every walk over a tree in this file is iterative: documents read from the
// network may nest elements arbitrarily deep, and recursion would let such a
// document overflow the stack.

namespace corvandel::xml {

namespace {

constexpr DOMStringView kTextName = u"#text";
constexpr DOMStringView kCDATAName = u"#cdata-section";
constexpr DOMStringView kCommentName = u"#comment";

bool IsAllowedChild(uint16_t parentType, uint16_t childType) {
  switch (parentType) {
    case ELEMENT_NODE:
    case ENTITY_REFERENCE_NODE:
    case ENTITY_NODE:
    case DOCUMENT_FRAGMENT_NODE:
      return childType == ELEMENT_NODE || childType == TEXT_NODE || childType == CDATA_SECTION_NODE ||
             childType == ENTITY_REFERENCE_NODE || childType == PROCESSING_INSTRUCTION_NODE ||
             childType == COMMENT_NODE;
    case ATTRIBUTE_NODE:
      return childType == TEXT_NODE || childType == ENTITY_REFERENCE_NODE;
    case DOCUMENT_NODE:
      return childType == ELEMENT_NODE || childType == PROCESSING_INSTRUCTION_NODE || childType == COMMENT_NODE ||
             childType == DOCUMENT_TYPE_NODE;
    default:
      return false;
  }
}

// Node kinds whose children can never form a cycle with their new parent.
bool IsLeafKind(uint16_t type) {
  return type == TEXT_NODE || type == CDATA_SECTION_NODE || type == PROCESSING_INSTRUCTION_NODE ||
         type == COMMENT_NODE;
}

}  // namespace

void TNodeDisposer::operator()(TDOMNode* node) const { node->Free(); }

// ---------------------------------------------------------------- TDOMNode

void TDOMNode::SetNodeValue(const DOMString&) {}

void TDOMNode::SetPrefix(const DOMString&) {}

TDOMNode* TDOMNode::InsertBefore(TDOMNode*, TDOMNode*) {
  CheckReadOnly();
  throw EDOMHierarchyRequest("Node.InsertBefore");
}

TDOMNode* TDOMNode::ReplaceChild(TDOMNode*, TDOMNode*) {
  CheckReadOnly();
  throw EDOMHierarchyRequest("Node.ReplaceChild");
}

TDOMNode* TDOMNode::RemoveChild(TDOMNode*) { throw EDOMNotFound("Node.RemoveChild"); }

TDOMNode* TDOMNode::FindChildNamed(DOMStringView) const { return nullptr; }

int TDOMNode::CompareNodeName(DOMStringView name) const { return CompareNames(name, NodeName()); }

TDOMNodeList* TDOMNode::ChildNodes() { return ownerDocument_->EmptyList(); }

bool TDOMNode::DocumentDestroying() const { return (ownerDocument_->flags_ & NODE_DESTROYING) != 0; }

void TDOMNode::CheckReadOnly() const {
  if ((flags_ & NODE_READONLY) && !DocumentDestroying())
    throw EDOMError(NO_MODIFICATION_ALLOWED_ERR, "Node.CheckReadOnly");
}

void TDOMNode::SetReadOnly(bool value) {
  for (TDOMNode* node = this; node; node = NextInTree(node, this)) {
    node->SetFlag(NODE_READONLY, value);
    if (node->NodeType() != ELEMENT_NODE || !node->HasAttributes()) continue;
    TDOMNamedNodeMap* attributes = node->Attributes();
    for (uint32_t i = 0; i < attributes->Length(); ++i) attributes->Item(i)->SetReadOnly(value);
  }
}

TDOMNode* TDOMNode::CloneShallow(bool, TDOMDocument*) {
  throw EDOMNotSupported(std::string("Cloning/importing of ") + ClassName() + " is not supported");
}

TDOMNode* TDOMNode::CloneNode(bool deep, TDOMDocument* targetDocument) {
  TDOMNode* clone = CloneShallow(deep, targetDocument);
  if (ClonesChildren(deep)) {
    // Pre-order copy; cloneParent is always the clone of source's parent.
    TDOMNode* source = FirstChild();
    TDOMNode* cloneParent = clone;
    while (source) {
      TDOMNode* copy = source->CloneShallow(true, targetDocument);
      static_cast<TDOMNode_WithChildren*>(cloneParent)->AppendUnchecked(copy);
      if (source->FirstChild() && source->ClonesChildren(true)) {
        cloneParent = copy;
        source = source->FirstChild();
        continue;
      }
      source->FinishClone(copy);
      while (source != this && !source->NextSibling()) {
        source = source->ParentNode();
        if (source != this) source->FinishClone(cloneParent);
        cloneParent = cloneParent->ParentNode();
      }
      source = source == this ? nullptr : source->NextSibling();
    }
  }
  FinishClone(clone);
  return clone;
}

void TDOMNode::Free() {
  TDOMDocument* document = ownerDocument_;
  const bool bookkeeping = !DocumentDestroying();
  BeginDestroy();
  // Post-order: each node's children go before the node; a child keeps its
  // parent link only to find the way back and is never unlinked one by one.
  TDOMNode* node = this;
  for (;;) {
    if (node->canHaveChildren_) {
      auto* parent = static_cast<TDOMNode_WithChildren*>(node);
      if (TDOMNode* child = parent->firstChild_) {
        parent->firstChild_ = child->next_;
        if (parent->firstChild_) parent->firstChild_->previous_ = nullptr;
        else parent->lastChild_ = nullptr;
        child->next_ = child->previous_ = nullptr;
        child->BeginDestroy();
        node = child;
        continue;
      }
    }
    if (node == this) break;
    TDOMNode* parent = node->parent_;
    node->parent_ = nullptr;
    document->ReleaseNode(node);
    node = parent;
  }
  if (parent_) static_cast<TDOMNode_WithChildren*>(parent_)->Unlink(this);
  // Node lists cached for the freed nodes may later be found again through
  // a reused address; a new revision makes them rebuild before any use.
  if (bookkeeping) document->BumpRevision();
  document->ReleaseNode(this);
}

// ---------------------------------------------------- TDOMNode_WithChildren

TDOMNode_WithChildren::~TDOMNode_WithChildren() = default;

void TDOMNode_WithChildren::BeginDestroy() { childNodes_.reset(); }

TDOMNodeList* TDOMNode_WithChildren::ChildNodes() {
  if (!childNodes_) childNodes_ = std::make_unique<TDOMNodeList>(this);
  return childNodes_.get();
}

TDOMNode* TDOMNode_WithChildren::InsertBefore(TDOMNode* newChild, TDOMNode* refChild) {
  return InsertChecked(newChild, refChild);
}

TDOMNode* TDOMNode_WithChildren::InsertChecked(TDOMNode* newChild, TDOMNode* refChild) {
  static const std::string kSituation = "NodeWC.InsertBefore";
  if (!newChild) throw EDOMNotFound(kSituation);
  const uint16_t type = newChild->NodeType();
  CheckReadOnly();
  TDOMDocument* document = ownerDocument_;
  if (newChild->ownerDocument_ != document && !(type == DOCUMENT_TYPE_NODE && !newChild->ownerDocument_))
    throw EDOMWrongDocument(kSituation);
  if (refChild && refChild->parent_ != this) throw EDOMNotFound(kSituation);
  if (newChild == this || (!IsLeafKind(type) && newChild->HasChildNodes())) {
    for (TDOMNode* ancestor = this; ancestor; ancestor = ancestor->parent_)
      if (ancestor == newChild) throw EDOMHierarchyRequest("NodeWC.InsertBefore (cycle in tree)");
  }
  if (newChild == refChild) return newChild;
  document->BumpRevision();

  if (type == DOCUMENT_FRAGMENT_NODE) {
    for (TDOMNode* child = newChild->FirstChild(); child; child = child->next_)
      if (!IsAllowedChild(NodeType(), child->NodeType())) throw EDOMHierarchyRequest(kSituation);
    while (TDOMNode* child = newChild->FirstChild()) InsertChecked(child, refChild);
    return newChild;
  }
  if (!IsAllowedChild(NodeType(), type)) throw EDOMHierarchyRequest(kSituation);
  if (newChild->parent_) newChild->parent_->RemoveChild(newChild);

  newChild->parent_ = this;
  newChild->next_ = refChild;
  newChild->previous_ = refChild ? refChild->previous_ : lastChild_;
  if (newChild->previous_) newChild->previous_->next_ = newChild;
  else firstChild_ = newChild;
  if (refChild) refChild->previous_ = newChild;
  else lastChild_ = newChild;
  return newChild;
}

void TDOMNode_WithChildren::Unlink(TDOMNode* child) {
  if (child->previous_) child->previous_->next_ = child->next_;
  else firstChild_ = child->next_;
  if (child->next_) child->next_->previous_ = child->previous_;
  else lastChild_ = child->previous_;
  child->parent_ = child->previous_ = child->next_ = nullptr;
}

TDOMNode* TDOMNode_WithChildren::ReplaceChild(TDOMNode* newChild, TDOMNode* oldChild) {
  InsertBefore(newChild, oldChild);
  // Replacing a child with itself keeps it where it is.
  if (newChild != oldChild) RemoveChild(oldChild);
  return oldChild;
}

TDOMNode* TDOMNode_WithChildren::RemoveChild(TDOMNode* oldChild) {
  CheckReadOnly();
  if (!oldChild || oldChild->parent_ != this) throw EDOMNotFound("NodeWC.RemoveChild");
  ownerDocument_->BumpRevision();
  Unlink(oldChild);
  return oldChild;
}

DOMString TDOMNode_WithChildren::TextContent() const {
  DOMString text;
  const TDOMNode* node = firstChild_;
  while (node) {
    // The walk below reads the links directly; each node it passes counts
    // as one step, as it would through the accessors.
    detail::CountNodeStep();
    const uint16_t type = node->NodeType();
    bool descend = false;
    if (type == TEXT_NODE || type == CDATA_SECTION_NODE) {
      if (!(node->flags_ & NODE_IGNORABLE_WHITESPACE)) text += static_cast<const TDOMText*>(node)->View();
    } else if (type == PROCESSING_INSTRUCTION_NODE || type == COMMENT_NODE) {
      // contributes nothing
    } else if (node->canHaveChildren_) {
      descend = true;
    } else {
      text += node->TextContent();
    }
    if (descend && node->FirstChild()) {
      node = node->FirstChild();
      continue;
    }
    while (node != this && !node->next_) node = node->parent_;
    node = node == this ? nullptr : node->next_;
  }
  return text;
}

void TDOMNode_WithChildren::SetTextContent(const DOMString& value) {
  CheckReadOnly();
  while (firstChild_) RemoveChild(firstChild_);
  if (!value.empty()) AppendChild(ownerDocument_->CreateTextNode(value));
}

void TDOMNode_WithChildren::Normalize() {
  struct Frame {
    TDOMNode* next;      // the next child to handle
    TDOMText* previous;  // the text node that absorbs following texts
  };
  std::vector<Frame> stack;
  auto enter = [&stack](TDOMNode* node) {
    if (node->NodeType() == ELEMENT_NODE && node->HasAttributes()) {
      TDOMNamedNodeMap* attributes = node->Attributes();
      for (uint32_t i = 0; i < attributes->Length(); ++i) attributes->Item(i)->Normalize();
    }
    stack.push_back({node->FirstChild(), nullptr});
  };
  enter(this);
  while (!stack.empty()) {
    TDOMNode* child = stack.back().next;
    if (!child) {
      stack.pop_back();
      continue;
    }
    stack.back().next = child->next_;
    if (child->NodeType() != TEXT_NODE) {
      stack.back().previous = nullptr;
      if (child->canHaveChildren_) enter(child);
      else child->Normalize();
      continue;
    }
    auto* text = static_cast<TDOMText*>(child);
    TDOMText*& previous = stack.back().previous;
    if (text->Length() == 0) {
      text->Free();
    } else if (!previous) {
      previous = text;
    } else {
      previous->AppendData(text->View());
      previous->SetFlag(NODE_IGNORABLE_WHITESPACE, false);
      text->Free();
    }
  }
}

TDOMNode* TDOMNode_WithChildren::FindChildNamed(DOMStringView name) const {
  for (TDOMNode* child = firstChild_; child; child = child->next_)
    if (child->CompareNodeName(name) == 0) return child;
  return nullptr;
}

// ------------------------------------------------------------- TDOMNode_NS

const DOMString& TDOMNode_NS::NodeName() const {
  static const DOMString kEmpty;
  return nameItem_ ? nameItem_->Key : kEmpty;
}

DOMStringView TDOMNode_NS::LocalNameView() const { return DOMStringView(NodeName()).substr(colonPos_); }

DOMString TDOMNode_NS::LocalName() const {
  if (!(Flags() & NODE_NAMESPACE_AWARE)) return {};
  return DOMString(LocalNameView());
}

DOMString TDOMNode_NS::NamespaceURI() const { return Document()->NamespaceAt(namespaceIndex_); }

DOMString TDOMNode_NS::Prefix() const {
  if (colonPos_ <= 1) return {};
  return NodeName().substr(0, colonPos_ - 1u);
}

int TDOMNode_NS::CompareNodeName(DOMStringView name) const { return CompareNames(name, NodeName()); }

void TDOMNode_NS::SetPrefix(const DOMString& prefix) {
  static const std::string kSituation = "Node.SetPrefix";
  CheckReadOnly();
  TDOMDocument* document = Document();
  if (!IsValidName(prefix, document->XML11())) throw EDOMError(INVALID_CHARACTER_ERR, kSituation);
  const bool invalid = prefix.find(u':') != DOMString::npos || !(Flags() & NODE_NAMESPACE_AWARE) ||
                       (prefix == u"xml" && namespaceIndex_ != NS_INDEX_XML) ||
                       (NodeType() == ATTRIBUTE_NODE && dynamic_cast<TDOMAttrDef*>(this) == nullptr &&
                        prefix == u"xmlns" && namespaceIndex_ != NS_INDEX_XMLNS) ||
                       NodeName() == u"xmlns";
  if (invalid) throw EDOMNamespace(kSituation);
  DOMString name = prefix + u':' + DOMString(LocalNameView());
  nameItem_ = document->InternName(name);
  colonPos_ = static_cast<uint16_t>(prefix.size() + 1);
}

void TDOMNode_NS::CopyNameFrom(const TDOMNode_NS& source) {
  nameItem_ = source.nameItem_;
  namespaceIndex_ = source.namespaceIndex_;
  colonPos_ = source.colonPos_;
  SetFlag(NODE_NAMESPACE_AWARE, (source.Flags() & NODE_NAMESPACE_AWARE) != 0);
}

// ------------------------------------------------------------- TDOMElement

TDOMElement::~TDOMElement() { Document()->DeleteAttributeMap(attributes_); }

TDOMNamedNodeMap* TDOMElement::Attributes() { return AttributeMap(); }

bool TDOMElement::HasAttributes() const { return attributes_ && attributes_->Length() > 0; }

void TDOMElement::BeginDestroy() {
  SetFlag(NODE_DESTROYING, true);
  if (!DocumentDestroying()) Document()->ForgetId(this);
  Document()->DeleteAttributeMap(std::exchange(attributes_, nullptr));
  TDOMNode_WithChildren::BeginDestroy();
}

TDOMAttr* TDOMElement::GetAttributeNode(DOMStringView name) const {
  if (!attributes_) return nullptr;
  return static_cast<TDOMAttr*>(attributes_->GetNamedItem(name));
}

TDOMAttr* TDOMElement::SetAttributeNode(TDOMAttr* attribute) {
  return static_cast<TDOMAttr*>(Attributes()->SetNamedItem(attribute));
}

TDOMAttr* TDOMElement::GetAttributeNodeNS(const DOMString& namespaceURI, DOMStringView localName) const {
  if (!attributes_) return nullptr;
  return static_cast<TDOMAttr*>(attributes_->GetNamedItemNS(namespaceURI, localName));
}

TDOMAttr* TDOMElement::SetAttributeNodeNS(TDOMAttr* attribute) {
  return static_cast<TDOMAttr*>(Attributes()->SetNamedItemNS(attribute));
}

TDOMAttr* TDOMElement::RemoveAttributeNode(TDOMAttr* attribute) {
  CheckReadOnly();
  if (!TakeAttribute(attribute)) throw EDOMNotFound("Element.RemoveAttributeNode");
  RestoreDefaultAttribute(attribute->NodeName());
  return attribute;
}

bool TDOMElement::TakeAttribute(TDOMAttr* attribute) {
  if (!attribute || !attributes_) return false;
  bool found = false;
  const std::size_t index = attributes_->Find(attribute->NodeName(), found);
  if (!found || attributes_->items_[index] != attribute) return false;
  attributes_->TakeItem(index);
  attribute->ownerElement_ = nullptr;
  return true;
}

DOMString TDOMElement::GetAttribute(DOMStringView name) const {
  const TDOMAttr* attribute = GetAttributeNode(name);
  return attribute ? attribute->NodeValue() : DOMString();
}

void TDOMElement::SetAttribute(const DOMString& name, const DOMString& value) {
  CheckReadOnly();
  if (TDOMAttr* attribute = GetAttributeNode(name)) {
    attribute->SetNodeValue(value);
    return;
  }
  TDOMAttr* attribute = Document()->CreateAttribute(name);
  attribute->SetNodeValue(value);
  SetAttributeNode(attribute);
}

void TDOMElement::RemoveAttribute(DOMStringView name) {
  CheckReadOnly();
  if (TDOMAttr* attribute = GetAttributeNode(name)) RemoveAttributeNode(attribute)->Free();
}

TDOMElementList* TDOMElement::GetElementsByTagName(const DOMString& name) {
  DOMString key(sizeof(TDOMNode*) / sizeof(DOMChar), u'\0');
  const TDOMNode* self = this;
  std::memcpy(key.data(), &self, sizeof self);
  key += name;
  return Document()->CachedList(std::move(key), this, name);
}

TDOMElementList* TDOMElement::GetElementsByTagNameNS(const DOMString& namespaceURI, const DOMString& localName) {
  DOMString key(sizeof(TDOMNode*) / sizeof(DOMChar), u'\0');
  const TDOMNode* self = this;
  std::memcpy(key.data(), &self, sizeof self);
  key += localName;
  key += u'\f';
  key += namespaceURI;
  return Document()->CachedListNS(std::move(key), this, namespaceURI, localName);
}

void TDOMElement::RestoreDefaultAttributes() {
  const TNameItem* name = NameItem();
  if (!name || !name->Data || !name->Data->HasAttributes()) return;
  TDOMNamedNodeMap* declarations = name->Data->Attributes();
  // Adding defaults never touches the declaration's map, so the index stays valid.
  for (uint32_t i = 0; i < declarations->Length(); ++i) {
    const auto* declaration = static_cast<const TDOMAttrDef*>(declarations->Item(i));
    if (declaration->Default() == DEFAULT_VALUE || declaration->Default() == DEFAULT_FIXED) AddDefault(*declaration);
  }
}

void TDOMElement::RestoreDefaultAttribute(DOMStringView attributeName) {
  const TNameItem* name = NameItem();
  if (!name || !name->Data || !name->Data->HasAttributes()) return;
  const auto* declaration = static_cast<const TDOMAttrDef*>(name->Data->Attributes()->GetNamedItem(attributeName));
  if (declaration && (declaration->Default() == DEFAULT_VALUE || declaration->Default() == DEFAULT_FIXED))
    AddDefault(*declaration);
}

void TDOMElement::AddDefault(const TDOMAttrDef& declaration) {
  TDOMDocument* document = Document();
  auto* clone = static_cast<TDOMAttr*>(const_cast<TDOMAttrDef&>(declaration).CloneNode(true));
  const DOMString& name = clone->NodeName();
  const std::size_t colon = name.find(u':');
  const std::size_t colonPos = colon == DOMString::npos ? 0 : colon + 1;
  if (name.starts_with(u"xmlns")) {
    if (name.size() == 5 || colonPos == 6) document->SetNamespaceInfo(clone, kXmlnsNamespace, static_cast<uint16_t>(colonPos));
  } else if (colonPos == 4 && name.starts_with(u"xml")) {
    document->SetNamespaceInfo(clone, kXmlNamespace, 4);
  } else if (colonPos > 0) {
    const DOMString uri = LookupNamespaceURI(this, DOMStringView(name).substr(0, colon));
    document->SetNamespaceInfo(clone, uri, static_cast<uint16_t>(colonPos));
  }
  if (Flags() & NODE_NAMESPACE_AWARE) clone->SetFlag(NODE_NAMESPACE_AWARE, true);
  SetAttributeNode(clone);
}

TDOMNode* TDOMElement::CloneShallow(bool, TDOMDocument* target) {
  TDOMDocument* document = Document();
  TDOMElement* clone;
  if (target == document) {
    clone = document->NewElement(NameItem());
    clone->CopyNameFrom(*this);
    if (attributes_) {
      for (uint32_t i = 0; i < attributes_->Length(); ++i) {
        TDOMAttr* source = attributes_->Attr(i);
        auto* copy = static_cast<TDOMAttr*>(source->CloneNode(true, target));
        copy->SetSpecified(source->Specified());
        clone->SetAttributeNode(copy);
      }
    }
    return clone;
  }
  clone = (Flags() & NODE_NAMESPACE_AWARE) ? target->CreateElementNS(NamespaceURI(), NodeName())
                                           : target->CreateElement(NodeName());
  if (attributes_) {
    for (uint32_t i = 0; i < attributes_->Length(); ++i) {
      TDOMAttr* source = attributes_->Attr(i);
      if (!source->Specified()) continue;
      auto* copy = static_cast<TDOMAttr*>(source->CloneNode(true, target));
      if (TDOMAttr* replaced = clone->SetAttributeNode(copy); replaced && replaced != copy) replaced->Free();
    }
  }
  return clone;
}

// ---------------------------------------------------------------- TDOMAttr

DOMString TDOMAttr::NodeValue() const {
  DOMString value = TextContent();
  if (dataType_ != DATATYPE_CDATA) NormalizeSpaces(value);
  return value;
}

void TDOMAttr::SetNodeValue(const DOMString& value) {
  SetTextContent(value);
  SetSpecified(true);
}

void TDOMAttr::BeginDestroy() {
  if (ownerElement_ && !(ownerElement_->Flags() & NODE_DESTROYING)) {
    // While the document goes, no declared default takes the place of the
    // attribute: nothing may be created then.
    if (DocumentDestroying()) ownerElement_->TakeAttribute(this);
    else ownerElement_->RemoveAttributeNode(this);
  }
  TDOMNode_NS::BeginDestroy();
}

TDOMNode* TDOMAttr::CloneShallow(bool, TDOMDocument* target) {
  TDOMAttr* clone = (Flags() & NODE_NAMESPACE_AWARE) ? target->CreateAttributeNS(NamespaceURI(), NodeName())
                                                     : target->CreateAttribute(NodeName());
  clone->dataType_ = dataType_;
  return clone;
}

// ------------------------------------------------------------- TDOMAttrDef

bool TDOMAttrDef::AddAllowedValue(const DOMChar* chars, std::size_t length) {
  const DOMStringView value(chars, length);
  if (std::find(allowedValues_.begin(), allowedValues_.end(), value) != allowedValues_.end()) return false;
  allowedValues_.emplace_back(value);
  return true;
}

bool TDOMAttrDef::IsAllowedValue(DOMStringView value) const {
  return allowedValues_.empty() ||
         std::find(allowedValues_.begin(), allowedValues_.end(), value) != allowedValues_.end();
}

TDOMNode* TDOMAttrDef::CloneShallow(bool deep, TDOMDocument* target) {
  auto* clone = static_cast<TDOMAttr*>(TDOMAttr::CloneShallow(deep, target));
  clone->SetSpecified(false);
  return clone;
}

// -------------------------------------------------------- character data

void TDOMCharacterData::SetNodeValue(const DOMString& value) {
  CheckReadOnly();
  data_ = value;
  stored_ = nullptr;
}

void TDOMCharacterData::AppendData(DOMStringView text) {
  CheckReadOnly();
  if (stored_) TakeStored();
  data_ += text;
}

void TDOMCharacterData::TakeStored() const {
  data_.assign(stored_, storedLength_);
  stored_ = nullptr;
}

const DOMString& TDOMText::NodeName() const {
  static const DOMString kName(kTextName);
  return kName;
}

void TDOMText::SetNodeValue(const DOMString& value) {
  TDOMCharacterData::SetNodeValue(value);
  SetFlag(NODE_IGNORABLE_WHITESPACE, false);
}

TDOMNode* TDOMText::CloneShallow(bool, TDOMDocument* target) { return target->CreateTextNode(Data()); }

const DOMString& TDOMCDATASection::NodeName() const {
  static const DOMString kName(kCDATAName);
  return kName;
}

TDOMNode* TDOMCDATASection::CloneShallow(bool, TDOMDocument* target) { return target->CreateCDATASection(Data()); }

const DOMString& TDOMComment::NodeName() const {
  static const DOMString kName(kCommentName);
  return kName;
}

TDOMNode* TDOMComment::CloneShallow(bool, TDOMDocument* target) { return target->CreateComment(Data()); }

void TDOMProcessingInstruction::SetNodeValue(const DOMString& value) {
  CheckReadOnly();
  data_ = value;
}

TDOMNode* TDOMProcessingInstruction::CloneShallow(bool, TDOMDocument* target) {
  return target->CreateProcessingInstruction(target_, data_);
}

// ----------------------------------------------- document type and entities

TDOMDocumentType::~TDOMDocumentType() = default;

void TDOMDocumentType::BeginDestroy() {
  entities_.reset();
  notations_.reset();
}

TDOMNamedNodeMap* TDOMDocumentType::Entities() {
  if (!entities_) entities_ = std::make_unique<TDOMNamedNodeMap>(this, ENTITY_NODE);
  return entities_.get();
}

TDOMNamedNodeMap* TDOMDocumentType::Notations() {
  if (!notations_) notations_ = std::make_unique<TDOMNamedNodeMap>(this, NOTATION_NODE);
  return notations_.get();
}

TDOMNode* TDOMEntity::CloneShallow(bool, TDOMDocument* target) {
  TDOMEntity* clone = target->CreateEntity(name_);
  clone->PublicId = PublicId;
  clone->SystemId = SystemId;
  clone->NotationName = NotationName;
  return clone;
}

TDOMNode* TDOMEntityReference::CloneShallow(bool, TDOMDocument* target) {
  return target->CreateEntityReference(name_);
}

TDOMNode* TDOMNotation::CloneShallow(bool, TDOMDocument* target) {
  TDOMNotation* clone = target->CreateNotation(name_);
  clone->PublicId = PublicId;
  clone->SystemId = SystemId;
  return clone;
}

// --------------------------------------------------------- namespace lookup

DOMString LookupNamespaceURI(TDOMNode* node, DOMStringView prefix) {
  TDOMNode* current = node;
  // Find the element the search starts at.
  if (current && current->NodeType() == ATTRIBUTE_NODE) current = static_cast<TDOMAttr*>(current)->OwnerElement();
  else if (current && current->NodeType() == DOCUMENT_NODE) current = static_cast<TDOMDocument*>(current)->DocumentElement();
  while (current && current->NodeType() != ELEMENT_NODE) current = current->ParentNode();

  for (auto* element = static_cast<TDOMElement*>(current); element;) {
    if ((element->Flags() & NODE_NAMESPACE_AWARE) && element->Prefix() == prefix) return element->NamespaceURI();
    if (element->HasAttributes()) {
      TAttributeMap* attributes = element->AttributeMap();
      for (uint32_t i = 0; i < attributes->Length(); ++i) {
        TDOMAttr* attribute = attributes->Attr(i);
        const DOMString localName = attribute->LocalName();
        if ((attribute->Prefix() == u"xmlns" && localName == prefix) || (localName == u"xmlns" && prefix.empty()))
          return attribute->NodeValue();
      }
    }
    TDOMNode* parent = element->ParentNode();
    while (parent && parent->NodeType() != ELEMENT_NODE) parent = parent->ParentNode();
    element = static_cast<TDOMElement*>(parent);
  }
  return {};
}

}  // namespace corvandel::xml
