#pragma once

// Matching a child element against a declared content model, one child at
// a time: the model is a tree of particles (names, sequences and choices,
// each with its occurrence), and validation keeps the particle that the
// last child matched.

#include "xml/detail/dtd_nodes.h"

namespace corvandel::xml {

// Whether particle must occur: it occurs once or one or more times, and is
// a name, a sequence with a required member, or a choice of required members.
bool IsRequired(const TContentParticle& particle);
// The name particle for declaration reached from the start of particle, or
// null. Recurses one level per group.
TContentParticle* MatchFromStart(TContentParticle& particle, const TDOMElementDef* declaration);
// The name particle for declaration that may follow the particle matched
// last, or null.
TContentParticle* MatchOnward(TContentParticle& matched, const TDOMElementDef* declaration);
// Whether a required member follows the particle matched last, so that the
// content would end too early.
bool RequiredMemberFollows(const TContentParticle& matched);

}  // namespace corvandel::xml
