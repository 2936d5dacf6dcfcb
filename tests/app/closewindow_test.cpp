// Closing another program's window by its title on a real X server (Xvfb).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "app/AudioFns.h"
#include "tests/support/TestSupport.h"

// After every other header: X defines None, Status, Bool and more.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

// A private X server for one test, on a display number it picks itself.
class TXvfb {
 public:
  TXvfb() {
    int P[2];
    if (::pipe(P) != 0) return;
    FPid = ::fork();
    if (FPid == 0) {
      ::close(P[0]);
      const std::string Fd = std::to_string(P[1]);
      const int Null = ::open("/dev/null", O_WRONLY);
      ::dup2(Null, 2);
      ::execlp("Xvfb", "Xvfb", "-displayfd", Fd.c_str(), "-nolisten", "tcp", "-screen", "0",
               "640x480x24", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(P[1]);
    char Buf[32] = {};
    size_t N = 0;
    while (N < sizeof Buf - 1) {
      const ssize_t R = ::read(P[0], Buf + N, sizeof Buf - 1 - N);
      if (R <= 0) break;
      N += static_cast<size_t>(R);
      if (std::strchr(Buf, '\n')) break;
    }
    ::close(P[0]);
    if (N > 0 && Buf[0] >= '0' && Buf[0] <= '9')
      FDisplay = ":" + std::string(Buf, std::strcspn(Buf, "\n"));
  }
  ~TXvfb() {
    if (FPid > 0) {
      ::kill(FPid, SIGTERM);
      ::waitpid(FPid, nullptr, 0);
    }
  }
  const std::string& Display() const { return FDisplay; }

 private:
  pid_t FPid = -1;
  std::string FDisplay;
};

// Sets DISPLAY for the life of the object.
struct TDisplayVar {
  std::string Old;
  bool Had;
  explicit TDisplayVar(const char* Value) : Had(::getenv("DISPLAY") != nullptr) {
    if (Had) Old = ::getenv("DISPLAY");
    if (Value)
      ::setenv("DISPLAY", Value, 1);
    else
      ::unsetenv("DISPLAY");
  }
  ~TDisplayVar() {
    if (Had)
      ::setenv("DISPLAY", Old.c_str(), 1);
    else
      ::unsetenv("DISPLAY");
  }
};

}  // namespace

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
