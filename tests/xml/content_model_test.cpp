#include "xml/detail/content_model.h"

#include <gtest/gtest.h>

namespace corvandel::xml {
namespace {

// Declarations are compared by identity only; these stand in for them.
TDOMElementDef* Declaration(int which) {
  static char names[4];
  return reinterpret_cast<TDOMElementDef*>(&names[which]);
}

TContentParticle* Name(TContentParticle& group, int which, uint8_t occurrence = TContentParticle::ONCE) {
  TContentParticle* name = group.Add(TContentParticle::NAME);
  name->Declaration = Declaration(which);
  name->Occurrence = occurrence;
  return name;
}

// (a, (b | c)*, d?) matched child by child.
TEST(ContentModelTest, ChildrenMatchOneAfterAnother) {
  TContentParticle model;
  model.Kind = TContentParticle::SEQUENCE;
  TContentParticle* a = Name(model, 0);
  TContentParticle* choice = model.Add(TContentParticle::CHOICE);
  choice->Occurrence = TContentParticle::ANY_NUMBER;
  TContentParticle* b = Name(*choice, 1);
  TContentParticle* c = Name(*choice, 2);
  TContentParticle* d = Name(model, 3, TContentParticle::OPTIONAL);

  EXPECT_TRUE(IsRequired(model));
  EXPECT_FALSE(IsRequired(*choice));
  EXPECT_EQ(MatchFromStart(model, Declaration(0)), a);
  EXPECT_EQ(MatchFromStart(model, Declaration(1)), nullptr) << "a comes first";
  EXPECT_EQ(MatchOnward(*a, Declaration(2)), c);
  EXPECT_EQ(MatchOnward(*c, Declaration(1)), b) << "the choice repeats";
  EXPECT_EQ(MatchOnward(*b, Declaration(3)), d);
  EXPECT_EQ(MatchOnward(*d, Declaration(1)), nullptr) << "nothing follows d";
  EXPECT_EQ(MatchOnward(*a, Declaration(0)), nullptr) << "a occurs once";
  EXPECT_FALSE(RequiredMemberFollows(*a));
}

// (a, (b | c)) cannot end after a; (a+ | b) can repeat a but needs one.
TEST(ContentModelTest, RequiredMembersAndRepeats) {
  TContentParticle sequence;
  sequence.Kind = TContentParticle::SEQUENCE;
  TContentParticle* a = Name(sequence, 0);
  TContentParticle* choice = sequence.Add(TContentParticle::CHOICE);
  Name(*choice, 1);
  Name(*choice, 2);
  EXPECT_TRUE(RequiredMemberFollows(*a));
  EXPECT_TRUE(IsRequired(*choice));

  TContentParticle either;
  either.Kind = TContentParticle::CHOICE;
  TContentParticle* many = Name(either, 0, TContentParticle::ONE_OR_MORE);
  Name(either, 1);
  EXPECT_TRUE(IsRequired(either));
  EXPECT_EQ(MatchOnward(*many, Declaration(0)), many);
  EXPECT_EQ(MatchOnward(*many, Declaration(1)), nullptr) << "one branch of the choice only";
  EXPECT_FALSE(RequiredMemberFollows(*many));
}

}  // namespace
}  // namespace corvandel::xml
