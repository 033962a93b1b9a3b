// KTLoadAhead hands over exactly the loads it made cleanly: a
// stylesheet, the modules its xsl:include and xsl:import name (relative,
// nested, twice), and nothing for a module that is missing, not
// well-formed, not in the XSLT namespace or not yet started.
#include "xml/ktloadahead.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include "ktloadtest_util.h"
#include "platform/ktutf8.h"
#include "xml/ktdocloader.h"
#include "xml/ktdocmanager.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktxnode.h"
#include "xml/ktxpathnode.h"
#include "xml/ktxpathtreecontext.h"

// Allocations this thread is to fail next: a test makes memory run out on a
// worker at a chosen point.
thread_local int failingAllocations = 0;

void* operator new(std::size_t size) {
  if (failingAllocations > 0) {
    --failingAllocations;
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
// The blocks come from malloc above, which the compiler does not see where
// a delete expression is inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
// The no-throw forms go through the same blocks (texts take theirs so), so
// that no block is freed by another allocator than the one that gave it
// (an address-sanitizer build replaces every form not replaced here).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace {

KTString Text(const std::string& utf8) { return LoadName(utf8); }

class TempFolder : public KTLoadTestFolder {
 public:
  explicit TempFolder(const char* name) : KTLoadTestFolder("ktloadahead", name) {}
};

// ---- KTLoadAhead ----

constexpr const char* kXsl = "http://www.w3.org/1999/XSL/Transform";

std::string Stylesheet(const std::string& prefix, const std::string& body) {
  return "<" + prefix + ":stylesheet version='1.0' xmlns:" + prefix + "='" + kXsl + "'>" + body + "</" + prefix +
         ":stylesheet>";
}

// Names as a processor finds them in these tests: relative to the folder of
// the module that holds the href, "../" taken out.
bool ModuleNames(const KTString& baseUrl, const KTString& href, KTString& url, KTString& loadName) {
  const std::filesystem::path base = std::filesystem::path(KTUtf16ToUtf8(baseUrl.View())).parent_path();
  url = Text((base / KTUtf16ToUtf8(href.View())).lexically_normal().string());
  loadName = url;
  return true;
}

class LoadAheadTest : public ::testing::Test {
 protected:
  LoadAheadTest() : folder_("modules"), manager_(&StandardGrammars(), nullptr) {}

  std::unique_ptr<KTDocumentRecord> Take(KTLoadAhead& ahead, const std::string& name, KTLoadAhead::Kind kind) {
    return ahead.Take(Text(folder_.File(name)), kind);
  }
  std::string Serial(const std::string& name) { return LoadAndWrite(manager_, folder_.File(name)).tree; }
  std::unique_ptr<KTXNode> LoadTree(const std::string& name) {
    std::unique_ptr<KTDocumentLoader> loader = manager_.NewLoader();
    KTLoadStatus status;
    std::unique_ptr<KTXNode> tree(loader->LoadFromUrl(Text(folder_.File(name)).c_str(), status));
    return status.HasError() ? nullptr : std::move(tree);
  }

  TempFolder folder_;
  KTDocumentManager manager_;
};

TEST_F(LoadAheadTest, TakesTheCleanLoadsOfEveryModuleItCanName) {
  folder_.Write("main.xsl", Stylesheet("xsl", "<xsl:import href='sub/imported.xsl'/>"
                                              "<xsl:include href='sub/a.xsl'/>"
                                              "<xsl:include href='missing.xsl'/>"
                                              "<xsl:include href='broken.xsl'/>"
                                              "<xsl:include href='sub/a.xsl'/>"
                                              "<xsl:include href='with&amp;reference.xsl'/>"
                                              "<other:include xmlns:other='urn:not-xslt' href='other.xsl'/>"
                                              "<xsl:template match='/'/>"));
  folder_.Write("sub/imported.xsl", Stylesheet("t", "<t:include href='../shared.xsl'/>"));
  folder_.Write("sub/a.xsl", Stylesheet("xsl", "<xsl:include href='nested/../b.xsl'/>"));
  folder_.Write("sub/b.xsl", Stylesheet("xsl", ""));
  folder_.Write("shared.xsl", Stylesheet("xsl", "<xsl:variable name='v'/>"));
  folder_.Write("broken.xsl", "<xsl:stylesheet xmlns:xsl='" + std::string(kXsl) + "'><unclosed></xsl:stylesheet>");
  folder_.Write("other.xsl", Stylesheet("xsl", ""));
  folder_.Write("with&reference.xsl", Stylesheet("xsl", ""));

  KTLoadAhead ahead(&manager_, ModuleNames, 3);
  ahead.Add(Text(folder_.File("main.xsl")), Text(folder_.File("main.xsl")), KTLoadAhead::Kind::kStylesheet);
  const KTLoadAhead::Kind kModule = KTLoadAhead::Kind::kModule;

  struct Case {
    const char* name;
    KTLoadAhead::Kind kind;
    bool taken;
  };
  const Case cases[] = {
      {"main.xsl", KTLoadAhead::Kind::kStylesheet, true},
      {"sub/imported.xsl", kModule, true},
      {"shared.xsl", kModule, true},      // "../" from a module in sub
      {"sub/a.xsl", kModule, true},
      {"sub/b.xsl", kModule, true},       // an include of an include
      {"sub/a.xsl", kModule, false},      // taken once only
      {"missing.xsl", kModule, false},    // no file: the run says so itself
      {"broken.xsl", kModule, false},     // not well-formed: likewise
      {"other.xsl", kModule, false},      // not an XSLT element
      {"with&reference.xsl", kModule, false},  // an href the view may read otherwise
      {"main.xsl", kModule, false},       // loaded as another kind
  };
  // As the run's walk over the modules takes them.
  KTLoadAhead::ModuleWalk walk(true);
  for (const Case& c : cases) {
    std::unique_ptr<KTDocumentRecord> record = Take(ahead, c.name, c.kind);
    ASSERT_EQ(record != nullptr, c.taken) << c.name;
    if (!record) continue;
    ASSERT_NE(record->GetDocument(), nullptr) << c.name;
    ASSERT_NE(record->GetLoader(), nullptr) << c.name;
    EXPECT_GT(record->GetLoader()->GetTextLength(), 0) << c.name;
    EXPECT_EQ(WrittenWithoutDeclaration(record->GetDocument()), Serial(c.name)) << c.name;
  }
  EXPECT_EQ(ahead.GetTakenCount(), 5u);
  ahead.Stop();
}

// Taken last first, as no run takes them: without a bound the workers would
// finish every module before the run took the first. The loads the workers
// did not start are made by the run itself, so every one is still taken.
TEST_F(LoadAheadTest, HoldsAtMostItsBoundOfLoadsNotTaken) {
  const int modules = KTLoadAhead::kMaxHeld * 3;
  std::string body;
  for (int i = 0; i < modules; ++i) {
    const std::string name = "m" + std::to_string(i) + ".xsl";
    body += "<xsl:include href='" + name + "'/>";
    folder_.Write(name, Stylesheet("xsl", "<xsl:variable name='v" + std::to_string(i) + "'/>"));
  }
  folder_.Write("main.xsl", Stylesheet("xsl", body));
  KTLoadAhead ahead(&manager_, ModuleNames, 2);
  ahead.Add(Text(folder_.File("main.xsl")), Text(folder_.File("main.xsl")), KTLoadAhead::Kind::kStylesheet);
  ASSERT_NE(Take(ahead, "main.xsl", KTLoadAhead::Kind::kStylesheet), nullptr);
  KTLoadAhead::ModuleWalk walk(true);
  for (int i = modules - 1; i >= 0; --i) {
    const std::string name = "m" + std::to_string(i) + ".xsl";
    std::unique_ptr<KTDocumentRecord> record = Take(ahead, name, KTLoadAhead::Kind::kModule);
    ASSERT_NE(record, nullptr) << name;
    EXPECT_EQ(WrittenWithoutDeclaration(record->GetDocument()), Serial(name)) << name;
  }
  EXPECT_LE(ahead.GetMostHeld(), KTLoadAhead::kMaxHeld);
  EXPECT_EQ(ahead.GetTakenCount(), static_cast<size_t>(modules) + 1);
  ahead.Stop();
}

TEST_F(LoadAheadTest, StopsWithLoadsNotTakenAndTakesNothingAfter) {
  std::string body;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "m" + std::to_string(i) + ".xsl";
    body += "<xsl:include href='" + name + "'/>";
    std::string content;
    for (int k = 0; k < 200; ++k) content += "<xsl:variable name='v" + std::to_string(k) + "' select='" + std::to_string(k) + "'/>";
    folder_.Write(name, Stylesheet("xsl", content));
  }
  folder_.Write("main.xsl", Stylesheet("xsl", body));
  {
    // Destroyed at once: whatever is under way ends, the rest is dropped.
    KTLoadAhead ahead(&manager_, ModuleNames, 3);
    ahead.Add(Text(folder_.File("main.xsl")), Text(folder_.File("main.xsl")), KTLoadAhead::Kind::kStylesheet);
  }
  KTLoadAhead ahead(&manager_, ModuleNames, 3);
  ahead.Add(Text(folder_.File("main.xsl")), Text(folder_.File("main.xsl")), KTLoadAhead::Kind::kStylesheet);
  ASSERT_NE(Take(ahead, "main.xsl", KTLoadAhead::Kind::kStylesheet), nullptr);
  ahead.Stop();
  EXPECT_EQ(Take(ahead, "m0.xsl", KTLoadAhead::Kind::kModule), nullptr);
  ahead.Stop();
}

// Memory that runs out while a worker schedules a module's includes leaves
// them to the run: the worker goes on, and no exception leaves it (which
// would end the program).
TEST_F(LoadAheadTest, MemoryRunningOutWhileSchedulingLeavesTheModulesToTheRun) {
  folder_.Write("main.xsl", Stylesheet("xsl", "<xsl:include href='a.xsl'/><xsl:include href='b.xsl'/>"
                                              "<xsl:include href='c.xsl'/>"));
  for (const char* name : {"a.xsl", "b.xsl", "c.xsl"}) folder_.Write(name, Stylesheet("xsl", ""));
  // The first module's name is found; then the worker's next two
  // allocations fail: the one that schedules it and the first one the
  // look at the next include makes.
  auto names = [](const KTString& baseUrl, const KTString& href, KTString& url, KTString& loadName) {
    const bool found = ModuleNames(baseUrl, href, url, loadName);
    if (KTUtf16ToUtf8(href.View()) == "a.xsl") failingAllocations = 2;
    return found;
  };
  // Not one of the cases fails the run: each module is either taken or
  // loaded by the run itself.
  for (int round = 0; round < 20; ++round) {
    KTLoadAhead ahead(&manager_, names, 2);
    ahead.Add(Text(folder_.File("main.xsl")), Text(folder_.File("main.xsl")), KTLoadAhead::Kind::kStylesheet);
    ASSERT_NE(Take(ahead, "main.xsl", KTLoadAhead::Kind::kStylesheet), nullptr);
    for (const char* name : {"a.xsl", "b.xsl", "c.xsl"}) {
      std::unique_ptr<KTDocumentRecord> record = Take(ahead, name, KTLoadAhead::Kind::kModule);
      if (record) {
        EXPECT_EQ(WrittenWithoutDeclaration(record->GetDocument()), Serial(name)) << name;
      }
    }
    ahead.Stop();
  }
}

// A compact picture of a view: kind, name, value, children.
std::string Picture(const KTXPathNode* node) {
  std::string out = std::to_string(node->GetKind()) + KTUtf16ToUtf8(node->GetName());
  if (node->GetKind() == kXPathText || node->GetKind() == kXPathAttribute) out += "=" + KTUtf16ToUtf8(node->GetValue());
  out += "(";
  for (int i = 0; i < node->GetChildCount(); ++i) out += Picture(node->GetChild(i)) + " ";
  return out + ")";
}

int Texts(const KTXNode* node) {
  int count = node->GetKind() == kText ? 1 : 0;
  for (const KTXNode* child = node->GetFirstChild(); child; child = child->GetNextSibling()) count += Texts(child);
  return count;
}

std::string StylesheetView(KTXNode* document) {
  KTXPathTreeContext context;
  std::unique_ptr<KTXPathNode> view = context.WrapTree(document, nullptr, false, nullptr, true);
  return view ? Picture(view.get()) : "none";
}

// A module a worker loads has the lone white-space texts that its
// stylesheet view leaves out deleted there; the view of what is left is
// the view of the whole module, whatever white space stands where. A module
// with a document type declaration (whose defaults may give xml:space) or
// under xml:space on its stylesheet element is left whole, and only the
// walk over the modules is given a thinned tree: document() gets none.
TEST_F(LoadAheadTest, ThinsOnlyWhatTheStylesheetViewLeavesOut) {
  const std::string xslt = kXsl;
  struct Case {
    const char* label;
    std::string text;
    bool thinned;  // some text is deleted ahead
  };
  const Case cases[] = {
      {"indentation", Stylesheet("xsl", "\n  <xsl:template name='t'>\n    <out>\n      <xsl:value-of select='1'/>\n"
                                        "    </out>\n  </xsl:template>\n"),
       true},
      {"text elements", Stylesheet("xsl", "\n<xsl:template name='t'>\n <xsl:text>  </xsl:text> <xsl:text> <!-- c --> </xsl:text>\n"
                                          " <x:text xmlns:x='urn:x'> <y/> </x:text>\n <t:text xmlns:t='" + xslt +
                                          "'>\n</t:text>\n</xsl:template>\n"),
       true},
      {"xml:space", Stylesheet("xsl", "\n<xsl:template name='t' xml:space='preserve'>\n <a> <b xml:space='default'> "
                                      "<c/> </b> </a>\n</xsl:template>\n <xsl:template name='u'>\n <d xml:space="
                                      "'preserve'> </d> <e xml:space='other'> </e>\n</xsl:template>\n"),
       true},
      {"beside other nodes", Stylesheet("xsl", "\n<xsl:template name='t'>x <a/> <!-- c --> <?p?> <![CDATA[ ]]> "
                                               "<b/>&#32;<c/> &#10; <d/>\t\n<e/> &amp; <f/> <g/>&#13;<h/> <i/> <![CDATA[j]]><k/> "
                                               "</xsl:template>"
                                               "\n"),
       true},
      {"line ends", Stylesheet("xsl", "\r\n<xsl:template name='t'>\r\n <a/>\r <b/>\n</xsl:template>\r\n"), true},
      {"a document type declaration",
       "<!DOCTYPE xsl:stylesheet [<!ATTLIST xsl:template xml:space (default|preserve) 'preserve'>]>\n" +
           Stylesheet("xsl", "\n<xsl:template name='t'>\n <a/>\n</xsl:template>\n"),
       false},
      {"xml:space on the stylesheet element", "<xsl:stylesheet version='1.0' xml:space='preserve' xmlns:xsl='" + xslt +
                                                  "'>\n<xsl:template name='t'>\n <a/>\n</xsl:template>\n"
                                                  "</xsl:stylesheet>\n",
       false},
  };
  folder_.Write("main.xsl", Stylesheet("xsl", "<xsl:include href='m.xsl'/>"));
  for (const Case& c : cases) {
    folder_.Write("m.xsl", c.text);
    std::unique_ptr<KTXNode> serial = LoadTree("m.xsl");
    ASSERT_NE(serial, nullptr) << c.label;
    const std::string wholeView = StylesheetView(serial.get());
    for (const bool walking : {true, false}) {
      KTLoadAhead ahead(&manager_, ModuleNames, 2);
      ahead.Add(Text(folder_.File("main.xsl")), Text(folder_.File("main.xsl")), KTLoadAhead::Kind::kStylesheet);
      // Both loads finished by the worker (neither is taken yet, so both
      // stand held) before the module is taken.
      for (int waited = 0; ahead.GetMostHeld() < 2 && waited < 30000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ASSERT_EQ(ahead.GetMostHeld(), 2) << c.label;
      ASSERT_NE(Take(ahead, "main.xsl", KTLoadAhead::Kind::kStylesheet), nullptr) << c.label;
      KTLoadAhead::ModuleWalk walk(walking);
      std::unique_ptr<KTDocumentRecord> record = Take(ahead, "m.xsl", KTLoadAhead::Kind::kModule);
      if (!walking) {
        // A tree thinned ahead is not for document(), which loads the module
        // itself; one left whole may be taken.
        if (c.thinned) {
          EXPECT_EQ(record, nullptr) << c.label;
        } else if (record) {
          EXPECT_EQ(Texts(record->GetDocument()), Texts(serial.get())) << c.label;
        }
        continue;
      }
      ASSERT_NE(record, nullptr) << c.label;
      EXPECT_EQ(StylesheetView(record->GetDocument()), wholeView) << c.label;
      EXPECT_EQ(Texts(record->GetDocument()) < Texts(serial.get()), c.thinned) << c.label;
    }
  }
}

// The documents that the selects of a module's top-level bindings read with
// document() of a literal are loaded ahead whole, for document() alone: a
// Take outside the walk over the modules gets them (the module itself for
// document('') as well), a name that only ends in "document" or an argument
// that is no literal gets nothing, and the walk still gets the module.
TEST_F(LoadAheadTest, LoadsTheDocumentsOfTopLevelBindingsForDocument) {
  folder_.Write("data.xml", "<data>\n  <item/>\n</data>\n");
  folder_.Write("other.xml", "<other/>");
  folder_.Write("third.xml", "<third/>");
  folder_.Write("large.xml", "<large>" + std::string(KTLoadAhead::kMostDocumentBytes, ' ') + "</large>");
  folder_.Write("m.xsl", Stylesheet("xsl", "\n  <xsl:param name='self' select=\"string(document('')//xsl:param[1]/@name)\"/>\n"
                                           "  <xsl:variable name='data' select='count(document(\"data.xml\")/*)'/>\n"
                                           "  <xsl:variable name='other' select=\"my-document('other.xml')\"/>\n"
                                           "  <xsl:variable name='third' select=\"document(concat('third', '.xml'))\"/>\n"
                                           "  <xsl:param name='large' select=\"document('large.xml')\"/>\n"
                                           "  <xsl:template name='t'>\n    <out/>\n  </xsl:template>\n"));
  folder_.Write("main.xsl", Stylesheet("xsl", "<xsl:include href='m.xsl'/>"));
  KTLoadAhead ahead(&manager_, ModuleNames, 2);
  ahead.Add(Text(folder_.File("main.xsl")), Text(folder_.File("main.xsl")), KTLoadAhead::Kind::kStylesheet);
  // All four loads (main.xsl, m.xsl, m.xsl and data.xml for document())
  // finished by the workers before anything is taken.
  for (int waited = 0; ahead.GetMostHeld() < 4 && waited < 30000; ++waited)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(ahead.GetMostHeld(), 4);
  ASSERT_NE(Take(ahead, "main.xsl", KTLoadAhead::Kind::kStylesheet), nullptr);
  {
    KTLoadAhead::ModuleWalk walk(true);
    std::unique_ptr<KTDocumentRecord> module = Take(ahead, "m.xsl", KTLoadAhead::Kind::kModule);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(StylesheetView(module->GetDocument()), StylesheetView(LoadTree("m.xsl").get()));
  }
  struct Case {
    const char* name;
    bool taken;
  };
  const Case cases[] = {{"m.xsl", true}, {"data.xml", true}, {"other.xml", false}, {"third.xml", false},
                       // Too large to read ahead for a binding the run may never evaluate.
                       {"large.xml", false}};
  for (const Case& c : cases) {
    std::unique_ptr<KTDocumentRecord> record = Take(ahead, c.name, KTLoadAhead::Kind::kModule);
    ASSERT_EQ(record != nullptr, c.taken) << c.name;
    if (!record) continue;
    EXPECT_EQ(WrittenWithoutDeclaration(record->GetDocument()), Serial(c.name)) << c.name;
    EXPECT_EQ(Texts(record->GetDocument()), Texts(LoadTree(c.name).get())) << c.name;
  }
  ahead.Stop();
}

TEST(LoadAheadThreads, NoneOnOneOrTwoCoresOrUnderAnAddressSpaceLimitAtMostTwo) {
  const struct {
    unsigned cores;
    bool limited;
    int threads;
  } cases[] = {{0, false, 0}, {1, false, 0}, {2, false, 0}, {3, false, 2}, {4, false, 2},
               {8, false, 2}, {64, false, 2}, {8, true, 0},  {64, true, 0}};
  for (const auto& c : cases)
    EXPECT_EQ(KTLoadAhead::ThreadsFor(c.cores, c.limited), c.threads) << c.cores << " " << c.limited;
}

}  // namespace
