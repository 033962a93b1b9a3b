// A program linked as ostxslt is (the front-end library and what it brings)
// has stream classes 2 (URL) and 5 (delegating) in the registry without any
// call to register them, and reads a URL through class 2.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/ktutf8.h"
#include "streams/ystream.h"

namespace {

TEST(ProgramLink, UrlAndDelegatingStreamsAreRegistered) {
  std::unique_ptr<YStream> url(CreateStreamById(kStreamClassUrl));
  std::unique_ptr<YStream> delegator(CreateStreamById(kStreamClassDelegator));
  EXPECT_NE(url, nullptr);
  EXPECT_NE(delegator, nullptr);
}

TEST(ProgramLink, UrlSourceLoadsThroughClass2) {
  std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("ktprogramlink-" + std::to_string(getpid()) + ".xml");
  std::ofstream(file, std::ios::binary) << "<doc>url</doc>";
  std::unique_ptr<YStream> stream(CreateStreamById(kStreamClassUrl));
  ASSERT_NE(stream, nullptr);
  std::u16string url = KTUtf8ToUtf16("file://" + file.string());
  ASSERT_EQ(stream->Open(url.c_str(), kStreamModeRead), 0);
  char buffer[64] = {};
  uint32_t n = sizeof buffer;
  ASSERT_EQ(stream->Read(buffer, n), 0);
  EXPECT_EQ(std::string(buffer, n), "<doc>url</doc>");
  stream->Close();
  std::filesystem::remove(file);
}

}  // namespace
