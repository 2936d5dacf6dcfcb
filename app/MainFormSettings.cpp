// Page 10, Settings: the output formats, filled from Settings.ini when the
// window is first shown and written back by "Save".
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <cmath>
#include <stdexcept>

#include "app/IniSettings.h"
#include "app/MainForm.h"

namespace {

// A page choice that does not convert stops the save with this error.
struct ESettingText : std::runtime_error {
  using std::runtime_error::runtime_error;
};

constexpr int kMaxLyricOffsetMs = 10000;

int IntOf(const QComboBox* C) {
  int V;
  const std::string T = C->currentText().toStdString();
  if (!ParseSettingInt(T, V)) throw ESettingText("'" + T + "' is not a valid integer value");
  return V;
}

double DecimalOf(const QComboBox* C) {
  double V;
  const std::string T = C->currentText().toStdString();
  if (!ParseSettingDecimal(T, V))
    throw ESettingText("'" + T + "' is not a valid floating point value");
  return V;
}

bool BoolOf(const QComboBox* C) {
  const QString T = C->currentText().trimmed();
  if (T.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) return true;
  if (T.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) return false;
  int V;
  if (ParseSettingInt(T.toStdString(), V)) return V != 0;
  throw ESettingText("'" + T.toStdString() + "' is not a valid boolean value");
}

// The item whose text is Text, or no selection.
void SelectText(QComboBox* C, const QString& Text) {
  C->setCurrentIndex(C->findText(Text, Qt::MatchExactly | Qt::MatchCaseSensitive));
}

// Item Index, or no selection when the list has no such item.
void SelectIndex(QComboBox* C, int Index) {
  C->setCurrentIndex(Index >= 0 && Index < C->count() ? Index : -1);
}

QStringList Numbers(std::initializer_list<const char*> Items) {
  QStringList L;
  for (const char* I : Items) L << QLatin1String(I);
  return L;
}

}  // namespace

