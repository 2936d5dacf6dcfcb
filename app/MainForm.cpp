#include "app/MainForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShowEvent>
#include <QSlider>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <cmath>

#include "app/AppDataModule.h"
#include "app/DesktopNotifier.h"
#include "app/DropTargets.h"
#include "app/EventMarshal.h"
#include "app/IniSettings.h"
#include "app/PathSelector.h"
#include "platform/ProgramFolder.h"

namespace {

// The pages in tab order: caption and the status line's description.
struct TPageText {
  const char* Caption;
  const char* Description;
};
constexpr std::array<TPageText, 10> kPages = {{
    {"Mp3<->Wav", "Mp3<->Wav:Converter of mp3 and wav audio."},
    {"Mp3<->Ogg", "Mp3<->Ogg:Converter of mp3 and ogg audio."},
    {"Wav<->Ogg", "Wav<->Ogg:Converter of wav and ogg audio."},
    {"Wav<->Flac", "Wav<->Flac:Converter of wav and flac audio."},
    {"Wav<->Ape", "Wav<->Ape:Converter of wav and Ape audio."},
    {"Mixer", "Mixer:Mix two wav audio to one."},
    {"Recorder", "Recorder:Record you voice to mp3/wav file."},
    {"Record--Mix", "Record--Mix:Mix you voice and the other audio to one."},
    {"CdRipper", "CdRipper:Rip audio cd to wav or mp3 audio."},
    {"Settings", "Settings:Settings of audio output."},
}};

// The client area the window starts with.
constexpr int kClientWidth = 678;
constexpr int kClientHeight = 395;
constexpr int kStatusPanelWidth = 330;

}  // namespace

TMainForm::TSetup::TSetup()
    : ProgramFolder(::ProgramFolder()),
      SettingsPath(WritableProgramFile("Settings.ini", true)),
      Languages(LanguageManager) {
  const std::string Record = WritableProgramFile(kRecordWorkFile, false);
  WorkFolder = Record.substr(0, Record.size() - std::string(kRecordWorkFile).size());
  CacheFolder = ::CacheFolder();
}

TMainForm::TMainForm(const TSetup& Setup)
    : TLangForm(Setup.Languages),
      OpenDialog(TFileDialog::fdOpen, this),
      SaveDialog(TFileDialog::fdSave, this),
      FSetup(Setup),
      FComponents(MakeComponent<TComponent>(nullptr)),
      FNotifier(std::make_unique<TDesktopNotifier>(QString::fromStdString(Setup.NotificationBus))) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(QStringLiteral("Velmora v1.2"));
  FComponents->SetName("MainForm");

  auto* Layout = new QVBoxLayout(this);
  Layout->setContentsMargins(4, 4, 4, 0);
  Layout->setSpacing(2);
  PageControl = new QTabWidget(this);
  PageControl->setObjectName(QStringLiteral("PageControl"));
  PageControl->setAccessibleName(QStringLiteral("Pages"));
  // Every tab stays in sight: the window grows to hold them rather than
  // hiding some behind scroll arrows.
  PageControl->setUsesScrollButtons(false);
  PageControl->tabBar()->setStyleSheet(QStringLiteral("QTabBar::tab { padding: 4px 7px; }"));
  Layout->addWidget(PageControl, 1);

  FProgressTimer = new QTimer(this);
  FProgressTimer->setInterval(50);
  connect(FProgressTimer, &QTimer::timeout, this, &TMainForm::ShowPendingProgress);

  BuildConverterPages();
  BuildMixerPage();
  BuildRecorderPage();
  BuildRecordMixPage();
  BuildCdRipperPage();
  BuildSettingsPage();

  StatusBar1 = new QStatusBar(this);
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  StatusBar1->setSizeGripEnabled(false);
  FStatusPanel = new QLabel(StatusBar1);
  FStatusPanel->setObjectName(QStringLiteral("StatusPanel"));
  FStatusPanel->setTextFormat(Qt::PlainText);  // a status may name a file
  FStatusPanel->setMinimumWidth(kStatusPanelWidth);
  FStatusPanel->setAccessibleName(QStringLiteral("Status"));
  StatusBar1->addWidget(FStatusPanel, 1);
  HelpLink = new QPushButton(QStringLiteral(">&Help"), StatusBar1);
  HelpLink->setObjectName(QStringLiteral("HelpLink"));
  HelpLink->setToolTip(QStringLiteral("Click me to get help!"));
  HelpLink->setFlat(true);
  HelpLink->setCursor(Qt::PointingHandCursor);
  HelpLink->setStyleSheet(
      QStringLiteral("QPushButton { color: palette(link); text-decoration: underline; "
                     "border: none; padding: 0 6px; }"));
  connect(HelpLink, &QPushButton::clicked, this, &TMainForm::HelpLinkClick);
  StatusBar1->addPermanentWidget(HelpLink);
  Layout->addWidget(StatusBar1);

  CreateMixerDevices();
  CreateConverterComponents();
  CreateMixerComponents();
  CreateRecorderComponents();
  CreateRecordMixComponents();
  CreatePlayerComponents();
  CreateCdRipperComponents();

  // The start size, grown only as far as the desktop's fonts need, centred.
  const QSize Need = sizeHint().expandedTo(minimumSizeHint());
  resize(std::max(kClientWidth, Need.width()), std::max(kClientHeight, Need.height()));
  if (const QScreen* S = QGuiApplication::primaryScreen()) {
    const QRect Area = S->availableGeometry();
    move(Area.center() - rect().center());
  }

  InitLanguage();
}

