#include "app/Lyric.h"

#include <unistd.h>

#include <QCoreApplication>
#include <cmath>

#include "app/IniSettings.h"
#include "platform/DynamicLibrary.h"
#include "platform/ProgramFolder.h"

namespace {

// The library's entry point, loaded once and kept (the engine cannot be
// unloaded); null when it cannot be loaded.
TCreateLyricWindow LyricFactory(std::string& Error) {
  static TDynamicLibrary Library;
  static TCreateLyricWindow Create = nullptr;
  if (!Create) {
    if (Library.Open(ProgramFolder() + kLyricLibrary))
      Create = reinterpret_cast<TCreateLyricWindow>(Library.Symbol(kCreateLyricWindow));
    Error = Create ? "" : std::string(kLyricLibrary) + " library could not be loaded.";
  }
  return Create;
}

}  // namespace

void PrepareLyricEngine() {
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
}

TLyricWindow* TLyricDisplay::Show(QWidget* Over, const QString& ProgramFolder,
                                  const QString& LyricPath, int SongLengthSeconds) {
  Close();
  const TCreateLyricWindow Create = LyricFactory(FError);
  if (!Create) return nullptr;
  TLyricWindow* Lyric = Create(ProgramFolder, Over);
  QWidget* Window = Lyric->Window();
  Lyric->SetSongLength(SongLengthSeconds);
  Lyric->SetLyricFile(LyricPath);
  Lyric->SetLyricOffset(ReadLyricOffset());
  if (Over) {
    // Centred on the main window's width (halves to the even neighbour), on
    // its top edge. Its own frame is not known before it is shown: it is
    // taken to be as wide as the main window's.
    const QRect Main = Over->frameGeometry();
    const int Width = Window->width() + (Main.width() - Over->width());
    const long Left = std::lrint((Main.width() - Width) / 2.0);
    Window->move(Main.left() + static_cast<int>(Left), Main.top());
  }
  Window->show();
  FWidget = Window;
  FWindow = Lyric;
  return Lyric;
}

void TLyricDisplay::Position(float ElapsedSeconds) {
  if (FWidget && FWidget->isVisible()) FWindow->UpdatePosition(ElapsedSeconds);
}

void TLyricDisplay::Close() {
  if (FWidget) FWidget->close();
  FWidget.clear();
  FWindow = nullptr;
}
