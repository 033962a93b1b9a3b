// The decoded text handed back behind the tree build: reads of the handed-back
// part give the characters they gave before, and a load that hands its text
// back builds the same tree and reports the same failures, at the same line
// and column, as one that keeps it.
#include "xml/ktsourcetext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ktloadtest_util.h"
#include "platform/ktutf8.h"
#include "platform/ktwchar.h"
#include "xml/ktdocloader.h"
#include "xml/ktdocwellformed.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktparserdriver.h"
#include "xml/ktxnode.h"

namespace {

constexpr int kStretchChars = static_cast<int>(KTSourceText::kStretchBytes / 2);

// Line and column as the checks counted them over a whole text.
void ReferencePosition(const std::u16string& text, int offset, int& line, int& column) {
  line = 1;
  int lineStart = 0;
  for (int i = 0; i < offset; ++i) {
    if (text[i] == u'\n' || (text[i] == u'\r' && (i + 1 >= static_cast<int>(text.size()) || text[i + 1] != u'\n'))) {
      ++line;
      lineStart = i + 1;
    }
  }
  column = KTCountCharacters(text.data() + lineStart, text.data() + offset) + 1;
}

// Stretches of one-byte text, CR LF and lone CR line ends, and a run of wider
// characters with a surrogate pair that must stay in place.
std::u16string SampleText() {
  std::u16string text;
  bool wide = false;
  for (int i = 0; static_cast<int>(text.size()) < 12 * kStretchChars; ++i) {
    if (!wide && static_cast<int>(text.size()) > 6 * kStretchChars) {
      for (int k = 0; k < 6000; ++k) text += u"\u03b1\u4e2d\U0001F600 x\n";
      wide = true;
    }
    text += u"line ";
    text += std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
    text += i % 7 == 0 ? u" caf\u00e9\r\n" : i % 11 == 0 ? u"\r" : u" text\n";
  }
  return text;
}

TEST(SourceText, HandedBackStretchesReadAsBefore) {
  const std::u16string original = SampleText();
  const int length = static_cast<int>(original.size());
  auto block = std::make_unique<char16_t[]>(original.size() + 1);
  std::copy(original.begin(), original.end(), block.get());
  block[original.size()] = 0;

  KTSourceText text(block.get(), length, true);
  long long released = 0;
  for (int offset : {0, kStretchChars / 2, 3 * kStretchChars + 17, length / 2, length - 1, length, length + 5}) {
    text.ReleaseBefore(offset);
    EXPECT_GE(text.GetReleasedCount(), released) << offset;
    released = text.GetReleasedCount();
    // Nothing the offset has not passed is handed back.
    EXPECT_LE(released, std::max(offset, 0)) << offset;
    for (int i = 0; i < length; i += 97) ASSERT_EQ(text.At(i), original[i]) << i;
  }
  EXPECT_GT(released, 4LL * kStretchChars);
  // The stretches of wider characters stay; so does the text's end.
  EXPECT_LT(released, static_cast<long long>(length) - kStretchChars);
  EXPECT_EQ(block[original.size()], 0);

  std::u16string scratch;
  for (int start : {0, 5, kStretchChars - 3, length / 3, length - 40}) {
    const int end = std::min(start + kStretchChars + 100, length);
    EXPECT_EQ(text.Range(start, end, scratch), std::u16string_view(original).substr(start, end - start)) << start;
  }
  EXPECT_EQ(text.Range(length - 2, length + 9, scratch), std::u16string_view(original).substr(length - 2));

  for (int offset : {0, 1, kStretchChars, length / 2 + 3, length - 1, length}) {
    int line = 0, column = 0, wantLine = 0, wantColumn = 0;
    text.LineAndColumn(offset, line, column);
    ReferencePosition(original, offset, wantLine, wantColumn);
    EXPECT_EQ(line, wantLine) << offset;
    EXPECT_EQ(column, wantColumn) << offset;
  }
}

// A text handed back in part, restored, then handed back again: after the
// restore the block itself holds the whole text as it was, and the second
// hand-back reads as the first.
TEST(SourceText, RestoreGivesTheBlockItsTextBack) {
  const std::u16string original = SampleText();
  const int length = static_cast<int>(original.size());
  auto block = std::make_unique<char16_t[]>(original.size() + 1);
  std::copy(original.begin(), original.end(), block.get());
  block[original.size()] = 0;

  KTSourceText text(block.get(), length, true);
  for (int offset : {length / 2, length}) {
    text.ReleaseBefore(offset);
    ASSERT_TRUE(text.HasReleased());
    text.Restore();
    EXPECT_FALSE(text.HasReleased());
    EXPECT_EQ(std::u16string_view(block.get(), original.size()), original) << offset;
    EXPECT_EQ(block[original.size()], 0);
  }
  text.ReleaseBefore(length);
  EXPECT_GT(text.GetReleasedCount(), 4LL * kStretchChars);
  for (int i = 0; i < length; i += 89) ASSERT_EQ(text.At(i), original[i]) << i;
}

// Texts placed at several distances from a stretch boundary, with lengths
// that end the text just before, at and just after one: every character reads
// back as written while the build's offset moves through the text, only whole
// stretches after the first one and before the terminating zero are handed
// back, and the bytes around the text (the block's head, the zero, what
// follows it) are never touched.
TEST(SourceText, EveryCharacterReadsBackAtAnyPlaceAndLength) {
  constexpr size_t kStretch = KTSourceText::kStretchBytes;
  constexpr char16_t kGuard = 0x5A5A;
  for (const size_t lead : {size_t{0}, size_t{2}, size_t{4094}, size_t{4096}, kStretch / 2, kStretch - 2}) {
    // Lengths in characters: none, short, and ending around the 2nd to 4th
    // stretch boundaries counted from the aligned start.
    std::vector<int> lengths = {0, 1, 7, kStretchChars / 2};
    for (size_t boundary : {2 * kStretch, 3 * kStretch, 4 * kStretch}) {
      for (int d : {-2, -1, 0, 1, 2}) {
        const long long chars = static_cast<long long>((boundary - lead) / 2) + d;
        if (chars >= 0) lengths.push_back(static_cast<int>(chars));
      }
    }
    for (const int length : lengths) {
      SCOPED_TRACE(testing::Message() << "lead " << lead << ", length " << length);
      // The block: guard characters up to the text, the text, its zero, and
      // a stretch of guard characters after it.
      const size_t total = lead + (static_cast<size_t>(length) + 1) * 2 + kStretch;
      const size_t bytes = (total + kStretch - 1) / kStretch * kStretch;
      std::unique_ptr<char16_t, void (*)(void*)> block(static_cast<char16_t*>(std::aligned_alloc(kStretch, bytes)),
                                                      std::free);
      ASSERT_NE(block, nullptr);
      std::fill(block.get(), block.get() + bytes / 2, kGuard);
      char16_t* text = block.get() + lead / 2;
      std::u16string original(static_cast<size_t>(length), u' ');
      for (int i = 0; i < length; ++i) {
        // One-byte text, with a single wide character in the third stretch.
        original[i] = static_cast<char16_t>(i * 2 + lead == 2 * kStretch + 100 ? 0x4E2D : u'a' + i % 26);
      }
      std::copy(original.begin(), original.end(), text);
      text[length] = 0;

      KTSourceText source(text, length, true);
      for (int i = 0; i <= length; ++i) {
        source.ReleaseBefore(i);
        if (i < length) {
          ASSERT_EQ(source.At(i), original[i]) << i;
        }
      }
      source.ReleaseBefore(length + 1);
      for (int i = 0; i < length; ++i) ASSERT_EQ(source.At(i), original[i]) << i;
      // Whole stretches from the second one up to the one holding the zero,
      // less the one with the wide character.
      const size_t zeroStretch = (lead + static_cast<size_t>(length) * 2) / kStretch;
      long long expected = 0;
      for (size_t s = 1; s < zeroStretch; ++s) {
        if (lead + static_cast<size_t>(length) * 2 > 2 * kStretch + 100 && s == 2) continue;
        expected += static_cast<long long>(kStretch / 2);
      }
      EXPECT_EQ(source.GetReleasedCount(), expected);
      for (size_t i = 0; i < lead / 2; ++i) ASSERT_EQ(block.get()[i], kGuard) << i;
      EXPECT_EQ(text[length], 0);
      for (size_t i = lead / 2 + static_cast<size_t>(length) + 1; i < bytes / 2; ++i)
        ASSERT_EQ(block.get()[i], kGuard) << i;
      int line = 0, column = 0;
      source.LineAndColumn(length, line, column);
      EXPECT_EQ(line, 1);
      EXPECT_EQ(column, length + 1);
    }
  }
}

TEST(SourceText, ViewNeverHandsBack) {
  const std::u16string original = SampleText();
  KTSourceText text(original.data(), static_cast<int>(original.size()));
  text.ReleaseBefore(static_cast<int>(original.size()));
  EXPECT_FALSE(text.HasReleased());
  EXPECT_EQ(text.At(12345), original[12345]);
}

// A document of about a megabyte of records (one-byte text, with a run of
// wider characters), then `tail` inside the root element.
std::string LargeDocument(const std::string& subset, const std::string& tail) {
  std::string text = "<?xml version='1.0' encoding='UTF-8'?>\n<!DOCTYPE doc [" + subset + "]>\n<doc>\n";
  for (int i = 0; text.size() < 1000000; ++i) {
    text += "  <r id=\"i" + std::to_string(i) + "\" v=\"caf\xc3\xa9 " + std::to_string(i % 50) + "\">t &amp; " +
            std::to_string(i) + (i % 4000 == 2000 ? " \xce\xb1\xe4\xb8\xad\xf0\x9f\x98\x80" : "") +
            "</r><!-- c -->\r\n";
  }
  return text + tail + "\n</doc>\n";
}

struct Outcome {
  bool loaded = false;
  std::string written;
  std::string message;
  int line = 0;
  int column = 0;
};

Outcome Describe(KTXNode* tree, const KTLoadStatus& status) {
  Outcome o;
  o.loaded = tree != nullptr && !status.HasError();
  if (tree) o.written = WrittenWithoutDeclaration(tree);
  o.message = StatusMessage(status);
  o.line = status.GetLine();
  o.column = status.GetColumn();
  return o;
}

// The streamed load must come out as the whole-tree load: loaded or not, the
// same message, line and column, and the same tree.
void ExpectSameOutcome(const Outcome& streamed, const Outcome& whole) {
  EXPECT_EQ(streamed.loaded, whole.loaded);
  EXPECT_EQ(streamed.message, whole.message);
  EXPECT_EQ(streamed.line, whole.line);
  EXPECT_EQ(streamed.column, whole.column);
  EXPECT_TRUE(streamed.written == whole.written) << "the trees differ";
}

// Builds the tree as the loader does for a text it may hand back, and
// answers how much it handed back. Stretches lie at addresses that are
// multiples of their size, so what a text hands back depends on where in a
// stretch it starts: the text stands at one place within a stretch, never
// at its start, so that loads of one text compare alike wherever the
// allocator puts their blocks.
Outcome ParseHandingBack(const std::string& bytes, long long& released, bool streaming = true,
                         int* pinned = nullptr) {
  constexpr size_t kLead = 4098;
  std::u16string decoded = KTUtf8ToUtf16(bytes);
  const size_t blockBytes = kLead + (decoded.size() + 1) * sizeof(char16_t);
  const size_t stretches = (blockBytes + KTSourceText::kStretchBytes - 1) / KTSourceText::kStretchBytes;
  std::unique_ptr<char, decltype(&std::free)> raw(
      static_cast<char*>(std::aligned_alloc(KTSourceText::kStretchBytes, stretches * KTSourceText::kStretchBytes)),
      &std::free);
  char16_t* const block = reinterpret_cast<char16_t*>(raw.get() + kLead);
  std::copy(decoded.begin(), decoded.end(), block);
  block[decoded.size()] = 0;
  const int length = static_cast<int>(decoded.size());
  decoded.clear();

  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  std::unique_ptr<KTXNode> document = loader.CreateDocumentNode(KTGrammarCache::kXml);
  KTParserDriver driver;
  KTLoadStatus status;
  KTSourceText source(block, length, true);
  EXPECT_TRUE(driver.Init(StandardGrammars().FindGrammar(KTGrammarCache::kXml), true, true, true));
  driver.SetSourceText(&source);
  driver.SetStreaming(streaming);
  const bool ok = driver.Parse(block, length, status, document.get(), nullptr, true) &&
                  KTCheckWellFormedTree(source, document.get(), status);
  released = source.GetReleasedCount();
  if (pinned) *pinned = source.GetPinnedCount();
  return Describe(ok ? document.get() : nullptr, status);
}

TEST(SourceText, LoadsAlikeWithTheTextHandedBack) {
  const struct {
    const char* subset;
    const char* tail;
    bool wellFormed;
  } cases[] = {
      {"", "<x a='1'/>", true},
      {"", "<x a='1' b='2' a='3'/>", false},                   // attribute given twice
      {"", "<x>\xc3\xa9 &undeclared;</x>", false},             // entity not declared
      {"", "<x a='ok &#1;'/>", false},                          // character reference in a value
      {"", "<x>\xce\xb1\xf0\x9f\x98\x80 &#xD800;</x>", false},  // after wide characters on the line
      {"", "<p:x/>", false},                                    // prefix not declared
      {"", "<\xc4\x80\xcd\xbe/>", false},                       // name character above U+00FF
      {"<!ENTITY % p 'x'><!ENTITY e 'a%p;'>", "<x/>", false},  // reference in the internal subset
  };
  KTDocumentLoader keeping(&StandardGrammars(), nullptr, nullptr);
  KTDocumentLoader dropping(&StandardGrammars(), nullptr, nullptr);
  dropping.SetDropTextAfterLoad(true);
  // Keeps only where the lines start, recorded before the build hands the
  // text back.
  KTDocumentLoader lining(&StandardGrammars(), nullptr, nullptr);
  lining.SetKeptText(KTDocumentLoader::KeptText::kLines);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tail);
    const std::string bytes = LargeDocument(c.subset, c.tail);
    const auto size = static_cast<uint32_t>(bytes.size());

