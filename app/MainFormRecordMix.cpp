// Page 8, Record--Mix: the voice recorded over a background song, then the
// two mixed into one file (or the sound card's own mix recorded directly).
#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
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
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/AudioFns.h"
#include "app/DropTargets.h"
#include "app/EventMarshal.h"
#include "app/IniSettings.h"
#include "app/MainForm.h"
#include "app/PathSelector.h"
#include "codecs/CodecRegistry.h"

namespace {

// The level bar shows the first of the meter's bands, 0 to 25.
constexpr int kLevelMaximum = 25;
constexpr int kTimerInterval = 100;
// How long Cancel and closing wait for a stopped recording to finish its
// file: longer than the capture source waits for a silent device.
constexpr int kCancelWaitMs = 15000;
const char* const kSongFilter = "Mp3 file|*.mp3|Wave file|*.wav";
const char* const kOutputFilter = "Wave file|*.wav|Mp3 file|*.mp3";
const char* const kLyricFilter = "Lyric file|*.txt;*.lrc";
const char* const kRecordMixDescription = "Record--Mix:Mix you voice and the other audio to one.";

std::string Utf8(const QString& S) { return S.toUtf8().toStdString(); }
QString FromUtf8(const std::string& S) {
  return QString::fromUtf8(S.data(), static_cast<int>(S.size()));
}
bool IsMp3(const std::string& Name) { return LowerExtension(Name) == ".mp3"; }

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
  // Dropped on the page, a song fills the song box and a lyric file the lyric
  // box; the output box takes a file dropped on it, its type from its name.
  auto* Drops = new TDropTargets(Sheet);
  AddPathDrop(Drops, RecordMix_SourceAudioPathSelector, kSongFilter, true,
              [this](const QString& N) { FillRecordMixSong(N); });
  AddPathDrop(Drops, RecordMix_OutputAudioPathSelector, kOutputFilter, false,
              [this](const QString& N) {
                FillRecordMixOutput(N, N.endsWith(QStringLiteral(".mp3"), Qt::CaseInsensitive));
              });
  AddPathDrop(Drops, RecordMix_LyricPathSelector, kLyricFilter, true,
              [this](const QString& N) { FillRecordMixLyric(N); });

  PlaySourceAudioCheckBox =
      new QCheckBox(QStringLiteral("&Play the background music when recording"), Sheet);
  PlaySourceAudioCheckBox->setObjectName(QStringLiteral("PlaySourceAudioCheckBox"));
  PlaySourceAudioCheckBox->setChecked(true);
  PlayAudioAfterMixedCK =
      new QCheckBox(QStringLiteral("Play the mixing audio after &finished"), Sheet);
  PlayAudioAfterMixedCK->setObjectName(QStringLiteral("PlayAudioAfterMixedCK"));
  Left->addWidget(PlaySourceAudioCheckBox);
  Left->addWidget(PlayAudioAfterMixedCK);

  QGroupBox* Mode = MakeGroup(QString(), Sheet);
  Mode->setAccessibleName(QStringLiteral("Recording mode"));
  auto* ModeColumn = new QVBoxLayout(Mode);
  ModeColumn->setContentsMargins(6, 2, 6, 2);
  MixAfterRecRadioButton = new QRadioButton(
      QStringLiteral("Mix after &recorded mode(Slow but high audio quality)"), Mode);
  MixAfterRecRadioButton->setObjectName(QStringLiteral("MixAfterRecRadioButton"));
  MixAfterRecRadioButton->setChecked(true);
  StereoMixRadioButton =
      new QRadioButton(QStringLiteral("Stereo &Mix mode(Fast but low audio quality)"), Mode);
  StereoMixRadioButton->setObjectName(QStringLiteral("StereoMixRadioButton"));
  ModeColumn->addWidget(MixAfterRecRadioButton);
  ModeColumn->addWidget(StereoMixRadioButton);
  Left->addWidget(Mode);

