// The Mixer page as a user meets it: choosing the three files, the guards of
// "Mix it", the sliders acting on a mix that runs, a join, the rest of the
// window in use meanwhile, and failures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QToolButton>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "app/PathSelector.h"
#include "tests/app/support/AppTestSupport.h"
#include "tests/app/support/ConverterPanels.h"

using app_testing::WindowTest;
using testing_support::Quote;
using testing_support::ReadFileBytes;
using testing_support::ReadPcm16Wav;

namespace {

const QString kLocked =
    QStringLiteral("Input/Output file locked by the other programme, please unlock it first!");
const QString kDescription = QStringLiteral("Mixer:Mix two wav audio to one.");

// Holds a sink's worker inside its progress event (once the job has moved
// some blocks) until the test lets it go, so that the test acts on a job
// known to be running, at a known point of it.
class TProgressGate {
 public:
  ~TProgressGate() {
    if (FSink) FSink->OnProgress = Original;
  }
  // Wraps Sink's OnProgress (the window's handler still runs first) until
  // the gate goes; no job may run then.
  void Install(TACSOutput* Sink) {
    FSink = Sink;
    Original = Sink->OnProgress;
    Sink->OnProgress = [this, Sink](TComponent* S) {
      if (Original) Original(S);
      std::unique_lock<std::mutex> L(Lock);
      if (Used || Sink->Progress() < 10) return;
      Used = Held = true;
      Changed.notify_all();
      Changed.wait(L, [this] { return !Held; });
    };
  }
  bool WaitHeld() {
    std::unique_lock<std::mutex> L(Lock);
    return Changed.wait_for(L, std::chrono::seconds(30), [this] { return Held; });
  }
  void Release() {
    std::lock_guard<std::mutex> L(Lock);
    Held = false;
    Changed.notify_all();
  }

