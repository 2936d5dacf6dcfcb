// Page 9, CdRipper: the tracks of an audio CD, optionally named from a CDDB
// server, ripped to WAV or MP3 files or joined into one.
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QTreeWidgetItem>
#include <QVBoxLayout>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/AudioFns.h"
#include "app/DropTargets.h"
#include "app/EventMarshal.h"
#include "app/IniSettings.h"
#include "app/MainForm.h"
#include "platform/CdText.h"

namespace {

// A CDDB lookup runs on a thread of its own, which may outlive the window (a
// name server that does not answer holds it up with no time limit); it
// reaches the window only through this, and only while the window exists.
struct TCddbReceiver {
  std::mutex Lock;
  TMainForm* Form = nullptr;  // written on the window's thread; guarded by Lock
  std::atomic<int> Running{0};

  // Queues F on the window's thread, unless the window has gone.
  void Post(std::function<void(TMainForm&)> F) {
    std::lock_guard<std::mutex> L(Lock);
    if (!Form) return;
    TMainForm* W = Form;
    PostToThreadOf(W, [W, F = std::move(F)] { F(*W); });
  }
};

}  // namespace

// Window's thread only, but for Receiver.
struct TMainForm::TCdListing {
  TMainForm* Form = nullptr;
  // Counts the loads: a lookup's result is for the load it started in.
  uint64_t Load = 0;
  std::shared_ptr<TCddbReceiver> Receiver = std::make_shared<TCddbReceiver>();
};

void TMainForm::TCdListingFree::operator()(TCdListing* L) const {
  {
    std::lock_guard<std::mutex> Lock(L->Receiver->Lock);
    L->Receiver->Form = nullptr;
  }
  if (L->Form && L->Form->CdHandle) CloseCDHandle(L->Form->CdHandle);
  delete L;
}