  auto* Buttons = new QHBoxLayout;
  RecordMix_StartBtn = new QPushButton(QStringLiteral("&Start"), Sheet);
  RecordMix_StartBtn->setObjectName(QStringLiteral("RecordMix_StartBtn"));
  RecordMix_StopBtn = new QPushButton(QStringLiteral("F&inish"), Sheet);
  RecordMix_StopBtn->setObjectName(QStringLiteral("RecordMix_StopBtn"));
  RecordMix_StopBtn->setEnabled(false);
  RecordMix_CancelBtn = new QPushButton(QStringLiteral("&Cancel"), Sheet);
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
  RecordMix_VoiceTrim = Make<TLeadTrim>("RecordMix_VoiceTrim");
  RecordMix_VoiceTrim->SetInput(RecordMix_RecordedWavIn);
  RecordMix_AudioMixer = Make<TAudioMixer>("RecordMix_AudioMixer");
  // The song is the first input: the mix takes its format, and the voice,
  // whatever format it was recorded in, is converted to it.
  RecordMix_AudioMixer->SetInput1(RecordMix_SourceWavIn);
  RecordMix_AudioMixer->SetInput2(RecordMix_VoiceTrim);
  RecordMix_AudioMixer->SetMode(amMix);
  RecordMix_AudioMixer->SetVolume1(255);
  RecordMix_AudioMixer->SetVolume2(255);
  RecordMix_WavOut2 = MakeWavOut("RecordMix_WavOut2", RecordMix_AudioMixer, false);
  RecordMix_Mp3Out2 = MakeMp3Out("RecordMix_Mp3Out2", RecordMix_AudioMixer, false);
  RecordMix_MP3ToWav = Make<TMP3ToWav>("RecordMix_MP3ToWav");

  // Events: raised on the workers, handled on this thread for the run that
  // raised them.
  for (TACSOutput* Sink : std::initializer_list<TACSOutput*>{RecordMix_WavOut, RecordMix_Mp3Out}) {
    Sink->OnDone = [this](TComponent* S) {
      PostToThreadOf(this, RecordMixGuard([this, S] { RecordMixWaveOutDone(S); }));
    };
    Sink->OnThreadException = [this](TComponent* S, const std::exception& E) {
      PostToThreadOf(this, RecordMixGuard([this, S, M = std::string(E.what())] {
                       RecordMix_WavOutThreadException(S, M);
                     }));
    };
  }
  for (TACSOutput* Sink :
       std::initializer_list<TACSOutput*>{RecordMix_WavOut2, RecordMix_Mp3Out2}) {
    Sink->OnProgress = [this, Sink](TComponent* S) {
      const int P = Sink->Progress();
      PostToThreadOf(this, RecordMixGuard([this, S, P] { RecorderMixMixingProgress(S, P); }));
    };
    Sink->OnDone = [this](TComponent* S) {
      PostToThreadOf(this, RecordMixGuard([this, S] { RecorderMixMixDone(S); }));
    };
  }
  RecordMix_WavOut2->OnThreadException = [this](TComponent* S, const std::exception& E) {
    PostToThreadOf(this, RecordMixGuard([this, S, M = std::string(E.what())] {
                     RecordMix_WavOut2ThreadException(S, M);
                   }));
  };
  RecordMix_Mp3Out2->OnThreadException = [this](TComponent* S, const std::exception& E) {
    PostToThreadOf(this, RecordMixGuard([this, S, M = std::string(E.what())] {
                     RecordMix_Mp3Out2ThreadException(S, M);
                   }));
  };
  RecordMix_MP3ToWav->OnProgress = [this](TComponent* S) {
    const int P = RecordMix_MP3ToWav->Progress();
    PostToThreadOf(this, RecordMixGuard([this, S, P] { RecorderMixConvertToWavProgress(S, P); }));
  };
  RecordMix_MP3ToWav->OnDone = [this](TComponent* S, bool Success) {
    PostToThreadOf(this,
                   RecordMixGuard([this, S, Success] { RecorderMixConvertToWavDone(S, Success); }));
  };
  RecordMix_MP3ToWav->OnThreadException = [this](TComponent* S, const std::exception& E) {
    PostToThreadOf(this, RecordMixGuard([this, S, M = std::string(E.what())] {
                     RecorderMixConvertToWavThreadException(S, M);
                   }));
  };

  connect(RecordMix_SourceAudioPathSelector, &TPathSelector::BrowseClicked, this,
          &TMainForm::RecordMix_SourceAudioPathSelect);
  connect(RecordMix_OutputAudioPathSelector, &TPathSelector::BrowseClicked, this,
          &TMainForm::RecordMix_OutputAudioPathSelect);
  connect(RecordMix_LyricPathSelector, &TPathSelector::BrowseClicked, this,
          &TMainForm::RecordMix_LyricPathSelectorButtonClick);
  connect(RecordMix_StartBtn, &QPushButton::clicked, this, &TMainForm::ExecuteRecordAndMix);
  connect(RecordMix_StopBtn, &QPushButton::clicked, this, &TMainForm::StopRecord);
  connect(RecordMix_CancelBtn, &QPushButton::clicked, this, &TMainForm::RecordMix_CancelBtnClick);
  connect(Timer2, &QTimer::timeout, this, &TMainForm::Timer2Timer);
}

