// The program's own texts. Sources are UTF-8; the compiler stores these
// literals in code page 936 (-fexec-charset=GBK), so the same bytes are shown
// whatever the system's code page is.
#pragma once

// Window and tray.
inline constexpr char kTextCaption[] = "Oramet 2.07";
inline constexpr char kTextTrayTip[] = "Oramet";

// Time service messages.
inline constexpr char kTextNetworkError[] = "网络错误";
inline constexpr char kTextNotice[] = "提示";
inline constexpr char kTextTooManyErrors[] = "24小时内错误次数已达上限";
inline constexpr char kTextMaintenance[] = "系统维护中，请稍后再试";
inline constexpr char kTextUnknownData[] = "未知数据，请检查版本";
inline constexpr char kTextUpgradeFormat[] = "版本已升级，请到Quellton%s下载";

// Synchronisation outcome.
inline constexpr char kTextSetTimeOk[] = "本地时间设置成功";
inline constexpr char kTextSetTimeFailed[] = "本地时间设置失败";
inline constexpr char kTextFetchCountFormat[] = "取时%d次";

// Clock lines.
inline constexpr char kTextDateFormat[] = "%d年%02d月%02d日星期%s";
inline constexpr char kTextTimeFormat[] = "%02d：%02d：%02d";
inline constexpr const char* kWeekdayNames[7] = {"日", "一", "二", "三", "四", "五", "六"};

// Shell and settings.
inline constexpr char kTextNetInitFailed[] = "网络初始化失败";
inline constexpr char kTextWarning[] = "警告";
inline constexpr char kTextAutoStartFailed[] = "设置失败，可能被本机安全软件阻止。";

// Initial texts of the main window's controls.
inline constexpr char kTextDatePlaceholder[] = "0000年00月00日星期 ";
inline constexpr char kTextTimePlaceholder[] = "00: 00: 00";
inline constexpr char kTextAlarm[] = "闹钟";
inline constexpr char kTextHour[] = "时";
inline constexpr char kTextMinute[] = "分";
inline constexpr char kTextCancel[] = "取消";
inline constexpr char kTextEvery[] = "每隔";
inline constexpr char kTextAutoSync[] = "钟自动校对";
inline constexpr char kTextSave[] = "保存";
inline constexpr char kTextAutoStart[] = "开机后自动运行";
inline constexpr char kTextSyncNow[] = "校对";
inline constexpr char kTextFetchCountZero[] = "取时0次 ";

// Interval units, indexed by "seconds shown".
inline constexpr const char* kUnitWords[2] = {"分", "秒"};