void TMainForm::BuildSettingsPage() {
  SeCustomTabSheet8 = new QWidget(PageControl);
  SeCustomTabSheet8->setObjectName(QStringLiteral("SeCustomTabSheet8"));
  PageControl->addTab(SeCustomTabSheet8, QStringLiteral("Settings"));
  QWidget* Sheet = SeCustomTabSheet8;
  auto* Page = new QVBoxLayout(Sheet);
  Page->addWidget(
      MakeLabel(QStringLiteral("Use bellow settings when convert/mix/record/rip"), Sheet));

  auto* Grid = new QGridLayout;
  Page->addLayout(Grid);
  // One group per section, each a column of labelled choices.
  auto Group = [&](const char* Title, int Row, int Column, int RowSpan) {
    QGroupBox* G = MakeGroup(QLatin1String(Title), Sheet);
    auto* Form = new QFormLayout(G);
    Form->setContentsMargins(6, 4, 6, 4);
    Form->setVerticalSpacing(3);
    Grid->addWidget(G, Row, Column, RowSpan, 1, Qt::AlignTop);
    return std::pair{G, Form};
  };
  auto Choice = [&](std::pair<QGroupBox*, QFormLayout*> G, const char* Label, const char* Name,
                    const QStringList& Items) {
    QComboBox* C = MakeChoice(Name, Items, G.first);
    QLabel* L = MakeLabel(QLatin1String(Label), G.first);
    L->setBuddy(C);
    C->setAccessibleName(QStringLiteral("%1: %2").arg(G.first->title(), L->text()));
    G.second->addRow(L, C);
    return C;
  };

  auto Wave = Group("WaveSettings", 0, 0, 1);
  WaveSampleRate =
      Choice(Wave, "Sample Rate (Hz)", "WaveSampleRate", Numbers({"11025", "22050", "44100"}));
  WaveBitsPerSample = Choice(Wave, "Bits per Sample", "WaveBitsPerSample", Numbers({"8", "16"}));
  WaveChannels = Choice(Wave, "Channels", "WaveChannels", Numbers({"Mono", "Stereo"}));

  auto Mp3 = Group("Mp3Settings", 0, 1, 1);
  Mp3Quality = Choice(Mp3, "Quality", "Mp3Quality",
                      Numbers({"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}));
  Mp3SampleRate = Choice(Mp3, "SampleRate", "Mp3SampleRate", Numbers({"32", "41", "48"}));
  Mp3Channels = Choice(Mp3, "Channels", "Mp3Channels", Numbers({"Stereo", "Joint_Stereo", "Mono"}));
  Mp3BitRate = Choice(Mp3, "BitRate", "Mp3BitRate",
                      Numbers({"64", "96", "128", "160", "192", "224", "256", "320"}));

  auto Ogg = Group("Ogg Vorbis Settings", 0, 2, 1);
  OggCompression = Choice(Ogg, "Compression", "OggCompression",
                          Numbers({"0.1", "0.2", "0.3", "0.4", "0.5", "0.6", "0.7", "0.8", "0.9"}));
  OggNominalBitrate =
      Choice(Ogg, "NominalBitrate", "OggNominalBitrate",
             Numbers({"64", "96", "128", "144", "160", "192", "224", "256", "320", "499"}));

  auto Ape = Group("Ape Settings", 1, 0, 1);
  ApeCompression = Choice(Ape, "Compression", "ApeCompression",
                          Numbers({"FAST", "NORMAL", "HIGH", "EXTRA_HIGH"}));

  auto Flac = Group("Flac Settings", 1, 2, 1);
  FlacMidSideStereo =
      Choice(Flac, "MidSideStereo", "FlacMidSideStereo", Numbers({"False", "True"}));
  FlacLooseMidSideStereo =
      Choice(Flac, "LooseMidSideStereo", "FlacLooseMidSideStereo", Numbers({"False", "True"}));

  // Milliseconds added to the song position the lyric window follows.
  auto Lyric = Group("Lyric Settings", 1, 1, 1);
  LyricOffset = new QSpinBox(Lyric.first);
  LyricOffset->setObjectName(QStringLiteral("LyricOffset"));
  LyricOffset->setRange(-kMaxLyricOffsetMs, kMaxLyricOffsetMs);
  LyricOffset->setSingleStep(10);
  LyricOffset->setSuffix(QStringLiteral(" ms"));
  LyricOffset->setToolTip(
      QStringLiteral("Shows the lyric lines sooner (positive) or later (negative)."));
  QLabel* OffsetLabel = MakeLabel(QStringLiteral("Offset"), Lyric.first);
  OffsetLabel->setBuddy(LyricOffset);
  LyricOffset->setAccessibleName(QStringLiteral("Lyric Settings: Offset"));
  Lyric.second->addRow(OffsetLabel, LyricOffset);

  // Tab reads the second row left to right, as the first.
  QWidget::setTabOrder(ApeCompression, LyricOffset);
  QWidget::setTabOrder(LyricOffset, FlacMidSideStereo);

  for (int C = 0; C < 3; ++C) Grid->setColumnStretch(C, 1);
  Page->addStretch(1);
  auto* Bottom = new QHBoxLayout;
  Bottom->addStretch(1);
  SaveSetting = new QPushButton(QStringLiteral("&Save"), Sheet);
  SaveSetting->setObjectName(QStringLiteral("SaveSetting"));
  SaveSetting->setAccessibleName(QStringLiteral("Save settings"));
  connect(SaveSetting, &QPushButton::clicked, this, &TMainForm::SaveSettingClick);
  Bottom->addWidget(SaveSetting);
  Page->addLayout(Bottom);

  // Before the file is read, the choices stand on the defaults.
  SelectText(WaveSampleRate, QStringLiteral("44100"));
  SelectText(WaveBitsPerSample, QStringLiteral("16"));
  SelectText(WaveChannels, QStringLiteral("Stereo"));
  SelectText(Mp3Quality, QStringLiteral("5"));
  SelectText(Mp3SampleRate, QStringLiteral("48"));
  SelectText(Mp3Channels, QStringLiteral("Stereo"));
  SelectText(Mp3BitRate, QStringLiteral("128"));
  SelectText(OggCompression, QStringLiteral("0.5"));
  SelectText(OggNominalBitrate, QStringLiteral("128"));
  SelectText(FlacMidSideStereo, QStringLiteral("True"));
  SelectText(FlacLooseMidSideStereo, QStringLiteral("False"));
  SelectText(ApeCompression, QStringLiteral("NORMAL"));
  LyricOffset->setValue(0);
}

void TMainForm::FillSettingsPage() {
  SelectText(WaveSampleRate, QString::number(ReadWaveSampleRate()));
  SelectText(WaveBitsPerSample, QString::number(ReadWaveBitsPerSample()));
  SelectIndex(WaveChannels, ReadWaveChannels() - 1);
  SelectText(Mp3Quality, QString::number(ReadMp3Quality()));
  SelectText(Mp3SampleRate, QString::number(ReadMp3SampleRate()));
  SelectIndex(Mp3Channels, ReadMp3Channels());
  SelectText(Mp3BitRate, QString::number(ReadMp3BitRate()));
  SelectText(OggCompression, QString::fromStdString(DecimalText(ReadOggCompression())));
  SelectText(OggNominalBitrate, QString::number(ReadOggNominalBitrate()));
  SelectIndex(FlacMidSideStereo, ReadFlacMidSideStereo() ? 1 : 0);
  SelectIndex(FlacLooseMidSideStereo, ReadFlacLooseMidSideStereo() ? 1 : 0);
  // 1000 per level, halves to the even neighbour: 2500 shows NORMAL.
  const double Level = std::nearbyint(ReadApeCompression() / 1000.0);
  SelectIndex(ApeCompression, std::abs(Level) < 100 ? static_cast<int>(Level) - 1 : -1);
  LyricOffset->setValue(ReadLyricOffset());  // held to the box's range
}

void TMainForm::SaveSettingClick() {
  try {
    WriteWaveSampleRate(IntOf(WaveSampleRate));
    WriteWaveBitsPerSample(IntOf(WaveBitsPerSample));
    WriteWaveChannels(WaveChannels->currentIndex() + 1);
    WriteMp3Quality(IntOf(Mp3Quality));
    WriteMp3SampleRate(IntOf(Mp3SampleRate));
    WriteMp3Channels(Mp3Channels->currentIndex());
    WriteMp3BitRate(IntOf(Mp3BitRate));
    WriteOggCompression(DecimalOf(OggCompression));
    WriteOggNominalBitrate(IntOf(OggNominalBitrate));
    WriteFlacMidSideStereo(BoolOf(FlacMidSideStereo));
    WriteFlacLooseMidSideStereo(BoolOf(FlacLooseMidSideStereo));
    WriteApeCompression(ApeCompression->currentIndex() * 1000 + 1000);
    WriteLyricOffset(LyricOffset->value());
  } catch (const std::exception& E) {
    ShowMessage(QString::fromStdString(E.what()));
  }
}
