#include "xml/ns_support.h"

#include <string>

namespace corvandel::xml {

namespace {

constexpr DOMStringView kXmlPrefix = u"xml";
constexpr DOMStringView kXmlNamespaceURI = u"http://www.w3.org/XML/1998/namespace";
constexpr DOMStringView kGeneratedPrefixStem = u"NS";

DOMString GeneratedPrefix(uint32_t number) {
  DOMString prefix(kGeneratedPrefixStem);
  for (char digit : std::to_string(number)) prefix += static_cast<DOMChar>(digit);
  return prefix;
}

}  // namespace

TNSSupport::TNSSupport() : scopes_(kInitialScopes, nullptr), prefixes_(kPrefixTableSize) {
  MakeBinding(prefixes_.FindOrAdd(kXmlPrefix), kXmlNamespaceURI);
}

TNSSupport::~TNSSupport() = default;

void TNSSupport::StartElement() {
  ++level_;
  if (level_ >= scopes_.size()) scopes_.resize(std::size_t{2} * level_, nullptr);
}

void TNSSupport::EndElement() {
  // Level 0 is no element's scope: it holds the binding of "xml", which an
  // unmatched EndElement must not undo.
  if (level_ == 0) return;
  TBinding*& scope = scopes_[level_];
  while (TBinding* binding = scope) {
    scope = binding->Next;
    binding->PrefixItem->Data = binding->PrevPrefixBinding;
    binding->PrevPrefixBinding = nullptr;
    binding->PrefixItem = nullptr;
    binding->URI.clear();
    binding->Next = freeBindings_;
    freeBindings_ = binding;
  }
  --level_;
}

TBinding* TNSSupport::MakeBinding(TPrefixItem* item, DOMStringView uri) {
  TBinding* binding = freeBindings_;
  if (binding) {
    freeBindings_ = binding->Next;
  } else {
    bindings_.push_back(std::make_unique<TBinding>());
    binding = bindings_.back().get();
  }
  binding->Next = scopes_[level_];
  scopes_[level_] = binding;
  binding->URI.assign(uri);
  binding->PrefixItem = item;
  binding->PrevPrefixBinding = item->Data;
  item->Data = binding;
  return binding;
}

TBinding* TNSSupport::DefineBinding(DOMStringView prefix, DOMStringView uri) {
  TPrefixItem* item = prefix.empty() || uri.empty() ? &defaultItem_ : prefixes_.FindOrAdd(prefix);
  if (item->Data && item->Data->URI == uri) return nullptr;
  return MakeBinding(item, uri);
}

bool TNSSupport::IsBindingInEffect(const TBinding* binding) const {
  return binding->PrefixItem->Data == binding;
}

int TNSSupport::CheckAttribute(DOMStringView prefix, DOMStringView uri, TBinding*& binding) {
  binding = nullptr;
  if (prefix.empty() && uri.empty()) return kNothingNeeded;

  TPrefixItem* ownItem = nullptr;
  const bool ownPrefixBound = !prefix.empty() && IsPrefixBound(prefix.data(), prefix.size(), ownItem);
  if (ownPrefixBound && ownItem->Data->URI == uri) return kNothingNeeded;

  // Reuse a prefix already declared for this URI, newest scope first. A
  // binding that a nested scope has overridden no longer means this URI.
  for (uint32_t level = level_ + 1; level-- > 0;) {
    for (TBinding* candidate = scopes_[level]; candidate; candidate = candidate->Next) {
      if (candidate->PrefixItem != &defaultItem_ && candidate->URI == uri && IsBindingInEffect(candidate)) {
        binding = candidate;
        return kExistingBinding;
      }
    }
  }

  TPrefixItem* item = ownItem;
  if (prefix.empty() || ownPrefixBound) {
    for (;;) {
      const DOMString generated = GeneratedPrefix(++generatedPrefixes_);
      if (!IsPrefixBound(generated.data(), generated.size(), item)) break;
    }
  }
  binding = MakeBinding(item, uri);
  return kNewBinding;
}

bool TNSSupport::IsPrefixBound(const DOMChar* chars, std::size_t length, TPrefixItem*& item) {
  item = prefixes_.FindOrAdd(chars, length);
  return item->Data && !item->Data->URI.empty();
}

TPrefixItem* TNSSupport::GetPrefixItem(const DOMChar* chars, std::size_t length) {
  return length > 0 ? prefixes_.FindOrAdd(chars, length) : &defaultItem_;
}

}  // namespace corvandel::xml
