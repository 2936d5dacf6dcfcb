// Pages 1 to 5: two converters per page, one per direction, each a panel with
// a source box, an output box and "Convert it", and one progress bar per page.
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <tuple>

#include "app/CodecParts.h"
#include "app/EventMarshal.h"
#include "app/IniSettings.h"
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
  SetConverterFlacEncoding(*WavToFlac_FlacOut);
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

  WireConversionFlows();
}

// ---------------------------------------------------------------- the flows

namespace {

// Name with Extension appended unless it already ends with it, compared
// without regard to case: song -> song.wav, SONG.WAV stays, x.wav -> x.wav.mp3.
QString WithExtension(const QString& Name, const QString& Extension) {
  const int Slash = Name.lastIndexOf(QLatin1Char('/'));
  const int Dot = Name.lastIndexOf(QLatin1Char('.'));
  const QString Current = Dot > Slash ? Name.mid(Dot) : QString();
  if (Current.compare(Extension, Qt::CaseInsensitive) == 0) return Name;
  return Name + Extension;
}

std::string Utf8(const QString& S) { return S.toUtf8().toStdString(); }
QString FromUtf8(const std::string& S) { return QString::fromUtf8(S.data(), static_cast<int>(S.size())); }

}  // namespace

void TMainForm::WireConversionFlows() {
  // A flow whose source and sink are engine components: the names live in
  // their FileName properties, the sink runs the job.
  auto EngineFlow = [this](TFlowIndex F, TACSFileIn* Source, TACSFileOut* Sink) {
    TConversionFlow& Flow = FFlows[F];
    Flow.Source = [Source] { return Source->FileName(); };
    Flow.SetSource = [Source](const std::string& N) { Source->SetFileName(N); };
    Flow.Output = [Sink] { return Sink->FileName(); };
    Flow.SetOutput = [Sink](const std::string& N) { Sink->SetFileName(N); };
    Flow.Run = [Sink] { Sink->Run(); };
  };
  auto Texts = [this](TFlowIndex F, TPathSelector* SourceBox, TPathSelector* OutputBox,
                      QProgressBar* Bar, const char* SourceFilter, const char* OutputFilter,
                      const char* Extension, const char* EmptyMessage, const char* Status,
                      const char* Description) {
    TConversionFlow& Flow = FFlows[F];
    Flow.SourceBox = SourceBox;
    Flow.OutputBox = OutputBox;
    Flow.Bar = Bar;
    Flow.SourceFilter = QLatin1String(SourceFilter);
    Flow.OutputFilter = QLatin1String(OutputFilter);
    Flow.Extension = QLatin1String(Extension);
    Flow.EmptyMessage = QLatin1String(EmptyMessage);
    Flow.StatusText = QLatin1String(Status);
    Flow.Description = QLatin1String(Description);
  };
  const char* const Mp3Wav = "Mp3<->Wav:Converter of mp3 and wav audio.";
  const char* const Mp3Ogg = "Mp3<->Ogg:Converter of mp3 and ogg audio.";
  const char* const WavOgg = "Wav<->Ogg:Converter of wav and ogg audio.";
  const char* const WavFlac = "Wav<->Flac:Converter of wav and flac audio.";
  const char* const WavApe = "Wav<->Ape:Converter of wav and ape audio.";

  Texts(flMp3ToWav, Mp32Wav_Mp3PathSelector, Mp32Wav_WavPathSelector, Mp3WavProgressBar,
        "MP3 file|*.mp3", "Wave file|*.wav", ".wav", "Please select mp3 and wav file first!",
        "Converting to wav...", Mp3Wav);
  Texts(flWavToMp3, Wav2Mp3_WavPathSelector, Wav2Mp3_Mp3PathSelector, Mp3WavProgressBar,
        "Wave file|*.wav", "MP3 file|*.mp3", ".mp3", "Please select wav and mp3 file first!",
        "Converting to mp3...", Mp3Wav);
  Texts(flMp3ToVob, Mp32Vob_Mp3PathSelector, Mp32Vob_VobPathSelector, Mp3OggProgressBar,
        "MP3 file|*.mp3", "Ogg vorbis|*.ogg", ".ogg",
        "Please select mp3 and ogg vorbis file first!", "Preparing...", Mp3Ogg);
  Texts(flOggToMp3, Ogg2Mp3_OggPathSelector, Ogg2Mp3_Mp3PathSelector, Mp3OggProgressBar,
        "Ogg file|*.ogg", "MP3 file|*.mp3", ".mp3", "Please select ogg and mp3 file first!",
        "Converting to mp3...", Mp3Ogg);
  Texts(flWavToOgg, Wav2Ogg_WavPathSelector, Wav2Ogg_OggPathSelector, WavOggProgressBar,
        "Wave file|*.wav", "Ogg vorbis|*.ogg", ".ogg", "Please select wav and ogg file first!",
        "Converting to ogg...", WavOgg);
  Texts(flOggToWav, Ogg2Wav_OggPathSelector, Ogg2Wav_WavPathSelector, WavOggProgressBar,
        "Ogg vorbis|*.ogg", "Wave file|*.wav", ".wav", "Please select ogg and wav file first!",
        "Converting to wav...", WavOgg);
  Texts(flWavToFlac, Wav2Flac_WavPathSelector, Wav2Flac_FlacPathSelector, WavFlacProgressBar,
        "Wave file|*.wav", "Flac file|*.flac", ".flac", "Please select wav and flac file first!",
        "Converting to flac...", WavFlac);
  Texts(flFlacToWav, Flac2Wav_FlacPathSelector, Flac2Wav_WavPathSelector, WavFlacProgressBar,
        "Flac file|*.flac", "Wave file|*.wav", ".wav", "Please select flac and wav file first!",
        "Converting to wav...", WavFlac);
  Texts(flWavToApe, Wav2Ape_WavPathSelector, Wav2Ape_ApePathSelector, WavApeProgressBar,
        "Wave file|*.wav", "Ape file|*.ape", ".ape", "Please select wav and ape file first!",
        "Converting to ape...", WavApe);
  Texts(flApeToWav, Ape2Wav_ApePathSelector, Ape2Wav_WavPathSelector, WavApeProgressBar,
        "ape file|*.ape", "Wave file|*.wav", ".wav", "Please select ape and wav file first!",
        "Converting to wav...", WavApe);

  // The two decoders keep their names in InputFile and OutputFile.
  for (auto [F, D] : {std::pair{flMp3ToWav, MP3ToWav}, std::pair{flMp3ToVob, MP3ToVob}}) {
    TMP3ToWav* Decoder = D;
    TConversionFlow& Flow = FFlows[F];
    Flow.Source = [Decoder] { return Decoder->InputFile(); };
    Flow.SetSource = [Decoder](const std::string& N) { Decoder->SetInputFile(N); };
    Flow.Output = [Decoder] { return Decoder->OutputFile(); };
    Flow.SetOutput = [Decoder](const std::string& N) { Decoder->SetOutputFile(N); };
    Flow.Run = [Decoder] { Decoder->Run(); };
  }
  EngineFlow(flWavToMp3, WavToMp3_WaveIn, AsFileOut(WavToMp3_MP3Out));
  EngineFlow(flOggToMp3, AsFileIn(OggToMp3_OggIn), AsFileOut(OggToMp3_MP3Out));
  EngineFlow(flWavToOgg, WavToOgg_WaveIn, AsFileOut(WavToOgg_OggOut));
  EngineFlow(flOggToWav, AsFileIn(OggToWav_OggIn), OggToWav_WavOut);
  EngineFlow(flWavToFlac, WavToFlac_WaveIn, WavToFlac_FlacOut);
  EngineFlow(flFlacToWav, FlacToWav_FlacIn, FlacToWav_WavOut);
  EngineFlow(flWavToApe, WavToApe_WavIn, WavToApe_ApeOut);
  EngineFlow(flApeToWav, ApeToWav_ApeIn, ApeToWav_WavOut);

  FFlows[flWavToMp3].Prepare = [this] {
    SetConvertedMp3Tags(WavToMp3_MP3Out);
    ApplyMp3Settings(WavToMp3_MP3Out);
  };
  FFlows[flOggToMp3].Prepare = [this] {
    SetConvertedMp3Tags(OggToMp3_MP3Out);
    ApplyMp3Settings(OggToMp3_MP3Out);
  };
  FFlows[flWavToOgg].Prepare = [this] { ApplyOggSettings(WavToOgg_OggOut); };
  FFlows[flWavToFlac].Prepare = [this] { ApplyFlacSettings(WavToFlac_FlacOut); };
  FFlows[flWavToApe].Prepare = [this] { ApplyApeSettings(WavToApe_ApeOut); };

  FProgressTimer = new QTimer(this);
  FProgressTimer->setInterval(50);
  connect(FProgressTimer, &QTimer::timeout, this, &TMainForm::ShowPendingProgress);

  // Browse buttons and "Convert it".
  const std::pair<TPathSelector*, void (TMainForm::*)()> Browse[] = {
      {Mp32Wav_Mp3PathSelector, &TMainForm::Mp32Wav_Mp3PathSelect},
      {Mp32Wav_WavPathSelector, &TMainForm::Mp32Wav_WavPathSelect},
      {Wav2Mp3_WavPathSelector, &TMainForm::Wav2Mp3_WavPathSelect},
      {Wav2Mp3_Mp3PathSelector, &TMainForm::Wav2Mp3_Mp3PathSelect},
      {Mp32Vob_Mp3PathSelector, &TMainForm::Mp32Vob_Mp3PathSelect},
      {Mp32Vob_VobPathSelector, &TMainForm::Mp32Vob_VobPathSelect},
      {Ogg2Mp3_OggPathSelector, &TMainForm::Ogg2Mp3_OggPathSelect},
      {Ogg2Mp3_Mp3PathSelector, &TMainForm::Ogg2Mp3_Mp3PathSelect},
      {Wav2Ogg_WavPathSelector, &TMainForm::Wav2Ogg_WavPathSelect},
      {Wav2Ogg_OggPathSelector, &TMainForm::Wav2Ogg_OggPathSelect},
      {Ogg2Wav_OggPathSelector, &TMainForm::Ogg2Wav_OggPathSelect},
      {Ogg2Wav_WavPathSelector, &TMainForm::Ogg2Wav_WavPathSelect},
      {Wav2Flac_WavPathSelector, &TMainForm::Wav2Flac_WavPathSelect},
      {Wav2Flac_FlacPathSelector, &TMainForm::Wav2Flac_FlacPathSelect},
      {Flac2Wav_FlacPathSelector, &TMainForm::Flac2Wav_FlacPathSelect},
      {Flac2Wav_WavPathSelector, &TMainForm::Flac2Wav_WavPathSelect},
      {Wav2Ape_WavPathSelector, &TMainForm::Wav2Ape_WavPathSelect},
      {Wav2Ape_ApePathSelector, &TMainForm::Wav2Ape_ApePathSelect},
      {Ape2Wav_ApePathSelector, &TMainForm::Ape2Wav_ApePathSelect},
      {Ape2Wav_WavPathSelector, &TMainForm::Ape2Wav_WavPathSelect},
  };
  for (const auto& [Box, Handler] : Browse)
    connect(Box, &TPathSelector::BrowseClicked, this, Handler);
  const std::pair<QPushButton*, void (TMainForm::*)()> Starts[] = {
      {Mp32Wav_Btn, &TMainForm::Mp3ConvertToWav},   {Wav2Mp3_Btn, &TMainForm::WavConvertToMp3},
      {Mp32Vob_Btn, &TMainForm::Mp3ConvertToVob},   {Ogg2Mp3_Btn, &TMainForm::OggConvertToMp3},
      {Wav2Ogg_Btn, &TMainForm::WavConvertToOgg},   {Ogg2Wav_Btn, &TMainForm::OggConvertToWav},
      {Wav2Flac_Btn, &TMainForm::WavConvertToFlac}, {Flac2Wav_Btn, &TMainForm::FlacConvertToWav},
      {Wav2Ape_Btn, &TMainForm::WavConvertToApe},   {Ape2Wav_Btn, &TMainForm::ApeConvertToWav},
  };
  for (const auto& [Button, Handler] : Starts) connect(Button, &QPushButton::clicked, this, Handler);

  // Events: raised on the workers, handled here on the window's thread.
  using TProgressHandler = void (TMainForm::*)(TComponent*, int);
  using TDoneHandler = void (TMainForm::*)(TComponent*);
  using TFailHandler = void (TMainForm::*)(TComponent*, const std::string&);
  auto Progress = [this](TProgressHandler H) {
    return [this, H](TComponent* S, int P) { (this->*H)(S, P); };
  };
  auto Done = [this](TDoneHandler H) {
    return QueuedEvent(this, [this, H](TComponent* S) { (this->*H)(S); });
  };
  auto Fail = [this](TFailHandler H) {
    return QueuedException(this, [this, H](TComponent* S, const std::string& M) { (this->*H)(S, M); });
  };
  auto WireSink = [&](TACSOutput* Sink, TProgressHandler P, TDoneHandler D, TFailHandler E) {
    Sink->OnProgress = QueuedProgress(this, [Sink] { return Sink->Progress(); }, Progress(P));
    Sink->OnDone = Done(D);
    Sink->OnThreadException = Fail(E);
  };
  WireSink(AsFileOut(WavToMp3_MP3Out), &TMainForm::WavToMp3Progress, &TMainForm::WavToMp3Done,
           &TMainForm::WavToMp3_MP3OutThreadException);
  WireSink(AsFileOut(OggToMp3_MP3Out), &TMainForm::OggToMp3Progress, &TMainForm::OggToMp3Done,
           &TMainForm::OggToMp3_MP3OutThreadException);
  WireSink(AsFileOut(WavToOgg_OggOut), &TMainForm::WavToOggProgress, &TMainForm::WavToOggDone,
           &TMainForm::WavToOgg_OggOutThreadException);
  WireSink(OggToWav_WavOut, &TMainForm::OggToWavProgress, &TMainForm::OggToWavDone,
           &TMainForm::OggToWav_WavOutThreadException);
  WireSink(WavToFlac_FlacOut, &TMainForm::WavToFlacProgress, &TMainForm::WavToFlacDone,
           &TMainForm::WavToFlac_FlacOutThreadException);
  WireSink(FlacToWav_WavOut, &TMainForm::FlacToWavProgress, &TMainForm::FlacToWavDone,
           &TMainForm::FlacToWav_WavOutThreadException);
  WireSink(WavToApe_ApeOut, &TMainForm::WavToApeProgress, &TMainForm::WavToApeDone,
           &TMainForm::WavToApe_ApeOutThreadException);
  WireSink(ApeToWav_WavOut, &TMainForm::ApeToWavProgress, &TMainForm::ApeToWavDone,
           &TMainForm::ApeToWav_WavOutThreadException);

  for (auto [D, P, Dn] : {std::tuple{MP3ToWav, &TMainForm::MP3ToWavProgress, &TMainForm::MP3ToWavDone},
                          std::tuple{MP3ToVob, &TMainForm::MP3ToVobProgress, &TMainForm::MP3ToVobDone}}) {
    TMP3ToWav* Decoder = D;
    Decoder->OnProgress = QueuedProgress(this, [Decoder] { return Decoder->Progress(); }, Progress(P));
    Decoder->OnDone = Queued<TComponent*, bool>(
        this, [this, H = Dn](TComponent* S, bool Success) { (this->*H)(S, Success); });
  }
}

