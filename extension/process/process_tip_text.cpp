#include "process/process_tip_text.h"

std::wstring ComposeProcessTip(const std::wstring& description, const std::wstring& version,
                               const std::wstring& copyright, const std::wstring& imagePath) {
  std::wstring text;
  if (!description.empty()) {
    text += description;
    if (!version.empty()) text += L" v" + version;
    text += L"\r\n";
  }
  if (!copyright.empty()) text += copyright + L"\r\n";
  return text + imagePath;
}
