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

#include "app/AudioFns.h"
#include "app/DropTargets.h"
#include "app/EventMarshal.h"
#include "app/MainForm.h"
#include "app/PathSelector.h"

namespace {

std::string Utf8(const QString& S) { return S.toUtf8().toStdString(); }

const char* const kMixerDescription = "Mixer:Mix two wav audio to one.";
const char* const kWaveFilter = "Wave file|*.wav";

}  // namespace

void TMainForm::BuildMixerPage() {
  SeCustomTabSheet6 = new QWidget(PageControl);
  SeCustomTabSheet6->setObjectName(QStringLiteral("SeCustomTabSheet6"));
  PageControl->addTab(SeCustomTabSheet6, QStringLiteral("Mixer"));
  QWidget* Sheet = SeCustomTabSheet6;

  auto* Drops = new TDropTargets(Sheet);
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
    // Wave files dropped on the page fill the inputs, an empty one first.
    AddPathDrop(Drops, Box, kWaveFilter, I < 2,
                [this, I](const QString& N) { FillMixerPath(I, N); });
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
  MixRadioButton = new QRadioButton(QStringLiteral("&Mix"), Mode);
  MixRadioButton->setObjectName(QStringLiteral("MixRadioButton"));
  MixRadioButton->setChecked(true);
  ConcRadioButton = new QRadioButton(QStringLiteral("&Conccatenate"), Mode);
  ConcRadioButton->setObjectName(QStringLiteral("ConcRadioButton"));
  ModeRow->addWidget(MixRadioButton);
  ModeRow->addWidget(ConcRadioButton);
  ModeRow->addStretch(1);
  Bottom->addWidget(Mode, 1);
  Mixer_Btn = new QPushButton(QStringLiteral("Mix &it"), Sheet);
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
  Mixer_AudioMixer = Make<TAudioMixer>("Mixer_AudioMixer");
  Mixer_AudioMixer->SetInput1(Mixer_WaveIn1);
  Mixer_AudioMixer->SetInput2(Mixer_WaveIn2);
  Mixer_AudioMixer->SetMode(amMix);
  Mixer_AudioMixer->SetVolume1(255);
  Mixer_AudioMixer->SetVolume2(255);
  Mixer_WaveOut = MakeWavOut("Mixer_WaveOut", Mixer_AudioMixer, true);
  Mixer_WaveOut->OnProgress = QueuedProgress(
      this, [this] { return Mixer_WaveOut->Progress(); },
      [this](TComponent* S, int P) { Mixer_WaveOutProgress(S, P); });
  Mixer_WaveOut->OnDone = QueuedEvent(this, [this](TComponent* S) { Mixer_WaveOutDone(S); });
  Mixer_WaveOut->OnThreadException = QueuedException(
      this, [this](TComponent* S, const std::string& M) { Mixer_WaveOutThreadException(S, M); });

  // While a mix runs only the page's own start controls wait; the sliders,
  // the other pages and their jobs stay usable.
  FMixerJob.Bar = MixerProgressBar;
  FMixerJob.Locked = {Mixer_Wav1PathSelector, Mixer_Wav2PathSelector, Mixer_Wav3PathSelector,
                      MixRadioButton,         ConcRadioButton,        Mixer_Btn};
  FMixerJob.Description = QLatin1String(kMixerDescription);
  FMixerJob.Title = QStringLiteral("Mixing");

  connect(Mixer_Wav1PathSelector, &TPathSelector::BrowseClicked, this,
          &TMainForm::Mixer_Wav1PathSelect);
  connect(Mixer_Wav2PathSelector, &TPathSelector::BrowseClicked, this,
          &TMainForm::Mixer_Wav2PathSelect);
  connect(Mixer_Wav3PathSelector, &TPathSelector::BrowseClicked, this,
          &TMainForm::Mixer_Wav3PathSelect);
  connect(VolumeBar1, &QSlider::valueChanged, this, &TMainForm::VolumeBar1Change);
  connect(VolumeBar2, &QSlider::valueChanged, this, &TMainForm::VolumeBar2Change);
  connect(MixRadioButton, &QRadioButton::toggled, this, [this](bool On) {
    if (On) MixRadioButtonClick();
  });
  connect(ConcRadioButton, &QRadioButton::toggled, this, [this](bool On) {
    if (On) ConcRadioButtonClick();
  });
  connect(Mixer_Btn, &QPushButton::clicked, this, &TMainForm::Mixer_Mixit);
}