// ---------------------------------------------------------------- handlers

std::function<void()> TMainForm::RecordMixGuard(std::function<void()> Handler) {
  // Read on the worker as the event is raised: the run it belongs to.
  const uint64_t Run = FRecordMixRun.load();
  return [this, Run, Handler = std::move(Handler)] {
    if (Run != 0 && Run == FRecordMixLive) Handler();
  };
}

TKaraokeWorkFiles TMainForm::RecordMixWorkFiles() const {
  return TKaraokeWorkFiles::In(FSetup.WorkFolder);
}

void TMainForm::RecordMix_SourceAudioPathSelect() {
  OpenDialog.FileName.clear();
  OpenDialog.Filter = QLatin1String(kSongFilter);
  if (!OpenDialog.Execute(RecordMix_SourceAudioPathSelector->objectName())) return;
  FillRecordMixSong(OpenDialog.FileName);
}

void TMainForm::FillRecordMixSong(const QString& FileName) {
  FRecordMixSong = Utf8(FileName);
  RecordMix_SourceAudioPathSelector->SetText(FileName);
  AudioLengthLabel->setText(QStringLiteral("Audio length: ") + GetAudioLengthText(FRecordMixSong));
  AudioLengthLabel->show();
}

void TMainForm::RecordMix_OutputAudioPathSelect() {
  SaveDialog.FileName.clear();
  SaveDialog.Filter = QLatin1String(kOutputFilter);
  if (!SaveDialog.Execute(RecordMix_OutputAudioPathSelector->objectName())) return;
  FillRecordMixOutput(SaveDialog.FileName, SaveDialog.FilterIndex == 2);
}

void TMainForm::FillRecordMixOutput(const QString& FileName, bool Mp3) {
  const QString Name =
      WithExtension(FileName, Mp3 ? QStringLiteral(".mp3") : QStringLiteral(".wav"));
  FRecordMixOutput = Utf8(Name);
  RecordMix_OutputAudioPathSelector->SetText(Name);
}

void TMainForm::RecordMix_LyricPathSelectorButtonClick() {
  SaveDialog.FileName.clear();
  SaveDialog.Filter = QLatin1String(kLyricFilter);
  if (!SaveDialog.Execute(RecordMix_LyricPathSelector->objectName())) return;
  FillRecordMixLyric(SaveDialog.FileName);
}

void TMainForm::FillRecordMixLyric(const QString& FileName) {
  RecordMix_LyricPathSelector->SetText(FileName);
}

