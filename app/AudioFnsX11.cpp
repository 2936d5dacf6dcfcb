// Closing a window of another program by its title, on the X display. Kept
// apart from the Qt code: the X headers define names that clash with Qt's.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "app/AudioFns.h"

// After every other header: X defines None, Status, Bool and more as macros.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

// ---------------------------------------------------------------- closing

namespace {

int IgnoreXErrors(Display*, XErrorEvent*) { return 0; }

std::string WindowName(Display* D, Window W, Atom NetWmName, Atom Utf8) {
  Atom Type = None;
  int Format = 0;
  unsigned long Count = 0, After = 0;
  unsigned char* Data = nullptr;
  std::string Name;
  if (XGetWindowProperty(D, W, NetWmName, 0, 1024, False, Utf8, &Type, &Format, &Count, &After,
                         &Data) == Success &&
      Data && Type == Utf8 && Format == 8) {
    Name.assign(reinterpret_cast<char*>(Data), Count);
  }
  if (Data) XFree(Data);
  if (!Name.empty()) return Name;
  char* Old = nullptr;
  if (XFetchName(D, W, &Old) && Old) {
    Name = Old;
    XFree(Old);
  }
  return Name;
}

// True when W takes the close request (WM_DELETE_WINDOW among its
// WM_PROTOCOLS). Toolkits name hidden helper windows after the program (a
// client leader titled like the main window): those do not take it.
bool TakesCloseRequest(Display* D, Window W, Atom Delete) {
  Atom* Protocols = nullptr;
  int Count = 0;
  bool Takes = false;
  if (XGetWMProtocols(D, W, &Protocols, &Count)) {
    for (int I = 0; I < Count && !Takes; ++I) Takes = Protocols[I] == Delete;
    XFree(Protocols);
  }
  return Takes;
}

// Top-level windows are children of the root, or of a window manager's frame
// one or two levels down.
Window FindByTitle(Display* D, Window Parent, const std::string& Title, int Depth, Atom NetWmName,
                   Atom Utf8, Atom Delete) {
  Window Root = 0, Up = 0, *Kids = nullptr;
  unsigned int N = 0;
  if (!XQueryTree(D, Parent, &Root, &Up, &Kids, &N)) return 0;
  Window Found = 0;
  // The last child is the top of the stacking order, as a lookup by title
  // would meet it first.
  for (unsigned int I = N; I-- > 0 && !Found;)
    if (WindowName(D, Kids[I], NetWmName, Utf8) == Title && TakesCloseRequest(D, Kids[I], Delete))
      Found = Kids[I];
  for (unsigned int I = N; Depth > 0 && I-- > 0 && !Found;)
    Found = FindByTitle(D, Kids[I], Title, Depth - 1, NetWmName, Utf8, Delete);
  if (Kids) XFree(Kids);
  return Found;
}

bool WindowGone(Display* D, Window W) {
  XWindowAttributes A;
  XSync(D, False);
  return !XGetWindowAttributes(D, W, &A) || A.map_state == IsUnmapped;
}

}  // namespace

bool CloseWindowByTitle(const std::string& Title, int TimeoutMs) {
  try {
    Display* D = XOpenDisplay(nullptr);
    if (!D) return false;
    // A window may vanish while it is looked at; such errors are expected.
    auto OldHandler = XSetErrorHandler(IgnoreXErrors);
    const Atom NetWmName = XInternAtom(D, "_NET_WM_NAME", False);
    const Atom Utf8 = XInternAtom(D, "UTF8_STRING", False);
    bool Closed = false;
    const Atom Delete = XInternAtom(D, "WM_DELETE_WINDOW", False);
    const Window W = FindByTitle(D, DefaultRootWindow(D), Title, 2, NetWmName, Utf8, Delete);
    if (W) {
      XEvent E;
      std::memset(&E, 0, sizeof E);
      E.xclient.type = ClientMessage;
      E.xclient.window = W;
      E.xclient.message_type = XInternAtom(D, "WM_PROTOCOLS", False);
      E.xclient.format = 32;
      E.xclient.data.l[0] = static_cast<long>(Delete);
      E.xclient.data.l[1] = CurrentTime;
      XSendEvent(D, W, False, NoEventMask, &E);
      XFlush(D);
      const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
      while (!(Closed = WindowGone(D, W)) && std::chrono::steady_clock::now() < Until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    XSetErrorHandler(OldHandler);
    XCloseDisplay(D);
    return Closed;
  } catch (...) {
    return false;
  }
}
