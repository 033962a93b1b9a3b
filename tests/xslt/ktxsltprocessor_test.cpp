// The processor's run cycle and the frame protocol, driven step by step over
// small stylesheets. Literal result elements and text run through a test
// executor registered in the processor's executor factory (it copies each
// node to the result and runs the node's children one frame at a time), so
// that the order of frames, pops and deletions can be watched.
#include "xslt/ktxsltprocessor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kttestprocessor.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/ktrunloop.h"
#include "xslt/ktxslterror.h"

namespace {

std::string U8(const char16_t* s) { return KTUtf16ToUtf8(s); }

// What the test executors did, in order.
std::vector<std::string>* gEvents = nullptr;
void Note(const std::string& event) {
  if (gEvents) gEvents->push_back(event);
}

// Copies its node (an element without attributes, or a text node) to the
// result and runs the element's instruction children one after another.
class CopyExecutor : public KTInstructionExecutor {
 public:
  explicit CopyExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTLiteralResult) {}
  ~CopyExecutor() override { Note("delete " + name_); }

  bool Start() override {
    KTExecFrame* frame = TopFrame();
    frame->SetStarted();
    KTXPathNode* node = frame->NodeToRun();
    frame->SetOwnNode(node);
    if (node->GetKind() == kXPathText) {
      name_ = "'";
      name_ += U8(node->GetValue());
      name_ += "'";
    } else {
      name_ = U8(node->GetName());
    }
    Note("start " + name_);
    auto copy = std::make_unique<KTXPathNode>(nullptr, node->GetKind());
    if (node->GetKind() == kXPathText)
      copy->SetValue(node->GetValue());
    else
      copy->SetName(node->GetName());
    KTXPathNode* added = resultParent_->AppendChild(std::move(copy));
    // Attributes (xsl:version of a literal result stylesheet) are not run.
    int content = 0;
    while (content < node->GetChildCount() && (node->GetChild(content)->GetKind() == kXPathAttribute ||
                                                node->GetChild(content)->GetKind() == kXPathNamespace))
      ++content;
    int first = FirstInstructionChild(node, content);
    if (first < node->GetChildCount()) Push(frame, node->GetChild(first), added);
    return true;
  }

  bool Continue() override {
    KTExecFrame* frame = TopFrame();
    KTXPathNode* next = NextInstructionSibling(frame->CurrentChild());
    if (frame->CurrentChild() && next) {
      Push(frame, next, copyParent_);
      return true;
    }
    Note("pop " + name_);
    KTExecFrame* popped = processor_->PopFrame();
    // The popped frame lives on until the end of the processor's step.
    Note(popped->Executor() == this ? "popped alive" : "popped gone");
    if (KTExecFrame* top = TopFrame()) top->SetLastFinished(popped->OwnNode());
    return true;
  }

 private:
  void Push(KTExecFrame* frame, KTXPathNode* child, KTXPathNode* parent) {
    copyParent_ = parent;
    auto pushed = std::make_unique<KTExecFrame>(frame, parent);
    pushed->SetNodeToRun(child);
    processor_->PushFrame(std::move(pushed));
    frame->SetCurrentChild(child);
  }

  std::string name_;
  KTXPathNode* copyParent_ = nullptr;
};

std::unique_ptr<KTInstructionExecutor> NewCopyExecutor(KTXSLTProcessor* p) { return std::make_unique<CopyExecutor>(p); }

class ProcessorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gEvents = &events_;
    processor_.SetTreeContext(&context_);
    processor_.Executors().Register(kXSLTLiteralResult, NewCopyExecutor);
  }
  void TearDown() override { gEvents = nullptr; }

  void Load(const char16_t* stylesheet, const char16_t* source = u"<src/>") {
    stylesheet_ = ParseTestDocument(context_, stylesheet);
    source_ = ParseTestDocument(context_, source);
    ASSERT_TRUE(stylesheet_.view && source_.view);
  }

  // Steps to the end; the number of steps that did work.
  int RunToEnd() {
    int steps = 0;
    KTStepToEnd(processor_, [&] {
      ++steps;
      return true;
    });
    return steps;
  }

  KTXPathTreeContext context_;
  KTTestProcessor processor_;
  KTTestDocument stylesheet_;
  KTTestDocument source_;
  std::vector<std::string> events_;
};

