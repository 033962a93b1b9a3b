// The chunked parse of a document's root content: where the split-point
// finder cuts, and documents loaded in chunks (one after another, and on
// threads) against the same documents loaded serially, node by node with
// their source offsets, and failures with the same message and place.
#include "xml/ktchunkparse.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ktloadtest_util.h"
#include "platform/ktutf8.h"
#include "xml/ktdecodedtext.h"
#include "xml/ktdocloader.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktinputbuffer.h"
#include "xml/ktloadstatus.h"
#include "xml/ktparserdriver.h"
#include "xml/ktxnode.h"
#include "xml/ktxnodekinds.h"
#include "xml/ktxnodepool.h"

namespace {

std::string U8(std::u16string_view s) { return KTUtf16ToUtf8(s); }

// Every node with its kind, source offsets, name and value; an element's
// attributes as it keeps them (pending entries or nodes) with their
// offsets. Reads the children as the load left them (no pending attribute
// is made a node).
void Dump(const KTXNode* node, std::string& out) {
  out += std::to_string(node->GetKind()) + "[" + std::to_string(node->GetStartOffset()) + "," +
         std::to_string(node->GetEndOffset()) + "]";
  if (node->HasName()) out += U8(static_cast<const KTXNamedNode*>(node)->NameString().View());
  out += "\"" + U8(static_cast<const KTXValueNode*>(node)->ValueString().View()) + "\"";
  if (!node->IsContainer()) return;
  const auto* container = static_cast<const KTXContainerNode*>(node);
  out += "#" + std::to_string(container->GetChildCount());
  if (container->GetPendingAttributes()) out += "pending";
  container->VisitAttributes([&](const KTXAttributeView& a) {
    out += " @" + U8(std::u16string_view(a.name->c_str())) + "=" + U8(a.value->View()) + "[" +
           std::to_string(a.start) + "," + std::to_string(a.end) + "]";
  });
  out += "{";
  for (const KTXNode* child = node->GetFirstMadeChild(); child; child = child->GetNextSibling()) {
    Dump(child, out);
    out += "\n";
  }
  out += "}";
}

struct Loaded {
  std::string tree;  // empty after a failure
  std::string message;
  int line = 0;
  int column = 0;
  uint32_t code = 0;
};

// `dropText`: the loader hands the text back while the tree is built
// (KTSourceText), as the program's loads do.
Loaded Load(const std::string& bytes, KTChunkMode mode, bool dropText) {
  KTSetChunkMode(mode);
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  loader.SetDropTextAfterLoad(dropText);
  KTLoadStatus status;
  std::unique_ptr<KTXNode> tree(
      loader.LoadFromBytes(bytes.data(), static_cast<uint32_t>(bytes.size()), KTGrammarCache::kXml, status));
  KTSetChunkMode(KTChunkMode::kOff);
  Loaded loaded;
  if (tree) Dump(tree.get(), loaded.tree);
  loaded.message = StatusMessage(status);
  loaded.line = status.GetLine();
  loaded.column = status.GetColumn();
  loaded.code = status.GetCode();
  return loaded;
}

std::string Repeat(const std::string& part, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += part;
  return out;
}

std::string Nested(int depth) { return Repeat("<d>", depth) + "x" + Repeat("</d>", depth); }

struct Case {
  const char* name;
  std::string text;
  bool parses;
  bool chunked = true;  // the finder cuts it
};

std::vector<Case> Documents() {
  const std::string many = Repeat("\n  <item id='1' k=\"v\">text &amp; more<b>bold</b> tail</item>", 40);
  const int depth = KTParserDriver::kMaxElementDepth;
  return {
      {"many children and text between", "<?xml version='1.0'?>\n<root a='1'>" + many + "\n</root>\n", true},
      {"markup holding '<' and quotes",
       "<r><a/><!-- <b> ' \" --><?pi <c> '?><![CDATA[<d> \" ]]><e x='>' y=\"&lt;\"/>t<f/><!--x--></r>", true},
      {"namespaces on the root", "<p:r xmlns:p='urn:p' xmlns='urn:d'><p:a p:x='1'/><b/><c xmlns=''/><p:d/></p:r>",
       true},
      {"two children", "<r><a>1</a><b>2</b></r>", true},
      {"one child", "<r> <a>1</a> </r>", true, false},
      {"one huge child among small", "<r><a/>" + Nested(50) + "<b>" + Repeat("<i/>", 500) + "</b><c/></r>", true},
      {"text only around children", "<r>lead<a/>mid<b/>end</r>", true},
      {"white space only between", "<r>\n<a/>\n<b/>\n</r>", true},
      {"references", "<r><a>&#60;&#x3E;&lt;&quot;</a><b x='&apos;&amp;'/></r>", true},
      {"an undeclared entity", "<r><a/><b>&nope;</b></r>", false},
      {"comments and PIs after the root", "<!--c--><?p d?><r><a/><b/></r><!--end--><?q?>\n", true},
      {"characters past ASCII", "<r><a>\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80</a><\xC3\xA9 x='\xC3\xBC'/><b/></r>", true},
      {"CRLF line ends", "<?xml version='1.0'?>\r\n<r>\r\n<a>x\r\ny</a>\r\n<b c='1\r\n2'/>\r\n</r>\r\n", true},
      {"a byte order mark", "\xEF\xBB\xBF<r><a/><b/></r>", true},
      {"an element repeating an attribute", "<r><a/><b x='1' x='2'/></r>", false},
      {"many attributes", "<r><a/><b a='1' b='2' c='3' d='4' e='5' f='6' g='7' h='8' i='9' j='10'/></r>", true},
      {"as deep as allowed", "<r><a/>" + Nested(depth - 1) + "</r>", true},
      {"one level too deep", "<r><a/>" + Nested(depth) + "</r>", false},
      {"a malformed chunk in the middle", "<r><a/><b>x</c><d/><e/></r>", false},
      {"a malformed last chunk", "<r><a/><b/><c>&</c></r>", false},
      {"a chunk with a stray end tag", "<r><a/></b><c/></r>", false},
      {"an unclosed root", "<r><a/><b/>", false},
      {"an unclosed child", "<r><a/><b><c/></r>", false},
      {"a mismatched root end", "<r><a/><b/></s>", false},
      {"markup after the root", "<r><a/><b/></r><c/>", false},
      {"an attribute value holding '<'", "<r><a/><b x='<'/></r>", false},
      {"a DOCTYPE", "<!DOCTYPE r [<!ENTITY e 'v'>]><r><a/><b>&e;</b></r>", true, false},
      {"a bad name start", "<r><a/><1/></r>", false},
      // Contents cut below the root: the tags of the elements cut stay in
      // the rest, with their attributes, text and markup around them.
      {"nested contents cut",
       "<?xml version='1.0'?>\n<r a='1'>\n <s k='v' l=\"w\">\n  <a x='1'>t</a>\n  <b/>\n </s>\n <!--c-->"
       "<t><u><c/><d>e</d></u><v/>tail</t>\n</r>\n<!--after-->",
       true},
      {"nested, a failure inside", "<r><s><a/><b>x</c></s><t/></r>", false},
      {"nested, as deep as allowed", "<r><s><a/>" + Nested(depth - 2) + "</s><t/></r>", true},
      {"nested, one level too deep", "<r><s><a/>" + Nested(depth - 1) + "</s><t/></r>", false},
      {"nested, an end name that differs", "<r><s><a/><b/></q><t/></r>", false},
      // Past several stretches of handed-back text (KTSourceText): a failure
      // near the end, after the text before it went back, and a success.
      {"a large document failing at its end", "<r>" + Repeat(many, 40) + "<a>&</a></r>", false},
      {"a large document", "<?xml version='1.0'?><r>" + Repeat(many, 40) + "</r><!--e-->", true},
  };
}

// A plan shown in its text: each chunk as '[' and the depth of the element
// whose content it cuts, then ']'; "" where the finder gives up.
std::string ShowPlan(const std::u16string& text, int chunkChars, int maxDepth, int stretches, bool threads) {
  KTChunkPlan plan;
  std::string shown;
  if (!KTFindChunks(text.data(), static_cast<int>(text.size()), chunkChars, maxDepth, stretches, threads, plan))
    return shown;
  size_t next = 0;
  for (int i = 0; i <= static_cast<int>(text.size()); ++i) {
    if (next > 0 && plan.chunks[next - 1].end == i) shown += "]";
    if (next < plan.chunks.size() && plan.chunks[next].start == i)
      shown += "[" + std::to_string(plan.chunks[next++].depth);
    if (i < static_cast<int>(text.size())) shown += U8(text.substr(static_cast<size_t>(i), 1));
  }
  return shown;
}

// The split-point finder: each chunk of the plan shown in the text as '['
// and the depth of the element whose content it cuts, then ']'; "" where
// the finder gives up.
TEST(ChunkParse, FindsChunksOfWholeItems) {
  struct Cut {
    const char16_t* text;
    int chunkChars;
    int maxDepth;
    const char* plan;
  };
  const Cut cases[] = {
      {u"<r><a/><b>x</b><c x='>' y=\"/>\">t</c></r>", 1, 1, "<r>[1<a/>][1<b>x</b>][1<c x='>' y=\"/>\">t</c>]</r>"},
      {u"<?xml version='1.0'?><!--c--><?p x?>\n<r>t<a><z/></a><b/></r>", 1, 1,
       "<?xml version='1.0'?><!--c--><?p x?>\n<r>[1t][1<a><z/></a>][1<b/>]</r>"},
      {u"<r><!-- <x/> --><a/><![CDATA[<y/>]]><b/><?p <z/>?><c/></r>", 1, 1,
       "<r>[1<!-- <x/> -->][1<a/><![CDATA[<y/>]]>][1<b/><?p <z/>?>][1<c/>]</r>"},
      {u"<r><a/><b/><c/></r>", 6, 1, "<r>[1<a/><b/>][1<c/>]</r>"},
      // A child large enough, its content cut, keeps its tags; a small one
      // stays whole in a chunk of its parent.
      {u"<r><s><a/><b/></s><t>x</t></r>", 1, 3, "<r><s>[2<a/>][2<b/>]</s>[1<t>x</t>]</r>"},
      {u"<r><s><a/><b/></s><t>x</t></r>", 1, 1, "<r>[1<s><a/><b/></s>][1<t>x</t>]</r>"},
      {u"<r>\n<s k='1'><a/><b/></s>\n<t><c/><d/></t>\n</r>", 1, 2,
       "<r>[1\n]<s k='1'>[2<a/>][2<b/>]</s>[1\n]<t>[2<c/>][2<d/>]</t>[1\n]</r>"},
      {u"<r><s><a/><b/></s><t/></r>", 8, 3, "<r>[1<s><a/><b/></s>][1<t/>]</r>"},
      {u"<r><a/></r>", 1, 1, ""},                      // one chunk: nothing to cut
      {u"<r/>", 1, 1, ""},                             // no content
      {u"<!DOCTYPE r><r><a/><b/></r>", 1, 1, ""},      // a DOCTYPE: serial
      {u"<r><a/><b/>", 1, 1, ""},                      // the root left open
      {u"<r><a/><!-- <b/></r>", 1, 1, ""},             // a comment left open
      {u"<r><a/><!FOO><b/></r>", 1, 1, ""},            // markup it does not know
      {u"x<r><a/><b/></r>", 1, 1, ""},                 // text before the root
      {u"<r><a/><b x='1/></r>", 1, 1, ""},             // a quote left open
  };
  for (const Cut& c : cases) {
    const std::u16string text(c.text);
    SCOPED_TRACE(U8(text));
    EXPECT_EQ(ShowPlan(text, c.chunkChars, c.maxDepth, 1, false), c.plan);
    // Scanned ahead in stretches, whose starts fall on tags, on markup in
    // comments, CDATA sections, processing instructions and quoted values,
    // and after the root: the same plan.
    for (int stretches = 2; stretches <= 12; ++stretches) {
      for (bool threads : {false, true}) {
        SCOPED_TRACE(std::to_string(stretches) + (threads ? " stretches on threads" : " stretches"));
        EXPECT_EQ(ShowPlan(text, c.chunkChars, c.maxDepth, stretches, threads), c.plan);
      }
    }
  }
}

// Stretches scanned ahead over larger documents: deep nesting, contents cut
// at every depth, markup holding '<' and tags beside the stretches' starts,
// against the plan of the scan from the start.
TEST(ChunkParse, StretchesScannedAheadGiveTheSamePlan) {
  const std::u16string item = u"<i a='<x>' b=\"/>\"><n>t</n><!-- <i> --><![CDATA[</i>]]><?p </i>?><e/></i>\n";
  std::u16string many;
  for (int k = 0; k < 60; ++k) many += item;
  std::u16string deep;
  for (int k = 0; k < 8; ++k) deep = u"<d" + std::u16string(1, static_cast<char16_t>(u'0' + k)) + u">" + many + deep + u"</d>";
  const std::u16string texts[] = {
      u"<r>" + many + u"</r>",
      u"<?xml version='1.0'?><!--c--><r><s>" + many + u"</s><t>" + many + u"<u>" + many + u"</u></t>" + many +
          u"</r><!-- after <r> --><?p <r>?>\n",
      u"<r>" + deep + many + u"</r>",
      u"<r>" + many + u"</r><extra>" + many,  // markup after the root
      u"<r>" + many + u"<!-- left open " + many,
      u"<r>" + many,  // the root left open
  };
  for (const std::u16string& text : texts) {
    for (int chunkChars : {1, 40, 400, 4000}) {
      for (int maxDepth : {1, 2, 4}) {
        const std::string serial = ShowPlan(text, chunkChars, maxDepth, 1, false);
        for (int stretches : {2, 3, 7, 8, 31}) {
          SCOPED_TRACE(std::to_string(text.size()) + " units, " + std::to_string(chunkChars) + ", depth " +
                       std::to_string(maxDepth) + ", " + std::to_string(stretches) + " stretches");
          EXPECT_EQ(ShowPlan(text, chunkChars, maxDepth, stretches, true), serial);
        }
      }
    }
  }
}

// Each document loads in chunks to the tree the serial load builds, or fails
// with the serial load's message and place.
TEST(ChunkParse, ChunkedLoadsMatchTheSerialLoad) {
  for (const Case& c : Documents()) {
    for (bool dropText : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (dropText ? ", text handed back" : ""));
      const Loaded serial = Load(c.text, KTChunkMode::kOff, dropText);
      EXPECT_EQ(!serial.tree.empty(), c.parses) << serial.message;
      for (KTChunkMode mode : {KTChunkMode::kForceInline, KTChunkMode::kForce}) {
        const long before = KTChunkParse::GetChunkedCount();
        const Loaded chunked = Load(c.text, mode, dropText);
        // A document that parses went the chunked way (where the finder
        // cuts it); one that fails went back to the serial parse.
        if (c.parses && c.chunked) {
          EXPECT_EQ(KTChunkParse::GetChunkedCount(), before + 1);
        }
        EXPECT_EQ(chunked.tree, serial.tree);
        EXPECT_EQ(chunked.message, serial.message);
        EXPECT_EQ(chunked.line, serial.line);
        EXPECT_EQ(chunked.column, serial.column);
        EXPECT_EQ(chunked.code, serial.code);
      }
    }
  }
}

