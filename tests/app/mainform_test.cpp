// The main window as a whole: pages, status line, the first showing with
// and without a sound system, closing, the help link, keyboard use and
// layout.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cstdlib>

#include "app/IniSettings.h"
#include "app/PathSelector.h"
#include "tests/app/support/AppTestSupport.h"
#include "tests/app/support/ConverterPanels.h"

using app_testing::NamedChild;
using app_testing::WindowTest;

namespace {

const char* const kCaptions[] = {"Mp3<->Wav", "Mp3<->Ogg", "Wav<->Ogg",   "Wav<->Flac", "Wav<->Ape",
                                 "Mixer",     "Recorder",  "Record--Mix", "CdRipper",   "Settings"};
const char* const kDescriptions[] = {"Mp3<->Wav:Converter of mp3 and wav audio.",
                                     "Mp3<->Ogg:Converter of mp3 and ogg audio.",
                                     "Wav<->Ogg:Converter of wav and ogg audio.",
                                     "Wav<->Flac:Converter of wav and flac audio.",
                                     "Wav<->Ape:Converter of wav and Ape audio.",
                                     "Mixer:Mix two wav audio to one.",
                                     "Recorder:Record you voice to mp3/wav file.",
                                     "Record--Mix:Mix you voice and the other audio to one.",
                                     "CdRipper:Rip audio cd to wav or mp3 audio.",
                                     "Settings:Settings of audio output."};
const char* const kSheets[] = {"SeCustomTabSheet1", "SeCustomTabSheet2", "SeCustomTabSheet3",
                               "SeCustomTabSheet4", "SeCustomTabSheet5", "SeCustomTabSheet6",
                               "RecorderTabSheet",  "RecordMixTabSheet", "SeCustomTabSheet7",
                               "SeCustomTabSheet8"};

}  // namespace

TEST_F(WindowTest, HasItsTitleStartSizeAndTenPagesInOrder) {
  TMainForm& F = Form();
  EXPECT_EQ(F.windowTitle(), QStringLiteral("Velmora v1.2"));
  EXPECT_GE(F.width(), 678);
  EXPECT_GE(F.height(), 395);
  ASSERT_EQ(F.PageControl->count(), 10);
  for (int I = 0; I < 10; ++I) {
    EXPECT_EQ(F.PageControl->tabText(I), QLatin1String(kCaptions[I])) << I;
    EXPECT_EQ(F.PageControl->widget(I)->objectName(), QLatin1String(kSheets[I])) << I;
  }
  EXPECT_EQ(F.PageControl->currentIndex(), 0);
  EXPECT_EQ(F.HelpLink->text(), QStringLiteral(">&Help"));
  EXPECT_EQ(F.HelpLink->toolTip(), QStringLiteral("Click me to get help!"));
}

TEST_F(WindowTest, StartsWithFirstPageDescriptionAndMp3BoxFocused) {
  TMainForm& F = ShownForm();
  EXPECT_EQ(F.StatusText(), QLatin1String(kDescriptions[0]));
  EXPECT_EQ(F.focusWidget(), NamedChild<TPathSelector>(F, "Mp32Wav_Mp3PathSelector")->Edit());
  EXPECT_EQ(F.HelpPath(), QString::fromStdString(Dir.Dir() + "/external/help.htm"));
  EXPECT_TRUE(Dialogs->Messages.isEmpty());
}

TEST_F(WindowTest, PageChangeShowsThatPagesDescription) {
  TMainForm& F = ShownForm();
  for (int I : {4, 1, 9, 5, 8, 2, 3, 6, 7, 0}) {
    F.PageControl->setCurrentIndex(I);
    EXPECT_EQ(F.StatusText(), QLatin1String(kDescriptions[I])) << I;
  }
}

TEST_F(WindowTest, PageChangeBeforeShowingLeavesStatusLineAlone) {
  TMainForm& F = Form();
  F.SetStatus(QStringLiteral("before"));
  F.PageControl->setCurrentIndex(5);
  EXPECT_EQ(F.StatusText(), QStringLiteral("before"));
}

