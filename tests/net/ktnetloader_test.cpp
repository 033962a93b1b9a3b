// Documents loaded through the document loader from http, ftp, gopher and
// file URLs of local servers give the same tree as the local file, and a
// failed transfer leaves a load status that says what went wrong.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ktloadtest_util.h"
#include "ktnettestserver.h"
#include "platform/ktutf8.h"
#include "xml/ktdocloader.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktxnode.h"
#include "xml/ktxwriter.h"

namespace {

const std::string kFixture = OST_TEST_DATA "/net/same-tree-every-scheme.xml";

KTString K(const std::string& s) { return KTString(std::u16string_view(KTUtf8ToUtf16(s))); }

TEST(UrlLoading, EverySchemeGivesTheLocalFilesTree) {
  KTTempDir dir;
  std::string root = dir.Path() + "/root";
  KTWriteFileBytes(root + "/in.xml", KTReadFileBytes(kFixture));
  KTTestServer http, ftp, gopher;
  ASSERT_TRUE(http.Start("http", {"--root", root}));
  ASSERT_TRUE(ftp.Start("ftp", {"--root", root}));
  ASSERT_TRUE(gopher.Start("gopher", {"--root", root}));

  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  std::unique_ptr<KTXNode> local(loader.LoadFromUrl(K(kFixture), status));
  ASSERT_NE(local, nullptr) << StatusMessage(status);
  const std::string expected = WrittenWithoutDeclaration(local.get());
  EXPECT_NE(expected.find("cr\xC3\xA8me"), std::string::npos);

  for (const std::string& url :
       {"http://127.0.0.1:" + std::to_string(http.Port()) + "/files/in.xml",
        "ftp://127.0.0.1:" + std::to_string(ftp.Port()) + "/in.xml",
        "gopher://127.0.0.1:" + std::to_string(gopher.Port()) + "/0/in.xml",
        "file://" + root + "/in.xml"}) {
    SCOPED_TRACE(url);
    KTLoadStatus urlStatus;
    std::unique_ptr<KTXNode> tree(loader.LoadFromUrl(K(url), urlStatus));
    ASSERT_NE(tree, nullptr) << StatusMessage(urlStatus);
    EXPECT_FALSE(urlStatus.HasError()) << StatusMessage(urlStatus);
    EXPECT_EQ(WrittenWithoutDeclaration(tree.get()), expected);
  }

  KTLoadStatus missing;
  std::unique_ptr<KTXNode> none(loader.LoadFromUrl(
      K("http://127.0.0.1:" + std::to_string(http.Port()) + "/files/none.xml"), missing));
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(missing.GetCode(), KTLoadStatus::kUrlTransferFailed);
  EXPECT_NE(StatusMessage(missing).find("404"), std::string::npos) << StatusMessage(missing);
}

}  // namespace
