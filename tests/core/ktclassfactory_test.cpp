// Class-factory registry and the error-logger checks.
#include "core/ktclassfactory.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

struct Widget {
  int kind;
};

void* CreateWidgetA() { return new Widget{1}; }
void* CreateWidgetB() { return new Widget{2}; }

int RaisedCode(void (*step)()) {
  try {
    step();
  } catch (const KTComError& e) {
    return e.Error();
  }
  return 0;
}

TEST(ClassFactoryRegistry, GuardedAccessReturnsTheOneRegistryWithItsLock) {
  KTClassFactoryRegistry* first = GetClassFactoryRegistry();
  KTClassFactoryRegistry* second = GetClassFactoryRegistry();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, KTClassFactoryRegistry::Instance());
  EXPECT_EQ(first->GetRegistryLock(), KTClassFactoryRegistry::GetLock());
}

TEST(ClassFactoryRegistry, FirstRegistrationOfAnIdWins) {
  KTClassFactoryRegistry* registry = GetClassFactoryRegistry();
  EXPECT_TRUE(registry->Register(9102, CreateWidgetA));
  EXPECT_FALSE(registry->Register(9102, CreateWidgetB));

  auto entry = registry->Find(9102);
  ASSERT_NE(entry, registry->End());
  Widget* widget = static_cast<Widget*>(entry->second());
  EXPECT_EQ(widget->kind, 1);
  delete widget;
}

TEST(ClassFactoryRegistry, FindMatchesOnlyExactIds) {
  KTClassFactoryRegistry* registry = GetClassFactoryRegistry();
  registry->Register(9202, CreateWidgetA);
  registry->Register(9205, CreateWidgetB);
  EXPECT_EQ(registry->Find(9203), registry->End());  // between two ids
  EXPECT_EQ(registry->Find(9201), registry->End());  // below the first
  EXPECT_EQ(registry->Find(9999), registry->End());  // above the last
  EXPECT_NE(registry->Find(9205), registry->End());
}

// Runs in a fresh process: the exit handler, registered before the registry is
// built, runs after the registry's teardown and must get the "destroyed" error
// instead of a freed map.
void AccessAfterTeardown() {
  try {
    GetClassFactoryRegistry();
  } catch (const KTComError& e) {
    _exit(e.Error() == kKTErrorUnexpected ? 3 : 4);
  }
  _exit(5);
}

TEST(ClassFactoryRegistryDeathTest, AccessAfterTeardownAtExitRaisesUnexpected) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
    {
      std::atexit(AccessAfterTeardown);
      GetClassFactoryRegistry()->Register(1, CreateWidgetA);
      std::exit(0);
    },
    ::testing::ExitedWithCode(3), "");
}

TEST(ErrorLoggerChecks, FailedChecksRaiseTheirCode) {
  struct Case {
    const char* name;
    void (*step)();
    int32_t code;
  };
  static int object = 0;
  const Case cases[] = {
    {"null instance", [] { CheckInstance(nullptr, u"Could not create"); }, kKTErrorUnexpected},
    {"null instance, note", [] { CheckInstanceNote(nullptr); }, kKTErrorUnexpected},
    {"live instance", [] { CheckInstance(&object, u"x"); }, 0},
    {"failed call", [] { CheckCall(13); }, 13},
    {"COM code call", [] { CheckCall(static_cast<int32_t>(0x8007000Eu)); },
     static_cast<int32_t>(0x8007000Eu)},
    {"successful call", [] { CheckCall(0); }, 0},
    {"failed line read", [] { CheckReadLine(-1); }, -1},
    {"line read", [] { CheckReadLine(0); }, 0},
    {"notice", [] { LogNotice(u"deprecated"); }, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(RaisedCode(c.step), c.code) << c.name;
}

std::string logged;
void KeepLine(const std::string& line) { logged += line; }

// Messages never vanish: a failed check's message reaches the log sink and
// the raised error's what(), each with its code.
TEST(ErrorLoggerChecks, MessagesReachTheLogAndTheError) {
  SetLogSink(&KeepLine);
  logged.clear();
  try {
    CheckCall(static_cast<int32_t>(0x8007000Eu), u"Could not open caf\u00E9.xml");
    ADD_FAILURE() << "no error raised";
  } catch (const KTComError& e) {
    EXPECT_STREQ(e.what(), "Could not open caf\xC3\xA9.xml (code 0x8007000E)");
  }
  EXPECT_EQ(logged.rfind("error 0x8007000E: Could not open caf\xC3\xA9.xml (core/kterrorlogger:", 0), 0u) << logged;
  // A notice (code 0) is no error: the error output stays free of it.
  logged.clear();
  LogNotice(u"deprecated");
  EXPECT_EQ(logged, "");
  SetLogSink(nullptr);
  EXPECT_STREQ(KTComError(13).what(), "error code 0x0000000D");
}

}  // namespace
