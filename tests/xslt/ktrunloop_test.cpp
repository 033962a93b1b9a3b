// The run loop shared by the front end and the tests: how each run ends,
// that the caller's check is asked before every step and can stop the run,
// and that errors pass through; a finished run's result is compared with
// xsltproc's for the same stylesheet.
#include "xslt/ktrunloop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "kttestprocessor.h"
#include "ktxslttest_util.h"
#include "output/ktresulttree_util.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktxslterror.h"

namespace {

std::string Stylesheet(const std::string& body) {
  return "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
         "<xsl:output method='text'/>" +
         body + "</xsl:stylesheet>";
}

constexpr const char* kSource = "<r><e>1</e><e>2</e><e>3</e></r>";

class RunLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    processor_.SetTreeContext(&context_);
    processor_.SetMessageSink([](const KTString&, bool) {});
  }

  void Load(const std::string& body) {
    std::u16string style = KTUtf8ToUtf16(Stylesheet(body));
    std::u16string input = KTUtf8ToUtf16(kSource);
    stylesheet_ = ParseTestDocument(context_, style.c_str());
    source_ = ParseTestDocument(context_, input.c_str());
    ASSERT_TRUE(stylesheet_.view && source_.view);
  }

  KTRunEnd Run(const KTStepCheck& check = {}, const KTStepCheckBounds* bounds = nullptr) {
    return KTRunTransformation(processor_, stylesheet_.view.get(), source_.view.get(), check, bounds);
  }

  struct Outcome {
    KTRunEnd end;
    int depthAtStop = 0;
    int framesAtStop = 0;
    std::string result;
  };

  // Runs `body` with a check that refuses the frame of any of the
  // instructions named `refused` once more than `deepest` frames are
  // pushed, and with the given bounds (null: the check asked at every step).
  Outcome RunRefusing(const char* body, std::initializer_list<std::u16string_view> refused, int deepest,
                      const KTStepCheckBounds* bounds) {
    Load(body);
    Outcome out;
    out.end = Run(
        [&] {
          const KTExecFrame* top = processor_.TopFrame();
          const KTXPathNode* node = top->OwnNode() ? top->OwnNode() : top->NodeToRun();
          const std::u16string_view name = node ? std::u16string_view(node->GetName()) : std::u16string_view();
          const bool named = std::find(refused.begin(), refused.end(), name) != refused.end();
          return !named || processor_.FrameDepth() <= deepest;
        },
        bounds);
    out.depthAtStop = processor_.TemplateDepth();
    out.framesAtStop = processor_.FrameDepth();
    if (out.end == KTRunEnd::kFinished) out.result = KTUtf16ToUtf8(processor_.Serialize());
    return out;
  }

  // For every frame depth from 1 to `lastDepth`: the run with bounds at
  // that depth ends where and as the run checked at every step ends, and
  // some of those runs stop while others finish. Returns the runs checked
  // at every step, by depth (index 0 unused).
  std::vector<Outcome> CompareBoundedRuns(const char* body, std::initializer_list<std::u16string_view> refused,
                                          int lastDepth) {
    std::vector<Outcome> everySteps(1);
    int stopped = 0;
    int finished = 0;
    for (int deepest = 1; deepest <= lastDepth; ++deepest) {
      Outcome everyStep = RunRefusing(body, refused, deepest, nullptr);
      const KTStepCheckBounds bounds{deepest, 1'000'000};
      Outcome bounded = RunRefusing(body, refused, deepest, &bounds);
      EXPECT_EQ(bounded.end, everyStep.end) << deepest;
      EXPECT_EQ(bounded.depthAtStop, everyStep.depthAtStop) << deepest;
      EXPECT_EQ(bounded.framesAtStop, everyStep.framesAtStop) << deepest;
      EXPECT_EQ(bounded.result, everyStep.result) << deepest;
      stopped += everyStep.end == KTRunEnd::kStopped;
      finished += everyStep.end == KTRunEnd::kFinished;
      everySteps.push_back(std::move(everyStep));
    }
    EXPECT_GT(stopped, 0);
    EXPECT_GT(finished, 0);
    return everySteps;
  }

  KTXPathTreeContext context_;
  KTTestProcessor processor_;
  KTTestDocument stylesheet_;
  KTTestDocument source_;
};

