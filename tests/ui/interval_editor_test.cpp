#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "res/texts.h"
#include "tests/ui/feature_fixture.h"
#include "tests/settings/stored_value.h"

namespace {

// The bytes and type of a settings value; "missing" when it cannot be read.
std::string StoredValue(const char* name, DWORD* type = nullptr) {
  return StoredText(kSettingsKey, name, type);
}

// Whether LoadSettings reads the registry in this build; the reload after a
// save can be checked only then.
bool LoadSettingsReadsRegistry() {
  WipeSettings();
  RegWriteString(kSettingsKey, "Interval", "77");
  MainWindow probe;
  probe.LoadSettings();
  WipeSettings();
  return probe.intervalSeconds == 77;
}

class IntervalEditorTest : public MainWindowTest {
protected:
  bool SaveLinkVisible() { return HasVisibleStyle(window.intervalSave); }
  void Type(const char* text) { SetWindowTextA(window.intervalEdit, text); }
  void ClickSave() {
    SendCommand(window.hwnd, IDC_INTERVAL_SAVE, STN_CLICKED, window.intervalSave);
  }
  void ClickUnit() { SendCommand(window.hwnd, IDC_UNIT, STN_CLICKED, window.unitLink); }
  void Show(int32_t seconds, int32_t showSeconds) {
    window.intervalSeconds = seconds;
    window.showSeconds = showSeconds;
    window.ShowInterval();
  }
};

TEST_F(IntervalEditorTest, NothingStoredShowsSixtyMinutesWithoutSaveLink) {
  EXPECT_EQ(window.intervalSeconds, 3600);
  EXPECT_EQ(WindowText(window.intervalEdit), "60");
  EXPECT_EQ(WindowText(window.unitLink), kUnitWords[0]);
  EXPECT_FALSE(SaveLinkVisible());
}

TEST_F(IntervalEditorTest, ShowsTheIntervalInItsUnitAndTheLinkWhenRoundingChangedIt) {
  struct Case {
    int32_t seconds;
    int32_t showSeconds;
    const char* text;
    int unit;
    bool link;
  } cases[] = {
      {3600, 0, "60", 0, false},
      {90, 0, "2", 0, true},  // 2 minutes are 120 s, not the 90 in force
      {61, 0, "2", 0, true},
      {60, 0, "1", 0, false},
      {90, 1, "90", 1, false},
      {3600, 2, "3600", 1, false},
      {1, 1, "1", 1, false},
      // 35791395 minutes do not fit in seconds: shown, but not offered.
      {2147483647, 0, "35791395", 0, false},
      {2147483647, 1, "2147483647", 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.seconds << " s, showSeconds " << c.showSeconds);
    // Start each case from the opposite link state so a stale one shows.
    ShowWindow(window.intervalSave, c.link ? SW_HIDE : SW_SHOW);
    Show(c.seconds, c.showSeconds);
    EXPECT_EQ(WindowText(window.intervalEdit), c.text);
    EXPECT_EQ(WindowText(window.unitLink), kUnitWords[c.unit]);
    EXPECT_EQ(SaveLinkVisible(), c.link);
  }
}

TEST_F(IntervalEditorTest, TypingShowsTheSaveLinkOnlyForAValidNewValue) {
  struct Case {
    int32_t showSeconds;
    const char* text;
    int32_t seconds;
    bool link;
  } cases[] = {
      {0, "5", 300, true},
      {0, "60", 3600, false},
      {0, "1", 60, true},
      {0, "0", 0, false},
      {0, "-3", -180, false},
      {0, "", 0, false},
      {0, "abc", 0, false},
      {0, "12abc", 720, true},
      {0, "35791395", 0, false},  // 2147483700 s do not fit
      {0, "99999999999", 0, false},
      {1, "3600", 3600, false},
      {1, "1", 1, true},
      {1, "4294967297", 0, false},  // would wrap to 1
      // Only 30 characters are read: the 31st digit never takes part.
      {1, "000000000000000000000000000001", 1, true},
      {1, "0000000000000000000000000000001", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << '"' << c.text << "\" showSeconds " << c.showSeconds);
    Show(3600, c.showSeconds);
    ShowWindow(window.intervalSave, c.link ? SW_HIDE : SW_SHOW);
    Type(c.text);
    EXPECT_EQ(window.ReadIntervalEdit(), c.seconds);
    EXPECT_EQ(SaveLinkVisible(), c.link);
  }
}

TEST_F(IntervalEditorTest, SavingStoresSecondsAndKeepsTheTypedText) {
  const bool reloads = LoadSettingsReadsRegistry();
  ShowWindow(window.hwnd, SW_SHOWNORMAL);
  SetFocus(window.intervalEdit);
  ASSERT_EQ(GetFocus(), window.intervalEdit);
  Type("5");
  ASSERT_TRUE(SaveLinkVisible());
  ClickSave();

  DWORD type = 0xdeadbeef;
  EXPECT_EQ(StoredValue("Interval", &type), "300");
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(WindowText(window.intervalEdit), "5");
  EXPECT_EQ(WindowText(window.unitLink), kUnitWords[0]);
  EXPECT_FALSE(SaveLinkVisible());
  // Dialog processing of the window's focus hands it on to a label; what
  // counts is that the edit has lost it.
  EXPECT_NE(GetFocus(), window.intervalEdit);
  EXPECT_TRUE(GetFocus() == window.hwnd || IsChild(window.hwnd, GetFocus()));
  EXPECT_EQ(StoredValue("ShowMode"), "missing");
  if (reloads) {
    EXPECT_EQ(window.intervalSeconds, 300);
  }
}

TEST_F(IntervalEditorTest, SavingStoresNothingUnlessTheValueIsValidAndNew) {
  const char* texts[] = {"60", "0", "-3", "abc", "", "99999999999"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    Show(3600, 0);
    Type(text);
    ShowWindow(window.intervalSave, SW_SHOW);
    ClickSave();
    EXPECT_EQ(StoredValue("Interval"), "missing");
    EXPECT_EQ(window.intervalSeconds, 3600);
    EXPECT_FALSE(SaveLinkVisible());
    EXPECT_EQ(WindowText(window.intervalEdit), text);
  }
}

TEST_F(IntervalEditorTest, SavingInSecondsStoresTheNumberAsTyped) {
  Show(3600, 1);
  Type("1");
  ClickSave();
  EXPECT_EQ(StoredValue("Interval"), "1");
}

TEST_F(IntervalEditorTest, UnitClicksToggleTheUnitAndStoreIt) {
  ClickUnit();
  EXPECT_EQ(window.showSeconds, 1);
  EXPECT_EQ(WindowText(window.intervalEdit), "3600");
  EXPECT_EQ(WindowText(window.unitLink), kUnitWords[1]);
  EXPECT_EQ(StoredValue("ShowMode"), "1");
  EXPECT_FALSE(SaveLinkVisible());

  ClickUnit();
  EXPECT_EQ(window.showSeconds, 0);
  EXPECT_EQ(WindowText(window.intervalEdit), "60");
  EXPECT_EQ(WindowText(window.unitLink), kUnitWords[0]);
  EXPECT_EQ(StoredValue("ShowMode"), "0");
  EXPECT_FALSE(SaveLinkVisible());
  EXPECT_EQ(window.intervalSeconds, 3600);
  EXPECT_EQ(StoredValue("Interval"), "missing");
}

TEST_F(IntervalEditorTest, UnitClickReplacesUnsavedText) {
  Type("5");
  ASSERT_TRUE(SaveLinkVisible());
  ClickUnit();
  EXPECT_EQ(WindowText(window.intervalEdit), "3600");
  EXPECT_FALSE(SaveLinkVisible());
}

TEST_F(IntervalEditorTest, AnyNonZeroModeCountsAsSecondsAndFlipsToMinutes) {
  Show(90, 2);
  EXPECT_EQ(WindowText(window.unitLink), kUnitWords[1]);
  ClickUnit();
  EXPECT_EQ(window.showSeconds, 0);
  EXPECT_EQ(StoredValue("ShowMode"), "0");
  EXPECT_EQ(WindowText(window.intervalEdit), "2");
  EXPECT_TRUE(SaveLinkVisible());  // rounding made it 120 s
}

TEST_F(IntervalEditorTest, OtherNotificationsOfTheLinksDoNothing) {
  SendCommand(window.hwnd, IDC_UNIT, STN_DBLCLK, window.unitLink);
  EXPECT_EQ(window.showSeconds, 0);
  EXPECT_EQ(StoredValue("ShowMode"), "missing");
  Type("5");
  SendCommand(window.hwnd, IDC_INTERVAL_SAVE, STN_DBLCLK, window.intervalSave);
  EXPECT_EQ(StoredValue("Interval"), "missing");
  EXPECT_TRUE(SaveLinkVisible());
}

TEST(IntervalEditorStart, StoredNinetySecondsShowAsTwoMinutesWithTheLink) {
  if (!LoadSettingsReadsRegistry()) GTEST_SKIP() << "LoadSettings does not read the registry";
  WipeSettings();
  RegWriteString(kSettingsKey, "Interval", "90");
  MainWindow window;
  ASSERT_NE(window.Create(g_module.instance(), IDD_MAIN), nullptr);
  KillTimer(window.hwnd, CLOCK_TIMER);
  EXPECT_EQ(window.intervalSeconds, 90);
  EXPECT_EQ(WindowText(window.intervalEdit), "2");
  EXPECT_TRUE(HasVisibleStyle(window.intervalSave));
  DestroyWindow(window.hwnd);
  WipeSettings();
}

}  // namespace
