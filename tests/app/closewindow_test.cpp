// Closing another program's window by its title on a real X server (Xvfb).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "app/AudioFns.h"
#include "tests/app/support/Xvfb.h"
#include "tests/support/TestSupport.h"

// After every other header: X defines None, Status, Bool and more.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using app_testing::TDisplayVar;
using app_testing::TXvfb;

TEST(CloseWindowByTitle, AsksTheWindowWithThatTitleToCloseAndWaitsForIt) {
  if (!testing_support::HaveTool("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
  TXvfb Server;
  if (Server.Display().empty()) GTEST_SKIP() << "Xvfb did not start";
  TDisplayVar Var(Server.Display().c_str());

  // The other program: a top-level window named "CoolPlayer" that closes
  // itself when asked, and a bystander with another name.
  Display* D = XOpenDisplay(Server.Display().c_str());
  ASSERT_NE(D, nullptr);
  const Window Root = DefaultRootWindow(D);
  const Window Player = XCreateSimpleWindow(D, Root, 0, 0, 100, 100, 0, 0, 0);
  const Window Other = XCreateSimpleWindow(D, Root, 0, 0, 100, 100, 0, 0, 0);
  XStoreName(D, Player, "CoolPlayer");
  XStoreName(D, Other, "CoolPlayer 2");
  Atom Delete = XInternAtom(D, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(D, Player, &Delete, 1);
  XSetWMProtocols(D, Other, &Delete, 1);
  XMapWindow(D, Player);
  XMapWindow(D, Other);
  // On top of both: a toolkit's hidden helper window named like the program,
  // which takes no close request.
  const Window Leader = XCreateSimpleWindow(D, Root, 0, 0, 1, 1, 0, 0, 0);
  XStoreName(D, Leader, "CoolPlayer");
  XSync(D, False);

  std::atomic<int> Result{-1};
  std::thread Closer([&] { Result = CloseWindowByTitle("CoolPlayer", 30000) ? 1 : 0; });
  bool AskedToClose = false;
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!AskedToClose && std::chrono::steady_clock::now() < Until) {
    while (XPending(D)) {
      XEvent E;
      XNextEvent(D, &E);
      if (E.type == ClientMessage && static_cast<Atom>(E.xclient.data.l[0]) == Delete) {
        EXPECT_EQ(E.xclient.window, Player);
        AskedToClose = true;
        XDestroyWindow(D, Player);
        XSync(D, False);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Closer.join();
  EXPECT_TRUE(AskedToClose);
  EXPECT_EQ(Result, 1);

  // No window of that title any more: nothing is sent, nothing waited for
  // (a wait would take the whole minute).
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_FALSE(CloseWindowByTitle("CoolPlayer", 60000));
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(30));
  XSync(D, False);
  EXPECT_EQ(XPending(D), 0);  // the bystander heard nothing
  XCloseDisplay(D);
}

TEST(CloseWindowByTitle, WithoutADisplayNothingHappens) {
  TDisplayVar Var(nullptr);
  EXPECT_FALSE(CloseWindowByTitle("CoolPlayer"));
  TDisplayVar Bad(":987");  // no server there
  EXPECT_FALSE(CloseWindowByTitle("CoolPlayer"));
}
