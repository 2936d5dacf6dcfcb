// The program-wide objects that outlive every window: the dialog provider
// (every message of every page is shown through it) and the application's
// title. Made before the main window, freed after it. While it exists, an MP3
// information probe that fails on the window's thread asks through the
// provider's error prompt ("Error openning file: " + path); elsewhere it goes
// on without asking.
#pragma once

#include <QString>
#include <memory>

#include "app/DialogProvider.h"

class QWidget;

class TAppDataModule {
 public:
  // Provider null: Qt's dialogs.
  explicit TAppDataModule(std::unique_ptr<TDialogProvider> Provider = nullptr);
  ~TAppDataModule();
  TAppDataModule(const TAppDataModule&) = delete;
  TAppDataModule& operator=(const TAppDataModule&) = delete;

  TDialogProvider& Dialogs() { return *FDialogs; }
  // Shows Text in the program's one message box (modal, one OK button).
  void SkinMessage(const QString& Text, QWidget* Parent = nullptr);

 private:
  std::unique_ptr<TDialogProvider> FDialogs;
};

// The one instance while it exists, else null (dialogs then fall back to Qt's).
extern TAppDataModule* AppDataModule;

// The provider of AppDataModule, or a Qt provider when there is none.
TDialogProvider& CurrentDialogs();
