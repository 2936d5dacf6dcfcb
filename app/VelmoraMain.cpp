// The program: the language manager and the codec libraries first, then the
// application, the data module and the main window; the event loop runs until
// the window closes.
#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <exception>

#include "app/AppDataModule.h"
#include "app/LangMgr.h"
#include "app/Lyric.h"
#include "app/MainForm.h"
#include "codecs/CodecLibrary.h"
#include "platform/ProgramFolder.h"

int main(int argc, char** argv) {
  InitLanguageManager();
  LoadCodecLibraries();
  PrepareLyricEngine();

  QApplication App(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Velmora"));
  QApplication::setDesktopFileName(QStringLiteral("velmora"));
  QApplication::setWindowIcon(
      QIcon(QString::fromStdString(ProgramFolder() + "external/velmora.png")));

  int Result = 0;
  {
    TAppDataModule Data;
    try {
      TMainForm Form;
      Form.show();
      Result = QApplication::exec();
    } catch (const std::exception& E) {
      // A codec library that is missing stops the window from being made.
      Data.SkinMessage(QString::fromStdString(E.what()));
      Result = 1;
    }
  }
  try {
    FinalizeLanguageManager();
  } catch (const std::exception& E) {
    std::fprintf(stderr, "%s\n", E.what());
  }
  return Result;
}
