// Writer throughput: the ping request and a generated document of about
// 5 MB, each beside the same tree serialised by the peers. Bytes processed
// are each writer's own output.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <memory>
#include <string>

#include "runtime/code_page.h"
#include "runtime/memory_stream.h"
#include "xml/dom.h"
#include "xml/writer.h"

#ifdef CORVANDEL_HAVE_LIBXML2
#include <libxml/tree.h>
#endif
#ifdef CORVANDEL_HAVE_PUGIXML
#include <pugixml.hpp>
#endif

namespace {

using namespace corvandel;

constexpr const char* kSite = "http://www.example.org/blog/";

// The generated document: a catalogue of items, each with two attributes
// and three text children, a few of them needing escapes or UTF-8 beyond
// ASCII.
constexpr int kItems = 22000;

std::string ItemName(int i) {
  switch (i % 4) {
    case 0: return "Plain item number " + std::to_string(i);
    case 1: return "Caf\xC3\xA9 cr\xC3\xA8me & br\xC3\xBBl\xC3\xA9" "e #" + std::to_string(i);
    case 2: return "\xD0\x9A\xD0\xBD\xD0\xB8\xD0\xB3\xD0\xB0 \xE2\x84\x96" + std::to_string(i);
    default: return "a < b > c \"quoted\" " + std::to_string(i);
  }
}
std::string ItemNote(int i) {
  return "Note " + std::to_string(i) + ": lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod.";
}
std::string ItemPrice(int i) { return std::to_string(i % 1000) + "." + std::to_string(i % 100); }
std::string ItemId(int i) { return "item-" + std::to_string(i); }

std::unique_ptr<xml::TXMLDocument> OwnRequest() {
  auto doc = std::make_unique<xml::TXMLDocument>();
  const xml::DOMString site = runtime::SystemToUTF16(kSite);
  auto* call = doc->AppendChild(doc->CreateElement(u"methodCall"));
  call->AppendChild(doc->CreateElement(u"methodName"))->AppendChild(doc->CreateTextNode(u"weblogUpdates.ping"));
  auto* params = call->AppendChild(doc->CreateElement(u"params"));
  for (int i = 0; i < 2; ++i) {
    auto* param = params->AppendChild(doc->CreateElement(u"param"));
    param->AppendChild(doc->CreateElement(u"value"))->AppendChild(doc->CreateTextNode(site));
  }
  return doc;
}

std::unique_ptr<xml::TXMLDocument> OwnCatalogue() {
  auto doc = std::make_unique<xml::TXMLDocument>();
  auto* root = doc->AppendChild(doc->CreateElement(u"catalogue"));
  for (int i = 0; i < kItems; ++i) {
    auto* item = static_cast<xml::TDOMElement*>(root->AppendChild(doc->CreateElement(u"item")));
    item->SetAttribute(u"id", runtime::SystemToUTF16(ItemId(i)));
    item->SetAttribute(u"kind", i % 3 ? u"book" : u"caf\u00E9 & bar");
    item->AppendChild(doc->CreateElement(u"name"))->AppendChild(doc->CreateTextNode(runtime::SystemToUTF16(ItemName(i))));
    item->AppendChild(doc->CreateElement(u"price"))->AppendChild(doc->CreateTextNode(runtime::SystemToUTF16(ItemPrice(i))));
    item->AppendChild(doc->CreateElement(u"note"))->AppendChild(doc->CreateTextNode(runtime::SystemToUTF16(ItemNote(i))));
  }
  return doc;
}

void RunOwn(benchmark::State& state, xml::TXMLDocument& doc) {
  runtime::TMemoryStream stream;
  for (auto _ : state) {
    stream.Clear();
    xml::WriteDocumentToStream(doc, stream);
    benchmark::DoNotOptimize(stream.Memory());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * stream.Size());
  state.counters["bytes"] = static_cast<double>(stream.Size());
}

void BM_Own_Request(benchmark::State& state) {
  auto doc = OwnRequest();
  RunOwn(state, *doc);
}
BENCHMARK(BM_Own_Request);

void BM_Own_Catalogue(benchmark::State& state) {
  auto doc = OwnCatalogue();
  RunOwn(state, *doc);
}
BENCHMARK(BM_Own_Catalogue)->Unit(benchmark::kMillisecond);

#ifdef CORVANDEL_HAVE_LIBXML2
const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }

xmlDocPtr Libxml2Request() {
  xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
  xmlNodePtr call = xmlNewNode(nullptr, BAD_CAST "methodCall");
  xmlDocSetRootElement(doc, call);
  xmlNewTextChild(call, nullptr, BAD_CAST "methodName", BAD_CAST "weblogUpdates.ping");
  xmlNodePtr params = xmlNewChild(call, nullptr, BAD_CAST "params", nullptr);
  for (int i = 0; i < 2; ++i) {
    xmlNodePtr param = xmlNewChild(params, nullptr, BAD_CAST "param", nullptr);
    xmlNewTextChild(param, nullptr, BAD_CAST "value", BAD_CAST kSite);
  }
  return doc;
}

