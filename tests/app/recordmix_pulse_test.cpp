// The Record--Mix page against the private sound server (scripts/pulse.sh):
// the background song (a 440 Hz tone) plays through the player library while
// the virtual microphone hears a 1 kHz tone; the page records, decodes and
// mixes through its own controls. The mix must hold both tones at their
// levels, the page must pass through the states and messages it promises,
// and every end (finished, cancelled, failed) must leave it idle with the
// player, the timer, the lyric window and the microphone's playback stopped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>

#include "app/AppDataModule.h"
#include "app/MainForm.h"
#include "app/PathSelector.h"
#include "engine/ACS_Audio.h"
#include "platform/DeviceVolumes.h"
#include "platform/PulseSoundCard.h"
#include "platform/SoundCard.h"
#include "tests/app/support/AppTestSupport.h"
#include "tests/app/support/WebEngineTest.h"
#include "tests/support/TestServerDevices.h"
#include "tests/support/ToneMeasure.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

constexpr double kVoiceHz = 1000;
constexpr double kVoiceAmplitude = 0.5;
constexpr double kSongAmplitude = 0.5;

bool RunUntil(const std::function<bool()>& Condition, int Ms = 30000) {
  QElapsedTimer T;
  T.start();
  while (!Condition()) {
    if (T.elapsed() > Ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

class RecordMixPulse : public ::testing::Test {
 protected:
  void SetUp() override {
    UseSoundCard(&Card);
    const auto Capture = Card.CaptureDevices();
    const auto Playback = Card.PlaybackDevices();
    if (FindDevice(Capture, kMic) < 0 || FindDevice(Playback, kFeed) < 0 || !HaveTool("sox") ||
        !HaveTool("paplay"))
      GTEST_SKIP() << "no test sound server answers, or sox is missing (start one with: source "
                      "scripts/pulse.sh; pulse_start)";
    // The singer: a 1 kHz tone into the microphone for the whole test, from
    // another program (the background slider sets the level of this
    // program's own playback streams).
    ASSERT_EQ(testing_support::Run("sox -n -r 44100 -c 2 -b 16 " + Quote(Dir.Path("voice.wav")) +
                                   " synth 40 sine 1000 vol " + std::to_string(kVoiceAmplitude)),
              0);
    SingerPid = ::fork();
    if (SingerPid == 0) {
      const std::string Device = "--device=" + kFeed, File = Dir.Path("voice.wav");
      ::execlp("paplay", "paplay", Device.c_str(), File.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // Its own stream, not another program's, must be on the server.
    const std::string Tag = "application.process.id = \"" + std::to_string(SingerPid) + "\"";
    ASSERT_TRUE(RunUntil([&] {
      std::string Out;
      testing_support::Run("pactl list sink-inputs", &Out);
      return Out.find(Tag) != std::string::npos;
    })) << "the tone does not play";
    ASSERT_EQ(testing_support::Run("sox -n -r 44100 -c 2 -b 16 " + Quote(Song()) +
                                   " synth 4 sine 440 vol " + std::to_string(kSongAmplitude)),
              0);
  }

  void MakeForm(const std::string& ProgramFolder = BinDir() + "/") {
    auto D = std::make_unique<app_testing::TFakeDialogs>();
    Dialogs = D.get();
    Data = std::make_unique<TAppDataModule>(std::move(D));
    TMainForm::TSetup S;
    S.ProgramFolder = ProgramFolder;
    S.SettingsPath = Dir.Path("Settings.ini");
    S.WorkFolder = Dir.Dir() + "/";
    S.Languages = nullptr;
    Form = std::make_unique<TMainForm>(S);
    Form->show();
    Form->PageControl->setCurrentWidget(Form->RecordMixTabSheet);
    QApplication::processEvents();
    QObject::connect(Form.get(), &TMainForm::StatusChanged,
                     [this](const QString& T) { Statuses << T; });
    ASSERT_GE(Form->MicOutputLineIndex, 0);
    ASSERT_GE(Form->StereoMixLineIndex, 0);
  }

  void TearDown() override {
    if (Form) {
      Form->close();
      Form.reset();
    }
    Data.reset();
    if (SingerPid > 0) {
      ::kill(SingerPid, SIGTERM);
      ::waitpid(SingerPid, nullptr, 0);
    }
    UseSoundCard(nullptr);
    testing_support::Run("pactl set-source-volume " + kMic + " 100%");
    testing_support::Run("pactl set-sink-volume " + kSpeaker + " 100%");
    SetOutputVolume(TOutputKind::Wave, 0, 0xFFFFFFFFu);
  }

  std::string Song() const { return Dir.Path("song.wav"); }

  // Chooses the song and the output (Type 1: WAV, 2: MP3) through the
  // page's dialogs.
  void Choose(const std::string& SongFile, const std::string& Output, int Type = 1) {
    TFileDialogRequest R;
    R.FileName = QString::fromStdString(SongFile);
    R.FilterIndex = 1;
    Dialogs->OpenAnswers.push_back(R);
    Form->RecordMix_SourceAudioPathSelector->BrowseClicked();
    TFileDialogRequest W;
    W.FileName = QString::fromStdString(Output);
    W.FilterIndex = Type;
    Dialogs->SaveAnswers.push_back(W);
    Form->RecordMix_OutputAudioPathSelector->BrowseClicked();
  }

  // Start, then Finish once Seconds have been recorded; During runs while
  // recording. Returns once the page is idle again.
  void RecordFor(double Seconds, const std::function<void()>& During = nullptr) {
    TMainForm& F = *Form;
    F.RecordMix_StartBtn->click();
    ASSERT_EQ(F.RecordMixState(), TMainForm::rmRecording)
        << Dialogs->Messages.join("|").toStdString();
    EXPECT_FALSE(F.RecordMix_StartBtn->isEnabled());
    EXPECT_TRUE(F.RecordMix_StopBtn->isEnabled());
    EXPECT_TRUE(F.Timer2->isActive());
    EXPECT_TRUE(MicHeard());
    // Seconds of the song as heard: the song reaches the recording later
    // than the recording started, by the player's start (seconds on a
    // loaded machine) and the server's latencies.
    TAudioIn& In = *F.RecordMix_AudioIn;
    const double PerSecond = In.InSampleRate() * In.InChannels() * In.InBitsPerSample() / 8.0;
    TKaraokeLatency Heard;
    EXPECT_TRUE(RunUntil([&] {
      Heard.Sample();
      if (!Heard.Measured()) return false;
      SongAfter = std::max<double>(static_cast<double>(Heard.OffsetUs()) / 1e6, 0);
      return static_cast<double>(In.Position()) >= (Seconds + SongAfter) * PerSecond;
    }));
    if (During) During();
    F.RecordMix_StopBtn->click();
    EXPECT_TRUE(RunUntil([&] { return F.RecordMixState() == TMainForm::rmIdle; }, 60000));
    ExpectUndone();
  }

  // The microphone's playback line is on.
  bool MicHeard() {
    TAudioMixer2* M = Form->AudioMixer;
    M->SetDestinationID(0);
    TAudioMixerLine* L = M->Lines(Form->MicOutputLineIndex);
    return L && !L->Mute();
  }

  // Everything a run started is undone and the page is idle.
  void ExpectUndone() {
    TMainForm& F = *Form;
    EXPECT_EQ(F.RecordMixState(), TMainForm::rmIdle);
    EXPECT_TRUE(F.RecordMix_StartBtn->isEnabled());
    EXPECT_FALSE(F.RecordMix_StopBtn->isEnabled());
    EXPECT_FALSE(F.RecordMix_CancelBtn->isEnabled());
    EXPECT_TRUE(F.RecordMix_SourceAudioPathSelector->isEnabled());
    EXPECT_FALSE(F.Timer2->isActive());
    EXPECT_TRUE(F.RecordMixProgressBar->isHidden());
    EXPECT_TRUE(F.TimeElapsedLabel->isHidden());
    EXPECT_FALSE(F.RecordMixLyric.IsOpen());
    EXPECT_FALSE(MicHeard());
    EXPECT_EQ(F.StatusText(),
              QStringLiteral("Record--Mix:Mix you voice and the other audio to one."));
    // The working files are free for the next run.
    TWorkFileLock L;
    EXPECT_TRUE(L.Acquire(F.RecordMixWorkFiles()));
  }

  // Song and voice in the middle of a mix: the song at Volume/255/2 of its
  // level, the voice at half of its own.
  void ExpectMix(const std::string& Out, int Volume) {
    const double Song = BandRms(Out, 0.5, 1.0, 340, 540);
    const double Voice = BandRms(Out, 0.5, 1.0, 900, 1100);
    const std::string Shift =
        "; the voice was moved " + std::to_string(Form->RecordMixVoiceShiftFrames) +
        " frames earlier, after " + std::to_string(Form->RecordMixLatency.Readings()) + " readings";
    EXPECT_NEAR(Db(Song), SineDb(kSongAmplitude * Volume / 255.0 / 2), 1.0) << Out;
    EXPECT_NEAR(Db(Voice), SineDb(kVoiceAmplitude / 2), 1.0) << Out << Shift;
  }

  TPulseSoundCard Card{std::string(), 250};
  // How long after the recording's start the song was heard in the last
  // RecordFor.
  double SongAfter = 0;
  TempDir Dir;
  pid_t SingerPid = -1;
  app_testing::TFakeDialogs* Dialogs = nullptr;
  std::unique_ptr<TAppDataModule> Data;
  std::unique_ptr<TMainForm> Form;
  QStringList Statuses;
};

}  // namespace

TEST_F(RecordMixPulse, AWavSongIsMixedWithTheVoiceAtTheSlidersLevels) {
  MakeForm();
  TMainForm& F = *Form;
  const std::string Out = Dir.Path("take.wav");
  Choose(Song(), Dir.Path("take"));
  EXPECT_EQ(F.AudioLengthLabel->text(), QStringLiteral("Audio length: 0:04"));
  F.BackgroundVolumeBar->setValue(128);
  const char* Shots = std::getenv("VELMORA_SHOT_DIR");
  if (Shots)
    QObject::connect(&F, &TMainForm::StatusChanged, [&F, Shots](const QString& T) {
      if (T == QStringLiteral("Record done, mixing..."))
        F.grab().save(QStringLiteral("%1/recordmix-mixing.png").arg(QLatin1String(Shots)));
    });
  int Level = 0;
  QString Elapsed;
  double Recorded = 0;
  RecordFor(2.0, [&] {
    EXPECT_TRUE(RunUntil([&] { return F.IndicatedProgressBar2->value() > 0; }));
    Level = F.IndicatedProgressBar2->value();
    Elapsed = F.TimeElapsedLabel->text();
    Recorded = static_cast<double>(F.RecordMix_AudioIn->Position()) / (44100 * 4);
    if (Shots)
      F.grab().save(QStringLiteral("%1/recordmix-recording.png").arg(QLatin1String(Shots)));
  });
  EXPECT_GT(Level, 0);
  // The time recorded, "m:ss" in whole seconds, a timer's tick behind.
  const QStringList Near = {QString::asprintf("0:%02ld", std::lround(Recorded - 0.2)),
                            QString::asprintf("0:%02ld", std::lround(Recorded))};
  EXPECT_TRUE(Near.contains(Elapsed)) << Elapsed.toStdString() << " after " << Recorded << " s";
  EXPECT_EQ(Statuses,
            QStringList({QStringLiteral("Recording..."), QStringLiteral("Record done, mixing..."),
                         QStringLiteral("Record--Mix:Mix you voice and the other audio to one.")}));
  EXPECT_EQ(Dialogs->Messages, QStringList({QStringLiteral("Mixing done!")}));
  ASSERT_TRUE(fs::exists(Out));
  // The song is longer than the take: the mix lasts as long as the song.
  EXPECT_NEAR(SoxSeconds(Out), 4.0, 0.05);
  ExpectMix(Out, 128);
  EXPECT_TRUE(F.RecordMixLatency.Measured());
}

TEST_F(RecordMixPulse, AnMp3SongIsDecodedFreshAndAVoiceInLowSettingsKeepsItsPitch) {
  if (!HaveTool("lame")) GTEST_SKIP() << "lame is needed";
  ASSERT_EQ(testing_support::Run("lame --quiet -b 192 " + Quote(Song()) + " " +
                                 Quote(Dir.Path("song.mp3"))),
            0);
  // The capture settings a user may have chosen for the Recorder, and what
  // an earlier run left as the decoded song.
  testing_support::Run("printf '[Wave]\\nSampleRate=22050\\nBitsPerSample=8\\nChannels=1\\n' > " +
                       Quote(Dir.Path("Settings.ini")));
  const std::vector<int16_t> Noise = MakeSignal16(44100 * 6, 2, 44100, 0.9);
  WritePcmWav(Dir.Path("TEMP_CONVERT_WAVE.wav"), Noise.data(), Noise.size() * 2, 2, 44100, 16);
  MakeForm();
  const std::string Out = Dir.Path("take.wav");
  Choose(Dir.Path("song.mp3"), Out);
  RecordFor(2.0);
  EXPECT_EQ(
      Statuses,
      QStringList({QStringLiteral("Recording..."), QStringLiteral("Record done, preparing..."),
                   QStringLiteral("Data prepared, now mixing..."),
                   QStringLiteral("Record--Mix:Mix you voice and the other audio to one.")}));
  EXPECT_EQ(Dialogs->Messages, QStringList({QStringLiteral("Mixing done!")}));
  EXPECT_TRUE(fs::exists(Dir.Path("TEMP_CONVERT_WAVE.wav")));
  // The decoded song (about 4 s and an encoder's padding), not the 6 s left
  // there before.
  EXPECT_LT(SoxSeconds(Out), 4.2);
  // A voice recorded at 22 kHz and mixed as 44 kHz would sit an octave
  // low; 8-bit capture would bury it in noise.
  ExpectMix(Out, 255);
}

TEST_F(RecordMixPulse, CancelLeavesNoMixNoMessageAndStaysCancelled) {
  MakeForm();
  TMainForm& F = *Form;
  const std::string Out = Dir.Path("take.wav");
  Choose(Song(), Out);
  F.RecordMix_StartBtn->click();
  ASSERT_EQ(F.RecordMixState(), TMainForm::rmRecording);
  EXPECT_TRUE(RunUntil([&] { return F.RecordMix_AudioIn->Position() >= 44100 * 4; }));
  F.RecordMix_CancelBtn->click();
  ExpectUndone();
  // Whatever the stopped recording still had queued finds the run gone.
  QElapsedTimer T;
  T.start();
  while (T.elapsed() < 500) QApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_EQ(F.RecordMixState(), TMainForm::rmIdle);
  EXPECT_FALSE(fs::exists(Out));
  EXPECT_TRUE(Dialogs->Messages.isEmpty()) << Dialogs->Messages.join("|").toStdString();
  EXPECT_TRUE(fs::file_size(Dir.Path("TEMP_RECORD_WAVE.wav")) > 44);
  ExpectUndone();
}

TEST_F(RecordMixPulse, StereoMixModeRecordsSongAndHeardVoiceIntoTheOutput) {
  MakeForm();
  TMainForm& F = *Form;
  const std::string Out = Dir.Path("live.wav");
  Choose(Song(), Out);
  F.StereoMixRadioButton->setChecked(true);
  RecordFor(2.0);
  EXPECT_EQ(Dialogs->Messages, QStringList({QStringLiteral("Mixing done!")}));
  EXPECT_EQ(Statuses.first(), QStringLiteral("Recording..."));
  EXPECT_FALSE(Statuses.contains(QStringLiteral("Record done, mixing...")));
  ASSERT_TRUE(fs::exists(Out));
  // Both what the song plays and the monitored microphone, as the card
  // mixed them, from where the song was heard on.
  EXPECT_GT(Db(BandRms(Out, SongAfter + 0.5, 0.8, 340, 540)), -20) << SongAfter;
  EXPECT_GT(Db(BandRms(Out, SongAfter + 0.5, 0.8, 900, 1100)), -20) << SongAfter;
}

TEST_F(RecordMixPulse, APlayerThatCannotStartUndoesTheRunWithItsErrorAlone) {
  // A program folder without the player library.
  MakeForm(Dir.Dir() + "/");
  TMainForm& F = *Form;
  Choose(Song(), Dir.Path("take.wav"));
  F.RecordMix_StartBtn->click();
  ASSERT_EQ(Dialogs->Messages.size(), 1);
  EXPECT_TRUE(Dialogs->Messages[0].startsWith(QStringLiteral("Runtime error: ")))
      << Dialogs->Messages[0].toStdString();
  ExpectUndone();
  EXPECT_FALSE(fs::exists(Dir.Path("take.wav")));
}

TEST_F(RecordMixPulse, SongsThatCannotBeMixedAndBadOutputsAreRefusedBeforeRecording) {
  MakeForm();
  TMainForm& F = *Form;
  F.RecordMix_StartBtn->click();
  EXPECT_EQ(Dialogs->Messages.takeFirst(),
            QStringLiteral("Please select source wav and output wav first!"));
  WriteFileBytes(Dir.Path("broken.mp3"), std::vector<uint8_t>(4000, 0x33));
  Choose(Dir.Path("broken.mp3"), Dir.Path("take.wav"));
  EXPECT_EQ(F.AudioLengthLabel->text(), QStringLiteral("Audio length: Unknown"));
  F.RecordMix_StartBtn->click();
  EXPECT_EQ(F.RecordMixState(), TMainForm::rmIdle);
  ASSERT_EQ(Dialogs->Messages.size(), 1);
  EXPECT_TRUE(Dialogs->Messages.takeFirst().startsWith(QStringLiteral("Runtime error: ")));
  // The output may not be the song, nor a working file.
  Choose(Song(), Song());
  F.RecordMix_StartBtn->click();
  EXPECT_EQ(F.RecordMixState(), TMainForm::rmIdle);
  EXPECT_EQ(Dialogs->Messages.size(), 1);
  Dialogs->Messages.clear();
  Choose(Song(), Dir.Path("TEMP_RECORD_WAVE.wav"));
  F.RecordMix_StartBtn->click();
  EXPECT_EQ(F.RecordMixState(), TMainForm::rmIdle);
  EXPECT_EQ(Dialogs->Messages.size(), 1);
  Dialogs->Messages.clear();
  // Another window holds the working files.
  Choose(Song(), Dir.Path("take.wav"));
  {
    TWorkFileLock Other;
    ASSERT_TRUE(Other.Acquire(F.RecordMixWorkFiles()));
    F.RecordMix_StartBtn->click();
    EXPECT_EQ(F.RecordMixState(), TMainForm::rmIdle);
    EXPECT_EQ(Dialogs->Messages,
              QStringList({QStringLiteral(
                  "Input/Output file locked by the other programme, please unlock it first!")}));
  }
  EXPECT_TRUE(F.RecordMix_StartBtn->isEnabled());
  EXPECT_FALSE(MicHeard());
}

TEST_F(RecordMixPulse, TheLyricWindowShowsWhileRecordingAndClosesWithFinish) {
  MakeForm();
  TMainForm& F = *Form;
  testing_support::Run("printf '[00:00.00]first line\\n[00:01.00]second line\\n' > " +
                       Quote(Dir.Path("song.lrc")));
  Choose(Song(), Dir.Path("take.wav"));
  F.RecordMix_LyricPathSelector->SetText(QString::fromStdString(Dir.Path("song.lrc")));
  const char* Shots = std::getenv("VELMORA_SHOT_DIR");
  bool Shown = false;
  RecordFor(1.5, [&] {
    Shown = F.RecordMixLyric.IsOpen() && F.RecordMixLyric.Window()->Window()->isVisible();
    if (Shots) {
      app_testing::WaitFor([] { return false; }, 1500);  // the page renders
      F.grab().save(QStringLiteral("%1/recordmix-main.png").arg(QLatin1String(Shots)));
      if (F.RecordMixLyric.IsOpen())
        F.RecordMixLyric.Window()->Window()->grab().save(
            QStringLiteral("%1/recordmix-lyric.png").arg(QLatin1String(Shots)));
    }
  });
  EXPECT_TRUE(Shown);
  EXPECT_EQ(Dialogs->Messages, QStringList({QStringLiteral("Mixing done!")}));
}