TEST_F(WindowTest, PageWhoseCaptionMatchesNoneLeavesStatusLine) {
  TMainForm& F = ShownForm();
  F.PageControl->setTabText(5, QStringLiteral("Mixing desk"));
  F.PageControl->setCurrentIndex(5);
  EXPECT_EQ(F.StatusText(), QLatin1String(kDescriptions[0]));
}

TEST_F(WindowTest, WithoutMixerDeviceRecorderPagesAreOffAndTheMessageShowsOnce) {
  Mixer.Devices = 0;
  TMainForm& F = ShownForm();
  EXPECT_FALSE(F.PageControl->isTabEnabled(6));
  EXPECT_FALSE(F.PageControl->isTabEnabled(7));
  EXPECT_FALSE(F.RecorderTabSheet->isEnabled());
  for (int I : {0, 1, 2, 3, 4, 5, 8, 9}) EXPECT_TRUE(F.PageControl->isTabEnabled(I)) << I;
  ASSERT_EQ(Dialogs->Messages.size(), 1);
  EXPECT_EQ(Dialogs->Messages[0],
            QStringLiteral("Not found any audio device, Recorder can not used!"));
  // Showing again (after hiding) is not a first showing.
  F.hide();
  F.show();
  Settle();
  EXPECT_EQ(Dialogs->Messages.size(), 1);
  // The converters' page still works as usual.
  EXPECT_TRUE(NamedChild<QPushButton>(F, "Mp32Wav_Btn")->isEnabled());
  EXPECT_EQ(F.StatusText(), QLatin1String(kDescriptions[0]));
}

TEST_F(WindowTest, StereoMixLineInAnyCaseEnablesStereoMixMode) {
  Mixer.Lines = {{"Master", "Microphone"}, {"microphone", "Line In", "STEREO MIX"}};
  TMainForm& F = ShownForm();
  EXPECT_EQ(F.MicOutputLineIndex, 1);
  EXPECT_EQ(F.MicRecordLineIndex, 0);
  EXPECT_EQ(F.StereoMixLineIndex, 2);
  EXPECT_TRUE(F.StereoMixRadioButton->isEnabled());
  EXPECT_TRUE(F.StereoMixVolumeBar->isEnabled());
  EXPECT_EQ(F.StereoMixRadioButton->text(),
            QStringLiteral("Stereo &Mix mode(Fast but low audio quality)"));
  EXPECT_EQ(F.RecordMix_StartBtn->text(), QStringLiteral("&Start"));
  EXPECT_EQ(F.RecordMix_StopBtn->text(), QStringLiteral("F&inish"));
  EXPECT_TRUE(F.PageControl->isTabEnabled(6));
  EXPECT_TRUE(F.PageControl->isTabEnabled(7));
  EXPECT_TRUE(Dialogs->Messages.isEmpty());
}

TEST_F(WindowTest, MicrophonesWithoutStereoMixMarkStereoMixUnsupported) {
  Mixer.Lines = {{"MICROPHONE"}, {"Line In", "MicroPhone"}};
  TMainForm& F = ShownForm();
  EXPECT_EQ(F.MicOutputLineIndex, 0);
  EXPECT_EQ(F.MicRecordLineIndex, 1);
  EXPECT_EQ(F.StereoMixLineIndex, -1);
  EXPECT_FALSE(F.StereoMixRadioButton->isEnabled());
  EXPECT_FALSE(F.StereoMixVolumeBar->isEnabled());
  EXPECT_TRUE(F.StereoMixRadioButton->text().endsWith(QStringLiteral("-Not supported!")));
  EXPECT_EQ(F.RecordMix_StartBtn->text(), QStringLiteral("&Start recording"));
  EXPECT_EQ(F.RecordMix_StopBtn->text(), QStringLiteral("S&top recording and mix"));
  EXPECT_TRUE(F.MixAfterRecRadioButton->isChecked());
}

