// KTOutputExecutor: xsl:output elements run as top-level elements of a
// compiled stylesheet fill the processor's output settings; several merge.
// The top-level elements are run by a small test executor, one frame each.
#include "xslt/ktoutputexecutor.h"

#include <gtest/gtest.h>

#include "core/ktencoding.h"
#include "kttestprocessor.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktrunloop.h"
#include "xslt/ktxsltprocessor.h"

namespace {

// Runs the element children of its node one frame at a time.
class TopLevelExecutor : public KTInstructionExecutor {
 public:
  explicit TopLevelExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTStylesheet) {}

  bool Start() override {
    KTExecFrame* frame = TopFrame();
    frame->SetStarted();
    KTXPathNode* node = frame->NodeToRun();
    frame->SetOwnNode(node);
    int content = 0;
    while (content < node->GetChildCount() && (node->GetChild(content)->GetKind() == kXPathAttribute ||
                                                node->GetChild(content)->GetKind() == kXPathNamespace))
      ++content;
    int first = FirstInstructionChild(node, content);
    if (first < node->GetChildCount()) Push(frame, node->GetChild(first));
    return true;
  }

  bool Continue() override {
    KTExecFrame* frame = TopFrame();
    KTXPathNode* next = frame->CurrentChild() ? NextInstructionSibling(frame->CurrentChild()) : nullptr;
    if (!next) return DefaultContinue();
    Push(frame, next);
    return true;
  }

 private:
  void Push(KTExecFrame* frame, KTXPathNode* child) {
    auto pushed = std::make_unique<KTExecFrame>(frame, resultParent_);
    pushed->SetNodeToRun(child);
    processor_->PushFrame(std::move(pushed));
    frame->SetCurrentChild(child);
  }
};

class OutputExecutorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    processor_.SetTreeContext(&context_);
    processor_.Executors().Register(kXSLTStylesheet, [](KTXSLTProcessor* p) -> std::unique_ptr<KTInstructionExecutor> {
      return std::make_unique<TopLevelExecutor>(p);
    });
  }

  // Compiles and runs a stylesheet whose top-level elements are the given text.
  KTOutputSettings& Run(const char16_t* topLevel) {
    std::u16string text =
        u"<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform' xmlns:p='urn:p'>";
    text += topLevel;
    text += u"</xsl:stylesheet>";
    stylesheet_ = ParseTestDocument(context_, text.c_str());
    source_ = ParseTestDocument(context_, u"<src/>");
    EXPECT_TRUE(stylesheet_.view && source_.view);
    KTRunTransformation(processor_, stylesheet_.view.get(), source_.view.get());
    return processor_.OutputSettings();
  }

  KTXPathTreeContext context_;
  KTTestProcessor processor_;
  KTTestDocument stylesheet_;
  KTTestDocument source_;
};

TEST_F(OutputExecutorTest, EveryAttributeReachesTheSettings) {
  KTOutputSettings& s = Run(
      u"<xsl:output method='xml' version='1.1' encoding='UTF-16' omit-xml-declaration='yes' standalone='no'"
      u" doctype-public='-//P' doctype-system='s.dtd' indent='no' cdata-section-elements='a p:b'/>");
  EXPECT_TRUE(s.IsMethodSpecified());
  EXPECT_EQ(s.GetMethod(), u"xml");
  EXPECT_EQ(s.GetVersion(), u"1.1");
  EXPECT_EQ(s.GetEncoding(), u"UTF-16");
  EXPECT_TRUE(s.IsOmitXmlDeclarationSpecified());
  EXPECT_TRUE(s.GetOmitXmlDeclaration());
  EXPECT_TRUE(s.IsStandaloneSpecified());
  EXPECT_FALSE(s.GetStandalone());
  EXPECT_EQ(s.GetDoctypePublic(), u"-//P");
  EXPECT_EQ(s.GetDoctypeSystem(), u"s.dtd");
  EXPECT_TRUE(s.IsIndentSpecified());
  EXPECT_FALSE(s.GetIndent());
  EXPECT_EQ(s.GetCdataSectionElements(), u" a urn:p:b");
}

TEST_F(OutputExecutorTest, LaterElementsOverrideAndListsAccumulate) {
  KTOutputSettings& s = Run(
      u"<xsl:output method='html' indent='no' cdata-section-elements='a'/>"
      u"<xsl:output indent='yes' encoding='ISO-8859-1' cdata-section-elements='p:b'/>");
  EXPECT_EQ(s.GetMethod(), u"html");
  EXPECT_TRUE(s.IsIndentSpecified());
  EXPECT_TRUE(s.GetIndent());
  EXPECT_EQ(s.GetEncoding(), u"ISO-8859-1");
  EXPECT_EQ(s.GetCdataSectionElements(), u" a urn:p:b");
  EXPECT_FALSE(s.IsVersionSpecified());
  // The processor serialises with them: an empty result in the html method.
  EXPECT_EQ(std::u16string(processor_.Serialize()), u"");
  EXPECT_EQ(processor_.GetOutputSettings().GetMethod(), u"html");
  EXPECT_EQ(processor_.Serializer().GetEncodingId(), EncodingIdFromName(u"ISO-8859-1"));
}

TEST_F(OutputExecutorTest, MediaTypeAloneSpecifiesNothing) {
  KTOutputSettings& s = Run(u"<xsl:output media-type='text/plain'/>");
  EXPECT_FALSE(s.IsMethodSpecified());
  EXPECT_FALSE(s.IsEncodingSpecified());
  EXPECT_FALSE(s.IsIndentSpecified());
  EXPECT_FALSE(s.IsMediaTypeSpecified());
  EXPECT_FALSE(s.IsCdataSectionElementsSpecified());
  // No method: the default rule gives xml for a result without an html element.
  EXPECT_EQ(std::u16string(processor_.Serialize()), u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
}

}  // namespace
