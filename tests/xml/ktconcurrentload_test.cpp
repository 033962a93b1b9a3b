// Documents loaded on several threads at once, with one document manager and
// one set of grammars, give the trees of the serial load; trees made on one
// thread are freed on another, and the names they held go with them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ktloadtest_util.h"
#include "core/ktstringpool.h"
#include "platform/ktutf8.h"
#include "xml/ktdocloader.h"
#include "xml/ktdocmanager.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktxname.h"
#include "xml/ktxnode.h"
#include "xml/ktxnodepool.h"

namespace {

KTString Text(const std::string& utf8) { return LoadName(utf8); }

class TempFolder : public KTLoadTestFolder {
 public:
  explicit TempFolder(const char* name) : KTLoadTestFolder("ktconcurrentload", name) {}
};

// Documents of the shapes a load treats apart: many distinct names, shared
// names with prefixes, attributes kept pending, references, CR line ends, a
// DTD internal subset, non-ASCII names, a comment and a processing
// instruction.
std::vector<std::string> ShapedDocuments() {
  std::vector<std::string> texts;
  std::string distinct = "<root>";
  for (int i = 0; i < 3000; ++i) distinct += "<e" + std::to_string(i) + " a" + std::to_string(i % 7) + "='v'/>";
  texts.push_back(distinct + "</root>");
  std::string shared = "<x:doc xmlns:x='urn:x' xmlns:y='urn:y'>";
  for (int i = 0; i < 2000; ++i)
    shared += "<x:item y:n='" + std::to_string(i) + "' kind='k'><y:v>t" + std::to_string(i) + "</y:v></x:item>";
  texts.push_back(shared + "</x:doc>");
  texts.push_back("<?xml version='1.0'?>\r\n<!DOCTYPE d [<!ENTITY e 'entity text'>]>\r\n"
                  "<d a='1&amp;2'>&e;&#65;<!-- c --><?pi data?>\r\n<c>&lt;</c></d>");
  texts.push_back("<résumé naïve='oui'><größe>1</größe><データ/></résumé>");
  return texts;
}

using LoadResult = KTLoadResult;

TEST(ConcurrentLoads, EveryThreadBuildsTheSerialTree) {
  TempFolder folder("shapes");
  std::vector<std::string> paths;
  int n = 0;
  for (const std::string& text : ShapedDocuments()) paths.push_back(folder.Write("d" + std::to_string(n++) + ".xml", text));
  KTDocumentManager manager(&StandardGrammars(), nullptr);

  const size_t namesBefore = KTXName::GetInternedCount();
  std::vector<LoadResult> serial;
  for (const std::string& path : paths) serial.push_back(LoadAndWrite(manager, path));
  for (const LoadResult& result : serial) ASSERT_TRUE(result.loaded);

  // Each thread loads every document several times, starting at its own,
  // and frees each tree on the thread that built it or hands it to another.
  constexpr int kThreads = 4;
  constexpr int kRounds = 3;
  std::vector<std::vector<LoadResult>> results(kThreads);
  KTXName::BeginThreaded();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Half the threads hand their pools over as they end, and the next
      // ones take them over.
      if (t % 2) {
        KTXNodePoolAdoptParked();
        KTStringPoolAdoptParked();
      }
      for (int round = 0; round < kRounds; ++round)
        for (size_t i = 0; i < paths.size(); ++i) {
          const size_t which = (i + static_cast<size_t>(t)) % paths.size();
          LoadResult result = LoadAndWrite(manager, paths[which]);
          if (round == 0) results[static_cast<size_t>(t)].push_back(result);
          EXPECT_TRUE(result.loaded) << paths[which];
          EXPECT_EQ(result.tree, serial[which].tree) << paths[which];
        }
      if (t % 2 == 0) {
        KTStringPoolParkThread();
        KTXNodePoolParkThread();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  KTXName::EndThreaded();
  // The names the threads' trees held are gone with the trees.
  EXPECT_EQ(KTXName::GetInternedCount(), namesBefore);
}

TEST(ConcurrentLoads, TreesMadeOnAWorkerAreFreedOnTheMainThread) {
  TempFolder folder("handover");
  const std::string path = folder.Write("d.xml", ShapedDocuments()[1]);
  KTDocumentManager manager(&StandardGrammars(), nullptr);
  const std::string expected = LoadAndWrite(manager, path).tree;
  KTXName::BeginThreaded();
  std::vector<std::unique_ptr<KTXNode>> trees(3);
  std::vector<std::thread> threads;
  for (auto& tree : trees) {
    threads.emplace_back([&manager, &path, &tree] {
      std::unique_ptr<KTDocumentLoader> loader = manager.NewLoader();
      KTLoadStatus status;
      tree.reset(loader->LoadFromUrl(Text(path).c_str(), status));
    });
  }
  for (std::thread& thread : threads) thread.join();
  KTXName::EndThreaded();
  for (auto& tree : trees) {
    ASSERT_TRUE(tree);
    EXPECT_EQ(WrittenWithoutDeclaration(tree.get()), expected);
    tree.reset();
  }
  // The memory of the freed trees serves the next load here.
  EXPECT_EQ(LoadAndWrite(manager, path).tree, expected);
}

}  // namespace