void TMainForm::ExecuteRecordAndMix() {
  if (FRecordMixState != rmIdle) return;
  const std::string& S = FRecordMixSong;
  const std::string& O = FRecordMixOutput;
  if (S.empty() || O.empty()) {
    ShowMessage(QStringLiteral("Please select source wav and output wav first!"));
    return;
  }
  CloseExternalPlayer();
  if (!IsInputFileAndOutputFileUnLocked(S, O)) {
    ShowMessage(
        QStringLiteral("Input/Output file locked by the other programme, please unlock it first!"));
    return;
  }
  const bool Stereo = StereoMixRadioButton->isChecked();
  // A take is never recorded against a song that cannot be mixed.
  FRecordMixSongInfo = ProbeKaraokeSong(S);
  if (!Stereo && !FRecordMixSongInfo.Usable) {
    ShowMessage(QStringLiteral("Runtime error: ") + FromUtf8(FRecordMixSongInfo.Reason));
    return;
  }
  const TKaraokeWorkFiles Work = RecordMixWorkFiles();
  if (const std::string Problem = KaraokeOutputProblem(S, O, Work); !Problem.empty()) {
    ShowMessage(QStringLiteral("Runtime error: ") + FromUtf8(Problem));
    return;
  }
  // Another window (or the command line) records or mixes with the working
  // files: they are as locked as any file another program holds.
  if (!FRecordMixWorkLock.Acquire(Work)) {
    ShowMessage(
        QStringLiteral("Input/Output file locked by the other programme, please unlock it first!"));
    return;
  }

  FRecordMixLive = ++FRecordMixRun;
  FRecordMixStereo = Stereo;
  FRecordMixState = rmRecording;
  RecordMix_StartBtn->setEnabled(false);
  RecordMix_SourceAudioPathSelector->setEnabled(false);
  RecordMix_OutputAudioPathSelector->setEnabled(false);
  RecordMixLatency.Clear();
  RecordMixVoiceShiftFrames = 0;
  try {
    ApplyWaveSettings(RecordMix_AudioIn);
    if (!Stereo) {
      // The voice is mixed with the song: it is recorded in the song's rate
      // and channels, in 16 bits, whatever the settings say.
      RecordMix_AudioIn->SetInBitsPerSample(16);
      RecordMix_AudioIn->SetInChannels(FRecordMixSongInfo.Channels);
      RecordMix_AudioIn->SetInSampleRate(FRecordMixSongInfo.Rate);
    }
    TMixerLineIndices Lines = RecorderMicLines();
    FRecordMixMicRouted = true;
    if (Stereo) {
      StereoMixVolumeBar->setEnabled(true);
      RouteStereoMix(*AudioMixer, Lines, MicOutputVolumeBar->value(), StereoMixVolumeBar->value());
      FRecordMixSink = IsMp3(O) ? static_cast<TACSFileOut*>(RecordMix_Mp3Out) : RecordMix_WavOut;
      FRecordMixSink->SetFileName(O);
    } else {
      StereoMixVolumeBar->setEnabled(false);
      RouteMicrophone(*AudioMixer, Lines, MicOutputVolumeBar->value(), MicRecordVolumeBar->value());
      FRecordMixSink = RecordMix_WavOut;
      FRecordMixSink->SetFileName(Work.Record);
    }
    BackgroundVolumeBarChange();
    MicOutputVolumeBarChange(MicOutputVolumeBar);
    MicRecordVolumeBarChange(MicRecordVolumeBar);
    StereoMixVolumeBarChange();

    FRecordMixLyricsShown = false;
    const QString Lyrics = RecordMix_LyricPathSelector->Text().trimmed();
    if (!Lyrics.isEmpty()) {
      FRecordMixLyricsShown = true;
      if (!RecordMixLyric.Show(this, FromUtf8(FSetup.ProgramFolder),
                               RecordMix_LyricPathSelector->Text(), AudioLengthSeconds))
        throw EACSException(RecordMixLyric.Error());
    }
    if (PlaySourceAudioCheckBox->isChecked()) {
      FRecordMixPlaying = true;
      PlayInPlayer(S);
    }

    SetStatus(QStringLiteral("Recording..."));
    RecordLengthLabel->show();
    TimeElapsedLabel->setText(QStringLiteral("0"));
    TimeElapsedLabel->show();
    FRecordMixElapsed = 0;
    Timer2->start();
    RecordMix_AudioIn->SetRecTime(-1);
    RecordMix_StopBtn->setEnabled(true);
    RecordMix_CancelBtn->setEnabled(true);
    FRecordMixSink->Run();
  } catch (const std::exception& E) {
    RecordMixFail(E.what());
  }
}

void TMainForm::StopRecord() {
  if (FRecordMixState != rmRecording) return;
  RecordMixMeasureLatency();
  RecordMixUndoRecording();
  // The sink finishes the file; its completion carries the run on.
  if (FRecordMixSink) FRecordMixSink->Stop();
}

void TMainForm::RecordMixUndoRecording() {
  if (FRecordMixPlaying) {
    FRecordMixPlaying = false;
    try {
      Mp3Player->StopInput();
      Mp3Player->CloseInput();
    } catch (const std::exception&) {
      // A player that never started has nothing to stop.
    }
  }
  Timer2->stop();
  RecordLengthLabel->hide();
  TimeElapsedLabel->hide();
  IndicatedProgressBar2->setValue(0);
  if (FRecordMixMicRouted) {
    FRecordMixMicRouted = false;
    try {
      EndMicrophoneRouting(*AudioMixer, RecorderMicLines());
    } catch (const std::exception& E) {
      ShowMessage(QStringLiteral("Runtime error: ") + FromUtf8(E.what()));
    }
  }
  RecordMixLyric.Close();
}

void TMainForm::RecordMix_CancelBtnClick() {
  if (FRecordMixState != rmRecording) return;
  // Whatever the run still has queued, or raises from here on, is dropped.
  FRecordMixLive = 0;
  TACSFileOut* Sink = FRecordMixSink;
  RecordMixUndoRecording();
  RecordMix_StopBtn->setEnabled(false);
  RecordMix_CancelBtn->setEnabled(false);
  if (Sink) {
    Sink->Stop();
    // The sink finishes its file; the window stays alive meanwhile.
    QElapsedTimer T;
    T.start();
    while (!Sink->WaitForEnd(std::chrono::milliseconds(20)) && T.elapsed() < kCancelWaitMs)
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  }
  RecordMixIdle();
}

