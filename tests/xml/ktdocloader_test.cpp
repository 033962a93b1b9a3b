// The document loader and the document manager over real files: every
// encoding loads to the same tree, every failure leaves its status and the
// run goes on, documents load once per path, and saved texts and trees read
// back equal in each encoding and line-end form.
#include "xml/ktdocloader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ktloadtest_util.h"
#include "core/ktencoding.h"
#include "platform/ktutf8.h"
#include "xml/ktdecodedtext.h"
#include "xml/ktdocmanager.h"
#include "xml/ktdocsource.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktidentifiercatalog.h"
#include "xml/ktloaderror.h"
#include "xml/ktloadstatus.h"
#include "xml/ktxnode.h"
#include "xml/ktxwriter.h"

namespace {

const std::string kData = OST_TEST_DATA "/xml/loading/";

KTString Path(const std::string& utf8) { return KTString(std::u16string_view(KTUtf8ToUtf16(utf8))); }

// A folder of its own for the files a test writes, removed afterwards.
class TempFolder {
 public:
  explicit TempFolder(const char* name)
      : path_(std::filesystem::temp_directory_path() / ("ktdocloader-" + std::to_string(getpid()) + "-" + name)) {
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  std::string File(const char* name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::unique_ptr<KTXNode> Load(KTDocumentLoader& loader, const std::string& path, KTLoadStatus& status) {
  return std::unique_ptr<KTXNode>(loader.LoadFromUrl(Path(path), status));
}

TEST(DocumentLoader, EveryEncodingLoadsToTheSameTree) {
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  std::unique_ptr<KTXNode> latin = Load(loader, kData + "latin-utf8.xml", status);
  ASSERT_NE(latin, nullptr) << StatusMessage(status);
  const std::string latinText = WrittenWithoutDeclaration(latin.get());
  EXPECT_NE(latinText.find("caf\xC3\xA9 cr\xC3\xA8me"), std::string::npos) << latinText;
  std::unique_ptr<KTXNode> japanese = Load(loader, kData + "japanese-utf8.xml", status);
  ASSERT_NE(japanese, nullptr) << StatusMessage(status);
  const std::string japaneseText = WrittenWithoutDeclaration(japanese.get());

  struct Case {
    const char* file;
    const std::string& expected;
  } cases[] = {
      {"latin-utf16le-bom.xml", latinText}, {"latin-utf16be.xml", latinText},
      {"latin-iso-8859-1.xml", latinText},  {"latin-windows-1252.xml", latinText},
      {"japanese-shift-jis.xml", japaneseText},
  };
  for (const Case& c : cases) {
    std::unique_ptr<KTXNode> tree = Load(loader, kData + c.file, status);
    ASSERT_NE(tree, nullptr) << c.file << ": " << StatusMessage(status);
    EXPECT_FALSE(status.HasError()) << c.file << ": " << StatusMessage(status);
    EXPECT_EQ(WrittenWithoutDeclaration(tree.get()), c.expected) << c.file;
  }
}

TEST(DocumentLoader, EveryFailureLeavesItsStatusAndTheRunGoesOn) {
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  // A named pipe without a writer would block open() for ever; the harness's
  // timeout ends the test if it ever does.
  TempFolder folder("failures");
  const std::string fifo = folder.File("pipe.xml");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
  struct Case {
    std::string name;
    int category;
    uint32_t code;
    bool document;  // a document still comes out
  } cases[] = {
      {kData + "no-such-file.xml", KTLoadStatus::kFile, ENOENT, false},
      {kData, KTLoadStatus::kFile, EISDIR, false},
      // Only regular files are read: a pipe or a device is refused at once.
      {fifo, KTLoadStatus::kLoader, kLoadNotRegularFile, false},
      {"/dev/zero", KTLoadStatus::kLoader, kLoadNotRegularFile, false},
      {"/dev/null", KTLoadStatus::kLoader, kLoadNotRegularFile, false},
      {kData + "invalid-utf8.xml", KTLoadStatus::kEncoding, KTLoadStatus::kDecodeFailed, true},
      // A NUL character does not end the document early: the rest is parsed
      // too, and fails.
      {kData + "nul-character.xml", KTLoadStatus::kParse, KTLoadStatus::kParseFailed, false},
      {kData + "not-well-formed.xml", KTLoadStatus::kParse, KTLoadStatus::kParseFailed, false},
      // XML names are case-sensitive: an end tag must match its start tag exactly.
      {kData + "end-tag-case-differs.xml", KTLoadStatus::kParse, KTLoadStatus::kParseFailed, false},
      {"", KTLoadStatus::kLoader, kLoadEmptySourceName, false},
      {"http://127.0.0.1:9/a.xml", KTLoadStatus::kFile, KTLoadStatus::kUrlTransferFailed, false},
      {kData + "no-line-end.xml", 0, 0, true},
  };
  for (const Case& c : cases) {
    KTLoadStatus status;
    std::unique_ptr<KTXNode> tree = Load(loader, c.name, status);
    EXPECT_EQ(tree != nullptr, c.document) << c.name;
    EXPECT_EQ(status.GetCategory(), c.category) << c.name;
    EXPECT_EQ(status.GetCode(), c.code) << c.name;
    EXPECT_EQ(status.GetMessage().IsEmpty(), c.code == 0) << c.name << ": " << StatusMessage(status);
  }

  // A file of zero bytes has no root element: it fails like any other
  // document without one (XML 1.0 §2.1).
  KTLoadStatus status;
  std::unique_ptr<KTXNode> empty = Load(loader, kData + "empty.xml", status);
  EXPECT_EQ(empty, nullptr);
  EXPECT_EQ(status.GetCode(), KTLoadStatus::kParseFailed);
  EXPECT_NE(StatusMessage(status).find("no root element"), std::string::npos) << StatusMessage(status);

  // No source at all, and a loader without grammars.
  EXPECT_EQ(loader.Load(nullptr, status, nullptr, true), nullptr);
  EXPECT_EQ(status.GetCode(), KTLoadStatus::kNoSource);
  KTDocumentLoader bare;
  EXPECT_EQ(bare.LoadFromUrl(Path(kData + "no-line-end.xml"), status), nullptr);
  EXPECT_EQ(status.GetCategory(), KTLoadStatus::kLoader);
  EXPECT_EQ(status.GetCode(), KTLoadStatus::kNoGrammar);
}

TEST(DocumentLoader, SourceOfNeitherKindIsReported) {
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  KTDocumentSource plain(u"a.xml", kSourcePlain);
  EXPECT_EQ(loader.Load(&plain, status, nullptr, false), nullptr);
  EXPECT_EQ(status.GetCategory(), KTLoadStatus::kLoader);
  EXPECT_EQ(status.GetCode(), kLoadUnsupportedSource);
}

TEST(DocumentLoader, RecordsLineEndsAndPicksTheGrammarByName) {
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  struct Case {
    const char* file;
    const char16_t* lineEnd;
    int kind;
  } cases[] = {
      {"crlf-lines.xml", kLineEndCrLf, kXmlDocument},
      {"cr-lines.xml", kLineEndCr, kXmlDocument},
      {"no-line-end.xml", kLineEndCrLf, kXmlDocument},
      {"latin-utf8.xml", kLineEndLf, kXmlDocument},
      {"schema.DTD", kLineEndLf, kDtdDocument},
  };
  for (const Case& c : cases) {
    KTLoadStatus status;
    std::unique_ptr<KTXNode> tree = Load(loader, kData + c.file, status);
    ASSERT_NE(tree, nullptr) << c.file << ": " << StatusMessage(status);
    EXPECT_EQ(loader.GetLineEnd(), c.lineEnd) << c.file;
    EXPECT_EQ(tree->GetKind(), c.kind) << c.file;
  }
}

TEST(DocumentLoader, LoadsFromBytes) {
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  const char bytes[] = "<a x='1'>t</a>";
  std::unique_ptr<KTXNode> tree(loader.LoadFromBytes(bytes, sizeof bytes - 1, KTGrammarCache::kXml, status));
  ASSERT_NE(tree, nullptr) << StatusMessage(status);
  EXPECT_EQ(WrittenWithoutDeclaration(tree.get()), "<a x=\"1\">t</a>\n");
  EXPECT_EQ(loader.LoadFromBytes(bytes, 3, 99, status), nullptr);
  EXPECT_EQ(status.GetCode(), KTLoadStatus::kNoGrammar);
}

// A UTF-8 file of a few pieces is decoded as it is read, to the tree the
// same bytes give decoded whole (its line ends as written). One with a bad
// sequence late in it goes to the whole read, whose decode reports it.
TEST(DocumentLoader, LargeUtf8FilesDecodeAsTheyAreRead) {
  TempFolder folder("streamed");
  std::string good = "<?xml version='1.0'?>\r\n<r>\r\n";
  for (int i = 0; good.size() < 100000; ++i)
    good += "<l n='" + std::to_string(i) + "'>caf\xC3\xA9 \xF0\x9F\x98\x80</l>\r\n";
  good += "</r>\r\n";
  std::string bad = good;
  bad[bad.rfind("caf\xC3\xA9") + 3] = '\x80';
  const std::string goodPath = folder.File("good.xml");
  const std::string badPath = folder.File("bad.xml");
  WriteBytes(goodPath, good);
  WriteBytes(badPath, bad);

  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  std::unique_ptr<KTXNode> whole(
      loader.LoadFromBytes(good.data(), static_cast<uint32_t>(good.size()), KTGrammarCache::kXml, status));
  ASSERT_NE(whole, nullptr) << StatusMessage(status);
  long before = KTDecodedTextBuffer::GetStreamedCount();
  std::unique_ptr<KTXNode> streamed = Load(loader, goodPath, status);
  ASSERT_NE(streamed, nullptr) << StatusMessage(status);
  EXPECT_FALSE(status.HasError()) << StatusMessage(status);
  EXPECT_EQ(KTDecodedTextBuffer::GetStreamedCount(), before + 1);
  EXPECT_EQ(WrittenWithoutDeclaration(streamed.get()), WrittenWithoutDeclaration(whole.get()));

  KTDecodedTextBuffer decoder;
  KTLoadStatus decodeStatus;
  ASSERT_TRUE(decoder.Decode(bad.data(), static_cast<uint32_t>(bad.size()), true, decodeStatus));
  ASSERT_TRUE(decodeStatus.HasError());
  before = KTDecodedTextBuffer::GetStreamedCount();
  std::unique_ptr<KTXNode> replaced = Load(loader, badPath, status);
  EXPECT_EQ(KTDecodedTextBuffer::GetStreamedCount(), before);
  EXPECT_EQ(StatusMessage(status), StatusMessage(decodeStatus));
}

// XML 1.0 §2.11: a DTD or an external parsed entity is parsed with CR LF and
// lone CR read as LF, since its text goes into other documents as it stands.
TEST(DocumentLoader, EntitiesAndDtdsReadLineEndsAsLf) {
  struct Case {
    int grammar;
    const char* bytes;
    const char* value;  // the text or default the parse holds
  } cases[] = {
      {KTGrammarCache::kEntity, "Data\r\n", "Data\n"},
      {KTGrammarCache::kEntity, "two\rlines\r\n\r\nend\r", "two\nlines\n\nend\n"},
      {KTGrammarCache::kEntity, "<?xml encoding='UTF-8'?>a\r\rb", "a\n\nb"},
      {KTGrammarCache::kDtd, "<!ENTITY e 'a\r\nb\rc'>\r\n", "a\nb\nc"},
      // The first CR far into a long text, past the blocks searched at once.
      {KTGrammarCache::kEntity, "a first line of some length\nthen more text before the\r\nend",
       "a first line of some length\nthen more text before the\nend"},
      {KTGrammarCache::kDtd, "<!-- a comment long enough to fill some blocks -->\n<!ENTITY e 'x\ry'>",
       "x\ny"},
  };
  for (const Case& c : cases) {
    KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
    KTLoadStatus status;
    std::unique_ptr<KTXNode> tree(
        loader.LoadFromBytes(c.bytes, static_cast<uint32_t>(std::strlen(c.bytes)), c.grammar, status));
    ASSERT_NE(tree, nullptr) << c.bytes << ": " << StatusMessage(status);
    std::string values;
    std::vector<KTXNode*> pending{tree.get()};
    while (!pending.empty()) {
      KTXNode* n = pending.back();
      pending.pop_back();
      if (n->GetValue()) values += KTUtf16ToUtf8(n->GetValue());
      for (KTXNode* child = n->GetFirstChild(); child; child = child->GetNextSibling()) pending.push_back(child);
    }
    EXPECT_EQ(values.find('\r'), std::string::npos) << c.bytes;
    EXPECT_NE(values.find(c.value), std::string::npos) << c.bytes << " gave " << values;
  }
}

// A loader keeping only lines reads its file again for the map when first
// asked: the map places every offset as the map of the text the load parsed
// (a DTD's line ends read as LF, an encoding other than UTF-8 decoded).
// A file changed since the load places nothing.
TEST(DocumentLoader, LinesKeptOfAFileAreMadeFromItAgain) {
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"lf.xml", "<a>\n\t<b x='\xF0\x9F\x98\x80'/>\n</a>\n"},
      {"crlf.xml", "<a>\r\n\t\xF0\x90\x90\x80<b/>\r\n\r\n</a>"},
      {"cr.xml", "<a>\r<b/>\r\r</a>\r"},
      {"latin.xml", "<?xml version='1.0' encoding='ISO-8859-1'?>\r\n<a>\xE9\xE8\n<b/></a>"},
      {"decls.dtd", "<!ELEMENT a ANY>\r\n<!-- \xF0\x9F\x98\x80 -->\r<!ATTLIST a x CDATA #IMPLIED>\r\n"},
  };
  TempFolder folder("lines");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = folder.File(c.name);
    WriteBytes(path, c.bytes);
    KTDocumentLoader keeping(&StandardGrammars(), nullptr, nullptr);
    KTDocumentLoader lining(&StandardGrammars(), nullptr, nullptr);
    lining.SetKeptText(KTDocumentLoader::KeptText::kLines);
    KTLoadStatus status;
    ASSERT_NE(Load(keeping, path, status), nullptr) << StatusMessage(status);
    ASSERT_NE(Load(lining, path, status), nullptr) << StatusMessage(status);
    EXPECT_TRUE(lining.GetText().IsEmpty());
    const KTLineMap& want = keeping.GetLineMap();
    const KTLineMap& have = lining.GetLineMap();
    const int length = keeping.GetText().GetLength();
    for (const KTLineMap::Counting counting :
         {KTLineMap::Counting{}, KTLineMap::Counting{KTLineMap::Columns::kUnits, KTLineMap::PairMiddle::kOnNextLine}}) {
      for (int offset = -1; offset <= length + 1; ++offset) {
        int line = 0, column = 0, wantLine = 0, wantColumn = 0;
        const bool found = want.Locate(offset, wantLine, wantColumn, counting);
        EXPECT_EQ(have.Locate(offset, line, column, counting), found) << offset;
        EXPECT_EQ(line, wantLine) << offset;
        EXPECT_EQ(column, wantColumn) << offset;
      }
    }
    EXPECT_TRUE(lining.GetText().IsEmpty());
    EXPECT_EQ(lining.GetTextLength(), keeping.GetTextLength());
  }