TEST_F(RunLoopTest, EachWayARunEnds) {
  struct Case {
    const char* what;
    const char* body;
    int allowedSteps;  // the check refuses the step after these; -1: no check
    KTRunEnd end;
    bool framesLeft;
  } cases[] = {
      {"to the end", "<xsl:template match='/'><xsl:apply-templates select='r/e'/></xsl:template>", -1,
       KTRunEnd::kFinished, false},
      {"to the end under a check", "<xsl:template match='/'><xsl:apply-templates select='r/e'/></xsl:template>",
       1'000'000, KTRunEnd::kFinished, false},
      {"terminating message", "<xsl:template match='/'>a<xsl:message terminate='yes'>m</xsl:message>b</xsl:template>",
       -1, KTRunEnd::kTerminated, true},
      {"refused by the check", "<xsl:template match='/'><xsl:apply-templates select='r/e'/></xsl:template>", 3,
       KTRunEnd::kStopped, true},
      {"refused before the first step", "<xsl:template match='/'>x</xsl:template>", 0, KTRunEnd::kStopped, true},
  };
  for (const Case& c : cases) {
    Load(c.body);
    int asked = 0;
    KTStepCheck check;
    if (c.allowedSteps >= 0) check = [&] { return ++asked <= c.allowedSteps; };
    EXPECT_EQ(Run(check), c.end) << c.what;
    EXPECT_EQ(!processor_.FrameStack()->empty(), c.framesLeft) << c.what;
    if (c.end == KTRunEnd::kStopped) {
      EXPECT_EQ(asked, c.allowedSteps + 1) << c.what;
    }
    EXPECT_EQ(processor_.Terminated(), c.end == KTRunEnd::kTerminated) << c.what;
  }
}

// The check is asked once before each step: as often as a loop that steps
// by hand steps before the frame stack is empty.
TEST_F(RunLoopTest, TheCheckIsAskedBeforeEveryStep) {
  const char* body = "<xsl:template match='/'><xsl:for-each select='//e'><xsl:value-of select='.'/></xsl:for-each>"
                     "</xsl:template>";
  Load(body);
  int asked = 0;
  ASSERT_EQ(Run([&] {
              ++asked;
              return true;
            }),
            KTRunEnd::kFinished);
  Load(body);
  processor_.Prepare(stylesheet_.view.get(), source_.view.get());
  int stepped = 0;
  while (!processor_.FrameStack()->empty() && processor_.Step()) ++stepped;
  EXPECT_GT(stepped, 1);
  EXPECT_EQ(asked, stepped);
}