// ---- the shared steps

void TMainForm::SelectConversionSource(TFlowIndex F) {
  TConversionFlow& Flow = FFlows[F];
  OpenDialog.FileName.clear();
  OpenDialog.Filter = Flow.SourceFilter;
  if (!OpenDialog.Execute()) return;
  Flow.SetSource(Utf8(OpenDialog.FileName));
  Flow.SourceBox->SetText(OpenDialog.FileName);
}

void TMainForm::SelectConversionOutput(TFlowIndex F) {
  TConversionFlow& Flow = FFlows[F];
  SaveDialog.FileName.clear();
  SaveDialog.Filter = Flow.OutputFilter;
  if (!SaveDialog.Execute()) return;
  const QString Name = WithExtension(SaveDialog.FileName, Flow.Extension);
  Flow.SetOutput(Utf8(Name));
  Flow.OutputBox->SetText(Name);
}

bool TMainForm::ConversionMayStart(TFlowIndex F) {
  TConversionFlow& Flow = FFlows[F];
  const std::string In = Flow.Source(), Out = Flow.Output();
  if (In.empty() || Out.empty()) {
    ShowMessage(Flow.EmptyMessage);
    return false;
  }
  if (!IsInputFileAndOutputFileUnLocked(In, Out)) {
    ShowMessage(QStringLiteral("Input/Output file locked by the other programme, please unlock it first!"));
    return false;
  }
  return true;
}