  // Changed after the load: once with a new time, once longer under the
  // time it had.
  for (const bool sameTime : {false, true}) {
    SCOPED_TRACE(sameTime);
    const std::string path = folder.File("changed.xml");
    WriteBytes(path, "<a>\n<b/>\n</a>\n");
    const auto loaded = std::filesystem::last_write_time(path);
    KTDocumentLoader lining(&StandardGrammars(), nullptr, nullptr);
    lining.SetKeptText(KTDocumentLoader::KeptText::kLines);
    KTLoadStatus status;
    ASSERT_NE(Load(lining, path, status), nullptr) << StatusMessage(status);
    WriteBytes(path, "<a>\n<b/>\n<c/>\n</a>\n");
    std::filesystem::last_write_time(path, sameTime ? loaded : loaded + std::chrono::seconds(5));
    int line = 0, column = 0;
    EXPECT_FALSE(lining.GetLineMap().Locate(0, line, column));
  }
}

TEST(DocumentLoader, FreeFunctions) {
  EXPECT_EQ(ClassifyUrl(u"HTTP://host/a.xml"), kNameIsUrl);
  EXPECT_EQ(ClassifyUrl(u"file:///tmp/a.xml"), kNameIsUrl);
  EXPECT_EQ(ClassifyUrl(u"ftp://h/a"), kNameIsUrl);
  EXPECT_EQ(ClassifyUrl(u"D:\\data\\a.xml"), kNameIsPath);
  EXPECT_EQ(ClassifyUrl(u"a.xml"), kNameIsPath);
  EXPECT_EQ(ClassifyUrl(u"http:/a.xml"), kNameIsPath);
  EXPECT_EQ(ClassifyUrl(u"file:/tmp/a.xml"), kNameIsUrl);
  EXPECT_EQ(ClassifyUrl(u"file:a.xml"), kNameIsPath);

  struct Case {
    const char16_t* text;
    const char16_t* expected;
  } cases[] = {
      {u"<?xml version='1.0' encoding='Shift_JIS'?><a/>", u"shift_jis"},
      {u"<?XML version=\"1.0\" encoding  =  \"UTF-16\"?>", u"utf-16"},
      {u"<?xml version='1.0'?><a encoding='x'/>", u"x"},
      {u"<?xml version='1.0' encoding\t='x'?>", u""},
      {u"<?xml version='1.0' encoding='latin1?>", u""},
      {u"<a/>", u""},
      {u"<!-- a comment that pushes the declaration beyond the first one hundred characters of the text ---><?xml encoding='x'?>",
       u""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(EncodingFromDeclarationText(c.text), KTString(c.expected)) << KTUtf16ToUtf8(c.text);

  EXPECT_EQ(MapLineEnd(u"\r"), kLineEndCr);
  EXPECT_EQ(MapLineEnd(u"\r\r"), nullptr);
}

// Saves with a line end of its own choosing, as the front end's result writer does.
class LineEndWriter : public KTDocumentLoader {
 public:
  LineEndWriter(const char16_t* lineEnd) : KTDocumentLoader(&StandardGrammars(), nullptr, nullptr), lineEnd_(lineEnd) {}
  const char16_t* LineEndForSave(KTDocumentSource*, KTDocumentRecord*) override { return lineEnd_; }

 private:
  const char16_t* lineEnd_;
};

TEST(DocumentLoader, SavedTextReadsBackInEveryEncodingAndLineEnd) {
  TempFolder folder("text");
  const KTString text(u"<?xml version=\"1.0\"?>\n<a>caf\u00E9\r\nline\rend</a>\n");
  struct Case {
    int id;
    const char16_t* lineEnd;
    const char* lineEndBytes;
  } cases[] = {
      {kEncodingUtf8, kLineEndCrLf, "\r\n"},
      {kEncodingUtf8, kLineEndLf, "\n"},
      {kEncodingUtf16, kLineEndCrLf, ""},
      {EncodingIdFromName(u"ISO-8859-1"), kLineEndLf, "\n"},
      {EncodingIdFromName(u"windows-1252"), kLineEndCrLf, "\r\n"},
  };
  for (const Case& c : cases) {
    std::string path = folder.File("saved.xml");
    LineEndWriter writer(c.lineEnd);
    KTLoadStatus status;
    ASSERT_TRUE(writer.SaveTextToFile(Path(path), text, status, c.id, kByteOrderLittle)) << StatusMessage(status);
    EXPECT_FALSE(status.HasError()) << StatusMessage(status);

    KTString expected(text);
    expected.NormalizeLineEnds(c.lineEnd);
    KTString saved = writer.ReadText(Path(path), status, nullptr);
    // The declaration names no encoding, so only the Unicode forms read back
    // as the same characters; the single-byte files are checked byte by byte.
    if (c.id == kEncodingUtf8 || c.id == kEncodingUtf16) {
      EXPECT_EQ(saved, expected) << c.id;
    } else {
      EXPECT_EQ(ReadBytes(path), "<?xml version=\"1.0\"?>" + std::string(c.lineEndBytes) + "<a>caf\xE9" +
                                     c.lineEndBytes + "line" + c.lineEndBytes + "end</a>" + c.lineEndBytes)
          << c.id;
    }
  }
}

// ISO 8859-6 reads bytes 30-39 as the ASCII digits, with its declaration as
// without; Arabic-Indic digits are saved as those bytes.
TEST(DocumentLoader, Iso8859_6KeepsItsDigits) {
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  const char bytes[] = "<?xml version='1.0' encoding='ISO-8859-6'?><a n='12'>\xC7 2026</a>";
  std::unique_ptr<KTXNode> tree(loader.LoadFromBytes(bytes, sizeof bytes - 1, KTGrammarCache::kXml, status));
  ASSERT_NE(tree, nullptr) << StatusMessage(status);
  EXPECT_FALSE(status.HasError()) << StatusMessage(status);
  EXPECT_EQ(WrittenWithoutDeclaration(tree.get()), "\n<a n=\"12\">\xD8\xA7 2026</a>\n");

  TempFolder folder("arabic");
  std::string path = folder.File("digits.xml");
  ASSERT_TRUE(loader.SaveTextToFile(Path(path), u"<a>\u0661\u0662 12</a>", status, EncodingIdFromName(u"ISO-8859-6"), 0))
      << StatusMessage(status);
  EXPECT_EQ(ReadBytes(path), "<a>12 12</a>");
}

// XML 1.0 §4.3.3: a document declared in an encoding that no name here
// answers to does not load, and the status names the encoding.
TEST(DocumentLoader, UnknownDeclaredEncodingsAreRefused) {
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  for (const char* name : {"ISO-8859-13", "IBM855"}) {
    KTLoadStatus status;
    std::string bytes = std::string("<?xml version='1.0' encoding='") + name + "'?><a>x</a>";
    std::unique_ptr<KTXNode> tree(
        loader.LoadFromBytes(bytes.data(), static_cast<uint32_t>(bytes.size()), KTGrammarCache::kXml, status));
    EXPECT_EQ(tree, nullptr) << name;
    EXPECT_EQ(status.GetCategory(), KTLoadStatus::kEncoding) << name;
    EXPECT_NE(StatusMessage(status).find(std::string("\"") + name + "\""), std::string::npos) << StatusMessage(status);
  }
}

// A declared name that no encoding here answers to is not written as a label
// on bytes of another encoding: the text is saved as UTF-8, its declaration
// says UTF-8, and a warning says why.
TEST(DocumentLoader, SaveUnderAnUnknownNameWritesUtf8) {
  TempFolder folder("unknown");
  std::string path = folder.File("x-latin-one.xml");
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  ASSERT_TRUE(loader.SaveTextToFile(Path(path), u"<?xml version='1.0' encoding='x-latin-one'?><a>caf\u00E9</a>", status, 0, 0))
      << StatusMessage(status);
  EXPECT_EQ(ReadBytes(path), "<?xml version='1.0' encoding='UTF-8'?><a>caf\xC3\xA9</a>");
  EXPECT_EQ(status.GetCategory(), KTLoadStatus::kEncoding);
  EXPECT_EQ(status.GetCode(), KTLoadStatus::kEncodeFailed);
  EXPECT_NE(StatusMessage(status).find("\"x-latin-one\" is not supported"), std::string::npos) << StatusMessage(status);

  // Read back, the file loads; under its old label it would not.
  KTLoadStatus readStatus;
  std::unique_ptr<KTXNode> tree = Load(loader, path, readStatus);
  ASSERT_NE(tree, nullptr) << StatusMessage(readStatus);
  EXPECT_EQ(WrittenWithoutDeclaration(tree.get()), "\n<a>caf\xC3\xA9</a>\n");
}

TEST(DocumentLoader, SavedTreeReadsBackEqual) {
  TempFolder folder("tree");
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  std::unique_ptr<KTXNode> reference = Load(loader, kData + "latin-utf8.xml", status);
  ASSERT_NE(reference, nullptr);
  const std::string original = WrittenWithoutDeclaration(reference.get());
  struct Case {
    const char* file;
    int id;  // 0: the encoding the tree declares
    const char16_t* lineEnd;
  } cases[] = {
      {"latin-utf8.xml", kEncodingUtf16, kLineEndCrLf},
      {"latin-utf8.xml", 0, kLineEndLf},
      {"latin-windows-1252.xml", 0, kLineEndCrLf},
      {"latin-iso-8859-1.xml", 0, kLineEndLf},
  };
  for (const Case& c : cases) {
    std::unique_ptr<KTXNode> tree = Load(loader, kData + c.file, status);
    ASSERT_NE(tree, nullptr) << c.file;
    std::string path = folder.File("tree.xml");
    LineEndWriter writer(c.lineEnd);
    ASSERT_TRUE(writer.SaveTreeToFile(Path(path), tree.get(), status, nullptr, c.id, kByteOrderLittle))
        << StatusMessage(status);
    EXPECT_FALSE(status.HasError()) << StatusMessage(status);
    std::unique_ptr<KTXNode> again = Load(loader, path, status);
    ASSERT_NE(again, nullptr) << StatusMessage(status);
    EXPECT_FALSE(status.HasError()) << c.file << ": " << StatusMessage(status);
    EXPECT_EQ(loader.GetLineEnd(), c.lineEnd) << c.file;
    if (c.id == 0 && c.lineEnd == kLineEndLf) {
      EXPECT_EQ(ReadBytes(path).find('\r'), std::string::npos) << c.file;
    }
    KTString normalised = KTString(std::u16string_view(KTUtf8ToUtf16(WrittenWithoutDeclaration(again.get()))));
    normalised.NormalizeLineEnds(u"\n");
    EXPECT_EQ(KTUtf16ToUtf8(normalised.View()), original) << c.file;
  }
}

TEST(DocumentLoader, SaveFailuresAreReported) {
  LineEndWriter writer(kLineEndLf);
  KTLoadStatus status;
  EXPECT_FALSE(writer.SaveTextToFile(u"/no-such-folder/x/out.xml", u"<a/>", status, kEncodingUtf8, 0));
  EXPECT_EQ(status.GetCategory(), KTLoadStatus::kFile);
  EXPECT_EQ(status.GetCode(), static_cast<uint32_t>(ENOENT));
  EXPECT_FALSE(status.GetMessage().IsEmpty());

  status.Clear();
  EXPECT_FALSE(writer.SaveTextToUrl(u"http://127.0.0.1:9/out.xml", u"<a/>", status, KTUrlOptions{}, kEncodingUtf8, 0));
  EXPECT_EQ(status.GetCategory(), KTLoadStatus::kFile);
  EXPECT_FALSE(status.GetMessage().IsEmpty());

  status.Clear();
  EXPECT_FALSE(writer.SaveTreeToFile(u"/tmp/never.xml", nullptr, status, nullptr, kEncodingUtf8, 0));
  EXPECT_EQ(status.GetCode(), kLoadNothingToSave);
  status.Clear();
  EXPECT_FALSE(writer.SaveRecordText(nullptr, u"<a/>", status, kEncodingUtf8, 0));
  EXPECT_TRUE(status.HasError());
}

// Text encoded piece by piece (the serialised result) is saved with the bytes
// and the status of the whole text saved at once, wherever the pieces break:
// inside CR LF, between the halves of a surrogate pair, at a lone surrogate,
// a character the encoding lacks, or a NUL (which ends the text).
TEST(DocumentLoader, TextEncodedInPiecesSavesAsTheWholeText) {
  TempFolder folder("pieces");
  const std::u16string texts[] = {
      u"<a>caf\u00E9\r\nx\ry\nz\r</a>\r",
      u"\r\n\r\r\n\n\n\r",
      u"<b>\U0001F600 \u4E2D" + std::u16string(1, char16_t(0xD800)) + u"x" + std::u16string(1, char16_t(0xDC00)) +
          u"</b>" + std::u16string(1, char16_t(0xD83D)),
      std::u16string(u"<c>one\r\0two\n</c>", 16),
  };
  const int encodings[] = {kEncodingUtf8, EncodingIdFromName(u"ISO-8859-1"), EncodingIdFromName(u"windows-1252")};
  const char16_t* lineEnds[] = {kLineEndCrLf, kLineEndLf, nullptr};
  for (int id : encodings) {
    ASSERT_TRUE(KTPiecewiseEncoder::EncodesPiecewise(id)) << id;
    for (const char16_t* lineEnd : lineEnds) {
      for (const std::u16string& text : texts) {
        LineEndWriter writer(lineEnd);
        const std::string whole = folder.File("whole.xml");
        KTLoadStatus wholeStatus;
        ASSERT_TRUE(writer.SaveTextToFile(Path(whole), KTString(text.c_str()), wholeStatus, id, 0));
        for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, text.size()}) {
          KTPiecewiseEncoder encoder(id, lineEnd);
          for (size_t at = 0; at < text.size(); at += piece)
            encoder.Append(text.data() + at, std::min(piece, text.size() - at));
          KTLoadStatus status;
          uint32_t size = 0;
          std::unique_ptr<char[]> bytes = encoder.Finish(size, status);
          ASSERT_NE(bytes, nullptr);
          const std::string pieces = folder.File("pieces.xml");
          ASSERT_TRUE(writer.SaveEncodedToFile(Path(pieces), std::move(bytes), size, id, 0, status));
          EXPECT_EQ(ReadBytes(pieces), ReadBytes(whole)) << id << " piece " << piece;
          EXPECT_EQ(status.HasError(), wholeStatus.HasError()) << id << " piece " << piece;
          EXPECT_EQ(status.GetMessage(), wholeStatus.GetMessage()) << id << " piece " << piece;
        }
      }
    }
  }
  EXPECT_FALSE(KTPiecewiseEncoder::EncodesPiecewise(kEncodingUtf16));
  EXPECT_FALSE(KTPiecewiseEncoder::EncodesPiecewise(kEncodingUtf7));
  EXPECT_FALSE(KTPiecewiseEncoder::EncodesPiecewise(kEncodingIso2022Jp));
  EXPECT_FALSE(KTPiecewiseEncoder::EncodesPiecewise(kEncodingShiftJis));
}

// A result larger than the encoder's blocks of bytes: characters of one, two
// and three bytes in UTF-8 put block boundaries inside characters, and the
// joined bytes are still those of the whole text.
TEST(DocumentLoader, TextEncodedInPiecesPastManyBlocksSavesAsTheWholeText) {
  TempFolder folder("blocks");
  std::u16string text;
  for (int i = 0; text.size() < 1500000; ++i) text += i % 3 == 0 ? u"a\u00E9\u4E2D\r\n" : u"caf\u00E9 ";
  LineEndWriter writer(nullptr);
  const std::string whole = folder.File("whole.xml");
  KTLoadStatus wholeStatus;
  ASSERT_TRUE(writer.SaveTextToFile(Path(whole), KTString(text.c_str()), wholeStatus, kEncodingUtf8, 0));
  KTPiecewiseEncoder encoder(kEncodingUtf8, nullptr);
  const size_t piece = 32771;
  for (size_t at = 0; at < text.size(); at += piece) encoder.Append(text.data() + at, std::min(piece, text.size() - at));
  KTLoadStatus status;
  uint32_t size = 0;
  std::unique_ptr<char[]> bytes = encoder.Finish(size, status);
  ASSERT_NE(bytes, nullptr);
  const std::string pieces = folder.File("pieces.xml");
  ASSERT_TRUE(writer.SaveEncodedToFile(Path(pieces), std::move(bytes), size, kEncodingUtf8, 0, status));
  EXPECT_EQ(ReadBytes(pieces), ReadBytes(whole));
  EXPECT_GT(ReadBytes(pieces).size(), text.size());
}

// ---- Document manager ----

TEST(DocumentManager, LoadsEachPathOnceAndKeepsCaseApart) {
  TempFolder folder("manager");
  WriteBytes(folder.File("A.xml"), "<upper/>");
  WriteBytes(folder.File("a.xml"), "<lower/>");
  KTDocumentManager manager(&StandardGrammars(), nullptr);
  KTLoadStatus status;
  KTXNode* upper = manager.LoadDocument(Path(folder.File("A.xml")), status, nullptr, nullptr, nullptr, kNoGrammarId);
  ASSERT_NE(upper, nullptr) << StatusMessage(status);
  KTXNode* lower = manager.LoadDocument(Path(folder.File("a.xml")), status, nullptr, nullptr, nullptr, kNoGrammarId);
  ASSERT_NE(lower, nullptr) << StatusMessage(status);
  EXPECT_NE(upper, lower);
  EXPECT_EQ(WrittenWithoutDeclaration(upper), "<upper/>\n");
  EXPECT_EQ(WrittenWithoutDeclaration(lower), "<lower/>\n");

  // Loaded once: the same path (in either separator form) finds the record.
  std::remove(folder.File("A.xml").c_str());
  KTDocumentLoader* loader = manager.NewLoader().release();  // handed to the manager
  std::string backslashed = folder.File("A.xml");
  backslashed[backslashed.rfind('/')] = '\\';
  EXPECT_EQ(manager.LoadDocument(Path(backslashed), status, &loader, nullptr, nullptr, kNoGrammarId), upper);
  EXPECT_FALSE(status.HasError());
  ASSERT_NE(loader, nullptr);
  EXPECT_EQ(loader, manager.FindByDocument(upper)->GetLoader());

  KTDocumentRecord* record = manager.FindByUrl(Path(folder.File("A.xml")));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->GetDocument(), upper);
  EXPECT_EQ(record->GetGrammarId(), KTGrammarCache::kXml);
  EXPECT_TRUE(record->HasTime());
  EXPECT_EQ(manager.FindBySource(KTFileSource(Path(folder.File("a.xml")))), manager.FindByDocument(lower));
  EXPECT_EQ(manager.FindBySource(KTFileSource(Path(backslashed))), nullptr);