TMainForm::~TMainForm() {
  EndRecordingForClose();
  RecordMixEndForClose();
  EndRipForClose();
  // Components first: their workers end while the window, the target of
  // their queued events, still exists.
  FComponents.reset();
  Mp3ToVob_WavStream.reset();
  if (!FClosed && FShown) CloseSettings();
}

// ---------------------------------------------------------------- shell

void TMainForm::SetStatus(const QString& Text) {
  FStatusPanel->setText(Text);
  Q_EMIT StatusChanged(Text);
}
QString TMainForm::StatusText() const { return FStatusPanel->text(); }

void TMainForm::ShowMessage(const QString& Text) {
  if (AppDataModule)
    AppDataModule->SkinMessage(Text, this);
  else
    CurrentDialogs().ShowMessage(this, Text);
}

void TMainForm::showEvent(QShowEvent* Event) {
  TLangForm::showEvent(Event);
  if (!FShown) {
    FShown = true;
    FormShow();
  }
}

void TMainForm::closeEvent(QCloseEvent* Event) {
  if (!FClosed) {
    FClosed = true;
    FormClose();
  }
  TLangForm::closeEvent(Event);
}

void TMainForm::FormShow() {
  MicOutputLineIndex = MicRecordLineIndex = StereoMixLineIndex = -1;
  FHelpPath = QString::fromStdString(FSetup.ProgramFolder + "external/help.htm");

  if (AudioMixer->DeviceCount() >= 1) {
    // The first capture device: the recording selection of the mixer.
    for (TAudioIn* In : {Recorder_AudioIn, RecordMix_AudioIn}) {
      try {
        In->SetBaseChannel(0);
      } catch (const std::exception&) {
        // The mixer answered but the sound system has no capture device
        // (it went away in between): the source keeps the default device.
      }
    }
    const TMixerLineIndices Found = FindMixerLines(MixerLineNames(*AudioMixer));
    MicOutputLineIndex = Found.MicOutput;
    MicRecordLineIndex = Found.MicRecord;
    StereoMixLineIndex = Found.StereoMix;
    if (StereoMixLineIndex == -1) {
      StereoMixVolumeBar->setEnabled(false);
      StereoMixRadioButton->setEnabled(false);
      StereoMixRadioButton->setText(StereoMixRadioButton->text() +
                                    QStringLiteral("-Not supported!"));
      RecordMix_StartBtn->setText(QStringLiteral("&Start recording"));
      RecordMix_StopBtn->setText(QStringLiteral("S&top recording and mix"));
    }
  } else {
    PageControl->setTabEnabled(PageControl->indexOf(RecorderTabSheet), false);
    PageControl->setTabEnabled(PageControl->indexOf(RecordMixTabSheet), false);
    ShowMessage(QStringLiteral("Not found any audio device, Recorder can not used!"));
  }

  FFlows[flMp3ToWav].SourceBox->setFocus();
  SetStatus(QString::fromLatin1(kPages[0].Description));
  // From here on a page change updates the status line.
  connect(PageControl, &QTabWidget::currentChanged, this, &TMainForm::PageControlChange);
  OpenSettings(FSetup.SettingsPath);
  FillSettingsPage();
}