xmlDocPtr Libxml2Catalogue() {
  xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
  xmlNodePtr root = xmlNewNode(nullptr, BAD_CAST "catalogue");
  xmlDocSetRootElement(doc, root);
  for (int i = 0; i < kItems; ++i) {
    xmlNodePtr item = xmlNewChild(root, nullptr, BAD_CAST "item", nullptr);
    xmlNewProp(item, BAD_CAST "id", X(ItemId(i)));
    xmlNewProp(item, BAD_CAST "kind", i % 3 ? BAD_CAST "book" : BAD_CAST "caf\xC3\xA9 & bar");
    xmlNewTextChild(item, nullptr, BAD_CAST "name", X(ItemName(i)));
    xmlNewTextChild(item, nullptr, BAD_CAST "price", X(ItemPrice(i)));
    xmlNewTextChild(item, nullptr, BAD_CAST "note", X(ItemNote(i)));
  }
  return doc;
}

// format 0 is xmlDocDumpMemory; 1 indents as the own writer does.
void RunLibxml2(benchmark::State& state, xmlDocPtr doc, int format) {
  int size = 0;
  for (auto _ : state) {
    xmlChar* memory = nullptr;
    xmlDocDumpFormatMemory(doc, &memory, &size, format);
    benchmark::DoNotOptimize(memory);
    xmlFree(memory);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
  state.counters["bytes"] = size;
  xmlFreeDoc(doc);
}

void BM_Peer_libxml2_Request(benchmark::State& state) { RunLibxml2(state, Libxml2Request(), 0); }
BENCHMARK(BM_Peer_libxml2_Request);
void BM_Peer_libxml2_RequestIndented(benchmark::State& state) { RunLibxml2(state, Libxml2Request(), 1); }
BENCHMARK(BM_Peer_libxml2_RequestIndented);
void BM_Peer_libxml2_Catalogue(benchmark::State& state) { RunLibxml2(state, Libxml2Catalogue(), 0); }
BENCHMARK(BM_Peer_libxml2_Catalogue)->Unit(benchmark::kMillisecond);
void BM_Peer_libxml2_CatalogueIndented(benchmark::State& state) { RunLibxml2(state, Libxml2Catalogue(), 1); }
BENCHMARK(BM_Peer_libxml2_CatalogueIndented)->Unit(benchmark::kMillisecond);
#endif

#ifdef CORVANDEL_HAVE_PUGIXML
struct TStringWriter : pugi::xml_writer {
  std::string Text;
  void write(const void* data, std::size_t size) override { Text.append(static_cast<const char*>(data), size); }
};

void PugiRequest(pugi::xml_document& doc) {
  auto call = doc.append_child("methodCall");
  call.append_child("methodName").text().set("weblogUpdates.ping");
  auto params = call.append_child("params");
  for (int i = 0; i < 2; ++i) params.append_child("param").append_child("value").text().set(kSite);
}

void PugiCatalogue(pugi::xml_document& doc) {
  auto root = doc.append_child("catalogue");
  for (int i = 0; i < kItems; ++i) {
    auto item = root.append_child("item");
    item.append_attribute("id").set_value(ItemId(i).c_str());
    item.append_attribute("kind").set_value(i % 3 ? "book" : "caf\xC3\xA9 & bar");
    item.append_child("name").text().set(ItemName(i).c_str());
    item.append_child("price").text().set(ItemPrice(i).c_str());
    item.append_child("note").text().set(ItemNote(i).c_str());
  }
}

void RunPugi(benchmark::State& state, const pugi::xml_document& doc) {
  TStringWriter writer;
  for (auto _ : state) {
    writer.Text.clear();
    doc.save(writer, "  ", pugi::format_default, pugi::encoding_utf8);
    benchmark::DoNotOptimize(writer.Text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(writer.Text.size()));
  state.counters["bytes"] = static_cast<double>(writer.Text.size());
}

void BM_Peer_pugixml_Request(benchmark::State& state) {
  pugi::xml_document doc;
  PugiRequest(doc);
  RunPugi(state, doc);
}
BENCHMARK(BM_Peer_pugixml_Request);

void BM_Peer_pugixml_Catalogue(benchmark::State& state) {
  pugi::xml_document doc;
  PugiCatalogue(doc);
  RunPugi(state, doc);
}
BENCHMARK(BM_Peer_pugixml_Catalogue)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