    KTLoadStatus keptStatus;
    std::unique_ptr<KTXNode> kept(keeping.LoadFromBytes(bytes.data(), size, KTGrammarCache::kXml, keptStatus));
    const Outcome want = Describe(kept.get(), keptStatus);
    EXPECT_EQ(want.loaded, c.wellFormed) << want.message;
    EXPECT_FALSE(keeping.GetText().IsEmpty());

    long long released = 0;
    const Outcome direct = ParseHandingBack(bytes, released);
    EXPECT_GT(released, 0);

    KTLoadStatus droppedStatus;
    std::unique_ptr<KTXNode> dropped(dropping.LoadFromBytes(bytes.data(), size, KTGrammarCache::kXml, droppedStatus));
    const Outcome got = Describe(dropped.get(), droppedStatus);
    EXPECT_TRUE(dropping.GetText().IsEmpty());
    EXPECT_EQ(dropping.GetTextLength(), keeping.GetTextLength());

    KTLoadStatus linedStatus;
    std::unique_ptr<KTXNode> lined(lining.LoadFromBytes(bytes.data(), size, KTGrammarCache::kXml, linedStatus));
    const Outcome linedOutcome = Describe(lined.get(), linedStatus);
    EXPECT_TRUE(lining.GetText().IsEmpty());
    // Every offset, up to one past the end, is placed as in the whole text,
    // both ways of counting.
    const KTLineMap& wholeLines = keeping.GetLineMap();
    const KTLineMap& have = lining.GetLineMap();
    const int length = keeping.GetText().GetLength();
    for (const KTLineMap::Counting counting :
         {KTLineMap::Counting{}, KTLineMap::Counting{KTLineMap::Columns::kUnits, KTLineMap::PairMiddle::kOnNextLine}}) {
      for (int offset = -1; offset <= length + 1; ++offset) {
        int wantLine = 0, wantColumn = 0, haveLine = 0, haveColumn = 0;
        const bool wantFound = wholeLines.Locate(offset, wantLine, wantColumn, counting);
        ASSERT_EQ(have.Locate(offset, haveLine, haveColumn, counting), wantFound) << offset;
        ASSERT_EQ(haveLine, wantLine) << offset;
        ASSERT_EQ(haveColumn, wantColumn) << offset;
      }
    }
    // Taken over, the map goes with its places; the loader is left with
    // none but the start of an empty text.
    const KTLineMap taken = lining.TakeLineMap();
    int line = 0, column = 0, wantLine = 0, wantColumn = 0;
    ASSERT_TRUE(wholeLines.Locate(length, wantLine, wantColumn));
    EXPECT_TRUE(taken.Locate(length, line, column));
    EXPECT_EQ(line, wantLine);
    EXPECT_EQ(column, wantColumn);
    EXPECT_FALSE(lining.GetLineMap().Locate(1, line, column));
    EXPECT_TRUE(lining.GetLineMap().Locate(0, line, column));

