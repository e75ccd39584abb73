// Reading XML: a ping answer, a minimal document (the fixed cost of one
// read) and 5 MB documents in UTF-8 and UTF-16LE, side by side with peers
// reading the same bytes. Each benchmark also reports PeakBytes: the most
// heap memory one read held at once, counted by the allocators below.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "bench/reader_documents.h"
#include "runtime/memory_stream.h"
#include "xml/reader.h"

#ifdef CORVANDEL_HAVE_LIBXML2
#include <libxml/parser.h>
#endif
#ifdef CORVANDEL_HAVE_PUGIXML
#include <pugixml.hpp>
#endif
#ifdef CORVANDEL_HAVE_EXPAT
#include <expat.h>
#endif

// Heap accounting for the PeakBytes counter: on only around one read made
// after the timed loop, so the timings never pay for it. The replaced
// operator new and delete sit on malloc and free, which the compiler cannot
// see through once they are inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace heap {
bool counting = false;
std::size_t current = 0;
std::size_t peak = 0;

void Add(void* p) {
  if (!counting || !p) return;
  current += malloc_usable_size(p);
  peak = std::max(peak, current);
}
void Remove(void* p) {
  if (!counting || !p) return;
  const std::size_t size = malloc_usable_size(p);
  current -= std::min(current, size);
}
void* Malloc(std::size_t size) {
  void* p = std::malloc(size);
  Add(p);
  return p;
}
void Free(void* p) {
  Remove(p);
  std::free(p);
}
void* Realloc(void* p, std::size_t size) {
  Remove(p);
  void* q = std::realloc(p, size);
  Add(q ? q : p);
  return q;
}
void* Calloc(std::size_t count, std::size_t size) {
  void* p = std::calloc(count, size);
  Add(p);
  return p;
}
char* Strdup(const char* text) {
  const std::size_t n = std::char_traits<char>::length(text) + 1;
  char* p = static_cast<char*>(Malloc(n));
  if (p) std::char_traits<char>::copy(p, text, n);
  return p;
}

// Runs read once with counting on and reports the peak it reached.
template <typename Read>
void ReportPeak(benchmark::State& state, Read read) {
  current = peak = 0;
  counting = true;
  read();
  counting = false;
  state.counters["PeakBytes"] = static_cast<double>(peak);
}
}  // namespace heap

