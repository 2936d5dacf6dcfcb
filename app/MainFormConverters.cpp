// Pages 1 to 5: two converters per page, one per direction, each a panel with
// a source box, an output box and "Convert it", and one progress bar per page.
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/CodecParts.h"
#include "app/MainForm.h"
#include "app/PathSelector.h"

namespace {

// One converter panel: what its controls say and are called.
struct TConverterPanel {
  const char* Caption;
  const char* SourceLabel;
  const char* SourceName;
  const char* OutputLabel;
  const char* OutputName;
  const char* ButtonName;
};

}  // namespace

void TMainForm::BuildConverterPages() {
  struct TPage {
    QWidget** Sheet;
    const char* SheetName;
    const char* Caption;
    TConverterPanel Left, Right;
    TPathSelector** Selectors[4];
    QPushButton** Buttons[2];
    QProgressBar** Bar;
    const char* BarName;
  };
  const TPage Pages[] = {
      {&SeCustomTabSheet1, "SeCustomTabSheet1", "Mp3<->Wav",
       {"Mp3 to Wav", "Select source mp3", "Mp32Wav_Mp3PathSelector", "Select wav path",
        "Mp32Wav_WavPathSelector", "Mp32Wav_Btn"},
       {"Wav to Mp3", "Select source wav", "Wav2Mp3_WavPathSelector", "Select mp3 path",
        "Wav2Mp3_Mp3PathSelector", "Wav2Mp3_Btn"},
       {&Mp32Wav_Mp3PathSelector, &Mp32Wav_WavPathSelector, &Wav2Mp3_WavPathSelector,
        &Wav2Mp3_Mp3PathSelector},
       {&Mp32Wav_Btn, &Wav2Mp3_Btn}, &Mp3WavProgressBar, "Mp3WavProgressBar"},
      {&SeCustomTabSheet2, "SeCustomTabSheet2", "Mp3<->Ogg",
       {"Mp3 to Ogg", "Select source mp3", "Mp32Vob_Mp3PathSelector", "Select ogg path",
        "Mp32Vob_VobPathSelector", "Mp32Vob_Btn"},
       {"Ogg to Mp3", "Select source ogg", "Ogg2Mp3_OggPathSelector", "Select mp3 path",
        "Ogg2Mp3_Mp3PathSelector", "Ogg2Mp3_Btn"},
       {&Mp32Vob_Mp3PathSelector, &Mp32Vob_VobPathSelector, &Ogg2Mp3_OggPathSelector,
        &Ogg2Mp3_Mp3PathSelector},
       {&Mp32Vob_Btn, &Ogg2Mp3_Btn}, &Mp3OggProgressBar, "Mp3OggProgressBar"},
      {&SeCustomTabSheet3, "SeCustomTabSheet3", "Wav<->Ogg",
       {"Wav to Ogg", "Select source wav", "Wav2Ogg_WavPathSelector", "Select ogg path",
        "Wav2Ogg_OggPathSelector", "Wav2Ogg_Btn"},
       {"Ogg to Wav", "Select source ogg", "Ogg2Wav_OggPathSelector", "Select wav path",
        "Ogg2Wav_WavPathSelector", "Ogg2Wav_Btn"},
       {&Wav2Ogg_WavPathSelector, &Wav2Ogg_OggPathSelector, &Ogg2Wav_OggPathSelector,
        &Ogg2Wav_WavPathSelector},
       {&Wav2Ogg_Btn, &Ogg2Wav_Btn}, &WavOggProgressBar, "WavOggProgressBar"},
      {&SeCustomTabSheet4, "SeCustomTabSheet4", "Wav<->Flac",
       {"Wav to Flac", "Select source wav", "Wav2Flac_WavPathSelector", "Select flac path",
        "Wav2Flac_FlacPathSelector", "Wav2Flac_Btn"},
       {"Flac to Wav", "Select source flac", "Flac2Wav_FlacPathSelector", "Select wav path",
        "Flac2Wav_WavPathSelector", "Flac2Wav_Btn"},
       {&Wav2Flac_WavPathSelector, &Wav2Flac_FlacPathSelector, &Flac2Wav_FlacPathSelector,
        &Flac2Wav_WavPathSelector},
       {&Wav2Flac_Btn, &Flac2Wav_Btn}, &WavFlacProgressBar, "WavFlacProgressBar"},
      {&SeCustomTabSheet5, "SeCustomTabSheet5", "Wav<->Ape",
       {"Wav to Ape", "Select source wav", "Wav2Ape_WavPathSelector", "Select ape path",
        "Wav2Ape_ApePathSelector", "Wav2Ape_Btn"},
       {"Ape to Wav", "Select source ape", "Ape2Wav_ApePathSelector", "Select wav path",
        "Ape2Wav_WavPathSelector", "Ape2Wav_Btn"},
       {&Wav2Ape_WavPathSelector, &Wav2Ape_ApePathSelector, &Ape2Wav_ApePathSelector,
        &Ape2Wav_WavPathSelector},
       {&Wav2Ape_Btn, &Ape2Wav_Btn}, &WavApeProgressBar, "WavApeProgressBar"},
  };

  for (const TPage& P : Pages) {
    auto* Sheet = new QWidget(PageControl);
    Sheet->setObjectName(QLatin1String(P.SheetName));
    *P.Sheet = Sheet;
    PageControl->addTab(Sheet, QLatin1String(P.Caption));

    auto* Page = new QVBoxLayout(Sheet);
    auto* Panels = new QHBoxLayout;
    Page->addLayout(Panels, 1);
    int Slot = 0;
    int ButtonSlot = 0;
    for (const TConverterPanel* C : {&P.Left, &P.Right}) {
      QGroupBox* Panel = MakeGroup(QLatin1String(C->Caption), Sheet);
      auto* L = new QVBoxLayout(Panel);
      for (const auto& [LabelText, Name] :
           {std::pair{C->SourceLabel, C->SourceName}, std::pair{C->OutputLabel, C->OutputName}}) {
        QLabel* Label = MakeLabel(QLatin1String(LabelText), Panel);
        TPathSelector* Box = MakePathSelector(Name, QLatin1String(LabelText), Panel);
        Label->setBuddy(Box);
        *P.Selectors[Slot++] = Box;
        L->addWidget(Label);
        L->addWidget(Box);
        L->addSpacing(8);
      }
      L->addStretch(1);
      auto* Button = new QPushButton(QStringLiteral("Convert it"), Panel);
      Button->setObjectName(QLatin1String(C->ButtonName));
      Button->setAccessibleName(QStringLiteral("Convert it: %1").arg(QLatin1String(C->Caption)));
      *P.Buttons[ButtonSlot++] = Button;
      auto* Row = new QHBoxLayout;
      Row->addStretch(1);
      Row->addWidget(Button);
      L->addLayout(Row);
      Panels->addWidget(Panel, 1);
    }
    *P.Bar = MakeJobProgressBar(P.BarName, Sheet);
    Page->addWidget(*P.Bar);
  }
}

