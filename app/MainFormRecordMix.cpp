// Page 8, Record--Mix: the voice recorded over a background song, then the
// two mixed into one file (or the sound card's own mix recorded directly).
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "app/MainForm.h"
#include "app/PathSelector.h"

namespace {

// The level bar shows the first of the meter's bands, 0 to 25.
constexpr int kLevelMaximum = 25;
constexpr int kTimerInterval = 100;

}  // namespace

void TMainForm::BuildRecordMixPage() {
  RecordMixTabSheet = new QWidget(PageControl);
  RecordMixTabSheet->setObjectName(QStringLiteral("RecordMixTabSheet"));
  PageControl->addTab(RecordMixTabSheet, QStringLiteral("Record--Mix"));
  QWidget* Sheet = RecordMixTabSheet;
  auto* Page = new QVBoxLayout(Sheet);
  auto* Columns = new QHBoxLayout;
  Page->addLayout(Columns, 1);

  // Left: the files, the options, the mode and the buttons.
  auto* Left = new QVBoxLayout;
  Columns->addLayout(Left, 3);
  const struct {
    const char* Label;
    const char* Name;
    TPathSelector** Box;
  } Paths[] = {
      {"Select background music", "RecordMix_SourceAudioPathSelector",
       &RecordMix_SourceAudioPathSelector},
      {"Select output audio", "RecordMix_OutputAudioPathSelector",
       &RecordMix_OutputAudioPathSelector},
      {"Select bg music lyric", "RecordMix_LyricPathSelector", &RecordMix_LyricPathSelector},
  };
  for (const auto& P : Paths) {
    QLabel* Label = MakeLabel(QLatin1String(P.Label), Sheet);
    TPathSelector* Box = MakePathSelector(P.Name, Label->text(), Sheet);
    Label->setBuddy(Box);
    *P.Box = Box;
    Left->addWidget(Label);
    Left->addWidget(Box);
  }
  RecordMix_LyricPathSelector->SetReadOnly(false);  // the lyric path may be typed

  PlaySourceAudioCheckBox =
      new QCheckBox(QStringLiteral("Play the background music when recording"), Sheet);
  PlaySourceAudioCheckBox->setObjectName(QStringLiteral("PlaySourceAudioCheckBox"));
  PlaySourceAudioCheckBox->setChecked(true);
  PlayAudioAfterMixedCK =
      new QCheckBox(QStringLiteral("Play the mixing audio after finished"), Sheet);
  PlayAudioAfterMixedCK->setObjectName(QStringLiteral("PlayAudioAfterMixedCK"));
  Left->addWidget(PlaySourceAudioCheckBox);
  Left->addWidget(PlayAudioAfterMixedCK);

  QGroupBox* Mode = MakeGroup(QString(), Sheet);
  Mode->setAccessibleName(QStringLiteral("Recording mode"));
  auto* ModeColumn = new QVBoxLayout(Mode);
  ModeColumn->setContentsMargins(6, 2, 6, 2);
  MixAfterRecRadioButton = new QRadioButton(
      QStringLiteral("Mix after recorded mode(Slow but high audio quality)"), Mode);
  MixAfterRecRadioButton->setObjectName(QStringLiteral("MixAfterRecRadioButton"));
  MixAfterRecRadioButton->setChecked(true);
  StereoMixRadioButton =
      new QRadioButton(QStringLiteral("Stereo Mix mode(Fast but low audio quality)"), Mode);
  StereoMixRadioButton->setObjectName(QStringLiteral("StereoMixRadioButton"));
  ModeColumn->addWidget(MixAfterRecRadioButton);
  ModeColumn->addWidget(StereoMixRadioButton);
  Left->addWidget(Mode);

  auto* Buttons = new QHBoxLayout;
  RecordMix_StartBtn = new QPushButton(QStringLiteral("Start"), Sheet);
  RecordMix_StartBtn->setObjectName(QStringLiteral("RecordMix_StartBtn"));
  RecordMix_StopBtn = new QPushButton(QStringLiteral("Finish"), Sheet);
  RecordMix_StopBtn->setObjectName(QStringLiteral("RecordMix_StopBtn"));
  RecordMix_StopBtn->setEnabled(false);
  RecordMix_CancelBtn = new QPushButton(QStringLiteral("Cancel"), Sheet);
  RecordMix_CancelBtn->setObjectName(QStringLiteral("RecordMix_CancelBtn"));
  RecordMix_CancelBtn->setEnabled(false);
  Buttons->addWidget(RecordMix_StartBtn);
  Buttons->addWidget(RecordMix_StopBtn);
  Buttons->addWidget(RecordMix_CancelBtn);
  Buttons->addStretch(1);
  Left->addLayout(Buttons);

  auto* Times = new QHBoxLayout;
  RecordLengthLabel = MakeLabel(QStringLiteral("Recording length:"), Sheet);
  RecordLengthLabel->setObjectName(QStringLiteral("RecordLengthLabel"));
  TimeElapsedLabel = MakeLabel(QStringLiteral("0"), Sheet);
  TimeElapsedLabel->setObjectName(QStringLiteral("TimeElapsedLabel"));
  AudioLengthLabel = MakeLabel(QStringLiteral("Audio length"), Sheet);
  AudioLengthLabel->setObjectName(QStringLiteral("AudioLengthLabel"));
  for (QLabel* L : {RecordLengthLabel, TimeElapsedLabel, AudioLengthLabel}) {
    QSizePolicy P = L->sizePolicy();
    P.setRetainSizeWhenHidden(true);
    L->setSizePolicy(P);
    L->hide();
  }
  Times->addWidget(RecordLengthLabel);
  Times->addWidget(TimeElapsedLabel);
  Times->addStretch(1);
  Times->addWidget(AudioLengthLabel);
  Left->addLayout(Times);
  Left->addStretch(1);

  // Right: the four volumes, and the level bar standing beside them.
  QGroupBox* Volumes = MakeGroup(QStringLiteral("Recorded and Mixed settings"), Sheet);
  auto* Grid = new QGridLayout(Volumes);
  const struct {
    const char* Label;
    const char* Name;
    const char* Hint;
    int Max;
    QSlider** Bar;
  } Sliders[] = {
      {"Background music volume", "BackgroundVolumeBar",
       "Set the audio volume at final mixing audio.", 255, &BackgroundVolumeBar},
      {"Mic volume", "MicOutputVolumeBar", "Set the mic volume what you heard.", 100,
       &MicOutputVolumeBar},
      {"Mic recording volume", "MicRecordVolumeBar", "Set the mic recording volume.", 100,
       &MicRecordVolumeBar},
      {"Stereo Mix volume", "StereoMixVolumeBar", "Set the mixing audio volume.", 100,
       &StereoMixVolumeBar},
  };
  int Row = 0;
  for (const auto& S : Sliders) {
    QLabel* Label = MakeLabel(QLatin1String(S.Label), Volumes);
    QSlider* Bar = MakeSlider(S.Name, S.Max, Volumes);
    Bar->setToolTip(QLatin1String(S.Hint));
    Bar->setAccessibleName(Label->text());
    Label->setBuddy(Bar);
    *S.Bar = Bar;
    Grid->addWidget(Label, Row++, 0);
    Grid->addWidget(Bar, Row++, 0);
  }
  auto* LevelColumn = new QVBoxLayout;
  IndicatedProgressBar2 = new QProgressBar(Volumes);
  IndicatedProgressBar2->setObjectName(QStringLiteral("IndicatedProgressBar2"));
  IndicatedProgressBar2->setOrientation(Qt::Vertical);
  IndicatedProgressBar2->setRange(0, kLevelMaximum);
  IndicatedProgressBar2->setValue(0);
  IndicatedProgressBar2->setTextVisible(false);
  QLabel* LevelLabel = MakeLabel(QStringLiteral("Sound indicator"), Volumes);
  LevelLabel->setWordWrap(true);
  LevelLabel->setAlignment(Qt::AlignHCenter);
  IndicatedProgressBar2->setAccessibleName(LevelLabel->text());
  LevelColumn->addWidget(IndicatedProgressBar2, 1, Qt::AlignHCenter);
  LevelColumn->addWidget(LevelLabel);
  Grid->addLayout(LevelColumn, 0, 1, Row, 1);
  Grid->setColumnStretch(0, 1);
  Columns->addWidget(Volumes, 2);

  RecordMixProgressBar = MakeJobProgressBar("RecordMixProgressBar", Sheet);
  Page->addWidget(RecordMixProgressBar);

  Timer2 = new QTimer(this);
  Timer2->setObjectName(QStringLiteral("Timer2"));
  Timer2->setInterval(kTimerInterval);
}

