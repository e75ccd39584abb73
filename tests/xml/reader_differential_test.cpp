// The reader against the reference of its earlier output: every tree, error
// text, error position and validity message it produced for the reference
// inputs (see tools/reader_digests.cpp), compared through one digest per
// input. A change meant to alter the output regenerates the reference;
// inputs added to the corpora since are not compared until it is.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "reader_record.h"

namespace corvandel::testing {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ReaderDifferentialTest, EveryReferenceInputReadsAsBefore) {
  const std::string sourceDir = CORVANDEL_SOURCE_DIR;
  std::map<std::string, std::string> expected;
  std::istringstream lines(ReadFile(sourceDir + "/tests/xml/data/reader_digests.txt"));
  for (std::string name, digest; lines >> name >> digest;) expected[name] = digest;
  ASSERT_FALSE(expected.empty());

  std::map<std::string, std::string> actual;
  for (const std::string& path : ReferenceInputs(sourceDir))
    actual[path] = Digest(RecordInput(ReadFile(sourceDir + "/" + path)));
  for (const auto& [name, bytes] : GeneratedInputs()) actual[name] = Digest(RecordInput(bytes));

  for (const auto& [name, digest] : expected) {
    const auto found = actual.find(name);
    if (found == actual.end()) {
      ADD_FAILURE() << name << ": a reference input is gone";
      continue;
    }
    EXPECT_EQ(found->second, digest) << name << " reads differently; compare the records of the two readers with "
                                     << "reader_digests <source dir> --record " << name;
  }
}

}  // namespace
}  // namespace corvandel::testing