void TMainForm::CreateMixerDevices() {
  AudioMixer = Make<TAudioMixer2>("AudioMixer");
  // Nothing here listens to the mixer's changes, but its queue of them must
  // still be emptied, on this thread.
  AudioMixer->SetOnNotifyPending(
      [this](TAudioMixer2* M) { PostToThreadOf(this, [M] { M->ProcessNotifications(); }); });
  VolumeControl = Make<TVolumeControl>("VolumeControl");
  VolumeControl->SetInterval(200);
  // The control keeps track bars in step with the device volumes. Bars are
  // widgets of this thread, so its timer is one of this thread too: a tick
  // reads the volumes and moves the bars where they live, with no hand-over
  // between threads.
  FVolumeTimer = new QTimer(this);
  FVolumeTimer->setObjectName(QStringLiteral("VolumeControlTimer"));
  FVolumeTimer->setInterval(VolumeControl->Interval());
  connect(FVolumeTimer, &QTimer::timeout, this, [this] { VolumeControl->Tick(); });
  if (VolumeControl->TimerEnabled()) FVolumeTimer->start();

  // The sliders of the Recorder and Record-Mix pages act on the mixer as they
  // move.
  for (QSlider* Bar : {MicOutputVolumeBar, RecorderMicOutputVolumeBar})
    connect(Bar, &QSlider::valueChanged, this, [this, Bar] { MicOutputVolumeBarChange(Bar); });
  for (QSlider* Bar : {MicRecordVolumeBar, RecorderMicRecordVolumeBar})
    connect(Bar, &QSlider::valueChanged, this, [this, Bar] { MicRecordVolumeBarChange(Bar); });
  connect(StereoMixVolumeBar, &QSlider::valueChanged, this, &TMainForm::StereoMixVolumeBarChange);
  connect(BackgroundVolumeBar, &QSlider::valueChanged, this, &TMainForm::BackgroundVolumeBarChange);
}

void TMainForm::SetMixerLineVolume(uint32_t Destination, int Line, int Percent) {
  // A line that went away since the first showing is passed over.
  if (TAudioMixerLine* L = MixerSourceLine(*AudioMixer, Destination, Line)) L->SetVolume(Percent);
}

void TMainForm::MicOutputVolumeBarChange(const QSlider* Sender) {
  SetMixerLineVolume(0, MicOutputLineIndex, Sender->value());
}

void TMainForm::MicRecordVolumeBarChange(const QSlider* Sender) {
  SetMixerLineVolume(1, MicRecordLineIndex, Sender->value());
}

void TMainForm::StereoMixVolumeBarChange() {
  SetMixerLineVolume(1, StereoMixLineIndex, StereoMixVolumeBar->value());
}

void TMainForm::BackgroundVolumeBarChange() {
  const int Position = BackgroundVolumeBar->value();
  AudioMixer->SetDestinationID(0);
  AudioMixer->Destination()->SetVolume(static_cast<int>(std::lround(Position / 2.55)));
  VolumeControl->SetByIndex(1, static_cast<uint8_t>(std::clamp(Position, 0, 255)));
}

void TMainForm::PageControlChange(int Index) {
  if (Index < 0) return;
  const QString Caption = PageControl->tabText(Index);
  for (const TPageText& P : kPages) {
    if (Caption == QLatin1String(P.Caption)) {
      SetStatus(QString::fromLatin1(P.Description));
      return;
    }
  }
}

void TMainForm::FormClose() {
  EndRecordingForClose();
  RecordMixEndForClose();
  EndRipForClose();
  if (Mp3ToVob_VobOut) {
    TComponent::Free(Mp3ToVob_VobOut);
    Mp3ToVob_VobOut = nullptr;
  }
  CloseSettings();
}

void TMainForm::HelpLinkClick() {
  if (FHelpPath.isEmpty()) return;
  CurrentDialogs().OpenDocument(FHelpPath);
}

// ---------------------------------------------------------------- jobs

void TMainForm::JobStarted(TPageJob& Job, const QString& Status) {
  if (!Status.isEmpty()) SetStatus(Status);
  for (QWidget* W : Job.Locked) W->setEnabled(false);
  Job.Bar->setVisible(true);
  Job.Clock.start();
}

void TMainForm::JobProgress(TPageJob& Job, int Percent) {
  // The decoder's estimate can pass 100; the bar stays within its range.
  Job.PendingPercent = std::clamp(Percent, 0, 100);
  if (std::find(FPendingJobs.begin(), FPendingJobs.end(), &Job) == FPendingJobs.end())
    FPendingJobs.push_back(&Job);
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
  for (TPageJob* Job : FPendingJobs) {
    if (Job->PendingPercent < 0) continue;
    Job->Bar->setValue(Job->PendingPercent);
    Job->PendingPercent = -1;
    Shown = true;
  }
  FPendingJobs.clear();
  // Nothing new: the timer rests until the next report.
  if (!Shown) FProgressTimer->stop();
}

void TMainForm::JobRestartProgress(TPageJob& Job) {
  // The new stage's first report shows at once.
  Job.PendingPercent = -1;
  FProgressTimer->stop();
  Job.Bar->setValue(0);
}

