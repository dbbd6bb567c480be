// Runs the real dist/tdiorder.exe against Wine's registry: each test writes the
// keys and values, runs the program and reads the registry back.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char kTcpipKey[] = "System\\CurrentControlSet\\Services\\tcpip";
const char kDriverKey[] = "System\\CurrentControlSet\\Services\\vesk";
const char kGroupOrderKey[] = "System\\CurrentControlSet\\Control\\GroupOrderList";

// The program's path as Wine sees it: the host path on drive Z:.
std::string ProgramPath() {
  const char* host = std::getenv("VESK_TDIORDER");
  std::string path = std::string("Z:") + (host ? host : "");
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

DWORD RunTdiOrder() {
  std::string commandLine = "\"" + ProgramPath() + "\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    ADD_FAILURE() << "cannot start " << ProgramPath() << ": error " << GetLastError();
    return DWORD(-1);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = DWORD(-1);
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return exitCode;
}

void SetValue(const char* subKey, const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key;
  ASSERT_EQ(
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  RegCloseKey(key);
}

void SetTag(const char* subKey, DWORD tag) { SetValue(subKey, "Tag", REG_DWORD, &tag, sizeof tag); }

void SetList(const std::vector<uint32_t>& tags) {
  std::vector<uint32_t> value{uint32_t(tags.size())};
  value.insert(value.end(), tags.begin(), tags.end());
  SetValue(kGroupOrderKey, "PNP_TDI", REG_BINARY, value.data(), DWORD(4 * value.size()));
}

struct Value {
  bool present = false;
  DWORD type = 0;
  std::vector<uint8_t> bytes;
};

Value GetValue(const char* subKey, const char* name) {
  Value value;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
    value.bytes.resize(size);
    value.present =
        RegQueryValueExA(key, name, nullptr, &value.type, value.bytes.data(), &size) == ERROR_SUCCESS;
    value.bytes.resize(size);
  }
  RegCloseKey(key);
  return value;
}

// The list as tags, checking that the value is a well-formed REG_BINARY list.
std::vector<uint32_t> GetList() {
  Value value = GetValue(kGroupOrderKey, "PNP_TDI");
  EXPECT_TRUE(value.present);
  EXPECT_EQ(value.type, DWORD(REG_BINARY));
  std::vector<uint32_t> words(value.bytes.size() / 4);
  if (!words.empty()) memcpy(words.data(), value.bytes.data(), 4 * words.size());
  EXPECT_EQ(value.bytes.size() % 4, 0u);
  EXPECT_FALSE(words.empty());
  if (words.empty()) return words;
  EXPECT_EQ(words[0], words.size() - 1);
  return std::vector<uint32_t>(words.begin() + 1, words.end());
}

Value DriverTag() { return GetValue(kDriverKey, "Tag"); }

DWORD AsDword(const Value& value) {
  EXPECT_TRUE(value.present);
  EXPECT_EQ(value.type, DWORD(REG_DWORD));
  EXPECT_EQ(value.bytes.size(), 4u);
  DWORD tag = 0;
  if (value.bytes.size() == 4) memcpy(&tag, value.bytes.data(), 4);
  return tag;
}

class TdiOrder : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kDriverKey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kGroupOrderKey);
    SetTag(kTcpipKey, 3);
  }
  // The driver's service key, as the installer leaves it before tdiorder runs.
  void CreateDriverKey() { SetValue(kDriverKey, "Type", REG_DWORD, &kKernelDriver, sizeof kKernelDriver); }

  static constexpr DWORD kKernelDriver = 1;
};

TEST_F(TdiOrder, MovesTheDriverRightAfterTcpip) {
  CreateDriverKey();
  SetTag(kDriverKey, 4);
  SetList({1, 3, 2, 4});
  EXPECT_EQ(RunTdiOrder(), 0u);
  EXPECT_EQ(GetList(), (std::vector<uint32_t>{1, 3, 4, 2}));
  EXPECT_EQ(AsDword(DriverTag()), 4u);
}

TEST_F(TdiOrder, LeavesOrderWhenAlreadyAfterOrBeforeTcpip) {
  CreateDriverKey();
  SetTag(kDriverKey, 4);
  for (auto tags : {std::vector<uint32_t>{1, 3, 4, 2}, std::vector<uint32_t>{4, 1, 3, 2}}) {
    SetList(tags);
    EXPECT_EQ(RunTdiOrder(), 0u);
    EXPECT_EQ(GetList(), tags);
  }
}

