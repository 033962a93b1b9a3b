// Document sources, input buffers and the decoded-text buffer: cloning,
// cursors, whole-file reads and writes with their system errors, and
// decoding with detection and conversion errors.
#include "xml/ktinputbuffer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>

#include "core/ktencoding.h"
#include "platform/ktutf8.h"
#include "xml/ktdecodedtext.h"
#include "xml/ktdocsource.h"
#include "xml/ktloaderror.h"
#include "xml/ktloadstatus.h"

namespace {

const std::string kData = OST_TEST_DATA "/xml/loading/";

std::string StatusText(const KTLoadStatus& status) { return KTUtf16ToUtf8(status.GetMessage().View()); }

KTString Path(const std::string& utf8) { return KTString(std::u16string_view(KTUtf8ToUtf16(utf8))); }

std::string TempPath(const char* name) {
  return (std::filesystem::temp_directory_path() / ("ktinputbuffer-" + std::to_string(getpid()) + "-" + name))
      .string();
}

TEST(DocumentSource, CloneKeepsClassAndFields) {
  std::vector<KTString> headers{KTString(u"X-A: 1"), KTString(u"X-B: 2")};
  KTUrlSource url(u"http://h/a.xml", {.user = u"me",
                                      .password = u"pw",
                                      .interactive = true,
                                      .askCredentials = false,
                                      .useCache = true,
                                      .headers = &headers,
                                      .contentType = u"application/xml"});
  url.SetVerb(u"POST");
  url.SetResponse(std::vector<char>{'o', 'k'});
  std::unique_ptr<KTDocumentSource> copy = url.Clone();
  auto* urlCopy = dynamic_cast<KTUrlSource*>(copy.get());
  ASSERT_NE(urlCopy, nullptr);
  EXPECT_TRUE(*copy == url);
  EXPECT_EQ(urlCopy->GetUser(), KTString(u"me"));
  EXPECT_EQ(urlCopy->GetPassword(), KTString(u"pw"));
  EXPECT_TRUE(urlCopy->IsInteractive());
  EXPECT_FALSE(urlCopy->GetAskCredentials());
  EXPECT_TRUE(urlCopy->GetUseCache());
  EXPECT_EQ(urlCopy->GetVerb(), KTString(u"POST"));
  EXPECT_EQ(urlCopy->GetHeaders().size(), 2u);
  EXPECT_EQ(urlCopy->GetContentType(), KTString(u"application/xml"));
  EXPECT_EQ(urlCopy->GetResponse(), (std::vector<char>{'o', 'k'}));

  KTFileSource file(u"a.xml");
  std::unique_ptr<KTDocumentSource> fileCopy = file.Clone();
  ASSERT_NE(dynamic_cast<KTFileSource*>(fileCopy.get()), nullptr);
  EXPECT_TRUE(*fileCopy == file);
  // Equality is kind and exact URL text.
  EXPECT_FALSE(KTFileSource(u"A.xml") == file);
  EXPECT_FALSE(KTDocumentSource(u"a.xml", kSourcePlain) == file);
}

TEST(CursorBuffer, BytesAndUnitsStopAtTheEnd) {
  KTFileBuffer buffer;
  EXPECT_TRUE(buffer.AtByteEnd());
  EXPECT_EQ(buffer.NextByte(), 0);
  const char one[] = {'x'};
  ASSERT_TRUE(buffer.LoadBytes(one, 1, 0, true));
  EXPECT_FALSE(buffer.AtByteEnd());
  EXPECT_EQ(buffer.NextByte(), 'x');
  EXPECT_TRUE(buffer.AtByteEnd());
  EXPECT_EQ(buffer.NextByte(), 0);
  // A lone byte is no 16-bit unit and is never read past.
  EXPECT_EQ(buffer.NextUnit(), 0);
  EXPECT_TRUE(buffer.AtUnitEnd());

  const char three[] = {'a', 0, 'b'};
  ASSERT_TRUE(buffer.LoadBytes(three, 3, 0, false));
  EXPECT_EQ(buffer.NextUnit(), u'a');
  EXPECT_FALSE(buffer.AtUnitEnd());
  EXPECT_EQ(buffer.NextUnit(), 0);
  EXPECT_TRUE(buffer.AtUnitEnd());
  // Borrowed bytes are not freed by the buffer.
  buffer.Release();
  EXPECT_EQ(three[2], 'b');
  EXPECT_FALSE(buffer.LoadBytes(nullptr, 0, 0, true));
}

TEST(FileBuffer, ReadsWholeFiles) {
  KTFileBuffer buffer;
  KTLoadStatus status;
  KTFileSource empty(Path(kData + "empty.xml"));
  ASSERT_TRUE(buffer.Read(&empty, status));
  uint32_t size = 99;
  EXPECT_NE(buffer.GetData(size), nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_FALSE(status.HasError());

  KTFileSource text(Path(kData + "no-line-end.xml"));
  ASSERT_TRUE(buffer.Read(&text, status));
  const char* data = buffer.GetData(size);
  EXPECT_EQ(std::string(data, size), "<doc><a/></doc>");
}

TEST(FileBuffer, ReadFailuresCarryTheSystemError) {
  struct Case {
    std::string path;
    int error;
  } cases[] = {
      {kData + "no-such-file.xml", ENOENT},
      {kData, EISDIR},
      {kData + "empty.xml/child.xml", ENOTDIR},
  };
  for (const Case& c : cases) {
    KTFileBuffer buffer;
    KTLoadStatus status;
    KTFileSource source(Path(c.path));
    EXPECT_FALSE(buffer.Read(&source, status)) << c.path;
    EXPECT_EQ(status.GetCategory(), KTLoadStatus::kFile) << c.path;
    EXPECT_EQ(status.GetCode(), static_cast<uint32_t>(c.error)) << c.path;
    EXPECT_EQ(status.GetDetail(), 1) << c.path;
    EXPECT_EQ(KTUtf16ToUtf8(status.GetMessage().View()), std::strerror(c.error)) << c.path;
    uint32_t size = 1;
    EXPECT_EQ(buffer.GetData(size), nullptr);
    EXPECT_EQ(size, 0u);
  }
}

// Reads the file and ends the process with the status code, printing the
// message; run in a child process of its own.
[[noreturn]] void ReadAndExit(const std::string& path) {
  KTFileBuffer buffer;
  KTLoadStatus status;
  KTFileSource source(Path(path));
  buffer.Read(&source, status);
  std::fprintf(stderr, "%s\n", KTUtf16ToUtf8(status.GetMessage().View()).c_str());
  std::_Exit(static_cast<int>(status.GetCode()));
}

TEST(FileBuffer, UnreadableFile) {
  std::string path = TempPath("unreadable.xml");
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("<a/>", f);
  std::fclose(f);
  chmod(path.c_str(), 0);
  // Permissions do not stop the superuser: the read then runs as nobody.
  const bool root = geteuid() == 0;
  EXPECT_EXIT(
      {
        if (root && (setgid(65534) != 0 || setuid(65534) != 0))
          std::_Exit(99);
        ReadAndExit(path);
      },
      testing::ExitedWithCode(EACCES), std::strerror(EACCES));
  std::remove(path.c_str());
}

TEST(FileBuffer, WritesAndReportsWriteErrors) {
  std::string path = TempPath("written.bin");
  KTFileBuffer buffer;
  KTLoadStatus status;
  KTFileSource source(Path(path));
  // Nothing loaded: nothing to write.
  EXPECT_FALSE(buffer.WriteOut(&source, status));
  EXPECT_EQ(status.GetCategory(), KTLoadStatus::kFile);
  EXPECT_EQ(status.GetCode(), KTLoadStatus::kNothingToWrite);
  EXPECT_EQ(status.GetDetail(), 0);

  const char bytes[] = {'a', 0, 'b'};
  ASSERT_TRUE(buffer.LoadBytes(bytes, 3, 0, true));
  status.Clear();
  ASSERT_TRUE(buffer.WriteOut(&source, status));
  EXPECT_FALSE(status.HasError());
  KTFileBuffer reader;
  ASSERT_TRUE(reader.Read(&source, status));
  uint32_t size = 0;
  EXPECT_EQ(std::string(reader.GetData(size), 3), std::string(bytes, 3));
  std::remove(path.c_str());

  KTFileSource inMissingFolder(Path(TempPath("no-folder") + "/x.xml"));
  EXPECT_FALSE(buffer.WriteOut(&inMissingFolder, status));
  EXPECT_EQ(status.GetCategory(), KTLoadStatus::kFile);
  EXPECT_EQ(status.GetCode(), static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(status.GetDetail(), 1);
  EXPECT_FALSE(status.GetMessage().IsEmpty());
}

TEST(InputBuffer, RefusesSourcesOfAnotherKind) {
  KTLoadStatus status;
  uint32_t size = 7;
  KTFileBuffer file;
  KTUrlSource url(u"http://h/a.xml", KTUrlOptions{});
  EXPECT_EQ(file.LoadFromSource(&url, size, status), nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(status.GetCategory(), KTLoadStatus::kLoader);
  EXPECT_EQ(status.GetCode(), kLoadUnsupportedSource);
  status.Clear();
  KTUrlBuffer urlBuffer;
  KTFileSource path(u"a.xml");
  EXPECT_EQ(urlBuffer.LoadFromSource(&path, size, status), nullptr);
  EXPECT_EQ(status.GetCode(), kLoadUnsupportedSource);
  status.Clear();
  EXPECT_FALSE(urlBuffer.SaveToSource(&path, "x", 1, status));
  EXPECT_EQ(status.GetCode(), kLoadUnsupportedSource);
}

TEST(UrlBuffer, FailedTransferIsReported) {
  KTUrlBuffer buffer;
  KTLoadStatus status;
  KTUrlSource url(u"http://127.0.0.1:9/none.xml", KTUrlOptions{});
  EXPECT_FALSE(buffer.Read(&url, status));
  EXPECT_EQ(status.GetCategory(), KTLoadStatus::kFile);
  EXPECT_EQ(status.GetCode(), KTLoadStatus::kUrlTransferFailed);
  EXPECT_EQ(status.GetDetail(), 0);
  EXPECT_FALSE(status.GetMessage().IsEmpty());
}

// ---- Decoded text ----

std::string Text(const KTDecodedTextBuffer& buffer) {
  int length = 0;
  const char16_t* text = buffer.GetText(length);
  return text ? KTUtf16ToUtf8(std::u16string_view(text, length)) : "(none)";
}

TEST(DecodedText, DetectsAndDecodes) {
  struct Case {
    std::string bytes;
    const char* expected;
    int id;
  } cases[] = {
      {"<a>caf\xC3\xA9</a>", "<a>caf\xC3\xA9</a>", kEncodingUtf8},
      // No byte-order mark and no declaration: UTF-8 (XML 1.0 §4.3.3).
      {"<a/>", "<a/>", kEncodingUtf8},
      {"<?xml version='1.0' encoding='ISO-8859-1'?><a>caf\xE9</a>",
       "<?xml version='1.0' encoding='ISO-8859-1'?><a>caf\xC3\xA9</a>", 0},
      {std::string("\xFF\xFE<\0a\0/\0>\0", 10), "<a/>", kEncodingUtf16},
      {std::string("\xEF\xBB\xBF<a/>"), "<a/>", kEncodingUtf8},
  };
  for (const Case& c : cases) {
    KTDecodedTextBuffer buffer;
    KTLoadStatus status;
    ASSERT_TRUE(buffer.Decode(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()), true, status)) << c.expected;
    EXPECT_EQ(Text(buffer), c.expected);
    if (c.id) {
      EXPECT_EQ(buffer.GetEncodingId(), c.id) << c.expected;
    }
    EXPECT_FALSE(status.HasError()) << c.expected;
    // The raw bytes are gone once the text is out.
    uint32_t size = 5;
    EXPECT_EQ(buffer.GetData(size), nullptr);
    EXPECT_EQ(size, 0u);
  }
}

// A file read and decoded piece by piece gives the whole decode's text,
// encoding and name, whatever falls on the pieces' edges (32 KB apart): a
// form cut there is carried over whole. Whatever the whole decode would
// replace, refuse or read otherwise (a bad form, a NUL, an ISO-2022-JP
// escape, a declared encoding other than UTF-8, a signature other than
// UTF-8's), however late in the file, is left to the whole decode, and so is
// a file shorter than two pieces or one that gives fewer bytes than asked.
TEST(DecodedText, FileDecodedInPiecesMatchesTheWholeDecode) {
  constexpr size_t kPiece = size_t{1} << 15;
  const std::string mixed = "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80" "a";
  // A text of `length` bytes whose multi-byte forms start `shift` + 1 bytes
  // before each piece's edge, with `insert` written over it at `at`.
  auto text = [&](size_t length, size_t shift, const std::string& head, const std::string& insert, size_t at) {
    std::string bytes = head + "<r>";
    while (bytes.size() < length - 4) {
      const size_t edge = (bytes.size() / kPiece + 1) * kPiece;
      if (edge - bytes.size() == shift + 1 && bytes.size() + mixed.size() <= length - 4) {
        bytes += mixed;
      } else {
        bytes += (bytes.size() % 61 == 0) ? '\n' : 'x';
      }
    }
    bytes += "</r>";
    if (!insert.empty()) bytes.replace(at, insert.size(), insert);
    return bytes;
  };
  const struct {
    const char* name;
    std::string bytes;
    bool streamed;
  } cases[] = {
      {"ASCII, two pieces", std::string(2 * kPiece - 4, 'a') + "<r/>", true},
      // The two-, three- and four-byte forms cut at each of their bytes.
      {"forms from 1 byte before each edge", text(5 * kPiece + 17, 0, "", "", 0), true},
      {"forms from 2 bytes before each edge", text(5 * kPiece + 3, 1, "", "", 0), true},
      {"forms from 3 bytes before each edge", text(4 * kPiece, 2, "", "", 0), true},
      {"forms from 4 bytes before each edge", text(4 * kPiece + 1, 3, "", "", 0), true},
      {"forms from 6 bytes before each edge", text(4 * kPiece + 2, 5, "", "", 0), true},
      {"forms from 7 bytes before each edge", text(4 * kPiece + 7, 6, "", "", 0), true},
      {"a declaration of UTF-8", text(3 * kPiece, 2, "<?xml version='1.0' encoding='utf-8'?>", "", 0), true},
      {"UTF-8's signature", text(3 * kPiece, 1, "\xEF\xBB\xBF", "", 0), true},
      {"a declaration of ISO-8859-1", text(3 * kPiece, 2, "<?xml version='1.0' encoding='ISO-8859-1'?>", "", 0),
       false},
      {"an unknown declared encoding", text(3 * kPiece, 0, "<?xml version='1.0' encoding='x-none'?>", "", 0),
       false},
      {"UTF-16's signature", std::string("\xFF\xFE<\0r\0/\0>\0", 10) + std::string(2 * kPiece, ' '), false},
      {"a lone continuation byte late", text(3 * kPiece, 0, "", "\x80", 2 * kPiece + 5), false},
      {"a cut-off form on an edge", text(3 * kPiece, 0, "", "\xE4\xB8y", 2 * kPiece - 2), false},
      {"a form cut off by the end", text(3 * kPiece, 0, "", "\xE4\xB8", 3 * kPiece - 2), false},
      {"a NUL late", text(3 * kPiece, 0, "", std::string(1, '\0'), 2 * kPiece + 9), false},
      {"an escape late", text(3 * kPiece, 0, "", "\x1B$B", 2 * kPiece + 9), false},
      {"shorter than two pieces", text(2 * kPiece - 1, 0, "", "", 0), false},
  };
  const std::string path = TempPath("pieces.xml");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      FILE* file = std::fopen(path.c_str(), "wb");
      ASSERT_NE(file, nullptr);
      ASSERT_EQ(std::fwrite(c.bytes.data(), 1, c.bytes.size(), file), c.bytes.size());
      std::fclose(file);
    }
    KTDecodedTextBuffer whole;
    KTLoadStatus status;
    const bool wholeDecoded = whole.Decode(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()), true, status);
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    KTDecodedTextBuffer pieced;
    const long before = KTDecodedTextBuffer::GetStreamedCount();
    EXPECT_EQ(pieced.DecodeUtf8File(fd, c.bytes.size()), c.streamed);
    ::close(fd);
    EXPECT_EQ(KTDecodedTextBuffer::GetStreamedCount(), before + (c.streamed ? 1 : 0));
    if (c.streamed) {
      ASSERT_TRUE(wholeDecoded);
      EXPECT_FALSE(status.HasError()) << StatusText(status);
      EXPECT_TRUE(Text(pieced) == Text(whole));
      EXPECT_EQ(pieced.GetEncodingId(), whole.GetEncodingId());
      EXPECT_EQ(pieced.GetByteOrder(), whole.GetByteOrder());
      EXPECT_TRUE(pieced.GetEncodingName() == whole.GetEncodingName());
    } else {
      EXPECT_FALSE(pieced.HasText());
    }
  }
  // A file that gives fewer bytes than asked for (it shrank) is left to the
  // whole read.
  const std::string plain = text(3 * kPiece, 0, "", "", 0);
  {
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(plain.data(), 1, plain.size(), file), plain.size());
    std::fclose(file);
  }
  const int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  KTDecodedTextBuffer shrunk;
  EXPECT_FALSE(shrunk.DecodeUtf8File(fd, plain.size() + 1));
  ::close(fd);
  EXPECT_FALSE(shrunk.HasText());
  std::remove(path.c_str());
}

