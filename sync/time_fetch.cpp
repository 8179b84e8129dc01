#include "app/format_text.h"
#include "net/proxy_get.h"
#include "res/texts.h"
#include "sync/protocol.h"
#include "sync/time_exchange.h"
#include "ui/main_window.h"

int MainWindow::FetchServerTime() {
  char exchange[kExchangeCapacity];
  TimeExchange got = RequestTime(serverHost, exchange, ProxySettings::User, &route);
  if (got.length < 1) {
    // The target while nothing came back, else what did.
    MessageBoxA(hwnd, exchange, kTextNetworkError, MB_OK);
    return -1;
  }

  switch (got.reply) {
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
      baseSeconds = got.base.seconds;
      baseMillis = got.base.millis;
      // The base instant: right after the parse.
      baseTick = calls.tickCount();
      return 0;
    case ReplyClass::Unknown:  // also bytes that look like a time but are none
      break;
  }
  MessageBoxA(hwnd, exchange, kTextUnknownData, MB_OK);
  return -1;
}

void MainWindow::RefreshBanner() {
  char reply[kBannerCapacity];
  int32_t roundTripMs = 0;  // not used for the banner
  // The same server as the time, by the same way.
  if (ServerGet({ProxySettings::User, &route, serverHost, kBannerTarget, nullptr}, reply,
                kBannerCapacity - 1, &roundTripMs) <= 0)
    return;
  char* link = SkipBannerSpace(reply);
  char* text = SplitAtChar(link, '\t');
  static_assert(kBannerLinkSize >= kBannerCapacity, "a link is part of the reply");
  lstrcpynA(bannerLink, link, kBannerLinkSize);
  SetWindowTextA(banner, text);
}
