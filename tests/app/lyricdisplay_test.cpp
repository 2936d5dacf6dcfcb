// The lyric window as the program opens it: from its own library, loaded on
// demand by a program that does not link the web engine, over the main
// window, with the saved lyric offset; it paints its page and its highlight,
// and closed by hand it leaves the page's handle empty. With
// VELMORA_SCREENSHOTS set to a folder, the two windows mid-song are saved
// there as lyric.png.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QTabWidget>
#include <cmath>
#include <fstream>
#include <sstream>
#include <utility>

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
  std::ofstream(SettingsFile()) << "[Lyric]\nOffset=1500\n";
  ASSERT_EQ(::mkdir(Dir.Path("external").c_str(), 0700), 0);
  std::ifstream Page(VELMORA_SOURCE_DIR "/external/lyc.htm", std::ios::binary);
  std::ofstream(Dir.Path("external/lyc.htm"), std::ios::binary) << Page.rdbuf();
  std::ofstream(Dir.Path("song.lrc"))
      << "[ti:Night Bus]\n[ar:The Velmora Singers]\n[al:Demo Tape]\n[00:02.00]Streetlights "
         "hum along the avenue\n[00:06.00]The last bus hums a tune\n[00:10.00]We count the "
         "stops in twos\n[00:14.00]And sing until it's noon\n[00:18.00]\n[00:20.00]Night bus, "
         "take us home\n";
  TMainForm& M = ShownForm();
  M.PageControl->setCurrentWidget(M.RecordMixTabSheet);
  EXPECT_FALSE(EngineMapped());

  TLyricDisplay Display;
  TLyricWindow* L = Display.Show(&M, QString::fromStdString(M.ProgramFolder()),
                                 QString::fromStdString(Dir.Path("song.lrc")), 30);
  ASSERT_TRUE(L) << Display.Error();
  EXPECT_TRUE(EngineMapped());
  QWidget* W = L->Window();
  EXPECT_TRUE(W->windowTitle() == "Lyric" && W->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(W->size(), QSize(340, 230));
  const QRect Main = M.frameGeometry(), Own = W->frameGeometry();
  EXPECT_EQ(Own.topLeft(),
            QPoint(Main.left() + std::lrint((Main.width() - Own.width()) / 2.0), Main.top()));
  EXPECT_TRUE(WaitFor([&] { return Shows(W, 0x15171a); }));  // the page's background
  EXPECT_FALSE(Shows(W, 0xffd24d));
  // The first line starts at 2 s: 0.6 s is past it only with the saved offset.
  // The position goes again and again, as a page's timer sends it: the page
  // may paint before it is complete, and takes positions only from then on.
  EXPECT_TRUE(WaitFor([&] {
    Display.Position(0.6f);
    return Shows(W, 0xffd24d);  // the current line's colour
  }));

  if (const char* Shots = std::getenv("VELMORA_SCREENSHOTS")) {
    const QImage Before = W->grab().toImage();
    Display.Position(8.7f);
    WaitFor([&] { return W->grab().toImage() != Before; });
    // Two pictures alike 400 ms apart: the scroll and the colours are at rest.
    QImage Last;
    QElapsedTimer Apart;
    Apart.start();
    WaitFor([&] {
      if (Apart.elapsed() < 400) return false;
      Apart.restart();
      return std::exchange(Last, W->grab().toImage()) == Last;
    });
    QPixmap Shot = M.grab();
    QPainter(&Shot).drawPixmap(W->pos() - M.pos(), W->grab());
    Shot.save(QStringLiteral("%1/lyric.png").arg(QLatin1String(Shots)));
  }

  W->close();
  EXPECT_TRUE(WaitFor([&] { return !Display.IsOpen(); }));
  EXPECT_EQ(Display.Window(), nullptr);
  Display.Position(3.0f);
  Display.Close();
}
