// Page 7, Recorder: the microphone into a WAV or MP3 file for a set time.
#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cmath>

#include "app/AudioFns.h"
#include "app/EventMarshal.h"
#include "app/IniSettings.h"
#include "app/MainForm.h"
#include "app/PathSelector.h"

namespace {

// The level bar shows the first of the meter's bands, 0 to 25.
constexpr int kLevelMaximum = 25;
constexpr int kTimerInterval = 100;
// The save dialog's two types; the first is WAV.
constexpr const char* kRecordFilter = "Wave file|*.wav|Mp3 file|*.mp3";
// How long closing the window waits for a recording it stopped to finish
// its file: longer than the capture source waits for a silent device.
constexpr std::chrono::milliseconds kCloseWait{15000};

std::string Utf8(const QString& S) { return S.toUtf8().toStdString(); }
QString FromUtf8(const std::string& S) {
  return QString::fromUtf8(S.data(), static_cast<int>(S.size()));
}

// The tags of every MP3 the Recorder makes (the track is left as it is).
void SetRecordedMp3Tags(TMP3Out* Out) {
  Out->Id3TagTitle = "Recorded mp3.";
  Out->Id3TagArtist = "Velmora";
  Out->Id3TagAlbum = "Unknown";
  Out->Id3TagYear = "Unknown";
  Out->Id3TagComment = "Recorded by Velmora!";
}

}  // namespace

void TMainForm::BuildRecorderPage() {
  RecorderTabSheet = new QWidget(PageControl);
  RecorderTabSheet->setObjectName(QStringLiteral("RecorderTabSheet"));
  PageControl->addTab(RecorderTabSheet, QStringLiteral("Recorder"));
  QWidget* Sheet = RecorderTabSheet;
  auto* Page = new QVBoxLayout(Sheet);

  auto* Top = new QHBoxLayout;
  QLabel* DurationLabel = MakeLabel(QStringLiteral("Duration (seconds)"), Sheet);
  RecordTime = new QSpinBox(Sheet);
  RecordTime->setObjectName(QStringLiteral("RecordTime"));
  RecordTime->setRange(1, 3600);
  RecordTime->setValue(30);
  RecordTime->setAccessibleName(DurationLabel->text());
  DurationLabel->setBuddy(RecordTime);
  Record_Btn = new QPushButton(QStringLiteral("&Record"), Sheet);
  Record_Btn->setObjectName(QStringLiteral("Record_Btn"));
  Record_Btn->setAccessibleName(Record_Btn->text());
  Abort_Btn = new QPushButton(QStringLiteral("&Abort"), Sheet);
  Abort_Btn->setObjectName(QStringLiteral("Abort_Btn"));
  Abort_Btn->setAccessibleName(Abort_Btn->text());
  Top->addWidget(DurationLabel);
  Top->addWidget(RecordTime);
  Top->addSpacing(16);
  Top->addWidget(Record_Btn);
  Top->addWidget(Abort_Btn);
  Top->addStretch(1);
  Page->addLayout(Top);

  auto* Grid = new QGridLayout;
  Grid->setColumnStretch(1, 1);
  QLabel* LevelLabel = MakeLabel(QStringLiteral("Sound indicator"), Sheet);
  IndicatedProgressBar = new QProgressBar(Sheet);
  IndicatedProgressBar->setObjectName(QStringLiteral("IndicatedProgressBar"));
  IndicatedProgressBar->setRange(0, kLevelMaximum);
  IndicatedProgressBar->setValue(0);
  IndicatedProgressBar->setTextVisible(false);
  IndicatedProgressBar->setAccessibleName(LevelLabel->text());
  Grid->addWidget(LevelLabel, 0, 0);
  Grid->addWidget(IndicatedProgressBar, 0, 1);
  const struct {
    const char* Label;
    const char* Name;
    const char* Hint;
    QSlider** Bar;
  } Sliders[] = {
      {"Mic output volume", "RecorderMicOutputVolumeBar", "Set the mic volume what you heard.",
       &RecorderMicOutputVolumeBar},
      {"Mic recording volume", "RecorderMicRecordVolumeBar", "Set the mic recording volume.",
       &RecorderMicRecordVolumeBar},
  };
  int Row = 1;
  for (const auto& S : Sliders) {
    QLabel* Label = MakeLabel(QLatin1String(S.Label), Sheet);
    QSlider* Bar = MakeSlider(S.Name, 100, Sheet);
    Bar->setToolTip(QLatin1String(S.Hint));
    Bar->setAccessibleName(Label->text());
    Label->setBuddy(Bar);
    *S.Bar = Bar;
    Grid->addWidget(Label, Row, 0);
    Grid->addWidget(Bar, Row++, 1);
  }
  Page->addLayout(Grid);
  Page->addStretch(1);
  RecorderProgressBar = MakeJobProgressBar("RecorderProgressBar", Sheet);
  Page->addWidget(RecorderProgressBar);

  Timer = new QTimer(this);
  Timer->setObjectName(QStringLiteral("Timer"));
  Timer->setInterval(kTimerInterval);
}

