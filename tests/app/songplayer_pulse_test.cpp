// The window's song player and the external player against the private test
// sound server (scripts/pulse.sh): the background slider sets the level of
// the playing song, and external/CoolPlayer plays, shows its title and is
// closed by the window, on an X display (Xvfb) and without one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QSlider>
#include <cerrno>
#include <functional>
#include <sstream>

#include "app/AppDataModule.h"
#include "app/AudioFns.h"
#include "app/MainForm.h"
#include "platform/DeviceVolumes.h"
#include "platform/SoundCard.h"
#include "tests/app/support/AppTestSupport.h"
#include "tests/app/support/Xvfb.h"
#include "tests/support/TestServerDevices.h"

using namespace testing_support;

namespace {

int Sh(const std::string& Cmd, std::string* Out = nullptr) {
  return testing_support::Run(Cmd, Out);
}

// A playback stream on the server: the process that plays it and its volume
// in percent (first channel).
struct TSinkInput {
  int Pid = 0;
  int Percent = -1;
};

std::vector<TSinkInput> SinkInputs() {
  std::string Out;
  Sh("pactl list sink-inputs", &Out);
  std::vector<TSinkInput> R;
  std::istringstream Lines(Out);
  for (std::string L; std::getline(Lines, L);) {
    if (L.rfind("Sink Input #", 0) == 0) R.emplace_back();
    if (R.empty()) continue;
    const size_t Pid = L.find("application.process.id = \"");
    if (Pid != std::string::npos) R.back().Pid = std::atoi(L.c_str() + Pid + 26);
    const size_t Volume = L.find("Volume: ");
    if (Volume != std::string::npos && R.back().Percent < 0 && L.find('%') != std::string::npos) {
      const size_t Slash = L.find('/', Volume);
      R.back().Percent = std::atoi(L.c_str() + Slash + 1);
    }
  }
  return R;
}

// The stream of process Pid, or one with Pid 0.
TSinkInput StreamOf(int Pid) {
  for (const TSinkInput& S : SinkInputs())
    if (S.Pid == Pid) return S;
  return TSinkInput();
}

bool RunUntil(const std::function<bool()>& Done, int Ms = 15000) {
  QElapsedTimer T;
  T.start();
  while (!Done()) {
    if (T.elapsed() > Ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

class SongPlayerPulse : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CurrentSoundCard().PlaybackDeviceCount() == 0 || !HaveTool("pactl") || !HaveTool("sox"))
      GTEST_SKIP() << "no sound server answers, or pactl or sox is missing (the test run starts "
                      "one with scripts/pulse.sh)";
    Data = std::make_unique<TAppDataModule>(std::make_unique<app_testing::TFakeDialogs>());
    TMainForm::TSetup S;
    // The program's folder of the build: the player library and external/.
    S.ProgramFolder = BinDir() + "/";
    S.SettingsPath = Dir.Path("Settings.ini");
    Form = std::make_unique<TMainForm>(S);
    ASSERT_EQ(Sh("sox -n -r 8000 -c 1 -b 16 " + Quote(Dir.Path("my mix.wav")) +
                 " synth 20 sine 440 vol 0.3"),
              0);
  }
  void TearDown() override {
    if (Form) {
      Form->close();
      Form.reset();
    }
    Data.reset();
    // Every other test expects the server's volumes at 100 %.
    Sh("pactl set-sink-volume " + kSpeaker + " 100%");
    SetOutputVolume(TOutputKind::Wave, 0, 0xFFFFFFFFu);
  }
  std::string Song() const { return Dir.Path("my mix.wav"); }

  TempDir Dir;
  std::unique_ptr<TAppDataModule> Data;
  std::unique_ptr<TMainForm> Form;
};

}  // namespace

TEST_F(SongPlayerPulse, TheBackgroundSliderSetsTheLevelOfThePlayingSong) {
  TMainForm& F = *Form;
  F.show();
  const int Me = ::getpid();
  F.PlayInPlayer(Song());
  ASSERT_TRUE(RunUntil([&] { return StreamOf(Me).Pid == Me; })) << "the song never played";
  EXPECT_EQ(StreamOf(Me).Percent, 100);
  // 128 of 255: the program's playback at half, the stream playing now too.
  F.BackgroundVolumeBar->setValue(128);
  EXPECT_TRUE(RunUntil([&] { return StreamOf(Me).Percent == 50; }, 5000)) << StreamOf(Me).Percent;
  F.BackgroundVolumeBar->setValue(255);
  EXPECT_TRUE(RunUntil([&] { return StreamOf(Me).Percent == 100; }, 5000)) << StreamOf(Me).Percent;
  F.Mp3Player->StopInput();
  F.Mp3Player->CloseInput();
  EXPECT_TRUE(RunUntil([&] { return StreamOf(Me).Pid == 0; }, 5000));
}

TEST_F(SongPlayerPulse, CoolPlayerShowsItsTitlePlaysAndClosesOnWindowDelete) {
  if (!HaveTool("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
  app_testing::TXvfb X;
  if (X.Display().empty()) GTEST_SKIP() << "Xvfb did not start";
  app_testing::TDisplayVar Display(X.Display().c_str());
  app_testing::TEnvVar Platform("QT_QPA_PLATFORM", "xcb");
  const std::string Program = BinDir() + "/external/CoolPlayer", File = Song();
  const pid_t Pid = ::fork();
  if (Pid == 0) {
    ::execl(Program.c_str(), "CoolPlayer", File.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(Pid, 0);
  const bool Played = RunUntil([&] { return StreamOf(Pid).Pid == Pid; });
  // Asked to close through its title, as the window asks it (tried until its
  // window is up): the close request reaches it and it ends by itself.
  const bool Closed = RunUntil([] { return CloseWindowByTitle("CoolPlayer", 5000); });
  int Status = -1;
  const bool Ended = RunUntil([&] { return ::waitpid(Pid, &Status, WNOHANG) == Pid; });
  if (!Ended) {
    ::kill(Pid, SIGKILL);
    ::waitpid(Pid, &Status, 0);
  }
  EXPECT_TRUE(Played);
  EXPECT_TRUE(Closed);
  EXPECT_TRUE(Ended);
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
  EXPECT_TRUE(RunUntil([&] { return StreamOf(Pid).Pid == 0; }, 5000));
}

TEST_F(SongPlayerPulse, WithoutADisplayTheWindowEndsTheExternalPlayerItStarted) {
  // As on a Wayland desktop: no X display to find the window on.
  app_testing::TDisplayVar NoDisplay(nullptr);
  app_testing::TEnvVar Platform("QT_QPA_PLATFORM", "offscreen");
  const int Me = ::getpid();
  auto Other = [Me] {
    for (const TSinkInput& S : SinkInputs())
      if (S.Pid != Me && S.Pid != 0) return S.Pid;
    return 0;
  };
  ASSERT_EQ(Other(), 0);
  ASSERT_GT(Form->StartExternalPlayer(Song()), 31);
  int Pid = 0;
  ASSERT_TRUE(RunUntil([&] { return (Pid = Other()) != 0; })) << "the player never played";
  Form->CloseExternalPlayer();
  // Gone, and reaped.
  EXPECT_TRUE(RunUntil([&] { return ::kill(Pid, 0) != 0 && errno == ESRCH; }, 5000));
  EXPECT_TRUE(RunUntil([&] { return Other() == 0; }, 5000));
}