  // Removal by URL is exact; the other case stays.
  EXPECT_FALSE(manager.RemoveByUrl(Path(backslashed)));
  EXPECT_TRUE(manager.RemoveByUrl(Path(folder.File("A.xml"))));
  EXPECT_EQ(manager.FindByUrl(Path(folder.File("A.xml"))), nullptr);
  EXPECT_EQ(manager.FindByDocument(lower)->GetDocument(), lower);
  EXPECT_TRUE(manager.RemoveByDocument(lower));
  EXPECT_EQ(manager.FirstDocument(), nullptr);
}

// A search by URL matches what KTString::IsSamePath matches (separators,
// the case of a URL's scheme and host), and follows a source whose URL
// changes after earlier searches.
TEST(DocumentManager, FindsRecordsByTheSamePath) {
  KTDocumentManager manager(&StandardGrammars(), nullptr);
  const char16_t* kept[] = {u"/data/a.xml", u"HTTP://Example.ORG/Doc/B.xml", u"C:\\dir\\c.xml"};
  std::vector<KTDocumentRecord*> records;
  for (const char16_t* url : kept)
    records.push_back(manager.AddNewRecord(std::make_unique<KTDocumentSource>(url, kSourcePlain), nullptr, u"\n",
                                           KTGrammarCache::kXml));
  manager.AddNewRecord(nullptr, nullptr, u"\n", KTGrammarCache::kXml);  // no source: never found
  const char16_t* asked[] = {u"/data/a.xml", u"\\data\\a.xml", u"/data/A.xml", u"http://example.org/Doc/B.xml",
                             u"http://example.org/doc/b.xml", u"C:/dir/c.xml", u"", u"/data"};
  for (int round = 0; round < 2; ++round) {
    for (const char16_t* url : asked) {
      KTDocumentRecord* expected = nullptr;
      for (KTDocumentRecord* record : records)
        if (!expected && record->GetSource()->GetUrl().IsSamePath(url))
          expected = record;
      EXPECT_EQ(manager.FindByUrl(url), expected) << KTUtf16ToUtf8(url) << " round " << round;
    }
    // The second round asks again after a URL changed.
    records[0]->GetSource()->SetUrl(u"/data/A.xml");
  }
  EXPECT_EQ(manager.FindByUrl(u"/data/A.xml"), records[0]);
  EXPECT_EQ(manager.FindByUrl(u"/data/a.xml"), nullptr);
}