TEST_F(ProcessorTest, PrepareMakesTheFirstFrame) {
  Load(u"<!--c--><doc> <a/> </doc>", u"<in><x/></in>");
  processor_.Prepare(stylesheet_.view.get(), source_.view.get());
  ASSERT_EQ(processor_.FrameDepth(), 1);
  KTExecFrame* first = processor_.TopFrame();
  EXPECT_EQ(U8(processor_.CurrentInstruction()->GetName()), "doc");
  EXPECT_EQ(first->Parent(), nullptr);
  EXPECT_EQ(first->Root(), first);
  EXPECT_EQ(first->ContextPosition(), 1);
  ASSERT_EQ(first->NodeList().ItemCount(), 1);
  EXPECT_EQ(first->NodeList().NodeItemAt(0)->GetNode(), source_.view.get());
  EXPECT_FALSE(first->IsStarted());
  EXPECT_EQ(first->CurrentTemplate(), KTExecFrame::kNoTemplate);
  // Without -param options the with-param layer is present, owned and empty.
  ASSERT_NE(first->WithParams(), nullptr);
  EXPECT_TRUE(first->OwnsWithParams());
  EXPECT_TRUE(first->WithParams()->IsEmpty());
  // The result root binds the xml prefix; the stylesheet lost its
  // whitespace-only text; both roots have a document URI.
  KTXPathNode* result = first->ResultParent();
  ASSERT_EQ(result, processor_.ResultRoot());
  ASSERT_NE(result->GetElementNamespaceMap(), nullptr);
  EXPECT_EQ(U8(*result->GetElementNamespaceMap()->at(KTString(u"xml"))), "http://www.w3.org/XML/1998/namespace");
  EXPECT_EQ(ViewPicture(stylesheet_.view.get()), "/(c edoc(ea))");
  EXPECT_NE(KTXPathNode::GetDocumentUri(stylesheet_.view.get()), nullptr);
  EXPECT_NE(KTXPathNode::GetDocumentUri(source_.view.get()), nullptr);
}

TEST_F(ProcessorTest, FrameProtocolStepByStep) {
  Load(u"<doc><a><b/>t</a><!--skipped--><c/></doc>");
  processor_.Prepare(stylesheet_.view.get(), source_.view.get());

  struct Expected {
    int depth;                      // after the step
    const char* instruction;        // current instruction after the step
    std::vector<std::string> did;   // events of the step
  };
  const Expected steps[] = {
      {2, "a", {"start doc"}},
      {3, "b", {"start a"}},
      {3, "b", {"start b"}},
      {2, "a", {"pop b", "popped alive", "delete b"}},
      {3, "", {}},
      {3, "", {"start 't'"}},
      {2, "a", {"pop 't'", "popped alive", "delete 't'"}},
      {1, "doc", {"pop a", "popped alive", "delete a"}},
      {2, "c", {}},
      {2, "c", {"start c"}},
      {1, "doc", {"pop c", "popped alive", "delete c"}},
      {0, nullptr, {"pop doc", "popped alive", "delete doc"}},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    events_.clear();
    // Continue pushes the next sibling; the comment between a and c is skipped.
    ASSERT_TRUE(processor_.Step()) << "step " << i;
    EXPECT_EQ(processor_.FrameDepth(), steps[i].depth) << "step " << i;
    EXPECT_EQ(events_, steps[i].did) << "step " << i;
    KTXPathNode* current = processor_.CurrentInstruction();
    if (!steps[i].instruction) {
      EXPECT_EQ(current, nullptr);
    } else {
      ASSERT_NE(current, nullptr) << "step " << i;
      EXPECT_EQ(U8(current->GetName()), steps[i].instruction) << "step " << i;
    }
    // A frame that has run its child names that child as finished.
    if (i == 3) {
      EXPECT_EQ(U8(processor_.TopFrame()->LastFinished()->GetName()), "b");
    }
    if (i == 1) {
      // A child frame inherits the parent's context and root.
      KTExecFrame* top = processor_.TopFrame();
      EXPECT_EQ(top->Root(), processor_.FrameStack()->front().get());
      EXPECT_EQ(top->ContextPosition(), 1);
      EXPECT_EQ(top->NodeList().NodeItemAt(0)->GetNode(), source_.view.get());
      EXPECT_TRUE(processor_.FrameStack()->at(1)->IsStarted());
    }
  }
  EXPECT_FALSE(processor_.Step());
  // The result tree outlives the frames.
  ASSERT_NE(processor_.ResultRoot(), nullptr);
  EXPECT_EQ(ViewPicture(processor_.ResultRoot()), "/(edoc(ea(eb t=t) ec))");
  // Serialize writes it with the default output method, and again on a
  // second call.
  std::string text = U8(processor_.Serialize());
  EXPECT_NE(text.find("<doc><a><b/>t</a><c/></doc>"), std::string::npos) << text;
  EXPECT_EQ(U8(processor_.Serialize()), text);
  EXPECT_EQ(U8(processor_.GetOutputSettings().GetMethod()), "xml");
}

