#include "app/AppDataModule.h"

TAppDataModule* AppDataModule = nullptr;

TAppDataModule::TAppDataModule(std::unique_ptr<TDialogProvider> Provider)
    : FDialogs(Provider ? std::move(Provider) : std::make_unique<TQtDialogProvider>()) {
  AppDataModule = this;
}

TAppDataModule::~TAppDataModule() {
  if (AppDataModule == this) AppDataModule = nullptr;
}

void TAppDataModule::SkinMessage(const QString& Text, QWidget* Parent) {
  FDialogs->ShowMessage(Parent, Text);
}

TDialogProvider& CurrentDialogs() {
  if (AppDataModule) return AppDataModule->Dialogs();
  static TQtDialogProvider Fallback;
  return Fallback;
}
