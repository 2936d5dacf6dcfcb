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
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/MainForm.h"

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
  RefreshCdRom = new QPushButton(QStringLiteral("Refresh"), Sheet);
  RefreshCdRom->setObjectName(QStringLiteral("RefreshCdRom"));
  DriveRow->addWidget(CdRomCombo, 1);
  DriveRow->addWidget(RefreshCdRom);
  Left->addLayout(DriveRow);

  ListView = new QTreeWidget(Sheet);
  ListView->setObjectName(QStringLiteral("ListView"));
  ListView->setAccessibleName(QStringLiteral("Tracks"));
  ListView->setColumnCount(4);
  ListView->setHeaderLabels({QStringLiteral("NO"), QStringLiteral("Track Name"),
                             QStringLiteral("Play Time"), QStringLiteral("Size")});
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
  SelAllCheckBox = new QCheckBox(QStringLiteral("Select all/Unselect all"), Sheet);
  SelAllCheckBox->setObjectName(QStringLiteral("SelAllCheckBox"));
  EnableFreeDBCheckBox = new QCheckBox(QStringLiteral("Enable freedb"), Sheet);
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
  RiptoSingleFileCheckBox = new QCheckBox(QStringLiteral("Rip to a single wav/mp3 file"), Sheet);
  RiptoSingleFileCheckBox->setObjectName(QStringLiteral("RiptoSingleFileCheckBox"));
  Right->addWidget(RiptoSingleFileCheckBox);
  Right->addStretch(1);
  auto* Buttons = new QHBoxLayout;
  RipBtn = new QPushButton(QStringLiteral("Rip it"), Sheet);
  RipBtn->setObjectName(QStringLiteral("RipBtn"));
  StopRip = new QPushButton(QStringLiteral("Stop"), Sheet);
  StopRip->setObjectName(QStringLiteral("StopRip"));
  StopRip->setEnabled(false);
  Buttons->addStretch(1);
  Buttons->addWidget(RipBtn);
  Buttons->addWidget(StopRip);
  Right->addLayout(Buttons);

  RipperProgressBar = MakeJobProgressBar("RipperProgressBar", Sheet);
  Page->addWidget(RipperProgressBar);
}

void TMainForm::CreateCdRipperComponents() {
  RipperWaveIn1 = Make<TWaveIn>("RipperWaveIn1");
  RipperWaveIn2 = Make<TWaveIn>("RipperWaveIn2");
  // The joining mixer (RipperWaveIn1 then RipperWaveIn2) feeds this writer.
  RipperWaveOut = MakeWavOut("RipperWaveOut", nullptr, false);
  RipperFinalWaveIn = Make<TWaveIn>("RipperFinalWaveIn");
  RipperMP3Out = MakeMp3Out("RipperMP3Out", RipperFinalWaveIn, false);
}
