// The program's processor reads each URL once through the document manager
// and reports a document that does not load on standard error.
#include "xslt/ktxsltfileprocessor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "ktloadtest_util.h"
#include "platform/ktutf8.h"
#include "xml/ktdocmanager.h"
#include "xml/ktschemaservices.h"

namespace {

TEST(KTXSLTFileProcessorTest, ADocumentIsReadOncePerUrlAndKeepsItsFolder) {
  std::string path = "/tmp/ktxsltfileprocessor-" + std::to_string(getpid()) + ".xml";
  std::ofstream(path, std::ios::binary) << "<doc/>";
  std::u16string url = KTUtf8ToUtf16(path);
  KTDocumentManager manager(&StandardGrammars(), nullptr);
  KTXSLTFileProcessor processor(&manager);

  KTXNode* first = processor.LoadDocument(url.c_str());
  ASSERT_NE(first, nullptr);
  std::remove(path.c_str());  // a second read would fail now
  EXPECT_EQ(processor.LoadDocument(url.c_str()), first);
  EXPECT_EQ(processor.DocumentUrl(first).View(), u"/tmp/");
  EXPECT_TRUE(processor.DocumentUrl(nullptr).IsEmpty());
  EXPECT_NE(processor.NewSchemaModel(), nullptr);
}

TEST(KTXSLTFileProcessorTest, EscapesOfAReferenceNameTheFilesCharacters) {
  std::string path = "/tmp/ktxsltfileprocessor_\xC3\xA9-" + std::to_string(getpid()) + ".xml";
  std::ofstream(path, std::ios::binary) << "<doc/>";
  std::string escaped = "/tmp/ktxsltfileprocessor%5F%C3%A9-" + std::to_string(getpid()) + ".xml";
  KTDocumentManager manager(&StandardGrammars(), nullptr);
  KTXSLTFileProcessor processor(&manager);
  EXPECT_NE(processor.LoadDocument(KTUtf8ToUtf16(escaped).c_str()), nullptr);
  std::remove(path.c_str());
}

TEST(KTXSLTFileProcessorTest, ADocumentThatDoesNotLoadIsReported) {
  KTDocumentManager manager(&StandardGrammars(), nullptr);
  KTXSLTFileProcessor processor(&manager);
  testing::internal::CaptureStderr();
  EXPECT_EQ(processor.LoadDocument(u"/no/such/folder/doc.xml"), nullptr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Failed to load /no/such/folder/doc.xml\n", 0), 0u) << err;
  EXPECT_GT(err.size(), std::string("Failed to load /no/such/folder/doc.xml\n").size() + 1);
}

}  // namespace