TEST_F(WindowTest, ChineseLineNamesAreFound) {
  Mixer.Lines = {{"\xE9\xBA\xA6\xE5\x85\x8B\xE9\xA3\x8E"},
                 {"\xE7\xAB\x8B\xE4\xBD\x93\xE5\xA3\xB0\xE6\xB7\xB7\xE9\x9F\xB3",
                  "\xE9\xBA\xA6\xE5\x85\x8B\xE9\xA3\x8E"}};
  TMainForm& F = ShownForm();
  EXPECT_EQ(F.MicOutputLineIndex, 0);
  EXPECT_EQ(F.MicRecordLineIndex, 1);
  EXPECT_EQ(F.StereoMixLineIndex, 0);
}

TEST(MixerLines, LaterLineOfTheSameKindWinsAndOnlyWholeNamesMatch) {
  const TMixerLineIndices R = FindMixerLines({{"Microphone", "Microphone Boost", "microphone"},
                                              {"Stereo Mix", "Microphone", "Stereo mix", "Mic"},
                                              {"Microphone", "Stereo Mix"}});
  EXPECT_EQ(R.MicOutput, 2);
  EXPECT_EQ(R.MicRecord, 1);
  EXPECT_EQ(R.StereoMix, 2);
  const TMixerLineIndices None = FindMixerLines({{"Mic"}, {"Stereo Mixer", "microphones"}});
  EXPECT_EQ(None.MicOutput, -1);
  EXPECT_EQ(None.MicRecord, -1);
  EXPECT_EQ(None.StereoMix, -1);
}

TEST_F(WindowTest, ClosingReleasesTheSettingsFile) {
  TMainForm& F = ShownForm();
  EXPECT_TRUE(SettingsOpened());
  EXPECT_EQ(SettingsPath(), SettingsFile());
  F.close();
  EXPECT_FALSE(SettingsOpened());
}

TEST_F(WindowTest, HelpLinkOpensTheHelpPageOfTheProgramFolder) {
  TMainForm& F = Form();
  F.HelpLink->click();  // before the first showing there is no page to open
  EXPECT_TRUE(Dialogs->OpenedDocuments.isEmpty());
  F.show();
  Settle();
  F.HelpLink->click();
  ASSERT_EQ(Dialogs->OpenedDocuments.size(), 1);
  EXPECT_EQ(Dialogs->OpenedDocuments[0], QString::fromStdString(Dir.Dir() + "/external/help.htm"));
}

