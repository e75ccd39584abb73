// Records what the XML reader makes of the reference inputs, one digest per
// input, for the differential test of the XML suite:
//   build/dev/tests/xml/reader_digests . > tests/xml/data/reader_digests.txt
// Run it from the repository top with the reader whose output is the
// reference, and commit the file with the change that is meant to alter
// that output. With --record <input>, it prints the whole record of one
// input instead, for comparing two readers' output by eye or with diff.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "reader_record.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  using namespace corvandel::testing;
  if (argc != 2 && !(argc == 4 && std::strcmp(argv[2], "--record") == 0)) {
    std::fprintf(stderr, "usage: %s <source dir> [--record <input>]\n", argv[0]);
    return 2;
  }
  const std::string sourceDir = argv[1];
  const char* only = argc == 4 ? argv[3] : nullptr;
  for (const std::string& path : ReferenceInputs(sourceDir)) {
    if (only && path != only) continue;
    const std::string record = RecordInput(ReadFile(sourceDir + "/" + path));
    if (only) std::cout << record;
    else std::cout << path << ' ' << Digest(record) << '\n';
  }
  for (const auto& [name, bytes] : GeneratedInputs()) {
    if (only && name != only) continue;
    const std::string record = RecordInput(bytes);
    if (only) std::cout << record;
    else std::cout << name << ' ' << Digest(record) << '\n';
  }
  return 0;
}
