// Document type declarations: the internal and external subsets, parameter
// entities, the four kinds of markup declaration, external identifiers,
// declared defaults, and validation of elements and attributes against the
// declarations.

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "runtime/ascii_case.h"
#include "runtime/code_page.h"
#include "runtime/file_stream.h"
#include "xml/detail/content_model.h"
#include "xml/detail/reader_messages.h"
#include "xml/detail/uri_resolver.h"
#include "xml/detail/xml_reader.h"

namespace corvandel::xml {

namespace {

// Content models are matched recursively, one level per group, so a model
// from a hostile document must not nest without end.
constexpr const char* kMsgModelNestingLimit = "Content model groups are nested too deeply";

constexpr DOMStringView kDoctype = u"DOCTYPE";
constexpr DOMStringView kSystem = u"SYSTEM";
constexpr DOMStringView kPublic = u"PUBLIC";
constexpr DOMStringView kNData = u"NDATA";
constexpr DOMStringView kElement = u"ELEMENT";
constexpr DOMStringView kEntity = u"ENTITY";
constexpr DOMStringView kAttlist = u"ATTLIST";
constexpr DOMStringView kNotation = u"NOTATION";
constexpr DOMStringView kInclude = u"INCLUDE";
constexpr DOMStringView kIgnore = u"IGNORE";
constexpr DOMStringView kEmpty = u"EMPTY";
constexpr DOMStringView kAny = u"ANY";
constexpr DOMStringView kPCData = u"#PCDATA";
constexpr DOMStringView kRequired = u"#REQUIRED";
constexpr DOMStringView kImplied = u"#IMPLIED";
constexpr DOMStringView kFixed = u"#FIXED";
constexpr DOMStringView kSectionOpen = u"![";
constexpr DOMStringView kSectionClose = u"]>";
constexpr DOMStringView kIncludeEnd = u"]]>";

constexpr TDelimiterSet kSystemLiteralDelimiters{0, u'"', u'\''};
constexpr TDelimiterSet kPublicLiteralDelimiters{0, u'\n', u'\r', u'"', u'\''};
constexpr TDelimiterSet kEntityValueDelimiters{0, u'"', u'%', u'&', u'\''};
constexpr TDelimiterSet kIgnoredSectionDelimiters{0, u'<', u']'};
constexpr TDelimiterSet kWholeText{0};

// Attribute type keywords, each tried before any keyword it begins with.
struct TTypeKeyword {
  DOMStringView Word;
  uint8_t Type;
};
constexpr TTypeKeyword kAttributeTypes[] = {
    {u"NOTATION", DATATYPE_NOTATION}, {u"NMTOKENS", DATATYPE_NMTOKENS}, {u"NMTOKEN", DATATYPE_NMTOKEN},
    {u"ENTITIES", DATATYPE_ENTITIES}, {u"ENTITY", DATATYPE_ENTITY},     {u"IDREFS", DATATYPE_IDREFS},
    {u"IDREF", DATATYPE_IDREF},       {u"ID", DATATYPE_ID},             {u"CDATA", DATATYPE_CDATA},
};

// An attribute declaration that remembers where it was declared, for the
// standalone checks.
class TDOMAttrDecl final : public TDOMAttrDef {
public:
  TDOMAttrDecl(TDOMDocument* owner, TNameItem* name) : TDOMAttrDef(owner, name) {}
  bool DeclaredOutside = false;
};

std::string Narrow(DOMStringView text) { return runtime::UTF16ToSystem(text); }

std::string CharText(DOMChar c) { return Narrow(DOMStringView(&c, 1)); }

// The index of Position in the source's buffer: Column() counts from LineStart,
// which is itself an index into the buffer.
std::ptrdiff_t BufferIndex(const TXMLCharSource& source) {
  return static_cast<std::ptrdiff_t>(source.Column()) + source.LineStart;
}

// Whether the text being read comes from outside the document entity: the
// external subset, an external parameter entity, or an entity referenced
// from either.
bool IsExternalText(const TXMLCharSource* source) {
  for (; source && source->Parent; source = source->Parent) {
    if (!source->SystemId.empty()) return true;
    if (source->Entity && !source->Entity->SystemId.empty()) return true;
  }
  return false;
}

bool IsPubidChar(DOMChar c) {
  if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')) return true;
  return c == u' ' || c == u'\r' || c == u'\n' || DOMStringView(u"-'()+,./:=?;!*#@$_%").find(c) != DOMStringView::npos;
}

// Calls fn for every space-separated token of an already normalised value.
template <typename Fn>
void ForEachToken(DOMStringView value, Fn&& fn) {
  std::size_t start = 0;
  while (start < value.size()) {
    std::size_t end = value.find(u' ', start);
    if (end == DOMStringView::npos) end = value.size();
    if (end > start) fn(value.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

void TXMLReader::ParseDoctype() {
  // "<!" is already behind.
  if (doc_.State != TDocumentState::Start) FatalError(kMsgMarkupDeclNotAllowed, 2);
  if (settings_.RejectDoctype) FatalError(kMsgDoctypeProhibited, 2);
  ExpectLiteral(kDoctype);
  ExpectWhitespace();
  ExpectName();
  dtd_.Type = doc_.Document->CreateDocumentType(scan_.Name, {}, {});
  doc_.State = TDocumentState::AfterDoctype;
  dtd_.ProcessDeclarations = true;
  dtd_.PERefsAllowed = false;
  // A name swallows any letters after it, so an identifier always follows whitespace.
  if (SkipWhitespace() && ParseExternalId(dtd_.Type->SystemId, dtd_.Type->PublicId, false)) SkipWhitespace();

  if (settings_.DetachDoctype) dtd_.TypeOwned = true;
  else doc_.Document->AppendChild(dtd_.Type);
  doc_.Current = nullptr;

  if (Cur() == u'[') {
    Next();
    TXMLCharSource& subset = *input_.Top;
    subset.Kind = SOURCE_INTERNAL_SUBSET;
    dtd_.SubsetCaptured = BufferIndex(subset);
    dtd_.InternalSubset.clear();
    ParseMarkupDecls();
    CaptureSubset(subset);
    subset.Kind = SOURCE_ORDINARY;
    dtd_.Type->InternalSubset = dtd_.InternalSubset;
    dtd_.InternalSubset.clear();
    ExpectChar(u']');
    SkipWhitespace();
  }
  ExpectChar(u'>');

  if (!dtd_.Type->SystemId.empty()) {
    if (std::unique_ptr<TXMLCharSource> external =
            ResolveExternal(dtd_.Type->SystemId, dtd_.Type->PublicId, input_.Top->GetSystemId())) {
      external->Kind = SOURCE_READ_TO_END;
      PushSource(std::move(external));
      ParseMarkupDecls();
      PopSourceExplicitly();
    } else {
      ValidationError(kMsgUnresolvedSubset);
      if (!doc_.Standalone) dtd_.ProcessDeclarations = false;
    }
  }

  doc_.Current = doc_.Document.get();
  if (settings_.Validate) {
    TDOMNamedNodeMap* notations = dtd_.Type->Notations();
    for (const TForwardRef& ref : validation_.NotationRefs) {
      if (!notations->GetNamedItem(ref.Name))
        ValidationErrorAt(FormatMessage(kMsgNotationNotDeclared, Narrow(ref.Name)), ref.Line, ref.Column);
    }
  }
  validation_.NotationRefs.clear();
  dtd_.Type->SetReadOnly(true);
  for (TDOMNamedNodeMap* map : {dtd_.Type->Entities(), dtd_.Type->Notations()})
    for (uint32_t i = 0; i < map->Length(); ++i) map->Item(i)->SetReadOnly(true);
}

void TXMLReader::CaptureSubset(TXMLCharSource& source) {
  const DOMChar* const base = source.Position - BufferIndex(source);
  // A CR that began a CR LF pair stays in the buffer in front of the LF.
  for (const DOMChar* p = base + dtd_.SubsetCaptured; p < source.Position; ++p)
    if (*p != u'\r') dtd_.InternalSubset.push_back(*p);
  // A reload moves the unconsumed units to the start of the buffer.
  dtd_.SubsetCaptured = 0;
}

void TXMLReader::ParseMarkupDecls() {
  TXMLCharSource* const home = input_.Top;
  const bool internalSubset = home->Kind == SOURCE_INTERNAL_SUBSET;
  uint32_t openIncludes = 0;
  DOMChar c;
  for (;;) {
    dtd_.PERefsAllowed = true;
    SkipWhitespaceInDTD();
    c = Cur();
    if (c == u']' && openIncludes > 0) {
      ExpectLiteral(kIncludeEnd);
      --openIncludes;
      continue;
    }
    if (c != u'<') break;
    const TXMLCharSource* const declSource = input_.Top;
    const TDOMEntityEx* const declEntity = input_.Top->Entity;
    Next();
    if (CheckForChar(u'?')) {
      ParseInstruction();
      continue;
    }
    ExpectChar(u'!');
    if (Cur() == u'-') {
      ParseComment();
      continue;
    }
    if (Cur() == u'[') {
      Next();
      if (ParseConditionalSection()) ++openIncludes;
      continue;
    }
    dtd_.InMarkupDecl = true;
    ++dtd_.MarkupDecl;
    dtd_.PERefsAllowed = IsExternalText(input_.Top);
    if (input_.Top->MatchLiteral(kElement)) ParseElementDecl();
    else if (input_.Top->MatchLiteral(kEntity)) ParseEntityDecl();
    else if (input_.Top->MatchLiteral(kAttlist)) ParseAttlistDecl();
    else if (input_.Top->MatchLiteral(kNotation)) ParseNotationDecl();
    else FatalError(kMsgIllegalMarkupDecl);
    SkipWhitespaceInDTD();
    // A parameter entity opened inside this declaration that holds its ">"
    // ends outside it: improper nesting, but only a validity error. One
    // that ends inside a later declaration is fatal when it ends.
    if (Cur() == u'>' && (input_.Top != declSource || input_.Top->Entity != declEntity)) ValidationError(kMsgPENesting);
    ExpectChar(u'>');
    dtd_.InMarkupDecl = false;
  }
  dtd_.PERefsAllowed = false;
  if (openIncludes > 0) FatalError(kMsgIncludeNotClosed);
  const DOMChar expectedEnd = internalSubset ? u']' : 0;
  if (c != expectedEnd || input_.Top != home) FatalError(kMsgIllegalCharInDTD);
}

bool TXMLReader::ParseConditionalSection() {
  // "<![" is behind.
  const uint32_t startLine = input_.Top->Line;
  const uint32_t startColumn = input_.Top->Column() - 3;
  if (!IsExternalText(input_.Top)) FatalError(kMsgConditionalInInternalSubset, 3);
  SkipWhitespaceInDTD();
  bool include;
  if (input_.Top->MatchLiteral(kInclude)) include = true;
  else if (input_.Top->MatchLiteral(kIgnore)) include = false;
  else FatalError(kMsgExpectedIncludeOrIgnore);
  SkipWhitespaceInDTD();
  ExpectChar(u'[');
  if (include) return true;

  // Ignored sections nest; only their brackets matter.
  uint32_t nesting = 1;
  DOMString skipped;
  for (;;) {
    skipped.clear();
    const DOMChar c = input_.Top->ScanUntil(skipped, kIgnoredSectionDelimiters);
    if (c == 0) FatalErrorAt(kMsgIgnoreNotClosed, startLine, startColumn);
    Next();
    if (c == u'<') {
      if (input_.Top->MatchLiteral(kSectionOpen)) ++nesting;
    } else if (input_.Top->MatchLiteral(kSectionClose) && --nesting == 0) {
      return false;
    }
  }
}

bool TXMLReader::SkipWhitespaceInDTD() {
  bool skipped = false;
  for (;;) {
    if (SkipWhitespace()) skipped = true;
    const DOMChar c = Cur();
    if (c == u'%' && dtd_.PERefsAllowed) {
      // "%" before whitespace marks a parameter entity declaration.
      input_.Top->Ensure(2);
      const DOMChar next = input_.Top->Position[1];
      if (next != u':' && !input_.NameTables->IsNameStartChar(next) && !(input_.XML11 && IsNameHighSurrogate(next)))
        return skipped;
      ParsePEReference();
      skipped = true;
      continue;
    }
    if (c == 0 && input_.Top->Entity && input_.Top->Entity->IsParameterEntity) {
      // Ending inside a declaration that it was not opened in.
      if (dtd_.InMarkupDecl && input_.Top->Entity->OpenedInDecl != dtd_.MarkupDecl) FatalError(kMsgPENesting);
      if (!PopSource()) return skipped;
      // The end of a parameter entity's text separates like whitespace.
      skipped = true;
      continue;
    }
    return skipped;
  }
}

void TXMLReader::ParsePEReference() {
  // At "%".
  Next();
  ExpectName();
  ExpectChar(u';');
  const uint32_t referenceLength = static_cast<uint32_t>(scan_.Name.size() + 2);
  dtd_.PERefsSeen = true;
  auto* entity =
      dtd_.ParameterEntities ? static_cast<TDOMEntityEx*>(dtd_.ParameterEntities->GetNamedItem(scan_.Name)) : nullptr;
  if (!entity) {
    ValidationError(FormatMessage(kMsgUndefinedPE, Narrow(scan_.Name)), referenceLength);
    if (!doc_.Standalone) dtd_.ProcessDeclarations = false;
    return;
  }
  if (!entity->SystemId.empty() && !entity->Prefetched) {
    // An external parameter entity is read whole once and then behaves like an internal one.
    std::unique_ptr<TXMLCharSource> external = ResolveExternal(entity->SystemId, entity->PublicId, entity->BaseId);
    if (!external) {
      ValidationError(FormatMessage(kMsgUnresolvedEntity, Narrow(entity->NodeName())), referenceLength);
      if (!doc_.Standalone) dtd_.ProcessDeclarations = false;
      return;
    }
    external->Kind = SOURCE_READ_TO_END;
    PushSource(std::move(external));
    DOMString text;
    input_.Top->ScanUntil(text, kWholeText);
    PopSourceExplicitly();
    entity->ReplacementText = std::move(text);
    entity->CharLength = static_cast<uint32_t>(entity->ReplacementText.size());
    CountText(entity->ReplacementText.size());
    entity->StartLine = 1;
    entity->StartColumn = 1;
    entity->Prefetched = true;
  }
  uint32_t nesting = 0;
  for (const TXMLCharSource* source = input_.Top; source; source = source->Parent)
    if (source->Entity) ++nesting;
  if (nesting >= settings_.MaxEntityNesting) FatalError(kMsgEntityNestingLimit, referenceLength);
  entity->OpenedBetweenDecls = !dtd_.InMarkupDecl;
  entity->OpenedInDecl = dtd_.InMarkupDecl ? dtd_.MarkupDecl : 0;
  ChargeExpansion(entity);
  PushEntity(entity);
}

bool TXMLReader::ParseExternalId(DOMString& systemId, DOMString& publicId, bool publicIdOnlyAllowed) {
  const auto expectWhitespace = [this] {
    if (!SkipWhitespaceInDTD()) FatalError(kMsgExpectedWhitespace);
  };
  const auto systemLiteral = [this](DOMString& target) {
    const DOMChar quote = ExpectQuote();
    SaveTokenStart();
    target.clear();
    for (;;) {
      const DOMChar c = input_.Top->ScanUntil(target, kSystemLiteralDelimiters);
      if (c == 0) FatalErrorAtToken(kMsgNoClosingQuote);
      Next();
      if (c == quote) return;
      target.push_back(c);
    }
  };
  if (input_.Top->MatchLiteral(kSystem)) {
    expectWhitespace();
    systemLiteral(systemId);
    return true;
  }
  if (!input_.Top->MatchLiteral(kPublic)) return false;
  expectWhitespace();
  const DOMChar quote = ExpectQuote();
  SaveTokenStart();
  DOMString literal;
  for (;;) {
    const DOMChar c = input_.Top->ScanUntil(literal, kPublicLiteralDelimiters);
    if (c == 0) FatalErrorAtToken(kMsgNoClosingQuote);
    Next();
    if (c == quote) break;
    literal.push_back(c == u'\n' || c == u'\r' ? u' ' : c);
  }
  publicId.clear();
  for (const DOMChar c : literal) {
    if (!IsPubidChar(c)) FatalErrorAtToken(kMsgIllegalPublicId);
    if (c == u' ' && (publicId.empty() || publicId.back() == u' ')) continue;
    publicId.push_back(c);
  }
  if (!publicId.empty() && publicId.back() == u' ') publicId.pop_back();

  if (publicIdOnlyAllowed) {
    const bool spaced = SkipWhitespaceInDTD();
    if (Cur() == u'"' || Cur() == u'\'') {
      if (!spaced) FatalError(kMsgExpectedWhitespace);
      systemLiteral(systemId);
    }
  } else {
    expectWhitespace();
    systemLiteral(systemId);
  }
  return true;
}

void TXMLReader::ParseEntityDecl() {
  if (!SkipWhitespaceInDTD()) FatalError(kMsgExpectedWhitespace);
  bool parameter = false;
  if (Cur() == u'%') {
    Next();
    parameter = true;
    if (!SkipWhitespaceInDTD()) FatalError(kMsgExpectedWhitespace);
  }
  const DOMString name = ExpectDeclaredName();

  TDOMEntityEx* entity = Build().Node<TDOMEntityEx>(name);
  entity->IsParameterEntity = parameter;
  entity->DeclaredOutside = IsExternalText(input_.Top);
  entity->BaseId = input_.Top->GetSystemId();
  if (Cur() == u'"' || Cur() == u'\'') {
    ParseEntityValue(entity);
  } else if (ParseExternalId(entity->SystemId, entity->PublicId, false)) {
    if (!parameter && SkipWhitespaceInDTD() && input_.Top->MatchLiteral(kNData)) {
      if (!SkipWhitespaceInDTD()) FatalError(kMsgExpectedWhitespace);
      ExpectName();
      entity->NotationName = scan_.Name;
      validation_.NotationRefs.push_back(
          {scan_.Name, input_.Top->Line, input_.Top->Column() - static_cast<uint32_t>(scan_.Name.size())});
    }
  } else {
    FatalError(kMsgExpectedEntityValue);
  }

  // The first declaration of a name binds; later ones are read and dropped.
  TDOMNamedNodeMap* map = nullptr;
  if (dtd_.ProcessDeclarations) {
    if (parameter) {
      if (!dtd_.ParameterEntities) dtd_.ParameterEntities = std::make_unique<TDOMNamedNodeMap>(dtd_.Type, ENTITY_NODE);
      map = dtd_.ParameterEntities.get();
    } else {
      map = dtd_.Type->Entities();
    }
  }
  if (map && !map->GetNamedItem(name)) map->SetNamedItem(entity);
  else entity->Free();
}

void TXMLReader::ParseEntityValue(TDOMEntityEx* entity) {
  const DOMChar quote = ExpectQuote();
  SaveTokenStart();
  entity->StartLine = input_.Top->Line;
  entity->StartColumn = input_.Top->Column();
  TXMLCharSource* const home = input_.Top;
  scan_.EntityValue.clear();
  for (;;) {
    const DOMChar c = input_.Top->ScanUntil(scan_.EntityValue, kEntityValueDelimiters);
    if (c == quote && input_.Top == home) {
      Next();
      break;
    }
    switch (c) {
      case 0:
        // A parameter entity's text ends inside the value; the value goes on after the reference.
        if (input_.Top != home && PopSource()) continue;
        FatalErrorAtToken(kMsgNoClosingQuote);
      case u'%':
        if (!IsExternalText(input_.Top)) FatalError(kMsgPEInInternalSubset);
        ParsePEReference();
        break;
      case u'&':
        Next();
        if (CheckForChar(u'#')) {
          ParseCharRef(scan_.EntityValue);
        } else {
          // General entities are expanded where the entity is used, not here.
          ExpectName();
          ExpectChar(u';');
          scan_.EntityValue.push_back(u'&');
          scan_.EntityValue += scan_.Name;
          scan_.EntityValue.push_back(u';');
        }
        break;
      default:
        scan_.EntityValue.push_back(c);
        Next();
        break;
    }
  }
  entity->ReplacementText = scan_.EntityValue;
  entity->CharLength = static_cast<uint32_t>(scan_.EntityValue.size());
  CountText(scan_.EntityValue.size());
}

TDOMElementDef* TXMLReader::FindOrCreateElementDef(DOMStringView name) {
  TNameItem* item = Build().InternName(name);
  if (!item->Data) item->Data = Build().Node<TDOMElementDef>(item);
  return static_cast<TDOMElementDef*>(item->Data);
}

void TXMLReader::ParseElementDecl() {
  if (!SkipWhitespaceInDTD()) FatalError(kMsgExpectedWhitespace);
  ExpectName();
  TDOMElementDef* const declaration = FindOrCreateElementDef(scan_.Name);
  const bool duplicate = declaration->ContentType != CONTENT_UNDECLARED;
  if (duplicate)
    ValidationError(FormatMessage(kMsgDuplicateElementDecl, Narrow(scan_.Name)),
                    static_cast<uint32_t>(scan_.Name.size()));
  if (!SkipWhitespaceInDTD()) FatalError(kMsgExpectedWhitespace);

  const auto readOccurrence = [this](TContentParticle& particle) {
    switch (Cur()) {
      case u'?': particle.Occurrence = TContentParticle::OPTIONAL; break;
      case u'*': particle.Occurrence = TContentParticle::ANY_NUMBER; break;
      case u'+': particle.Occurrence = TContentParticle::ONE_OR_MORE; break;
      default: return;
    }
    Next();
  };
  // A group must close in the text it opened in.
  struct TOpenGroup {
    TContentParticle* Group;
    DOMChar Separator;
    const TXMLCharSource* Source;
    const TDOMEntityEx* Entity;
  };
  const auto checkGroupNesting = [this](const TOpenGroup& group) {
    if (input_.Top != group.Source || input_.Top->Entity != group.Entity) ValidationError(kMsgPENesting);
  };

  uint8_t contentType;
  std::unique_ptr<TContentParticle> model;
  if (input_.Top->MatchLiteral(kEmpty)) {
    contentType = CONTENT_EMPTY;
  } else if (input_.Top->MatchLiteral(kAny)) {
    contentType = CONTENT_ANY;
  } else if (Cur() == u'(') {
    model = std::make_unique<TContentParticle>();
    const TOpenGroup outer{model.get(), 0, input_.Top, input_.Top->Entity};
    Next();
    SkipWhitespaceInDTD();
    if (input_.Top->MatchLiteral(kPCData)) {
      contentType = CONTENT_MIXED;
      model->Kind = TContentParticle::CHOICE;
      model->Occurrence = TContentParticle::ANY_NUMBER;
      bool named = false;
      for (;;) {
        SkipWhitespaceInDTD();
        if (!CheckForChar(u'|')) break;
        SkipWhitespaceInDTD();
        ExpectName();
        TDOMElementDef* member = FindOrCreateElementDef(scan_.Name);
        const bool listed = std::any_of(model->Children.begin(), model->Children.end(),
                                        [member](const auto& c) { return c->Declaration == member; });
        if (listed) ValidationError(kMsgDuplicateMixedToken, static_cast<uint32_t>(scan_.Name.size()));
        else model->Add(TContentParticle::NAME)->Declaration = member;
        named = true;
      }
      if (Cur() == u')') checkGroupNesting(outer);
      ExpectChar(u')');
      if (named) ExpectChar(u'*');
      else CheckForChar(u'*');
    } else {
      contentType = CONTENT_ELEMENTS;
      model->Kind = TContentParticle::SEQUENCE;
      // Groups are kept on an explicit stack so that nesting costs no call depth here.
      std::vector<TOpenGroup> open{outer};
      while (!open.empty()) {
        SkipWhitespaceInDTD();
        if (Cur() == u'(') {
          if (open.size() >= settings_.MaxContentModelNesting) FatalError(kMsgModelNestingLimit);
          TContentParticle* group = open.back().Group->Add(TContentParticle::SEQUENCE);
          open.push_back({group, 0, input_.Top, input_.Top->Entity});
          Next();
          continue;
        }
        ExpectName();
        TContentParticle* particle = open.back().Group->Add(TContentParticle::NAME);
        particle->Declaration = FindOrCreateElementDef(scan_.Name);
        readOccurrence(*particle);
        // Separators and the groups that close after this particle.
        for (;;) {
          SkipWhitespaceInDTD();
          TOpenGroup& group = open.back();
          const DOMChar c = Cur();
          if (c == u')') {
            checkGroupNesting(group);
            Next();
            readOccurrence(*group.Group);
            open.pop_back();
            if (open.empty()) break;
            continue;
          }
          if (c != u'|' && c != u',') FatalError(kMsgExpectedPipeOrComma);
          if (group.Separator == 0) {
            group.Separator = c;
            group.Group->Kind = c == u'|' ? TContentParticle::CHOICE : TContentParticle::SEQUENCE;
          } else if (c != group.Separator) {
            FatalError(FormatMessage(kMsgExpectedChar, CharText(group.Separator)));
          }
          Next();
          break;
        }
      }
    }
  } else {
    FatalError(kMsgInvalidContentSpec);
  }

  if (dtd_.ProcessDeclarations && !duplicate) {
    declaration->ContentType = contentType;
    declaration->Model = std::move(model);
    declaration->DeclaredOutside = IsExternalText(input_.Top);
  }
}

namespace {

// Whether value, normalised already, fits the declared type; the entity and
// ID rules that need the document are checked by the caller.
bool FitsType(const TDOMAttrDef& declaration, DOMStringView value, bool xml11, bool namespaceAware) {
  const auto isName = [&](DOMStringView token) {
    return IsValidName(token, xml11) && !(namespaceAware && token.find(u':') != DOMStringView::npos);
  };
  const auto isNameList = [&](DOMStringView list) {
    if (!IsValidNameList(list, xml11)) return false;
    bool ok = true;
    ForEachToken(list, [&](DOMStringView token) { ok = ok && isName(token); });
    return ok;
  };
  switch (declaration.DataType()) {
    case DATATYPE_ID:
    case DATATYPE_IDREF:
    case DATATYPE_ENTITY: return isName(value);
    case DATATYPE_IDREFS:
    case DATATYPE_ENTITIES: return isNameList(value);
    case DATATYPE_NMTOKEN: return IsValidNmtoken(value, xml11) && declaration.IsAllowedValue(value);
    case DATATYPE_NMTOKENS: return IsValidNmtokenList(value, xml11);
    case DATATYPE_NOTATION: return declaration.IsAllowedValue(value);
    default: return true;
  }
}

}  // namespace

void TXMLReader::ParseAttlistDecl() {
  if (!SkipWhitespaceInDTD()) FatalError(kMsgExpectedWhitespace);
  ExpectName();
  TDOMElementDef* const element = FindOrCreateElementDef(scan_.Name);
  for (;;) {
    const bool spaced = SkipWhitespaceInDTD();
    if (Cur() == u'>') return;
    if (!spaced) FatalError(kMsgExpectedWhitespace);
    ExpectName();
    const DOMString attributeName = scan_.Name;
    // Only the first declaration of an attribute binds.
    const bool isNew = dtd_.ProcessDeclarations && !element->GetAttributeNode(attributeName);
    TDOMAttrDecl* const declaration = Build().Node<TDOMAttrDecl>(Build().InternName(attributeName));
    declaration->DeclaredOutside = IsExternalText(input_.Top);
    if (!SkipWhitespaceInDTD()) FatalError(kMsgExpectedWhitespace);

    uint8_t type = DATATYPE_NMTOKEN;
    const auto tokenList = [&](const char* duplicateMessage, bool notations) {
      ExpectChar(u'(');
      for (;;) {
        SkipWhitespaceInDTD();
        ExpectName(!notations);
        if (!declaration->AddAllowedValue(scan_.Name.data(), scan_.Name.size()))
          ValidationError(duplicateMessage, static_cast<uint32_t>(scan_.Name.size()));
        if (notations)
          validation_.NotationRefs.push_back(
              {scan_.Name, input_.Top->Line, input_.Top->Column() - static_cast<uint32_t>(scan_.Name.size())});
        SkipWhitespaceInDTD();
        if (CheckForChar(u')')) return;
        ExpectChar(u'|');
      }
    };
    if (Cur() == u'(') {
      tokenList(kMsgDuplicateEnumToken, false);
    } else {
      const TTypeKeyword* keyword = nullptr;
      for (const TTypeKeyword& candidate : kAttributeTypes) {
        if (input_.Top->MatchLiteral(candidate.Word)) {
          keyword = &candidate;
          break;
        }
      }
      const uint32_t keywordLength = keyword ? static_cast<uint32_t>(keyword->Word.size()) : 0;
      if (!keyword || Cur() >= u'A')
        FatalError(FormatMessage(kMsgIllegalAttributeType, Narrow(attributeName)), keywordLength);
      type = keyword->Type;
      if (type == DATATYPE_ID && isNew && element->IdAttribute) ValidationError(kMsgOneIdAttribute);
      if (type == DATATYPE_NOTATION) {
        if (isNew && element->NotationAttribute) ValidationError(kMsgOneNotationAttribute);
        if (element->ContentType == CONTENT_EMPTY) ValidationError(kMsgNotationOnEmpty);
        if (!SkipWhitespaceInDTD()) FatalError(kMsgExpectedWhitespace);
        tokenList(kMsgDuplicateNotationToken, true);
      }
    }
    declaration->SetDataType(type);
    if (!SkipWhitespaceInDTD()) FatalError(kMsgExpectedWhitespace);

    uint8_t defaultKind = DEFAULT_VALUE;
    if (input_.Top->MatchLiteral(kRequired)) {
      defaultKind = DEFAULT_REQUIRED;
    } else if (input_.Top->MatchLiteral(kImplied)) {
      defaultKind = DEFAULT_IMPLIED;
    } else {
      if (input_.Top->MatchLiteral(kFixed)) {
        defaultKind = DEFAULT_FIXED;
        if (!SkipWhitespaceInDTD()) FatalError(kMsgExpectedWhitespace);
      }
      ParseAttributeValue(declaration);
      if (settings_.Validate) {
        if (type == DATATYPE_ID) ValidationError(kMsgIdWithDefault);
        else if (!FitsType(*declaration, declaration->NodeValue(), input_.XML11, settings_.NamespaceAware))
          ValidationError(FormatMessage(kMsgDefaultWrongSyntax, Narrow(attributeName)));
      }
    }
    declaration->SetDefault(defaultKind);

    if (isNew) {
      element->SetAttributeNode(declaration);
      if (type == DATATYPE_ID && !element->IdAttribute) element->IdAttribute = declaration;
      if (type == DATATYPE_NOTATION && !element->NotationAttribute) element->NotationAttribute = declaration;
    } else {
      declaration->Free();
    }
  }
}

DOMString TXMLReader::ExpectDeclaredName() {
  ExpectName();
  if (settings_.NamespaceAware && scan_.ColonPos >= 0)
    FatalError(kMsgColonInName, static_cast<uint32_t>(scan_.Name.size()));
  DOMString name = scan_.Name;
  if (!SkipWhitespaceInDTD()) FatalError(kMsgExpectedWhitespace);
  return name;
}

void TXMLReader::ParseNotationDecl() {
  if (!SkipWhitespaceInDTD()) FatalError(kMsgExpectedWhitespace);
  const DOMString name = ExpectDeclaredName();
  DOMString systemId, publicId;
  if (!ParseExternalId(systemId, publicId, true)) FatalError(kMsgExpectedExternalOrPublicId);
  if (!dtd_.ProcessDeclarations) return;
  TDOMNamedNodeMap* notations = dtd_.Type->Notations();
  if (notations->GetNamedItem(name)) {
    ValidationError(FormatMessage(kMsgDuplicateNotation, Narrow(name)));
    return;
  }
  TDOMNotation* notation = doc_.Document->CreateNotation(name);
  notation->SystemId = std::move(systemId);
  notation->PublicId = std::move(publicId);
  notations->SetNamedItem(notation);
}

std::unique_ptr<TXMLCharSource> TXMLReader::ResolveExternal(const DOMString& systemId, const DOMString& publicId,
                                                            const DOMString& baseId) {
  (void)publicId;  // public identifiers name no file here
  // A document from elsewhere must not make the reader open this machine's files.
  if (!settings_.ResolveExternals || systemId.empty()) return nullptr;
  TUri uri;
  if (!ResolveUri(systemId, baseId, uri)) return nullptr;
  const std::string fileName = LocalFileName(uri);
  if (fileName.empty()) return nullptr;
  // Only regular files: opening a FIFO or a device could block or never end.
  struct stat status {};
  if (::stat(fileName.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
  try {
    auto source = std::make_unique<TXMLStreamInputSource>(
        std::make_unique<runtime::TFileStream>(fileName, runtime::TFileMode::OpenRead));
    source->SystemId = ComposeUri(uri);
    return source;
  } catch (const runtime::EStreamError&) {
    return nullptr;
  }
}

void TXMLReader::ApplyDefaults(TDOMElement* element, TDOMElementDef* declaration) {
  if (!declaration->HasAttributes()) return;
  TDOMNamedNodeMap* declarations = declaration->Attributes();
  for (uint32_t i = 0; i < declarations->Length(); ++i) {
    auto* attributeDecl = static_cast<TDOMAttrDecl*>(declarations->Item(i));
    if (attributeDecl->ElementMark == doc_.ElementCounter) continue;  // given in the tag
    switch (attributeDecl->Default()) {
      case DEFAULT_VALUE:
      case DEFAULT_FIXED: {
        auto* attribute = static_cast<TDOMAttr*>(attributeDecl->CloneNode(true));
        element->SetAttributeNode(attribute);
        // Every element of the name gets its own copy of the value.
        CountText(attribute->NodeValue().size());
        if (doc_.Standalone && attributeDecl->DeclaredOutside) ValidationError(kMsgStandaloneValidity);
        if (attribute->DataType() == DATATYPE_ID) {
          if (!Build().RegisterId(attribute))
            ValidationError(FormatMessage(kMsgIdNotUnique, Narrow(attribute->NodeValue())));
        } else if (settings_.Validate &&
                   (attribute->DataType() == DATATYPE_IDREF || attribute->DataType() == DATATYPE_IDREFS)) {
          ForEachToken(attribute->NodeValue(), [this](DOMStringView token) {
            validation_.IdRefs.push_back({DOMString(token), input_.Top->Line, input_.Top->Column()});
          });
        }
        break;
      }
      case DEFAULT_REQUIRED:
        ValidationError(FormatMessage(kMsgRequiredAttributeMissing, Narrow(attributeDecl->NodeName()),
                                      Narrow(element->NodeName())));
        break;
      default: break;
    }
  }
}

void TXMLReader::CheckDeclaredAttribute(TDOMAttr* attribute, TDOMAttrDef* declaration) {
  const uint8_t type = declaration->DataType();
  attribute->SetDataType(type);
  const DOMString value = attribute->NodeValue();
  if (type == DATATYPE_ID && !Build().RegisterId(attribute))
    ValidationError(FormatMessage(kMsgIdNotUnique, Narrow(value)));
  if (!settings_.Validate) return;

  const std::string name = Narrow(attribute->NodeName());
  if (doc_.Standalone && static_cast<TDOMAttrDecl*>(declaration)->DeclaredOutside && attribute->TextContent() != value)
    ValidationError(kMsgStandaloneValidity);
  if (declaration->Default() == DEFAULT_FIXED && value != declaration->NodeValue())
    ValidationError(FormatMessage(kMsgFixedMismatch, name));

  bool fits = FitsType(*declaration, value, input_.XML11, settings_.NamespaceAware);
  if (fits && (type == DATATYPE_ENTITY || type == DATATYPE_ENTITIES)) {
    // Only unparsed entities may be named.
    TDOMNamedNodeMap* entities = dtd_.Type ? dtd_.Type->Entities() : nullptr;
    ForEachToken(value, [&](DOMStringView token) {
      const auto* entity = entities ? static_cast<const TDOMEntityEx*>(entities->GetNamedItem(token)) : nullptr;
      if (!entity || entity->NotationName.empty()) fits = false;
    });
  }
  if (!fits) ValidationError(FormatMessage(kMsgAttributeTypeMismatch, name));
  if (type == DATATYPE_IDREF || type == DATATYPE_IDREFS) {
    ForEachToken(value, [this](DOMStringView token) {
      validation_.IdRefs.push_back({DOMString(token), input_.Top->Line, input_.Top->Column()});
    });
  }
}

void TXMLReader::PushDeclaredFrame(TDOMElement* element, TDOMElementDef* declaration) {
  std::vector<TValidationFrame>& frames = validation_.Frames;
  if (frames.size() <= doc_.Depth) frames.resize(std::max(kInitialFrames, frames.size() * 2));
  frames[doc_.Depth] = TValidationFrame{element, declaration, nullptr, false};
  UpdateContentType();
}

void TXMLReader::UpdateContentType() {
  const std::vector<TValidationFrame>& frames = validation_.Frames;
  const TDOMElementDef* declaration = doc_.Depth < frames.size() ? frames[doc_.Depth].Declaration : nullptr;
  if (settings_.Validate && declaration) {
    validation_.ContentType = declaration->ContentType;
    validation_.StandaloneSensitive = doc_.Standalone && declaration->DeclaredOutside;
  } else {
    validation_.ContentType = CONTENT_ANY;
    validation_.StandaloneSensitive = false;
  }
}

bool TXMLReader::ValidateChild(TDOMElementDef* declaration) {
  if (!declaration || doc_.Depth >= validation_.Frames.size()) return true;
  TValidationFrame& frame = validation_.Frames[doc_.Depth];
  const TDOMElementDef* parent = frame.Declaration;
  if (!parent) return true;
  switch (parent->ContentType) {
    case CONTENT_EMPTY: return false;
    case CONTENT_MIXED:
      return parent->Model && std::any_of(parent->Model->Children.begin(), parent->Model->Children.end(),
                                          [declaration](const auto& c) { return c->Declaration == declaration; });
    case CONTENT_ELEMENTS: {
      if (!parent->Model) return true;
      TContentParticle* match = frame.Particle ? MatchOnward(*frame.Particle, declaration)
                                               : MatchFromStart(*parent->Model, declaration);
      if (match) {
        frame.Particle = match;
        return true;
      }
      frame.Failed = true;
      return false;
    }
    default: return true;
  }
}

bool TXMLReader::ContentIncomplete() {
  if (doc_.Depth >= validation_.Frames.size()) return false;
  const TValidationFrame& frame = validation_.Frames[doc_.Depth];
  const TDOMElementDef* declaration = frame.Declaration;
  if (!declaration || declaration->ContentType != CONTENT_ELEMENTS || !declaration->Model || frame.Failed)
    return false;
  if (!frame.Particle) return IsRequired(*declaration->Model);
  return RequiredMemberFollows(*frame.Particle);
}

void TXMLReader::CheckIdReferences() {
  for (const TForwardRef& ref : validation_.IdRefs) {
    if (!doc_.Document->GetElementById(ref.Name))
      ValidationErrorAt(FormatMessage(kMsgIdNotFound, Narrow(ref.Name)), ref.Line, ref.Column);
  }
  validation_.IdRefs.clear();
}

}  // namespace corvandel::xml