// A large UTF-8 text is decoded in pieces cut at bytes that start a
// character; the forced modes cut even these short texts into up to eight
// pieces, so that cuts fall beside and inside multi-byte forms. A text the
// whole decode would replace anything in (an ill-formed sequence, a NUL)
// is decoded whole: the same tree, message and place as the serial load.
TEST(ChunkParse, PiecewiseDecodeMatchesTheWholeDecode) {
  struct Text {
    const char* name;
    std::string bytes;
    bool wellFormed;  // decoded in pieces
  };
  const std::string mixed = "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80" "a";
  const Text texts[] = {
      {"ASCII", "<r><a>plain</a><b x='1'/></r>", true},
      {"two, three and four bytes everywhere", "<r><a>" + Repeat(mixed, 9) + "</a><b/></r>", true},
      {"four-byte forms only", "<r>" + Repeat("\xF0\x9F\x98\x80", 12) + "<a/></r>", true},
      {"a byte order mark", "\xEF\xBB\xBF<r><a>\xC3\xA9</a><b/></r>", true},
      {"a lone continuation byte", "<r><a>x\x80y</a><b/></r>", false},
      {"a run of continuation bytes", "<r><a>x" + Repeat("\x80", 40) + "y</a><b/></r>", false},
      {"a cut-off form", "<r><a>x\xE4\xB8y</a><b/></r>", false},
      {"an overlong form", "<r><a>x\xC0\xAFy</a><b/></r>", false},
      {"an encoded surrogate", "<r><a>x\xED\xA0\x80y</a><b/></r>", false},
      {"U+FFFE", "<r><a>x\xEF\xBF\xBEy</a><b/></r>", false},
      {"past U+10FFFF", "<r><a>x\xF4\x90\x80\x80y</a><b/></r>", false},
      {"a NUL byte", "<r><a>x" + std::string(1, '\0') + "y</a><b/></r>", false},
      {"a form cut off by the end", "<r><a/><b/></r>\xE4\xB8", false},
  };
  for (const Text& t : texts) {
    SCOPED_TRACE(t.name);
    const Loaded serial = Load(t.bytes, KTChunkMode::kOff, true);
    for (KTChunkMode mode : {KTChunkMode::kForceInline, KTChunkMode::kForce}) {
      const long before = KTDecodedTextBuffer::GetPiecewiseCount();
      const Loaded pieced = Load(t.bytes, mode, true);
      EXPECT_EQ(KTDecodedTextBuffer::GetPiecewiseCount(), before + (t.wellFormed ? 1 : 0));
      EXPECT_EQ(pieced.tree, serial.tree);
      EXPECT_EQ(pieced.message, serial.message);
      EXPECT_EQ(pieced.line, serial.line);
      EXPECT_EQ(pieced.column, serial.column);
      EXPECT_EQ(pieced.code, serial.code);
    }
  }
  // The serial mode never cuts.
  const long before = KTDecodedTextBuffer::GetPiecewiseCount();
  Load(texts[1].bytes, KTChunkMode::kOff, true);
  EXPECT_EQ(KTDecodedTextBuffer::GetPiecewiseCount(), before);
}