    for (const Outcome* o : {&direct, &got, &linedOutcome}) {
      EXPECT_EQ(o->loaded, want.loaded);
      EXPECT_EQ(o->message, want.message);
      EXPECT_EQ(o->line, want.line);
      EXPECT_EQ(o->column, want.column);
      EXPECT_TRUE(o->written == want.written) << "the trees differ";
    }
  }
}

// A build that fails (here: into a node that holds no children) places the
// failure by reading back to its line's start, across stretches handed back.
TEST(SourceText, BuildFailureColumnReadsBackThroughHandedBackText) {
  const std::u16string cases[] = {
      std::u16string(200000, u' ') + u"<a/>",
      u"\n" + std::u16string(150000, u' ') + u"\r" + std::u16string(70000, u' ') + u"<!--c--><a/>",
      std::u16string(140000, u'\n') + std::u16string(80000, u' ') + u"<?p x?><a/>",
  };
  for (const std::u16string& original : cases) {
    const int length = static_cast<int>(original.size());
    KTParserDriver keeping;
    KTLoadStatus kept;
    ASSERT_TRUE(keeping.Init(StandardGrammars().FindGrammar(KTGrammarCache::kXml), true, true, true));
    auto leaf = CreateXNode(kText);
    EXPECT_FALSE(keeping.Parse(original.c_str(), length, kept, leaf.get(), nullptr, true));
    EXPECT_EQ(kept.GetCode(), KTLoadStatus::kBuildFailed);
    EXPECT_GT(kept.GetColumn(), 60000);

    auto block = std::make_unique<char16_t[]>(original.size() + 1);
    std::copy(original.begin(), original.end(), block.get());
    block[original.size()] = 0;
    KTSourceText source(block.get(), length, true);
    KTParserDriver dropping;
    KTLoadStatus dropped;
    ASSERT_TRUE(dropping.Init(StandardGrammars().FindGrammar(KTGrammarCache::kXml), true, true, true));
    dropping.SetSourceText(&source);
    auto other = CreateXNode(kText);
    EXPECT_FALSE(dropping.Parse(block.get(), length, dropped, other.get(), nullptr, true));
    EXPECT_GT(source.GetReleasedCount(), 0);
    EXPECT_EQ(StatusMessage(dropped), StatusMessage(kept));
    EXPECT_EQ(dropped.GetLine(), kept.GetLine());
    EXPECT_EQ(dropped.GetColumn(), kept.GetColumn());
  }
}

