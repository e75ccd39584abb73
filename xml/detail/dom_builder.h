#pragma once

// The parser's side of the document model: creation without the checks of
// the public Create* methods, for names and trees the parser has checked
// itself, and the document tables the parser fills (names, IDs, namespace
// information). Internal to the XML library and its tests.

#include <cstddef>
#include <cstdint>
#include <utility>

#include "xml/dom.h"

namespace corvandel::xml {

// A handle on one document; it owns nothing and copies freely.
class TDOMBuilder {
public:
  explicit TDOMBuilder(TDOMDocument& document) : document_(&document) {}

  // ---- names
  // The document's name table; an entry's Data holds the element
  // declaration of its name, which the table owns.
  TNameTable& Names() const { return *document_->names_; }
  TNameItem* InternName(DOMStringView name) const { return document_->InternName(name); }

  // ---- nodes, unattached; names are taken as given
  TDOMElement* Element(TNameItem* name) const { return document_->NewElement(name); }
  TDOMElement* Element(const DOMChar* chars, std::size_t length) const;
  // Attributes come out specified.
  TDOMAttr* Attribute(TNameItem* name) const {
    TDOMAttr* attribute = document_->AllocateNode<TDOMAttr>(name);
    attribute->SetSpecified(true);
    return attribute;
  }
  // Gives element a new attribute made here, as SetNamedItem would: the
  // attribute of the same name that it replaces is returned.
  static TDOMNode* AddAttribute(TDOMElement* element, TDOMAttr* attribute) {
    return element->AttributeMap()->AddNew(attribute);
  }
  TDOMAttrDef* AttributeDef(const DOMChar* chars, std::size_t length) const;
  TDOMText* Text(const DOMChar* chars, std::size_t length, bool ignorableWhitespace) const {
    return document_->NewText(chars, length, ignorableWhitespace);
  }
  TDOMCDATASection* CDATASection(const DOMChar* chars, std::size_t length) const;
  TDOMComment* Comment(const DOMChar* chars, std::size_t length) const;
  TDOMProcessingInstruction* ProcessingInstruction(const DOMString& target, const DOMString& data) const;
  // Filled with copies of the children of the entity of that name in the
  // document type, if there is one, and made read-only.
  TDOMEntityReference* EntityReference(const DOMString& name) const;
  // A node of a class derived outside the document model, such as the
  // reader's declarations; its constructor takes the document first.
  template <typename T, typename... Args>
  T* Node(Args&&... args) const {
    return document_->AllocateNode<T>(std::forward<Args>(args)...);
  }

  // Links an unattached node of the same document as parent's last child,
  // without any check and without a new revision: node lists made before
  // do not see it. For trees known to be valid while they are built.
  static void Append(TDOMNode_WithChildren* parent, TDOMNode* child) { parent->AppendUnchecked(child); }

  // ---- document tables
  // Enters the attribute's value in the ID table; false when it is there.
  bool RegisterId(TDOMAttr* attribute) const { return document_->RegisterId(attribute); }
  void SetNamespaceInfo(TDOMNode_NS* node, DOMStringView uri, uint16_t colonPos) const {
    document_->SetNamespaceInfo(node, uri, colonPos);
  }

  // ---- statistics of the node pools, for tests and measurements
  const TNodePool* PoolFor(std::size_t nodeSize) const { return document_->PoolFor(nodeSize); }
  std::size_t LiveNodeCount() const { return document_->liveNodes_; }

private:
  TDOMDocument* document_;
};

}  // namespace corvandel::xml