void TMainForm::BuildCdRipperPage() {
  SeCustomTabSheet7 = new QWidget(PageControl);
  SeCustomTabSheet7->setObjectName(QStringLiteral("SeCustomTabSheet7"));
  PageControl->addTab(SeCustomTabSheet7, QStringLiteral("CdRipper"));
  QWidget* Sheet = SeCustomTabSheet7;
  auto* Page = new QVBoxLayout(Sheet);
  auto* Columns = new QHBoxLayout;
  Page->addLayout(Columns, 1);

  // Left: the drive, the track list and the list's options.
  auto* Left = new QVBoxLayout;
  Columns->addLayout(Left, 3);
  auto* DriveRow = new QHBoxLayout;
  CdRomCombo = new QComboBox(Sheet);
  CdRomCombo->setObjectName(QStringLiteral("CdRomCombo"));
  CdRomCombo->setAccessibleName(QStringLiteral("CD drive"));
  CdRomCombo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  // The listed drives are chosen from the box; a path typed into it names a
  // disc image or a device. Typing never adds an item by itself.
  CdRomCombo->setEditable(true);
  CdRomCombo->setInsertPolicy(QComboBox::NoInsert);
  CdRomCombo->lineEdit()->setPlaceholderText(QStringLiteral("Disc image (.cue) or device"));
  connect(CdRomCombo->lineEdit(), &QLineEdit::returnPressed, this,
          [this] { SelectCdDrivePath(CdRomCombo->lineEdit()->text().trimmed()); });
  connect(CdRomCombo, &QComboBox::currentIndexChanged, this, &TMainForm::CdRomComboChange);
  CdRomImageSelect = new QToolButton(Sheet);
  CdRomImageSelect->setObjectName(QStringLiteral("CdRomImageSelect"));
  CdRomImageSelect->setText(QStringLiteral("..."));
  CdRomImageSelect->setAccessibleName(QStringLiteral("Open a disc image"));
  CdRomImageSelect->setToolTip(CdRomImageSelect->accessibleName());
  connect(CdRomImageSelect, &QToolButton::clicked, this, &TMainForm::CdRomImageSelectClick);
  RefreshCdRom = new QPushButton(QStringLiteral("R&efresh"), Sheet);
  RefreshCdRom->setObjectName(QStringLiteral("RefreshCdRom"));
  connect(RefreshCdRom, &QPushButton::clicked, this, &TMainForm::RefreshCdRomClick);
  DriveRow->addWidget(CdRomCombo, 1);
  DriveRow->addWidget(CdRomImageSelect);
  DriveRow->addWidget(RefreshCdRom);
  Left->addLayout(DriveRow);

  ListView = new QTreeWidget(Sheet);
  ListView->setObjectName(QStringLiteral("ListView"));
  ListView->setAccessibleName(QStringLiteral("Tracks"));
  ListView->setColumnCount(6);
  ListView->setHeaderLabels({QStringLiteral("NO"), QStringLiteral("Track Name"),
                             QStringLiteral("Play Time"), QStringLiteral("Size"),
                             QStringLiteral("Frames"), QStringLiteral("Type")});
  // Read by the ripping jobs, not shown.
  ListView->setColumnHidden(kCdFramesColumn, true);
  ListView->setColumnHidden(kCdTypeColumn, true);
  connect(ListView, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* Item, int) {
    if (!ListViewChanging(Item) && Item->checkState(0) != Qt::Unchecked)
      Item->setCheckState(0, Qt::Unchecked);
  });
  ListView->setRootIsDecorated(false);
  ListView->setItemsExpandable(false);
  ListView->setSelectionMode(QAbstractItemView::SingleSelection);
  ListView->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView->header()->setSectionsClickable(false);
  ListView->header()->setSectionsMovable(false);
  ListView->setColumnWidth(0, 48);
  ListView->setColumnWidth(1, 190);
  ListView->setColumnWidth(2, 75);
  ListView->setColumnWidth(3, 85);
  Left->addWidget(ListView, 1);

  auto* Options = new QHBoxLayout;
  SelAllCheckBox = new QCheckBox(QStringLiteral("Select &all/Unselect all"), Sheet);
  SelAllCheckBox->setObjectName(QStringLiteral("SelAllCheckBox"));
  connect(SelAllCheckBox, &QCheckBox::toggled, this, &TMainForm::SelAllCheckBoxClick);
  EnableFreeDBCheckBox = new QCheckBox(QStringLiteral("Enable &freedb"), Sheet);
  EnableFreeDBCheckBox->setObjectName(QStringLiteral("EnableFreeDBCheckBox"));
  Options->addWidget(SelAllCheckBox);
  Options->addWidget(EnableFreeDBCheckBox);
  Options->addStretch(1);
  Left->addLayout(Options);

  // Right: the tags of ripped MP3 files and the job's controls.
  auto* Right = new QVBoxLayout;
  Columns->addLayout(Right, 2);
  QGroupBox* Tags = MakeGroup(QStringLiteral("Rip to mp3 setting"), Sheet);
  auto* Form = new QFormLayout(Tags);
  Form->setContentsMargins(6, 4, 6, 4);
  Form->setVerticalSpacing(3);
  const struct {
    const char* Label;
    const char* Name;
    QLineEdit** Edit;
  } Edits[] = {{"Album", "Album", &Album},
               {"Artist", "Artist", &Artist},
               {"Title", "Title", &Title},
               {"Year", "Year", &Year}};
  for (const auto& E : Edits) {
    auto* Edit = new QLineEdit(Tags);
    Edit->setObjectName(QLatin1String(E.Name));
    Edit->setAccessibleName(QLatin1String(E.Label));
    *E.Edit = Edit;
    QLabel* Label = MakeLabel(QLatin1String(E.Label), Tags);
    Label->setBuddy(Edit);
    Form->addRow(Label, Edit);
  }
  Comment = new QPlainTextEdit(Tags);
  Comment->setObjectName(QStringLiteral("Comment"));
  Comment->setAccessibleName(QStringLiteral("Comment"));
  Comment->setTabChangesFocus(true);
  Comment->setFixedHeight(Comment->fontMetrics().lineSpacing() * 3 + 10);
  QLabel* CommentLabel = MakeLabel(QStringLiteral("Comment"), Tags);
  CommentLabel->setBuddy(Comment);
  Form->addRow(CommentLabel, Comment);
  Right->addWidget(Tags);

  auto* TypeRow = new QHBoxLayout;
  QLabel* TypeLabel = MakeLabel(QStringLiteral("Convert to"), Sheet);
  ConvertType = new QComboBox(Sheet);
  ConvertType->setObjectName(QStringLiteral("ConvertType"));
  ConvertType->addItems({QStringLiteral("Wave files"), QStringLiteral("Mp3 files")});
  ConvertType->setCurrentIndex(0);
  ConvertType->setAccessibleName(TypeLabel->text());
  TypeLabel->setBuddy(ConvertType);
  TypeRow->addWidget(TypeLabel);
  TypeRow->addWidget(ConvertType, 1);
  Right->addLayout(TypeRow);
  RiptoSingleFileCheckBox = new QCheckBox(QStringLiteral("Rip to a si&ngle wav/mp3 file"), Sheet);
  RiptoSingleFileCheckBox->setObjectName(QStringLiteral("RiptoSingleFileCheckBox"));
  Right->addWidget(RiptoSingleFileCheckBox);
  Right->addStretch(1);
  auto* Buttons = new QHBoxLayout;
  RipBtn = new QPushButton(QStringLiteral("&Rip it"), Sheet);
  RipBtn->setObjectName(QStringLiteral("RipBtn"));
  StopRip = new QPushButton(QStringLiteral("&Stop"), Sheet);
  StopRip->setObjectName(QStringLiteral("StopRip"));
  StopRip->setEnabled(false);
  connect(RipBtn, &QPushButton::clicked, this, &TMainForm::RipBtnClick);
  connect(StopRip, &QPushButton::clicked, this, &TMainForm::StopRipClick);
  Buttons->addStretch(1);
  Buttons->addWidget(RipBtn);
  Buttons->addWidget(StopRip);
  Right->addLayout(Buttons);

  RipperProgressBar = MakeJobProgressBar("RipperProgressBar", Sheet);
  Page->addWidget(RipperProgressBar);

  // A disc image dropped on the page opens as the "..." button opens it; a
  // folder becomes the folder "Rip it" saves to.
  CdRomCombo->lineEdit()->setAcceptDrops(false);
  auto* Drops = new TDropTargets(Sheet);
  TDropTargets::TTarget Image;
  Image.Box = CdRomCombo;
  Image.Patterns = FilterPatterns(QStringLiteral("Disc image|*.cue"));
  Image.Fill = [this](const QString& Path) { SelectCdDrivePath(Path); };
  Image.Remember = CdRomImageSelect->objectName();
  Drops->Add(std::move(Image));
  TDropTargets::TTarget Output;
  Output.Box = RipBtn;
  Output.Folder = true;
  Output.Fill = [](const QString& Folder) { RememberFolder(QLatin1String(kRipFolderKey), Folder); };
  Drops->Add(std::move(Output));
}