void TMainForm::CreateRecorderComponents() {
  Recorder_AudioIn = Make<TAudioIn>("Recorder_AudioIn");
  Recorder_AudioIn->SetBaseChannel(-1);  // device 0 once the first showing finds a mixer
  Recorder_AudioIn->SetInBitsPerSample(16);
  Recorder_AudioIn->SetInChannels(2);
  Recorder_AudioIn->SetInSampleRate(44100);
  Recorder_AudioIn->SetRecTime(30);
  SoundIndicator = Make<TSoundIndicator>("SoundIndicator");
  SoundIndicator->SetInput(Recorder_AudioIn);
  Recorder_WavOut = MakeWavOut("Recorder_WavOut", SoundIndicator, true);
  Recorder_Mp3Out = MakeMp3Out("Recorder_Mp3Out", SoundIndicator, true);

  // Events: raised on the workers, handled here on the window's thread.
  for (TACSOutput* Sink : std::initializer_list<TACSOutput*>{Recorder_WavOut, Recorder_Mp3Out}) {
    Sink->OnProgress = QueuedProgress(
        this, [Sink] { return Sink->Progress(); },
        [this](TComponent* S, int P) { RecorderWaveOutProgress(S, P); });
    Sink->OnDone = QueuedEvent(this, [this](TComponent* S) { RecorderWaveOutDone(S); });
  }
  Recorder_WavOut->OnThreadException = QueuedException(
      this, [this](TComponent* S, const std::string& M) { Recorder_WavOutThreadException(S, M); });
  Recorder_Mp3Out->OnThreadException = QueuedException(
      this, [this](TComponent* S, const std::string& M) { Recorder_Mp3OutThreadException(S, M); });
  FRecorderJob.Bar = RecorderProgressBar;
  FRecorderJob.Locked = {Record_Btn};
  FRecorderJob.Title = QStringLiteral("Recording");
  connect(Record_Btn, &QPushButton::clicked, this, &TMainForm::ExecuteRecord);
  connect(Abort_Btn, &QPushButton::clicked, this, &TMainForm::AbortRecord);

  connect(Timer, &QTimer::timeout, this, &TMainForm::TimerTimer);
  Timer->start();
}

void TMainForm::TimerTimer() {
  double Levels[TSoundIndicator::kBands];
  SoundIndicator->GetValues(Levels);
  // A bar ignores a value beyond its range, so loud input is held at the top.
  const long Level = std::lround(Levels[0]);
  IndicatedProgressBar->setValue(static_cast<int>(std::clamp<long>(Level, 0, kLevelMaximum)));
}

// ---------------------------------------------------------------- recording

TMixerLineIndices TMainForm::RecorderMicLines() const {
  TMixerLineIndices L;
  L.MicOutput = MicOutputLineIndex;
  L.MicRecord = MicRecordLineIndex;
  L.StereoMix = StereoMixLineIndex;
  return L;
}