TEST(DocumentManager, FailedLoads) {
  KTDocumentManager manager(&StandardGrammars(), nullptr);
  KTLoadStatus status;
  // A missing file leaves no record.
  EXPECT_EQ(manager.LoadDocument(Path(kData + "missing.xml"), status, nullptr, nullptr, nullptr, kNoGrammarId),
            nullptr);
  EXPECT_EQ(status.GetCode(), static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(manager.FirstDocument(), nullptr);

  // A parse failure is remembered: the second load reads nothing and fails
  // the same way.
  KTString bad = Path(kData + "not-well-formed.xml");
  EXPECT_EQ(manager.LoadDocument(bad, status, nullptr, nullptr, nullptr, kNoGrammarId), nullptr);
  EXPECT_EQ(status.GetCode(), KTLoadStatus::kParseFailed);
  const std::string firstMessage = StatusMessage(status);
  KTDocumentRecord* record = manager.FindByUrl(bad);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->GetDocument(), nullptr);
  status.Clear();
  EXPECT_EQ(manager.LoadDocument(bad, status, nullptr, nullptr, nullptr, kNoGrammarId), nullptr);
  EXPECT_EQ(status.GetCategory(), KTLoadStatus::kParse);
  EXPECT_EQ(status.GetCode(), KTLoadStatus::kParseFailed);
  EXPECT_EQ(StatusMessage(status), firstMessage);

  // A file with undecodable bytes is not kept.
  EXPECT_EQ(manager.LoadDocument(Path(kData + "invalid-utf8.xml"), status, nullptr, nullptr, nullptr, kNoGrammarId),
            nullptr);
  EXPECT_EQ(status.GetCode(), KTLoadStatus::kDecodeFailed);

  // A record added without a document answers with a status, not silence.
  manager.AddNewRecord(std::make_unique<KTFileSource>(u"held.xml"), nullptr, nullptr, kNoGrammarId);
  status.Clear();
  EXPECT_EQ(manager.LoadDocument(u"held.xml", status, nullptr, nullptr, nullptr, kNoGrammarId), nullptr);
  EXPECT_EQ(status.GetCode(), KTLoadStatus::kNoDocument);
  EXPECT_FALSE(status.GetMessage().IsEmpty());
}

