#pragma once

// The in-memory document model: nodes owned by their document, interned
// element and attribute names, node lists kept valid by a revision counter,
// attribute maps sorted by name, namespaces, declared defaults and IDs.
//
// Nodes are created by their document and live until they are freed with
// Free() or the document is destroyed; every pointer handed out is a
// non-owning reference. A document and its nodes belong to one thread at a
// time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <unordered_set>
#include <utility>
#include <vector>

#include "xml/dom_error.h"
#include "xml/dom_string.h"
#include "xml/hash_table.h"
#include "xml/node_pool.h"
#include "xml/node_vector.h"

namespace corvandel::xml {

// Node types.
enum : uint16_t {
  ELEMENT_NODE = 1,
  ATTRIBUTE_NODE = 2,
  TEXT_NODE = 3,
  CDATA_SECTION_NODE = 4,
  ENTITY_REFERENCE_NODE = 5,
  ENTITY_NODE = 6,
  PROCESSING_INSTRUCTION_NODE = 7,
  COMMENT_NODE = 8,
  DOCUMENT_NODE = 9,
  DOCUMENT_TYPE_NODE = 10,
  DOCUMENT_FRAGMENT_NODE = 11,
  NOTATION_NODE = 12,
};

// Bits of TDOMNode::Flags().
enum : uint8_t {
  NODE_READONLY = 1,
  NODE_NAMESPACE_AWARE = 4,
  NODE_IGNORABLE_WHITESPACE = 8,
  NODE_SPECIFIED = 16,
  NODE_DESTROYING = 32,
};

// Attribute data types; the parser assigns the values past ID.
enum : uint8_t { DATATYPE_CDATA = 0, DATATYPE_ID = 1 };

// Default kinds of an attribute declaration.
enum : uint8_t { DEFAULT_IMPLIED = 0, DEFAULT_VALUE = 1, DEFAULT_REQUIRED = 2, DEFAULT_FIXED = 3 };

// Fixed entries of a document's namespace table.
inline constexpr DOMStringView kXmlNamespace = u"http://www.w3.org/XML/1998/namespace";
inline constexpr DOMStringView kXmlnsNamespace = u"http://www.w3.org/2000/xmlns/";
enum : uint16_t { NS_INDEX_NONE = 0, NS_INDEX_XML = 1, NS_INDEX_XMLNS = 2 };

class TDOMNode;
class TDOMNode_WithChildren;
class TDOMNode_NS;
class TDOMElement;
class TDOMAttr;
class TDOMAttrDef;
class TDOMCharacterData;
class TDOMText;
class TDOMCDATASection;
class TDOMComment;
class TDOMProcessingInstruction;
class TDOMDocumentType;
class TDOMEntity;
class TDOMEntityReference;
class TDOMNotation;
class TDOMDocument;
class TXMLDocument;
class TDOMNodeList;
class TDOMElementList;
class TDOMNamedNodeMap;
class TAttributeMap;
class TDOMBuilder;

// What the tree accessors count on their thread when the library is built
// with CORVANDEL_COUNT_NODE_ACCESS: every step through FirstChild,
// NextSibling and ParentNode (and every node a TextContent walk passes),
// and every code unit of text handed out by Data, View and TextContent. A
// walk that must stay linear in the document's size is measured there, so
// no walk can leave itself out. Without the option the count compiles to
// nothing and the accessors stay as cheap as field reads.
namespace detail {
#if defined(CORVANDEL_COUNT_NODE_ACCESS)
struct TNodeAccessCount {
  uint64_t Steps = 0;
  uint64_t Units = 0;
};
inline thread_local TNodeAccessCount nodeAccessCount;
#endif

[[gnu::always_inline]] inline void CountNodeStep() noexcept {
#if defined(CORVANDEL_COUNT_NODE_ACCESS)
  ++nodeAccessCount.Steps;
#endif
}

[[gnu::always_inline]] inline void CountTextUnits([[maybe_unused]] std::size_t units) noexcept {
#if defined(CORVANDEL_COUNT_NODE_ACCESS)
  nodeAccessCount.Units += units;
#endif
}
}  // namespace detail

// The steps and text units this thread's node accessors counted since the
// scope began. Counted() is false, and both counts stay 0, in a library
// built without CORVANDEL_COUNT_NODE_ACCESS.
class TNodeAccessScope {
public:
  static constexpr bool Counted() {
#if defined(CORVANDEL_COUNT_NODE_ACCESS)
    return true;
#else
    return false;
#endif
  }

#if defined(CORVANDEL_COUNT_NODE_ACCESS)
  TNodeAccessScope() : steps_(detail::nodeAccessCount.Steps), units_(detail::nodeAccessCount.Units) {}
  uint64_t Steps() const { return detail::nodeAccessCount.Steps - steps_; }
  uint64_t Units() const { return detail::nodeAccessCount.Units - units_; }

private:
  uint64_t steps_;
  uint64_t units_;
#else
  uint64_t Steps() const { return 0; }
  uint64_t Units() const { return 0; }
#endif
};

// The order of CompareNodeName: <0, 0, >0 as name orders before, equals or
// after nodeName. Shorter names come first.
inline int CompareNames(DOMStringView name, DOMStringView nodeName) {
  if (name.size() != nodeName.size()) return name.size() < nodeName.size() ? -1 : 1;
  const int c = name.compare(nodeName);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// Frees a node through Free(); used by tables that own nodes.
struct TNodeDisposer {
  void operator()(TDOMNode* node) const;
};

// A document's names. Recent holds, by the reader's name cache slot, the
// entries it looked up last; it stays with the table when a later document
// takes the table over (see TDOMDocument::names_), so that its reader finds
// those names without a lookup.
class TNameTable : public THashTable<TDOMNode, TNodeDisposer> {
public:
  using THashTable::THashTable;
  static constexpr std::size_t kRecentSlots = 64;
  std::array<Item*, kRecentSlots> Recent{};
};
using TNameItem = TNameTable::Item;

class TDOMNode {
public:
  TDOMNode(const TDOMNode&) = delete;
  TDOMNode& operator=(const TDOMNode&) = delete;

  // Names and values.
  virtual const DOMString& NodeName() const = 0;
  virtual DOMString NodeValue() const { return {}; }
  virtual void SetNodeValue(const DOMString& value);
  virtual uint16_t NodeType() const = 0;
  virtual DOMString TextContent() const { return NodeValue(); }
  virtual void SetTextContent(const DOMString& value) { SetNodeValue(value); }
  virtual DOMString LocalName() const { return {}; }
  virtual DOMString NamespaceURI() const { return {}; }
  virtual DOMString Prefix() const { return {}; }
  virtual void SetPrefix(const DOMString& prefix);

  // Tree.
  virtual TDOMNode* FirstChild() const {
    detail::CountNodeStep();
    return nullptr;
  }
  virtual TDOMNode* LastChild() const { return nullptr; }
  virtual TDOMNamedNodeMap* Attributes() { return nullptr; }
  virtual TDOMDocument* OwnerDocument() const { return ownerDocument_; }
  // The document that owns the node; a document owns itself.
  TDOMDocument* Document() const { return ownerDocument_; }
  virtual TDOMNode* InsertBefore(TDOMNode* newChild, TDOMNode* refChild);
  virtual TDOMNode* ReplaceChild(TDOMNode* newChild, TDOMNode* oldChild);
  virtual TDOMNode* RemoveChild(TDOMNode* oldChild);
  virtual bool HasChildNodes() const { return false; }
  virtual bool HasAttributes() const { return false; }
  virtual void Normalize() {}
  virtual TDOMNode* CloneNode(bool deep, TDOMDocument* targetDocument);
  virtual TDOMNode* FindChildNamed(DOMStringView name) const;
  // <0, 0, >0 as name orders before, equals or after NodeName(): shorter
  // names first, equal lengths by code units from the left.
  virtual int CompareNodeName(DOMStringView name) const;

  TDOMNode* AppendChild(TDOMNode* newChild) { return InsertBefore(newChild, nullptr); }
  TDOMNode* CloneNode(bool deep) { return CloneNode(deep, ownerDocument_); }
  TDOMNode* ParentNode() const {
    detail::CountNodeStep();
    return parent_;
  }
  TDOMNode* PreviousSibling() const { return previous_; }
  TDOMNode* NextSibling() const {
    detail::CountNodeStep();
    return next_;
  }
  // The list of direct children, owned by the node; kinds without children
  // share one list that is always empty.
  virtual TDOMNodeList* ChildNodes();

  uint8_t Flags() const { return flags_; }
  bool ReadOnly() const { return (flags_ & NODE_READONLY) != 0; }
  // Raises EDOMError 7 when the node is read-only, unless its document is
  // being destroyed.
  void CheckReadOnly() const;
  // Sets or clears the read-only flag on the node, its descendants and
  // their attributes.
  void SetReadOnly(bool value);

  // Frees the node with its subtree, unlinking it from its parent first.
  // Any pointer to the node or its descendants is invalid afterwards.
  void Free();

  // Whether the node can hold children (elements, attributes, documents,
  // entities and entity references).
  bool CanHaveChildren() const { return canHaveChildren_; }
  // The node's class name, as error messages show it.
  virtual const char* ClassName() const = 0;

protected:
  TDOMNode(TDOMDocument* owner, bool canHaveChildren) : canHaveChildren_(canHaveChildren), ownerDocument_(owner) {}
  virtual ~TDOMNode() = default;

  // The class's own clean-up before its children are freed.
  virtual void BeginDestroy() {}
  // A copy of this node alone, made in target; children are not copied.
  virtual TDOMNode* CloneShallow(bool deep, TDOMDocument* target);
  // Whether CloneNode copies the children into the node's clone.
  virtual bool ClonesChildren(bool deep) const { return deep; }
  // Runs on a clone once its children are in place.
  virtual void FinishClone(TDOMNode*) {}

  void SetFlag(uint8_t flag, bool on) { flags_ = on ? (flags_ | flag) : (flags_ & ~flag); }
  bool DocumentDestroying() const;

private:
  friend class TDOMNode_WithChildren;
  friend class TDOMDocument;

  uint8_t flags_ = 0;
  bool canHaveChildren_;
  // Allocated on its own; otherwise from a pool, which its slot names.
  bool ownAllocation_ = false;
  TDOMNode* parent_ = nullptr;
  TDOMNode* previous_ = nullptr;
  TDOMNode* next_ = nullptr;
  TDOMDocument* ownerDocument_;
};

class TDOMNode_WithChildren : public TDOMNode {
public:
  TDOMNode* FirstChild() const override {
    detail::CountNodeStep();
    return firstChild_;
  }
  TDOMNode* LastChild() const override { return lastChild_; }
  TDOMNode* InsertBefore(TDOMNode* newChild, TDOMNode* refChild) override;
  TDOMNode* ReplaceChild(TDOMNode* newChild, TDOMNode* oldChild) override;
  TDOMNode* RemoveChild(TDOMNode* oldChild) override;
  bool HasChildNodes() const override { return firstChild_ != nullptr; }
  DOMString TextContent() const override;
  void SetTextContent(const DOMString& value) override;
  void Normalize() override;
  TDOMNode* FindChildNamed(DOMStringView name) const override;
  TDOMNodeList* ChildNodes() override;

protected:
  explicit TDOMNode_WithChildren(TDOMDocument* owner) : TDOMNode(owner, true) {}
  ~TDOMNode_WithChildren() override;
  void BeginDestroy() override;

  // Steps of InsertBefore after the document's own rule.
  TDOMNode* InsertChecked(TDOMNode* newChild, TDOMNode* refChild);

private:
  friend class TDOMNode;
  friend class TDOMDocument;
  friend class TDOMBuilder;

  // Links an unattached node of the same document as the last child,
  // without any check; for code that builds trees known to be valid.
  void AppendUnchecked(TDOMNode* child) {
    child->parent_ = this;
    child->previous_ = lastChild_;
    child->next_ = nullptr;
    if (lastChild_) lastChild_->next_ = child;
    else firstChild_ = child;
    lastChild_ = child;
  }
  void Unlink(TDOMNode* child);

  TDOMNode* firstChild_ = nullptr;
  TDOMNode* lastChild_ = nullptr;
  std::unique_ptr<TDOMNodeList> childNodes_;  // created on first use
};

// Elements and attributes: a qualified name interned in the document's name
// table, and namespace information.
class TDOMNode_NS : public TDOMNode_WithChildren {
public:
  const DOMString& NodeName() const override;
  DOMString LocalName() const override;
  DOMString NamespaceURI() const override;
  DOMString Prefix() const override;
  void SetPrefix(const DOMString& prefix) override;
  int CompareNodeName(DOMStringView name) const override;

  uint16_t NamespaceIndex() const { return namespaceIndex_; }
  uint16_t ColonPos() const { return colonPos_; }
  TNameItem* NameItem() const { return nameItem_; }
  // The part of the qualified name after the colon (all of it without one).
  DOMStringView LocalNameView() const;

protected:
  TDOMNode_NS(TDOMDocument* owner, TNameItem* name) : TDOMNode_WithChildren(owner), nameItem_(name) {}
  void CopyNameFrom(const TDOMNode_NS& source);

private:
  friend class TDOMDocument;
  uint16_t namespaceIndex_ = 0;
  uint16_t colonPos_ = 0;
  TNameItem* nameItem_;
};

class TDOMElement : public TDOMNode_NS {
public:
  uint16_t NodeType() const override { return ELEMENT_NODE; }
  const char* ClassName() const override { return "TDOMElement"; }
  TDOMNamedNodeMap* Attributes() override;
  bool HasAttributes() const override;

  TAttributeMap* AttributeMap();
  DOMString TagName() const { return NodeName(); }
  DOMString GetAttribute(DOMStringView name) const;
  void SetAttribute(const DOMString& name, const DOMString& value);
  void RemoveAttribute(DOMStringView name);
  bool HasAttribute(DOMStringView name) const { return GetAttributeNode(name) != nullptr; }
  TDOMAttr* GetAttributeNode(DOMStringView name) const;
  TDOMAttr* SetAttributeNode(TDOMAttr* attribute);
  TDOMAttr* RemoveAttributeNode(TDOMAttr* attribute);
  TDOMAttr* GetAttributeNodeNS(const DOMString& namespaceURI, DOMStringView localName) const;
  TDOMAttr* SetAttributeNodeNS(TDOMAttr* attribute);

  TDOMElementList* GetElementsByTagName(const DOMString& name);
  TDOMElementList* GetElementsByTagNameNS(const DOMString& namespaceURI, const DOMString& localName);

  // Adds the declared default attributes of the element's name, or of one
  // attribute name, from the declaration the parser stored in the name table.
  void RestoreDefaultAttributes();
  void RestoreDefaultAttribute(DOMStringView name);

protected:
  friend class TDOMDocument;
  TDOMElement(TDOMDocument* owner, TNameItem* name) : TDOMNode_NS(owner, name) {}
  ~TDOMElement() override;
  void BeginDestroy() override;
  TDOMNode* CloneShallow(bool deep, TDOMDocument* target) override;

private:
  friend class TDOMAttr;
  void AddDefault(const TDOMAttrDef& declaration);
  // Takes the attribute out of the map; false when it is not there.
  bool TakeAttribute(TDOMAttr* attribute);
  TAttributeMap* attributes_ = nullptr;  // owned, created on first use
};

class TDOMAttr : public TDOMNode_NS {
public:
  uint16_t NodeType() const override { return ATTRIBUTE_NODE; }
  const char* ClassName() const override { return "TDOMAttr"; }
  DOMString NodeValue() const override;
  void SetNodeValue(const DOMString& value) override;

  DOMString Name() const { return NodeName(); }
  DOMString Value() const { return NodeValue(); }
  void SetValue(const DOMString& value) { SetNodeValue(value); }
  bool Specified() const { return (Flags() & NODE_SPECIFIED) != 0; }
  void SetSpecified(bool value) { SetFlag(NODE_SPECIFIED, value); }
  TDOMElement* OwnerElement() const { return ownerElement_; }
  uint8_t DataType() const { return dataType_; }
  void SetDataType(uint8_t type) { dataType_ = type; }

protected:
  friend class TDOMDocument;
  friend class TDOMNamedNodeMap;
  friend class TAttributeMap;
  friend class TDOMElement;
  TDOMAttr(TDOMDocument* owner, TNameItem* name) : TDOMNode_NS(owner, name) {}
  void BeginDestroy() override;
  TDOMNode* CloneShallow(bool deep, TDOMDocument* target) override;
  bool ClonesChildren(bool) const override { return true; }

private:
  TDOMElement* ownerElement_ = nullptr;
  uint8_t dataType_ = DATATYPE_CDATA;
};

// An attribute declaration of a DTD.
class TDOMAttrDef : public TDOMAttr {
public:
  const char* ClassName() const override { return "TDOMAttrDef"; }
  uint8_t Default() const { return default_; }
  void SetDefault(uint8_t kind) { default_ = kind; }
  const std::vector<DOMString>& AllowedValues() const { return allowedValues_; }
  // False when an equal value is listed already.
  bool AddAllowedValue(const DOMChar* chars, std::size_t length);
  // True when the list is empty or holds the value.
  bool IsAllowedValue(DOMStringView value) const;

protected:
  friend class TDOMDocument;
  TDOMAttrDef(TDOMDocument* owner, TNameItem* name) : TDOMAttr(owner, name) {}
  TDOMNode* CloneShallow(bool deep, TDOMDocument* target) override;

public:
  // The number of the start tag that last gave this attribute explicitly.
  uint32_t ElementMark = 0;

private:
  uint8_t default_ = DEFAULT_IMPLIED;
  std::vector<DOMString> allowedValues_;
};

// A run of code units that a node copies for itself.
struct TUnitRun {
  const DOMChar* Chars;
  std::size_t Length;
};

class TDOMCharacterData : public TDOMNode {
public:
  DOMString NodeValue() const override { return DOMString(View()); }
  void SetNodeValue(const DOMString& value) override;

  const DOMString& Data() const {
    if (stored_) TakeStored();
    detail::CountTextUnits(data_.size());
    return data_;
  }
  void SetData(const DOMString& value) { SetNodeValue(value); }
  uint32_t Length() const { return static_cast<uint32_t>(RawView().size()); }
  void AppendData(DOMStringView text);
  // The data, without making a string of it.
  DOMStringView View() const {
    const DOMStringView units = RawView();
    detail::CountTextUnits(units.size());
    return units;
  }

protected:
  TDOMCharacterData(TDOMDocument* owner, DOMString data) : TDOMNode(owner, false), data_(std::move(data)) {}
  // Short data, copied straight into the node's own string.
  TDOMCharacterData(TDOMDocument* owner, TUnitRun run) : TDOMNode(owner, false), data_(run.Chars, run.Length) {}
  // Data whose units the document keeps in its text arena (see NewText).
  TDOMCharacterData(TDOMDocument* owner, const DOMChar* stored, std::size_t length)
      : TDOMNode(owner, false), stored_(stored), storedLength_(length) {}

private:
  // Text that the parser read lives in the document's arena, and a node
  // keeps only where: most of it is never asked for as a string, and the
  // node costs no allocation of its own. The first call of Data() copies
  // it into data_, which holds the data from then on; while stored_ is
  // set, data_ is empty.
  void TakeStored() const;
  // The data as View hands it out, for the uses that hand nothing out.
  DOMStringView RawView() const { return stored_ ? DOMStringView(stored_, storedLength_) : DOMStringView(data_); }
  mutable DOMString data_;
  mutable const DOMChar* stored_ = nullptr;
  std::size_t storedLength_ = 0;
};

class TDOMText : public TDOMCharacterData {
public:
  const DOMString& NodeName() const override;
  uint16_t NodeType() const override { return TEXT_NODE; }
  const char* ClassName() const override { return "TDOMText"; }
  void SetNodeValue(const DOMString& value) override;
  bool IsIgnorableWhitespace() const { return (Flags() & NODE_IGNORABLE_WHITESPACE) != 0; }

protected:
  friend class TDOMDocument;
  TDOMText(TDOMDocument* owner, DOMString data) : TDOMCharacterData(owner, std::move(data)) {}
  TDOMText(TDOMDocument* owner, TUnitRun run) : TDOMCharacterData(owner, run) {}
  TDOMText(TDOMDocument* owner, const DOMChar* stored, std::size_t length)
      : TDOMCharacterData(owner, stored, length) {}
  TDOMNode* CloneShallow(bool deep, TDOMDocument* target) override;
};

class TDOMCDATASection : public TDOMText {
public:
  const DOMString& NodeName() const override;
  uint16_t NodeType() const override { return CDATA_SECTION_NODE; }
  const char* ClassName() const override { return "TDOMCDATASection"; }

protected:
  friend class TDOMDocument;
  TDOMCDATASection(TDOMDocument* owner, DOMString data) : TDOMText(owner, std::move(data)) {}
  TDOMCDATASection(TDOMDocument* owner, TUnitRun run) : TDOMText(owner, run) {}
  TDOMCDATASection(TDOMDocument* owner, const DOMChar* stored, std::size_t length) : TDOMText(owner, stored, length) {}
  TDOMNode* CloneShallow(bool deep, TDOMDocument* target) override;
};

class TDOMComment : public TDOMCharacterData {
public:
  const DOMString& NodeName() const override;
  uint16_t NodeType() const override { return COMMENT_NODE; }
  const char* ClassName() const override { return "TDOMComment"; }

protected:
  friend class TDOMDocument;
  TDOMComment(TDOMDocument* owner, DOMString data) : TDOMCharacterData(owner, std::move(data)) {}
  TDOMComment(TDOMDocument* owner, TUnitRun run) : TDOMCharacterData(owner, run) {}
  TDOMComment(TDOMDocument* owner, const DOMChar* stored, std::size_t length)
      : TDOMCharacterData(owner, stored, length) {}
  TDOMNode* CloneShallow(bool deep, TDOMDocument* target) override;
};

class TDOMProcessingInstruction : public TDOMNode {
public:
  const DOMString& NodeName() const override { return target_; }
  uint16_t NodeType() const override { return PROCESSING_INSTRUCTION_NODE; }
  const char* ClassName() const override { return "TDOMProcessingInstruction"; }
  DOMString NodeValue() const override { return Data(); }
  void SetNodeValue(const DOMString& value) override;

  const DOMString& Target() const { return target_; }
  const DOMString& Data() const {
    detail::CountTextUnits(data_.size());
    return data_;
  }
  void SetData(const DOMString& value) { SetNodeValue(value); }

protected:
  friend class TDOMDocument;
  TDOMProcessingInstruction(TDOMDocument* owner, DOMString target, DOMString data)
      : TDOMNode(owner, false), target_(std::move(target)), data_(std::move(data)) {}
  TDOMNode* CloneShallow(bool deep, TDOMDocument* target) override;

private:
  DOMString target_;
  DOMString data_;
};

class TDOMDocumentType : public TDOMNode {
public:
  const DOMString& NodeName() const override { return name_; }
  uint16_t NodeType() const override { return DOCUMENT_TYPE_NODE; }
  const char* ClassName() const override { return "TDOMDocumentType"; }

  const DOMString& Name() const { return name_; }
  DOMString PublicId;
  DOMString SystemId;
  DOMString InternalSubset;
  // Maps of entities (type 6) and notations (type 12), created on first use.
  TDOMNamedNodeMap* Entities();
  TDOMNamedNodeMap* Notations();

protected:
  friend class TDOMDocument;
  TDOMDocumentType(TDOMDocument* owner, DOMString name) : TDOMNode(owner, false), name_(std::move(name)) {}
  ~TDOMDocumentType() override;
  void BeginDestroy() override;

private:
  DOMString name_;
  std::unique_ptr<TDOMNamedNodeMap> entities_;  // both created on first use
  std::unique_ptr<TDOMNamedNodeMap> notations_;
};

class TDOMEntity : public TDOMNode_WithChildren {
public:
  const DOMString& NodeName() const override { return name_; }
  uint16_t NodeType() const override { return ENTITY_NODE; }
  const char* ClassName() const override { return "TDOMEntity"; }

  DOMString PublicId;
  DOMString SystemId;
  DOMString NotationName;

protected:
  friend class TDOMDocument;
  TDOMEntity(TDOMDocument* owner, DOMString name) : TDOMNode_WithChildren(owner), name_(std::move(name)) {}
  TDOMNode* CloneShallow(bool deep, TDOMDocument* target) override;
  void FinishClone(TDOMNode* clone) override { clone->SetReadOnly(true); }

private:
  DOMString name_;
};

class TDOMEntityReference : public TDOMNode_WithChildren {
public:
  const DOMString& NodeName() const override { return name_; }
  uint16_t NodeType() const override { return ENTITY_REFERENCE_NODE; }
  const char* ClassName() const override { return "TDOMEntityReference"; }

protected:
  friend class TDOMDocument;
  TDOMEntityReference(TDOMDocument* owner, DOMString name)
      : TDOMNode_WithChildren(owner), name_(std::move(name)) {}
  TDOMNode* CloneShallow(bool deep, TDOMDocument* target) override;
  // The target document fills the clone from its own entity declaration.
  bool ClonesChildren(bool) const override { return false; }

private:
  DOMString name_;
};

class TDOMNotation : public TDOMNode {
public:
  const DOMString& NodeName() const override { return name_; }
  uint16_t NodeType() const override { return NOTATION_NODE; }
  const char* ClassName() const override { return "TDOMNotation"; }

  DOMString PublicId;
  DOMString SystemId;

protected:
  friend class TDOMDocument;
  TDOMNotation(TDOMDocument* owner, DOMString name) : TDOMNode(owner, false), name_(std::move(name)) {}
  TDOMNode* CloneShallow(bool deep, TDOMDocument* target) override;

private:
  DOMString name_;
};

// A live list of nodes below one node, rebuilt when the document's revision
// has changed since it was last built.
class TDOMNodeList {
public:
  explicit TDOMNodeList(TDOMNode* node);
  virtual ~TDOMNodeList();
  TDOMNodeList(const TDOMNodeList&) = delete;
  TDOMNodeList& operator=(const TDOMNodeList&) = delete;

  uint32_t Length();
  // None when index is not below Length(); a negative index converts to a
  // large unsigned one and also gives none.
  TDOMNode* Item(uint32_t index);
  TDOMNode* Node() const { return node_; }

protected:
  // Verdicts of Classify.
  enum { SKIP_DESCEND = 0, SKIP = 1, ADD_DESCEND = 2, ADD = 3 };
  virtual int Classify(TDOMNode* node) const;
  virtual void Rebuild();

  TDOMNode* node_;
  TDOMDocument* document_;  // outlives the list, unlike node_
  uint32_t revision_;
  std::vector<TDOMNode*> items_;

private:
  void Refresh();
};

class TDOMElementList : public TDOMNodeList {
public:
  TDOMElementList(TDOMNode* node, DOMString tagName);
  TDOMElementList(TDOMNode* node, const DOMString& namespaceURI, DOMString localName);
  ~TDOMElementList() override;

protected:
  int Classify(TDOMNode* node) const override;

private:
  friend class TDOMDocument;
  DOMString tagName_;  // the local name in namespace mode
  bool namespaceMode_ = false;
  int namespaceIndex_ = 0;
  bool anyNamespace_ = false;
  bool matchName_ = true;
  DOMString cacheKey_;
};

// Nodes of one type held in order of CompareNodeName and owned by the map.
class TDOMNamedNodeMap {
public:
  TDOMNamedNodeMap(TDOMNode* owner, uint16_t itemType) : owner_(owner), itemType_(itemType) {}
  virtual ~TDOMNamedNodeMap();
  TDOMNamedNodeMap(const TDOMNamedNodeMap&) = delete;
  TDOMNamedNodeMap& operator=(const TDOMNamedNodeMap&) = delete;

  uint32_t Length() const { return static_cast<uint32_t>(items_.size()); }
  TDOMNode* Item(uint32_t index) const { return index < items_.size() ? items_[index] : nullptr; }
  TDOMNode* GetNamedItem(DOMStringView name) const;
  TDOMNode* SetNamedItem(TDOMNode* node);
  TDOMNode* RemoveNamedItem(DOMStringView name);
  virtual TDOMNode* GetNamedItemNS(const DOMString& namespaceURI, DOMStringView localName) const;
  virtual TDOMNode* SetNamedItemNS(TDOMNode* node);
  virtual TDOMNode* RemoveNamedItemNS(const DOMString& namespaceURI, DOMStringView localName);

  TDOMNode* OwnerNode() const { return owner_; }
  uint16_t ItemType() const { return itemType_; }

protected:
  // Index of an item named name when found is set, else the insertion point.
  std::size_t Find(DOMStringView name, bool& found) const;
  // Raises EDOMError with the code of the first check that fails.
  void CheckNewItem(TDOMNode* node, const char* situation) const;
  // Puts node at index: inserted there, or in place of the item found there,
  // which is returned (an attribute no longer owned).
  TDOMNode* Place(TDOMNode* node, std::size_t index, bool found);
  TDOMNode* TakeItem(std::size_t index);

  TDOMNode* owner_;
  uint16_t itemType_;
  TNodeVector items_;
};

class TAttributeMap : public TDOMNamedNodeMap {
public:
  // The map holds its first few attributes in place (see TNodeVector).
  explicit TAttributeMap(TDOMElement* owner) : TDOMNamedNodeMap(owner, ATTRIBUTE_NODE) {}

  TDOMAttr* Attr(uint32_t index) const { return static_cast<TDOMAttr*>(Item(index)); }
  TDOMNode* GetNamedItemNS(const DOMString& namespaceURI, DOMStringView localName) const override;
  TDOMNode* SetNamedItemNS(TDOMNode* node) override;
  TDOMNode* RemoveNamedItemNS(const DOMString& namespaceURI, DOMStringView localName) override;

private:
  friend class TDOMElement;
  friend class TDOMBuilder;
  // SetNamedItem for a new attribute of the owner's document that no
  // element holds, as the parser makes them: the same order and the same
  // replacement, without the checks and without virtual calls.
  TDOMNode* AddNew(TDOMAttr* attribute);
  // AddNew for an attribute that does not order after the last one.
  TDOMNode* AddInPlace(TDOMAttr* attribute);
  std::ptrdiff_t IndexOfNS(int namespaceIndex, DOMStringView localName) const;
  TDOMElement* Element() const { return static_cast<TDOMElement*>(owner_); }
};

class TDOMDocument : public TDOMNode_WithChildren {
public:
  TDOMDocument();
  ~TDOMDocument() override;

  const DOMString& NodeName() const override;
  uint16_t NodeType() const override { return DOCUMENT_NODE; }
  const char* ClassName() const override { return "TDOMDocument"; }
  DOMString TextContent() const override { return {}; }
  void SetTextContent(const DOMString&) override {}
  TDOMDocument* OwnerDocument() const override { return nullptr; }
  TDOMNode* InsertBefore(TDOMNode* newChild, TDOMNode* refChild) override;
  TDOMNode* ReplaceChild(TDOMNode* newChild, TDOMNode* oldChild) override;

  TDOMElement* DocumentElement() const;
  TDOMDocumentType* DocType() const;

  virtual TDOMElement* CreateElement(const DOMString& tagName);
  virtual TDOMCDATASection* CreateCDATASection(const DOMString& data);
  virtual TDOMProcessingInstruction* CreateProcessingInstruction(const DOMString& target, const DOMString& data);
  virtual TDOMEntityReference* CreateEntityReference(const DOMString& name);
  TDOMText* CreateTextNode(const DOMString& data);
  TDOMComment* CreateComment(const DOMString& data);
  TDOMAttr* CreateAttribute(const DOMString& name);
  TDOMElement* CreateElementNS(const DOMString& namespaceURI, const DOMString& qualifiedName);
  TDOMAttr* CreateAttributeNS(const DOMString& namespaceURI, const DOMString& qualifiedName);

  TDOMDocumentType* CreateDocumentType(const DOMString& name, const DOMString& publicId, const DOMString& systemId);
  TDOMEntity* CreateEntity(const DOMString& name);
  TDOMNotation* CreateNotation(const DOMString& name);

  TDOMElement* GetElementById(DOMStringView id) const;
  // Index of uri in the namespace table; -1 when absent and not added.
  int IndexOfNamespace(DOMStringView uri, bool addIfMissing);
  const DOMString& NamespaceAt(uint16_t index) const {
    return index < kFixedNamespaces ? FixedNamespaces()[index] : namespaces_[index - kFixedNamespaces];
  }

  uint32_t Revision() const { return revision_; }
  // True while the destructor frees every node in place, without Free.
  bool TearingDown() const { return tearingDown_; }
  bool XML11() const { return xml11_; }
  // The list serving every node kind that cannot have children.
  TDOMNodeList* EmptyList();
  DOMString DocumentURI;

  // Bytes of node storage handed out over the document's life; freeing a
  // node does not lower it.
  uint64_t AllocatedNodeBytes() const { return allocatedNodeBytes_; }

protected:
  void SetXML11(bool value) { xml11_ = value; }
  template <typename T, typename... Args>
  T* AllocateNode(Args&&... args);
  // An entity reference filled from the document type's entity of that
  // name, if any, and made read-only; the name is not checked.
  TDOMEntityReference* NewEntityReference(const DOMString& name);

private:
  friend class TDOMNode;
  friend class TDOMNode_WithChildren;
  friend class TDOMNode_NS;
  friend class TDOMElement;
  friend class TDOMElementList;
  friend class TDOMBuilder;

  TNameItem* InternName(DOMStringView name) { return names_->FindOrAdd(name); }
  bool RegisterId(TDOMAttr* attribute);
  void SetNamespaceInfo(TDOMNode_NS* node, DOMStringView uri, uint16_t colonPos);
  const TNodePool* PoolFor(std::size_t nodeSize) const;
  void ReleaseNode(TDOMNode* node);
  // Attribute maps come from a pool of the document's own: an element
  // with attributes then costs no allocation of its own for the map.
  TAttributeMap* NewAttributeMap(TDOMElement* owner);
  void DeleteAttributeMap(TAttributeMap* map);
  static constexpr std::size_t kPoolGranularity = alignof(std::max_align_t);
  static constexpr std::size_t PoolIndex(std::size_t nodeSize) {
    return (nodeSize + kPoolGranularity - 1) / kPoolGranularity;
  }
  // One pool for each size class up to the largest pooled node; a pool
  // costs nothing until its first node.
  static constexpr std::size_t kPoolClasses = (sizeof(TDOMAttr) + kPoolGranularity - 1) / kPoolGranularity + 1;
  template <std::size_t... Index>
  static std::array<TNodePool, sizeof...(Index)> MakePools(std::index_sequence<Index...>) {
    return {TNodePool(Index * kPoolGranularity)...};
  }
  TNodePool* PoolForSize(std::size_t nodeSize) { return &pools_[PoolIndex(nodeSize)]; }
  void BumpRevision() { ++revision_; }
  TDOMElementList* CachedList(DOMString key, TDOMNode* node, const DOMString& name);
  TDOMElementList* CachedListNS(DOMString key, TDOMNode* node, const DOMString& uri, const DOMString& localName);
  void ForgetList(TDOMElementList* list);
  using TListCache = THashTable<TDOMElementList, std::default_delete<TDOMElementList>>;
  TListCache& ListCache();
  void ForgetId(TDOMElement* element);
  TDOMElement* NewElement(TNameItem* name);
  TDOMText* NewText(const DOMChar* chars, std::size_t length, bool ignorableWhitespace);
  // A node of class T (text, CDATA section or comment) with a copy of the
  // units: in the node's own string when they fit there without an
  // allocation, else in the text arena.
  template <typename T>
  T* NewCharacterData(const DOMChar* chars, std::size_t length);

  std::unique_ptr<THashTable<TDOMElement>> idTable_;  // created on first use
  uint32_t revision_ = 0;
  bool xml11_ = false;
  // The namespace table: the three fixed entries are shared by every
  // document, namespaces_ holds the entries from index kFixedNamespaces on.
  static constexpr std::size_t kFixedNamespaces = 3;
  static const DOMString* FixedNamespaces();
  std::vector<DOMString> namespaces_;
  // A small table of names the last document of the thread left (with
  // names of its own that this one may never use), else a new one.
  std::unique_ptr<TNameTable> names_;
  // The element that owns the shared empty list, made on first use.
  class TPlaceholder;
  std::unique_ptr<TPlaceholder> placeholder_;
  std::unique_ptr<TListCache> listCache_;  // created on first use
  // Before the pools: it must outlive every node, whose text may lie in it.
  TTextArena texts_;
  std::array<TNodePool, kPoolClasses> pools_ = MakePools(std::make_index_sequence<kPoolClasses>{});
  std::unordered_set<TDOMNode*> looseNodes_;     // nodes allocated on their own
  std::size_t liveNodes_ = 0;
  uint64_t allocatedNodeBytes_ = 0;
  bool tearingDown_ = false;
  TNodePool mapPool_{sizeof(TAttributeMap)};  // used for Allocate and Release only
};

class TXMLDocument : public TDOMDocument {
public:
  TXMLDocument() = default;
  const char* ClassName() const override { return "TXMLDocument"; }

  TDOMCDATASection* CreateCDATASection(const DOMString& data) override;
  TDOMProcessingInstruction* CreateProcessingInstruction(const DOMString& target, const DOMString& data) override;
  TDOMEntityReference* CreateEntityReference(const DOMString& name) override;

  const DOMString& XMLVersion() const { return xmlVersion_; }
  // "1.1" switches the document's name checks to the XML 1.1 rules.
  void SetXMLVersion(const DOMString& version);
  DOMString StylesheetType;
  DOMString StylesheetHRef;

private:
  DOMString xmlVersion_;
};

// Looks up the namespace bound to prefix, starting at node and going up
// through the ancestor elements; empty when none binds it.
DOMString LookupNamespaceURI(TDOMNode* node, DOMStringView prefix);

// Pre-order walk of the descendants of root (root excluded): the node after
// node, or none at the end. Attributes are not visited.
inline TDOMNode* NextInTree(TDOMNode* node, const TDOMNode* root) {
  if (TDOMNode* child = node->FirstChild()) return child;
  for (TDOMNode* n = node; n != root; n = n->ParentNode()) {
    if (TDOMNode* sibling = n->NextSibling()) return sibling;
  }
  return nullptr;
}

template <typename T, typename... Args>
T* TDOMDocument::AllocateNode(Args&&... args) {
  static_assert(std::is_base_of_v<TDOMNode, T>);
  TNodePool* pool = nullptr;
  void* memory;
  if constexpr (sizeof(T) <= sizeof(TDOMAttr)) {
    static_assert(alignof(T) <= TNodePool::kSlotAlignment, "pool slots are aligned for pointers only");
    pool = PoolForSize(sizeof(T));
    memory = pool->Allocate();
  } else {
    memory = ::operator new(sizeof(T));
  }
  T* node;
  try {
    node = ::new (memory) T(this, std::forward<Args>(args)...);
  } catch (...) {
    if (pool) pool->Release(memory);
    else ::operator delete(memory);
    throw;
  }
  if (!pool) {
    node->ownAllocation_ = true;
    try {
      looseNodes_.insert(node);
    } catch (...) {
      node->~T();
      ::operator delete(memory);
      throw;
    }
  }
  ++liveNodes_;
  allocatedNodeBytes_ += sizeof(T);
  return node;
}

inline TDOMElement* TDOMDocument::NewElement(TNameItem* name) { return AllocateNode<TDOMElement>(name); }

template <typename T>
T* TDOMDocument::NewCharacterData(const DOMChar* chars, std::size_t length) {
  static_assert(sizeof(T) <= sizeof(TDOMAttr), "character data comes from the pools");
  // The most units a string holds in place, without an allocation.
  const std::size_t kInPlaceUnits = DOMString().capacity();
  if (length <= kInPlaceUnits) return AllocateNode<T>(TUnitRun{chars, length});
  return AllocateNode<T>(texts_.Copy(chars, length), length);
}

inline TDOMText* TDOMDocument::NewText(const DOMChar* chars, std::size_t length, bool ignorableWhitespace) {
  TDOMText* text = NewCharacterData<TDOMText>(chars, length);
  if (ignorableWhitespace) text->SetFlag(NODE_IGNORABLE_WHITESPACE, true);
  return text;
}

inline TAttributeMap* TDOMElement::AttributeMap() {
  if (!attributes_) attributes_ = Document()->NewAttributeMap(this);
  return static_cast<TAttributeMap*>(attributes_);
}

inline TDOMNode* TAttributeMap::AddNew(TDOMAttr* attribute) {
  // Attributes mostly come in order: the new one goes last.
  if (!items_.empty() &&
      CompareNames(attribute->NameItem()->Key, static_cast<const TDOMAttr*>(items_.back())->NameItem()->Key) <= 0)
    return AddInPlace(attribute);
  attribute->ownerElement_ = Element();
  items_.push_back(attribute);
  return nullptr;
}

}  // namespace corvandel::xml