void TMainForm::JobFinished(TPageJob& Job) {
  for (QWidget* W : Job.Locked) W->setEnabled(true);
  JobRestartProgress(Job);
  Job.Bar->setVisible(false);
  if (!Job.Description.isEmpty()) SetStatus(Job.Description);
  // A long job that ended while the user was elsewhere; not while the window
  // closes (the job was cut short then).
  if (Job.Clock.isValid() && !FClosed && !Job.Title.isEmpty() &&
      Job.Clock.elapsed() >= NotifyAfterMs && !isActiveWindow())
    FNotifier->Notify(Job.Title + QStringLiteral(" finished"));
  Job.Clock.invalidate();
}

// ---------------------------------------------------------------- shared widgets

QLabel* TMainForm::MakeLabel(const QString& Text, QWidget* Parent) {
  auto* L = new QLabel(Text, Parent);
  L->setObjectName(QStringLiteral("Label%1").arg(++FLabelCount));
  return L;
}

QGroupBox* TMainForm::MakeGroup(const QString& Title, QWidget* Parent) {
  auto* G = new QGroupBox(Title, Parent);
  G->setObjectName(QStringLiteral("Panel%1").arg(++FGroupCount));
  return G;
}

TPathSelector* TMainForm::MakePathSelector(const char* Name, const QString& What, QWidget* Parent) {
  auto* P = new TPathSelector(What, Parent);
  P->setObjectName(QLatin1String(Name));
  return P;
}

void TMainForm::AddPathDrop(TDropTargets* Drops, TPathSelector* Box, const char* Filter,
                            bool FromPage, std::function<void(const QString&)> Fill) {
  TDropTargets::TTarget T;
  T.Box = Box;
  T.Patterns = FilterPatterns(QLatin1String(Filter));
  T.FromPage = FromPage;
  T.Fill = std::move(Fill);
  T.Remember = Box->objectName();
  T.Empty = [Box] { return Box->Text().isEmpty(); };
  Drops->Add(std::move(T));
}

QProgressBar* TMainForm::MakeJobProgressBar(const char* Name, QWidget* Parent) {
  auto* B = new QProgressBar(Parent);
  B->setObjectName(QLatin1String(Name));
  B->setRange(0, 100);
  B->setValue(0);
  B->setAccessibleName(QStringLiteral("Progress"));
  // A job disables the whole page control, the bar with it; the bar is the
  // one thing on the page that still moves, so it keeps its active colours.
  QPalette Colours = B->palette();
  for (int Role = 0; Role < QPalette::NColorRoles; ++Role) {
    const auto R = static_cast<QPalette::ColorRole>(Role);
    Colours.setColor(QPalette::Disabled, R, Colours.color(QPalette::Active, R));
  }
  B->setPalette(Colours);
  B->hide();
  // The page keeps the bar's room, so nothing moves when it appears.
  QSizePolicy P = B->sizePolicy();
  P.setRetainSizeWhenHidden(true);
  B->setSizePolicy(P);
  return B;
}

QSlider* TMainForm::MakeSlider(const char* Name, int Max, QWidget* Parent) {
  auto* S = new QSlider(Qt::Horizontal, Parent);
  S->setObjectName(QLatin1String(Name));
  S->setRange(0, Max);
  S->setValue(Max);
  S->setPageStep(Max / 10);
  return S;
}

QComboBox* TMainForm::MakeChoice(const char* Name, const QStringList& Items, QWidget* Parent) {
  auto* C = new QComboBox(Parent);
  C->setObjectName(QLatin1String(Name));
  C->addItems(Items);
  return C;
}

TWaveOut* TMainForm::MakeWavOut(const char* Name, TACSInput* Input, bool SuspendWhenIdle) {
  auto* W = Make<TWaveOut>(Name);
  W->SetInput(Input);
  W->SetFileMode(foRewrite);
  W->SetWavType(wtPCM);
  W->SetBlockSize(512);
  W->SetSuspendWhenIdle(SuspendWhenIdle);
  return W;
}

TMP3Out* TMainForm::MakeMp3Out(const char* Name, TACSInput* Input, bool SuspendWhenIdle) {
  auto* M = Make<TMP3Out>(Name);
  M->SetInput(Input);
  M->SetFileMode(foRewrite);
  M->SetBitRate(TMP3BitRate::br128);
  M->SetSuspendWhenIdle(SuspendWhenIdle);
  return M;
}

TVorbisOut* TMainForm::MakeVorbisOut(const char* Name, TACSInput* Input) {
  auto* V = Make<TVorbisOut>(Name);
  V->SetInput(Input);
  V->SetFileMode(foRewrite);
  V->SetCompression(0.2f);
  V->SetDesiredNominalBitrate(TVorbisBitRate::brAutoSelect);
  V->SetDesiredMaximumBitrate(TVorbisBitRate::brAutoSelect);
  V->SetMinimumBitrate(TVorbisBitRate::brAutoSelect);
  V->SetSerial(0);
  V->SetSuspendWhenIdle(true);
  return V;
}
