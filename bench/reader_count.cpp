// Reads one document over and over, for instruction counts: times on a
// shared machine move from run to run, the instructions of one read do not.
//
//   reader_count (ours|pugixml|expat) (answer|minimal|5mb) reads
//
// Every read goes through ReadOnce, which bench/count_reader_instructions.sh
// has callgrind count alone; the first read, which fills the caches the
// reader keeps per thread, is left out of the count by the script.

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "bench/reader_documents.h"
#include "runtime/memory_stream.h"
#include "xml/reader.h"

#ifdef CORVANDEL_HAVE_PUGIXML
#include <pugixml.hpp>
#endif
#ifdef CORVANDEL_HAVE_EXPAT
#include <expat.h>
#endif

namespace {

using namespace corvandel;

enum class TReader { Ours, Pugixml, Expat };

__attribute__((noinline)) void ReadOnce(TReader reader, const std::string& text, runtime::TMemoryStream& stream) {
  switch (reader) {
    case TReader::Ours: {
      stream.Seek(0, runtime::TSeekOrigin::Beginning);
      std::unique_ptr<xml::TXMLDocument> doc;
      xml::ReadDocumentFromStream(doc, stream);
      asm volatile("" : : "r"(doc.get()) : "memory");
      break;
    }
    case TReader::Pugixml: {
#ifdef CORVANDEL_HAVE_PUGIXML
      pugi::xml_document doc;
      const bool ok = doc.load_buffer(text.data(), text.size());
      asm volatile("" : : "r"(ok) : "memory");
#endif
      break;
    }
    case TReader::Expat: {
#ifdef CORVANDEL_HAVE_EXPAT
      XML_Parser parser = XML_ParserCreate(nullptr);
      const auto status = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1);
      asm volatile("" : : "r"(status) : "memory");
      XML_ParserFree(parser);
#endif
      break;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: reader_count (ours|pugixml|expat) (answer|minimal|5mb) reads\n";
    return 2;
  }
  const std::string readerName = argv[1], documentName = argv[2];
  TReader reader;
  if (readerName == "ours") reader = TReader::Ours;
  else if (readerName == "pugixml") reader = TReader::Pugixml;
  else if (readerName == "expat") reader = TReader::Expat;
  else {
    std::cerr << "reader_count: unknown reader \"" << readerName << "\"\n";
    return 2;
  }
  std::string text;
  if (documentName == "answer") text = bench::kAnswer;
  else if (documentName == "minimal") text = "<a/>";
  else if (documentName == "5mb") text = bench::Document();
  else {
    std::cerr << "reader_count: unknown document \"" << documentName << "\"\n";
    return 2;
  }
  const long reads = std::strtol(argv[3], nullptr, 10);
  if (reads < 1) {
    std::cerr << "reader_count: reads must be a positive number\n";
    return 2;
  }
  runtime::TMemoryStream stream(text);
  for (long i = 0; i < reads; ++i) ReadOnce(reader, text, stream);
  return 0;
}
