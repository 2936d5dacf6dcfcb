// The Recorder page on the in-process sound system, with a system mixer whose
// lines carry real controls: the save dialog's two types and their
// extensions, the lock test on the file that is really replaced, the routing
// of the microphone before a recording and its undoing after every kind of
// end (done, aborted, failed to route, device gone, full disk, window
// closed), and sound lost on the way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>

#include "platform/Streams.h"
#include "tests/app/support/AppTestSupport.h"

namespace fs = std::filesystem;
using app_testing::TFileHolder;
using testing_support::ReadFileBytes;

namespace {

// ---------------------------------------------------------------- a mixer with controls

// What the mixer's controls hold, shared by the service and its devices.
struct TMixerState {
  TMixerLineNames Lines = {{"Microphone"}, {"Stereo Mix", "Microphone"}};
  std::map<uint32_t, std::vector<int32_t>> Values;  // set values, by control id
  uint32_t FailingControl = 0;                      // setting it raises; 0 = none
  int Sets = 0;                                     // values set so far

  // Source line Source of Destination (-1: the destination line) and one of
  // its controls.
  static uint32_t ControlId(uint32_t Destination, int Source, TMixerControlKind Kind) {
    return (Destination * 100 + static_cast<uint32_t>(Source + 1)) * 10 +
           static_cast<uint32_t>(Kind) + 1;
  }
  // The value a control was last set to; -1 when it never was.
  int32_t Value(uint32_t Destination, int Source, TMixerControlKind Kind) const {
    auto It = Values.find(ControlId(Destination, Source, Kind));
    return It == Values.end() || It->second.empty() ? -1 : It->second[0];
  }
  // The source line the recording destination's selector chose; -1 when it
  // was never set.
  int Selected() const {
    auto It = Values.find(ControlId(1, -1, TMixerControlKind::Select));
    if (It == Values.end()) return -1;
    const auto& V = It->second;
    for (size_t K = 0; K < V.size(); ++K)
      if (V[K]) return static_cast<int>(V.size() - 1 - K);
    return -1;
  }
};

constexpr int32_t kFaderMax = 65535;

// Every source line has a volume fader and a mute switch; the recording
// destination has a selector over its source lines.
class TControlMixerDevice : public TMixerDevice {
 public:
  explicit TControlMixerDevice(std::shared_ptr<TMixerState> S) : FS(std::move(S)) {}
  uint32_t DestinationCount() override { return static_cast<uint32_t>(FS->Lines.size()); }
  uint32_t GetLineInfo(uint32_t Destination, int32_t Source, TMixerLineInfo& Info) override {
    if (Destination >= FS->Lines.size()) return kMixerInvalidLine;
    const auto& Sources = FS->Lines[Destination];
    Info = TMixerLineInfo();
    Info.Destination = Destination;
    Info.Source = Source;
    Info.Channels = 2;
    Info.LineId = Destination * 100 + static_cast<uint32_t>(Source + 1);
    if (Source < 0) {
      Info.Name = Destination == 0 ? "Playback" : "Recording";
      Info.Connections = static_cast<uint32_t>(Sources.size());
      return kMixerNoError;
    }
    if (static_cast<size_t>(Source) >= Sources.size()) return kMixerInvalidLine;
    Info.Name = Sources[static_cast<size_t>(Source)];
    return kMixerNoError;
  }
  uint32_t GetLineControl(uint32_t LineId, TMixerControlKind Kind, TMixerControl& C) override {
    const uint32_t Destination = LineId / 100;
    const int Source = static_cast<int>(LineId % 100) - 1;
    const bool Selector = Source < 0 && Destination == 1;
    if (Source < 0 ? !(Selector && Kind == TMixerControlKind::Select)
                   : Kind == TMixerControlKind::Select)
      return kMixerInvalidControl;
    C = TMixerControl();
    C.Id = TMixerState::ControlId(Destination, Source, Kind);
    C.Kind = Kind;
    if (Kind == TMixerControlKind::Volume) C.Maximum = kFaderMax;
    if (Kind == TMixerControlKind::Mute) C.Maximum = 1;
    if (Selector) C.Items = static_cast<uint32_t>(FS->Lines[1].size());
    return kMixerNoError;
  }
  uint32_t SetControlValues(uint32_t Id, const std::vector<int32_t>& Values) override {
    if (Id == FS->FailingControl) throw std::runtime_error("the mixer broke down");
    FS->Values[Id] = Values;
    ++FS->Sets;
    return kMixerNoError;
  }
  uint32_t GetControlValues(uint32_t Id, std::vector<int32_t>& Values) override {
    Values = FS->Values[Id];
    if (Values.empty()) Values = {0};
    return kMixerNoError;
  }

