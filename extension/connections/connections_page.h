// The "TCP/IP" page: one list of every TCP and UDP endpoint with its
// process, addresses, state, bytes and speeds, sorted by any column, with
// Close Connection and Go To Process and (Windows XP build) a tooltip and
// the integrity colours of the rows' processes.
#pragma once

#include "common/target.h"
// commctrl.h needs windows.h first.
#include <commctrl.h>

#include <list>
#include <memory>
#include <string>

#include "common/subclass.h"
#include "connections/connection_model.h"
#include "connections/connection_text.h"
#include "connections/name_cache.h"
#include "connections/winsock_names.h"
#include "host/page.h"

// The message that brings a host lookup's reply to the page.
constexpr UINT kHostReplyMessage = WM_USER + 13;

class ConnectionsPage : public Page {
 public:
  ConnectionsPage();
  ~ConnectionsPage() override;

  void Create(PageHost& host) override;
  void Destroy() override;
  void Layout() override;
  void Refresh() override;
  int TabIndex() const override { return tab_; }
  HWND PageWindow() const override { return page_; }
  HWND ListView() const override { return list_; }
  std::optional<DWORD> ItemProcessId(int item) const override;

 private:
  // The list's tooltip (Windows XP build); everything else passes on.
  class ListTip : public Subclass {
   public:
    explicit ListTip(ConnectionsPage& page) : page_(page) {}

   private:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    ConnectionsPage& page_;
  };

  static INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static int CALLBACK CompareItems(LPARAM first, LPARAM second, LPARAM page);

  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnNotify(const NMHDR& header);
  INT_PTR OnCustomDraw(NMLVCUSTOMDRAW& draw);
  void OnContextMenu(LPARAM point);
  void OnHostReply(WPARAM handle, LPARAM result);
  LRESULT OnTipText(NMTTDISPINFOW& info);

  void InsertColumns();
  void Sort();
  ConnectionRow* RowAt(int item) const;
  // The rows of the list's items, in list order, up to the first item
  // without one.
  std::vector<ConnectionRow*> ListRows() const;
  // The same from the page's own record of its items, read anew from the
  // list only when the record's length does not match the list's.
  const std::vector<ConnectionRow*>& ItemRows();
  // The rows the list is held at across a refresh, with their places on the
  // screen: the focused row, then the top row.
  struct Anchor {
    const ConnectionRow* row;
    int y;
  };
  std::vector<Anchor> AnchorRows(const std::vector<ConnectionRow*>& rows) const;
  // Scrolls the list so that the first anchor row still there is back at its
  // place.
  void KeepAnchor(const std::vector<Anchor>& anchors);
  int ItemTop(int item) const;
  void NameRow(ConnectionRow& row);
  void AppendItem(ConnectionRow& row);
  void WriteColumns(int item, const ConnectionRow& row, ColumnSet columns);
  std::wstring CellText(const ConnectionRow& row, int column) const;
  std::wstring StateText(const ConnectionRow& row) const;
  std::wstring TipText(const ConnectionRow& row) const;
  bool CanClose(const ConnectionRow& row) const;
  void CloseConnection(const ConnectionRow& row);
  void GoToProcess(DWORD processId);

  PageHost* host_ = nullptr;
  SourceMode mode_ = SourceMode::Table;
  HWND main_ = nullptr;
  HWND tabs_ = nullptr;
  HWND page_ = nullptr;
  HWND list_ = nullptr;
  int tab_ = -1;
  std::list<std::unique_ptr<ConnectionRow>> rows_;
  // The rows of the list's items in list order: every insertion, deletion
  // and sort the page makes keeps it, so that a refresh need not ask the
  // list for each item.
  std::vector<ConnectionRow*> order_;
  bool busy_ = false;
  DWORD lastRefresh_;
  int sortColumn_ = kColumnPid;
  int sortDirection_ = +1;
  CellFormats formats_;
  WinsockNames service_;
  NameCache names_;
  ListTip tip_;
  std::wstring tipText_;
};