TEST_F(TdiOrder, AppendsADriverTagTheListLacksRightAfterTcpip) {
  CreateDriverKey();
  SetTag(kDriverKey, 9);
  SetList({1, 3, 2});
  EXPECT_EQ(RunTdiOrder(), 0u);
  EXPECT_EQ(GetList(), (std::vector<uint32_t>{1, 3, 9, 2}));
}

// Tags come from the service control manager: without one, or without a
// service key at all, the list stays as it is and no tag is made up.
TEST_F(TdiOrder, ATaglessOrMissingDriverLeavesTheList) {
  for (bool withKey : {true, false}) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kDriverKey);
    if (withKey) CreateDriverKey();
    SetList({1, 3, 2, 4});
    EXPECT_EQ(RunTdiOrder(), 0u);
    EXPECT_EQ(GetList(), (std::vector<uint32_t>{1, 3, 2, 4})) << withKey;
    EXPECT_FALSE(DriverTag().present) << withKey;
  }
}

// Appended to a list without tcpip the driver would load before tcpip and
// never attach: the list stays as it is.
TEST_F(TdiOrder, TcpipWithoutTagOrOutsideTheListLeavesTheList) {
  CreateDriverKey();
  SetTag(kDriverKey, 4);
  for (bool tcpipTagged : {false, true}) {
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTcpipKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    RegDeleteValueA(key, "Tag");
    RegCloseKey(key);
    if (tcpipTagged) SetTag(kTcpipKey, 3);
    for (auto tags : {std::vector<uint32_t>{1, 2}, std::vector<uint32_t>{}}) {
      SetList(tags);
      EXPECT_EQ(RunTdiOrder(), 0u);
      EXPECT_EQ(GetList(), tags) << tcpipTagged;
    }
  }
  SetTag(kTcpipKey, 3);
}

TEST_F(TdiOrder, MissingGroupOrderListWritesNothing) {
  CreateDriverKey();
  SetTag(kDriverKey, 4);
  EXPECT_EQ(RunTdiOrder(), 0u);
  EXPECT_EQ(AsDword(DriverTag()), 4u);
  EXPECT_FALSE(GetValue(kGroupOrderKey, "PNP_TDI").present);
}

// Values the tool cannot use as a list are left byte for byte as they were,
// and so is a full list that has no room for the driver's tag.
TEST_F(TdiOrder, UnusableListValuesAreLeftUntouched) {
  struct Case {
    const char* what;
    DWORD type;
    std::vector<uint8_t> bytes;
  };
  std::vector<uint8_t> countFiveOneTag = {5, 0, 0, 0, 1, 0, 0, 0};
  std::vector<uint8_t> oversized(1028, 0);
  oversized[0] = 0xFF;  // count 255, and one tag too many for the buffer
  std::vector<uint8_t> ragged = {1, 0, 0, 0, 3, 0, 0, 0, 9};
  std::vector<uint8_t> fullList(1024, 0);
  fullList[0] = 0xFF;
  for (int i = 0; i < 255; ++i) fullList[4 + 4 * i] = uint8_t(i + 1);
  Case cases[] = {
      {"not REG_BINARY", REG_DWORD, {0, 0, 0, 0}},
      {"empty", REG_BINARY, {}},
      {"count larger than the tags", REG_BINARY, countFiveOneTag},
      {"longer than the buffer", REG_BINARY, oversized},
      {"not a whole number of tags", REG_BINARY, ragged},
      {"255 tags and no room to append", REG_BINARY, fullList},
  };
  CreateDriverKey();
  SetTag(kDriverKey, 300);
  for (const Case& c : cases) {
    SetValue(kGroupOrderKey, "PNP_TDI", c.type, c.bytes.data(), DWORD(c.bytes.size()));
    EXPECT_EQ(RunTdiOrder(), 0u) << c.what;
    Value after = GetValue(kGroupOrderKey, "PNP_TDI");
    EXPECT_EQ(after.type, c.type) << c.what;
    EXPECT_EQ(after.bytes, c.bytes) << c.what;
    EXPECT_EQ(AsDword(DriverTag()), 300u) << c.what;
  }
}

}  // namespace