 private:
  TACSOutput* FSink = nullptr;
  TOutputProgressEvent Original;
  std::mutex Lock;
  std::condition_variable Changed;
  bool Used = false, Held = false;
};

class MixerPage : public WindowTest {
 protected:
  void SetUp() override {
    if (!testing_support::HaveTool("sox")) GTEST_SKIP() << "sox is not installed";
  }
  std::string Sox(const std::string& Name, double Seconds, const std::string& Synth) {
    const std::string Path = Dir.Path(Name);
    std::string Out;
    const std::string Cmd = "sox -R -n -r 44100 -b 16 -c 2 " + Quote(Path) + " synth " +
                            std::to_string(Seconds) + " " + Synth + " 2>&1";
    EXPECT_EQ(testing_support::Run(Cmd, &Out), 0) << Out;
    return Path;
  }
  TFileDialogRequest Answer(const std::string& Name) {
    TFileDialogRequest R;
    R.FileName = QString::fromStdString(Name);
    return R;
  }
  // Chooses the files through the page's "..." buttons, as a user does.
  void Choose(const std::string& In1, const std::string& In2, const std::string& Out) {
    TMainForm& F = *Window;
    F.PageControl->setCurrentWidget(F.SeCustomTabSheet6);
    for (const auto& [Name, Box] :
         {std::pair{In1, F.Mixer_Wav1PathSelector}, std::pair{In2, F.Mixer_Wav2PathSelector}}) {
      Dialogs->OpenAnswers.push_back(Answer(Name));
      Box->Button()->click();
    }
    Dialogs->SaveAnswers.push_back(Answer(Out));
    F.Mixer_Wav3PathSelector->Button()->click();
  }
  // Waits until the page is idle again after "Mix it".
  ::testing::AssertionResult WaitIdle() {
    TMainForm& F = *Window;
    QElapsedTimer T;
    T.start();
    while (!F.Mixer_Btn->isEnabled() && T.elapsed() < 60000)
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    Settle();
    if (!F.Mixer_Btn->isEnabled()) return ::testing::AssertionFailure() << "the mix never ended";
    return ::testing::AssertionSuccess();
  }
  void ExpectIdle() {
    TMainForm& F = *Window;
    for (QWidget* W : std::initializer_list<QWidget*>{
             F.Mixer_Wav1PathSelector, F.Mixer_Wav2PathSelector, F.Mixer_Wav3PathSelector,
             F.MixRadioButton, F.ConcRadioButton, F.Mixer_Btn})
      EXPECT_TRUE(W->isEnabled()) << W->objectName().toStdString();
    EXPECT_FALSE(F.MixerProgressBar->isVisible());
    EXPECT_EQ(F.MixerProgressBar->value(), 0);
    EXPECT_EQ(F.StatusText(), kDescription);
  }
  // The mix of two 16-bit sample vectors at the given volumes, written out.
  static std::vector<int16_t> Reference(const std::vector<int16_t>& A,
                                        const std::vector<int16_t>& B, int V1, int V2,
                                        size_t From = 0, size_t To = SIZE_MAX) {
    std::vector<int16_t> R;
    const size_t N = std::min(std::max(A.size(), B.size()), To);
    for (size_t I = From; I < N; ++I) {
      const long X = std::lrint(V1 / 255.0 * (I < A.size() ? A[I] : 0));
      const long Y = std::lrint(V2 / 255.0 * (I < B.size() ? B[I] : 0));
      R.push_back(static_cast<int16_t>((X + Y) / 2));
    }
    return R;
  }
};

TEST_F(MixerPage, ChoosingTheFilesAndTheGuardsOfMixIt) {
  TMainForm& F = ShownForm();
  F.PageControl->setCurrentWidget(F.SeCustomTabSheet6);
  F.Mixer_Btn->click();
  EXPECT_EQ(Dialogs->Messages,
            QStringList{QStringLiteral("Please select input wav and output wav first!")});
  Choose(Dir.Path("one.wav"), Dir.Path("two.wav"), Dir.Path("mixed"));
  for (const TFileDialogRequest& R :
       {Dialogs->OpenAsked.at(0), Dialogs->OpenAsked.at(1), Dialogs->SaveAsked.at(0)})
    EXPECT_EQ(R.Filter, QStringLiteral("Wave file|*.wav"));
  EXPECT_EQ(F.Mixer_WaveIn1->FileName(), Dir.Path("one.wav"));
  EXPECT_EQ(F.Mixer_WaveIn2->FileName(), Dir.Path("two.wav"));
  EXPECT_EQ(F.Mixer_WaveOut->FileName(), Dir.Path("mixed.wav"));
  EXPECT_EQ(F.Mixer_Wav3PathSelector->Text(), QString::fromStdString(Dir.Path("mixed.wav")));
  // The sliders and mode buttons write the mixer at once.
  F.VolumeBar2->setValue(17);
  EXPECT_EQ(F.Mixer_AudioMixer->Volume2(), 17);
  F.ConcRadioButton->click();
  EXPECT_EQ(F.Mixer_AudioMixer->Mode(), amConcatenate);
  F.MixRadioButton->click();
  EXPECT_EQ(F.Mixer_AudioMixer->Mode(), amMix);

  // A locked input (either) or output starts nothing.
  const std::string A = Sox("a.wav", 0.3, "sine 300"), Ro = Sox("ro.wav", 0.3, "sine 700");
  ASSERT_EQ(::chmod(Ro.c_str(), 0444), 0);
  for (const auto& [In1, In2, Out] : {std::tuple{Ro, A, Dir.Path("o.wav")},
                                      std::tuple{A, Ro, Dir.Path("o.wav")}, std::tuple{A, A, Ro}}) {
    Choose(In1, In2, Out);
    Dialogs->Messages.clear();
    F.Mixer_Btn->click();
    Settle();
    EXPECT_EQ(Dialogs->Messages, QStringList{kLocked});
    ExpectIdle();
    EXPECT_FALSE(std::filesystem::exists(Dir.Path("o.wav")));
  }
}

TEST_F(MixerPage, ASliderMovedDuringAMixChangesWhatIsMixedAfterAndNothingBefore) {
  const std::string A = Sox("a.wav", 3.0, "sine 300 pinknoise vol 0.9");
  const std::string B = Sox("b.wav", 2.0, "sine 1000 vol 0.9");
  TMainForm& F = ShownForm();
  Choose(A, B, Dir.Path("out.wav"));
  TProgressGate Gate;
  Gate.Install(F.Mixer_WaveOut);
  F.Mixer_Btn->click();
  ASSERT_TRUE(Gate.WaitHeld());
  // Only the page's start controls wait; the sliders and the other pages
  // stay in use.
  Settle();
  EXPECT_EQ(F.StatusText(), QStringLiteral("Mixing..."));
  EXPECT_TRUE(F.MixerProgressBar->isVisible());
  for (QWidget* W : std::initializer_list<QWidget*>{
           F.Mixer_Wav1PathSelector, F.Mixer_Wav2PathSelector, F.Mixer_Wav3PathSelector,
           F.MixRadioButton, F.ConcRadioButton, F.Mixer_Btn})
    EXPECT_FALSE(W->isEnabled()) << W->objectName().toStdString();
  EXPECT_TRUE(F.VolumeBar1->isEnabled() && F.VolumeBar2->isEnabled());
  EXPECT_TRUE(F.PageControl->isEnabled());
  // The worker waits between two blocks: everything before this byte was
  // mixed at the old volumes.
  const size_t Before = static_cast<size_t>(F.Mixer_AudioMixer->Position()) / 2;
  F.VolumeBar1->setValue(100);
  F.VolumeBar2->triggerAction(QAbstractSlider::SliderToMinimum);
  Gate.Release();
  ASSERT_TRUE(WaitIdle());
  const std::vector<int16_t> SA = ReadPcm16Wav(A), SB = ReadPcm16Wav(B);
  const std::vector<int16_t> Out = ReadPcm16Wav(Dir.Path("out.wav"));
  ASSERT_EQ(Out.size(), SA.size());
  ASSERT_GT(Before, 0u);
  ASSERT_LT(Before, Out.size());
  EXPECT_TRUE(std::equal(Out.begin(), Out.begin() + static_cast<long>(Before),
                         Reference(SA, SB, 255, 255, 0, Before).begin()));
  EXPECT_TRUE(std::equal(Out.begin() + static_cast<long>(Before), Out.end(),
                         Reference(SA, SB, 100, 0, Before).begin()));
  ExpectIdle();
  EXPECT_TRUE(Dialogs->Messages.isEmpty()) << Dialogs->Messages.join(' ').toStdString();
  // The next job starts at once with the same names; joining ignores the
  // volumes.
  F.ConcRadioButton->click();
  F.Mixer_Btn->click();
  ASSERT_TRUE(WaitIdle());
  ASSERT_EQ(
      testing_support::Run("sox " + Quote(A) + " " + Quote(B) + " " + Quote(Dir.Path("ref.wav"))),
      0);
  EXPECT_EQ(ReadFileBytes(Dir.Path("out.wav")), ReadFileBytes(Dir.Path("ref.wav")));
}

TEST_F(MixerPage, DuringAMixOtherPagesConvertButCannotTouchTheMixesFiles) {
  if (!testing_support::HaveTool("flac")) GTEST_SKIP() << "flac is not installed";
  const std::string A = Sox("a.wav", 3.0, "sine 300 vol 0.5");
  const std::string B = Sox("b.wav", 3.0, "sine 600 vol 0.5");
  const std::string Flac = Dir.Path("song.flac");
  ASSERT_EQ(testing_support::Run("flac -s " + Quote(B) + " -o " + Quote(Flac)), 0);
  const std::vector<uint8_t> BytesA = ReadFileBytes(A);
  TMainForm& F = ShownForm();
  Choose(A, B, Dir.Path("mix.wav"));
  TProgressGate Gate;
  Gate.Install(F.Mixer_WaveOut);
  F.Mixer_Btn->click();
  ASSERT_TRUE(Gate.WaitHeld());

  // Another page can be chosen and its job started, but not onto a file the
  // mix reads, nor onto the one it writes (which does not exist until the
  // mix ends); elsewhere the conversion runs to its end while the mix waits.
  const auto P = app_testing::ConverterPanel(F, "FlacToWav");
  F.PageControl->setCurrentIndex(P.Page);
  EXPECT_EQ(F.PageControl->currentIndex(), P.Page);
  auto Convert = [&](const std::string& Target) {
    Dialogs->OpenAnswers.push_back(Answer(Flac));
    P.Source->Button()->click();
    Dialogs->SaveAnswers.push_back(Answer(Target));
    P.Output->Button()->click();
    Dialogs->Messages.clear();
    P.Button->click();
    QElapsedTimer T;
    T.start();
    while (!F.PageControl->isEnabled() && T.elapsed() < 60000)
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    Settle();
    return Dialogs->Messages;
  };
  EXPECT_EQ(Convert(A), QStringList{kLocked});
  EXPECT_EQ(Convert(Dir.Path("mix.wav")), QStringList{kLocked});
  EXPECT_EQ(ReadFileBytes(A), BytesA);
  EXPECT_FALSE(std::filesystem::exists(Dir.Path("mix.wav")));
  EXPECT_EQ(Convert(Dir.Path("free.wav")), QStringList{});
  EXPECT_EQ(ReadPcm16Wav(Dir.Path("free.wav")), ReadPcm16Wav(B));
  EXPECT_FALSE(F.Mixer_Btn->isEnabled());  // the mix is still on

  Gate.Release();
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(ReadPcm16Wav(Dir.Path("mix.wav")),
            Reference(ReadPcm16Wav(A), ReadPcm16Wav(B), 255, 255));
  // Once it has ended its files are free again.
  EXPECT_EQ(Convert(Dir.Path("mix.wav")), QStringList{});
  EXPECT_EQ(ReadPcm16Wav(Dir.Path("mix.wav")), ReadPcm16Wav(B));
}

TEST_F(MixerPage, FailuresShowARuntimeErrorAndLeaveThePageUsable) {
  const std::string A = Sox("a.wav", 0.5, "sine 300");
  const std::string B = Sox("b.wav", 0.5, "sine 500");
  const std::string Text = Dir.Path("notes.wav");
  testing_support::WriteFileBytes(Text, std::vector<uint8_t>(5000, 'x'));
  const std::vector<uint8_t> BytesB = ReadFileBytes(B);
  TMainForm& F = ShownForm();
  const struct {
    std::string In1, In2, Out, Message;
  } Cases[] = {
      {A, B, B, "Runtime error: Input and output are the same file: " + B},
      {A, Text, Dir.Path("o.wav"),
       "Runtime error: " + Text + ": not a valid or supported WAV file"},
  };
  for (const auto& C : Cases) {
    Choose(C.In1, C.In2, C.Out);
    Dialogs->Messages.clear();
    F.Mixer_Btn->click();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Dialogs->Messages, QStringList{QString::fromStdString(C.Message)});
    ExpectIdle();
  }
  EXPECT_EQ(ReadFileBytes(B), BytesB);
  EXPECT_FALSE(std::filesystem::exists(Dir.Path("o.wav")));
}

}  // namespace