TEST_F(ProcessorTest, UnknownXsltElementOutsideForwardsCompatibleModeIsError34) {
  Load(u"<doc xmlns:xsl='http://www.w3.org/1999/XSL/Transform' xsl:version='2.0'><xsl:frobnicate/></doc>");
  processor_.Prepare(stylesheet_.view.get(), source_.view.get());
  // The compiler let the element through; at run time the scope says 1.0
  // and no frame is forwards-compatible.
  KTXPathNode* doc = stylesheet_.view->GetChild(stylesheet_.view->FirstChildOfKind(kXPathElement));
  for (const auto& child : doc->Children())
    if (std::u16string_view(child->GetName()) == u"xsl:version") child->SetValue(u"1.0");
  ASSERT_TRUE(processor_.Step());
  try {
    processor_.Step();
    FAIL() << "no error";
  } catch (KTXSLTError& e) {
    EXPECT_EQ(e.GetCode(), 34);
    EXPECT_EQ(std::u16string(e.GetMessage()), u"Unexpected element");
    EXPECT_EQ(e.GetNode(), nullptr);
  }
  // The frame stays on the stack for the error report.
  EXPECT_EQ(processor_.FrameDepth(), 2);
  EXPECT_EQ(U8(processor_.CurrentInstruction()->GetName()), "xsl:frobnicate");
}

TEST_F(ProcessorTest, ForwardsCompatibleFramesGetTheirOwnExecutor) {
  processor_.Executors().Register(KTExecutorFactory::kForwardsCompatible, NewCopyExecutor);
  Load(u"<doc xmlns:xsl='http://www.w3.org/1999/XSL/Transform' xsl:version='2.0'><xsl:frobnicate/></doc>");
  processor_.Prepare(stylesheet_.view.get(), source_.view.get());
  ASSERT_TRUE(processor_.Step());
  processor_.TopFrame()->Parent()->SetForwardsCompatible(true);
  ASSERT_TRUE(processor_.Step());
  EXPECT_EQ(events_.back(), "start xsl:frobnicate");
}

TEST_F(ProcessorTest, NodeKindWithoutExecutorIsAnUnexpectedFailure) {
  processor_.Executors().Register(kXSLTLiteralResult, nullptr);
  Load(u"<doc/>");
  processor_.Prepare(stylesheet_.view.get(), source_.view.get());
  try {
    processor_.Step();
    FAIL() << "no error";
  } catch (KTXSLTError& e) {
    EXPECT_EQ(e.GetCode(), 7);
    EXPECT_EQ(e.GetNode(), stylesheet_.view->GetChild(0));
  }
}

TEST_F(ProcessorTest, StylesheetWithoutElementIsRefusedBeforeStart) {
  auto emptyOwned = std::make_unique<KTXPathNode>(nullptr, kXPathRoot);
  KTXPathNode& empty = *emptyOwned;
  empty.AppendChild(std::make_unique<KTXPathNode>(nullptr, kXPathComment));
  Load(u"<doc/>");
  for (KTXPathNode* root : {&empty, static_cast<KTXPathNode*>(nullptr)}) {
    try {
      processor_.Prepare(root, source_.view.get());
      FAIL() << "no error";
    } catch (KTXSLTError& e) {
      EXPECT_EQ(e.GetCode(), 38);
      EXPECT_EQ(e.GetNode(), root);
    }
    EXPECT_EQ(processor_.FrameDepth(), 0);
    EXPECT_FALSE(processor_.Step());
  }
}

TEST_F(ProcessorTest, StepOnAnEmptyStackDoesNothing) {
  EXPECT_FALSE(processor_.Step());
  EXPECT_EQ(processor_.CurrentInstruction(), nullptr);
  EXPECT_EQ(processor_.ResultRoot(), nullptr);
  // Without a stylesheet root Start pushes no frame.
  processor_.Start();
  EXPECT_EQ(processor_.FrameDepth(), 0);
  EXPECT_FALSE(processor_.Step());
}

