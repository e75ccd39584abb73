#pragma once

// Nodes the reader makes for document type declarations.

#include <cstdint>
#include <memory>
#include <vector>

#include "xml/dom.h"

namespace corvandel::xml {

class TDOMElementDef;

// Content types of an element declaration.
enum : uint8_t {
  CONTENT_UNDECLARED = 0,
  CONTENT_ANY = 1,
  CONTENT_EMPTY = 2,
  CONTENT_MIXED = 3,
  CONTENT_ELEMENTS = 4,
};

// Attribute types beyond CDATA and ID.
enum : uint8_t {
  DATATYPE_IDREF = 2,
  DATATYPE_IDREFS = 3,
  DATATYPE_ENTITY = 4,
  DATATYPE_ENTITIES = 5,
  DATATYPE_NMTOKEN = 6,  // also enumerations, which list their allowed values
  DATATYPE_NMTOKENS = 7,
  DATATYPE_NOTATION = 8,
};

// One node of an element's content model.
struct TContentParticle {
  enum : uint8_t { NAME = 0, CHOICE = 1, SEQUENCE = 2 };
  enum : uint8_t { ONCE = 0, OPTIONAL = 1, ANY_NUMBER = 2, ONE_OR_MORE = 3 };

  TContentParticle* Parent = nullptr;
  std::vector<std::unique_ptr<TContentParticle>> Children;
  uint32_t Index = 0;  // position among the parent's children
  uint8_t Kind = NAME;
  uint8_t Occurrence = ONCE;
  TDOMElementDef* Declaration = nullptr;  // for a name particle

  TContentParticle* Add(uint8_t kind) {
    auto child = std::make_unique<TContentParticle>();
    child->Parent = this;
    child->Index = static_cast<uint32_t>(Children.size());
    child->Kind = kind;
    Children.push_back(std::move(child));
    return Children.back().get();
  }
};

// The declaration of an element name, kept as the data of the name's entry
// in the document's name table. Its attribute declarations are its
// attributes.
class TDOMElementDef : public TDOMElement {
public:
  TDOMElementDef(TDOMDocument* owner, TNameItem* name) : TDOMElement(owner, name) {}
  const char* ClassName() const override { return "TDOMElementDef"; }

  bool DeclaredOutside = false;  // outside the internal subset
  uint8_t ContentType = CONTENT_UNDECLARED;
  TDOMAttrDef* IdAttribute = nullptr;
  TDOMAttrDef* NotationAttribute = nullptr;
  std::unique_ptr<TContentParticle> Model;
};

// An entity declared in a DTD, general or parameter.
class TDOMEntityEx : public TDOMEntity {
public:
  TDOMEntityEx(TDOMDocument* owner, DOMString name) : TDOMEntity(owner, std::move(name)) {}
  const char* ClassName() const override { return "TDOMEntityEx"; }

  bool DeclaredOutside = false;   // outside the internal subset
  bool Prefetched = false;        // an external parameter entity read into memory
  bool ContentParsed = false;     // the replacement text is parsed into the children
  bool BeingExpanded = false;
  bool OpenedBetweenDecls = false;
  uint64_t OpenedInDecl = 0;      // the markup declaration it was opened in; 0 between them
  bool IsParameterEntity = false;
  DOMString ReplacementText;
  DOMString BaseId;               // the system identifier of the declaring text
  uint32_t StartLine = 1;         // where the literal value began
  uint32_t StartColumn = 1;
  uint32_t CharLength = 0;        // the replacement text's length in units
  uint64_t SubtreeBytes = 0;      // node storage below the entity once its content is parsed
  uint64_t SubtreeUnits = 0;      // code units of text stored below it
};

}  // namespace corvandel::xml