void TMainForm::ShowConversionRunning(TFlowIndex F, const QString& Status) {
  SetStatus(Status);
  PageControl->setEnabled(false);
  FFlows[F].Bar->setVisible(true);
}

void TMainForm::StartConversion(TFlowIndex F) {
  TConversionFlow& Flow = FFlows[F];
  if (!ConversionMayStart(F)) return;
  ShowConversionRunning(F, Flow.StatusText);
  try {
    // The settings file is read now: choices not saved on the Settings page
    // do not count.
    if (Flow.Prepare) Flow.Prepare();
    Flow.Run();
  } catch (const std::exception& E) {
    ShowMessage(QStringLiteral("Runtime error: ") + FromUtf8(E.what()));
    ConversionDone(F);
  }
}

void TMainForm::ConversionProgress(TFlowIndex F, int Percent) {
  // The decoder's estimate can pass 100; the bar stays within its range.
  FFlows[F].PendingPercent = std::clamp(Percent, 0, 100);
  // A report after a quiet spell shows at once; those that follow within the
  // timer's interval show when it fires (a job reports every percent, and a
  // short job would otherwise spend much of its time repainting the bar).
  if (!FProgressTimer->isActive()) {
    ShowPendingProgress();
    FProgressTimer->start();
  }
}

void TMainForm::ShowPendingProgress() {
  bool Shown = false;
  for (TConversionFlow& Flow : FFlows) {
    if (Flow.PendingPercent < 0) continue;
    Flow.Bar->setValue(Flow.PendingPercent);
    Flow.PendingPercent = -1;
    Shown = true;
  }
  // Nothing new: the timer rests until the next report.
  if (!Shown) FProgressTimer->stop();
}