void TMainForm::CreateCdRipperComponents() {
  FCdListing.reset(new TCdListing);
  FCdListing->Form = this;
  FCdListing->Receiver->Form = this;
  RipperWaveIn1 = Make<TWaveIn>("RipperWaveIn1");
  RipperWaveIn2 = Make<TWaveIn>("RipperWaveIn2");
  RipperWaveMixer = Make<TAudioMixer>("RipperWaveMixer");
  RipperWaveMixer->SetInput1(RipperWaveIn1);
  RipperWaveMixer->SetInput2(RipperWaveIn2);
  RipperWaveMixer->SetMode(amConcatenate);
  RipperWaveMixer->SetVolume1(255);
  RipperWaveMixer->SetVolume2(255);
  // The joining mixer (RipperWaveIn1 then RipperWaveIn2) feeds this writer.
  RipperWaveOut = MakeWavOut("RipperWaveOut", RipperWaveMixer, false);
  RipperFinalWaveIn = Make<TWaveIn>("RipperFinalWaveIn");
  RipperMP3Out = MakeMp3Out("RipperMP3Out", RipperFinalWaveIn, false);
  FRipJob.Bar = RipperProgressBar;
  FRipJob.Title = QStringLiteral("Ripping");
  FRipJob.Locked = {RipBtn,       ConvertType, SelAllCheckBox,       RiptoSingleFileCheckBox,
                    RefreshCdRom, CdRomCombo,  EnableFreeDBCheckBox, CdRomImageSelect};
}

// ---------------------------------------------------------------- listing

int TMainForm::CddbLookupsRunning() const { return FCdListing->Receiver->Running; }

