// The loader's rules: Task Manager's command line as Windows passed it, the
// stub that loads the extension, and the debug loop's answers.
#include <gtest/gtest.h>

#include <string>

#include "loader_logic.h"

namespace veskload {
namespace {

TEST(LoaderCommandLine, TaskManagersCommandLineIsPassedUnchanged) {
  struct Case {
    const char16_t* line;
    const char16_t* rest;
  };
  for (const Case& c : {
           Case{u"\"C:\\Program Files\\veskload.exe\" C:\\WINDOWS\\system32\\taskmgr.exe /x",
                u"C:\\WINDOWS\\system32\\taskmgr.exe /x"},
           Case{u"veskload.exe \"C:\\a b\\taskmgr.exe\"  \"q \\\" r\"\t",
                u"\"C:\\a b\\taskmgr.exe\"  \"q \\\" r\"\t"},
           Case{u"  veskload.exe\t taskmgr", u"taskmgr"},
           Case{u"\"C:\\veskload.exe\"taskmgr", u"taskmgr"},
           Case{u"veskload.exe", u""},
           Case{u"\"veskload.exe   ", u""},
           Case{u"", u""},
       })
    EXPECT_EQ(std::u16string(SkipFirstToken(c.line)), std::u16string(c.rest)) << (const void*)c.line;
}

TEST(LoaderStub, LoadsThePathThenJumpsToTheEntryPoint) {
  uint8_t stub[kStubSize];
  BuildStub(0x00140013u, 0x7C801D7Bu, 0x01006420u, stub);
  const uint8_t expected[kStubSize] = {0x68, 0x13, 0x00, 0x14, 0x00, 0xB8, 0x7B, 0x1D, 0x80, 0x7C,
                                       0xFF, 0xD0, 0xB8, 0x20, 0x64, 0x00, 0x01, 0xFF, 0xE0};
  for (size_t i = 0; i < kStubSize; ++i) EXPECT_EQ(stub[i], expected[i]) << i;
}

TEST(LoaderSession, MapsOnceAtTheEntryAndPassesOtherExceptionsOn) {
  Session s;
  EXPECT_EQ(s.OnCreateProcess(0x1000), Session::Step::kArmEntry);
  EXPECT_FALSE(s.Done());
  // The system's breakpoint at process start is continued, once.
  EXPECT_EQ(s.OnException(kBreakpointCode, 0x7C90120E, true), Session::Step::kContinue);
  EXPECT_EQ(s.Status(), kContinue);
  // Task Manager's own exceptions are its own.
  EXPECT_EQ(s.OnException(0xC0000005u, 0x1000, true), Session::Step::kContinue);
  EXPECT_EQ(s.Status(), kNotHandled);
  EXPECT_EQ(s.OnException(kBreakpointCode, 0x1000, false), Session::Step::kContinue);
  EXPECT_EQ(s.Status(), kNotHandled);
  EXPECT_EQ(s.OnException(kBreakpointCode, 0x7C90120E, true), Session::Step::kContinue);
  EXPECT_EQ(s.Status(), kNotHandled);
  EXPECT_EQ(s.OnException(kBreakpointCode, 0x1000, true), Session::Step::kMapExtension);
  EXPECT_EQ(s.Status(), kContinue);
  EXPECT_TRUE(s.Done());
  // A later breakpoint at the same place is Task Manager's.
  EXPECT_EQ(s.OnException(kBreakpointCode, 0x1000, true), Session::Step::kContinue);
  EXPECT_EQ(s.Status(), kNotHandled);
  EXPECT_EQ(s.OnOther(), Session::Step::kContinue);
  EXPECT_EQ(s.Status(), kContinue);
  EXPECT_EQ(s.OnExitProcess(7), Session::Step::kExited);
  EXPECT_EQ(s.ExitCode(), 7u);
}

TEST(LoaderSession, WithoutTheBreakpointTaskManagerRunsOn) {
  Session s;
  ASSERT_EQ(s.OnCreateProcess(0x1000), Session::Step::kArmEntry);
  s.OnArmFailed();
  EXPECT_TRUE(s.Done());
  EXPECT_EQ(s.OnException(kBreakpointCode, 0x7C90120E, true), Session::Step::kContinue);
  EXPECT_EQ(s.OnException(kBreakpointCode, 0x1000, true), Session::Step::kContinue);
  EXPECT_EQ(s.Status(), kNotHandled);
}

// The system's start-up breakpoint comes before the entry point runs, if at
// all: a breakpoint after that is Task Manager's own and goes back to it.
TEST(LoaderSession, NoBreakpointAfterTheEntryIsTakenForTheSystems) {
  Session s;
  ASSERT_EQ(s.OnCreateProcess(0x1000), Session::Step::kArmEntry);
  EXPECT_EQ(s.OnException(kBreakpointCode, 0x1000, true), Session::Step::kMapExtension);
  EXPECT_EQ(s.OnException(kBreakpointCode, 0x2345, true), Session::Step::kContinue);
  EXPECT_EQ(s.Status(), kNotHandled);
}

// Task Manager starts with the global flags of a process Windows started
// without a debugger: the heap debugging flags go, except those the system
// gives every process (the loader's own), and no other flag changes.
TEST(LoaderGlobalFlags, TheDebugHeapFlagsGoUnlessTheSystemSetsThem) {
  struct Case {
    uint32_t taskManager, loader, expected;
  } cases[] = {
      {0x70, 0x00, 0x00},        // the debugger's defaults
      {0x70, 0x10, 0x10},        // system-wide tail checking stays
      {0x1070, 0x1000, 0x1000},  // other flags are left as they are
      {0x02000070, 0x00, 0x02000000},
      {0x00, 0x70, 0x00},
      {0x80, 0x00, 0x80},  // heap validation on call is no debugger default
  };
  for (const Case& c : cases)
    EXPECT_EQ(WithoutDebugHeap(c.taskManager, c.loader), c.expected) << c.taskManager;
}

}  // namespace
}  // namespace veskload