// ---------------------------------------------------------------- handlers

void TMainForm::Mixer_Wav1PathSelect() {
  OpenDialog.FileName.clear();
  OpenDialog.Filter = QLatin1String(kWaveFilter);
  if (!OpenDialog.Execute(Mixer_Wav1PathSelector->objectName())) return;
  FillMixerPath(0, OpenDialog.FileName);
}

void TMainForm::Mixer_Wav2PathSelect() {
  OpenDialog.FileName.clear();
  OpenDialog.Filter = QLatin1String(kWaveFilter);
  if (!OpenDialog.Execute(Mixer_Wav2PathSelector->objectName())) return;
  FillMixerPath(1, OpenDialog.FileName);
}

void TMainForm::Mixer_Wav3PathSelect() {
  SaveDialog.FileName.clear();
  SaveDialog.Filter = QLatin1String(kWaveFilter);
  if (!SaveDialog.Execute(Mixer_Wav3PathSelector->objectName())) return;
  FillMixerPath(2, SaveDialog.FileName);
}

void TMainForm::FillMixerPath(int Box, const QString& FileName) {
  switch (Box) {
    case 0:
      Mixer_WaveIn1->SetFileName(Utf8(FileName));
      Mixer_Wav1PathSelector->SetText(FileName);
      break;
    case 1:
      Mixer_WaveIn2->SetFileName(Utf8(FileName));
      Mixer_Wav2PathSelector->SetText(FileName);
      break;
    default: {
      const QString Name = WithExtension(FileName, QStringLiteral(".wav"));
      Mixer_WaveOut->SetFileName(Utf8(Name));
      Mixer_Wav3PathSelector->SetText(Name);
    }
  }
}

void TMainForm::VolumeBar1Change() {
  Mixer_AudioMixer->SetVolume1(static_cast<uint8_t>(VolumeBar1->value()));
}

void TMainForm::VolumeBar2Change() {
  Mixer_AudioMixer->SetVolume2(static_cast<uint8_t>(VolumeBar2->value()));
}

void TMainForm::MixRadioButtonClick() { Mixer_AudioMixer->SetMode(amMix); }
void TMainForm::ConcRadioButtonClick() { Mixer_AudioMixer->SetMode(amConcatenate); }

void TMainForm::Mixer_Mixit() {
  const std::string& In1 = Mixer_WaveIn1->FileName();
  const std::string& In2 = Mixer_WaveIn2->FileName();
  const std::string& Out = Mixer_WaveOut->FileName();
  if (In1.empty() || In2.empty() || Out.empty()) {
    ShowMessage(QStringLiteral("Please select input wav and output wav first!"));
    return;
  }
  // Locked by another program, or in use by a job of this one (a conversion
  // running on another page).
  if (IsFileLocked(In1) || IsFileLocked(In2) || IsFileLocked(Out)) {
    ShowMessage(
        QStringLiteral("Input/Output file locked by the other programme, please unlock it first!"));
    return;
  }
  JobStarted(FMixerJob, QStringLiteral("Mixing..."));
  try {
    // An output that is one of the inputs, and inputs that cannot be brought
    // to one format, fail here through Mixer_WaveOutThreadException.
    Mixer_WaveOut->Run();
  } catch (const std::exception& E) {
    ShowMessage(QStringLiteral("Runtime error: ") + QString::fromUtf8(E.what()));
    Mixer_WaveOutDone(nullptr);
  }
}

void TMainForm::Mixer_WaveOutProgress(TComponent*, int Percent) { JobProgress(FMixerJob, Percent); }

void TMainForm::Mixer_WaveOutDone(TComponent*) { JobFinished(FMixerJob); }

void TMainForm::Mixer_WaveOutThreadException(TComponent*, const std::string& Message) {
  ShowMessage(QStringLiteral("Runtime error: ") + QString::fromUtf8(Message.c_str()));
  Mixer_WaveOutDone(nullptr);
}