void TMainForm::ConversionDone(TFlowIndex F) {
  TConversionFlow& Flow = FFlows[F];
  PageControl->setEnabled(true);
  Flow.PendingPercent = -1;
  FProgressTimer->stop();
  Flow.Bar->setValue(0);
  Flow.Bar->setVisible(false);
  SetStatus(Flow.Description);
}

void TMainForm::ConversionFailed(TFlowIndex F, const std::string& Message) {
  ShowMessage(QStringLiteral("Runtime error: ") + FromUtf8(Message));
  if (F == flMp3ToVob)
    OnVorbisDone(nullptr);
  else
    ConversionDone(F);
}

// ---- MP3 to Ogg: the decoder writes a WAV image into memory, then a Vorbis
// writer made for this run encodes it.

void TMainForm::Mp3ConvertToVob() {
  TConversionFlow& Flow = FFlows[flMp3ToVob];
  // The boxes are the record of the choice: a run clears OutputFile.
  MP3ToVob->SetInputFile(Utf8(Mp32Vob_Mp3PathSelector->Text()));
  MP3ToVob->SetOutputFile(Utf8(Mp32Vob_VobPathSelector->Text()));
  if (!ConversionMayStart(flMp3ToVob)) return;

  Mp3ToVob_WavStream = std::make_unique<TMemoryStream>();
  TVorbisOut* Writer = NewVorbisOut(Components(), "", WaveIn);
  Mp3ToVob_VobOut = Writer;
  TACSFileOut* Sink = AsFileOut(Writer);
  Sink->SetFileName(MP3ToVob->OutputFile());
  Sink->OnProgress = QueuedProgress(this, [Sink] { return Sink->Progress(); },
                                    [this](TComponent* S, int P) { OnVorbisProgress(S, P); });
  Sink->OnDone = QueuedEvent(this, [this](TComponent* S) { OnVorbisDone(S); });
  Sink->OnThreadException = QueuedException(
      this, [this](TComponent* S, const std::string& M) { Mp3ToVob_VobOutThreadException(S, M); });

  ShowConversionRunning(flMp3ToVob, Flow.StatusText);
  try {
    ApplyOggSettings(Writer);
    MP3ToVob->SetOutputFile("");
    MP3ToVob->SetOutputStream(Mp3ToVob_WavStream.get());
    MP3ToVob->Run();
  } catch (const std::exception& E) {
    ShowMessage(QStringLiteral("Runtime error: ") + FromUtf8(E.what()));
    OnVorbisDone(nullptr);
  }
}