void TMainForm::ExecuteRecord() {
  if (FRecorderSink) return;  // one recording at a time (the button is off meanwhile)
  SaveDialog.FileName.clear();
  SaveDialog.Filter = QLatin1String(kRecordFilter);
  if (!SaveDialog.Execute(Record_Btn->objectName())) return;
  const bool Wave = SaveDialog.FilterIndex == 1;
  // The lock that counts is that of the file the recording replaces: the
  // name with its extension.
  const std::string Name =
      Utf8(WithExtension(SaveDialog.FileName, QLatin1String(Wave ? ".wav" : ".mp3")));
  if (IsFileLocked(Name)) {
    ShowMessage(
        QStringLiteral("Output file locked by the other programme, please unlock it first!"));
    return;
  }
  TACSFileOut* Sink = Wave ? static_cast<TACSFileOut*>(Recorder_WavOut) : Recorder_Mp3Out;
  FRecorderSink = Sink;
  // From the routing on, any failure ends the recording through the same
  // steps as its normal end: the microphone is never left playing on the
  // speakers.
  try {
    ApplyWaveSettings(Recorder_AudioIn);
    RouteMicrophone(*AudioMixer, RecorderMicLines(), RecorderMicOutputVolumeBar->value(),
                    RecorderMicRecordVolumeBar->value());
    Recorder_AudioIn->SetRecTime(RecordTime->value());
    JobStarted(FRecorderJob, QString());
    Sink->SetFileName(Name);
    if (!Wave) {
      SetRecordedMp3Tags(Recorder_Mp3Out);
      ApplyMp3Settings(Recorder_Mp3Out);
    }
    Sink->Run();
  } catch (const std::exception& E) {
    ShowMessage(QStringLiteral("Runtime error: ") + FromUtf8(E.what()));
    // Nothing was recorded: Run raises only before the capture starts.
    EndRecording(false);
  }
}

void TMainForm::AbortRecord() {
  // The sink finishes the file and ends through its completion.
  if (FRecorderSink) FRecorderSink->Stop();
}

void TMainForm::RecorderWaveOutProgress(TComponent* Sender, int Percent) {
  if (Sender == FRecorderSink) JobProgress(FRecorderJob, Percent);
}

void TMainForm::RecorderWaveOutDone(TComponent* Sender) {
  // Nothing to do for a recording that closing the window has ended.
  if (!FRecorderSink || (Sender && Sender != FRecorderSink)) return;
  EndRecording(true);
}

void TMainForm::Recorder_WavOutThreadException(TComponent* Sender, const std::string& Message) {
  if (!FRecorderSink || Sender != FRecorderSink) return;
  ShowMessage(QStringLiteral("Runtime error: ") + FromUtf8(Message));
  RecorderWaveOutDone(Sender);
}

void TMainForm::Recorder_Mp3OutThreadException(TComponent* Sender, const std::string& Message) {
  Recorder_WavOutThreadException(Sender, Message);
}

void TMainForm::EndRecording(bool Recorded) {
  FRecorderSink = nullptr;
  QString MuteFailure;
  try {
    EndMicrophoneRouting(*AudioMixer, RecorderMicLines());
  } catch (const std::exception& E) {
    MuteFailure = FromUtf8(E.what());
  }
  JobFinished(FRecorderJob);
  if (!MuteFailure.isEmpty()) ShowMessage(QStringLiteral("Runtime error: ") + MuteFailure);
  // Sound the recording could not take in time is missing from the file;
  // the user hears of it rather than finding a shorter file.
  const uint64_t Lost = Recorded ? Recorder_AudioIn->DroppedBytes() : 0;
  const int64_t PerSecond = int64_t{Recorder_AudioIn->InSampleRate()} *
                            Recorder_AudioIn->InChannels() * Recorder_AudioIn->InBitsPerSample() /
                            8;
  if (Lost > 0 && PerSecond > 0)
    ShowMessage(QStringLiteral("%1 seconds of sound are missing from the recording: it could not "
                               "be written as fast as it came in.")
                    .arg(static_cast<double>(Lost) / static_cast<double>(PerSecond), 0, 'f', 2));
  ShowMessage(QStringLiteral("Recording done!"));
}

void TMainForm::EndRecordingForClose() {
  TACSFileOut* Sink = FRecorderSink;
  if (!Sink) return;
  // Its completion, already queued or still to come, finds the page idle.
  FRecorderSink = nullptr;
  Sink->Stop();
  // The worker finishes the file, header and all, before the completion.
  Sink->WaitForEnd(kCloseWait);
  try {
    EndMicrophoneRouting(*AudioMixer, RecorderMicLines());
  } catch (const std::exception&) {
    // The window is going: there is nobody left to tell, and the mixer's
    // loopback ends with the program.
  }
  JobFinished(FRecorderJob);
}