void TMainForm::FillCdRomCombo(const std::string& Select) {
  // Filling the box must not load tracks.
  const QSignalBlocker Quiet(CdRomCombo);
  CdDrives = DriveList{};
  CdDrives.Max = 8;
  GetCDList(&CdDrives);
  CdRomCombo->clear();
  CdDriveIndex = 0;
  for (int I = 0; I < CdDrives.Count; ++I) {
    const DriveEntry& E = CdDrives.Drives[I];
    CdRomCombo->addItem(QString::fromStdString(CdFieldText(E.Id, sizeof E.Id)));
    if (!Select.empty() && CDDrivePath(E) == Select) CdDriveIndex = I;
  }
  if (CdDrives.Count > 0) CdRomCombo->setCurrentIndex(CdDriveIndex);
}

void TMainForm::RefreshCdRomClick() {
  FillCdRomCombo("");
  LoadCdTracks();
}

void TMainForm::CdRomComboChange(int Index) {
  CdDriveIndex = Index;
  LoadCdTracks();
}

void TMainForm::CdRomImageSelectClick() {
  OpenDialog.Filter = QStringLiteral("Disc image|*.cue");
  OpenDialog.FileName.clear();
  if (OpenDialog.Execute(CdRomImageSelect->objectName())) SelectCdDrivePath(OpenDialog.FileName);
}

void TMainForm::SelectCdDrivePath(const QString& Path) {
  if (Path.isEmpty()) return;
  const std::string P = Path.toStdString();
  for (int I = 0; I < CdDrives.Count; ++I) {
    if (CDDrivePath(CdDrives.Drives[I]) != P && CdRomCombo->itemText(I) != Path) continue;
    if (I == CdRomCombo->currentIndex())
      LoadCdTracks();
    else
      CdRomCombo->setCurrentIndex(I);
    return;
  }
  if (!AddCDDrive(P)) {
    ++FCdListing->Load;
    ListView->clear();
    SetStatus(QString::fromUtf8(kCdNoTrackInfo));
    return;
  }
  FillCdRomCombo(P);
  LoadCdTracks();
}

bool TMainForm::ListViewChanging(const QTreeWidgetItem* Item) const {
  return Item->text(kCdTypeColumn) != QLatin1String(kDataTrack);
}

void TMainForm::SelAllCheckBoxClick() {
  const Qt::CheckState State = SelAllCheckBox->isChecked() ? Qt::Checked : Qt::Unchecked;
  for (int I = 0; I < ListView->topLevelItemCount(); ++I) {
    QTreeWidgetItem* Item = ListView->topLevelItem(I);
    if (ListViewChanging(Item)) Item->setCheckState(0, State);
  }
}

void TMainForm::LoadCdTracks() {
  // Whatever a lookup of the last load still brings is for another disc.
  ++FCdListing->Load;
  ListView->clear();
  if (CdHandle) {
    CloseCDHandle(CdHandle);
    CdHandle = 0;
  }
  CdToc = TableOfContents{};
  const auto Stop = [this](const char* Status) {
    SetStatus(QString::fromUtf8(Status));
    ListView->setFocus();
  };
  if (CdDriveIndex < 0 || CdDriveIndex >= CdDrives.Count) return Stop(kCdNoTrackInfo);
  const DriveOpenRequest Request = CdOpenRequest(CdDrives.Drives[CdDriveIndex]);
  CdHandle = GetCDHandle(&Request);
  if (!CdHandle) return Stop(kCdNoTrackInfo);
  ModifyCDParms(CdHandle, kCdParmAddressMode, 0);
  if (ReadTOC(CdHandle, &CdToc) != 1) return Stop(kCdTocError);

  const std::vector<TCdTrackRow> Rows = CdTrackRows(CdToc);
  for (const TCdTrackRow& R : Rows) {
    auto* Item = new QTreeWidgetItem(
        QStringList{QString::fromStdString(R.Number), QString::fromStdString(R.Name),
                    QString::fromStdString(R.PlayTime), QString::fromStdString(R.Size),
                    QString::fromStdString(R.FramesText), QString::fromStdString(R.Type)});
    Item->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
    Item->setCheckState(0, Qt::Unchecked);
    // A data track shows greyed, and nothing checks it.
    if (R.Data) Item->setFlags(Qt::ItemNeverHasChildren);
    ListView->addTopLevelItem(Item);
  }
  SetStatus(QString::fromLatin1(kCdTotalTracks) + QString::number(Rows.size()));
  if (!EnableFreeDBCheckBox->isChecked()) return;
  StartCddbLookup();
}

