#include <gtest/gtest.h>

#include <string>

#include "app/module.h"
#include "res/resource.h"
#include "res/texts.h"
#include "settings/registry.h"
#include "tests/settings/stored_value.h"
#include "tests/support/message_boxes.h"
#include "ui/main_window.h"

namespace {

constexpr char kCopyTest[] = "AutoStartCopy.DISABLED_ChecksTheBoxFromItsOwnPath";

std::string OwnPath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

void DeleteRunValue() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
    RegDeleteValueA(key, kRunValueName);
    RegCloseKey(key);
  }
}

void EnsureRunKey() {
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) == ERROR_SUCCESS) {
    RegCloseKey(key);
  }
}

// Stores raw REG_SZ data of exactly the text's length.
void StoreRunValue(const std::string& text) {
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_WRITE, &key), ERROR_SUCCESS);
  RegSetValueExA(key, kRunValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                 static_cast<DWORD>(text.size()));
  RegCloseKey(key);
}

std::string StoredRunValue(DWORD* type = nullptr) {
  return StoredText(kRunKey, kRunValueName, type);
}

class AutoStartTest : public testing::Test {
protected:
  void SetUp() override {
    EnsureRunKey();
    DeleteRunValue();
  }
  void TearDown() override {
    Close();
    EnsureRunKey();
    DeleteRunValue();
  }

  // Starts the window as the program does; the check mark comes from the
  // Run value at this moment.
  void Open() {
    Close();
    window = new MainWindow;
    window->autoStart = static_cast<int32_t>(0xdeadbeef);
    ASSERT_NE(window->Create(g_module.instance(), IDD_MAIN), nullptr);
    KillTimer(window->hwnd, CLOCK_TIMER);
  }
  void Close() {
    if (window != nullptr && window->hwnd != nullptr) DestroyWindow(window->hwnd);
    delete window;
    window = nullptr;
  }
  bool Checked() {
    return SendMessageA(window->autoStartBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  // A click as the user makes it: the box toggles itself, then reports it.
  void Click() { SendMessageA(window->autoStartBox, BM_CLICK, 0, 0); }

  MainWindow* window = nullptr;
};

TEST_F(AutoStartTest, CheckingStoresTheExactPathAndTheNextStartShowsIt) {
  Open();
  EXPECT_EQ(window->autoStart, 0);
  EXPECT_FALSE(Checked());
  ASSERT_EQ(OwnPath().find(' '), std::string::npos) << "build tree path has a space";

  MessageBoxRecorder boxes;
  Click();
  EXPECT_TRUE(boxes.boxes().empty());
  EXPECT_TRUE(Checked());
  EXPECT_EQ(window->autoStart, 1);
  DWORD type = 0xdeadbeef;
  EXPECT_EQ(StoredRunValue(&type), OwnPath());
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

  Open();
  EXPECT_EQ(window->autoStart, 1);
  EXPECT_TRUE(Checked());
}

TEST_F(AutoStartTest, StartUpRecognisesOnlyThisProgramsPathBareOrQuoted) {
  const std::string own = OwnPath();
  std::string upper = own;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  ASSERT_NE(upper, own);
  struct Case {
    std::string stored;
    bool checked;
  } cases[] = {
      {own, true},
      {'"' + own + '"', true},
      {upper, false},
      {own + " /min", false},
      {'"' + own + "\" /min", false},
      {'"' + own, false},
      {"C:\\Other\\oramet.exe", false},
      {"", false},
      {own + std::string(300, 'x'), false},  // longer than the read buffer
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    StoreRunValue(c.stored);
    Open();
    EXPECT_EQ(window->autoStart, c.checked ? 1 : 0);
    EXPECT_EQ(Checked(), c.checked);
    // Starting never changes what is stored.
    EXPECT_EQ(StoredRunValue(), c.stored);
  }
}

TEST_F(AutoStartTest, AnotherCopysPathIsReplacedThenDeleted) {
  StoreRunValue("C:\\Other Copy\\oramet.exe");
  Open();
  EXPECT_FALSE(Checked());
  Click();
  EXPECT_TRUE(Checked());
  EXPECT_EQ(StoredRunValue(), OwnPath());
  Click();
  EXPECT_FALSE(Checked());
  EXPECT_EQ(window->autoStart, 0);
  EXPECT_EQ(StoredRunValue(), "missing");
}

TEST_F(AutoStartTest, UncheckingDeletesAnyValueAndNeverComplains) {
  StoreRunValue(OwnPath());
  Open();
  ASSERT_TRUE(Checked());
  DeleteRunValue();  // gone behind the program's back
  MessageBoxRecorder boxes;
  Click();
  EXPECT_TRUE(boxes.boxes().empty());
  EXPECT_FALSE(Checked());
  EXPECT_EQ(window->autoStart, 0);
  EXPECT_EQ(StoredRunValue(), "missing");
}

TEST_F(AutoStartTest, WithoutARunKeyTheClickKeepsItsStateAndWritesNothing) {
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  DWORD values = 0;
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                   nullptr, nullptr, nullptr);
  RegCloseKey(key);
  if (values != 0) GTEST_SKIP() << "the Run key holds other programs' values";
  ASSERT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, kRunKey), ERROR_SUCCESS);

  Open();
  MessageBoxRecorder boxes;
  Click();
  EXPECT_TRUE(boxes.boxes().empty());
  EXPECT_TRUE(Checked());
  EXPECT_EQ(window->autoStart, 1);
  EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
}