// With bounds, the check is asked before the first step and before every
// step beyond them, and nowhere else: a check that refuses only beyond the
// bounds stops the run at the same step, at the same depth, as when it is
// asked before every step.
TEST_F(RunLoopTest, BoundsLeaveOutOnlyTheStepsWithinThem) {
  const char* body =
      "<xsl:template match='/'><xsl:call-template name='down'><xsl:with-param name='n' select='40'/>"
      "</xsl:call-template></xsl:template>"
      "<xsl:template name='down'><xsl:param name='n'/><xsl:if test='$n'>"
      "<xsl:call-template name='down'><xsl:with-param name='n' select='$n - 1'/></xsl:call-template>"
      "</xsl:if></xsl:template>";
  constexpr int kDeepest = 12;
  struct Outcome {
    KTRunEnd end;
    int asked = 0;
    int stepped = 0;
    int depthAtStop = 0;
    int framesAtStop = 0;
  };
  auto run = [&](const KTStepCheckBounds* bounds) {
    Load(body);
    Outcome out;
    KTStepCheck check = [&] {
      ++out.asked;
      if (processor_.TemplateDepth() > kDeepest) return false;
      ++out.stepped;
      return true;
    };
    out.end = Run(check, bounds);
    out.depthAtStop = processor_.TemplateDepth();
    out.framesAtStop = processor_.FrameDepth();
    return out;
  };
  Outcome everyStep = run(nullptr);
  const KTStepCheckBounds bounds{1'000'000, kDeepest};
  Outcome bounded = run(&bounds);
  ASSERT_EQ(everyStep.end, KTRunEnd::kStopped);
  EXPECT_EQ(bounded.end, KTRunEnd::kStopped);
  EXPECT_EQ(bounded.depthAtStop, everyStep.depthAtStop);
  EXPECT_EQ(bounded.framesAtStop, everyStep.framesAtStop);
  // Every step before the stop ran within the bounds but the first.
  EXPECT_EQ(everyStep.asked, everyStep.stepped + 1);
  EXPECT_EQ(bounded.asked, 2);

  // Bounds the frame stack passes are asked at every step beyond them.
  const KTStepCheckBounds shallow{1, 1'000'000};
  Outcome frames = run(&shallow);
  EXPECT_EQ(frames.end, KTRunEnd::kStopped);
  EXPECT_EQ(frames.depthAtStop, everyStep.depthAtStop);
  EXPECT_GT(frames.asked, bounded.asked);
  EXPECT_LE(frames.asked, everyStep.asked);
}

// Nodes whose rule has an empty template are passed over without their
// frames only where the check would not have been asked: a check that
// refuses the empty template's depth stops the run where it stops without
// bounds, and a run within the bounds ends with the same result.
TEST_F(RunLoopTest, EmptyTemplatesBeyondTheBoundsStillMeetTheCheck) {
  const char* body =
      "<xsl:template match='/'><xsl:apply-templates select='r/e'/>.<xsl:apply-templates select='r'/></xsl:template>"
      "<xsl:template match='r'><xsl:apply-templates select='e|e/text()'/></xsl:template>"
      "<xsl:template match='e'/><xsl:template match='text()'>[<xsl:value-of select='.'/>]</xsl:template>";
  struct Outcome {
    KTRunEnd end;
    int depthAtStop = 0;
    int framesAtStop = 0;
    std::string result;
  };
  auto run = [&](int deepest, const KTStepCheckBounds* bounds) {
    Load(body);
    Outcome out;
    out.end = Run([&] { return processor_.TemplateDepth() <= deepest; }, bounds);
    out.depthAtStop = processor_.TemplateDepth();
    out.framesAtStop = processor_.FrameDepth();
    if (out.end == KTRunEnd::kFinished) out.result = KTUtf16ToUtf8(processor_.Serialize());
    return out;
  };
  // The first template runs at depth 1, those it applies at depth 2.
  for (int deepest : {1, 2, 3}) {
    Outcome everyStep = run(deepest, nullptr);
    const KTStepCheckBounds bounds{1'000'000, deepest};
    Outcome bounded = run(deepest, &bounds);
    EXPECT_EQ(bounded.end, everyStep.end) << deepest;
    EXPECT_EQ(bounded.depthAtStop, everyStep.depthAtStop) << deepest;
    EXPECT_EQ(bounded.framesAtStop, everyStep.framesAtStop) << deepest;
    EXPECT_EQ(bounded.result, everyStep.result) << deepest;
  }
  Outcome stopped = run(1, nullptr);
  EXPECT_EQ(stopped.end, KTRunEnd::kStopped);
  Outcome finished = run(3, nullptr);
  ASSERT_EQ(finished.end, KTRunEnd::kFinished);
  if (!ktresulttree::HaveTool("xsltproc")) GTEST_SKIP() << "xsltproc is not installed";
  ktresulttree::ScratchFolder folder;
  std::string style = folder.Write("style.xsl", Stylesheet(body));
  std::string input = folder.Write("in.xml", kSource);
  EXPECT_EQ(finished.result, ktresulttree::Run("xsltproc '" + style + "' '" + input + "' 2>/dev/null"));
}