void TMainForm::RecordMixIdle() {
  FRecordMixState = rmIdle;
  FRecordMixSink = nullptr;
  FRecordMixMixSink = nullptr;
  FRecordMixLive = 0;
  FRecordMixWorkLock.Release();
  RecordMixProgressBar->hide();
  RecordMixProgressBar->setValue(0);
  RecordMix_StartBtn->setEnabled(true);
  RecordMix_StopBtn->setEnabled(false);
  RecordMix_CancelBtn->setEnabled(false);
  RecordMix_SourceAudioPathSelector->setEnabled(true);
  RecordMix_OutputAudioPathSelector->setEnabled(true);
  SetStatus(QLatin1String(kRecordMixDescription));
}

void TMainForm::RecordMixEnd(bool Ok, const QString& Error) {
  RecordMixUndoRecording();
  RecordMixIdle();
  if (!Ok) {
    ShowMessage(QStringLiteral("Runtime error: ") + Error);
    return;
  }
  ShowMessage(QStringLiteral("Mixing done!"));
  if (PlayAudioAfterMixedCK->isChecked()) StartExternalPlayer(FRecordMixOutput);
}

void TMainForm::RecordMixFail(const std::string& Message) {
  RecordMixEnd(false, FromUtf8(Message));
}

void TMainForm::Timer2Timer() {
  const int64_t Frame =
      int64_t{RecordMix_AudioIn->InBitsPerSample() / 8} * RecordMix_AudioIn->InChannels();
  const int Rate = RecordMix_AudioIn->InSampleRate();
  FRecordMixElapsed = Frame > 0 && Rate > 0
                          ? static_cast<float>(static_cast<double>(RecordMix_AudioIn->Position()) /
                                               static_cast<double>(Frame) / Rate)
                          : 0.0f;
  if (FRecordMixLyricsShown) RecordMixLyric.Position(FRecordMixElapsed);
  double Levels[TSoundIndicator::kBands];
  SoundIndicator2->GetValues(Levels);
  IndicatedProgressBar2->setValue(
      static_cast<int>(std::clamp<long>(std::lround(Levels[0]), 0, kLevelMaximum)));
  const long Secs = std::lround(FRecordMixElapsed);
  TimeElapsedLabel->setText(
      QString::asprintf(Secs % 60 > 9 ? "%ld:%ld" : "%ld:0%ld", Secs / 60, Secs % 60));
  RecordMixMeasureLatency();
}

void TMainForm::RecordMixMeasureLatency() {
  // Only the voice recorded for a mix is moved; the stereo mix is recorded
  // as the card plays it.
  if (FRecordMixState == rmRecording && !FRecordMixStereo && FRecordMixPlaying)
    RecordMixLatency.Sample();
}

void TMainForm::RecordMixWaveOutDone(TComponent*) {
  if (FRecordMixState != rmRecording) return;
  if (FRecordMixStereo) {
    RecordMixEnd(true);
    return;
  }
  RecordMixUndoRecording();
  RecordMix_StopBtn->setEnabled(false);
  RecordMix_CancelBtn->setEnabled(false);
  RecordMixProgressBar->setValue(0);
  RecordMixProgressBar->show();
  if (!FRecordMixSongInfo.Mp3) {
    FRecordMixState = rmMixing;
    SetStatus(QStringLiteral("Record done, mixing..."));
    RecordMixExecuteMix();
    return;
  }
  FRecordMixState = rmPreparing;
  SetStatus(QStringLiteral("Record done, preparing..."));
  const std::string Convert = RecordMixWorkFiles().Convert;
  // Never mix what an earlier run left there.
  if (std::remove(Convert.c_str()) != 0 && errno != ENOENT) {
    RecordMixFail("Cannot delete \"" + Convert + "\". " + std::strerror(errno));
    return;
  }
  try {
    RecordMix_MP3ToWav->SetInputFile(FRecordMixSong);
    RecordMix_MP3ToWav->SetOutputFile(Convert);
    RecordMix_MP3ToWav->Run();
  } catch (const std::exception& E) {
    RecordMixFail(E.what());
  }
}

