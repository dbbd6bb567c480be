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

  // Replaces the window's procedure; false when the window cannot be taken
  // (also when another Subclass already has it).
  bool Attach(HWND window);
  // Puts the previous procedure back. When somebody subclassed the window
  // after us, ours stays in their chain: it then forwards every message to the
  // previous procedure until the window is gone.
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
  // What the window's property leads to; it outlives the object when the
  // procedure cannot be taken back.
  struct Link {
    Subclass* owner;
    WNDPROC previous;
  };

  // What one level of message dispatch did: passed on, with which result.
  struct Dispatch {
    bool passedOn = false;
    LRESULT result = 0;
  };

  // Every system call into the object comes here; an exception from a
  // handler ends here too, and the message is then passed on.
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HWND window_ = nullptr;
  WNDPROC previous_ = nullptr;
  Link* link_ = nullptr;
  Dispatch* dispatch_ = nullptr;
};
