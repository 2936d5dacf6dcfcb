// Pages 1 to 5: two converters per page, one per direction, each a panel with
// a source box, an output box and "Convert it", and one progress bar per page.
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <tuple>

#include "app/AudioFns.h"
#include "app/DropTargets.h"
#include "app/EventMarshal.h"
#include "app/IniSettings.h"
#include "app/MainForm.h"
#include "app/PathSelector.h"

using TPage = TMainForm::TConverterPageSpec;

const TPage TMainForm::ConverterPages[5] = {
    {.Sheet = "SeCustomTabSheet1",
     .Caption = "Mp3<->Wav",
     .Bar = "Mp3WavProgressBar",
     .Description = "Mp3<->Wav:Converter of mp3 and wav audio.",
     .Converters = {{.Name = "Mp3ToWav",
                     .Caption = "Mp3 to Wav",
                     .SourceLabel = "Select source mp3",
                     .SourceBox = "Mp32Wav_Mp3PathSelector",
                     .OutputLabel = "Select wav path",
                     .OutputBox = "Mp32Wav_WavPathSelector",
                     .Button = "Mp32Wav_Btn",
                     .SourceFilter = "MP3 file|*.mp3",
                     .OutputFilter = "Wave file|*.wav",
                     .Extension = ".wav",
                     .EmptyMessage = "Please select mp3 and wav file first!",
                     .Status = "Converting to wav...",
                     .SelectSource = &TMainForm::Mp32Wav_Mp3PathSelect,
                     .SelectOutput = &TMainForm::Mp32Wav_WavPathSelect,
                     .Start = &TMainForm::Mp3ConvertToWav},
                    {.Name = "WavToMp3",
                     .Caption = "Wav to Mp3",
                     .SourceLabel = "Select source wav",
                     .SourceBox = "Wav2Mp3_WavPathSelector",
                     .OutputLabel = "Select mp3 path",
                     .OutputBox = "Wav2Mp3_Mp3PathSelector",
                     .Button = "Wav2Mp3_Btn",
                     .SourceFilter = "Wave file|*.wav",
                     .OutputFilter = "MP3 file|*.mp3",
                     .Extension = ".mp3",
                     .EmptyMessage = "Please select wav and mp3 file first!",
                     .Status = "Converting to mp3...",
                     .SelectSource = &TMainForm::Wav2Mp3_WavPathSelect,
                     .SelectOutput = &TMainForm::Wav2Mp3_Mp3PathSelect,
                     .Start = &TMainForm::WavConvertToMp3}}},
    {.Sheet = "SeCustomTabSheet2",
     .Caption = "Mp3<->Ogg",
     .Bar = "Mp3OggProgressBar",
     .Description = "Mp3<->Ogg:Converter of mp3 and ogg audio.",
     .Converters = {{.Name = "Mp3ToOgg",
                     .Caption = "Mp3 to Ogg",
                     .SourceLabel = "Select source mp3",
                     .SourceBox = "Mp32Vob_Mp3PathSelector",
                     .OutputLabel = "Select ogg path",
                     .OutputBox = "Mp32Vob_VobPathSelector",
                     .Button = "Mp32Vob_Btn",
                     .SourceFilter = "MP3 file|*.mp3",
                     .OutputFilter = "Ogg vorbis|*.ogg",
                     .Extension = ".ogg",
                     .EmptyMessage = "Please select mp3 and ogg vorbis file first!",
                     .Status = "Preparing...",
                     .SelectSource = &TMainForm::Mp32Vob_Mp3PathSelect,
                     .SelectOutput = &TMainForm::Mp32Vob_VobPathSelect,
                     .Start = &TMainForm::Mp3ConvertToVob},
                    {.Name = "OggToMp3",
                     .Caption = "Ogg to Mp3",
                     .SourceLabel = "Select source ogg",
                     .SourceBox = "Ogg2Mp3_OggPathSelector",
                     .OutputLabel = "Select mp3 path",
                     .OutputBox = "Ogg2Mp3_Mp3PathSelector",
                     .Button = "Ogg2Mp3_Btn",
                     .SourceFilter = "Ogg file|*.ogg",
                     .OutputFilter = "MP3 file|*.mp3",
                     .Extension = ".mp3",
                     .EmptyMessage = "Please select ogg and mp3 file first!",
                     .Status = "Converting to mp3...",
                     .SelectSource = &TMainForm::Ogg2Mp3_OggPathSelect,
                     .SelectOutput = &TMainForm::Ogg2Mp3_Mp3PathSelect,
                     .Start = &TMainForm::OggConvertToMp3}}},
    {.Sheet = "SeCustomTabSheet3",
     .Caption = "Wav<->Ogg",
     .Bar = "WavOggProgressBar",
     .Description = "Wav<->Ogg:Converter of wav and ogg audio.",
     .Converters = {{.Name = "WavToOgg",
                     .Caption = "Wav to Ogg",
                     .SourceLabel = "Select source wav",
                     .SourceBox = "Wav2Ogg_WavPathSelector",
                     .OutputLabel = "Select ogg path",
                     .OutputBox = "Wav2Ogg_OggPathSelector",
                     .Button = "Wav2Ogg_Btn",
                     .SourceFilter = "Wave file|*.wav",
                     .OutputFilter = "Ogg vorbis|*.ogg",
                     .Extension = ".ogg",
                     .EmptyMessage = "Please select wav and ogg file first!",
                     .Status = "Converting to ogg...",
                     .SelectSource = &TMainForm::Wav2Ogg_WavPathSelect,
                     .SelectOutput = &TMainForm::Wav2Ogg_OggPathSelect,
                     .Start = &TMainForm::WavConvertToOgg},
                    {.Name = "OggToWav",
                     .Caption = "Ogg to Wav",
                     .SourceLabel = "Select source ogg",
                     .SourceBox = "Ogg2Wav_OggPathSelector",
                     .OutputLabel = "Select wav path",
                     .OutputBox = "Ogg2Wav_WavPathSelector",
                     .Button = "Ogg2Wav_Btn",
                     .SourceFilter = "Ogg vorbis|*.ogg",
                     .OutputFilter = "Wave file|*.wav",
                     .Extension = ".wav",
                     .EmptyMessage = "Please select ogg and wav file first!",
                     .Status = "Converting to wav...",
                     .SelectSource = &TMainForm::Ogg2Wav_OggPathSelect,
                     .SelectOutput = &TMainForm::Ogg2Wav_WavPathSelect,
                     .Start = &TMainForm::OggConvertToWav}}},
    {.Sheet = "SeCustomTabSheet4",
     .Caption = "Wav<->Flac",
     .Bar = "WavFlacProgressBar",
     .Description = "Wav<->Flac:Converter of wav and flac audio.",
     .Converters = {{.Name = "WavToFlac",
                     .Caption = "Wav to Flac",
                     .SourceLabel = "Select source wav",
                     .SourceBox = "Wav2Flac_WavPathSelector",
                     .OutputLabel = "Select flac path",
                     .OutputBox = "Wav2Flac_FlacPathSelector",
                     .Button = "Wav2Flac_Btn",
                     .SourceFilter = "Wave file|*.wav",
                     .OutputFilter = "Flac file|*.flac",
                     .Extension = ".flac",
                     .EmptyMessage = "Please select wav and flac file first!",
                     .Status = "Converting to flac...",
                     .SelectSource = &TMainForm::Wav2Flac_WavPathSelect,
                     .SelectOutput = &TMainForm::Wav2Flac_FlacPathSelect,
                     .Start = &TMainForm::WavConvertToFlac},
                    {.Name = "FlacToWav",
                     .Caption = "Flac to Wav",
                     .SourceLabel = "Select source flac",
                     .SourceBox = "Flac2Wav_FlacPathSelector",
                     .OutputLabel = "Select wav path",
                     .OutputBox = "Flac2Wav_WavPathSelector",
                     .Button = "Flac2Wav_Btn",
                     .SourceFilter = "Flac file|*.flac",
                     .OutputFilter = "Wave file|*.wav",
                     .Extension = ".wav",
                     .EmptyMessage = "Please select flac and wav file first!",
                     .Status = "Converting to wav...",
                     .SelectSource = &TMainForm::Flac2Wav_FlacPathSelect,
                     .SelectOutput = &TMainForm::Flac2Wav_WavPathSelect,
                     .Start = &TMainForm::FlacConvertToWav}}},
    // After a job this page says "ape"; a page change shows "Ape".
    {.Sheet = "SeCustomTabSheet5",
     .Caption = "Wav<->Ape",
     .Bar = "WavApeProgressBar",
     .Description = "Wav<->Ape:Converter of wav and ape audio.",
     .Converters = {{.Name = "WavToApe",
                     .Caption = "Wav to Ape",
                     .SourceLabel = "Select source wav",
                     .SourceBox = "Wav2Ape_WavPathSelector",
                     .OutputLabel = "Select ape path",
                     .OutputBox = "Wav2Ape_ApePathSelector",
                     .Button = "Wav2Ape_Btn",
                     .SourceFilter = "Wave file|*.wav",
                     .OutputFilter = "Ape file|*.ape",
                     .Extension = ".ape",
                     .EmptyMessage = "Please select wav and ape file first!",
                     .Status = "Converting to ape...",
                     .SelectSource = &TMainForm::Wav2Ape_WavPathSelect,
                     .SelectOutput = &TMainForm::Wav2Ape_ApePathSelect,
                     .Start = &TMainForm::WavConvertToApe},
                    {.Name = "ApeToWav",
                     .Caption = "Ape to Wav",
                     .SourceLabel = "Select source ape",
                     .SourceBox = "Ape2Wav_ApePathSelector",
                     .OutputLabel = "Select wav path",
                     .OutputBox = "Ape2Wav_WavPathSelector",
                     .Button = "Ape2Wav_Btn",
                     .SourceFilter = "ape file|*.ape",
                     .OutputFilter = "Wave file|*.wav",
                     .Extension = ".wav",
                     .EmptyMessage = "Please select ape and wav file first!",
                     .Status = "Converting to wav...",
                     .SelectSource = &TMainForm::Ape2Wav_ApePathSelect,
                     .SelectOutput = &TMainForm::Ape2Wav_WavPathSelect,
                     .Start = &TMainForm::ApeConvertToWav}}},
};

