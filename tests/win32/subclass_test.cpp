// The subclassing object on real windows: what the replaced procedure still
// receives, whether or not somebody subclassed the window after us.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "common/subclass.h"

namespace {

std::vector<UINT> gOriginalSaw;
WNDPROC gOursInChain = nullptr;

LRESULT CALLBACK Original(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP || message == WM_DESTROY || message == WM_NCDESTROY) gOriginalSaw.push_back(message);
  return DefWindowProcW(window, message, wParam, lParam);
}

// Another module's subclass, installed after ours.
LRESULT CALLBACK Later(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
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
  SendMessageW(window_, WM_APP, 0, 0);
  DestroyWindow(window_);
  EXPECT_EQ(gOriginalSaw, (std::vector<UINT>{WM_APP, WM_DESTROY, WM_NCDESTROY}));
}

TEST_F(SubclassTest, DestroyedWhileSubclassedGivesTheLastMessagesToThePrevious) {
  Counting ours;
  ASSERT_TRUE(ours.Attach(window_));
  DestroyWindow(window_);
  EXPECT_FALSE(ours.Attached());
  EXPECT_EQ(gOriginalSaw, (std::vector<UINT>{WM_DESTROY, WM_NCDESTROY}));
}

}  // namespace