void TMainForm::RecordMix_WavOutThreadException(TComponent*, const std::string& Message) {
  if (FRecordMixState != rmRecording) return;
  RecordMixFail(Message);
}

void TMainForm::RecorderMixConvertToWavProgress(TComponent*, int Percent) {
  if (FRecordMixState == rmPreparing) RecordMixProgressBar->setValue(std::clamp(Percent, 0, 100));
}

void TMainForm::RecorderMixConvertToWavDone(TComponent*, bool Success) {
  if (FRecordMixState != rmPreparing) return;
  RecordMixProgressBar->setValue(0);
  if (!Success) {
    RecordMixFail("The background music could not be decoded: " + FRecordMixSong);
    return;
  }
  FRecordMixState = rmMixing;
  SetStatus(QStringLiteral("Data prepared, now mixing..."));
  RecordMixExecuteMix();
}

void TMainForm::RecorderMixConvertToWavThreadException(TComponent*, const std::string& Message) {
  if (FRecordMixState != rmPreparing) return;
  RecordMixFail(Message);
}

void TMainForm::RecordMixExecuteMix() {
  const TKaraokeWorkFiles Work = RecordMixWorkFiles();
  try {
    RecordMix_SourceWavIn->SetFileName(FRecordMixSongInfo.Mp3 ? Work.Convert : FRecordMixSong);
    RecordMix_RecordedWavIn->SetFileName(Work.Record);
    RecordMixVoiceShiftFrames =
        RecordMixCompensateLatency ? RecordMixLatency.ShiftFrames(FRecordMixSongInfo.Rate) : 0;
    RecordMix_VoiceTrim->SetShiftFrames(RecordMixVoiceShiftFrames);
    RecordMix_AudioMixer->SetVolume1(static_cast<uint8_t>(BackgroundVolumeBar->value()));
    RecordMix_AudioMixer->SetVolume2(255);
    if (IsMp3(FRecordMixOutput)) {
      RecordMix_Mp3Out2->SetFileName(FRecordMixOutput);
      RecordMix_Mp3Out2->SetBitRate(TMP3BitRate::br128);
      RecordMix_Mp3Out2->Id3TagTitle = "Recorded-Mixed mp3.";
      RecordMix_Mp3Out2->Id3TagArtist = "Velmora";
      RecordMix_Mp3Out2->Id3TagAlbum = "Unknown";
      RecordMix_Mp3Out2->Id3TagYear = "Unknown";
      RecordMix_Mp3Out2->Id3TagComment = "Recorded-Mixed by Velmora!";
      ApplyMp3Settings(RecordMix_Mp3Out2);
      FRecordMixMixSink = RecordMix_Mp3Out2;
    } else {
      RecordMix_WavOut2->SetFileName(FRecordMixOutput);
      FRecordMixMixSink = RecordMix_WavOut2;
    }
    FRecordMixMixSink->Run();
  } catch (const std::exception& E) {
    RecordMixFail(E.what());
  }
}

void TMainForm::RecorderMixMixingProgress(TComponent*, int Percent) {
  if (FRecordMixState == rmMixing) RecordMixProgressBar->setValue(std::clamp(Percent, 0, 100));
}

void TMainForm::RecorderMixMixDone(TComponent*) {
  if (FRecordMixState != rmMixing) return;
  RecordMixEnd(true);
}

void TMainForm::RecordMix_WavOut2ThreadException(TComponent*, const std::string& Message) {
  if (FRecordMixState != rmMixing) return;
  RecordMixFail(Message);
}

void TMainForm::RecordMix_Mp3Out2ThreadException(TComponent* Sender, const std::string& Message) {
  RecordMix_WavOut2ThreadException(Sender, Message);
}

void TMainForm::RecordMixEndForClose() {
  if (FRecordMixState == rmIdle) return;
  FRecordMixLive = 0;
  try {
    RecordMixUndoRecording();
  } catch (const std::exception&) {
    // The window is going: nobody is left to tell.
  }
  for (TACSFileOut* Sink : {FRecordMixSink, FRecordMixMixSink}) {
    if (!Sink) continue;
    Sink->Stop();
    Sink->WaitForEnd(std::chrono::milliseconds(kCancelWaitMs));
  }
  RecordMix_MP3ToWav->WaitForEnd(std::chrono::milliseconds(kCancelWaitMs));
  FRecordMixState = rmIdle;
  FRecordMixSink = FRecordMixMixSink = nullptr;
  FRecordMixWorkLock.Release();
}
