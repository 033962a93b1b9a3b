// The embedded-file store against the files of resources/ it was generated
// from, and the base64 decoder.
#include "streams/ktembeddedfiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/ktutf8.h"

namespace {

std::string MixCase(const std::string& name, int pattern) {
  std::string out = name;
  for (size_t i = 0; i < out.size(); ++i) {
    char& c = out[i];
    const bool upper = pattern == 0 || (pattern == 1 && i % 2 == 0);
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

// The file of resources/ a stored name is made from (the build's name=file pairs).
std::string ResourceFileFor(const std::string& name) {
  return name == "part2.dtd" ? "xsd-datatypes-1999.dtd" : name;
}

TEST(EmbeddedFiles, EveryStoredNameInAnyCaseGivesItsFileByteForByte) {
  ASSERT_EQ(kEmbeddedFileCount, 14);
  for (int i = 0; i < kEmbeddedFileCount; ++i) {
    const std::string name = KTUtf16ToUtf8(kEmbeddedFiles[i].name);
    const std::filesystem::path path = std::filesystem::path(OST_RESOURCES_DIR) / ResourceFileFor(name);
    const bool present = std::filesystem::exists(path);
    // The table takes every named file that resources/ holds, and only those.
    EXPECT_EQ(kEmbeddedFiles[i].text != nullptr, present) << name;
    std::ifstream in(path, std::ios::binary);
    const std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    for (const std::string& asked : {name, MixCase(name, 0), MixCase(name, 1), MixCase(name, 2)}) {
      int size = -7;
      std::unique_ptr<char[]> bytes = GetEmbeddedFile(KTUtf8ToUtf16(asked).c_str(), size);
      EXPECT_EQ(bytes != nullptr, present) << asked;
      if (!bytes) {
        EXPECT_EQ(size, -7);
        continue;
      }
      ASSERT_EQ(size, static_cast<int>(expected.size())) << asked;
      EXPECT_EQ(std::string(bytes.get(), size), expected) << asked;
      EXPECT_EQ(bytes[size], 0) << asked;
    }
  }
}

TEST(EmbeddedFiles, EachLookupGivesItsOwnBuffer) {
  int firstSize = 0, secondSize = 0;
  std::unique_ptr<char[]> first = GetEmbeddedFile(u"def_xsl.dtd", firstSize);
  std::unique_ptr<char[]> second = GetEmbeddedFile(u"def_xsl.dtd", secondSize);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first.get(), second.get());
  ASSERT_EQ(firstSize, secondSize);
  EXPECT_EQ(std::string(first.get(), firstSize), std::string(second.get(), secondSize));
}

TEST(EmbeddedFiles, UnknownNamesLeaveTheOutputsAlone) {
  for (const char16_t* name : {u"gra_xsl.txt", u"gra_xml_td.txt", u"", u"resources/blocks.txt", u"/blocks.txt",
                               u"blocks.txt ", u"blocks", static_cast<const char16_t*>(nullptr)}) {
    int size = -7;
    EXPECT_EQ(GetEmbeddedFile(name, size), nullptr) << (name ? KTUtf16ToUtf8(name) : "null");
    EXPECT_EQ(size, -7);
  }
}

TEST(Base64Decode, Cases) {
  struct Case {
    const char* text;
    bool decodes;
    std::string bytes;  // length counts the bytes that padding gives
  } cases[] = {
      {"", true, ""},
      {"TWFu", true, "Man"},
      {"TWFuTWFu", true, "ManMan"},
      {"TWE=", true, std::string("Ma\0", 3)},
      {"TQ==", true, std::string("M\0\0", 3)},
      {"+/+/", true, "\xFB\xFF\xBF"},
      {"TWFuT", false, ""},  // not a multiple of four
      {"TWF", false, ""},
      {"TW!u", false, ""},  // outside the alphabet
      {"TW u", false, ""},
      {"TW-u", false, ""},
      {"T=Fu", false, ""},  // padding only at the end
      {"TQ=a", false, ""},
      {"T===", false, ""},
      {"TQ==TWFu", false, ""},
      {"TW!uTWFu", false, ""},  // a bad character before the last group
      {"TWFuTW!u", false, ""},
      {"TWFu+/+/TQ==", true, std::string("Man\xFB\xFF\xBFM\0\0", 9)},
  };
  for (const Case& c : cases) {
    int length = -1;
    std::unique_ptr<char[]> bytes = Base64Decode(c.text, length);
    if (!c.decodes) {
      EXPECT_EQ(bytes, nullptr) << c.text;
      continue;
    }
    ASSERT_NE(bytes, nullptr) << c.text;
    EXPECT_EQ(std::string(bytes.get(), length), c.bytes) << c.text;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(bytes[length + i], 0) << c.text;  // room behind the content
  }
  int length = -1;
  EXPECT_EQ(Base64Decode(nullptr, length), nullptr);
}

}  // namespace