void TMainForm::CreateConverterComponents() {
  // Every sink starts writing a new file and parks its worker between jobs.
  auto WavOut = [this](const char* Name, TACSInput* Input) {
    auto* W = Make<TWaveOut>(Name);
    W->SetInput(Input);
    W->SetFileMode(foRewrite);
    W->SetWavType(wtPCM);
    W->SetBlockSize(512);
    W->SetSuspendWhenIdle(true);
    return W;
  };
  TComponent* Owner = Components();

  MP3ToWav = Make<TMP3ToWav>("MP3ToWav");

  WavToMp3_WaveIn = Make<TWaveIn>("WavToMp3_WaveIn");
  WavToMp3_MP3Out = NewMp3Out(Owner, "WavToMp3_MP3Out", WavToMp3_WaveIn, true);

  MP3ToVob = Make<TMP3ToWav>("MP3ToVob");
  WaveIn = Make<TWaveIn>("WaveIn");

  OggToMp3_OggIn = NewVorbisIn(Owner, "OggToMp3_OggIn");
  OggToMp3_MP3Out = NewMp3Out(Owner, "OggToMp3_MP3Out", AsInput(OggToMp3_OggIn), true);

  WavToOgg_WaveIn = Make<TWaveIn>("WavToOgg_WaveIn");
  WavToOgg_OggOut = NewVorbisOut(Owner, "WavToOgg_OggOut", WavToOgg_WaveIn);

  OggToWav_OggIn = NewVorbisIn(Owner, "OggToWav_OggIn");
  OggToWav_WavOut = WavOut("OggToWav_WavOut", AsInput(OggToWav_OggIn));

  WavToFlac_WaveIn = Make<TWaveIn>("WavToFlac_WaveIn");
  WavToFlac_FlacOut = Make<TFLACOut>("WavToFlac_FlacOut");
  WavToFlac_FlacOut->SetInput(WavToFlac_WaveIn);
  WavToFlac_FlacOut->SetFileMode(foRewrite);
  WavToFlac_FlacOut->SetBlockSize(4608);
  WavToFlac_FlacOut->SetEnableMidSideStereo(true);
  WavToFlac_FlacOut->SetEnableLooseMidSideStereo(false);
  WavToFlac_FlacOut->SetBestModelSearch(false);
  WavToFlac_FlacOut->SetMaxLPCOrder(0);
  WavToFlac_FlacOut->SetMaxResidualPartitionOrder(0);
  WavToFlac_FlacOut->SetMinResidualPartitionOrder(0);
  WavToFlac_FlacOut->SetQLPCoeffPrecision(0);
  WavToFlac_FlacOut->SetQLPCoeffPrecisionSearch(false);
  WavToFlac_FlacOut->SetVerify(false);
  WavToFlac_FlacOut->SetSuspendWhenIdle(true);

  FlacToWav_FlacIn = Make<TFLACIn>("FlacToWav_FlacIn");
  FlacToWav_WavOut = WavOut("FlacToWav_WavOut", FlacToWav_FlacIn);

  WavToApe_WavIn = Make<TWaveIn>("WavToApe_WavIn");
  WavToApe_ApeOut = Make<TMACOut>("WavToApe_ApeOut");
  WavToApe_ApeOut->SetInput(WavToApe_WavIn);
  WavToApe_ApeOut->SetFileMode(foRewrite);
  WavToApe_ApeOut->SetCompressionLevel(2000);
  WavToApe_ApeOut->SetMaxAudioBytes(-1);
  WavToApe_ApeOut->SetSuspendWhenIdle(true);

  ApeToWav_ApeIn = Make<TMACIn>("ApeToWav_ApeIn");
  ApeToWav_WavOut = WavOut("ApeToWav_WavOut", ApeToWav_ApeIn);
}