TEST_F(ProcessorTest, SecondStartBeginsAFreshRun) {
  Load(u"<doc><a/></doc>");
  processor_.Prepare(stylesheet_.view.get(), source_.view.get());
  ASSERT_TRUE(processor_.Step());
  processor_.SetMessage(u"stop", true);
  EXPECT_EQ(processor_.NextGeneratedPrefixNumber(), 1);
  EXPECT_EQ(processor_.NextGeneratedPrefixNumber(), 2);
  processor_.AddNamespaceAlias(u"a", u"b");
  processor_.GlobalVariables()->emplace(KTString(u"v"), KTBindingRecord{});
  processor_.RegisterTree(std::make_unique<KTXPathNode>(nullptr, kXPathRoot));
  processor_.Start();
  EXPECT_EQ(processor_.FrameDepth(), 1);
  EXPECT_FALSE(processor_.TopFrame()->IsStarted());
  EXPECT_FALSE(processor_.Terminated());
  EXPECT_TRUE(processor_.TerminatingMessage().IsEmpty());
  EXPECT_EQ(processor_.NextGeneratedPrefixNumber(), 1);
  EXPECT_TRUE(processor_.NamespaceAliases().empty());
  EXPECT_TRUE(processor_.GlobalVariables()->empty());
  EXPECT_EQ(RunToEnd(), 4);
  EXPECT_EQ(ViewPicture(processor_.ResultRoot()), "/(edoc(ea))");
}

TEST_F(ProcessorTest, MessagesKeepTheLastTextAndTheTerminateFlag) {
  processor_.SetMessage(u"one", false);
  EXPECT_EQ(processor_.Message(), u"one");
  processor_.SetMessage(u"stop", true);
  EXPECT_TRUE(processor_.Message().IsEmpty());
  EXPECT_EQ(processor_.TerminatingMessage(), u"stop");
  EXPECT_TRUE(processor_.Terminated());
  // A later plain message empties the terminating text; the flag stays.
  processor_.SetMessage(u"two", false);
  EXPECT_EQ(processor_.Message(), u"two");
  EXPECT_TRUE(processor_.TerminatingMessage().IsEmpty());
  EXPECT_TRUE(processor_.Terminated());
}

TEST_F(ProcessorTest, MessageExecutorGathersTheTextOfItsContent) {
  Load(u"<doc xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
       u"<xsl:message>a<b>c</b></xsl:message><xsl:message><!--only a comment--></xsl:message></doc>");
  processor_.Prepare(stylesheet_.view.get(), source_.view.get());
  // The message texts as they change from step to step.
  std::vector<std::string> messages{""};
  while (processor_.Step()) {
    std::string now = U8(processor_.Message());
    if (now != messages.back()) messages.push_back(now);
  }
  // The first message is "ac" (all text of its content); the second, with
  // only a comment, is empty; nothing of either reaches the result.
  EXPECT_EQ(messages, (std::vector<std::string>{"", "ac", ""}));
  EXPECT_EQ(ViewPicture(processor_.ResultRoot()), "/(edoc)");
  EXPECT_FALSE(processor_.Terminated());
}

TEST_F(ProcessorTest, EveryMessageReachesTheSinkAsItRuns) {
  Load(u"<doc xmlns:xsl='http://www.w3.org/1999/XSL/Transform'><xsl:message>a</xsl:message><xsl:message/>"
       u"<xsl:message terminate='yes'>stop</xsl:message><xsl:message>never</xsl:message></doc>");
  std::vector<std::pair<std::string, bool>> seen;
  processor_.SetMessageSink([&seen](const KTString& text, bool terminate) { seen.emplace_back(U8(text), terminate); });
  processor_.Prepare(stylesheet_.view.get(), source_.view.get());
  while (processor_.Step() && !processor_.Terminated()) {
  }
  // The empty message too; the terminating one is last and names its element.
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, bool>>{{"a", false}, {"", false}, {"stop", true}}));
  ASSERT_NE(processor_.TerminatingInstruction(), nullptr);
  EXPECT_EQ(std::u16string(processor_.TerminatingInstruction()->GetName()), u"xsl:message");
}

