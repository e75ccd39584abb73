// Document model costs: building and destroying the ping request, and
// element lists over a large tree, with peers building the same request.

#include <benchmark/benchmark.h>

#include <memory>

#include "engine/ping_service.h"
#include "runtime/memory_stream.h"
#include "xml/writer.h"
#include "xml/dom.h"

#ifdef CORVANDEL_HAVE_LIBXML2
#include <libxml/tree.h>
#endif
#ifdef CORVANDEL_HAVE_PUGIXML
#include <pugixml.hpp>
#endif

namespace {

using namespace corvandel;

constexpr const char* kSite = "http://www.example.org/blog/";

void BM_RequestBuildAndDestroy(benchmark::State& state) {
  for (auto _ : state) {
    engine::TPingService ping;
    ping.BuildRequest(kSite);
    benchmark::DoNotOptimize(ping.Request.get());
  }
}
BENCHMARK(BM_RequestBuildAndDestroy);

// What one worker does for each service: the request, written into a body.
void BM_RequestBuildWriteDestroy(benchmark::State& state) {
  runtime::TMemoryStream body;
  for (auto _ : state) {
    engine::TPingService ping;
    ping.BuildRequest(kSite);
    body.Clear();
    xml::WriteDocumentToStream(*ping.Request, body);
    benchmark::DoNotOptimize(body.Memory());
  }
}
BENCHMARK(BM_RequestBuildWriteDestroy);

// A worker rebuilds the request on the same object for every site.
void BM_RequestRebuild(benchmark::State& state) {
  engine::TPingService ping;
  for (auto _ : state) {
    ping.BuildRequest(kSite);
    benchmark::DoNotOptimize(ping.Request.get());
  }
}
BENCHMARK(BM_RequestRebuild);

#ifdef CORVANDEL_HAVE_LIBXML2
void BM_Peer_libxml2_RequestBuildAndDestroy(benchmark::State& state) {
  const auto* site = reinterpret_cast<const xmlChar*>(kSite);
  for (auto _ : state) {
    xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
    xmlNodePtr call = xmlNewNode(nullptr, BAD_CAST "methodCall");
    xmlDocSetRootElement(doc, call);
    xmlNewTextChild(call, nullptr, BAD_CAST "methodName", BAD_CAST "weblogUpdates.ping");
    xmlNodePtr params = xmlNewChild(call, nullptr, BAD_CAST "params", nullptr);
    for (int i = 0; i < 2; ++i) {
      xmlNodePtr param = xmlNewChild(params, nullptr, BAD_CAST "param", nullptr);
      xmlNewTextChild(param, nullptr, BAD_CAST "value", site);
    }
    benchmark::DoNotOptimize(doc);
    xmlFreeDoc(doc);
  }
}
BENCHMARK(BM_Peer_libxml2_RequestBuildAndDestroy);
#endif

#ifdef CORVANDEL_HAVE_PUGIXML
void BM_Peer_pugixml_RequestBuildAndDestroy(benchmark::State& state) {
  for (auto _ : state) {
    pugi::xml_document doc;
    pugi::xml_node call = doc.append_child("methodCall");
    call.append_child("methodName").append_child(pugi::node_pcdata).set_value("weblogUpdates.ping");
    pugi::xml_node params = call.append_child("params");
    for (int i = 0; i < 2; ++i)
      params.append_child("param").append_child("value").append_child(pugi::node_pcdata).set_value(kSite);
    benchmark::DoNotOptimize(&doc);
  }
}
BENCHMARK(BM_Peer_pugixml_RequestBuildAndDestroy);
#endif

// 10^5 elements: a root with 1,000 groups of 99 items, every third named "hit".
struct BigTree {
  BigTree() {
    root = doc->CreateElement(u"root");
    doc->AppendChild(root);
    for (int g = 0; g < 1000; ++g) {
      xml::TDOMNode* group = root->AppendChild(doc->CreateElement(u"group"));
      for (int i = 0; i < 99; ++i) group->AppendChild(doc->CreateElement(i % 3 == 0 ? u"hit" : u"item"));
    }
  }
  std::unique_ptr<xml::TXMLDocument> doc = std::make_unique<xml::TXMLDocument>();
  xml::TDOMElement* root = nullptr;
};

void BM_GetElementsByTagName_FirstCall(benchmark::State& state) {
  BigTree tree;
  xml::TDOMElement* spare = tree.doc->CreateElement(u"spare");
  for (auto _ : state) {
    // Any change of the tree makes the next access walk it again.
    tree.root->AppendChild(spare);
    tree.root->RemoveChild(spare);
    benchmark::DoNotOptimize(tree.root->GetElementsByTagName(u"hit")->Length());
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_GetElementsByTagName_FirstCall)->Unit(benchmark::kMicrosecond);

void BM_GetElementsByTagName_Cached(benchmark::State& state) {
  BigTree tree;
  tree.root->GetElementsByTagName(u"hit")->Length();
  for (auto _ : state) benchmark::DoNotOptimize(tree.root->GetElementsByTagName(u"hit")->Length());
}
BENCHMARK(BM_GetElementsByTagName_Cached);

void BM_BigTreeBuildAndDestroy(benchmark::State& state) {
  for (auto _ : state) {
    BigTree tree;
    benchmark::DoNotOptimize(tree.root);
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_BigTreeBuildAndDestroy)->Unit(benchmark::kMillisecond);

}  // namespace
