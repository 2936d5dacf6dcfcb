// The Recorder page against the real sound server of the test run
// (scripts/pulse.sh): a 1 kHz tone plays into the virtual microphone while the
// page records it through its own controls, with the system mixer of the
// server routing the microphone. The files must hold the tone at its level,
// the level and progress bars must move, and afterwards the microphone must
// be muted again with no module of ours left on the server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "app/AppDataModule.h"
#include "app/MainForm.h"
#include "engine/ACS_Audio.h"
#include "platform/PulseSoundCard.h"
#include "platform/SoundCard.h"
#include "tests/app/support/AppTestSupport.h"
#include "tests/support/TestServerDevices.h"
#include "tests/support/ToneMeasure.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

constexpr double kToneHz = 1000;
constexpr double kToneAmplitude = 0.5;

// Lets the window's events run until Condition holds, at most Ms.
bool RunUntil(const std::function<bool()>& Condition, int Ms = 30000) {
  QElapsedTimer T;
  T.start();
  while (!Condition()) {
    if (T.elapsed() > Ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

std::string Modules() {
  std::string Out;
  testing_support::Run("pactl list short modules", &Out);
  return Out;
}

// What the page showed while a recording ran.
struct TWatch {
  int HighestLevel = 0;
  int HighestProgress = 0;
  std::set<int> ProgressShown;  // every value the progress bar took
  bool MicHeard = false;        // the microphone's playback was on while recording
  std::string ModulesDuring;    // the server's modules meanwhile
};

class RecorderPulse : public ::testing::Test {
 protected:
  void SetUp() override {
    UseSoundCard(&Card);
    const auto Capture = Card.CaptureDevices();
    const auto Playback = Card.PlaybackDevices();
    if (FindDevice(Capture, kMic) < 0 || FindDevice(Playback, kFeed) < 0)
      GTEST_SKIP() << "no test sound server answers (start one with: source scripts/pulse.sh; "
                      "pulse_start)";
    ModulesBefore = Modules();

    // The tone flows into the microphone before the window records it: more
    // than the player's queue has gone to the server.
    Tone = MakeComponent<TMemorySource>(nullptr);
    Tone->Data = ToneBytes(20, kToneHz, kToneAmplitude);
    Player = MakeComponent<TAudioOut>(nullptr);
    Player->SetBaseChannel(FindDevice(Playback, kFeed));
    Player->SetInput(Tone.get());
    Player->Run();
    ASSERT_TRUE(RunUntil([&] { return Tone->Position() > 10 * TAudioOut::kBlockSize; }))
        << "the tone does not play";

    auto D = std::make_unique<app_testing::TFakeDialogs>();
    Dialogs = D.get();
    Data = std::make_unique<TAppDataModule>(std::move(D));
    TMainForm::TSetup S;
    S.ProgramFolder = Dir.Dir() + "/";
    S.SettingsPath = Dir.Path("Settings.ini");
    S.Languages = nullptr;
    Form = std::make_unique<TMainForm>(S);
    Form->show();
    Form->PageControl->setCurrentWidget(Form->RecorderTabSheet);
    QApplication::processEvents();
    ASSERT_GE(Form->MicOutputLineIndex, 0);
    ASSERT_GE(Form->MicRecordLineIndex, 0);
  }

  void TearDown() override {
    if (Form) {
      Form->close();
      Form.reset();
    }
    Data.reset();
    if (Player) {
      Player->Stop();
      EXPECT_TRUE(Player->WaitForEnd(std::chrono::seconds(30)));
    }
    UseSoundCard(nullptr);
    // Every other test expects the microphone at 100 %.
    testing_support::Run("pactl set-source-volume " + kMic + " 100%");
    if (!ModulesBefore.empty()) {
      EXPECT_EQ(Modules(), ModulesBefore) << "a module was left loaded";
    }
  }

  // The microphone's playback line as the window's mixer reads it now: true
  // while it is heard.
  bool MicHeard() {
    TAudioMixer2* M = Form->AudioMixer;
    M->SetDestinationID(0);
    TAudioMixerLine* L = M->Lines(Form->MicOutputLineIndex);
    return L && !L->Mute();
  }

  // Clicks "Record" with Name of Type (1: WAV, 2: MP3) for Seconds; Watch
  // (when given) runs once the recording is under way, and may end it.
  // Returns what the page showed meanwhile.
  TWatch Record(const std::string& Name, int Type, int Seconds,
                const std::function<void()>& Watch = nullptr) {
    TMainForm& F = *Form;
    TWatch W;
    const auto L1 = QObject::connect(F.IndicatedProgressBar, &QProgressBar::valueChanged,
                                     [&](int V) { W.HighestLevel = std::max(W.HighestLevel, V); });
    const auto L2 =
        QObject::connect(F.RecorderProgressBar, &QProgressBar::valueChanged, [&](int V) {
          W.HighestProgress = std::max(W.HighestProgress, V);
          W.ProgressShown.insert(V);
        });
    F.RecordTime->setValue(Seconds);
    TFileDialogRequest R;
    R.FileName = QString::fromStdString(Dir.Path(Name));
    R.FilterIndex = Type;
    Dialogs->SaveAnswers.push_back(R);
    F.Record_Btn->click();
    EXPECT_NE(F.RecorderSink(), nullptr);
    W.MicHeard = MicHeard();
    W.ModulesDuring = Modules();
    if (Watch) Watch();
    EXPECT_TRUE(RunUntil([&] { return !F.RecorderSink(); }, 60000)) << "the recording never ended";
    QObject::disconnect(L1);
    QObject::disconnect(L2);
    return W;
  }

  // The tone in the middle second of a recording of Frames frames.
  static void ExpectTone(const std::vector<int16_t>& S, const char* What) {
    const size_t Frames = S.size() / 2;
    ASSERT_GE(Frames, 66150u) << What;
    const TToneFit Fit = MeasureTone(S, Frames / 2 - 22050, 44100);
    EXPECT_NEAR(Fit.Frequency, kToneHz, 10) << What;
    EXPECT_NEAR(Fit.RmsDb, SineDb(kToneAmplitude), 1.0) << What;
  }

  // The end of every recording: the page idle, the microphone muted again,
  // nothing of the sound lost on the way.
  void ExpectEnded() {
    TMainForm& F = *Form;
    EXPECT_TRUE(F.Record_Btn->isEnabled());
    EXPECT_TRUE(F.RecorderProgressBar->isHidden());
    EXPECT_EQ(F.RecorderProgressBar->value(), 0);
    EXPECT_FALSE(MicHeard());
    EXPECT_EQ(F.Recorder_AudioIn->DroppedBytes(), 0u);
    EXPECT_EQ(Dialogs->Messages, QStringList({QStringLiteral("Recording done!")}));
  }

  // The sound server, with a playback queue long enough that a busy machine
  // does not leave gaps in the tone the microphone hears.
  TPulseSoundCard Card{std::string(), 250};
  TempDir Dir;
  std::string ModulesBefore;
  TOwned<TMemorySource> Tone;
  TOwned<TAudioOut> Player;
  app_testing::TFakeDialogs* Dialogs = nullptr;
  std::unique_ptr<TAppDataModule> Data;
  std::unique_ptr<TMainForm> Form;
};

}  // namespace

TEST_F(RecorderPulse, AWavRecordingHoldsTheMicrophonesToneAtItsLevel) {
  TMainForm& F = *Form;
  // A choice left from elsewhere: the speaker's own mix. The microphone is
  // heard there silently (volume 0), so recording the mix would give silence.
  Card.SetRecordingSelection(kSpeaker + ".monitor");
  F.RecorderMicOutputVolumeBar->setValue(0);
  const char* Shots = std::getenv("VELMORA_SHOT_DIR");
  const TWatch W = Record("tone", 1, 2, [&] {
    // Mid-recording: the level bar up and the progress under way.
    EXPECT_TRUE(RunUntil([&] {
      return F.IndicatedProgressBar->value() > 0 && F.RecorderProgressBar->value() >= 30;
    }));
    if (Shots) F.grab().save(QStringLiteral("%1/recorder.png").arg(QLatin1String(Shots)));
  });
  EXPECT_TRUE(W.MicHeard);
  EXPECT_EQ(W.ModulesDuring, ModulesBefore) << "the microphone is heard through no server module";
  EXPECT_GT(W.HighestLevel, 0);
  // The bar moved step by step (how far it got before the end is the
  // event loop's business: the end hides it whatever it showed last).
  EXPECT_GE(W.HighestProgress, 30);
  EXPECT_GE(W.ProgressShown.size(), 3u);
  ExpectEnded();
  int Ch = 0, Rate = 0;
  const std::vector<int16_t> S = ReadPcm16Wav(Dir.Path("tone.wav"), &Ch, &Rate);
  EXPECT_EQ(Ch, 2);
  EXPECT_EQ(Rate, 44100);
  // 352800 bytes end inside the 22nd block.
  EXPECT_EQ(S.size() * 2, 22u * 16384);
  ExpectTone(S, "tone.wav");
}

TEST_F(RecorderPulse, AnMp3RecordingHoldsTheToneAndTheRecorderTags) {
  const bool Ffmpeg = HaveTool("ffmpeg");
  if (!Ffmpeg && !HaveTool("madplay")) GTEST_SKIP() << "ffmpeg or madplay is needed";
  const TWatch W = Record("tone", 2, 2);
  EXPECT_TRUE(W.MicHeard);
  EXPECT_GT(W.HighestLevel, 0);
  ExpectEnded();
  const std::string Mp3 = Dir.Path("tone.mp3"), Wav = Dir.Path("decoded.wav");
  ASSERT_TRUE(fs::exists(Mp3));
  const std::string Decode =
      Ffmpeg ? "ffmpeg -v error -y -i " + Quote(Mp3) + " -c:a pcm_s16le " + Quote(Wav)
             : "madplay -Q -o wave:" + Quote(Wav) + " " + Quote(Mp3);
  std::string Err;
  ASSERT_EQ(testing_support::Run(Decode, nullptr, &Err), 0) << Err;
  int Ch = 0, Rate = 0;
  const std::vector<int16_t> S = ReadPcm16Wav(Wav, &Ch, &Rate);
  EXPECT_EQ(Ch, 2);
  EXPECT_EQ(Rate, 44100);
  ExpectTone(S, "the decoded MP3");
  const std::vector<uint8_t> B = ReadFileBytes(Mp3);
  ASSERT_GT(B.size(), 128u);
  const std::string Tag(B.end() - 128, B.end());
  EXPECT_EQ(Tag.substr(0, 3), "TAG");
  EXPECT_EQ(Tag.substr(3, 14), std::string("Recorded mp3.\0", 14));
  EXPECT_EQ(Tag.substr(33, 8), std::string("Velmora\0", 8));
  EXPECT_EQ(Tag.substr(63, 8), std::string("Unknown\0", 8));
  EXPECT_EQ(Tag.substr(97, 21), std::string("Recorded by Velmora!\0", 21));
}

TEST_F(RecorderPulse, AbortAfterAboutASecondGivesAValidShorterFile) {
  TMainForm& F = *Form;
  const TWatch W = Record("cut", 1, 30, [&] {
    ASSERT_TRUE(RunUntil([&] { return F.Recorder_AudioIn->Position() >= 176400; }));
    F.Abort_Btn->click();
  });
  EXPECT_TRUE(W.MicHeard);
  ExpectEnded();
  const std::vector<uint8_t> B = ReadFileBytes(Dir.Path("cut.wav"));
  const std::vector<int16_t> S = ReadPcm16Wav(Dir.Path("cut.wav"));
  // The header tells the length on disk; about a second, well short of 30.
  EXPECT_EQ(B.size(), 44 + S.size() * 2);
  EXPECT_GE(S.size() * 2, 176400u);
  EXPECT_LT(S.size() * 2, 5u * 176400);
}
