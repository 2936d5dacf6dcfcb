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
#include <cmath>

#include "app/MainForm.h"
#include "app/PathSelector.h"

namespace {

// The level bar shows the first of the meter's bands, 0 to 25.
constexpr int kLevelMaximum = 25;
constexpr int kTimerInterval = 100;

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
  Record_Btn = new QPushButton(QStringLiteral("Record"), Sheet);
  Record_Btn->setObjectName(QStringLiteral("Record_Btn"));
  Abort_Btn = new QPushButton(QStringLiteral("Abort"), Sheet);
  Abort_Btn->setObjectName(QStringLiteral("Abort_Btn"));
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