// A file read in pieces at their own offsets holds the bytes the serial read
// gets: files of every length up to a few pieces of each, cut at every
// place the forced modes put a cut, load to the serial load's tree.
TEST(ChunkParse, FilesReadInPiecesMatchTheSerialRead) {
  KTLoadTestFolder folder("ktchunkparse", "pieces");
  const std::string item = "<i n='1'>\xC3\xA9t</i>\n";
  for (int items = 0; items < 24; ++items) {
    std::string text = "<r>";
    for (int k = 0; k < items; ++k) text += item;
    text += "</r>\n";
    SCOPED_TRACE(std::to_string(text.size()) + " bytes");
    const KTString path = LoadName(folder.Write("d.xml", text));
    auto load = [&](KTChunkMode mode) {
      KTSetChunkMode(mode);
      KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
      KTLoadStatus status;
      std::unique_ptr<KTXNode> tree(loader.LoadFromFile(path.c_str(), status, nullptr));
      KTSetChunkMode(KTChunkMode::kOff);
      std::string dump;
      if (tree) Dump(tree.get(), dump);
      return dump + StatusMessage(status);
    };
    const std::string serial = load(KTChunkMode::kOff);
    EXPECT_EQ(serial.find("\xC3\xA9t") != std::string::npos, items > 0);
    for (KTChunkMode mode : {KTChunkMode::kForceInline, KTChunkMode::kForce}) {
      const long before = KTFileBuffer::GetPiecewiseReadCount();
      EXPECT_EQ(load(mode), serial);
      EXPECT_EQ(KTFileBuffer::GetPiecewiseReadCount(), before + 1);
    }
  }
}