namespace {

std::string Utf8(const QString& S) { return S.toUtf8().toStdString(); }
QString FromUtf8(const std::string& S) {
  return QString::fromUtf8(S.data(), static_cast<int>(S.size()));
}

}  // namespace

void TMainForm::BuildConverterPages() {
  int Flow = 0;
  for (const TPage& P : ConverterPages) {
    auto* Sheet = new QWidget(PageControl);
    Sheet->setObjectName(QLatin1String(P.Sheet));
    PageControl->addTab(Sheet, QLatin1String(P.Caption));

    // A source file dropped on the page goes to the panel that reads its
    // type; an output file only to the box it is dropped on.
    auto* Drops = new TDropTargets(Sheet);
    auto* Page = new QVBoxLayout(Sheet);
    auto* Panels = new QHBoxLayout;
    Page->addLayout(Panels, 1);
    QProgressBar* Bar = MakeJobProgressBar(P.Bar, Sheet);
    for (const TConverterSpec& C : P.Converters) {
      TConversionFlow& F = FFlows[Flow++];
      F.Spec = &C;
      F.Job.Bar = Bar;
      F.Job.Locked = {PageControl};
      F.Job.Description = QLatin1String(P.Description);
      F.Job.Title = QLatin1String(C.Caption);

      QGroupBox* Panel = MakeGroup(QLatin1String(C.Caption), Sheet);
      auto* L = new QVBoxLayout(Panel);
      for (const auto& [LabelText, Name, Box] :
           {std::tuple{C.SourceLabel, C.SourceBox, &F.SourceBox},
            std::tuple{C.OutputLabel, C.OutputBox, &F.OutputBox}}) {
        QLabel* Label = MakeLabel(QLatin1String(LabelText), Panel);
        *Box = MakePathSelector(Name, QLatin1String(LabelText), Panel);
        Label->setBuddy(*Box);
        L->addWidget(Label);
        L->addWidget(*Box);
        L->addSpacing(8);
      }
      L->addStretch(1);
      // Alt+C on the left panel, Alt+V on the right one.
      auto* Button = new QPushButton(
          &C == &P.Converters[0] ? QStringLiteral("&Convert it") : QStringLiteral("Con&vert it"),
          Panel);
      Button->setObjectName(QLatin1String(C.Button));
      Button->setAccessibleName(QStringLiteral("Convert it: %1").arg(QLatin1String(C.Caption)));
      connect(Button, &QPushButton::clicked, this, C.Start);
      connect(F.SourceBox, &TPathSelector::BrowseClicked, this, C.SelectSource);
      connect(F.OutputBox, &TPathSelector::BrowseClicked, this, C.SelectOutput);
      const auto Index = static_cast<TFlowIndex>(Flow - 1);
      AddPathDrop(Drops, F.SourceBox, C.SourceFilter, true,
                  [this, Index](const QString& N) { FillConversionSource(Index, N); });
      AddPathDrop(Drops, F.OutputBox, C.OutputFilter, false,
                  [this, Index](const QString& N) { FillConversionOutput(Index, N); });
      auto* Row = new QHBoxLayout;
      Row->addStretch(1);
      Row->addWidget(Button);
      L->addLayout(Row);
      Panels->addWidget(Panel, 1);
    }
    Page->addWidget(Bar);
  }
}

