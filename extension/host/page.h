// What every page that the extension adds to Task Manager offers the hub, and
// what the hub offers the pages.
#pragma once

#include "common/target.h"
// commctrl.h needs windows.h first.
#include <commctrl.h>

#include <memory>
#include <optional>
#include <vector>

// The hub as the pages see it, handed to each page at Create: nothing below
// the hub names the hub, so a page can be built and tested with any host.
class PageHost {
 public:
  // Task Manager's main window (the pages' parent and the owner of their
  // message boxes) and its tab control; null once Task Manager has closed.
  virtual HWND MainWindow() const = 0;
  virtual HWND TabControl() const = 0;
  // The driver's control device, INVALID_HANDLE_VALUE without the driver;
  // fixed from setup on.
  virtual HANDLE DriverHandle() const = 0;
  // Paints a row at its item pre-paint stage in the integrity colour of its
  // process, or has the process checked. Nothing while Check Integrity is
  // off, after shutdown, or in the Windows 2000 build.
  virtual void ApplyIntegrityColour(NMLVCUSTOMDRAW& draw, DWORD processId) = 0;
  // Shows Task Manager's Processes page in place of the calling page, which
  // has hidden itself, and selects the process's row.
  virtual void GoToProcess(DWORD processId) = 0;

 protected:
  ~PageHost() = default;
};

// Lifetime: the hub makes its pages once and keeps them for the life of the
// process, as it keeps itself. Task Manager can close inside a page's modal
// loop (a context menu, a message box, a dialog: the loop dispatches the
// WM_CLOSE), and the page's code then returns into a page whose Destroy has
// run. So Destroy ends the page's windows and rows but never the object, and
// every path that returns from a modal call checks that the page still has
// its window (PageWindow() not null) before it touches anything else.
class Page {
 public:
  virtual ~Page() = default;
  // Creates the page as a hidden child of the host's main window and inserts
  // its tab; the host outlives the page.
  virtual void Create(PageHost& host) = 0;
  // Deletes its tab, destroys its window and releases its rows; PageWindow()
  // and ListView() are null afterwards.
  virtual void Destroy() = 0;
  // Sizes the page's list view to the page's client area.
  virtual void Layout() = 0;
  // Brings the page's rows up to date.
  virtual void Refresh() = 0;
  // The inserted tab's index, -1 before Create.
  virtual int TabIndex() const = 0;
  virtual HWND PageWindow() const = 0;
  virtual HWND ListView() const = 0;
  // The process that item `item` of ListView() belongs to, read from the
  // item's record; none when the item has no record or no process. Rows are
  // redrawn through it when a process's integrity verdict changes.
  virtual std::optional<DWORD> ItemProcessId(int item) const = 0;
};

// The pages this build adds, in the order they are created.
std::vector<std::unique_ptr<Page>> CreateAddedPages();