struct ParameterCase {
  const char16_t* text;
  const char16_t* name;
  const char16_t* expression;
};

TEST(KTXSLTProcessorParameterTest, ParametersSplitAtTheFirstEquals) {
  const ParameterCase cases[] = {
      {u"a=1", u"a", u"1"},
      {u"s='x'", u"s", u"'x'"},
      {u"b=c=d", u"b", u"c=d"},
      {u"e =1", u"e ", u"1"},
      {u"f=", u"f", u""},
      {u"=g", u"", u"g"},
      {u"a=2", u"a", u"1"},  // the first parameter of a name wins
  };
  KTTestProcessor processor;
  for (const ParameterCase& c : cases) EXPECT_TRUE(processor.AddParameter(c.text));
  for (const ParameterCase& c : cases) {
    auto it = processor.Parameters().find(KTString(c.name));
    ASSERT_NE(it, processor.Parameters().end()) << U8(c.name);
    EXPECT_EQ(it->second, c.expression) << U8(c.name);
  }
  EXPECT_EQ(processor.Parameters().size(), 6u);
}

TEST(KTXSLTProcessorParameterTest, ParameterWithoutEqualsIsError6) {
  KTTestProcessor processor;
  try {
    processor.AddParameter(u"novalue");
    FAIL() << "no error";
  } catch (KTXSLTError& e) {
    EXPECT_EQ(e.GetCode(), 6);
    EXPECT_EQ(std::u16string(e.GetMessage()), u"Invalid XPath expression");
    EXPECT_EQ(e.GetNode(), nullptr);
  }
  EXPECT_TRUE(processor.Parameters().empty());
}

}  // namespace

namespace {

// A stand-in for the top-level xsl:variable executor: its select text "$n"
// refers to variable n, any other text is a value. A reference to a variable
// not bound yet fails as the XPath evaluation does (error 1, kind 6, the
// name recorded in the processor); a declaration already evaluated is
// skipped, as the real executor skips it.
class ForwardVariableExecutor : public KTInstructionExecutor {
 public:
  explicit ForwardVariableExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTVariable) {}

  bool Start() override {
    KTExecFrame* frame = TopFrame();
    frame->SetStarted();
    frame->SetOwnNode(frame->NodeToRun());
    const auto* record = static_cast<const KTDeclVariable*>(Declaration());
    std::string name = U8(record->name);
    KTBindingMap& globals = *processor_->GlobalVariables();
    if (globals.count(record->name)) {
      Note("skip " + name);
      return true;
    }
    Note("start " + name);
    // An interrupted declaration stays on the stack until it starts again.
    std::vector<KTXPathNode*>& inEvaluation = processor_->InEvaluation();
    if (inEvaluation.empty() || inEvaluation.back() != frame->OwnNode()) inEvaluation.push_back(frame->OwnNode());
    KTBindingRecord value;
    if (record->selectText[0] == u'$') {
      KTString referred = record->selectText.Mid(1);
      auto found = globals.find(referred);
      if (found == globals.end()) {
        processor_->SetUnknownVariableName(referred);
        KTXSLTError error(KTXSLTError::kXPathError, nullptr);
        error.SetXPathError(6, -1);
        throw error;
      }
      value = found->second;
    } else {
      value.value.SetString(record->selectText);
    }
    globals.emplace(record->name, value);
    Note("bound " + name + "=" + U8(KTString(value.value.StringText())));
    return true;
  }

  bool Continue() override {
    std::vector<KTXPathNode*>& inEvaluation = processor_->InEvaluation();
    if (!inEvaluation.empty() && inEvaluation.back() == TopFrame()->OwnNode()) inEvaluation.pop_back();
    if (inEvaluation.empty()) processor_->SetTopLevelVariableFlag(false);
    return DefaultContinue();
  }
};

std::unique_ptr<KTInstructionExecutor> NewForwardVariable(KTXSLTProcessor* p) {
  return std::make_unique<ForwardVariableExecutor>(p);
}