// Rules that apply templates to a node's children, alone or inside
// xsl:copy, over rules done without frames, are done without their frames
// only where the check would not have been asked for any of the frames left
// out, however deep they nest: a check that refuses those frames beyond a
// depth stops the run where it stops without bounds. The rules run first
// in frames for the elements alone, then without them one level deeper.
TEST_F(RunLoopTest, ChildrenAppliedInPlaceBeyondTheBoundsStillMeetTheCheck) {
  const char* const bodies[] = {
      "<xsl:template match='/'><xsl:apply-templates select='r/e'/>|<xsl:apply-templates select='r'/></xsl:template>"
      "<xsl:template match='*'><xsl:copy><xsl:apply-templates/></xsl:copy></xsl:template>",
      "<xsl:template match='/'><xsl:apply-templates select='r/e' mode='m'/>|<xsl:apply-templates select='r' "
      "mode='m'/></xsl:template>",
  };
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    CompareBoundedRuns(body, {u"xsl:template", u"xsl:copy", u"xsl:apply-templates", u"xsl:value-of"}, 12);
  }
}

TEST_F(RunLoopTest, StylesheetErrorsPassThrough) {
  Load("<xsl:template match='/'><xsl:value-of select='$nowhere'/></xsl:template>");
  EXPECT_THROW(Run(), KTXSLTError);
}

TEST_F(RunLoopTest, AFinishedRunHasXsltprocsResult) {
  if (!ktresulttree::HaveTool("xsltproc")) GTEST_SKIP() << "xsltproc is not installed";
  const std::string body =
      "<xsl:template match='/'><xsl:value-of select='count(//e)'/>:<xsl:apply-templates select='r/e'/>"
      "</xsl:template><xsl:template match='e'>[<xsl:value-of select='. * 2'/>]</xsl:template>";
  Load(body);
  ASSERT_EQ(Run(), KTRunEnd::kFinished);
  ktresulttree::ScratchFolder folder;
  std::string style = folder.Write("style.xsl", Stylesheet(body));
  std::string input = folder.Write("in.xml", kSource);
  EXPECT_EQ(KTUtf16ToUtf8(processor_.Serialize()),
            ktresulttree::Run("xsltproc '" + style + "' '" + input + "' 2>/dev/null"));
}

// An xsl:with-param whose value is a select is bound without a frame of
// its own only where the check would not have been asked before its steps:
// a check that refuses a with-param's frame beyond a depth meets it, with
// bounds at that depth, where it meets it without bounds (every step
// asked, every with-param in its frame), and runs that finish have the same
// result.
TEST_F(RunLoopTest, ParametersBeyondTheBoundsStillMeetTheCheck) {
  const char* body =
      "<xsl:template match='/'><xsl:call-template name='down'><xsl:with-param name='n' select='3'/>"
      "<xsl:with-param name='s' select='string(r/e)'/></xsl:call-template></xsl:template>"
      "<xsl:template name='down'><xsl:param name='n'/><xsl:param name='s'/><xsl:value-of select='$s'/>"
      "<xsl:if test='$n'><xsl:call-template name='down'><xsl:with-param name='n' select='$n - 1'/>"
      "<xsl:with-param name='s' select='concat($s, $n)'/></xsl:call-template></xsl:if></xsl:template>";
  CompareBoundedRuns(body, {u"xsl:with-param"}, 24);
}

