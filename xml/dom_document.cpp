#include <string>

#include "xml/detail/dom_builder.h"
#include "xml/dom.h"
#include "xml/xml_names.h"

namespace corvandel::xml {

namespace {

constexpr uint32_t kNameTableSize = 256;
constexpr uint32_t kListCacheSize = 32;
constexpr uint32_t kIdTableSize = 256;

// The name table the thread's last document left: a worker reads answer
// after answer of the same few names, which the next document then finds
// instead of adding them again. Only a small table is kept, so that one
// document's many or long names do not stay with the thread.
constexpr uint32_t kMaxKeptNames = 64;
constexpr std::size_t kMaxKeptNameUnits = 2048;
thread_local bool spareNamesGone = false;  // needs no destructor: readable to the thread's end
struct TSpareNames {
  ~TSpareNames() { spareNamesGone = true; }
  std::unique_ptr<TNameTable> Table;
};
thread_local TSpareNames spareNames;

std::unique_ptr<TNameTable> TakeNameTable() {
  if (!spareNamesGone && spareNames.Table && spareNames.Table->NextGeneration()) return std::move(spareNames.Table);
  return std::make_unique<TNameTable>(kNameTableSize);
}

// Keeps a table whose entries hold no data, if it is small enough.
void KeepNameTable(std::unique_ptr<TNameTable> table) {
  if (spareNamesGone || table->Count() > kMaxKeptNames) return;
  std::size_t units = 0;
  bool holdsData = false;
  table->ForEach([&](const TNameItem& item) {
    units += item.Key.size();
    holdsData |= item.Data != nullptr;
  });
  if (holdsData || units > kMaxKeptNameUnits) return;
  spareNames.Table = std::move(table);
}

}  // namespace

// The element's own destructor is protected, since nodes die through their
// document's pools; the placeholder lives outside them, in a unique_ptr.
class TDOMDocument::TPlaceholder final : public TDOMElement {
public:
  explicit TPlaceholder(TDOMDocument* owner) : TDOMElement(owner, nullptr) {}
  ~TPlaceholder() override = default;
};

TDOMDocument::TDOMDocument()
    : TDOMNode_WithChildren(this),
      names_(TakeNameTable()) {}

TDOMDocument::~TDOMDocument() {
  SetFlag(NODE_DESTROYING, true);
  idTable_.reset();
  listCache_.reset();
  placeholder_.reset();
  if (looseNodes_.empty()) {
    // Every node lives in a pool and none holds a declaration: each node's
    // destructor runs where it lies, with no walk through the tree and no
    // unlinking, since nothing of the document survives. The destructors of
    // pooled node classes touch no other node; attribute maps, which free
    // their attributes otherwise, leave them to this pass (TearingDown).
    tearingDown_ = true;
    for (TNodePool& pool : pools_) {
      liveNodes_ -= pool.LiveCount();
      pool.DestroyInPlace([](void* node) { static_cast<TDOMNode*>(node)->~TDOMNode(); });
    }
    KeepNameTable(std::move(names_));
    return;
  }
  while (TDOMNode* child = FirstChild()) child->Free();
  // Element declarations hold attribute declarations whose values live in
  // the pools, so they go before the pools; the names stay until the end.
  names_->ForEach([](TNameItem& item) {
    if (TDOMNode* declaration = std::exchange(item.Data, nullptr)) declaration->Free();
  });
  // Nodes never attached, or unlinked and kept, die here. All of them are
  // destroyed before any memory is released, since they may refer to each
  // other across pools.
  for (TNodePool& pool : pools_) pool.DestroyLiveNodes();
  while (!looseNodes_.empty()) (*looseNodes_.begin())->Free();
  // The pools release their memory as members, after this.
}

const DOMString* TDOMDocument::FixedNamespaces() {
  static const DOMString kFixed[kFixedNamespaces] = {DOMString(), DOMString(kXmlNamespace),
                                                     DOMString(kXmlnsNamespace)};
  return kFixed;
}

const DOMString& TDOMDocument::NodeName() const {
  static const DOMString kName = u"#document";
  return kName;
}

const TNodePool* TDOMDocument::PoolFor(std::size_t nodeSize) const {
  const std::size_t index = PoolIndex(nodeSize);
  return index < pools_.size() ? &pools_[index] : nullptr;
}

void TDOMDocument::ReleaseNode(TDOMNode* node) {
  TNodePool* pool = node->ownAllocation_ ? nullptr : TNodePool::OwnerOf(node);
  if (!pool) looseNodes_.erase(node);
  node->~TDOMNode();
  --liveNodes_;
  if (pool) pool->Release(node);
  else ::operator delete(node);
}

TAttributeMap* TDOMDocument::NewAttributeMap(TDOMElement* owner) {
  void* memory = mapPool_.Allocate();
  try {
    return ::new (memory) TAttributeMap(owner);
  } catch (...) {
    mapPool_.Release(memory);
    throw;
  }
}

void TDOMDocument::DeleteAttributeMap(TAttributeMap* map) {
  if (!map) return;
  map->~TAttributeMap();
  mapPool_.Release(map);
}

TDOMElement* TDOMDocument::DocumentElement() const {
  for (TDOMNode* child = FirstChild(); child; child = child->NextSibling())
    if (child->NodeType() == ELEMENT_NODE) return static_cast<TDOMElement*>(child);
  return nullptr;
}

TDOMDocumentType* TDOMDocument::DocType() const {
  for (TDOMNode* child = FirstChild(); child; child = child->NextSibling())
    if (child->NodeType() == DOCUMENT_TYPE_NODE) return static_cast<TDOMDocumentType*>(child);
  return nullptr;
}

TDOMNode* TDOMDocument::InsertBefore(TDOMNode* newChild, TDOMNode* refChild) {
  if (newChild) {
    const uint16_t type = newChild->NodeType();
    if ((type == ELEMENT_NODE && DocumentElement()) || (type == DOCUMENT_TYPE_NODE && DocType()))
      throw EDOMHierarchyRequest("Document.InsertBefore");
  }
  return InsertChecked(newChild, refChild);
}

TDOMNode* TDOMDocument::ReplaceChild(TDOMNode* newChild, TDOMNode* oldChild) {
  const bool swapsSingleton =
      newChild && oldChild &&
      ((newChild->NodeType() == ELEMENT_NODE && oldChild == DocumentElement()) ||
       (newChild->NodeType() == DOCUMENT_TYPE_NODE && oldChild == DocType()));
  if (!swapsSingleton) return TDOMNode_WithChildren::ReplaceChild(newChild, oldChild);
  InsertChecked(newChild, oldChild);
  if (newChild != oldChild) RemoveChild(oldChild);
  return oldChild;
}


TDOMElement* TDOMDocument::CreateElement(const DOMString& tagName) {
  if (!IsValidName(tagName, xml11_)) throw EDOMError(INVALID_CHARACTER_ERR, "DOMDocument.CreateElement");
  TDOMElement* element = NewElement(InternName(tagName));
  element->RestoreDefaultAttributes();
  return element;
}

TDOMText* TDOMDocument::CreateTextNode(const DOMString& data) { return AllocateNode<TDOMText>(data); }

TDOMComment* TDOMDocument::CreateComment(const DOMString& data) { return AllocateNode<TDOMComment>(data); }

TDOMAttr* TDOMDocument::CreateAttribute(const DOMString& name) {
  if (!IsValidName(name, xml11_)) throw EDOMError(INVALID_CHARACTER_ERR, "DOMDocument.CreateAttribute");
  TDOMAttr* attribute = AllocateNode<TDOMAttr>(InternName(name));
  attribute->SetSpecified(true);
  return attribute;
}

TDOMCDATASection* TDOMDocument::CreateCDATASection(const DOMString&) {
  throw EDOMNotSupported("DOMDocument.CreateCDATASection");
}

TDOMProcessingInstruction* TDOMDocument::CreateProcessingInstruction(const DOMString&, const DOMString&) {
  throw EDOMNotSupported("DOMDocument.CreateProcessingInstruction");
}

TDOMEntityReference* TDOMDocument::CreateEntityReference(const DOMString&) {
  throw EDOMNotSupported("DOMDocument.CreateEntityReference");
}

TDOMElement* TDOMDocument::CreateElementNS(const DOMString& namespaceURI, const DOMString& qualifiedName) {
  const int index = IndexOfNamespace(namespaceURI, true);
  const int colon = CheckQualifiedName(qualifiedName, index, xml11_);
  if (colon < 0) throw EDOMError(static_cast<uint16_t>(-colon), "Document.CreateElementNS");
  TDOMElement* element = NewElement(InternName(qualifiedName));
  element->namespaceIndex_ = static_cast<uint16_t>(index);
  element->colonPos_ = static_cast<uint16_t>(colon);
  element->SetFlag(NODE_NAMESPACE_AWARE, true);
  element->RestoreDefaultAttributes();
  return element;
}

TDOMAttr* TDOMDocument::CreateAttributeNS(const DOMString& namespaceURI, const DOMString& qualifiedName) {
  const int index = IndexOfNamespace(namespaceURI, true);
  const int colon = CheckQualifiedName(qualifiedName, index, xml11_);
  if (colon < 0) throw EDOMError(static_cast<uint16_t>(-colon), "Document.CreateAttributeNS");
  TDOMAttr* attribute = AllocateNode<TDOMAttr>(InternName(qualifiedName));
  attribute->namespaceIndex_ = static_cast<uint16_t>(index);
  attribute->colonPos_ = static_cast<uint16_t>(colon);
  attribute->SetFlag(NODE_NAMESPACE_AWARE, true);
  attribute->SetSpecified(true);
  return attribute;
}

TDOMDocumentType* TDOMDocument::CreateDocumentType(const DOMString& name, const DOMString& publicId,
                                                   const DOMString& systemId) {
  TDOMDocumentType* type = AllocateNode<TDOMDocumentType>(name);
  type->PublicId = publicId;
  type->SystemId = systemId;
  return type;
}

TDOMEntity* TDOMDocument::CreateEntity(const DOMString& name) { return AllocateNode<TDOMEntity>(name); }

TDOMNotation* TDOMDocument::CreateNotation(const DOMString& name) { return AllocateNode<TDOMNotation>(name); }

TDOMElement* TDOMDocument::GetElementById(DOMStringView id) const {
  return idTable_ ? idTable_->FindData(id) : nullptr;
}

bool TDOMDocument::RegisterId(TDOMAttr* attribute) {
  if (!idTable_) idTable_ = std::make_unique<THashTable<TDOMElement>>(kIdTableSize);
  bool found = false;
  const DOMString value = attribute->NodeValue();
  auto* item = idTable_->FindOrAdd(value.data(), value.size(), found);
  if (found) return false;
  item->Data = attribute->OwnerElement();
  return true;
}

void TDOMDocument::ForgetId(TDOMElement* element) {
  // An element may be registered under several IDs; none may outlive it.
  if (idTable_)
    while (idTable_->RemoveData(element)) {
    }
}

int TDOMDocument::IndexOfNamespace(DOMStringView uri, bool addIfMissing) {
  for (std::size_t i = 0; i < kFixedNamespaces; ++i)
    if (FixedNamespaces()[i] == uri) return static_cast<int>(i);
  for (std::size_t i = 0; i < namespaces_.size(); ++i)
    if (namespaces_[i] == uri) return static_cast<int>(kFixedNamespaces + i);
  if (!addIfMissing) return -1;
  namespaces_.emplace_back(uri);
  return static_cast<int>(kFixedNamespaces + namespaces_.size() - 1);
}

void TDOMDocument::SetNamespaceInfo(TDOMNode_NS* node, DOMStringView uri, uint16_t colonPos) {
  node->namespaceIndex_ = static_cast<uint16_t>(IndexOfNamespace(uri, true));
  node->colonPos_ = colonPos;
  node->SetFlag(NODE_NAMESPACE_AWARE, true);
}

TDOMNodeList* TDOMDocument::EmptyList() {
  // Made on first use: most documents never hand out an empty list.
  if (!placeholder_) placeholder_ = std::make_unique<TPlaceholder>(this);
  return placeholder_->ChildNodes();
}

TDOMDocument::TListCache& TDOMDocument::ListCache() {
  if (!listCache_) listCache_ = std::make_unique<TListCache>(kListCacheSize);
  return *listCache_;
}

TDOMElementList* TDOMDocument::CachedList(DOMString key, TDOMNode* node, const DOMString& name) {
  TListCache& cache = ListCache();
  auto* item = cache.FindOrAdd(key);
  if (!item->Data) {
    TDOMElementList* list = cache.Adopt(item, std::make_unique<TDOMElementList>(node, name));
    list->cacheKey_ = std::move(key);
  }
  return item->Data;
}

TDOMElementList* TDOMDocument::CachedListNS(DOMString key, TDOMNode* node, const DOMString& uri,
                                            const DOMString& localName) {
  TListCache& cache = ListCache();
  auto* item = cache.FindOrAdd(key);
  if (!item->Data) {
    TDOMElementList* list = cache.Adopt(item, std::make_unique<TDOMElementList>(node, uri, localName));
    list->cacheKey_ = std::move(key);
  }
  return item->Data;
}

void TDOMDocument::ForgetList(TDOMElementList* list) {
  if (!(Flags() & NODE_DESTROYING) && listCache_) listCache_->RemoveData(list);
}

TDOMCDATASection* TXMLDocument::CreateCDATASection(const DOMString& data) {
  return AllocateNode<TDOMCDATASection>(data);
}

TDOMProcessingInstruction* TXMLDocument::CreateProcessingInstruction(const DOMString& target, const DOMString& data) {
  if (!IsValidName(target, XML11()))
    throw EDOMError(INVALID_CHARACTER_ERR, "XMLDocument.CreateProcessingInstruction");
  return AllocateNode<TDOMProcessingInstruction>(target, data);
}

TDOMEntityReference* TXMLDocument::CreateEntityReference(const DOMString& name) {
  if (!IsValidName(name, XML11())) throw EDOMError(INVALID_CHARACTER_ERR, "XMLDocument.CreateEntityReference");
  return NewEntityReference(name);
}

TDOMEntityReference* TDOMDocument::NewEntityReference(const DOMString& name) {
  TDOMEntityReference* reference = AllocateNode<TDOMEntityReference>(name);
  if (TDOMDocumentType* type = DocType(); type && type->entities_) {
    if (TDOMNode* entity = type->entities_->GetNamedItem(name)) {
      for (TDOMNode* child = entity->FirstChild(); child; child = child->NextSibling())
        reference->AppendUnchecked(child->CloneNode(true));
    }
  }
  reference->SetReadOnly(true);
  return reference;
}

void TXMLDocument::SetXMLVersion(const DOMString& version) {
  xmlVersion_ = version;
  SetXML11(version == u"1.1");
}

// ---------------------------------------------------------------- builder

TDOMElement* TDOMBuilder::Element(const DOMChar* chars, std::size_t length) const {
  return document_->NewElement(document_->names_->FindOrAdd(chars, length));
}

TDOMAttrDef* TDOMBuilder::AttributeDef(const DOMChar* chars, std::size_t length) const {
  static_assert(sizeof(TDOMAttrDef) > sizeof(TDOMAttr), "attribute declarations are allocated on their own");
  return document_->AllocateNode<TDOMAttrDef>(document_->names_->FindOrAdd(chars, length));
}

TDOMCDATASection* TDOMBuilder::CDATASection(const DOMChar* chars, std::size_t length) const {
  return document_->NewCharacterData<TDOMCDATASection>(chars, length);
}

TDOMComment* TDOMBuilder::Comment(const DOMChar* chars, std::size_t length) const {
  return document_->NewCharacterData<TDOMComment>(chars, length);
}

TDOMProcessingInstruction* TDOMBuilder::ProcessingInstruction(const DOMString& target, const DOMString& data) const {
  return document_->AllocateNode<TDOMProcessingInstruction>(target, data);
}

TDOMEntityReference* TDOMBuilder::EntityReference(const DOMString& name) const {
  return document_->NewEntityReference(name);
}

}  // namespace corvandel::xml