TEST_F(WindowTest, StartValuesOfThePagesControls) {
  TMainForm& F = Form();
  for (QProgressBar* B : {NamedChild<QProgressBar>(F, "Mp3WavProgressBar"),
                          NamedChild<QProgressBar>(F, "Mp3OggProgressBar"),
                          NamedChild<QProgressBar>(F, "WavOggProgressBar"),
                          NamedChild<QProgressBar>(F, "WavFlacProgressBar"),
                          NamedChild<QProgressBar>(F, "WavApeProgressBar"), F.MixerProgressBar,
                          F.RecorderProgressBar, F.RecordMixProgressBar, F.RipperProgressBar}) {
    EXPECT_TRUE(B->isHidden()) << B->objectName().toStdString();
    EXPECT_EQ(B->value(), 0);
    EXPECT_EQ(B->maximum(), 100);
  }
  for (TPathSelector* P : F.findChildren<TPathSelector*>()) {
    EXPECT_TRUE(P->Text().isEmpty());
    EXPECT_EQ(P->ReadOnly(), P != F.RecordMix_LyricPathSelector) << P->objectName().toStdString();
  }
  EXPECT_EQ(F.findChildren<TPathSelector*>().size(), 26);
  EXPECT_EQ(F.VolumeBar1->maximum(), 255);
  EXPECT_EQ(F.VolumeBar1->value(), 255);
  EXPECT_TRUE(F.MixRadioButton->isChecked());
  EXPECT_EQ(F.ConcRadioButton->text(), QStringLiteral("&Conccatenate"));
  EXPECT_EQ(F.RecorderMicRecordVolumeBar->toolTip(),
            QStringLiteral("Set the mic recording volume."));
  EXPECT_EQ(F.BackgroundVolumeBar->maximum(), 255);
  EXPECT_EQ(F.StereoMixVolumeBar->maximum(), 100);
  EXPECT_FALSE(F.RecordMix_StopBtn->isEnabled());
  EXPECT_FALSE(F.RecordMix_CancelBtn->isEnabled());
  EXPECT_TRUE(F.TimeElapsedLabel->isHidden());
  EXPECT_EQ(F.IndicatedProgressBar2->maximum(), 25);
  EXPECT_EQ(F.IndicatedProgressBar2->orientation(), Qt::Vertical);
  EXPECT_FALSE(F.StopRip->isEnabled());
  EXPECT_EQ(NamedChild<QPushButton>(F, "Mp32Wav_Btn")->text(), QStringLiteral("&Convert it"));
  // The engine's start values of the sinks on the pages.
  EXPECT_EQ(F.Mixer_WaveOut->WavType(), wtPCM);
  EXPECT_EQ(F.Mixer_WaveOut->BlockSize(), 512);
  EXPECT_TRUE(F.OggToWav_WavOut->SuspendWhenIdle());
  EXPECT_EQ(F.OggToWav_WavOut->Input(), F.OggToWav_OggIn);
  EXPECT_EQ(F.WavToMp3_MP3Out->BitRate(), TMP3BitRate::br128);
  TVorbisOut* Ogg = F.WavToOgg_OggOut;
  EXPECT_EQ(Ogg->Input(), F.WavToOgg_WaveIn);
  EXPECT_FLOAT_EQ(Ogg->Compression(), 0.2f);
  EXPECT_EQ(Ogg->DesiredNominalBitrate(), TVorbisBitRate::brAutoSelect);
  EXPECT_EQ(Ogg->DesiredMaximumBitrate(), TVorbisBitRate::brAutoSelect);
  EXPECT_EQ(Ogg->MinimumBitrate(), TVorbisBitRate::brAutoSelect);
  EXPECT_EQ(Ogg->Serial(), 0);
  EXPECT_TRUE(Ogg->SuspendWhenIdle());
  EXPECT_EQ(F.Components()->FindComponent("WavToMp3_WaveIn"), F.WavToMp3_WaveIn);
  EXPECT_EQ(F.WavToMp3_WaveIn->EndSample(), -1);
}

// Every control reached with Tab has a name a screen reader can say, and on
// the first page Tab walks the boxes in reading order.
TEST_F(WindowTest, ControlsHaveAccessibleNamesAndReadingTabOrder) {
  TMainForm& F = ShownForm();
  for (int Page = 0; Page < F.PageControl->count(); ++Page) {
    for (QWidget* W : F.PageControl->widget(Page)->findChildren<QWidget*>()) {
      // Popup lists of combo boxes are windows of their own.
      if (!(W->focusPolicy() & Qt::TabFocus) || W->focusProxy() || W->window() != &F) continue;
      QAccessibleInterface* A = QAccessible::queryAccessibleInterface(W);
      ASSERT_NE(A, nullptr);
      EXPECT_FALSE(A->text(QAccessible::Name).trimmed().isEmpty())
          << "page " << Page << ": " << W->metaObject()->className() << " "
          << W->objectName().toStdString();
    }
  }
  auto* Mp3In = NamedChild<TPathSelector>(F, "Mp32Wav_Mp3PathSelector");
  auto* WavOut = NamedChild<TPathSelector>(F, "Mp32Wav_WavPathSelector");
  auto* WavIn = NamedChild<TPathSelector>(F, "Wav2Mp3_WavPathSelector");
  auto* Mp3Out = NamedChild<TPathSelector>(F, "Wav2Mp3_Mp3PathSelector");
  std::vector<QWidget*> Order;
  QWidget* W = Mp3In->Edit();
  for (int I = 0; I < 10; ++I) {
    Order.push_back(W);
    W = W->nextInFocusChain();
    while (!(W->focusPolicy() & Qt::TabFocus) || !W->isVisibleTo(&F) || !W->isEnabled())
      W = W->nextInFocusChain();
  }
  const std::vector<QWidget*> Expected = {Mp3In->Edit(),
                                          Mp3In->Button(),
                                          WavOut->Edit(),
                                          WavOut->Button(),
                                          NamedChild<QPushButton>(F, "Mp32Wav_Btn"),
                                          WavIn->Edit(),
                                          WavIn->Button(),
                                          Mp3Out->Edit(),
                                          Mp3Out->Button(),
                                          NamedChild<QPushButton>(F, "Wav2Mp3_Btn")};
  EXPECT_EQ(Order, Expected);
}

