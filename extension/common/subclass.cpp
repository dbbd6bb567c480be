#include "common/subclass.h"

namespace {
// The window property that leads from a window to its subclass object.
const WCHAR kProperty[] = L"Vesk.Subclass";
}  // namespace

Subclass::~Subclass() { Detach(); }

bool Subclass::Attach(HWND window) {
  if (window_ || !window || GetPropW(window, kProperty)) return false;
  Link* link = new Link{this, nullptr};
  if (!SetPropW(window, kProperty, link)) {
    delete link;
    return false;
  }
  WNDPROC previous = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Subclass::Procedure)));
  if (!previous) {
    RemovePropW(window, kProperty);
    delete link;
    return false;
  }
  link->previous = previous;
  window_ = window;
  previous_ = previous;
  link_ = link;
  return true;
}

void Subclass::Detach() {
  if (!window_) return;
  if (GetWindowLongPtrW(window_, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&Subclass::Procedure)) {
    SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
    RemovePropW(window_, kProperty);
    delete link_;
  } else {
    // Somebody who subclassed after us still calls our procedure: it goes on
    // forwarding to the previous one, and the link goes at WM_NCDESTROY.
    link_->owner = nullptr;
  }
  window_ = nullptr;
  link_ = nullptr;
}

LRESULT Subclass::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return CallPrevious(message, wParam, lParam);
}

LRESULT Subclass::CallPrevious(UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = CallWindowProcW(previous_, window_, message, wParam, lParam);
  if (dispatch_) {
    dispatch_->passedOn = true;
    dispatch_->result = result;
  }
  return result;
}

LRESULT CALLBACK Subclass::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* link = static_cast<Link*>(GetPropW(window, kProperty));
  if (!link) return DefWindowProcW(window, message, wParam, lParam);
  if (!link->owner) {
    WNDPROC previous = link->previous;
    if (message == WM_NCDESTROY) {
      RemovePropW(window, kProperty);
      delete link;
    }
    return CallWindowProcW(previous, window, message, wParam, lParam);
  }
  Subclass* self = link->owner;
  WNDPROC previous = self->previous_;
  // Messages nest (a handler's call to the previous procedure sends more);
  // each level records whether its message was passed on.
  Dispatch dispatch;
  Dispatch* outer = self->dispatch_;
  self->dispatch_ = &dispatch;
  try {
    if (message != WM_DESTROY) {
      LRESULT result = self->HandleMessage(message, wParam, lParam);
      self->dispatch_ = outer;
      return result;
    }
    self->BeforeDestroy();
  } catch (...) {
    // No exception may unwind into the system's frames: the message goes on
    // as if we were not there, unless it already has.
    self->dispatch_ = outer;
    if (message != WM_DESTROY)
      return dispatch.passedOn ? dispatch.result : CallWindowProcW(previous, window, message, wParam, lParam);
  }
  self->dispatch_ = outer;
  self->Detach();
  return CallWindowProcW(previous, window, message, wParam, lParam);
}