void TMainForm::MP3ToVobDone(TComponent*, bool) {
  // The window may have closed (and freed the writer) while decoding.
  if (!Mp3ToVob_VobOut || !Mp3ToVob_WavStream) {
    OnVorbisDone(nullptr);
    return;
  }
  SetStatus(QStringLiteral("Converting to ogg vorbis..."));
  // The bar starts over, and the new stage's first report shows at once.
  FFlows[flMp3ToVob].PendingPercent = -1;
  FProgressTimer->stop();
  FFlows[flMp3ToVob].Bar->setValue(0);
  Mp3ToVob_WavStream->SetPosition(0);
  WaveIn->SetStream(Mp3ToVob_WavStream.get());
  try {
    AsFileOut(Mp3ToVob_VobOut)->Run();
  } catch (const std::exception& E) {
    ShowMessage(QStringLiteral("Runtime error: ") + FromUtf8(E.what()));
    OnVorbisDone(nullptr);
  }
}

void TMainForm::OnVorbisDone(TComponent*) {
  ConversionDone(flMp3ToVob);
  // Neither the decoder nor the reader may keep the image once it goes.
  MP3ToVob->SetOutputStream(nullptr);
  WaveIn->SetStream(nullptr);
  Mp3ToVob_WavStream.reset();
}