 private:
  std::shared_ptr<TMixerState> FS;
};

class TControlMixer : public TMixerService {
 public:
  std::shared_ptr<TMixerState> State = std::make_shared<TMixerState>();
  uint32_t DeviceCount() override { return 1; }
  uint32_t GetDeviceCaps(uint32_t Device, std::string& Name, uint32_t& Destinations) override {
    if (Device != 0) return kMixerBadDevice;
    Name = "Card mixer";
    Destinations = static_cast<uint32_t>(State->Lines.size());
    return kMixerNoError;
  }
  uint32_t Open(uint32_t Device, TMixerNotify, std::unique_ptr<TMixerDevice>& Opened) override {
    if (Device != 0) return kMixerBadDevice;
    Opened = std::make_unique<TControlMixerDevice>(State);
    return kMixerNoError;
  }
};

// ---------------------------------------------------------------- helpers

uint32_t Le32(const std::vector<uint8_t>& B, size_t At) {
  return B[At] | B[At + 1] << 8 | B[At + 2] << 16 | static_cast<uint32_t>(B[At + 3]) << 24;
}

// The samples of a PCM WAV file whose 44-byte header tells its true sizes;
// fails the test otherwise.
std::vector<uint8_t> TrueWavData(const std::string& Name) {
  const std::vector<uint8_t> B = ReadFileBytes(Name);
  EXPECT_GE(B.size(), 44u) << Name;
  if (B.size() < 44) return {};
  EXPECT_EQ(std::string(B.begin(), B.begin() + 4), "RIFF");
  EXPECT_EQ(Le32(B, 4), B.size() - 8) << "RIFF size of " << Name;
  EXPECT_EQ(Le32(B, 40), B.size() - 44) << "data size of " << Name;
  return std::vector<uint8_t>(B.begin() + 44, B.end());
}

bool IsPattern(const std::vector<uint8_t>& D) {
  for (size_t I = 0; I < D.size(); ++I)
    if (D[I] != TVirtualSoundCard::PatternByte(I)) return false;
  return true;
}

class RecorderPage : public app_testing::WindowTest {
 protected:
  RecorderPage() { UseMixerService(&Mixer); }
  ~RecorderPage() override {
    // The window's mixer reads this test's service until the window goes.
    if (Window) {
      Window->close();
      Window.reset();
    }
  }

  TMixerState& M() { return *Mixer.State; }

  // The window shown on the Recorder page.
  TMainForm& RecorderForm() {
    TMainForm& F = ShownForm();
    F.PageControl->setCurrentWidget(F.RecorderTabSheet);
    Settle();
    return F;
  }

