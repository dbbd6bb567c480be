// The extension libraries outside Task Manager: loaded into this program
// they touch nothing; and their resources, read as data, carry the string
// tables, menus and dialogs in English and Russian under the same ids.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "host_path.h"
#include "task_manager.h"

namespace {

const char* const kLibraries[] = {"VESK_TASKEXT_XP", "VESK_TASKEXT_NT"};
constexpr WORD kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr WORD kRussian = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);
constexpr WORD kNeutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);

// The English texts by id.
const std::map<UINT, std::wstring>& EnglishStrings() {
  static const std::map<UINT, std::wstring> strings = {
      {111, L"Services"},
      {112, L"Service Name"},
      {113, L"Status"},
      {114, L"Cannot start"},
      {115, L"Cannot stop"},
      {116, L"Cannot pause"},
      {117, L"Cannot continue"},
      {118, L"Running"},
      {119, L"Paused"},
      {120, L"Starting"},
      {121, L"Stopping"},
      {122, L"Pausing"},
      {123, L"Resuming"},
      {124, L"Unable to Control Service"},
      {125, L"These services depends on"},
      {126, L"Confirm Dependent Services Stop"},
      {127, L"Do you want to stop this services too?"},
      {128, L"Confirm Dependent Services Restart"},
      {129, L"Do you want to restart this services too?"},
      {130, L"Process"},
      {131, L"Proto"},
      {132, L"Local Address"},
      {133, L"Remote Address"},
      {134, L"State"},
      {135, L"Received"},
      {136, L"Sent"},
      {137, L"Speed In"},
      {138, L"Speed Out"},
      {139, L"Created"},
      {140, L"Listening"},
      {141, L"Connecting"},
      {142, L"Established"},
      {143, L"Disconnected"},
      {144, L"Closed"},
      {145, L"Listen"},
      {146, L"SYN sent"},
      {147, L"SYN received"},
      {148, L"FIN wait 1"},
      {149, L"FIN wait 2"},
      {150, L"Close wait"},
      {151, L"Closing"},
      {152, L"Last ACK"},
      {153, L"Time wait"},
      {154, L"Delete TCB"},
      {155, L"%u b/sec"},
      {156, L"%.1f Kb/sec"},
      {157, L"%.1f Mb/sec"},
      {164, L"About"},
      {165, L"Check Integrity"},
      {166, L"Treat as &Valid"},
      {167, L"&Save Priority"},
      {168, L"Go To Service"},
      {169, L"&Discard"},
      {170, L"Cannot discard process"},
      {171, L"Unable to Discard Process"},
      {172, L"\nHosting Services:\n"},
      {173, L"%u b"},
      {174, L"%.1f Kb"},
      {175, L"%.1f Mb"},
  };
  return strings;
}

// A string-table entry in the given language, read from the resource block;
// none when the block or the entry is missing.
bool LoadStringIn(HMODULE module, UINT id, WORD language, std::wstring& text) {
  HRSRC block = FindResourceExW(module, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(id / 16 + 1), language);
  if (!block) return false;
  const WCHAR* entry = static_cast<const WCHAR*>(LockResource(LoadResource(module, block)));
  const WCHAR* end = entry + SizeofResource(module, block) / sizeof(WCHAR);
  for (UINT i = 0; i < id % 16 && entry < end; ++i) entry += 1 + *entry;
  if (entry >= end || *entry == 0 || entry + 1 + *entry > end) return false;
  text.assign(entry + 1, *entry);
  return true;
}

class Library : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    path = HostPath(GetParam());
    module = LoadLibraryW(path.c_str());
    ASSERT_TRUE(module != nullptr) << GetParam() << ": error " << GetLastError();
  }
  void TearDown() override {
    if (module) FreeLibrary(module);
  }
  std::wstring path;
  HMODULE module = nullptr;
};

LRESULT CALLBACK OwnProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

