// Page 6: mixes two WAV files into one, or joins them.
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/MainForm.h"
#include "app/PathSelector.h"

void TMainForm::BuildMixerPage() {
  SeCustomTabSheet6 = new QWidget(PageControl);
  SeCustomTabSheet6->setObjectName(QStringLiteral("SeCustomTabSheet6"));
  PageControl->addTab(SeCustomTabSheet6, QStringLiteral("Mixer"));
  QWidget* Sheet = SeCustomTabSheet6;

  auto* Page = new QVBoxLayout(Sheet);
  auto* Grid = new QGridLayout;
  Grid->setColumnStretch(1, 1);
  Page->addLayout(Grid);
  int Row = 0;
  const std::pair<const char*, TPathSelector**> Paths[] = {
      {"Select input audio 1", &Mixer_Wav1PathSelector},
      {"Select input audio 2", &Mixer_Wav2PathSelector},
      {"Select output audio", &Mixer_Wav3PathSelector},
  };
  const char* PathNames[] = {"Mixer_Wav1PathSelector", "Mixer_Wav2PathSelector",
                             "Mixer_Wav3PathSelector"};
  for (int I = 0; I < 3; ++I) {
    QLabel* Label = MakeLabel(QLatin1String(Paths[I].first), Sheet);
    TPathSelector* Box = MakePathSelector(PathNames[I], Label->text(), Sheet);
    Label->setBuddy(Box);
    *Paths[I].second = Box;
    Grid->addWidget(Label, Row, 0);
    Grid->addWidget(Box, Row++, 1);
  }
  const std::pair<const char*, QSlider**> Volumes[] = {
      {"Audio volume 1", &VolumeBar1},
      {"Audio volume 2", &VolumeBar2},
  };
  const char* VolumeNames[] = {"VolumeBar1", "VolumeBar2"};
  for (int I = 0; I < 2; ++I) {
    QLabel* Label = MakeLabel(QLatin1String(Volumes[I].first), Sheet);
    QSlider* Bar = MakeSlider(VolumeNames[I], 255, Sheet);
    Bar->setAccessibleName(Label->text());
    Label->setBuddy(Bar);
    *Volumes[I].second = Bar;
    Grid->addWidget(Label, Row, 0);
    Grid->addWidget(Bar, Row++, 1);
  }
  QLabel* Note =
      MakeLabel(QStringLiteral("(Note:You can change the volume dynamicly when mixing)"), Sheet);
  Grid->addWidget(Note, Row++, 1);

  auto* Bottom = new QHBoxLayout;
  QGroupBox* Mode = MakeGroup(QString(), Sheet);
  Mode->setAccessibleName(QStringLiteral("Mix or join"));
  auto* ModeRow = new QHBoxLayout(Mode);
  MixRadioButton = new QRadioButton(QStringLiteral("Mix"), Mode);
  MixRadioButton->setObjectName(QStringLiteral("MixRadioButton"));
  MixRadioButton->setChecked(true);
  ConcRadioButton = new QRadioButton(QStringLiteral("Conccatenate"), Mode);
  ConcRadioButton->setObjectName(QStringLiteral("ConcRadioButton"));
  ModeRow->addWidget(MixRadioButton);
  ModeRow->addWidget(ConcRadioButton);
  ModeRow->addStretch(1);
  Bottom->addWidget(Mode, 1);
  Mixer_Btn = new QPushButton(QStringLiteral("Mix it"), Sheet);
  Mixer_Btn->setObjectName(QStringLiteral("Mixer_Btn"));
  Bottom->addWidget(Mixer_Btn, 0, Qt::AlignBottom);
  Page->addLayout(Bottom);
  Page->addStretch(1);

  MixerProgressBar = MakeJobProgressBar("MixerProgressBar", Sheet);
  Page->addWidget(MixerProgressBar);
}

void TMainForm::CreateMixerComponents() {
  Mixer_WaveIn1 = Make<TWaveIn>("Mixer_WaveIn1");
  Mixer_WaveIn2 = Make<TWaveIn>("Mixer_WaveIn2");
  // The two-input mixer (Mixer_WaveIn1 and Mixer_WaveIn2) feeds this writer.
  Mixer_WaveOut = MakeWavOut("Mixer_WaveOut", nullptr, true);
}
