#include "host/about_dialog.h"

#include <objbase.h>
#include <shellapi.h>

#include <memory>
#include <string>

#include "common/subclass.h"
#include "resources/resource_ids.h"

namespace {

// The project's addresses, under the reserved .example domain, which can never
// lead to anybody else's site or mailbox.
const WCHAR kWebPage[] = L"http://www.vesk.example/";
const WCHAR kMailAddress[] = L"support@vesk.example";

// A static text control made into a hyperlink: underlined, drawn in the link
// colour, with the hand cursor; a click opens the target. Plain user32 and
// gdi32, so it works where the SysLink control does not exist (Windows 2000).
class Hyperlink : public Subclass {
 public:
  Hyperlink(HWND control, const std::wstring& text, const std::wstring& target) : target_(target) {
    SetWindowTextW(control, text.c_str());
    LOGFONTW face = {};
    HFONT dialogFont = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    GetObjectW(dialogFont ? dialogFont : GetStockObject(DEFAULT_GUI_FONT), sizeof face, &face);
    face.lfUnderline = TRUE;
    font_ = CreateFontIndirectW(&face);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    Attach(control);
  }
  ~Hyperlink() override {
    Detach();
    if (font_) DeleteObject(font_);
  }
  void Open(HWND dialog) const {
    // The shell may hand the target to a COM object, and Task Manager's thread
    // need not have COM: it is initialised for the call (an apartment that
    // already exists is used as it is).
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    ShellExecuteW(dialog, L"open", target_.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    if (SUCCEEDED(com)) CoUninitialize();
  }

 private:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_SETCURSOR) {
      // IDC_HAND; the header spells it as a narrow resource name.
      SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32649)));
      return TRUE;
    }
    return CallPrevious(message, wParam, lParam);
  }

  std::wstring target_;
  HFONT font_ = nullptr;
};

struct AboutState {
  std::unique_ptr<Hyperlink> web;
  std::unique_ptr<Hyperlink> mail;
};

std::wstring Widen(const char* text) {
  std::wstring wide;
  while (*text) wide += wchar_t(static_cast<unsigned char>(*text++));
  return wide;
}

INT_PTR HandleAboutMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<AboutState*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      auto made = std::make_unique<AboutState>();
      SetDlgItemTextW(dialog, IDC_ABOUT_PRODUCT,
                      (Widen(VESK_PRODUCT_NAME " ") + Widen(VESK_VERSION_TEXT)).c_str());
      made->web = std::make_unique<Hyperlink>(GetDlgItem(dialog, IDC_ABOUT_WEB_LINK), kWebPage, kWebPage);
      made->mail = std::make_unique<Hyperlink>(GetDlgItem(dialog, IDC_ABOUT_MAIL_LINK), kMailAddress,
                                               std::wstring(L"mailto:") + kMailAddress);
      // Stored once complete: the links' colour messages read it.
      SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(made.release()));
      return TRUE;
    }
    case WM_CTLCOLORSTATIC: {
      HWND control = reinterpret_cast<HWND>(lParam);
      if (state && (control == state->web->Window() || control == state->mail->Window())) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, RGB(0, 0, 0xCC));
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
      }
      return FALSE;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
          EndDialog(dialog, 1);
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, 2);
          return TRUE;
        case IDC_ABOUT_WEB_LINK:
          if (HIWORD(wParam) == STN_CLICKED && state) state->web->Open(dialog);
          return TRUE;
        case IDC_ABOUT_MAIL_LINK:
          if (HIWORD(wParam) == STN_CLICKED && state) state->mail->Open(dialog);
          return TRUE;
      }
      return FALSE;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE) {
        EndDialog(dialog, 2);
        return TRUE;
      }
      return FALSE;
    case WM_DESTROY:
      // The hyperlinks go with the dialog.
      delete state;
      SetWindowLongPtrW(dialog, DWLP_USER, 0);
      return FALSE;
  }
  return FALSE;
}

INT_PTR CALLBACK AboutProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  // No exception may unwind into the dialog manager: the message is then
  // left to it (a dialog without its links still shows and closes).
  try {
    return HandleAboutMessage(dialog, message, wParam, lParam);
  } catch (...) {
    return message == WM_INITDIALOG;
  }
}

}  // namespace

void ShowAboutDialog(HINSTANCE module, HWND owner) {
  DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_ABOUT), owner, &AboutProcedure, 0);
}
