// main() of the window's tests: a QApplication on the offscreen platform
// (unless the environment asks for another), then GoogleTest.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <string>

#include "app/Lyric.h"

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // The web engine of the lyric window: no sandbox (tests may run as root)
  // and no GPU on a machine without one.
  ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu", 0);
  PrepareLyricEngine();
  if (!::getenv("XDG_RUNTIME_DIR")) {
    // Qt wants a private runtime folder; a fresh one keeps it quiet.
    static std::string Dir = "/tmp/velmora-xdg-XXXXXX";
    if (::mkdtemp(Dir.data())) ::setenv("XDG_RUNTIME_DIR", Dir.c_str(), 1);
  }
  QApplication App(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
