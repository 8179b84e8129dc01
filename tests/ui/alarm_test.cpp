#include <gtest/gtest.h>

#include <string>

#include "tests/ui/feature_fixture.h"

namespace {

class AlarmTest : public MainWindowTest {
protected:
  void SetAlarm(const char* hour, const char* minute) {
    SetWindowTextA(window.alarmHour, hour);
    SetWindowTextA(window.alarmMinute, minute);
  }
  // The network clock as the clock tick leaves it before checking the alarm.
  void At(WORD hour, WORD minute, WORD second = 0, WORD day = 7) {
    window.DisplayTime = SYSTEMTIME{2026, 12, 1, day, hour, minute, second, 0};
    window.synced = true;
  }
  bool CancelShown() { return HasVisibleStyle(window.alarmCancel); }
};

TEST_F(AlarmTest, RingsOnEveryTickOfTheMinuteAndAgainNextDay) {
  SetAlarm("7", "30");
  struct Tick {
    WORD hour, minute, second, day;
    bool ringing;
  } ticks[] = {
      {7, 29, 59, 7, false}, {7, 30, 0, 7, true},  {7, 30, 31, 7, true},
      {7, 30, 59, 7, true},  {7, 31, 0, 7, false}, {8, 30, 0, 7, false},
      {7, 30, 0, 8, true},   {19, 30, 0, 8, false},
  };
  for (const Tick& t : ticks) {
    SCOPED_TRACE(testing::Message() << "day " << t.day << ' ' << t.hour << ':' << t.minute
                                    << ':' << t.second);
    At(t.hour, t.minute, t.second, t.day);
    window.CheckAlarm();
    EXPECT_EQ(CancelShown(), t.ringing);
    EXPECT_EQ(WindowText(window.alarmHour), "7");
    EXPECT_EQ(WindowText(window.alarmMinute), "30");
  }
}

TEST_F(AlarmTest, RingingBringsTheWindowForwardWithoutLeavingItOnTop) {
  ASSERT_FALSE(IsWindowVisible(window.hwnd));
  SetAlarm("7", "30");
  At(7, 30);
  window.CheckAlarm();
  EXPECT_TRUE(IsWindowVisible(window.hwnd));
  EXPECT_FALSE(IsIconic(window.hwnd));
  EXPECT_EQ(GetWindowLongA(window.hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
}

TEST_F(AlarmTest, RingingInTheTrayShowsTheWindowAndKeepsTheIcon) {
  ShowWindow(window.hwnd, SW_MINIMIZE);
  ASSERT_FALSE(IsWindowVisible(window.hwnd));
  ASSERT_TRUE(TrayIconPresent(window.hwnd));
  SetAlarm("7", "30");
  At(7, 30);
  window.CheckAlarm();
  EXPECT_TRUE(IsWindowVisible(window.hwnd));
  EXPECT_FALSE(IsIconic(window.hwnd));
  EXPECT_TRUE(TrayIconPresent(window.hwnd));
  EXPECT_TRUE(CancelShown());
}

TEST_F(AlarmTest, OnlyTheFirstTwoCharactersOfEachEditCount) {
  struct Case {
    const char* hour;
    const char* minute;
    WORD clockHour, clockMinute;
    bool ringing;
  } cases[] = {
      {"07", "30", 7, 30, true},  {"123", "1", 12, 1, true}, {"1", "123", 1, 12, true},
      {"007", "0", 0, 0, true},   {"007", "0", 7, 0, false}, {"x", "5", 0, 5, true},
      {"24", "0", 0, 0, false},   {"-1", "0", 23, 0, false}, {" 9", "5", 9, 5, true},
      {"9", "5x", 9, 5, true},    {"9", "05", 9, 5, true},   {"9", "50", 9, 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << '"' << c.hour << "\":\"" << c.minute << "\" at "
                                    << c.clockHour << ':' << c.clockMinute);
    ShowWindow(window.alarmCancel, c.ringing ? SW_HIDE : SW_SHOW);
    SetAlarm(c.hour, c.minute);
    At(c.clockHour, c.clockMinute);
    window.CheckAlarm();
    EXPECT_EQ(CancelShown(), c.ringing);
  }
}

TEST_F(AlarmTest, OneEmptyEditDisarmsWithoutTouchingTheLink) {
  struct Case {
    const char* hour;
    const char* minute;
  } cases[] = {{"7", ""}, {"", "30"}, {"", ""}};
  for (const Case& c : cases) {
    for (bool shown : {false, true}) {
      SCOPED_TRACE(testing::Message() << '"' << c.hour << "\":\"" << c.minute << "\" link "
                                      << shown);
      ShowWindow(window.alarmCancel, shown ? SW_SHOW : SW_HIDE);
      SetAlarm(c.hour, c.minute);
      At(7, 30);
      window.CheckAlarm();
      EXPECT_EQ(CancelShown(), shown);
      EXPECT_FALSE(IsWindowVisible(window.hwnd));
    }
  }
}

TEST_F(AlarmTest, CancelEmptiesBothEditsAndStopsTheRinging) {
  ShowWindow(window.hwnd, SW_SHOWNORMAL);
  SetAlarm("7", "30");
  At(7, 30);
  window.CheckAlarm();
  ASSERT_TRUE(CancelShown());
  SetFocus(window.alarmMinute);
  ASSERT_EQ(GetFocus(), window.alarmMinute);

  SendCommand(window.hwnd, IDC_LABEL, STN_CLICKED, window.alarmCancel);
  EXPECT_EQ(WindowText(window.alarmHour), "");
  EXPECT_EQ(WindowText(window.alarmMinute), "");
  EXPECT_FALSE(CancelShown());
  HWND focus = GetFocus();
  EXPECT_NE(focus, window.alarmHour);
  EXPECT_NE(focus, window.alarmMinute);
  EXPECT_EQ(WindowText(window.alarmHour), "");  // not prefilled by a stray focus

  window.CheckAlarm();
  EXPECT_FALSE(CancelShown());
}

TEST_F(AlarmTest, OtherNotificationsOfTheCancelLinkDoNothing) {
  SetAlarm("7", "30");
  At(7, 30);
  window.CheckAlarm();
  SendCommand(window.hwnd, IDC_LABEL, STN_DBLCLK, window.alarmCancel);
  EXPECT_EQ(WindowText(window.alarmHour), "7");
  EXPECT_EQ(WindowText(window.alarmMinute), "30");
  EXPECT_TRUE(CancelShown());
}

TEST_F(AlarmTest, FocusOnAnEmptyHourEditOffersTheNetworkHour) {
  struct Case {
    bool synced;
    WORD hour;
    const char* before;
    const char* after;
  } cases[] = {
      {true, 9, "", "9"},   {true, 0, "", "0"},   {true, 23, "", "23"},
      {true, 9, "5", "5"},  {true, 9, "x", "x"},  // only an empty edit is filled
      {false, 9, "", ""},   // no network time yet
  };
  ShowWindow(window.hwnd, SW_SHOWNORMAL);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "synced " << c.synced << " hour " << c.hour << " \""
                                    << c.before << '"');
    SetFocus(window.hwnd);
    SetWindowTextA(window.alarmHour, c.before);
    window.DisplayTime = SYSTEMTIME{2026, 12, 1, 7, c.hour, 15, 0, 0};
    window.synced = c.synced;
    SetFocus(window.alarmHour);
    ASSERT_EQ(GetFocus(), window.alarmHour);
    EXPECT_EQ(WindowText(window.alarmHour), c.after);
  }
}

TEST_F(AlarmTest, FocusOnTheMinuteEditPrefillsNothing) {
  ShowWindow(window.hwnd, SW_SHOWNORMAL);
  At(9, 15);
  SetFocus(window.alarmMinute);
  ASSERT_EQ(GetFocus(), window.alarmMinute);
  EXPECT_EQ(WindowText(window.alarmMinute), "");
  EXPECT_EQ(WindowText(window.alarmHour), "");
}

}  // namespace