void TMainForm::StartCddbLookup() {
  // The settings file belongs to this thread: read before the lookup leaves.
  const TCddbSetup Setup{ReadCddbServer(), ReadCddbEmail(), ReadCddbTimeout()};
  SetStatus(QString::fromStdString(CddbConnectingStatus(Setup)));
  const std::shared_ptr<TCddbReceiver> Receiver = FCdListing->Receiver;
  const uint64_t Load = FCdListing->Load;
  const TCDHandle Handle = CdHandle;
  ++Receiver->Running;
  try {
    std::thread([Receiver, Load, Handle, Setup] {
      const TCddbLookup Result = LookUpCddb(Handle, Setup, [&](const std::string& Status) {
        Receiver->Post([Load, Status](TMainForm& F) {
          if (F.FCdListing->Load == Load) F.SetStatus(QString::fromStdString(Status));
        });
      });
      Receiver->Post([Load, Result](TMainForm& F) { F.CddbLookupDone(Load, Result); });
      --Receiver->Running;
    }).detach();
  } catch (const std::system_error&) {
    --Receiver->Running;
    SetStatus(QString::fromLatin1(kCddbNoServerList));
    ListView->setFocus();
  }
}

void TMainForm::CddbLookupDone(uint64_t Load, const TCddbLookup& Result) {
  // The page was loaded again meanwhile: these titles are another disc's.
  if (Load != FCdListing->Load) return;
  if (Result.Outcome == TCddbLookup::loNoRecord || Result.Outcome == TCddbLookup::loFound) {
    Album->setText(QString::fromStdString(Result.Album));
    Artist->setText(QString::fromStdString(Result.Artist));
  }
  if (Result.Outcome == TCddbLookup::loFound) {
    for (int K = 0; K < ListView->topLevelItemCount(); ++K) {
      QTreeWidgetItem* Item = ListView->topLevelItem(K);
      if (Item->text(kCdTypeColumn) == QLatin1String(kDataTrack)) continue;
      const int Track = CdToc.Entries[K].TrackNumber;
      Item->setText(1,
                    QString::fromStdString(CddbTrackTitle(Track, CdToc.FirstTrack, Result.Record)));
    }
  }
  ListView->setFocus();
}

// ---------------------------------------------------------------- ripping

// The job's thread and the job. The thread only reports through queued calls
// to the window; the window joins it when the end has arrived, or when it
// closes (after asking the job to stop).
struct TMainForm::TCdRipRun {
  std::unique_ptr<TRipJob> Job;
  std::thread Thread;
  bool Ended = false;  // window's thread
};

void TMainForm::TCdRipRunFree::operator()(TCdRipRun* R) const {
  if (R->Thread.joinable()) {
    R->Job->Stop();
    R->Thread.join();
  }
  delete R;
}

bool TMainForm::RipRunning() const { return FRipRun != nullptr; }

void TMainForm::StopRipClick() {
  if (FRipRun) FRipRun->Job->Stop();
  StopRip->setEnabled(false);
}

void TMainForm::EndRipForClose() {
  // The job's last queued calls find no job and do nothing.
  FRipRun.reset();
}

