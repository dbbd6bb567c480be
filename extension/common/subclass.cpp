#include "common/subclass.h"

namespace {
// The window property that leads from a window to its subclass object.
const WCHAR kProperty[] = L"Vesk.Subclass";
}  // namespace

Subclass::~Subclass() { Detach(); }

bool Subclass::Attach(HWND window) {
  if (window_ || !window || !SetPropW(window, kProperty, this)) return false;
  window_ = window;
  previous_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Subclass::Procedure)));
  if (!previous_) {
    RemovePropW(window, kProperty);
    window_ = nullptr;
    return false;
  }
  return true;
}

void Subclass::Detach() {
  if (!window_) return;
  // Somebody who subclassed after us still calls us through our procedure, so
  // only a window that still has ours gets the previous one back.
  if (GetWindowLongPtrW(window_, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&Subclass::Procedure))
    SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
  RemovePropW(window_, kProperty);
  window_ = nullptr;
}

LRESULT Subclass::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return CallPrevious(message, wParam, lParam);
}

LRESULT Subclass::CallPrevious(UINT message, WPARAM wParam, LPARAM lParam) {
  return CallWindowProcW(previous_, window_, message, wParam, lParam);
}

LRESULT CALLBACK Subclass::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = static_cast<Subclass*>(GetPropW(window, kProperty));
  if (!self) return DefWindowProcW(window, message, wParam, lParam);
  if (message != WM_DESTROY) return self->HandleMessage(message, wParam, lParam);
  self->BeforeDestroy();
  WNDPROC previous = self->previous_;
  self->Detach();
  return CallWindowProcW(previous, window, message, wParam, lParam);
}
