// The result writer saves the result's characters as they are, line ends
// included, in the encoding it is given.
#include "app/ktresultwriter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "core/ktencodingtable.h"
#include "xml/ktloadstatus.h"

namespace {

std::string SaveAndRead(const char16_t* text, int encodingId) {
  char name[] = "/tmp/ktresultwriter-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) return "<no temporary file>";
  close(fd);
  KTResultWriter writer;
  KTLoadStatus status;
  std::u16string path(name, name + sizeof name - 1);  // ASCII
  EXPECT_TRUE(writer.SaveTextToFile(path.c_str(), text, status, encodingId, 0));
  EXPECT_FALSE(status.HasError());
  std::ifstream f(name, std::ios::binary);
  std::ostringstream bytes;
  bytes << f.rdbuf();
  std::remove(name);
  return bytes.str();
}

TEST(KTResultWriterTest, LineEndsAreWrittenAsTheyAre) {
  EXPECT_EQ(SaveAndRead(u"a\nb\r\nc\rd\n", kEncodingUtf8), "a\nb\r\nc\rd\n");
  EXPECT_EQ(SaveAndRead(u"a\rb", EncodingIdFromName(u"ISO-8859-1")), "a\rb");
}

TEST(KTResultWriterTest, TheTextIsWrittenInTheGivenEncoding) {
  EXPECT_EQ(SaveAndRead(u"\u00e9", EncodingIdFromName(u"ISO-8859-1")), "\xE9");
  EXPECT_EQ(SaveAndRead(u"\u00e9", kEncodingUtf8), "\xC3\xA9");
}

TEST(KTResultWriterTest, AnEmptyResultMakesAnEmptyFile) { EXPECT_EQ(SaveAndRead(u"", kEncodingUtf8), ""); }

}  // namespace