// A document of `length` characters: items under the root, the last one
// holding `tail`.
std::string OfLength(int length, const std::string& tail) {
  const std::string item = "\n <row id='7'><name>n &amp; m</name><v>12</v></row>";
  std::string text = "<?xml version='1.0'?>\n<table>";
  const std::string end = "<last>" + tail + "</last></table>\n";
  while (text.size() + item.size() + end.size() <= static_cast<size_t>(length)) text += item;
  text += std::string(static_cast<size_t>(length) - text.size() - end.size(), ' ');
  return text + end;
}

// Without a forced mode, a document from kMinMidLength on loads in chunks
// (on a machine of kMinMidCores cores) to the serial load's tree, or fails
// as the serial load fails; a shorter one loads serially.
TEST(ChunkParse, MidSizeDocumentsLoadInChunksOnEnoughCores) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  const bool cores = static_cast<int>(std::thread::hardware_concurrency()) >= KTChunkParse::kMinMidCores &&
                     CPU_COUNT(&allowed) >= KTChunkParse::kMinMidCores;
  const struct {
    int length;
    const char* tail;
    bool chunked;
  } cases[] = {
      {KTChunkParse::kMinMidLength - 1, "x", false},
      {KTChunkParse::kMinMidLength, "x", cores},
      {KTChunkParse::kMinMidLength * 6 + 5, "x", cores},
      {KTChunkParse::kMinMidLength * 6 + 5, "&", false},
      {KTChunkParse::kMinLength - 1, "<a>y</b>", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + " " + c.tail);
    const std::string text = OfLength(c.length, c.tail);
    ASSERT_EQ(text.size(), static_cast<size_t>(c.length));
    for (bool dropText : {false, true}) {
      const Loaded serial = Load(text, KTChunkMode::kOff, dropText);
      const long before = KTChunkParse::GetChunkedCount();
      const Loaded chunked = Load(text, KTChunkMode::kAuto, dropText);
      EXPECT_EQ(KTChunkParse::GetChunkedCount(), before + (c.chunked ? 1 : 0));
      EXPECT_EQ(chunked.tree, serial.tree);
      EXPECT_EQ(chunked.message, serial.message);
      EXPECT_EQ(chunked.line, serial.line);
      EXPECT_EQ(chunked.column, serial.column);
    }
  }
}

