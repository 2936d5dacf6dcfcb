// The lyric window as the program opens it: from its own library, loaded on
// demand by a program that does not link the web engine; it paints its page
// and its highlight, and closed by hand it leaves the page's handle empty.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QImage>
#include <fstream>
#include <sstream>

#include "app/Lyric.h"
#include "tests/app/support/AppTestSupport.h"
#include "tests/app/support/WebEngineTest.h"

using app_testing::WaitFor;
using app_testing::WindowTest;

namespace {

bool EngineMapped() {
  std::ifstream Maps("/proc/self/maps");
  std::stringstream S;
  S << Maps.rdbuf();
  return S.str().find("libQt6WebEngineCore") != std::string::npos;
}

// True when the window shows a pixel of Colour (the page's background, or
// the colour of the current line).
bool Shows(QWidget* W, QRgb Colour) {
  const QImage I = W->grab().toImage().convertToFormat(QImage::Format_RGB32);
  for (int Y = 0; Y < I.height(); Y += 2)
    for (int X = 0; X < I.width(); X += 2)
      if ((I.pixel(X, Y) & 0xffffff) == Colour) return true;
  return false;
}

}  // namespace

TEST_F(WindowTest, LyricWindowComesFromItsLibraryOnDemand) {
  ASSERT_EQ(::mkdir(Dir.Path("external").c_str(), 0700), 0);
  std::ifstream Page(VELMORA_SOURCE_DIR "/external/lyc.htm", std::ios::binary);
  std::ofstream(Dir.Path("external/lyc.htm"), std::ios::binary) << Page.rdbuf();
  std::ofstream(Dir.Path("song.lrc")) << "[00:01.00]one\n[00:03.00]two\n";
  TMainForm& M = ShownForm();
  EXPECT_FALSE(EngineMapped());

  TLyricDisplay Display;
  TLyricWindow* L = Display.Show(&M, QString::fromStdString(M.ProgramFolder()),
                                 QString::fromStdString(Dir.Path("song.lrc")), 10);
  ASSERT_TRUE(L) << Display.Error();
  EXPECT_TRUE(EngineMapped());
  EXPECT_TRUE(WaitFor([&] { return Shows(L->Window(), 0x15171a); }));  // the page's background
  EXPECT_FALSE(Shows(L->Window(), 0xffd24d));
  Display.Position(2.0f);
  EXPECT_TRUE(WaitFor([&] { return Shows(L->Window(), 0xffd24d); }));  // "one" is lit

  L->Window()->close();
  EXPECT_TRUE(WaitFor([&] { return !Display.IsOpen(); }));
  EXPECT_EQ(Display.Window(), nullptr);
  Display.Position(3.0f);
  Display.Close();
}