TEST_P(Library, InAnotherProgramItTouchesNoWindow) {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = &OwnProcedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"ForeignHostWindow";
  RegisterClassW(&windowClass);
  HMENU bar = CreateMenu();
  AppendMenuW(bar, MF_STRING, 1, L"&File");
  HWND window = CreateWindowExW(0, L"ForeignHostWindow", L"host", WS_POPUP | WS_CAPTION, 0, 0, 200, 200,
                                nullptr, bar, GetModuleHandleW(nullptr), nullptr);
  ASSERT_TRUE(window != nullptr);
  EXPECT_EQ(GetWindowLongPtrW(window, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&OwnProcedure));
  SendMessageW(window, WM_INITDIALOG, 0, 0);
  EXPECT_EQ(GetMenuItemCount(GetMenu(window)), 1);
  DestroyWindow(window);

  // A Task Manager window in a program that is not Task Manager stays as it is.
  HWND main = CreateTaskManagerWindow(GetModuleHandleW(nullptr));
  ASSERT_TRUE(main != nullptr);
  HMENU menu = GetMenu(main);
  ASSERT_TRUE(menu != nullptr);
  int count = GetMenuItemCount(menu);
  wchar_t last[64] = {};
  GetMenuStringW(menu, count - 1, last, 64, MF_BYPOSITION);
  EXPECT_STRNE(last, L"Vesk");
  DestroyWindow(main);
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

TEST_P(Library, BothStringTablesLoadByIdInBothLanguages) {
  for (const auto& [id, english] : EnglishStrings()) {
    std::wstring text;
    ASSERT_TRUE(LoadStringIn(module, id, kEnglish, text)) << id;
    EXPECT_EQ(text, english) << id;
    std::wstring russian;
    ASSERT_TRUE(LoadStringIn(module, id, kRussian, russian)) << id;
    EXPECT_FALSE(russian.empty()) << id;
    // Words are translated; the format directives stay.
    bool cyrillic = false;
    for (wchar_t c : russian) cyrillic |= c >= 0x0400 && c <= 0x04FF;
    EXPECT_TRUE(cyrillic || english.find_first_of(L"abcdefghijklmnopqrstuvwxyz") == std::wstring::npos) << id;
    for (const wchar_t* directive : {L"%u", L"%.1f"}) {
      if (english.find(directive) != std::wstring::npos) {
        EXPECT_NE(russian.find(directive), std::wstring::npos) << id;
      }
    }
  }
  // Units are bytes, never bits.
  const std::map<UINT, std::wstring> russianUnits = {{155, L"%u Б/с"},    {156, L"%.1f КБ/с"},
                                                     {157, L"%.1f МБ/с"}, {173, L"%u Б"},
                                                     {174, L"%.1f КБ"},   {175, L"%.1f МБ"}};
  for (const auto& [id, expected] : russianUnits) {
    std::wstring russian;
    ASSERT_TRUE(LoadStringIn(module, id, kRussian, russian)) << id;
    EXPECT_EQ(russian, expected) << id;
  }
  // Loaded the ordinary way, an entry comes in the system's language.
  wchar_t text[512];
  EXPECT_GT(LoadStringW(module, 167, text, 512), 0);
  std::wstring unused;
  EXPECT_FALSE(LoadStringIn(module, 158, kEnglish, unused));
}

TEST_P(Library, MenusAndDialogsExistInBothLanguages) {
  for (WORD language : {kEnglish, kRussian}) {
    EXPECT_TRUE(FindResourceExW(module, MAKEINTRESOURCEW(4), MAKEINTRESOURCEW(1001), language)) << language;
    EXPECT_TRUE(FindResourceExW(module, MAKEINTRESOURCEW(4), MAKEINTRESOURCEW(1002), language)) << language;
    EXPECT_TRUE(FindResourceExW(module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(103), language)) << language;
    EXPECT_TRUE(FindResourceExW(module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(106), language)) << language;
  }
  EXPECT_TRUE(FindResourceExW(module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(108), kNeutral));
  EXPECT_TRUE(FindResourceExW(module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(51107), kNeutral));
  // The service menu's single popup, with its commands in order.
  HMENU menu = LoadMenuW(module, MAKEINTRESOURCEW(1001));
  ASSERT_TRUE(menu != nullptr);
  HMENU popup = GetSubMenu(menu, 0);
  const UINT order[] = {40002, 40001, 40004, 40003, 40005, 0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(GetMenuItemID(popup, i), order[i]) << i;
  HMENU modes = GetSubMenu(popup, 6);
  ASSERT_TRUE(modes != nullptr);
  EXPECT_EQ(GetMenuItemID(modes, 0), 40009u);
  EXPECT_EQ(GetMenuItemID(modes, 2), 40011u);
  EXPECT_EQ(GetMenuItemID(popup, 7), 40006u);
  EXPECT_TRUE(GetMenuState(popup, 40002, MF_BYCOMMAND) & MF_GRAYED);
  DestroyMenu(menu);
}

// The menu in one language as a tree of lines "depth id flags", and its texts.
void DescribeMenu(HMENU menu, int depth, std::wstring& shape, std::vector<std::wstring>& texts) {
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    wchar_t text[128] = {};
    MENUITEMINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STATE | MIIM_SUBMENU | MIIM_STRING;
    info.dwTypeData = text;
    info.cch = 128;
    GetMenuItemInfoW(menu, i, TRUE, &info);
    // A submenu's item id is its handle, which differs between loads.
    UINT id = info.hSubMenu ? 0 : info.wID;
    shape += std::to_wstring(depth) + L" " + std::to_wstring(id) + L" " + std::to_wstring(info.fType) + L" " +
             std::to_wstring(info.fState & MFS_GRAYED) + L"\n";
    if (!(info.fType & MFT_SEPARATOR)) texts.push_back(text);
    if (info.hSubMenu) DescribeMenu(info.hSubMenu, depth + 1, shape, texts);
  }
}

HMENU LoadMenuIn(HMODULE module, UINT id, WORD language) {
  HRSRC found = FindResourceExW(module, MAKEINTRESOURCEW(4), MAKEINTRESOURCEW(id), language);
  return found ? LoadMenuIndirectW(LockResource(LoadResource(module, found))) : nullptr;
}

bool HasCyrillic(const std::wstring& text) {
  for (wchar_t c : text)
    if (c >= 0x0400 && c <= 0x04FF) return true;
  return false;
}

TEST_P(Library, TheRussianMenusHaveTheEnglishShape) {
  for (UINT id : {1001u, 1002u}) {
    std::wstring englishShape, russianShape;
    std::vector<std::wstring> englishTexts, russianTexts;
    HMENU english = LoadMenuIn(module, id, kEnglish), russian = LoadMenuIn(module, id, kRussian);
    ASSERT_TRUE(english && russian) << id;
    DescribeMenu(english, 0, englishShape, englishTexts);
    DescribeMenu(russian, 0, russianShape, russianTexts);
    EXPECT_EQ(russianShape, englishShape) << id;
    for (const auto& text : russianTexts) EXPECT_TRUE(HasCyrillic(text)) << id;
    DestroyMenu(english);
    DestroyMenu(russian);
  }
}

INT_PTR CALLBACK PlainDialog(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

struct DialogControl {
  int id;
  std::wstring className;
  bool operator==(const DialogControl& other) const { return id == other.id && className == other.className; }
};

// The dialog in one language, created hidden: its controls, each of which
// must lie inside the dialog and show its whole text (wrapped where the
// control has room for more than one line).
std::vector<DialogControl> CheckDialogLayout(HMODULE module, UINT id, WORD language) {
  std::vector<DialogControl> controls;
  HRSRC found = FindResourceExW(module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(id), language);
  EXPECT_TRUE(found != nullptr) << id << " in " << language;
  if (!found) return controls;
  auto* resource = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
  // Created without WS_VISIBLE so that nothing shows.
  std::vector<BYTE> copy(resource, resource + SizeofResource(module, found));
  DWORD style;
  std::memcpy(&style, &copy[12], sizeof style);  // DLGTEMPLATEEX: style after signature, help id, ex-style
  style &= ~DWORD(WS_VISIBLE);
  std::memcpy(&copy[12], &style, sizeof style);
  HWND dialog = CreateDialogIndirectParamW(module, reinterpret_cast<LPCDLGTEMPLATEW>(copy.data()), nullptr,
                                           &PlainDialog, 0);
  EXPECT_TRUE(dialog != nullptr) << id << " in " << language;
  if (!dialog) return controls;
  RECT client;
  GetClientRect(dialog, &client);
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
  HDC dc = GetDC(dialog);
  HGDIOBJ before = SelectObject(dc, font);
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t name[64] = {}, text[256] = {};
    GetClassNameW(child, name, 64);
    GetWindowTextW(child, text, 256);
    controls.push_back({GetDlgCtrlID(child), name});
    RECT box;
    GetWindowRect(child, &box);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&box), 2);
    EXPECT_TRUE(box.left >= 0 && box.top >= 0 && box.right <= client.right && box.bottom <= client.bottom)
        << id << " in " << language << ": control " << GetDlgCtrlID(child) << " outside the dialog";
    if (!text[0]) continue;
    RECT need = {0, 0, box.right - box.left, 0};
    DrawTextW(dc, text, -1, &need, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    EXPECT_LE(need.right, box.right - box.left)
        << id << " in " << language << ": control " << GetDlgCtrlID(child);
    EXPECT_LE(need.bottom, box.bottom - box.top)
        << id << " in " << language << ": control " << GetDlgCtrlID(child);
  }
  SelectObject(dc, before);
  ReleaseDC(dialog, dc);
  DestroyWindow(dialog);
  return controls;
}

TEST_P(Library, TheRussianDialogsHaveTheEnglishControlsAndTheirTextsFit) {
  INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&classes);
  for (UINT id : {103u, 106u}) {
    std::vector<DialogControl> english = CheckDialogLayout(module, id, kEnglish);
    std::vector<DialogControl> russian = CheckDialogLayout(module, id, kRussian);
    EXPECT_FALSE(english.empty()) << id;
    EXPECT_TRUE(russian == english) << id;
  }
}

TEST_P(Library, TheVersionBlockNamesTheRelease) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::string data(size, '\0');
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, &data[0]));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(&data[0], L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, DWORD(MAKELONG(9, 1)));
  EXPECT_EQ(fixed->dwFileVersionLS, DWORD(MAKELONG(0, 6)));
  wchar_t* version = nullptr;
  ASSERT_TRUE(VerQueryValueW(&data[0], L"\\StringFileInfo\\040904b0\\FileVersion",
                             reinterpret_cast<void**>(&version), &length));
  EXPECT_STREQ(version, L"1.9.6");
}

INSTANTIATE_TEST_SUITE_P(Builds, Library, testing::ValuesIn(kLibraries));

}  // namespace
