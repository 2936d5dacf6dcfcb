#include "app/AppDataModule.h"

#include <QCoreApplication>
#include <QThread>
#include <string>

#include "codecs/MPEGAudio.h"

TAppDataModule* AppDataModule = nullptr;

namespace {

int AskAboutMpegFile(const std::string& FileName) {
  // A box may only be shown from the window's thread.
  const QCoreApplication* App = QCoreApplication::instance();
  if (!App || QThread::currentThread() != App->thread()) return mpaIgnore;
  const QString Text = QStringLiteral("Error openning file: ") + QString::fromStdString(FileName);
  switch (CurrentDialogs().AskErrorAction(nullptr, Text)) {
    case TPromptAnswer::Retry:
      return mpaRetry;
    case TPromptAnswer::Ignore:
      return mpaIgnore;
    case TPromptAnswer::Cancel:
      break;
  }
  return mpaCancel;
}

}  // namespace

TAppDataModule::TAppDataModule(std::unique_ptr<TDialogProvider> Provider)
    : FDialogs(Provider ? std::move(Provider) : std::make_unique<TQtDialogProvider>()) {
  AppDataModule = this;
  SetMpegErrorPrompt(AskAboutMpegFile);
}

TAppDataModule::~TAppDataModule() {
  if (AppDataModule == this) {
    AppDataModule = nullptr;
    SetMpegErrorPrompt(nullptr);
  }
}

void TAppDataModule::SkinMessage(const QString& Text, QWidget* Parent) {
  FDialogs->ShowMessage(Parent, Text);
}

TDialogProvider& CurrentDialogs() {
  if (AppDataModule) return AppDataModule->Dialogs();
  static TQtDialogProvider Fallback;
  return Fallback;
}