// Local declarations with a select are bound without frames of their own
// only where the check would not have been asked before their steps: a
// check that refuses a declaration's frame beyond a depth meets it, with
// bounds at that depth, where it meets it without bounds, and runs that
// finish have the same result.
TEST_F(RunLoopTest, DeclarationsBeyondTheBoundsStillMeetTheCheck) {
  const char* body =
      "<xsl:template match='/'><xsl:variable name='a' select='count(r/e)'/><xsl:for-each select='r/e'>"
      "<xsl:if test='. != 1'><xsl:variable name='b' select='. * $a'/><xsl:value-of select='$b'/></xsl:if>"
      "</xsl:for-each><xsl:call-template name='t'><xsl:with-param name='p' select='$a'/></xsl:call-template>"
      "</xsl:template>"
      "<xsl:template name='t'><xsl:param name='p'/><xsl:param name='q' select='$p + 1'/>"
      "<xsl:value-of select='$q'/></xsl:template>";
  CompareBoundedRuns(body, {u"xsl:variable", u"xsl:param"}, 8);
}


// The tests of xsl:if and xsl:when, the variables of a for-each body and
// the parameters of apply-templates are evaluated from the parent frame
// only where the check would not have
// been asked before their own frames' steps: a check that refuses such a
// frame beyond a depth meets it, with bounds at that depth, where it meets
// it without bounds, and runs that finish have the same result (false
// tests passed over, a true one run, the xsl:otherwise after them, a
// variable bound at each position, in a recursive template).
TEST_F(RunLoopTest, ConditionsBeyondTheBoundsStillMeetTheCheck) {
  const char* body =
      "<xsl:template match='/'><xsl:for-each select='r/e'><xsl:variable name='v' select='. * 2 + position()'/>"
      "<xsl:if test='$v = 6'>six</xsl:if><xsl:choose><xsl:when test='. = 1'>one</xsl:when>"
      "<xsl:when test='. = 2'>two</xsl:when><xsl:otherwise><xsl:apply-templates select='../e[1]' mode='t'>"
      "<xsl:with-param name='n' select='. + position() - 3'/></xsl:apply-templates></xsl:otherwise></xsl:choose>"
      "</xsl:for-each></xsl:template>"
      "<xsl:template match='e' mode='t'><xsl:param name='n'/><xsl:call-template name='t'>"
      "<xsl:with-param name='n' select='$n'/></xsl:call-template></xsl:template>"
      "<xsl:template name='t'><xsl:param name='n'/><xsl:if test='$n = 9'>nine</xsl:if>"
      "<xsl:if test='$n = 2'>(</xsl:if><xsl:choose><xsl:when test='1 > $n'>.</xsl:when>"
      "<xsl:when test='$n = 7'>seven</xsl:when><xsl:otherwise><xsl:value-of select='$n'/><xsl:call-template name='t'>"
      "<xsl:with-param name='n' select='$n - 1'/></xsl:call-template></xsl:otherwise></xsl:choose></xsl:template>";
  // The depths of the xsl:variable, xsl:if, xsl:when and xsl:with-param
  // frames, met in this order: the for-each's xsl:variable and xsl:if, its
  // xsl:choose's xsl:when children, the xsl:with-param of apply-templates
  // and of the call in mode t, then at each level of t its two xsl:if
  // (false but at one level), its xsl:when children and the xsl:with-param
  // of its call.
  constexpr int kConditionDepths[] = {4, 5, 7, 9, 10, 11, 13, 14, 15, 17, 18, 19, 21, 22, 23};
  const std::vector<Outcome> everySteps =
      CompareBoundedRuns(body, {u"xsl:when", u"xsl:if", u"xsl:variable", u"xsl:with-param"}, 30);
  for (int deepest = 1; deepest < static_cast<int>(everySteps.size()); ++deepest) {
    // Checked at every step, the run stops at the first such frame beyond
    // the depth, whether a test is true or false.
    const Outcome& everyStep = everySteps[deepest];
    if (everyStep.end == KTRunEnd::kStopped) {
      const int* beyond = std::upper_bound(std::begin(kConditionDepths), std::end(kConditionDepths), deepest);
      ASSERT_NE(beyond, std::end(kConditionDepths)) << deepest;
      EXPECT_EQ(everyStep.framesAtStop, *beyond) << deepest;
    }
  }
}

}  // namespace