TEST(DecodedText, ConversionErrorsKeepTheText) {
  KTDecodedTextBuffer buffer;
  KTLoadStatus status;
  std::string bytes = "<a>bad \xFF byte</a>";
  ASSERT_TRUE(buffer.Decode(bytes.data(), static_cast<uint32_t>(bytes.size()), false, status));
  EXPECT_EQ(Text(buffer), "<a>bad \xEF\xBF\xBD byte</a>");
  EXPECT_EQ(status.GetCategory(), KTLoadStatus::kEncoding);
  EXPECT_EQ(status.GetCode(), KTLoadStatus::kDecodeFailed);
  EXPECT_FALSE(status.GetMessage().IsEmpty());

  // The message of a bad sequence names the encoding, the count and the
  // place of the first one; columns count characters.
  KTLoadStatus placeStatus;
  std::string twice = "<a>\n\xF0\x9F\x98\x80\xC3\xA9\xFF\xFE</a>";
  ASSERT_TRUE(buffer.Decode(twice.data(), static_cast<uint32_t>(twice.size()), true, placeStatus));
  EXPECT_EQ(StatusText(placeStatus),
            "2 byte sequence(s) are not valid UTF-8 and were replaced; the first at byte offset 10, line 2, column 3");

  // U+0000 and U+FFFE are no XML characters: the decode ends, naming the
  // character and its place, not a bad sequence.
  const struct {
    std::string bytes;
    const char* message;
  } forbidden[] = {
      {std::string("<a/>\n \0<b/>", 11), "line 2, column 2: the character U+0000 is not allowed in XML (byte offset 6)"},
      {"<a>\xFF\xEF\xBF\xBE</a>", "line 1, column 5: the character U+FFFE is not allowed in XML (byte offset 4)"},
      {std::string("<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9\0</a>", 50),
       "line 1, column 48: the character U+0000 is not allowed in XML (byte offset 47)"},
  };
  // NULs are found a block of units at a time: one at every place across
  // block ends is named with its own place.
  for (int at = 0; at < 40; ++at) {
    std::string bytes = "<a>" + std::string(40, 'x') + "</a>";
    bytes[3 + at] = '\0';
    KTLoadStatus nulStatus;
    EXPECT_FALSE(buffer.Decode(bytes.data(), static_cast<uint32_t>(bytes.size()), true, nulStatus));
    EXPECT_EQ(StatusText(nulStatus), "line 1, column " + std::to_string(4 + at) +
                                         ": the character U+0000 is not allowed in XML (byte offset " +
                                         std::to_string(3 + at) + ")");
  }
  // Overlong forms of U+0000 are bad sequences, replaced like any other: the
  // text holds no NUL unless the bytes did.
  for (std::string overlong : {"<a>\xC0\x80</a>", "<a>\xE0\x80\x80</a>", "<a>\xF0\x80\x80\x80</a>"}) {
    KTLoadStatus overlongStatus;
    buffer.Decode(overlong.data(), static_cast<uint32_t>(overlong.size()), true, overlongStatus);
    EXPECT_EQ(StatusText(overlongStatus).find("U+0000"), std::string::npos) << StatusText(overlongStatus);
    EXPECT_NE(StatusText(overlongStatus).find("not valid UTF-8"), std::string::npos) << StatusText(overlongStatus);
  }
  for (const auto& c : forbidden) {
    KTLoadStatus nulStatus;
    EXPECT_FALSE(buffer.Decode(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()), true, nulStatus));
    EXPECT_EQ(nulStatus.GetCode(), KTLoadStatus::kParseFailed);
    EXPECT_EQ(StatusText(nulStatus), c.message);
  }

  // A declared encoding that no name here answers to is a fatal error naming
  // it; a byte-order mark decides before the declaration is read.
  for (const char* name : {"ISO-8859-13", "IBM855", "latin10"}) {
    KTLoadStatus unknownStatus;
    std::string doc = std::string("<?xml version='1.0' encoding='") + name + "'?><a/>";
    EXPECT_FALSE(buffer.Decode(doc.data(), static_cast<uint32_t>(doc.size()), true, unknownStatus));
    EXPECT_EQ(unknownStatus.GetCategory(), KTLoadStatus::kEncoding);
    EXPECT_NE(StatusText(unknownStatus).find(std::string("\"") + name + "\" named in the encoding declaration"),
              std::string::npos)
        << StatusText(unknownStatus);
  }
  KTLoadStatus markStatus;
  std::string marked = "\xEF\xBB\xBF<?xml version='1.0' encoding='IBM855'?><a/>";
  EXPECT_TRUE(buffer.Decode(marked.data(), static_cast<uint32_t>(marked.size()), true, markStatus));
  EXPECT_FALSE(markStatus.HasError());

  // A UTF-8 sequence cut off at the end gives no text at all, and says so.
  KTLoadStatus cutStatus;
  std::string cut = "<a>\xE6\x97";
  EXPECT_FALSE(buffer.Decode(cut.data(), static_cast<uint32_t>(cut.size()), true, cutStatus));
  EXPECT_EQ(cutStatus.GetCode(), KTLoadStatus::kDecodeFailed);
  EXPECT_FALSE(buffer.HasText());
}