void TMainForm::RipBtnClick() {
  const int Rows = ListView->topLevelItemCount();
  if (Rows == 0 || FRipRun) return;
  std::vector<int> Checked;
  for (int K = 0; K < Rows; ++K)
    if (ListView->topLevelItem(K)->checkState(0) == Qt::Checked) Checked.push_back(K);
  if (Checked.empty()) {
    ShowMessage(QStringLiteral("Please select audio track first!"));
    return;
  }
  const bool Mp3 = ConvertType->currentIndex() != 0;
  TRipRequest R;
  if (RiptoSingleFileCheckBox->isChecked()) {
    SaveDialog.Filter = Mp3 ? QStringLiteral("Mp3 file|*.mp3") : QStringLiteral("Wave file|*.wav");
    SaveDialog.FileName.clear();
    if (!SaveDialog.Execute(RipBtn->objectName())) return;
    const QString Target =
        WithExtension(SaveDialog.FileName, Mp3 ? QStringLiteral(".mp3") : QStringLiteral(".wav"));
    R.SingleFile = Target.toStdString();
    for (const std::string& F : {R.SingleFile, ReplaceExtension(R.SingleFile, ".wav")}) {
      if (IsFileLocked(F)) {
        ShowMessage(QString::fromStdString(F) +
                    QStringLiteral(" locked by the other programme, please unlock it first!"));
        return;
      }
    }
  } else {
    // The dialog starts at the folder of the last rip (or the one dropped
    // on the page since).
    QString Folder = LastFolder(QLatin1String(kRipFolderKey));
    if (!SelectFolder(QStringLiteral("Save to"), QString(), Folder)) return;
    RememberFolder(QLatin1String(kRipFolderKey), Folder);
    R.Folder = Folder.toStdString();
  }
  R.Handle = CdHandle;
  R.Toc = CdToc;
  R.Drive = CdRomCombo->currentText().toStdString();
  R.Mp3 = Mp3;
  R.Album = Album->text().toStdString();
  R.Artist = Artist->text().toStdString();
  R.Year = Year->text().toStdString();
  R.Title = Title->text().toStdString();
  R.Comment = Comment->toPlainText().toStdString();
  for (int K : Checked) {
    const std::string Name = ListView->topLevelItem(K)->text(1).toStdString();
    const std::string Track = RipTrackName(Name);
    // A row that still has its listing name has no title of its own.
    R.Tracks.push_back({K, Track, Track == Name ? Name : std::string()});
  }
  // The settings file belongs to this thread: the bit rate is read now.
  ApplyMp3Settings(RipperMP3Out);

  TRipComponents C;
  C.WaveIn1 = RipperWaveIn1;
  C.WaveIn2 = RipperWaveIn2;
  C.Mixer = RipperWaveMixer;
  C.WaveOut = RipperWaveOut;
  C.FinalWaveIn = RipperFinalWaveIn;
  C.Mp3Out = RipperMP3Out;
  TRipEvents E;
  E.Status = [this](const std::string& Text) {
    PostToThreadOf(this, [this, Text] {
      if (FRipRun) SetStatus(QString::fromStdString(Text));
    });
  };
  E.Progress = [this](int Percent) {
    PostToThreadOf(this, [this, Percent] {
      if (FRipRun) JobProgress(FRipJob, Percent);
    });
  };
  E.TrackStarted = [this](int K) {
    PostToThreadOf(this, [this, K] {
      if (!FRipRun || K >= ListView->topLevelItemCount()) return;
      ListView->setFocus();
      ListView->setCurrentItem(ListView->topLevelItem(K));
      JobRestartProgress(FRipJob);
    });
  };
  E.TrackFailed = [this](int K) {
    PostToThreadOf(this, [this, K] {
      if (FRipRun && K < ListView->topLevelItemCount())
        ListView->topLevelItem(K)->setCheckState(0, Qt::Unchecked);
    });
  };

  FRipJob.Description.clear();
  JobStarted(FRipJob, QString());
  StopRip->setEnabled(true);
  FRipRun.reset(new TCdRipRun);
  FRipRun->Job = std::make_unique<TRipJob>(C, std::move(R), std::move(E));
  TRipJob* Job = FRipRun->Job.get();
  try {
    FRipRun->Thread = std::thread([this, Job] {
      const TRipOutcome O = Job->Run();
      PostToThreadOf(this, [this, O] { RipJobEnded(O); });
    });
  } catch (const std::system_error& Ex) {
    FRipRun.reset();
    StopRip->setEnabled(false);
    JobFinished(FRipJob);
    ShowMessage(QStringLiteral("Runtime error: ") + QString::fromUtf8(Ex.what()));
  }
}

void TMainForm::RipJobEnded(const TRipOutcome& Outcome) {
  if (!FRipRun) return;
  FRipRun.reset();  // joins the thread, which has nothing left to do
  StopRip->setEnabled(false);
  JobFinished(FRipJob);
  SetStatus(QString::fromStdString(Outcome.Message));
  if (Outcome.Refused) ShowMessage(QString::fromStdString(Outcome.Message));
}