// Run by the next test from a copy of this program at a path with spaces.
TEST(AutoStartCopy, DISABLED_ChecksTheBoxFromItsOwnPath) {
  const std::string own = OwnPath();
  ASSERT_NE(own.find(' '), std::string::npos);
  MessageBoxRecorder boxes;
  MainWindow window;
  ASSERT_NE(window.Create(g_module.instance(), IDD_MAIN), nullptr);
  KillTimer(window.hwnd, CLOCK_TIMER);
  EXPECT_EQ(SendMessageA(window.autoStartBox, BM_GETCHECK, 0, 0), BST_UNCHECKED);
  SendMessageA(window.autoStartBox, BM_CLICK, 0, 0);
  // Quoted, with the zero the system may add, within the 255 bytes read back.
  if (own.size() + 3 > 255) {
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, kTextAutoStartFailed);
    EXPECT_EQ(SendMessageA(window.autoStartBox, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(window.autoStart, 0);
    EXPECT_EQ(StoredRunValue(), "missing");
    DestroyWindow(window.hwnd);
    return;
  }
  EXPECT_TRUE(boxes.boxes().empty());
  EXPECT_EQ(StoredRunValue(), '"' + own + '"');
  DestroyWindow(window.hwnd);

  MainWindow next;
  ASSERT_NE(next.Create(g_module.instance(), IDD_MAIN), nullptr);
  KillTimer(next.hwnd, CLOCK_TIMER);
  EXPECT_EQ(next.autoStart, 1);
  EXPECT_EQ(SendMessageA(next.autoStartBox, BM_GETCHECK, 0, 0), BST_CHECKED);
  DestroyWindow(next.hwnd);
}

TEST_F(AutoStartTest, APathWithSpacesIsStoredInQuotesWhenItReadsBack) {
  char temp[MAX_PATH] = {};
  ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
  const std::string folder = std::string(temp) + "oramet start test";
  CreateDirectoryA(folder.c_str(), nullptr);
  // The second path is 253 characters: 255 bytes quoted, one too many with
  // the zero after them, so its copy refuses.
  std::string longCopy = folder + "\\autostart copy ";
  longCopy += std::string(253 - 4 - longCopy.size(), 'x') + ".exe";
  for (const std::string& copy : {folder + "\\autostart copy.exe", longCopy}) {
    SCOPED_TRACE(copy.size());
    DeleteRunValue();
    ASSERT_TRUE(CopyFileA(OwnPath().c_str(), copy.c_str(), FALSE));
    std::string command = '"' + copy + "\" --gtest_also_run_disabled_tests --gtest_filter=" +
                          kCopyTest;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessA(copy.c_str(), &command[0], nullptr, nullptr, FALSE, 0,
                                  nullptr, nullptr, &startup, &process);
    DWORD exitCode = 0xdeadbeef;
    if (started) {
      if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 10000);
      }
      GetExitCodeProcess(process.hProcess, &exitCode);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
    EXPECT_TRUE(started);
    EXPECT_EQ(exitCode, 0u) << "the copy's own test failed";
    EXPECT_EQ(StoredRunValue(), copy == longCopy ? "missing" : '"' + copy + '"');

    // For this program it is another copy's value.
    Open();
    EXPECT_FALSE(Checked());
    DeleteFileA(copy.c_str());
  }
  RemoveDirectoryA(folder.c_str());
}

}  // namespace