// A document loaded on several threads leaves this thread's node pool taking
// its blocks as an owner that grows, since the document's view grows here
// next; a serial load of the same document leaves the pool as its own
// blocks say.
TEST(ChunkParse, ThreadedLoadLeavesThisThreadsPoolGrowing) {
  if (static_cast<int>(std::thread::hardware_concurrency()) < KTChunkParse::kMinMidCores)
    GTEST_SKIP() << "too few cores for a threaded load";
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  if (CPU_COUNT(&allowed) < KTChunkParse::kMinMidCores) GTEST_SKIP() << "too few usable cores";
  const std::string text = OfLength(KTChunkParse::kMinMidLength, "x");
  const size_t taken = gKTXNodePool.blocksTaken;
  gKTXNodePool.blocksTaken = 0;
  Load(text, KTChunkMode::kOff, false);
  EXPECT_LT(gKTXNodePool.blocksTaken, kKTXNodePoolBlocksBeforeGrowing);
  gKTXNodePool.blocksTaken = 0;
  const long before = KTChunkParse::GetChunkedCount();
  Load(text, KTChunkMode::kAuto, false);
  ASSERT_EQ(KTChunkParse::GetChunkedCount(), before + 1);
  EXPECT_GE(gKTXNodePool.blocksTaken, kKTXNodePoolBlocksBeforeGrowing);
  gKTXNodePool.blocksTaken = std::max(taken, gKTXNodePool.blocksTaken);
}

// A load on another thread than the process's first (a stylesheet module
// fetched ahead) is parsed serially, as it may hold that thread's log.
TEST(ChunkParse, LoadsOnOtherThreadsAreSerial) {
  const std::string text = "<r><a/><b>x</b><c/></r>";
  const Loaded serial = Load(text, KTChunkMode::kOff, true);
  const long before = KTChunkParse::GetChunkedCount();
  Loaded onThread;
  std::thread worker([&] { onThread = Load(text, KTChunkMode::kForceInline, true); });
  worker.join();
  EXPECT_EQ(KTChunkParse::GetChunkedCount(), before);
  EXPECT_EQ(onThread.tree, serial.tree);
  const Loaded chunked = Load(text, KTChunkMode::kForceInline, true);
  EXPECT_EQ(KTChunkParse::GetChunkedCount(), before + 1);
  EXPECT_EQ(chunked.tree, serial.tree);
}

}  // namespace
