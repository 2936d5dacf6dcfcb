// The volume sliders of the Recorder and Record-Mix pages against the real
// sound server (the private one of the test run, scripts/pulse.sh): each moves
// the volume of its own mixer line, and the volume control's timer keeps
// attached track bars in step with volumes changed elsewhere.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QSlider>
#include <functional>

#include "app/AppDataModule.h"
#include "app/MainForm.h"
#include "platform/DeviceVolumes.h"
#include "platform/SoundCard.h"
#include "tests/app/support/AppTestSupport.h"
#include "tests/support/TestServerDevices.h"

using testing_support::kMic;
using testing_support::kSpeaker;

namespace {

// The server's volume of a sink or source in percent, as pactl reports its
// first channel; -1 when it cannot be read.
int ServerPercent(const char* What, const std::string& Name) {
  std::string Out;
  if (testing_support::Run(std::string("pactl get-") + What + "-volume " + Name, &Out) != 0)
    return -1;
  const size_t Slash = Out.find('/');
  const size_t Percent = Out.find('%', Slash);
  if (Slash == std::string::npos || Percent == std::string::npos) return -1;
  return std::stoi(Out.substr(Slash + 1, Percent - Slash - 1));
}

// Lets the window's events run until Condition holds, at most Ms.
bool RunUntil(const std::function<bool()>& Condition, int Ms = 3000) {
  QElapsedTimer T;
  T.start();
  while (!Condition()) {
    if (T.elapsed() > Ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// A track bar of the test's own, horizontal, counting what the control did.
class TTestBar : public TVolumeTrackBar {
 public:
  int Min = -1, Max = -1, Pos = -1;
  std::function<void()> OnChange;
  void SetRange(int Minimum, int Maximum) override {
    Min = Minimum;
    Max = Maximum;
  }
  int Position() const override { return Pos; }
  void SetPosition(int Value) override { Pos = Value; }
  bool Vertical() const override { return false; }
  void SetOnChange(std::function<void()> Handler) override { OnChange = std::move(Handler); }
};

class VolumeSlidersPulse : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CurrentSoundCard().CaptureDeviceCount() == 0)
      GTEST_SKIP() << "no sound server answers (the test run starts one with scripts/pulse.sh)";
    auto D = std::make_unique<app_testing::TFakeDialogs>();
    Data = std::make_unique<TAppDataModule>(std::move(D));
    TMainForm::TSetup S;
    S.ProgramFolder = Dir.Dir() + "/";
    S.SettingsPath = Dir.Path("Settings.ini");
    Form = std::make_unique<TMainForm>(S);
    Form->show();
    QApplication::processEvents();
    ASSERT_GE(Form->MicOutputLineIndex, 0);
    ASSERT_GE(Form->MicRecordLineIndex, 0);
    ASSERT_GE(Form->StereoMixLineIndex, 0);
  }
  void TearDown() override {
    if (Form) {
      Form->VolumeControl->SetWaveTrackBar(nullptr);
      Form->close();
      Form.reset();
    }
    // Every other test expects the server's volumes at 100 %.
    testing_support::Run("pactl set-sink-volume " + kSpeaker + " 100%");
    testing_support::Run("pactl set-source-volume " + kMic + " 100%");
    testing_support::Run("pactl set-source-volume " + kSpeaker + ".monitor 100%");
    SetOutputVolume(TOutputKind::Wave, 0, 0xFFFFFFFFu);
  }
  // The microphone's playback line as the mixer reads it now.
  int MicOutputPercent() {
    TAudioMixer2* M = Form->AudioMixer;
    M->SetDestinationID(0);
    return M->Lines(Form->MicOutputLineIndex)->Volume();
  }

  testing_support::TempDir Dir;
  TTestBar Bar;  // attached by a test; outlives the window
  std::unique_ptr<TAppDataModule> Data;
  std::unique_ptr<TMainForm> Form;
};

}  // namespace

TEST_F(VolumeSlidersPulse, EachSliderSetsTheVolumeOfItsOwnLine) {
  TMainForm& F = *Form;
  // Microphone recording: both pages' sliders act on the microphone input.
  F.MicRecordVolumeBar->setValue(40);
  EXPECT_TRUE(RunUntil([&] { return ServerPercent("source", kMic) == 40; }))
      << ServerPercent("source", kMic);
  F.RecorderMicRecordVolumeBar->setValue(70);
  EXPECT_TRUE(RunUntil([&] { return ServerPercent("source", kMic) == 70; }))
      << ServerPercent("source", kMic);
  EXPECT_EQ(ServerPercent("source", kSpeaker + ".monitor"), 100);
  EXPECT_EQ(ServerPercent("sink", kSpeaker), 100);

  // Stereo mix: the monitor of the speaker, and nothing else.
  F.StereoMixVolumeBar->setValue(30);
  EXPECT_TRUE(RunUntil([&] { return ServerPercent("source", kSpeaker + ".monitor") == 30; }))
      << ServerPercent("source", kSpeaker + ".monitor");
  EXPECT_EQ(ServerPercent("source", kMic), 70);

  // Hearing the microphone: the loopback's volume, from either page.
  F.MicOutputVolumeBar->setValue(25);
  EXPECT_EQ(MicOutputPercent(), 25);
  F.RecorderMicOutputVolumeBar->setValue(85);
  EXPECT_EQ(MicOutputPercent(), 85);
  EXPECT_EQ(ServerPercent("sink", kSpeaker), 100);

  // Background music (0 ... 255): the speaker at round(128 / 2.55) = 50 %,
  // and this program's playback at 128.
  F.BackgroundVolumeBar->setValue(128);
  EXPECT_TRUE(RunUntil([&] { return ServerPercent("sink", kSpeaker) == 50; }))
      << ServerPercent("sink", kSpeaker);
  EXPECT_EQ(F.VolumeControl->GetByIndex(1), 128);
  EXPECT_EQ(ServerPercent("source", kMic), 70);
  EXPECT_EQ(ServerPercent("source", kSpeaker + ".monitor"), 30);
}

TEST_F(VolumeSlidersPulse, VolumeControlTimerKeepsAnAttachedBarInStep) {
  TMainForm& F = *Form;
  ASSERT_TRUE(F.VolumeControl->TimerEnabled());
  SetOutputVolume(TOutputKind::Wave, 0, 200 * 0x01000100u);
  F.VolumeControl->SetWaveTrackBar(&Bar);
  EXPECT_EQ(Bar.Max, 255);
  EXPECT_EQ(Bar.Pos, 200);
  // Changed elsewhere (not through the bar): the next tick shows it.
  SetOutputVolume(TOutputKind::Wave, 0, 60 * 0x01000100u);
  EXPECT_TRUE(RunUntil([&] { return Bar.Pos == 60; })) << Bar.Pos;
  // The background slider changes it too, and the bar follows.
  F.BackgroundVolumeBar->setValue(150);
  EXPECT_TRUE(RunUntil([&] { return Bar.Pos == 150; })) << Bar.Pos;
  // The bar's own change sets the volume, and the ticks leave it there.
  Bar.Pos = 90;
  ASSERT_TRUE(Bar.OnChange);
  Bar.OnChange();
  EXPECT_EQ(F.VolumeControl->GetByIndex(1), 90);
  QElapsedTimer T;
  T.start();
  while (T.elapsed() < 500) QApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(Bar.Pos, 90);
  EXPECT_EQ(F.VolumeControl->GetByIndex(1), 90);
}
