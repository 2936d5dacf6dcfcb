// Shared by the window's tests: a dialog provider that tests answer, a
// mixer with lines of their choosing, and a window fixture working in a
// scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <QStringList>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "app/AppDataModule.h"
#include "app/DialogProvider.h"
#include "app/MainForm.h"
#include "devices/MixerLines.h"
#include "platform/Mixer.h"
#include "platform/VirtualSoundCard.h"
#include "tests/support/TestSupport.h"

namespace app_testing {

// Records every message and dialog; answers file and folder dialogs from
// queues (an empty queue answers "cancelled").
class TFakeDialogs : public TDialogProvider {
 public:
  QStringList Messages;
  QStringList OpenedDocuments;
  std::deque<std::optional<TFileDialogRequest>> OpenAnswers, SaveAnswers;
  std::deque<std::optional<QString>> FolderAnswers;
  std::vector<TFileDialogRequest> OpenAsked, SaveAsked;
  struct TFolderAsk {
    QString Caption, Root, Folder;
  };
  std::vector<TFolderAsk> FolderAsked;

  void ShowMessage(QWidget*, const QString& Text) override { Messages << Text; }
  // Error prompts: each text asked, answered from the queue (Ignore once it
  // is empty).
  QStringList Prompts;
  std::deque<TPromptAnswer> PromptAnswers;
  TPromptAnswer AskErrorAction(QWidget*, const QString& Text) override {
    Prompts << Text;
    if (PromptAnswers.empty()) return TPromptAnswer::Ignore;
    const TPromptAnswer A = PromptAnswers.front();
    PromptAnswers.pop_front();
    return A;
  }
  bool ExecuteOpen(QWidget*, TFileDialogRequest& R) override {
    return Answer(OpenAnswers, OpenAsked, R);
  }
  bool ExecuteSave(QWidget*, TFileDialogRequest& R) override {
    return Answer(SaveAnswers, SaveAsked, R);
  }
  bool BrowseFolder(QWidget*, const QString& Caption, const QString& Root,
                    QString& Folder) override {
    FolderAsked.push_back({Caption, Root, Folder});
    if (FolderAnswers.empty() || !FolderAnswers.front()) {
      if (!FolderAnswers.empty()) FolderAnswers.pop_front();
      return false;
    }
    Folder = *FolderAnswers.front();
    FolderAnswers.pop_front();
    return true;
  }
  bool OpenDocument(const QString& Path) override {
    OpenedDocuments << Path;
    return true;
  }

 private:
  static bool Answer(std::deque<std::optional<TFileDialogRequest>>& Answers,
                     std::vector<TFileDialogRequest>& Asked, TFileDialogRequest& R) {
    Asked.push_back(R);
    if (Answers.empty()) return false;
    auto A = Answers.front();
    Answers.pop_front();
    if (!A) return false;
    R.FileName = A->FileName;
    R.FilterIndex = A->FilterIndex;
    return true;
  }
};

// A mixer service with the devices and lines a test gives it: every device
// has the destinations of Lines, each with those source lines (names only,
// no controls). The window's real mixer component reads it.
class TFakeMixerService : public TMixerService {
 public:
  int Devices = 1;
  TMixerLineNames Lines;

  uint32_t DeviceCount() override { return static_cast<uint32_t>(Devices); }
  uint32_t GetDeviceCaps(uint32_t Device, std::string& Name, uint32_t& Destinations) override;
  uint32_t Open(uint32_t Device, TMixerNotify Notify,
                std::unique_ptr<TMixerDevice>& Opened) override;
};

// A child process that holds Name open until the object goes (the lock
// test of the window sees the file in use by another program).
class TFileHolder {
 public:
  explicit TFileHolder(const std::string& Name);
  ~TFileHolder();
  TFileHolder(const TFileHolder&) = delete;
  TFileHolder& operator=(const TFileHolder&) = delete;
  bool Opened() const { return FOpened; }

 private:
  int FPid = -1;
  bool FOpened = false;
};

// A window in a scratch folder (its program folder and Settings.ini), with
// the fake dialogs, a fake mixer service and a virtual sound card; made on demand so that a test
// can set up the mixer and files first.
class WindowTest : public ::testing::Test {
 protected:
  WindowTest();
  ~WindowTest() override;

  // Makes the window (not yet shown).
  TMainForm& Form();
  // Makes and shows the window, then lets queued work run.
  TMainForm& ShownForm();
  // Processes pending events for a moment.
  static void Settle();

  std::string SettingsFile() const { return Dir.Path("Settings.ini"); }

  testing_support::TempDir Dir;
  // The window's capture sources meet this in-process sound system.
  TVirtualSoundCard Card{2, 2};
  TFakeDialogs* Dialogs = nullptr;  // owned by the data module
  TFakeMixerService Mixer;          // installed before the window is made
  TLangMgr* Languages = nullptr;    // not owned
  std::string NotificationBus;      // the window's notifications go there
  std::unique_ptr<TAppDataModule> Data;
  std::unique_ptr<TMainForm> Window;
};

}  // namespace app_testing