// A document of several stretches whose elements' children are built while
// the parse runs, the text behind them handed back as it goes: with the
// records directly under the root or under one or two wrapper elements, and
// a fault placed late, one to four levels below them (each level opened by
// the stream: it holds a batch of children before the next), inside one
// large child or among many small ones, the load fails (or succeeds) as the
// build after the whole parse does, with the same message, line and column,
// and builds the same tree.
TEST(SourceText, StreamedBuildLoadsAlike) {
  // Records with one-byte and wide characters, CR LF and LF line ends, and
  // `tail` after them, `levels` - 1 elements down.
  auto document = [](int wrappers, int levels, const std::string& tail, const char* ending) {
    // A long comment first puts the root's start tag past the first stretches.
    std::string text = "<?xml version='1.0'?>\n<!DOCTYPE doc [<!ENTITY e 'x'>]>\n<!--" +
                       std::string(150000, 'p') + "--><doc a=\"1\">";
    const char* open[] = {"", "<all>", "<all b='2'><part>\n"};
    const char* close[] = {"", "</all>", "</part>\n</all>"};
    text += open[wrappers];
    for (int i = 0; text.size() < 750000; ++i) {
      text += "<r id=\"i" + std::to_string(i) + "\" v=\"caf\xc3\xa9\">t &amp; &e; " + std::to_string(i) +
              (i % 3000 == 1500 ? " \xce\xb1\xe4\xb8\xad\xf0\x9f\x98\x80" : "") + "</r>" +
              (i % 2 ? "\r\n" : "\n");
    }
    for (int i = 1; i < levels; ++i) {
      text += "<w" + std::to_string(i) + ">";
      for (int k = 0; k < 300; ++k) text += k % 2 ? "<k/>" : "<k>\xc3\xa9</k>";
    }
    text += tail;
    for (int i = levels - 1; i >= 1; --i) text += "</w" + std::to_string(i) + ">";
    text += close[wrappers];
    return text + ending;
  };
  const char* closed = "\n</doc>\n<!--z-->";
  const struct {
    const char* tail;
    const char* ending;
  } faults[] = {
      {"<x>y</x>", closed},                       // none
      {"<x>y</z>", closed},                       // end tag that does not match
      {"<x a='<'/>", closed},                     // character not allowed there
      {"<x>\xe4\xb8\xad<\xc4\x80\xcd\xbe/>", closed},  // name character above U+00FF
      {"<x>y", closed},                           // element left open
      {"<x>y</x>", "\n"},                        // root left open
      {"<x>y</x>", "\n</dox>\n"},                // root's end tag that does not match
      {"<x>y</x>", "\n</doc>\n<doc/>"},          // a second root
      {"<x>&nope;</x>", closed},                  // entity not declared
      {"<x a='1' b='2' a='3'/>", closed},         // attribute given twice
      {"<x>&#1;</x>", closed},                    // character reference to a control character
  };
  for (int wrappers : {0, 1, 2}) {
    for (int levels : {1, 2, 4}) {
      for (const auto& f : faults) {
        SCOPED_TRACE(std::string(f.tail) + " at level " + std::to_string(levels) + " under " +
                     std::to_string(wrappers) + " wrappers, ending " + f.ending);
        const std::string bytes = document(wrappers, levels, f.tail, f.ending);
        long long wholeReleased = 0, streamedReleased = 0;
        int pinned = -1;
        const Outcome whole = ParseHandingBack(bytes, wholeReleased, false);
        const Outcome streamed = ParseHandingBack(bytes, streamedReleased, true, &pinned);
        ExpectSameOutcome(streamed, whole);
        if (!whole.loaded) {
          EXPECT_GT(streamed.line, 10000) << streamed.message;
        }
        // Text was handed back while the parse ran, at any depth of the
        // records; no pin outlives the parse.
        EXPECT_GT(streamedReleased, 0);
        EXPECT_EQ(pinned, 0);
      }
    }
  }
}