TEST(DocumentManager, PresetGrammarAndIdentifierSearch) {
  KTDocumentManager manager(&StandardGrammars(), nullptr);
  KTLoadStatus status;
  // The DTD grammar asked for by id, whatever the name says.
  KTString dtdPath = Path(kData + "schema.DTD");
  KTXNode* dtd = manager.LoadDocument(dtdPath, status, nullptr, nullptr, nullptr, KTGrammarCache::kDtd);
  ASSERT_NE(dtd, nullptr) << StatusMessage(status);
  EXPECT_EQ(dtd->GetKind(), kDtdDocument);
  EXPECT_EQ(manager.GrammarForKind(1), StandardGrammars().FindGrammar(KTGrammarCache::kDtd));
  EXPECT_EQ(manager.GrammarForKind(0), StandardGrammars().FindGrammar(KTGrammarCache::kXml));

  // Without a catalog the identifier search finds nothing.
  EXPECT_EQ(manager.FindByIdentifiers(dtdPath, nullptr, nullptr), nullptr);
  KTIdentifierCatalog catalog;
  KTDocumentManager withCatalog(&StandardGrammars(), &catalog);
  KTXNode* again = withCatalog.LoadDocument(dtdPath, status, nullptr, nullptr, nullptr, kNoGrammarId);
  ASSERT_NE(again, nullptr);
  ASSERT_NE(withCatalog.FindByIdentifiers(dtdPath, u"-//Any//EN", nullptr), nullptr);
  EXPECT_EQ(withCatalog.FindByIdentifiers(dtdPath, nullptr, nullptr)->GetDocument(), again);
}

