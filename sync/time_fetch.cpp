#include "app/format_text.h"
#include "net/http_get.h"
#include "res/texts.h"
#include "sync/protocol.h"
#include "ui/main_window.h"

int MainWindow::FetchServerTime() {
  char exchange[kExchangeCapacity];
  FormatText(exchange, sizeof exchange, kTimeTargetFormat, kTimeQuery);
  int32_t roundTripMs = 0;
  // One buffer for target and reply: HttpGet forms the request first.
  int length = HttpGet(serverHost, exchange, exchange, kExchangeCapacity - 1,
                       &roundTripMs);
  if (length < 1) {
    // The target while nothing came back, else what did.
    MessageBoxA(hwnd, exchange, kTextNetworkError, MB_OK);
    return -1;
  }

  BaseTime base;
  switch (ClassifyReply(exchange, length)) {
    case ReplyClass::Upgrade: {
      char message[kMessageCapacity];
      FormatUpgradeMessage(exchange + 1, message, sizeof message);
      MessageBoxA(hwnd, message, kTextNotice, MB_OK);
      return -1;
    }
    case ReplyClass::TooManyErrors:
      MessageBoxA(hwnd, kTextTooManyErrors, kTextNotice, MB_OK);
      return -1;
    case ReplyClass::Maintenance:
      MessageBoxA(hwnd, kTextMaintenance, kTextNotice, MB_OK);
      return -1;
    case ReplyClass::Time:
      if (ParseTimeBody(exchange, length, roundTripMs, &base)) {
        baseSeconds = base.seconds;
        baseMillis = base.millis;
        // The base instant: right after the parse.
        baseTick = calls.tickCount();
        return 0;
      }
      break;  // bytes that are no time are unknown data
    case ReplyClass::Unknown:
      break;
  }
  MessageBoxA(hwnd, exchange, kTextUnknownData, MB_OK);
  return -1;
}

void MainWindow::RefreshBanner() {
  char reply[kBannerCapacity];
  int32_t roundTripMs = 0;  // not used for the banner
  if (HttpGet(serverHost, kBannerTarget, reply, kBannerCapacity - 1, &roundTripMs) <= 0)
    return;
  char* link = SkipBannerSpace(reply);
  char* text = SplitAtChar(link, '\t');
  static_assert(kBannerLinkSize >= kBannerCapacity, "a link is part of the reply");
  lstrcpynA(bannerLink, link, kBannerLinkSize);
  SetWindowTextA(banner, text);
}
