// The subclassing object on real windows: what the replaced procedure still
// receives, whether or not somebody subclassed the window after us.
#include <windows.h>

#include <gtest/gtest.h>

#include <new>
#include <vector>

#include "common/subclass.h"

namespace {

std::vector<UINT> gOriginalSaw;
std::vector<UINT> gLaterSaw;
WNDPROC gOursInChain = nullptr;

LRESULT CALLBACK Original(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP || message == WM_DESTROY || message == WM_NCDESTROY) gOriginalSaw.push_back(message);
  if (message == WM_APP) return 42;
  return DefWindowProcW(window, message, wParam, lParam);
}

// Another module's subclass, installed after ours.
LRESULT CALLBACK Later(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP || message == WM_DESTROY || message == WM_NCDESTROY) gLaterSaw.push_back(message);
  return CallWindowProcW(gOursInChain, window, message, wParam, lParam);
}

class Counting : public Subclass {
 public:
  int seen = 0;

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_APP) ++seen;
    return CallPrevious(message, wParam, lParam);
  }
};

class SubclassTest : public testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = Original;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VeskSubclassTest";
    RegisterClassW(&wc);
    window_ = CreateWindowExW(0, L"VeskSubclassTest", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(window_ != nullptr);
    gOriginalSaw.clear();
    gLaterSaw.clear();
  }

  HWND window_ = nullptr;
};

TEST_F(SubclassTest, PassesOnAndPutsTheProcedureBack) {
  Counting ours;
  ASSERT_TRUE(ours.Attach(window_));
  Counting second;
  EXPECT_FALSE(second.Attach(window_)) << "one subclass object per window";
  SendMessageW(window_, WM_APP, 0, 0);
  EXPECT_EQ(ours.seen, 1);
  ours.Detach();
  EXPECT_EQ(GetWindowLongPtrW(window_, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(Original));
  DestroyWindow(window_);
  EXPECT_EQ(gOriginalSaw, (std::vector<UINT>{WM_APP, WM_DESTROY, WM_NCDESTROY}));
}

TEST_F(SubclassTest, DetachedUnderAnotherSubclassStillForwardsEverything) {
  {
    Counting ours;
    ASSERT_TRUE(ours.Attach(window_));
    gOursInChain = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Later)));
    ours.Detach();
  }  // the object is gone; the window still calls its procedure
  // The later subclass stays in the chain and still gets every message.
  EXPECT_EQ(GetWindowLongPtrW(window_, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(Later));
  SendMessageW(window_, WM_APP, 0, 0);
  DestroyWindow(window_);
  EXPECT_EQ(gLaterSaw, (std::vector<UINT>{WM_APP, WM_DESTROY, WM_NCDESTROY}));
  EXPECT_EQ(gOriginalSaw, (std::vector<UINT>{WM_APP, WM_DESTROY, WM_NCDESTROY}));
}

// A handler that runs out of memory before or after passing its message on.
class Throwing : public Subclass {
 public:
  bool afterPassingOn = false;

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message != WM_APP && message != WM_DESTROY) return CallPrevious(message, wParam, lParam);
    if (afterPassingOn) CallPrevious(message, wParam, lParam);
    throw std::bad_alloc();
  }
  void BeforeDestroy() override { throw std::bad_alloc(); }
};

// No exception unwinds into the system: the message reaches the previous
// procedure exactly once and its result is returned.
TEST_F(SubclassTest, AnExceptionInAHandlerPassesTheMessageOnOnce) {
  Throwing ours;
  ASSERT_TRUE(ours.Attach(window_));
  EXPECT_EQ(SendMessageW(window_, WM_APP, 0, 0), 42);
  ours.afterPassingOn = true;
  EXPECT_EQ(SendMessageW(window_, WM_APP, 0, 0), 42);
  DestroyWindow(window_);
  EXPECT_FALSE(ours.Attached());
  EXPECT_EQ(gOriginalSaw, (std::vector<UINT>{WM_APP, WM_APP, WM_DESTROY, WM_NCDESTROY}));
}

TEST_F(SubclassTest, DestroyedWhileSubclassedGivesTheLastMessagesToThePrevious) {
  Counting ours;
  ASSERT_TRUE(ours.Attach(window_));
  DestroyWindow(window_);
  EXPECT_FALSE(ours.Attached());
  EXPECT_EQ(gOriginalSaw, (std::vector<UINT>{WM_DESTROY, WM_NCDESTROY}));
}

}  // namespace