TEST(DocumentManager, WalkEndsWhenItsRecordIsRemoved) {
  KTDocumentManager manager(nullptr, nullptr);
  for (const char16_t* name : {u"1.xml", u"2.xml", u"3.xml"})
    manager.AddNewRecord(std::make_unique<KTFileSource>(name), nullptr, kLineEndLf, kNoGrammarId);
  KTDocumentRecord* first = manager.FirstDocument();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(manager.RemoveRecord(first));
  EXPECT_EQ(manager.NextDocument(), nullptr);
  int count = 0;
  for (KTDocumentRecord* r = manager.FirstDocument(); r; r = manager.NextDocument())
    ++count;
  EXPECT_EQ(count, 2);
  // After the end, the walk starts again at the first record.
  EXPECT_EQ(manager.NextDocument(), nullptr);
  EXPECT_EQ(manager.FirstDocument()->GetSource()->GetUrl(), KTString(u"2.xml"));
}

// A loader keeps a buffer per source kind: a file read after a failed URL read
// still works.
TEST(DocumentLoader, FileAfterUrlThroughOneLoader) {
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  EXPECT_EQ(Load(loader, "http://127.0.0.1:9/a.xml", status), nullptr);
  EXPECT_TRUE(status.HasError());
  std::unique_ptr<KTXNode> tree = Load(loader, kData + "no-line-end.xml", status);
  EXPECT_NE(tree, nullptr);
  EXPECT_FALSE(status.HasError());
}

}  // namespace

