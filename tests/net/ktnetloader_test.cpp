// Documents loaded through the document loader from http, ftp, gopher and
// file URLs of local servers give the same tree as the local file, a failed
// transfer leaves a load status that says what went wrong, and a transfer
// stops reading where the loader would refuse the document.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ktloadtest_util.h"
#include "ktnettestserver.h"
#include "platform/inet/ktinetdefs.h"
#include "platform/ktutf8.h"
#include "xml/ktdocloader.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktinputbuffer.h"
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

TEST(UrlLoading, TransfersStopAtTheDocumentCap) {
  // A body the loader would refuse is not read past the cap: otherwise an
  // endless answer is taken into memory up to the larger of two limits.
  EXPECT_EQ(KTInternetLimits().maxResponseBytes, kMaxDocumentBytes);
}

}  // namespace