void TMainForm::MP3ToVobProgress(TComponent*, int Percent) { ConversionProgress(flMp3ToVob, Percent); }
void TMainForm::OnVorbisProgress(TComponent*, int Percent) { ConversionProgress(flMp3ToVob, Percent); }
void TMainForm::Mp3ToVob_VobOutThreadException(TComponent*, const std::string& Message) {
  ConversionFailed(flMp3ToVob, Message);
}

// ---- each flow's handlers

void TMainForm::Mp32Wav_Mp3PathSelect() { SelectConversionSource(flMp3ToWav); }
void TMainForm::Mp32Wav_WavPathSelect() { SelectConversionOutput(flMp3ToWav); }
void TMainForm::Wav2Mp3_WavPathSelect() { SelectConversionSource(flWavToMp3); }
void TMainForm::Wav2Mp3_Mp3PathSelect() { SelectConversionOutput(flWavToMp3); }
void TMainForm::Mp32Vob_Mp3PathSelect() { SelectConversionSource(flMp3ToVob); }
void TMainForm::Mp32Vob_VobPathSelect() { SelectConversionOutput(flMp3ToVob); }
void TMainForm::Ogg2Mp3_OggPathSelect() { SelectConversionSource(flOggToMp3); }
void TMainForm::Ogg2Mp3_Mp3PathSelect() { SelectConversionOutput(flOggToMp3); }
void TMainForm::Wav2Ogg_WavPathSelect() { SelectConversionSource(flWavToOgg); }
void TMainForm::Wav2Ogg_OggPathSelect() { SelectConversionOutput(flWavToOgg); }
void TMainForm::Ogg2Wav_OggPathSelect() { SelectConversionSource(flOggToWav); }
void TMainForm::Ogg2Wav_WavPathSelect() { SelectConversionOutput(flOggToWav); }
void TMainForm::Wav2Flac_WavPathSelect() { SelectConversionSource(flWavToFlac); }
void TMainForm::Wav2Flac_FlacPathSelect() { SelectConversionOutput(flWavToFlac); }
void TMainForm::Flac2Wav_FlacPathSelect() { SelectConversionSource(flFlacToWav); }
void TMainForm::Flac2Wav_WavPathSelect() { SelectConversionOutput(flFlacToWav); }
void TMainForm::Wav2Ape_WavPathSelect() { SelectConversionSource(flWavToApe); }
void TMainForm::Wav2Ape_ApePathSelect() { SelectConversionOutput(flWavToApe); }
void TMainForm::Ape2Wav_ApePathSelect() { SelectConversionSource(flApeToWav); }
void TMainForm::Ape2Wav_WavPathSelect() { SelectConversionOutput(flApeToWav); }

