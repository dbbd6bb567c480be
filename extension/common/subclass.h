// Window subclassing as one small object: it replaces a window's procedure,
// remembers the previous one, passes on what it does not consume and puts the
// previous procedure back when the window is destroyed.
#pragma once

#include "common/target.h"

class Subclass {
 public:
  Subclass() = default;
  Subclass(const Subclass&) = delete;
  Subclass& operator=(const Subclass&) = delete;
  virtual ~Subclass();

  // Replaces the window's procedure; false when the window cannot be taken.
  bool Attach(HWND window);
  // Puts the previous procedure back, if the window still has ours.
  void Detach();

  HWND Window() const { return window_; }
  bool Attached() const { return window_ != nullptr; }
  // Hands a message to the procedure that was replaced.
  LRESULT CallPrevious(UINT message, WPARAM wParam, LPARAM lParam);

 protected:
  // Every message reaches this first; the default passes it on.
  virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  // Called at WM_DESTROY before the previous procedure is put back.
  virtual void BeforeDestroy() {}

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HWND window_ = nullptr;
  WNDPROC previous_ = nullptr;
};
