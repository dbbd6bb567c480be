// Facts about processes that the tooltip, the integrity check and the
// connections list share: the full path of a process's image file and the
// strings of an image's version resource.
#pragma once

#include <memory>
#include <string>

#include "common/image_path.h"
#include "common/target.h"

// What answers image-path queries: the driver (when it is there) and the
// device-letter map, both fixed once the main window is set up. Shared by
// the user-interface thread and the integrity worker; it keeps a handle of
// the driver's device of its own, so it stays usable until its last user is
// done.
class ProcessInformation {
 public:
  // Duplicates `driver` (INVALID_HANDLE_VALUE without the driver) and maps
  // every drive letter's device name.
  static std::shared_ptr<const ProcessInformation> Create(HANDLE driver);
  ~ProcessInformation();
  ProcessInformation(const ProcessInformation&) = delete;
  ProcessInformation& operator=(const ProcessInformation&) = delete;

  // The image path in Win32 form when the driver knows the process,
  // otherwise the process's own main module path; "error#N" when the
  // process cannot be opened; at most 259 characters.
  std::wstring ImagePath(DWORD processId) const;

 private:
  ProcessInformation() = default;
  std::wstring PathFromDriver(DWORD processId) const;

  HANDLE driver_ = INVALID_HANDLE_VALUE;
  DeviceLetterMap letters_;
};

// The instance that the hub set up for this run (none before setup and after
// shutdown). User-interface thread only.
void PublishProcessInformation(std::shared_ptr<const ProcessInformation> information);
const std::shared_ptr<const ProcessInformation>& PublishedProcessInformation();

// The image path through the published instance; without one, as without
// the driver.
std::wstring QueryProcessImagePath(DWORD processId);

// Assigns each of the three strings that the image's version resource
// supplies (first translation only) and leaves the others untouched. A path
// that names no file by the integrity check's rule (OpenableImagePath), such
// as "error#N", supplies none.
void QueryVersionStrings(const std::wstring& imagePath, std::wstring& description, std::wstring& version,
                         std::wstring& copyright);
