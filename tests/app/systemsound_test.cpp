// The window's first showing against the real sound system: without a sound
// server the Recorder pages are switched off with one message; with one (the
// private server of the test run) they work, capture device 0 is chosen and
// the system mixer's microphone and stereo-mix lines are found.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>

#include "app/AppDataModule.h"
#include "app/MainForm.h"
#include "platform/SoundCard.h"
#include "tests/app/support/AppTestSupport.h"

namespace {

// The window with the system's own mixer, in a scratch program folder.
struct TSystemWindow {
  testing_support::TempDir Dir;
  app_testing::TFakeDialogs* Dialogs;
  std::unique_ptr<TAppDataModule> Data;
  std::unique_ptr<TMainForm> Form;

  TSystemWindow() {
    auto D = std::make_unique<app_testing::TFakeDialogs>();
    Dialogs = D.get();
    Data = std::make_unique<TAppDataModule>(std::move(D));
    TMainForm::TSetup S;
    S.ProgramFolder = Dir.Dir() + "/";
    S.SettingsPath = Dir.Path("Settings.ini");
    S.Languages = nullptr;
    Form = std::make_unique<TMainForm>(S);
    Form->show();
    QElapsedTimer T;
    T.start();
    while (T.elapsed() < 50) QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  ~TSystemWindow() {
    Form->close();
    Form.reset();
  }
};

}  // namespace

TEST(SystemSound, WithoutASoundServerRecorderPagesAreOffAndTheMessageShowsOnce) {
  // This process has not talked to a sound server yet; point it nowhere.
  ::setenv("PULSE_SERVER", "unix:/nonexistent/velmora-no-sound-server", 1);
  TSystemWindow W;
  EXPECT_FALSE(W.Form->PageControl->isTabEnabled(6));
  EXPECT_FALSE(W.Form->PageControl->isTabEnabled(7));
  EXPECT_TRUE(W.Form->PageControl->isTabEnabled(0));
  ASSERT_EQ(W.Dialogs->Messages.size(), 1);
  EXPECT_EQ(W.Dialogs->Messages[0],
            QStringLiteral("Not found any audio device, Recorder can not used!"));
  EXPECT_EQ(W.Form->Recorder_AudioIn->BaseChannel(), -1);
  EXPECT_EQ(W.Form->StatusText(), QStringLiteral("Mp3<->Wav:Converter of mp3 and wav audio."));
}

TEST(SystemSound, WithASoundServerTheMicrophoneAndStereoMixLinesAreFound) {
  if (CurrentSoundCard().CaptureDeviceCount() == 0)
    GTEST_SKIP() << "no sound server answers (the test run starts one with scripts/pulse.sh)";
  TSystemWindow W;
  EXPECT_TRUE(W.Form->PageControl->isTabEnabled(6));
  EXPECT_TRUE(W.Form->PageControl->isTabEnabled(7));
  EXPECT_TRUE(W.Dialogs->Messages.isEmpty());
  EXPECT_EQ(W.Form->Recorder_AudioIn->BaseChannel(), 0);
  EXPECT_EQ(W.Form->RecordMix_AudioIn->BaseChannel(), 0);
  EXPECT_GE(W.Form->MicOutputLineIndex, 0);
  EXPECT_GE(W.Form->MicRecordLineIndex, 0);
  EXPECT_GE(W.Form->StereoMixLineIndex, 0);
  EXPECT_NE(W.Form->MicRecordLineIndex, W.Form->StereoMixLineIndex);
  EXPECT_TRUE(W.Form->StereoMixRadioButton->isEnabled());
  EXPECT_TRUE(W.Form->StereoMixVolumeBar->isEnabled());
  EXPECT_EQ(W.Form->RecordMix_StartBtn->text(), QStringLiteral("&Start"));
  // The indices name those lines in the mixer itself.
  TAudioMixer2* M = W.Form->AudioMixer;
  M->SetDestinationID(1);
  EXPECT_EQ(M->Lines(W.Form->StereoMixLineIndex)->Name(), "Stereo Mix");
  EXPECT_EQ(M->Lines(W.Form->MicRecordLineIndex)->Name(), "Microphone");
  M->SetDestinationID(0);
  EXPECT_EQ(M->Lines(W.Form->MicOutputLineIndex)->Name(), "Microphone");
}
