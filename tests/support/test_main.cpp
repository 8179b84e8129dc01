// Entry point of the tests that run under Wine: the module record and
// Winsock are started as the program itself starts them.
#include <winsock2.h>

#include <gtest/gtest.h>

#include "app/module.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  g_module.Init(GetModuleHandleA(nullptr));
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  int result = RUN_ALL_TESTS();
  WSACleanup();
  g_module.Term();
  return result;
}