namespace {

// file:// names go through the URL buffer and the URL request, both ways.
TEST(DocumentLoader, FileUrlsReadAndWriteThroughTheUrlRequest) {
  TempFolder folder("url");
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  std::unique_ptr<KTXNode> tree = Load(loader, "FILE://" + kData + "latin-iso-8859-1.xml", status);
  ASSERT_NE(tree, nullptr) << StatusMessage(status);
  EXPECT_FALSE(status.HasError()) << StatusMessage(status);
  EXPECT_NE(WrittenWithoutDeclaration(tree.get()).find("caf\xC3\xA9"), std::string::npos);

  std::string path = folder.File("put.xml");
  ASSERT_TRUE(loader.SaveTextToUrl(Path("file://" + path), u"<a>\u00E9</a>", status, KTUrlOptions{}, kEncodingUtf8, 0))
      << StatusMessage(status);
  EXPECT_EQ(ReadBytes(path), "<a>\xC3\xA9</a>");

  // The manager finds a URL again with its scheme in another case.
  KTDocumentManager manager(&StandardGrammars(), nullptr);
  KTXNode* first = manager.LoadDocument(Path("file://" + path), status, nullptr, nullptr, nullptr, kNoGrammarId);
  ASSERT_NE(first, nullptr) << StatusMessage(status);
  EXPECT_EQ(manager.LoadDocument(Path("FILE://" + path), status, nullptr, nullptr, nullptr, kNoGrammarId), first);
}

}  // namespace