// Pins are counted per stretch: however many ranges are pinned, only the
// stretches they touch are kept, and each is narrowed once its last pin
// goes if the text behind the build has passed it.
TEST(SourceText, PinsKeepOnlyTheStretchesTheyTouch) {
  std::u16string text;
  while (static_cast<int>(text.size()) < 8 * kStretchChars) text += u"<a>some text\n";
  // Aligned to a stretch, so that stretch k holds characters from k * kStretchChars.
  const size_t bytes = (text.size() + 1) * 2;
  std::unique_ptr<char16_t, void (*)(void*)> block(
      static_cast<char16_t*>(std::aligned_alloc(KTSourceText::kStretchBytes,
                                                (bytes + KTSourceText::kStretchBytes - 1) /
                                                    KTSourceText::kStretchBytes * KTSourceText::kStretchBytes)),
      std::free);
  ASSERT_TRUE(block);
  std::copy(text.begin(), text.end(), block.get());
  block.get()[text.size()] = 0;
  const int length = static_cast<int>(text.size());
  KTSourceText source(block.get(), length, true);
  // 5000 pins in the third stretch and one across the fifth and sixth.
  const int third = 2 * kStretchChars + 100;
  for (int i = 0; i < 5000; ++i) source.Pin(third + i * 3, third + i * 3 + 3);
  source.Pin(5 * kStretchChars - 10, 5 * kStretchChars + 10);
  EXPECT_EQ(source.GetPinnedCount(), 3);
  source.ReleaseBefore(length);
  // Seven whole stretches lie behind the end besides the first (never
  // narrowed); three are pinned.
  const long long perStretch = kStretchChars;
  EXPECT_EQ(source.GetReleasedCount(), 4 * perStretch);
  for (int i = 0; i < 4999; ++i) source.Unpin(third + i * 3, third + i * 3 + 3);
  EXPECT_EQ(source.GetPinnedCount(), 3);
  source.Unpin(third + 4999 * 3, third + 4999 * 3 + 3);
  EXPECT_EQ(source.GetPinnedCount(), 2);
  EXPECT_EQ(source.GetReleasedCount(), 5 * perStretch);
  source.Unpin(5 * kStretchChars - 10, 5 * kStretchChars + 10);
  EXPECT_EQ(source.GetPinnedCount(), 0);
  EXPECT_EQ(source.GetReleasedCount(), 7 * perStretch);
  for (int i = 0; i < length; i += 997) ASSERT_EQ(source.At(i), text[i]) << i;
}

