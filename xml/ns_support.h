#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "xml/dom_string.h"
#include "xml/hash_table.h"

namespace corvandel::xml {

struct TBinding;

// An entry of the prefix table: Key is the prefix and Data its binding in
// effect, none when the prefix is not bound.
using TPrefixItem = THashItem<TBinding>;

// One binding of a prefix (or of the default namespace) to a namespace URI.
struct TBinding {
  DOMString URI;
  TBinding* Next = nullptr;               // the next binding made in the same scope
  TBinding* PrevPrefixBinding = nullptr;  // what the prefix was bound to before
  TPrefixItem* PrefixItem = nullptr;

  // The bound prefix; empty for the default namespace.
  const DOMString& Prefix() const { return PrefixItem->Key; }
};

// A stack of namespace prefix bindings, one scope per open element, as the
// writer and the parser need it. The prefix "xml" is bound from the start.
class TNSSupport {
public:
  // Results of CheckAttribute.
  static constexpr int kNothingNeeded = 0;
  static constexpr int kExistingBinding = 1;
  static constexpr int kNewBinding = 2;

  TNSSupport();
  TNSSupport(const TNSSupport&) = delete;
  TNSSupport& operator=(const TNSSupport&) = delete;
  ~TNSSupport();

  // Opens and closes the scope of one element; closing undoes every binding
  // made in the scope. An EndElement without a StartElement does nothing.
  void StartElement();
  void EndElement();

  // Binds prefix to uri in the current scope (the default namespace when
  // either is empty). Returns the new binding, or none when the prefix is
  // already bound to that URI.
  TBinding* DefineBinding(DOMStringView prefix, DOMStringView uri);

  // Works out the prefix under which an attribute in namespace uri, written
  // with the given prefix, can be written. kNothingNeeded: the attribute can
  // be written as it is. kExistingBinding: binding is a binding in effect
  // whose prefix is to be used. kNewBinding: binding was just made, with the
  // attribute's own prefix when that was free or a generated one ("NS1",
  // "NS2", ...), and needs declaring.
  int CheckAttribute(DOMStringView prefix, DOMStringView uri, TBinding*& binding);

  // True when the prefix is bound to a non-empty URI; item receives its entry.
  bool IsPrefixBound(const DOMChar* chars, std::size_t length, TPrefixItem*& item);
  bool IsPrefixBound(DOMStringView prefix) {
    TPrefixItem* item = nullptr;
    return IsPrefixBound(prefix.data(), prefix.size(), item);
  }

  // The entry of a prefix, the default namespace's entry for the empty one.
  TPrefixItem* GetPrefixItem(const DOMChar* chars, std::size_t length);
  TPrefixItem* GetPrefixItem(DOMStringView prefix) { return GetPrefixItem(prefix.data(), prefix.size()); }

  // The binding of the default namespace in effect, or none.
  TBinding* DefaultNamespace() const { return defaultItem_.Data; }

  uint32_t Level() const { return level_; }

private:
  static constexpr std::size_t kInitialScopes = 16;
  static constexpr uint32_t kPrefixTableSize = 256;

  TBinding* MakeBinding(TPrefixItem* item, DOMStringView uri);
  bool IsBindingInEffect(const TBinding* binding) const;

  uint32_t level_ = 0;
  TBinding* freeBindings_ = nullptr;
  std::vector<std::unique_ptr<TBinding>> bindings_;
  std::vector<TBinding*> scopes_;
  THashTable<TBinding> prefixes_;
  TPrefixItem defaultItem_;
  uint32_t generatedPrefixes_ = 0;
};

}  // namespace corvandel::xml
