// DTD loading: a DocBook 4.5 article loaded and wrapped with its whole DTD,
// against xmllint --dtdattr on the same file; and a 20 MB document whose
// internal subset gives default attributes, against the same document
// without the subset. Prints times and ratios; not part of ./test.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "ktloadtest_util.h"
#include "platform/ktutf8.h"
#include "schema/ktschemamodel.h"
#include "xml/ktdocmanager.h"
#include "xml/ktxpathtreecontext.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Loads and wraps the file with a fresh manager (so the DTD files are read
// again); seconds, best of `runs`.
double OursSeconds(const std::string& path, int runs, int* problem = nullptr) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    KTDocumentManager manager(&StandardGrammars(), nullptr);
    KTLoadStatus status;
    KTXNode* document = manager.LoadDocument(KTString(std::u16string_view(KTUtf8ToUtf16(path))), status, nullptr,
                                             nullptr, nullptr, kNoGrammarId);
    if (!document) {
      std::fprintf(stderr, "%s: %s\n", path.c_str(), StatusMessage(status).c_str());
      std::exit(1);
    }
    KTSchemaModel model(&manager);
    model.SetWarningStream(nullptr);
    KTXPathTreeContext context;
    auto view = context.WrapTree(document, &model, true, nullptr);
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    if (problem) *problem = model.GetErrorId();
  }
  return best;
}

double XmllintSeconds(const std::string& path, int runs) {
  double best = 1e9;
  std::string command = "xmllint --nonet --noout --dtdattr '" + path + "'";
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    if (std::system(command.c_str()) != 0) return -1;
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

std::string LargeDocument(bool withSubset) {
  std::string text = "<?xml version='1.0'?>\n<!DOCTYPE doc";
  if (withSubset) {
    text += " [\n";
    for (const char* e : {"item", "name", "value", "note"}) {
      text += std::string("<!ATTLIST ") + e + " kind CDATA 'plain' state (on|off) 'on' lang NMTOKEN 'en'>\n";
    }
    text += "]";
  }
  text += ">\n<doc>\n";
  const std::string item =
      "<item id='i'><name>an item name</name><value>12345.678</value><note>some note text here</note></item>\n";
  while (text.size() < 20u * 1024 * 1024) text += item;
  return text + "</doc>\n";
}

}  // namespace

int main() {
  fs::path dir = fs::temp_directory_path() / "ost-bench-dtd";
  fs::create_directories(dir);

  const char* docbook = "/usr/share/xml/docbook/schema/dtd/4.5/docbookx.dtd";
  if (fs::exists(docbook)) {
    std::string article = (dir / "article.xml").string();
    std::ofstream(article) << "<?xml version='1.0'?>\n<!DOCTYPE article PUBLIC '-//OASIS//DTD DocBook XML V4.5//EN' '"
                           << docbook
                           << "'>\n<article><title>T</title><para>p <emphasis>e</emphasis></para>"
                              "<programlisting>x</programlisting></article>\n";
    int problem = 0;
    double ours = OursSeconds(article, 5, &problem);
    double peer = XmllintSeconds(article, 5);
    std::printf("DocBook 4.5 article with its DTD: ours %.1f ms (message %d), xmllint --dtdattr %.1f ms, ratio %.2f\n",
                ours * 1000, problem, peer * 1000, peer > 0 ? ours / peer : 0.0);
  } else {
    std::printf("DocBook 4.5 article: docbook-xml is not installed\n");
  }

  std::string with = (dir / "defaults-with.xml").string();
  std::string without = (dir / "defaults-without.xml").string();
  std::ofstream(with) << LargeDocument(true);
  std::ofstream(without) << LargeDocument(false);
  double tWith = OursSeconds(with, 3);
  double tWithout = OursSeconds(without, 3);
  std::printf("20 MB document: with ATTLIST defaults %.0f ms, without %.0f ms, ratio %.2f; "
              "xmllint --dtdattr with defaults %.0f ms\n",
              tWith * 1000, tWithout * 1000, tWith / tWithout, XmllintSeconds(with, 1) * 1000);
  return 0;
}