// Elements nested 1,400 deep, each opened by the stream (a batch of
// children before the next): every start tag is pinned at once, and the
// load matches the whole-tree build, succeeding or failing at the bottom.
TEST(SourceText, DeepPathOfOpenElementsLoadsAlike) {
  constexpr int kDepth = 1400;
  for (const char* bottom : {"<z/>", "<z>"}) {
    SCOPED_TRACE(bottom);
    std::string text = "<doc>";
    for (int i = 0; i < kDepth; ++i) {
      text += "<e" + std::to_string(i % 10) + " n='" + std::to_string(i) + "'>";
      for (int k = 0; k < 260; ++k) text += "<k/>";
    }
    text += bottom;
    for (int i = kDepth - 1; i >= 0; --i) text += "</e" + std::to_string(i % 10) + ">";
    text += "</doc>";
    long long wholeReleased = 0, streamedReleased = 0;
    int pinned = -1;
    const Outcome whole = ParseHandingBack(text, wholeReleased, false);
    const Outcome streamed = ParseHandingBack(text, streamedReleased, true, &pinned);
    ExpectSameOutcome(streamed, whole);
    EXPECT_EQ(pinned, 0);
    if (whole.loaded) {
      // Once the pins are gone, all the text the build passed is narrowed.
      EXPECT_EQ(streamedReleased, wholeReleased);
    }
  }
}

