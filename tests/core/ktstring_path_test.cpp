// Path, URL and line-end operations of KTString.
#include "core/ktstring.h"
#include "ktscaling_util.h"

#include <string>

#include <gtest/gtest.h>

namespace {

std::u16string Str(const KTString& s) { return std::u16string(s.View()); }

TEST(PathParts, FileNameFolderAndExtension) {
  struct Case {
    const char16_t* path;
    const char16_t* fileName;
    const char16_t* folder;
    const char16_t* folderWithSep;
  };
  const Case cases[] = {
      {u"dir/sub\\file.xml", u"file.xml", u"dir/sub", u"dir/sub\\"},
      {u"D:\\dir\\file.xml", u"file.xml", u"D:\\dir", u"D:\\dir\\"},
      {u"/home/u/doc.xml", u"doc.xml", u"/home/u", u"/home/u/"},
      {u"dir/", u"", u"dir", u"dir/"},
      {u"file.xml", u"file.xml", u"", u""},
      {u"/file.xml", u"file.xml", u"", u"/"},
      {u"", u"", u"", u""},
  };
  for (const Case& c : cases) {
    KTString path(c.path);
    SCOPED_TRACE(::testing::PrintToString(std::u16string(c.path)));
    EXPECT_EQ(Str(path.GetFileName()), c.fileName);
    EXPECT_EQ(Str(path.GetFolder(false)), c.folder);
    EXPECT_EQ(Str(path.GetFolder(true)), c.folderWithSep);
  }

  struct ExtensionCase {
    const char16_t* path;
    const char16_t* asIs;
    const char16_t* lower;
  };
  const ExtensionCase extensions[] = {
      {u"a.XML", u"XML", u"xml"},
      {u"/x/schema.Dtd", u"Dtd", u"dtd"},
      {u"archive.tar.gz", u"gz", u"gz"},
      {u"dir.old/file", u"", u""},     // the dot belongs to a folder
      {u"dir.old\\file", u"", u""},
      {u"page.xml#top", u"", u""},
      {u"name.x y", u"", u""},
      {u"a.b%20c", u"", u""},
      {u"a.b;c", u"", u""},
      {u"ends.", u"", u""},
      {u"noext", u"", u""},
  };
  for (const ExtensionCase& c : extensions) {
    KTString path(c.path);
    SCOPED_TRACE(::testing::PrintToString(std::u16string(c.path)));
    EXPECT_EQ(Str(path.GetExtension(false)), c.asIs);
    EXPECT_EQ(Str(path.GetExtension(true)), c.lower);
  }
}

TEST(IsRelativePath, RootedPathsDependOnTheFlag) {
  struct Case {
    const char16_t* path;
    bool relative;        // rootedIsAbsolute false, as every caller passes
    bool relativeRooted;  // rootedIsAbsolute true
  };
  const Case cases[] = {
      {u"a\\b", true, true},          {u"a/b", true, true},
      {u"../x.xml", true, true},      {u"\\a\\b", true, false},
      {u"/home/u/x.xml", true, false}, {u"\\\\server\\share", false, false},
      {u"//server/x", false, false},  {u"D:\\a", false, false},
      {u"D:a", false, false},         {u"ftp://x", false, false},
      {u"", false, false},
  };
  for (const Case& c : cases) {
    KTString path(c.path);
    EXPECT_EQ(path.IsRelativePath(false), c.relative) << ::testing::PrintToString(std::u16string(c.path));
    EXPECT_EQ(path.IsRelativePath(true), c.relativeRooted) << ::testing::PrintToString(std::u16string(c.path));
  }
}

TEST(MakeAbsolute, ResolvesAgainstTheFolderOfTheBase) {
  struct Case {
    const char16_t* name;
    const char16_t* base;
    const char16_t* defaultBase;
    const char16_t* expected;
  };
  const Case cases[] = {
      // relative names against local and URL documents
      {u"x.xml", u"/home/u/doc.xml", u"", u"/home/u/x.xml"},
      {u"x.xml", u"D:\\dir\\doc.xml", u"", u"D:\\dir\\x.xml"},
      {u"x.xml", u"ftp://server/dir/doc.xml", u"", u"ftp://server/dir/x.xml"},
      {u"./x.xml", u"ftp://server/dir/doc.xml", u"", u"ftp://server/dir/x.xml"},
      {u".\\x.xml", u"/home/u/doc.xml", u"", u"/home/u/x.xml"},
      {u"x.xml", u"ftp://server", u"", u"ftp://server/x.xml"},
      {u"sub/x.xml", u"http://h/a/doc.xml", u"", u"http://h/a/sub/x.xml"},
      // ".." climbs one level each
      {u"../x.xml", u"D:\\a\\b\\doc.xml", u"", u"D:\\a\\x.xml"},
      {u"../../x.xml", u"D:\\a\\b\\doc.xml", u"", u"D:\\x.xml"},
      {u"../x.xml", u"/srv/a/b/doc.xml", u"", u"/srv/a/x.xml"},
      {u"..\\..\\x.xml", u"/srv/a/b/doc.xml", u"", u"/srv/x.xml"},
      {u"../x.xml", u"http://h/a/b/doc.xml", u"", u"http://h/a/x.xml"},
      // ... but never above a root, nor into a URL's server
      {u"../../../x.xml", u"/srv/doc.xml", u"", u"/x.xml"},
      {u"../../x.xml", u"http://h/a.xml", u"", u"http://h/x.xml"},
      {u"../x.xml", u"ftp://server", u"", u"ftp://server/x.xml"},
      {u"../../x.xml", u"D:\\doc.xml", u"", u"D:\\x.xml"},
      // ... and a relative folder keeps the steps it cannot take
      {u"../../x.xml", u"a/doc.xml", u"", u"../x.xml"},
      {u"../x.xml", u"../doc.xml", u"", u"../../x.xml"},
      {u"../x.xml", u"doc.xml", u"", u"../x.xml"},
      // the rest of the name is not normalised
      {u"a/../b//c.xml", u"/r/doc.xml", u"", u"/r/a/../b//c.xml"},
      // rooted names: a URL keeps scheme and server, a drive its letter,
      // a POSIX absolute path stays as it is
      {u"/x.xml", u"ftp://server/dir/doc.xml", u"", u"ftp://server/x.xml"},
      {u"/x.xml", u"ftp://server", u"", u"ftp://server/x.xml"},
      {u"/x.xml", u"D:\\dir\\doc.xml", u"", u"D:/x.xml"},
      {u"/x.xml", u"\\\\server\\share\\doc.xml", u"", u"/x.xml"},
      {u"/etc/x.xml", u"/home/u/doc.xml", u"", u"/etc/x.xml"},
      {u"/etc/x.xml", u"/data/a:b/doc.xml", u"", u"/etc/x.xml"},
      {u"/etc/x.xml", u"", u"/home/u/", u"/etc/x.xml"},
      // an empty base takes the default folder
      {u"x.xml", u"", u"/out", u"/out/x.xml"},
      {u"x.xml", u"", u"/out/", u"/out/x.xml"},
      {u"../x.xml", u"", u"/out/sub", u"/out/x.xml"},
      {u"./x.xml", u"", u"", u"x.xml"},
      {u"../x.xml", u"", u"", u"../x.xml"},
      // names that are not relative come back unchanged
      {u"D:\\x.xml", u"/home/u/doc.xml", u"", u"D:\\x.xml"},
      {u"ftp://x/y", u"http://h/doc.xml", u"", u"ftp://x/y"},
      {u"\\\\server\\x", u"/home/u/doc.xml", u"", u"\\\\server\\x"},
      {u"", u"/home/u/doc.xml", u"", u""},
  };
  for (const Case& c : cases) {
    KTString name(c.name);
    EXPECT_EQ(Str(name.MakeAbsolute(c.base, c.defaultBase)), c.expected)
        << ::testing::PrintToString(std::u16string(c.name)) << " against "
        << ::testing::PrintToString(std::u16string(c.base));
    EXPECT_EQ(name.View(), std::u16string_view(c.name));  // the name itself is unchanged
  }
  EXPECT_EQ(Str(KTString(u"x.xml").MakeAbsolute(nullptr, nullptr)), u"x.xml");
}

// Each "../" step reads no more than the level it removes: a deep base and
// as many steps as it has levels resolve in linear work (rescanning the
// folder for its root at every step made it quadratic).
TEST(MakeAbsolute, ManyParentStepsAgainstADeepBaseAreLinear) {
  EXPECT_TRUE(GrowsLinearly(
      [](int scale) {
        std::u16string base = u"/";
        std::u16string name;
        for (int i = 0; i < 12500 * scale; ++i) {
          base += u"ab/";
          name += u"../";
        }
        base += u"doc.xml";
        name += u"x.xml";
        EXPECT_EQ(Str(KTString(name.c_str()).MakeAbsolute(base.c_str(), u"")), u"/x.xml");
      },
      3 * 12500));
}

TEST(IsSamePath, LocalPathsAreCaseSensitive) {
  struct Case {
    const char16_t* a;
    const char16_t* b;
    bool same;
  };
  const Case cases[] = {
      {u"/home/u/A.xml", u"/home/u/A.xml", true},
      {u"/home/u/A.xml", u"/home/u/a.xml", false},
      {u"dir\\a.xml", u"dir/a.xml", true},
      {u"a\\b", u"a\\b\\", false},
      {u"HTTP://Example.COM/Doc.xml", u"http://example.com/Doc.xml", true},
      {u"http://example.com/Doc.xml", u"http://example.com/doc.xml", false},
      {u"http://User@Example.com/x", u"http://User@example.com/x", true},
      {u"http://User@example.com/x", u"http://user@example.com/x", false},
      {u"", u"", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KTString(c.a).IsSamePath(c.b), c.same)
        << ::testing::PrintToString(std::u16string(c.a)) << " vs " << ::testing::PrintToString(std::u16string(c.b));
  }
  EXPECT_FALSE(KTString(u"x").IsSamePath(nullptr));

  KTString path(u"FILE://Host\\Dir\\A.xml");
  path.NormalizePath();
  EXPECT_EQ(Str(path), u"file://host/Dir/A.xml");
}

TEST(LineEnds, DetectsTheFirstLineEnd) {
  struct Case {
    const char16_t* text;
    const char16_t* lineEnd;
  };
  const Case cases[] = {
      {u"a\r\nb", u"\r\n"}, {u"a\rb", u"\r"},  {u"a\nb\r\n", u"\n"}, {u"a\n\rb", u"\n"},
      {u"abc", u"\r\n"},    {u"", u"\r\n"},    {u"end\r", u"\r"},
      // Longer texts, searched in blocks: the line end far in, at the last
      // unit, and a CR or LF on either side of a block boundary.
      {u"0123456789abcdefghijklmnopqrstuvwxyz\r\nrest", u"\r\n"},
      {u"0123456789abcdefghijklmnopqrstuvwxyz\rrest\n", u"\r"},
      {u"0123456789abcdefghijklmnopqrstuvwxyz\nrest\r", u"\n"},
      {u"0123456789abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz\r", u"\r"},
      {u"0123456789abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz", u"\r\n"},
      {u"0123456789abcde\r\n0123456789abcdef", u"\r\n"},
      {u"0123456789abcdef\n\r0123456789abcdef", u"\n"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Str(KTString(c.text).DetectLineEnd()), c.lineEnd) << ::testing::PrintToString(std::u16string(c.text));
}

TEST(LineEnds, NormalizeToOneOrTwoCharacters) {
  struct Case {
    const char16_t* text;
    const char16_t* lineEnd;
    const char16_t* expected;
  };
  const Case cases[] = {
      {u"a\r\nb\rc\nd", u"\n", u"a\nb\nc\nd"},
      {u"a\nb\r\nc", u"\r\n", u"a\r\nb\r\nc"},
      {u"a\n\rb", u"\r\n", u"a\r\n\r\nb"},  // LF CR is two line ends
      {u"\r\r\n\n", u"\n", u"\n\n\n"},
      {u"a\r\n", u"\r", u"a\r"},
      {u"\n", u"\r\n", u"\r\n"},
      {u"no breaks", u"\r\n", u"no breaks"},
      {u"", u"\n", u""},
      {u"a\r\nb", u"", u"a\r\nb"},             // other lengths change nothing
      {u"a\r\nb", u"<br>", u"a\r\nb"},
  };
  for (const Case& c : cases) {
    KTString text(c.text);
    text.NormalizeLineEnds(c.lineEnd);
    EXPECT_EQ(Str(text), c.expected) << ::testing::PrintToString(std::u16string(c.text));
    EXPECT_EQ(text.GetLength(), static_cast<int>(std::u16string_view(c.expected).size()));
  }
}

TEST(LineEnds, LargeTextRoundTrips) {
  std::u16string big;
  for (int i = 0; i < 200000; ++i)
    big += u"line\n";
  KTString text(std::u16string_view{big});
  text.NormalizeLineEnds(u"\r\n");
  EXPECT_EQ(text.GetLength(), 200000 * 6);
  text.NormalizeLineEnds(u"\n");
  EXPECT_EQ(text.View(), big);
}

}  // namespace