namespace {

// A catalog entry sends a public identifier to a real file.
class OneEntryCatalog : public KTIdentifierCatalog {
 public:
  OneEntryCatalog(const KTString& target) { publicMap_[KTString(u"-//Test//DTD Doc//EN")] = target; }
};

TEST(DocumentLoader, LocationsResolveThroughTheCatalog) {
  KTString target = Path(kData + "no-line-end.xml");
  OneEntryCatalog catalog(target);
  KTDocumentManager manager(&StandardGrammars(), &catalog);
  std::unique_ptr<KTDocumentLoader> loader = manager.NewLoader();
  KTLoadStatus status;
  std::unique_ptr<KTXNode> tree(
      loader->LoadByIdentifiers(u"nowhere.xml", u"-//Test//DTD Doc//EN", nullptr, status, nullptr));
  ASSERT_NE(tree, nullptr) << StatusMessage(status);
  EXPECT_EQ(WrittenWithoutDeclaration(tree.get()), "<doc>\n<a/>\n</doc>\n");
  // Without the identifier the location is used as given.
  EXPECT_EQ(loader->LoadByIdentifiers(u"nowhere.xml", nullptr, nullptr, status, nullptr), nullptr);
  EXPECT_EQ(status.GetCode(), static_cast<uint32_t>(ENOENT));

  // The manager finds the record of the resolved location.
  KTXNode* document = manager.LoadDocument(target, status, nullptr, nullptr, nullptr, kNoGrammarId);
  ASSERT_NE(document, nullptr);
  KTDocumentRecord* found = manager.FindByIdentifiers(u"elsewhere.xml", u"-//Test//DTD Doc//EN", nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->GetDocument(), document);
}

}  // namespace
