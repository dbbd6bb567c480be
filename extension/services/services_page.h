// The "Services" tab: a child dialog with one list view of the Win32
// services (display name, status), kept current by a refresh that rewrites
// only the rows that changed, and a context menu that controls the selected
// service, changes its startup mode and goes to its process.
#pragma once

#include <list>
#include <string>

#include "common/subclass.h"
#include "common/target.h"
// commctrl.h needs windows.h first.
#include <commctrl.h>
#include "host/page.h"
#include "services/service_control.h"
#include "services/service_record.h"

class ServicesPage : public Page, private ControlHost {
 public:
  ServicesPage() : control_(*this) {}
  ~ServicesPage() override = default;

  void Create(PageHost& host) override;
  void Destroy() override;
  void Layout() override;
  void Refresh() override;
  int TabIndex() const override { return tabIndex_; }
  HWND PageWindow() const override { return pageWindow_; }
  HWND ListView() const override { return list_.Window(); }
  std::optional<DWORD> ItemProcessId(int item) const override;

  // Selects, shows and focuses the first row with exactly this display name;
  // the list gets the focus even without one.
  void SelectServiceByDisplayName(const std::wstring& displayName);

 private:
  class ServicesList : public Subclass {
   public:
    explicit ServicesList(ServicesPage& page) : page_(page) {}

   private:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    ServicesPage& page_;
  };

  // Keeps the refresh out while a context menu or its command holds a
  // record; cleared on every way out.
  class BusyScope {
   public:
    explicit BusyScope(bool& busy) : busy_(busy) { busy_ = true; }
    ~BusyScope() { busy_ = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

   private:
    bool& busy_;
  };

  static INT_PTR CALLBACK PageProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  static int CALLBACK CompareItems(LPARAM first, LPARAM second, LPARAM page);

  // ControlHost
  HWND MainWindow() const override { return mainWindow_; }
  ServiceRecordPtr FindRecord(const std::wstring& keyName) const override;
  void RefreshAfterCommand() override;

  INT_PTR OnPageMessage(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnListMessage(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnEraseBackground(HDC dc);
  LRESULT OnTooltipText(NMTTDISPINFOW& info);
  LRESULT OnCustomDraw(NMLVCUSTOMDRAW& draw);
  void OnColumnClick(int column);
  void OnContextMenu(LPARAM position);
  void RunCommand(UINT command, const ServiceRecordPtr& record);
  void GoToProcess(DWORD processId);
  void Sort();

  ServiceRecordPtr RecordOfItem(int item) const;
  ServiceRecordPtr Owned(const ServiceRecord* record) const;
  void WriteItem(int item, const ServiceRecord& record, const std::wstring& status);
  void SetStatusCell(int item, const std::wstring& status);

  PageHost* host_ = nullptr;
  int tabIndex_ = -1;
  HWND pageWindow_ = nullptr;
  HWND mainWindow_ = nullptr;
  HWND tabControl_ = nullptr;
  ServicesList list_{*this};
  std::list<ServiceRecordPtr> records_;
  bool busy_ = false;
  int sortColumn_ = 0;
  int sortDirection_ = +1;
  ServiceControl control_;

  HRGN rowsRegion_ = nullptr;
  HRGN scratchRegion_ = nullptr;
  HBRUSH windowBrush_ = nullptr;
  int edgeWidth_ = 0;
  int margin_ = 0;
};