// At the start size every page shows all its controls whole, none on top of
// another. With VELMORA_SCREENSHOTS set to a folder, each page is also saved
// there as page<N>.png.
TEST_F(WindowTest, EveryPageFitsTheStartSize) {
  Mixer.Lines = {{"Microphone"}, {"Microphone"}};
  TMainForm& F = ShownForm();
  const char* ShotDir = std::getenv("VELMORA_SCREENSHOTS");
  for (int Page = 0; Page < F.PageControl->count(); ++Page) {
    F.PageControl->setCurrentIndex(Page);
    Settle();
    QWidget* Sheet = F.PageControl->widget(Page);
    const QSize Need = Sheet->minimumSizeHint();
    EXPECT_LE(Need.width(), Sheet->width()) << "page " << Page;
    EXPECT_LE(Need.height(), Sheet->height()) << "page " << Page;
    std::vector<QWidget*> Leaves;
    for (QWidget* W : Sheet->findChildren<QWidget*>()) {
      if (!W->isVisibleTo(Sheet) || W->parentWidget() != Sheet) continue;
      const QRect R(W->mapTo(Sheet, QPoint(0, 0)), W->size());
      EXPECT_TRUE(Sheet->rect().contains(R))
          << "page " << Page << ": " << W->objectName().toStdString() << " sticks out";
      Leaves.push_back(W);
    }
    for (size_t I = 0; I < Leaves.size(); ++I)
      for (size_t J = I + 1; J < Leaves.size(); ++J)
        EXPECT_FALSE(Leaves[I]->geometry().intersects(Leaves[J]->geometry()))
            << "page " << Page << ": " << Leaves[I]->objectName().toStdString() << " overlaps "
            << Leaves[J]->objectName().toStdString();
    if (ShotDir)
      F.grab().save(QStringLiteral("%1/page%2.png").arg(QLatin1String(ShotDir)).arg(Page + 1));
  }
}

// The Recorder's level bar follows the level meter every 100 ms, and falls
// back once the meter has nothing new.
TEST_F(WindowTest, RecorderLevelBarFollowsTheMeter) {
  TMainForm& F = ShownForm();
  EXPECT_TRUE(F.Timer->isActive());
  EXPECT_EQ(F.Timer->interval(), 100);
  // Every value the bar takes is kept: on a busy machine two ticks may come
  // within one turn of the event loop, the second one already back at 0.
  int Highest = 0;
  const auto Link = QObject::connect(F.IndicatedProgressBar, &QProgressBar::valueChanged,
                                     [&](int V) { Highest = std::max(Highest, V); });
  const auto Loud = testing_support::MakeSignal16(4096, 2, 44100, 0.9);
  F.SoundIndicator->Analyse(Loud.data(), static_cast<int>(Loud.size() * 2), 16, 2);
  QElapsedTimer T;
  T.start();
  while (Highest == 0 && T.elapsed() < 20000) Settle();
  EXPECT_GT(Highest, 0);
  T.restart();
  while (F.IndicatedProgressBar->value() != 0 && T.elapsed() < 20000) Settle();
  EXPECT_EQ(F.IndicatedProgressBar->value(), 0);
  QObject::disconnect(Link);
}
