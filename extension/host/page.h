// What every page that the extension adds to Task Manager offers the hub.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "common/target.h"

class Page {
 public:
  virtual ~Page() = default;
  // Creates the page as a hidden child of the main window and inserts its tab.
  virtual void Create(HWND mainWindow, HWND tabControl) = 0;
  // Deletes its tab, destroys its window and releases its rows.
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