void TMainForm::Mp3ConvertToWav() { StartConversion(flMp3ToWav); }
void TMainForm::WavConvertToMp3() { StartConversion(flWavToMp3); }
void TMainForm::OggConvertToMp3() { StartConversion(flOggToMp3); }
void TMainForm::WavConvertToOgg() { StartConversion(flWavToOgg); }
void TMainForm::OggConvertToWav() { StartConversion(flOggToWav); }
void TMainForm::WavConvertToFlac() { StartConversion(flWavToFlac); }
void TMainForm::FlacConvertToWav() { StartConversion(flFlacToWav); }
void TMainForm::WavConvertToApe() { StartConversion(flWavToApe); }
void TMainForm::ApeConvertToWav() { StartConversion(flApeToWav); }

void TMainForm::MP3ToWavProgress(TComponent*, int P) { ConversionProgress(flMp3ToWav, P); }
void TMainForm::WavToMp3Progress(TComponent*, int P) { ConversionProgress(flWavToMp3, P); }
void TMainForm::OggToMp3Progress(TComponent*, int P) { ConversionProgress(flOggToMp3, P); }
void TMainForm::WavToOggProgress(TComponent*, int P) { ConversionProgress(flWavToOgg, P); }
void TMainForm::OggToWavProgress(TComponent*, int P) { ConversionProgress(flOggToWav, P); }
void TMainForm::WavToFlacProgress(TComponent*, int P) { ConversionProgress(flWavToFlac, P); }
void TMainForm::FlacToWavProgress(TComponent*, int P) { ConversionProgress(flFlacToWav, P); }
void TMainForm::WavToApeProgress(TComponent*, int P) { ConversionProgress(flWavToApe, P); }
void TMainForm::ApeToWavProgress(TComponent*, int P) { ConversionProgress(flApeToWav, P); }

// The decoder's Success flag is not looked at: an MP3 without a decodable
// frame gives an empty WAV file.
void TMainForm::MP3ToWavDone(TComponent*, bool) { ConversionDone(flMp3ToWav); }
void TMainForm::WavToMp3Done(TComponent*) { ConversionDone(flWavToMp3); }
void TMainForm::OggToMp3Done(TComponent*) { ConversionDone(flOggToMp3); }
void TMainForm::WavToOggDone(TComponent*) { ConversionDone(flWavToOgg); }
void TMainForm::OggToWavDone(TComponent*) { ConversionDone(flOggToWav); }
void TMainForm::WavToFlacDone(TComponent*) { ConversionDone(flWavToFlac); }
void TMainForm::FlacToWavDone(TComponent*) { ConversionDone(flFlacToWav); }
void TMainForm::WavToApeDone(TComponent*) { ConversionDone(flWavToApe); }
void TMainForm::ApeToWavDone(TComponent*) { ConversionDone(flApeToWav); }

void TMainForm::WavToMp3_MP3OutThreadException(TComponent*, const std::string& M) {
  ConversionFailed(flWavToMp3, M);
}
void TMainForm::OggToMp3_MP3OutThreadException(TComponent*, const std::string& M) {
  ConversionFailed(flOggToMp3, M);
}
void TMainForm::WavToOgg_OggOutThreadException(TComponent*, const std::string& M) {
  ConversionFailed(flWavToOgg, M);
}
void TMainForm::OggToWav_WavOutThreadException(TComponent*, const std::string& M) {
  ConversionFailed(flOggToWav, M);
}
void TMainForm::WavToFlac_FlacOutThreadException(TComponent*, const std::string& M) {
  ConversionFailed(flWavToFlac, M);
}
void TMainForm::FlacToWav_WavOutThreadException(TComponent*, const std::string& M) {
  ConversionFailed(flFlacToWav, M);
}
void TMainForm::WavToApe_ApeOutThreadException(TComponent*, const std::string& M) {
  ConversionFailed(flWavToApe, M);
}
void TMainForm::ApeToWav_WavOutThreadException(TComponent*, const std::string& M) {
  ConversionFailed(flApeToWav, M);
}