void TMainForm::CreateRecordMixComponents() {
  RecordMix_AudioIn = Make<TAudioIn>("RecordMix_AudioIn");
  RecordMix_AudioIn->SetBaseChannel(-1);  // device 0 once the first showing finds a mixer
  RecordMix_AudioIn->SetInBitsPerSample(16);
  RecordMix_AudioIn->SetInChannels(2);
  RecordMix_AudioIn->SetInSampleRate(44100);
  RecordMix_AudioIn->SetRecTime(0);
  SoundIndicator2 = Make<TSoundIndicator>("SoundIndicator2");
  SoundIndicator2->SetInput(RecordMix_AudioIn);
  RecordMix_WavOut = MakeWavOut("RecordMix_WavOut", SoundIndicator2, false);
  RecordMix_Mp3Out = MakeMp3Out("RecordMix_Mp3Out", SoundIndicator2, false);

  RecordMix_SourceWavIn = Make<TWaveIn>("RecordMix_SourceWavIn");
  RecordMix_RecordedWavIn = Make<TWaveIn>("RecordMix_RecordedWavIn");
  // The two-input mixer of the mixing stage feeds both of these.
  RecordMix_WavOut2 = MakeWavOut("RecordMix_WavOut2", nullptr, false);
  RecordMix_Mp3Out2 = MakeMp3Out("RecordMix_Mp3Out2", nullptr, false);
  RecordMix_MP3ToWav = Make<TMP3ToWav>("RecordMix_MP3ToWav");
}