TEST(DecodedText, EncodesWithMarksAndCountsMissingCharacters) {
  KTDecodedTextBuffer buffer;
  KTLoadStatus status;
  // Nothing decoded: no bytes and the status stays clean.
  uint32_t size = 3;
  EXPECT_EQ(buffer.Encode(kEncodingUtf8, 0, size, status), nullptr);
  EXPECT_FALSE(status.HasError());

  buffer.TakeText(KTString(u"a\u00E9\u65E5"));
  std::unique_ptr<char[]> utf16 = buffer.Encode(kEncodingUtf16, kByteOrderBig, size, status);
  ASSERT_NE(utf16, nullptr);
  EXPECT_EQ(std::string(utf16.get(), size), std::string("\xFE\xFF\0a\0\xE9\x65\xE5", 8));
  std::unique_ptr<char[]> utf8 = buffer.Encode(kEncodingUtf8, 0, size, status);
  EXPECT_EQ(std::string(utf8.get(), size), "a\xC3\xA9\xE6\x97\xA5");
  EXPECT_FALSE(status.HasError());

  std::unique_ptr<char[]> latin = buffer.Encode(EncodingIdFromName(u"ISO-8859-1"), 0, size, status);
  ASSERT_NE(latin, nullptr);
  EXPECT_EQ(std::string(latin.get(), size), "a\xE9_");
  EXPECT_EQ(status.GetCategory(), KTLoadStatus::kEncoding);
  EXPECT_EQ(status.GetCode(), KTLoadStatus::kEncodeFailed);
}

}  // namespace
