#include "tests/app/support/AppTestSupport.h"

#include <QApplication>
#include <QElapsedTimer>

namespace app_testing {

WindowTest::WindowTest() {
  UseSoundCard(&Card);
  auto D = std::make_unique<TFakeDialogs>();
  Dialogs = D.get();
  Data = std::make_unique<TAppDataModule>(std::move(D));
}

WindowTest::~WindowTest() {
  if (Window) {
    Window->close();
    Window.reset();
  }
  Data.reset();
  UseSoundCard(nullptr);
}

TMainForm& WindowTest::Form() {
  if (!Window) {
    TMainForm::TSetup S;
    S.ProgramFolder = Dir.Dir() + "/";
    S.SettingsPath = SettingsFile();
    S.Mixer = &Mixer;
    S.Languages = Languages;
    Window = std::make_unique<TMainForm>(S);
  }
  return *Window;
}

TMainForm& WindowTest::ShownForm() {
  TMainForm& F = Form();
  F.show();
  Settle();
  return F;
}

void WindowTest::Settle() {
  QElapsedTimer T;
  T.start();
  do {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  } while (T.elapsed() < 20);
}

}  // namespace app_testing