// Content of white space only becomes one text node, at any depth; a build that fails in
// the stream (into a node that holds no elements) reports that failure once
// the parse ends, and a parse failure after it wins, as without the stream.
TEST(SourceText, StreamedBuildEdgesLoadAlike) {
  const std::string spaces(300000, ' ');
  const std::string records = [] {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "<r>" + std::to_string(i) + "</r>\n";
    return text;
  }();
  const std::string texts[] = {
      "<doc>" + spaces + "</doc>",
      "<doc> </doc>",
      "<doc>" + spaces + "<a/></doc>",
      "<doc><![CDATA[c]]>" + spaces + "</doc>",
      "<doc>" + records + "</doc>",
      "<doc>" + records + "  </doc>",
      "<doc>" + spaces + records + spaces + "</doc>",
      // The same one and two elements down, the outer ones opened by the stream.
      "<doc><w>" + spaces + "</w></doc>",
      "<doc>" + records + "<w>" + spaces + "</w></doc>",
      "<doc><w>" + records + "<v>" + spaces + "</v> </w></doc>",
      "<doc><w><v>" + spaces + records + spaces + "</v>" + records + "</w>\n</doc>",
      "<doc><w>" + records + "<v><![CDATA[c]]>" + spaces + "</v></w></doc>",
  };
  for (const std::string& bytes : texts) {
    SCOPED_TRACE(bytes.substr(0, 40));
    long long released = 0;
    const Outcome whole = ParseHandingBack(bytes, released, false);
    const Outcome streamed = ParseHandingBack(bytes, released, true);
    EXPECT_TRUE(whole.loaded) << whole.message;
    EXPECT_EQ(streamed.loaded, whole.loaded);
    EXPECT_TRUE(streamed.written == whole.written) << "the trees differ";
  }
  for (const std::string& tail : {std::string("</doc>"), std::string("</dox>")}) {
    SCOPED_TRACE(tail);
    const std::u16string text = KTUtf8ToUtf16("\n<doc>" + records + tail);
    std::string outcome[2];
    for (bool streaming : {false, true}) {
      auto block = std::make_unique<char16_t[]>(text.size() + 1);
      std::copy(text.begin(), text.end(), block.get());
      block[text.size()] = 0;
      const int length = static_cast<int>(text.size());
      KTSourceText source(block.get(), length, true);
      KTParserDriver driver;
      KTLoadStatus status;
      ASSERT_TRUE(driver.Init(StandardGrammars().FindGrammar(KTGrammarCache::kXml), true, true, true));
      driver.SetSourceText(&source);
      driver.SetStreaming(streaming);
      auto leaf = CreateXNode(kText);
      EXPECT_FALSE(driver.Parse(block.get(), length, status, leaf.get(), nullptr, true));
      outcome[streaming] = std::to_string(status.GetCode()) + " " + StatusMessage(status) + " " +
                           std::to_string(status.GetLine()) + ":" + std::to_string(status.GetColumn());
    }
    EXPECT_EQ(outcome[1], outcome[0]);
  }
}

}  // namespace