void* operator new(std::size_t size) {
  if (void* p = heap::Malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { heap::Free(p); }
void operator delete[](void* p) noexcept { heap::Free(p); }
void operator delete(void* p, std::size_t) noexcept { heap::Free(p); }
void operator delete[](void* p, std::size_t) noexcept { heap::Free(p); }

namespace {

using namespace corvandel;

const std::string kMinimal = "<a/>";
using bench::Document;
using bench::DocumentUTF16;
using bench::kAnswer;

// The stream is filled once and rewound for every read, as the peers read
// their bytes in place: a ping answer, too, is read from the memory stream
// that received it.
void ReadOursOnce(runtime::TMemoryStream& stream) {
  stream.Seek(0, runtime::TSeekOrigin::Beginning);
  std::unique_ptr<xml::TXMLDocument> doc;
  xml::ReadDocumentFromStream(doc, stream);
  benchmark::DoNotOptimize(doc.get());
}

void ReadOurs(benchmark::State& state, const std::string& text) {
  runtime::TMemoryStream stream(text);
  for (auto _ : state) ReadOursOnce(stream);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  // Measured on a thread of its own: the reader keeps the storage of its
  // last documents per thread, which a read on this thread would find
  // ready and never count.
  std::thread([&] { heap::ReportPeak(state, [&] { ReadOursOnce(stream); }); }).join();
}

void BM_Read_Minimal(benchmark::State& state) { ReadOurs(state, kMinimal); }
void BM_Read_Answer(benchmark::State& state) { ReadOurs(state, kAnswer); }
BENCHMARK(BM_Read_Minimal);
void BM_Read_5MB_UTF8(benchmark::State& state) { ReadOurs(state, Document()); }
void BM_Read_5MB_UTF16LE(benchmark::State& state) { ReadOurs(state, DocumentUTF16()); }
BENCHMARK(BM_Read_Answer);
BENCHMARK(BM_Read_5MB_UTF8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read_5MB_UTF16LE)->Unit(benchmark::kMillisecond);

#ifdef CORVANDEL_HAVE_LIBXML2
void ReadLibxml2Once(const std::string& text) {
  xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "stream:", nullptr, XML_PARSE_NOBLANKS);
  benchmark::DoNotOptimize(doc);
  xmlFreeDoc(doc);
}

void ReadLibxml2(benchmark::State& state, const std::string& text) {
  static const bool counted = xmlMemSetup(heap::Free, heap::Malloc, heap::Realloc, heap::Strdup) == 0;
  benchmark::DoNotOptimize(counted);
  for (auto _ : state) ReadLibxml2Once(text);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  heap::ReportPeak(state, [&] { ReadLibxml2Once(text); });
}
void BM_Peer_libxml2_Minimal(benchmark::State& state) { ReadLibxml2(state, kMinimal); }
BENCHMARK(BM_Peer_libxml2_Minimal);
void BM_Peer_libxml2_Answer(benchmark::State& state) { ReadLibxml2(state, kAnswer); }
void BM_Peer_libxml2_5MB_UTF8(benchmark::State& state) { ReadLibxml2(state, Document()); }
void BM_Peer_libxml2_5MB_UTF16LE(benchmark::State& state) { ReadLibxml2(state, DocumentUTF16()); }
BENCHMARK(BM_Peer_libxml2_Answer);
BENCHMARK(BM_Peer_libxml2_5MB_UTF8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Peer_libxml2_5MB_UTF16LE)->Unit(benchmark::kMillisecond);
#endif

#ifdef CORVANDEL_HAVE_EXPAT
const XML_Memory_Handling_Suite kExpatMemory = {heap::Malloc, heap::Realloc, heap::Free};

void ReadExpatOnce(const std::string& text) {
  XML_Parser parser = XML_ParserCreate_MM(nullptr, &kExpatMemory, nullptr);
  const auto status = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1);
  benchmark::DoNotOptimize(status);
  XML_ParserFree(parser);
}

void ReadExpat(benchmark::State& state, const std::string& text) {
  for (auto _ : state) ReadExpatOnce(text);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  heap::ReportPeak(state, [&] { ReadExpatOnce(text); });
}
void BM_Peer_expat_Minimal(benchmark::State& state) { ReadExpat(state, kMinimal); }
BENCHMARK(BM_Peer_expat_Minimal);
void BM_Peer_expat_Answer(benchmark::State& state) { ReadExpat(state, kAnswer); }
void BM_Peer_expat_5MB_UTF8(benchmark::State& state) { ReadExpat(state, Document()); }
void BM_Peer_expat_5MB_UTF16LE(benchmark::State& state) { ReadExpat(state, DocumentUTF16()); }
BENCHMARK(BM_Peer_expat_Answer);
BENCHMARK(BM_Peer_expat_5MB_UTF8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Peer_expat_5MB_UTF16LE)->Unit(benchmark::kMillisecond);
#endif

#ifdef CORVANDEL_HAVE_PUGIXML
void ReadPugixmlOnce(const std::string& text) {
  pugi::xml_document doc;
  benchmark::DoNotOptimize(doc.load_buffer(text.data(), text.size()));
}

void ReadPugixml(benchmark::State& state, const std::string& text) {
  static const bool counted = (pugi::set_memory_management_functions(heap::Malloc, heap::Free), true);
  benchmark::DoNotOptimize(counted);
  for (auto _ : state) ReadPugixmlOnce(text);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  heap::ReportPeak(state, [&] { ReadPugixmlOnce(text); });
}
void BM_Peer_pugixml_Minimal(benchmark::State& state) { ReadPugixml(state, kMinimal); }
BENCHMARK(BM_Peer_pugixml_Minimal);
void BM_Peer_pugixml_Answer(benchmark::State& state) { ReadPugixml(state, kAnswer); }
void BM_Peer_pugixml_5MB_UTF8(benchmark::State& state) { ReadPugixml(state, Document()); }
void BM_Peer_pugixml_5MB_UTF16LE(benchmark::State& state) { ReadPugixml(state, DocumentUTF16()); }
BENCHMARK(BM_Peer_pugixml_Answer);
BENCHMARK(BM_Peer_pugixml_5MB_UTF8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Peer_pugixml_5MB_UTF16LE)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
