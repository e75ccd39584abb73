#include "xml/detail/content_model.h"

#include <algorithm>

namespace corvandel::xml {

namespace {

bool IsRequiredGroup(const TContentParticle& group) {
  if (group.Children.empty()) return false;
  // A sequence needs all of its members, so one required member makes it
  // required; a choice is satisfied by any one member, so it can be left out
  // as soon as one of its members can.
  if (group.Kind == TContentParticle::SEQUENCE)
    return std::any_of(group.Children.begin(), group.Children.end(), [](const auto& c) { return IsRequired(*c); });
  return std::all_of(group.Children.begin(), group.Children.end(), [](const auto& c) { return IsRequired(*c); });
}

}  // namespace

bool IsRequired(const TContentParticle& particle) {
  if (particle.Occurrence != TContentParticle::ONCE && particle.Occurrence != TContentParticle::ONE_OR_MORE)
    return false;
  return particle.Kind == TContentParticle::NAME || IsRequiredGroup(particle);
}

TContentParticle* MatchFromStart(TContentParticle& particle, const TDOMElementDef* declaration) {
  if (particle.Kind == TContentParticle::NAME) return particle.Declaration == declaration ? &particle : nullptr;
  for (const auto& child : particle.Children) {
    if (TContentParticle* match = MatchFromStart(*child, declaration)) return match;
    if (particle.Kind == TContentParticle::SEQUENCE && IsRequired(*child)) return nullptr;
  }
  return nullptr;
}

TContentParticle* MatchOnward(TContentParticle& matched, const TDOMElementDef* declaration) {
  for (TContentParticle* current = &matched; current; current = current->Parent) {
    if (current->Occurrence == TContentParticle::ANY_NUMBER || current->Occurrence == TContentParticle::ONE_OR_MORE) {
      if (TContentParticle* match = MatchFromStart(*current, declaration)) return match;
    }
    TContentParticle* parent = current->Parent;
    if (!parent || parent->Kind != TContentParticle::SEQUENCE) continue;
    for (std::size_t i = current->Index + 1; i < parent->Children.size(); ++i) {
      TContentParticle& next = *parent->Children[i];
      if (TContentParticle* match = MatchFromStart(next, declaration)) return match;
      if (IsRequired(next)) return nullptr;
    }
  }
  return nullptr;
}

bool RequiredMemberFollows(const TContentParticle& matched) {
  for (const TContentParticle* current = &matched; current->Parent; current = current->Parent) {
    const TContentParticle& parent = *current->Parent;
    if (parent.Kind != TContentParticle::SEQUENCE) continue;
    for (std::size_t i = current->Index + 1; i < parent.Children.size(); ++i)
      if (IsRequired(*parent.Children[i])) return true;
  }
  return false;
}

}  // namespace corvandel::xml
