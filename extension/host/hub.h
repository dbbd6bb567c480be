// The extension's hub inside Task Manager: recognises the host, takes over
// its main window, Processes page and process list, adds the pages and the
// extension menu and routes their messages.
#pragma once

#include "common/target.h"
// commctrl.h needs windows.h first.
#include <commctrl.h>

#include <memory>
#include <optional>
#include <vector>

#include "common/subclass.h"
#include "common/target.h"
#include "host/page.h"
#include "host/process_record.h"
#include "process/discard_and_go_to.h"
#include "process/priority_saving.h"
#include "process/process_tooltip.h"

class IntegrityCheck;

class Hub : private PageHost {
 public:
  static Hub& Instance();

  void ProcessAttach(HINSTANCE module);
  // processEnding: the process exits (DllMain's reserved argument is set).
  void ProcessDetach(bool processEnding);

  // The process record of the row most recently selected, as a copy; none
  // when no row is selected.
  std::optional<ProcessIdentity> SelectedProcess();

  // Repaints every row of the process list and of the added pages that
  // belongs to the process.
  void RedrawRowsOfProcess(DWORD processId);

 private:
  class MainWindowProcedure : public Subclass {
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    void BeforeDestroy() override;
  };
  class ProcessesPageProcedure : public Subclass {
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  };
  // Taken over for the list's tooltip.
  class ProcessListProcedure : public Subclass {
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  };

  // PageHost
  HWND MainWindow() const override { return mainWindow_.Window(); }
  HWND TabControl() const override { return tabControl_; }
  HANDLE DriverHandle() const override { return driver_; }
  void ApplyIntegrityColour(NMLVCUSTOMDRAW& draw, DWORD processId) override;
  // Without a tab-change notification: Task Manager still regards its
  // Processes page as current.
  void GoToProcess(DWORD processId) override;

  static bool HostAccepted();
  static LRESULT CALLBACK HookProcedure(int code, WPARAM wParam, LPARAM lParam);

  void TakeMainWindow(HWND window);
  void SetUp();
  void ShutDown();

  LRESULT OnMainWindowMessage(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnProcessesPageMessage(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnTabChange(WPARAM wParam, LPARAM lParam);
  LRESULT OnStepTab(int step);
  // Selects the tab and lets the switch run through the tab-change handling.
  void SelectTab(int index);
  void OnCheckIntegrityCommand();
  void OnGoToServiceCommand(UINT command);
  LRESULT OnProcessListCustomDraw(NMLVCUSTOMDRAW& draw);
  void OnTreatAsValidCommand();
  void AppendTreatAsValid(HMENU popup);
  void ShowAboutDialog();
  void BuildExtensionMenu();
  // Rebuilds the extension menu when "Vesk" is not the menu bar's last entry.
  void KeepExtensionMenu();
  // Shows the Processes page that the hub hid, fitted over the tab area.
  void ShowProcessesPage();
  void FitPageToTab(HWND page);
  Page* PageAtTab(int index) const;
  bool AddedPageCurrent() const { return PageAtTab(currentTab_) != nullptr; }
  bool RowOfProcessExists(const ProcessIdentity& process) const;

  HINSTANCE module_ = nullptr;
  bool accepted_ = false;
  HHOOK hook_ = nullptr;

  MainWindowProcedure mainWindow_;
  ProcessesPageProcedure processesPage_;
  ProcessListProcedure processList_;
  HWND tabControl_ = nullptr;

  int currentTab_ = 0;
  bool tabSwitchGuard_ = false;
  // Made at setup and never deleted (see Page).
  std::vector<std::unique_ptr<Page>> pages_;

  HANDLE driver_ = INVALID_HANDLE_VALUE;
  HMENU extensionMenu_ = nullptr;
  bool checkIntegrity_ = true;
  // Posted by the integrity worker with a process id whose verdict is in.
  UINT verdictMessage_ = 0;
  std::shared_ptr<IntegrityCheck> integrity_;

  std::optional<ProcessIdentity> selected_;
  PrioritySaving prioritySaving_;
  DiscardAndGoTo discardAndGoTo_;
  ProcessTooltip processTooltip_;
};