  // Lets the window's events run until Condition holds, at most Ms.
  static bool RunUntil(const std::function<bool()>& Condition, int Ms = 30000) {
    QElapsedTimer T;
    T.start();
    while (!Condition()) {
      if (T.elapsed() > Ms) return false;
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
  }

  // Clicks "Record" and answers the save dialog with Name and the type
  // (1: WAV, 2: MP3).
  void ClickRecord(const std::string& Name, int Type) {
    TFileDialogRequest R;
    R.FileName = QString::fromStdString(Name);
    R.FilterIndex = Type;
    Dialogs->SaveAnswers.push_back(R);
    Window->Record_Btn->click();
  }

  // Waits until the page is idle again.
  ::testing::AssertionResult WaitForIdle() {
    TMainForm& F = *Window;
    if (!RunUntil([&] { return !F.RecorderSink() && F.Record_Btn->isEnabled(); }))
      return ::testing::AssertionFailure() << "the recording did not end";
    Settle();  // late events, if any, get their turn too
    return ::testing::AssertionSuccess();
  }

  // Records Seconds into Name of Type and waits for the end.
  void Record(const std::string& Name, int Type, int Seconds = 1) {
    Window->RecordTime->setValue(Seconds);
    ClickRecord(Name, Type);
    ASSERT_TRUE(WaitForIdle());
  }

  void ExpectIdle() {
    TMainForm& F = *Window;
    EXPECT_TRUE(F.Record_Btn->isEnabled());
    EXPECT_TRUE(F.RecorderProgressBar->isHidden());
    EXPECT_EQ(F.RecorderProgressBar->value(), 0);
    EXPECT_EQ(F.RecorderSink(), nullptr);
    EXPECT_FALSE(F.Recorder_WavOut->Busy());
    EXPECT_FALSE(F.Recorder_Mp3Out->Busy());
    EXPECT_FALSE(F.Recorder_AudioIn->Busy());
  }

  // The microphone's playback line: muted (1), heard (0), never set (-1).
  int MicPlaybackMute() const { return Mixer.State->Value(0, 0, TMixerControlKind::Mute); }

  TControlMixer Mixer;
};

const QString kDone = QStringLiteral("Recording done!");

}  // namespace

// ---------------------------------------------------------------- names and types

TEST_F(RecorderPage, TheSaveDialogsTypeDecidesTheFormatAndTheExtension) {
  TMainForm& F = RecorderForm();
  Record(Dir.Path("take"), 1);
  EXPECT_TRUE(fs::exists(Dir.Path("take.wav")));
  ASSERT_EQ(Dialogs->SaveAsked.size(), 1u);
  EXPECT_EQ(Dialogs->SaveAsked[0].Filter, QStringLiteral("Wave file|*.wav|Mp3 file|*.mp3"));
  EXPECT_TRUE(Dialogs->SaveAsked[0].FileName.isEmpty());
  Record(Dir.Path("LOUD.WAV"), 1);
  EXPECT_TRUE(fs::exists(Dir.Path("LOUD.WAV")));
  EXPECT_FALSE(fs::exists(Dir.Path("LOUD.WAV.wav")));
  Record(Dir.Path("odd.mp3"), 1);
  EXPECT_TRUE(fs::exists(Dir.Path("odd.mp3.wav")));
  EXPECT_FALSE(fs::exists(Dir.Path("odd.mp3")));
  Record(Dir.Path("song"), 2);
  ASSERT_TRUE(fs::exists(Dir.Path("song.mp3")));
  // Every recording said so, and nothing else was said.
  EXPECT_EQ(Dialogs->Messages, QStringList({kDone, kDone, kDone, kDone}));
  ExpectIdle();
  // An MP3 frame first, the recorder's tags last.
  const std::vector<uint8_t> Mp3 = ReadFileBytes(Dir.Path("song.mp3"));
  ASSERT_GT(Mp3.size(), 128u);
  EXPECT_EQ(Mp3[0], 0xFF);
  const std::string Tag(Mp3.end() - 128, Mp3.end());
  EXPECT_EQ(Tag.substr(0, 3), "TAG");
  EXPECT_EQ(Tag.substr(3, 13), "Recorded mp3.");
  EXPECT_EQ(Tag.substr(33, 7), "Velmora");
  EXPECT_EQ(Tag.substr(63, 7), "Unknown");
  // The year "Unknown" is no number: the tag's year stays blank.
  EXPECT_EQ(Window->Recorder_Mp3Out->Id3TagYear, "Unknown");
  EXPECT_EQ(Tag.substr(93, 4), std::string(4, '\0'));
  EXPECT_EQ(Tag.substr(97, 20), "Recorded by Velmora!");
  // A WAV recording holds what the device recorded, and the header says how much.
  EXPECT_TRUE(IsPattern(TrueWavData(Dir.Path("take.wav"))));
  // Recording leaves the status line to the page control.
  EXPECT_EQ(F.StatusText(), QStringLiteral("Recorder:Record you voice to mp3/wav file."));
}

TEST_F(RecorderPage, ADurationOfOneSecondEndsAtTheFirstBlockPastIt) {
  RecorderForm();
  Record(Dir.Path("one"), 1, 1);
  const std::vector<uint8_t> D = TrueWavData(Dir.Path("one.wav"));
  // 176400 bytes lie inside the eleventh block of 16384.
  EXPECT_EQ(D.size(), 11u * 16384);
  EXPECT_TRUE(IsPattern(D));
}

TEST_F(RecorderPage, TheLockThatCountsIsThatOfTheFileWithItsExtension) {
  RecorderForm();
  testing_support::WriteFileBytes(Dir.Path("take.wav"), {1, 2, 3});
  {
    TFileHolder Holder(Dir.Path("take.wav"));
    ASSERT_TRUE(Holder.Opened());
    ClickRecord(Dir.Path("take"), 1);  // "take" itself is free
    Settle();
    EXPECT_EQ(Dialogs->Messages,
              QStringList({QStringLiteral(
                  "Output file locked by the other programme, please unlock it first!")}));
    EXPECT_EQ(M().Sets, 0) << "nothing may be routed for a refused recording";
    EXPECT_EQ(ReadFileBytes(Dir.Path("take.wav")), std::vector<uint8_t>({1, 2, 3}));
    ExpectIdle();
  }
  // A locked file of the name as typed does not stop a recording into the
  // name with its extension.
  testing_support::WriteFileBytes(Dir.Path("mine"), {4});
  TFileHolder Holder(Dir.Path("mine"));
  ASSERT_TRUE(Holder.Opened());
  Dialogs->Messages.clear();
  Record(Dir.Path("mine"), 1);
  EXPECT_EQ(Dialogs->Messages, QStringList({kDone}));
  EXPECT_GT(ReadFileBytes(Dir.Path("mine.wav")).size(), 44u);
}

TEST_F(RecorderPage, CancellingTheSaveDialogStartsNothing) {
  TMainForm& F = RecorderForm();
  F.Record_Btn->click();  // no answer queued: cancelled
  Settle();
  EXPECT_EQ(Dialogs->SaveAsked.size(), 1u);
  EXPECT_TRUE(Dialogs->Messages.isEmpty());
  EXPECT_EQ(M().Sets, 0);
  ExpectIdle();
}

// ---------------------------------------------------------------- routing

TEST_F(RecorderPage, TheMicrophoneIsRoutedWhileItRecordsAndMutedAgainAfterAnAbort) {
  TMainForm& F = RecorderForm();
  ASSERT_EQ(F.MicOutputLineIndex, 0);
  ASSERT_EQ(F.MicRecordLineIndex, 1);
  F.RecorderMicOutputVolumeBar->setValue(40);
  F.RecorderMicRecordVolumeBar->setValue(70);
  // What the sliders did as they moved is forgotten: the recording sets
  // both volumes itself.
  M().Values.clear();
  Card.SetSpeed(4);
  F.RecordTime->setValue(30);
  int HighestLevel = 0, HighestProgress = 0;
  QObject::connect(F.IndicatedProgressBar, &QProgressBar::valueChanged,
                   [&](int V) { HighestLevel = std::max(HighestLevel, V); });
  QObject::connect(F.RecorderProgressBar, &QProgressBar::valueChanged,
                   [&](int V) { HighestProgress = std::max(HighestProgress, V); });
  ClickRecord(Dir.Path("aborted"), 1);
  ASSERT_NE(F.RecorderSink(), nullptr);
  EXPECT_FALSE(F.Record_Btn->isEnabled());
  EXPECT_FALSE(F.RecorderProgressBar->isHidden());
  EXPECT_EQ(MicPlaybackMute(), 0);  // heard on the speakers
  EXPECT_EQ(M().Selected(), 1);     // the microphone, not the stereo mix
  EXPECT_EQ(M().Value(0, 0, TMixerControlKind::Volume), MulDiv(kFaderMax, 40, 100));
  EXPECT_EQ(M().Value(1, 1, TMixerControlKind::Volume), MulDiv(kFaderMax, 70, 100));
  EXPECT_EQ(M().Value(1, 0, TMixerControlKind::Volume), -1);  // the stereo mix is left alone
  ASSERT_TRUE(RunUntil([&] { return HighestProgress >= 2 && HighestLevel > 0; }))
      << HighestProgress << " " << HighestLevel;
  F.Abort_Btn->click();
  ASSERT_TRUE(WaitForIdle());
  ExpectIdle();
  EXPECT_EQ(MicPlaybackMute(), 1);
  EXPECT_EQ(Dialogs->Messages, QStringList({kDone}));
  // A shorter recording, whole and true.
  const std::vector<uint8_t> D = TrueWavData(Dir.Path("aborted.wav"));
  EXPECT_GT(D.size(), 30u * 176400 / 100);
  EXPECT_LT(D.size(), 30u * 176400);
  EXPECT_TRUE(IsPattern(D));
}

TEST_F(RecorderPage, AbortWhileNothingRecordsDoesNothing) {
  TMainForm& F = RecorderForm();
  F.Abort_Btn->click();
  Settle();
  Record(Dir.Path("short"), 1);
  const int Sets = M().Sets;
  F.Abort_Btn->click();
  Settle();
  EXPECT_EQ(Dialogs->Messages, QStringList({kDone}));
  EXPECT_EQ(M().Sets, Sets);
  ExpectIdle();
}

TEST_F(RecorderPage, TheMicrophoneIsChosenForRecordingEvenWithoutAPlaybackLine) {
  M().Lines = {{"Speakers"}, {"Stereo Mix", "Microphone"}};
  // A stale choice from elsewhere.
  M().Values[TMixerState::ControlId(1, -1, TMixerControlKind::Select)] = {0, 1};
  TMainForm& F = RecorderForm();
  ASSERT_EQ(F.MicOutputLineIndex, -1);
  ASSERT_EQ(M().Selected(), 0);
  Record(Dir.Path("selected"), 1);
  EXPECT_EQ(M().Selected(), 1);
  EXPECT_EQ(MicPlaybackMute(), -1);  // no playback line: nothing muted or un-muted
  EXPECT_EQ(Dialogs->Messages, QStringList({kDone}));
}

TEST_F(RecorderPage, WithoutMicrophoneLinesTheRecordingGoesAheadUntouched) {
  M().Lines = {{"Speakers"}, {"Stereo Mix"}};
  TMainForm& F = RecorderForm();
  ASSERT_EQ(F.MicOutputLineIndex, -1);
  ASSERT_EQ(F.MicRecordLineIndex, -1);
  Record(Dir.Path("plain"), 1);
  EXPECT_EQ(M().Sets, 0);
  EXPECT_EQ(TrueWavData(Dir.Path("plain.wav")).size(), 11u * 16384);
  EXPECT_EQ(Dialogs->Messages, QStringList({kDone}));
}

TEST_F(RecorderPage, AFailingRoutingStepEndsTheRecordingWithTheMicrophoneMutedAgain) {
  // Un-muting works, choosing the source does not: the microphone would be
  // left playing on the speakers if the end steps did not run.
  M().FailingControl = TMixerState::ControlId(1, -1, TMixerControlKind::Select);
  RecorderForm();
  Record(Dir.Path("never"), 1);
  EXPECT_EQ(Dialogs->Messages,
            QStringList({QStringLiteral("Runtime error: the mixer broke down"), kDone}));
  EXPECT_EQ(MicPlaybackMute(), 1);
  EXPECT_FALSE(fs::exists(Dir.Path("never.wav")));
  ExpectIdle();
  // The page works again once the mixer does.
  M().FailingControl = 0;
  Dialogs->Messages.clear();
  Record(Dir.Path("again"), 1);
  EXPECT_EQ(Dialogs->Messages, QStringList({kDone}));
  EXPECT_TRUE(fs::exists(Dir.Path("again.wav")));
}

// ---------------------------------------------------------------- failures and losses

TEST_F(RecorderPage, AMicrophoneThatGoesAwayEndsWithItsReasonAndAFileOfWhatItRecorded) {
  Card.SetCaptureFailAfter(100000);
  RecorderForm();
  Record(Dir.Path("gone"), 1, 5);
  EXPECT_EQ(
      Dialogs->Messages,
      QStringList({QStringLiteral("Runtime error: The virtual device was unplugged"), kDone}));
  const std::vector<uint8_t> D = TrueWavData(Dir.Path("gone.wav"));
  EXPECT_EQ(D.size(), 100000u);
  EXPECT_TRUE(IsPattern(D));
  EXPECT_EQ(MicPlaybackMute(), 1);
  ExpectIdle();
}

TEST_F(RecorderPage, AFullDiskEndsWithItsReasonAndAFileWhoseHeaderTellsTheTruth) {
  const std::string Small = Dir.Path("small");
  fs::create_directory(Small);
  if (::mount("velmora-test", Small.c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  struct TUnmount {
    std::string Dir;
    ~TUnmount() { ::umount2(Dir.c_str(), MNT_DETACH); }
  } Unmount{Small};
  RecorderForm();
  Record(Small + "/full", 1, 5);  // 882000 bytes into 256 KiB
  ASSERT_EQ(Dialogs->Messages.size(), 2);
  EXPECT_TRUE(Dialogs->Messages[0].startsWith(QStringLiteral("Runtime error: ")));
  EXPECT_TRUE(Dialogs->Messages[0].contains(QStringLiteral("No space left on device")))
      << Dialogs->Messages[0].toStdString();
  EXPECT_EQ(Dialogs->Messages[1], kDone);
  const std::vector<uint8_t> D = TrueWavData(Small + "/full.wav");
  EXPECT_GT(D.size(), 100000u);
  EXPECT_TRUE(IsPattern(D));
  EXPECT_FALSE(fs::exists(PartFileName(Small + "/full.wav")));
  EXPECT_EQ(MicPlaybackMute(), 1);
  ExpectIdle();
}

TEST_F(RecorderPage, SoundThatFoundNoRoomIsReportedBeforeTheEnd) {
  Card.SetRealTimeCapture(true);
  Card.SetSpeed(2);                   // the two seconds of queued blocks last one second
  Card.SetCaptureLoss(88200, 44100);  // a quarter of a second
  RecorderForm();
  Record(Dir.Path("gap"), 1, 1);
  EXPECT_EQ(Dialogs->Messages,
            QStringList({QStringLiteral("0.25 seconds of sound are missing from the recording: it "
                                        "could not be written as fast as it came in."),
                         kDone}));
  EXPECT_EQ(Window->Recorder_AudioIn->DroppedBytes(), 44100u);
  // A clean recording afterwards says nothing of the kind.
  Card.SetCaptureLoss(-1, 0);
  Dialogs->Messages.clear();
  Record(Dir.Path("clean"), 1, 1);
  EXPECT_EQ(Dialogs->Messages, QStringList({kDone}));
}

TEST_F(RecorderPage, ClosingTheWindowDuringARecordingFinishesTheFileAndMutesTheMicrophone) {
  TMainForm& F = RecorderForm();
  Card.SetSpeed(2);
  F.RecordTime->setValue(60);
  ClickRecord(Dir.Path("closed"), 2);
  ASSERT_NE(F.RecorderSink(), nullptr);
  EXPECT_EQ(MicPlaybackMute(), 0);
  ASSERT_TRUE(RunUntil([&] { return F.Recorder_AudioIn->Position() > 100000; }));
  F.close();
  // Closing returned with the recording over and the microphone muted.
  EXPECT_EQ(MicPlaybackMute(), 1);
  EXPECT_FALSE(F.Recorder_Mp3Out->Busy());
  EXPECT_FALSE(F.Recorder_AudioIn->Busy());
  EXPECT_EQ(F.RecorderSink(), nullptr);
  Settle();
  // The recording's own end, arriving late, tells a closed window nothing.
  EXPECT_TRUE(Dialogs->Messages.isEmpty())
      << Dialogs->Messages.join(QLatin1Char('|')).toStdString();
  const std::vector<uint8_t> Mp3 = ReadFileBytes(Dir.Path("closed.mp3"));
  ASSERT_GT(Mp3.size(), 128u);
  EXPECT_EQ(std::string(Mp3.end() - 128, Mp3.end() - 125), "TAG");
  EXPECT_FALSE(fs::exists(PartFileName(Dir.Path("closed.mp3"))));
}
