// Wrapping a document tree of 1.8 million nodes (200,000 elements in two
// namespaces, each with two attributes and three children holding text, one
// text in three with entity and character references) as its XPath view
// with a schema model, and walking the view in document order.
#include <benchmark/benchmark.h>

#include <memory>

#include "schema/ktschemamodel.h"
#include "xml/ktxnodekinds.h"
#include "xml/ktxpathtreecontext.h"

namespace {

constexpr int kItems = 200000;
constexpr int kNodesPerItem = 9;

std::unique_ptr<KTXNode> BuildTree() {
  auto doc = CreateXNode(kXmlDocument);
  KTXNode* root = doc->AppendChild(CreateXNode(kElement));
  root->SetName(u"root");
  KTXNode* ns = root->AppendChild(CreateXNode(kAttribute));
  ns->SetName(u"xmlns:p");
  ns->SetValue(u"urn:example:p");
  for (int i = 0; i < kItems; ++i) {
    KTXNode* item = root->AppendChild(CreateXNode(kElement));
    item->SetName(i % 2 ? u"p:item" : u"item");
    KTXNode* id = item->AppendChild(CreateXNode(kAttribute));
    id->SetName(u"id");
    id->SetValue(u"12345");
    KTXNode* kind = item->AppendChild(CreateXNode(kAttribute));
    kind->SetName(u"p:kind");
    kind->SetValue(u"a &amp; b");
    for (int j = 0; j < 3; ++j) {
      KTXNode* child = item->AppendChild(CreateXNode(kElement));
      child->SetName(u"child");
      child->AppendChild(CreateXNode(kText))->SetValue(j == 0 ? u"x &lt; y &#38; z" : u"some text content here");
    }
  }
  return doc;
}

void BM_WrapTree(benchmark::State& state) {
  auto doc = BuildTree();
  for (auto _ : state) {
    KTSchemaModel model;
    KTXPathTreeContext context;
    auto view = context.WrapTree(doc.get(), &model, true, u"file:///bench.xml");
    benchmark::DoNotOptimize(view.get());
    state.PauseTiming();
    view.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kItems * kNodesPerItem);
}

void BM_WalkView(benchmark::State& state) {
  auto doc = BuildTree();
  KTSchemaModel model;
  KTXPathTreeContext context;
  auto view = context.WrapTree(doc.get(), &model, true, nullptr);
  for (auto _ : state) {
    int64_t sum = 0;
    for (KTXPathNode* n = view.get(); n; n = n->NextInDocumentOrder(true)) sum += n->GetPosition();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kItems * kNodesPerItem);
}

BENCHMARK(BM_WrapTree)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WalkView)->Unit(benchmark::kMillisecond);

}  // namespace