void TMainForm::CreateConverterComponents() {
  MP3ToWav = Make<TMP3ToWav>("MP3ToWav");

  WavToMp3_WaveIn = Make<TWaveIn>("WavToMp3_WaveIn");
  WavToMp3_MP3Out = MakeMp3Out("WavToMp3_MP3Out", WavToMp3_WaveIn, true);

  MP3ToVob = Make<TMP3ToWav>("MP3ToVob");
  WaveIn = Make<TWaveIn>("WaveIn");

  OggToMp3_OggIn = Make<TVorbisIn>("OggToMp3_OggIn");
  OggToMp3_MP3Out = MakeMp3Out("OggToMp3_MP3Out", OggToMp3_OggIn, true);

  WavToOgg_WaveIn = Make<TWaveIn>("WavToOgg_WaveIn");
  WavToOgg_OggOut = MakeVorbisOut("WavToOgg_OggOut", WavToOgg_WaveIn);

  OggToWav_OggIn = Make<TVorbisIn>("OggToWav_OggIn");
  OggToWav_WavOut = MakeWavOut("OggToWav_WavOut", OggToWav_OggIn, true);

  WavToFlac_WaveIn = Make<TWaveIn>("WavToFlac_WaveIn");
  WavToFlac_FlacOut = Make<TFLACOut>("WavToFlac_FlacOut");
  WavToFlac_FlacOut->SetInput(WavToFlac_WaveIn);
  WavToFlac_FlacOut->SetFileMode(foRewrite);
  SetConverterFlacEncoding(*WavToFlac_FlacOut);
  WavToFlac_FlacOut->SetSuspendWhenIdle(true);

  FlacToWav_FlacIn = Make<TFLACIn>("FlacToWav_FlacIn");
  FlacToWav_WavOut = MakeWavOut("FlacToWav_WavOut", FlacToWav_FlacIn, true);

  WavToApe_WavIn = Make<TWaveIn>("WavToApe_WavIn");
  WavToApe_ApeOut = Make<TMACOut>("WavToApe_ApeOut");
  WavToApe_ApeOut->SetInput(WavToApe_WavIn);
  WavToApe_ApeOut->SetFileMode(foRewrite);
  WavToApe_ApeOut->SetCompressionLevel(2000);
  WavToApe_ApeOut->SetMaxAudioBytes(-1);
  WavToApe_ApeOut->SetSuspendWhenIdle(true);

  ApeToWav_ApeIn = Make<TMACIn>("ApeToWav_ApeIn");
  ApeToWav_WavOut = MakeWavOut("ApeToWav_WavOut", ApeToWav_ApeIn, true);

  WireConversionFlows();
}