TEST_F(ProcessorTest, TopLevelVariableReferringForwardEvaluatesTheOtherFirst) {
  processor_.Executors().Register(kXSLTStylesheet, NewCopyExecutor);
  processor_.Executors().Register(kXSLTVariable, NewForwardVariable);
  Load(u"<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
       u"<xsl:variable name='a' select='$b'/><xsl:variable name='b' select='$c'/>"
       u"<xsl:variable name='c' select='x'/></xsl:stylesheet>");
  processor_.Prepare(stylesheet_.view.get(), source_.view.get());
  RunToEnd();
  EXPECT_EQ(events_, (std::vector<std::string>{
                         "start xsl:stylesheet", "start a", "start b", "start c", "bound c=x",
                         // Each interrupted declaration starts again once the one it needs is bound.
                         "start b", "bound b=x", "start a", "bound a=x", "skip b", "skip c", "pop xsl:stylesheet", "popped alive",
                         "delete xsl:stylesheet"}));
  EXPECT_FALSE(processor_.TopLevelVariableFlag());
  EXPECT_TRUE(processor_.InEvaluation().empty());
}

TEST_F(ProcessorTest, ReferenceToAnUndeclaredVariableIsReported) {
  processor_.Executors().Register(kXSLTStylesheet, NewCopyExecutor);
  processor_.Executors().Register(kXSLTVariable, NewForwardVariable);
  // Forwards-compatible (XSLT 1.0 §2.5), so that the reference is left to
  // the run: a 1.0 stylesheet is refused by its compile.
  Load(u"<xsl:stylesheet version='2.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
       u"<xsl:variable name='a' select='$nowhere'/></xsl:stylesheet>");
  processor_.Prepare(stylesheet_.view.get(), source_.view.get());
  try {
    RunToEnd();
    FAIL() << "no error";
  } catch (KTXSLTError& e) {
    EXPECT_EQ(e.GetCode(), 1);
    EXPECT_EQ(std::u16string(e.GetMessage()), u"Error in XPath expression, Invalid variable reference");
  }
  EXPECT_EQ(processor_.UnknownVariableName(), u"nowhere");
}

TEST_F(ProcessorTest, TerminatingMessageIsKeptForTheFrontEnd) {
  Load(u"<doc xmlns:xsl='http://www.w3.org/1999/XSL/Transform'><xsl:message terminate='yes'>stop</xsl:message></doc>");
  processor_.Prepare(stylesheet_.view.get(), source_.view.get());
  RunToEnd();
  EXPECT_TRUE(processor_.Terminated());
  EXPECT_EQ(processor_.TerminatingMessage(), u"stop");
  EXPECT_TRUE(processor_.Message().IsEmpty());
}

}  // namespace

namespace {

TEST_F(ProcessorTest, PrepareRefusesAStylesheetThatDoesNotCompile) {
  Load(u"<doc xmlns:xsl='http://www.w3.org/1999/XSL/Transform'><xsl:value-of/></doc>");
  try {
    processor_.Prepare(stylesheet_.view.get(), source_.view.get());
    FAIL() << "no error";
  } catch (KTXSLTError& e) {
    EXPECT_EQ(e.GetCode(), 18);
    EXPECT_EQ(std::u16string(e.GetMessage()), u"select attribute expected");
    ASSERT_NE(e.GetNode(), nullptr);
    EXPECT_EQ(U8(e.GetNode()->GetName()), "xsl:value-of");
  }
  EXPECT_EQ(processor_.FrameDepth(), 0);
}

}  // namespace

namespace {

// Appends an attribute to the result root, which the placement rules refuse.
class MisplacingExecutor : public KTInstructionExecutor {
 public:
  explicit MisplacingExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTLiteralResult) {}
  bool Start() override {
    TopFrame()->SetStarted();
    resultParent_->AppendChild(std::make_unique<KTXPathNode>(nullptr, kXPathAttribute));
    return true;
  }
};

TEST_F(ProcessorTest, RefusedResultPlacementIsAStylesheetError) {
  processor_.Executors().Register(kXSLTLiteralResult, [](KTXSLTProcessor* p) -> std::unique_ptr<KTInstructionExecutor> {
    return std::make_unique<MisplacingExecutor>(p);
  });
  Load(u"<doc/>");
  processor_.Prepare(stylesheet_.view.get(), source_.view.get());
  try {
    processor_.Step();
    FAIL() << "no error";
  } catch (KTXSLTError& e) {
    EXPECT_EQ(e.GetCode(), 7);
    EXPECT_EQ(e.GetNode(), stylesheet_.view->GetChild(0));
  }
  EXPECT_EQ(processor_.FrameDepth(), 1);
  EXPECT_EQ(processor_.ResultRoot()->GetChildCount(), 0);
}

}  // namespace