// ---------------------------------------------------------------- the flows

namespace {

// The tags every MP3 made by a converter page carries (the track is left as
// it is).
void SetConvertedMp3Tags(TMP3Out* Out) {
  Out->Id3TagTitle = "Converted mp3.";
  Out->Id3TagArtist = "Velmora";
  Out->Id3TagAlbum = "Unknown";
  Out->Id3TagYear = "Unknown";
  Out->Id3TagComment = "Converted by Velmora!";
}

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
  EngineFlow(flWavToMp3, WavToMp3_WaveIn, WavToMp3_MP3Out);
  EngineFlow(flOggToMp3, OggToMp3_OggIn, OggToMp3_MP3Out);
  EngineFlow(flWavToOgg, WavToOgg_WaveIn, WavToOgg_OggOut);
  EngineFlow(flOggToWav, OggToWav_OggIn, OggToWav_WavOut);
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

  // Events: raised on the workers, handled here on the window's thread.
  using TProgressHandler = void (TMainForm::*)(TComponent*, int);
  using TDoneHandler = void (TMainForm::*)(TComponent*);
  using TFailHandler = void (TMainForm::*)(TComponent*, const std::string&);
  auto Progress = [this](TProgressHandler H) {
    return [this, H](TComponent* S, int P) { (this->*H)(S, P); };
  };
  auto WireSink = [&](TACSOutput* Sink, TProgressHandler P, TDoneHandler D, TFailHandler E) {
    Sink->OnProgress = QueuedProgress(
        this, [Sink] { return Sink->Progress(); }, Progress(P));
    Sink->OnDone = QueuedEvent(this, [this, D](TComponent* S) { (this->*D)(S); });
    Sink->OnThreadException =
        QueuedException(this, [this, E](TComponent* S, const std::string& M) { (this->*E)(S, M); });
  };
  WireSink(WavToMp3_MP3Out, &TMainForm::WavToMp3Progress, &TMainForm::WavToMp3Done,
           &TMainForm::WavToMp3_MP3OutThreadException);
  WireSink(OggToMp3_MP3Out, &TMainForm::OggToMp3Progress, &TMainForm::OggToMp3Done,
           &TMainForm::OggToMp3_MP3OutThreadException);
  WireSink(WavToOgg_OggOut, &TMainForm::WavToOggProgress, &TMainForm::WavToOggDone,
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

  for (auto [D, P, Dn, E] :
       {std::tuple{MP3ToWav, &TMainForm::MP3ToWavProgress, &TMainForm::MP3ToWavDone,
                   &TMainForm::MP3ToWavThreadException},
        std::tuple{MP3ToVob, &TMainForm::MP3ToVobProgress, &TMainForm::MP3ToVobDone,
                   &TMainForm::MP3ToVobThreadException}}) {
    TMP3ToWav* Decoder = D;
    Decoder->OnProgress = QueuedProgress(
        this, [Decoder] { return Decoder->Progress(); }, Progress(P));
    Decoder->OnDone = Queued<TComponent*, bool>(
        this, [this, H = Dn](TComponent* S, bool Success) { (this->*H)(S, Success); });
    // A read or write error ends the flow with its reason, not as a success.
    Decoder->OnThreadException = QueuedException(
        this, [this, H = E](TComponent* S, const std::string& M) { (this->*H)(S, M); });
  }
}

// ---- the shared steps of the converters

void TMainForm::SelectConversionSource(TFlowIndex F) {
  TConversionFlow& Flow = FFlows[F];
  OpenDialog.FileName.clear();
  OpenDialog.Filter = QLatin1String(Flow.Spec->SourceFilter);
  if (!OpenDialog.Execute(Flow.SourceBox->objectName())) return;
  FillConversionSource(F, OpenDialog.FileName);
}

void TMainForm::FillConversionSource(TFlowIndex F, const QString& Name) {
  TConversionFlow& Flow = FFlows[F];
  Flow.SetSource(Utf8(Name));
  Flow.SourceBox->SetText(Name);
}

void TMainForm::SelectConversionOutput(TFlowIndex F) {
  TConversionFlow& Flow = FFlows[F];
  SaveDialog.FileName.clear();
  SaveDialog.Filter = QLatin1String(Flow.Spec->OutputFilter);
  if (!SaveDialog.Execute(Flow.OutputBox->objectName())) return;
  FillConversionOutput(F, SaveDialog.FileName);
}

void TMainForm::FillConversionOutput(TFlowIndex F, const QString& FileName) {
  TConversionFlow& Flow = FFlows[F];
  const QString Name = WithExtension(FileName, QLatin1String(Flow.Spec->Extension));
  Flow.SetOutput(Utf8(Name));
  Flow.OutputBox->SetText(Name);
}

bool TMainForm::ConversionMayStart(TFlowIndex F) {
  TConversionFlow& Flow = FFlows[F];
  const std::string In = Flow.Source(), Out = Flow.Output();
  if (In.empty() || Out.empty()) {
    ShowMessage(QLatin1String(Flow.Spec->EmptyMessage));
    return false;
  }
  if (!IsInputFileAndOutputFileUnLocked(In, Out)) {
    ShowMessage(
        QStringLiteral("Input/Output file locked by the other programme, please unlock it first!"));
    return false;
  }
  return true;
}

void TMainForm::StartConversion(TFlowIndex F) {
  TConversionFlow& Flow = FFlows[F];
  if (!ConversionMayStart(F)) return;
  JobStarted(Flow.Job, QLatin1String(Flow.Spec->Status));
  try {
    // The settings file is read now: choices not saved on the Settings page
    // do not count.
    if (Flow.Prepare) Flow.Prepare();
    Flow.Run();
  } catch (const std::exception& E) {
    ShowMessage(QStringLiteral("Runtime error: ") + FromUtf8(E.what()));
    JobFinished(Flow.Job);
  }
}

void TMainForm::ConversionFailed(TFlowIndex F, const std::string& Message) {
  ShowMessage(QStringLiteral("Runtime error: ") + FromUtf8(Message));
  if (F == flMp3ToVob)
    OnVorbisDone(nullptr);
  else
    JobFinished(FFlows[F].Job);
}

// ---- MP3 to Ogg: the decoder writes a WAV image into memory (into a file in
// the cache folder once it would pass Mp3ToVobImageLimit), then a Vorbis
// writer made for this run encodes it. The image goes when the run ends, fails
// or the window closes.

void TMainForm::Mp3ConvertToVob() {
  TConversionFlow& Flow = FFlows[flMp3ToVob];
  // The boxes are the record of the choice: a run clears OutputFile.
  MP3ToVob->SetInputFile(Utf8(Flow.SourceBox->Text()));
  MP3ToVob->SetOutputFile(Utf8(Flow.OutputBox->Text()));
  if (!ConversionMayStart(flMp3ToVob)) return;

  Mp3ToVob_WavStream = std::make_unique<TSpillStream>(FSetup.CacheFolder, Mp3ToVobImageLimit);
  // The last run's writer has ended (the page was locked until it did): it
  // goes now rather than keeping its worker until the window closes.
  if (Mp3ToVob_VobOut) {
    TComponent::Free(Mp3ToVob_VobOut);
    Mp3ToVob_VobOut = nullptr;
  }
  TVorbisOut* Sink = MakeVorbisOut("", WaveIn);
  Mp3ToVob_VobOut = Sink;
  Sink->SetFileName(MP3ToVob->OutputFile());
  Sink->OnProgress = QueuedProgress(
      this, [Sink] { return Sink->Progress(); },
      [this](TComponent* S, int P) { OnVorbisProgress(S, P); });
  Sink->OnDone = QueuedEvent(this, [this](TComponent* S) { OnVorbisDone(S); });
  Sink->OnThreadException = QueuedException(
      this, [this](TComponent* S, const std::string& M) { Mp3ToVob_VobOutThreadException(S, M); });

  JobStarted(Flow.Job, QLatin1String(Flow.Spec->Status));
  try {
    ApplyOggSettings(Sink);
    MP3ToVob->SetOutputFile("");
    MP3ToVob->SetOutputStream(Mp3ToVob_WavStream.get());
    MP3ToVob->Run();
  } catch (const std::exception& E) {
    ShowMessage(QStringLiteral("Runtime error: ") + FromUtf8(E.what()));
    OnVorbisDone(nullptr);
  }
}

// Stage 1 found no frame, or decoded the whole file: stage 2 runs on the
// image (an empty image fails there, with the WAV reader's reason).
void TMainForm::MP3ToVobDone(TComponent*, bool) {
  // The window may have closed (and freed the writer) while decoding.
  if (!Mp3ToVob_VobOut || !Mp3ToVob_WavStream) {
    OnVorbisDone(nullptr);
    return;
  }
  SetStatus(QStringLiteral("Converting to ogg vorbis..."));
  JobRestartProgress(FFlows[flMp3ToVob].Job);
  Mp3ToVob_WavStream->SetPosition(0);
  WaveIn->SetStream(Mp3ToVob_WavStream.get());
  try {
    Mp3ToVob_VobOut->Run();
  } catch (const std::exception& E) {
    ShowMessage(QStringLiteral("Runtime error: ") + FromUtf8(E.what()));
    OnVorbisDone(nullptr);
  }
}

void TMainForm::OnVorbisDone(TComponent*) {
  JobFinished(FFlows[flMp3ToVob].Job);
  // Neither the decoder nor the reader may keep the image once it goes.
  MP3ToVob->SetOutputStream(nullptr);
  WaveIn->SetStream(nullptr);
  Mp3ToVob_WavStream.reset();
}

void TMainForm::MP3ToVobProgress(TComponent*, int Percent) {
  JobProgress(FFlows[flMp3ToVob].Job, Percent);
}
void TMainForm::OnVorbisProgress(TComponent*, int Percent) {
  JobProgress(FFlows[flMp3ToVob].Job, Percent);
}
void TMainForm::Mp3ToVob_VobOutThreadException(TComponent*, const std::string& Message) {
  ConversionFailed(flMp3ToVob, Message);
}
// The decoding into memory failed part-way: the partial image is not encoded.
void TMainForm::MP3ToVobThreadException(TComponent*, const std::string& Message) {
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

void TMainForm::MP3ToWavProgress(TComponent*, int P) { JobProgress(FFlows[flMp3ToWav].Job, P); }
void TMainForm::WavToMp3Progress(TComponent*, int P) { JobProgress(FFlows[flWavToMp3].Job, P); }
void TMainForm::OggToMp3Progress(TComponent*, int P) { JobProgress(FFlows[flOggToMp3].Job, P); }
void TMainForm::WavToOggProgress(TComponent*, int P) { JobProgress(FFlows[flWavToOgg].Job, P); }
void TMainForm::OggToWavProgress(TComponent*, int P) { JobProgress(FFlows[flOggToWav].Job, P); }
void TMainForm::WavToFlacProgress(TComponent*, int P) { JobProgress(FFlows[flWavToFlac].Job, P); }
void TMainForm::FlacToWavProgress(TComponent*, int P) { JobProgress(FFlows[flFlacToWav].Job, P); }
void TMainForm::WavToApeProgress(TComponent*, int P) { JobProgress(FFlows[flWavToApe].Job, P); }
void TMainForm::ApeToWavProgress(TComponent*, int P) { JobProgress(FFlows[flApeToWav].Job, P); }

// The decoder's Success flag is not looked at: an MP3 without a decodable
// frame gives an empty WAV file. A decoding that failed part-way ends in
// MP3ToWavThreadException instead.
void TMainForm::MP3ToWavDone(TComponent*, bool) { JobFinished(FFlows[flMp3ToWav].Job); }
void TMainForm::MP3ToWavThreadException(TComponent*, const std::string& M) {
  ConversionFailed(flMp3ToWav, M);
}
void TMainForm::WavToMp3Done(TComponent*) { JobFinished(FFlows[flWavToMp3].Job); }
void TMainForm::OggToMp3Done(TComponent*) { JobFinished(FFlows[flOggToMp3].Job); }
void TMainForm::WavToOggDone(TComponent*) { JobFinished(FFlows[flWavToOgg].Job); }
void TMainForm::OggToWavDone(TComponent*) { JobFinished(FFlows[flOggToWav].Job); }
void TMainForm::WavToFlacDone(TComponent*) { JobFinished(FFlows[flWavToFlac].Job); }
void TMainForm::FlacToWavDone(TComponent*) { JobFinished(FFlows[flFlacToWav].Job); }
void TMainForm::WavToApeDone(TComponent*) { JobFinished(FFlows[flWavToApe].Job); }
void TMainForm::ApeToWavDone(TComponent*) { JobFinished(FFlows[flApeToWav].Job); }

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
