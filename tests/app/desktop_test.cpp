// The window as a desktop program: files and folders dropped on its pages,
// file dialogs that open where the box's last file was, and pages a keyboard
// and a screen reader can walk.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "app/DesktopNotifier.h"
#include "app/IniFile.h"
#include "app/IniSettings.h"
#include "app/PathSelector.h"
#include "platform/CdAccess.h"
#include "tests/app/support/AppTestSupport.h"
#include "tests/app/support/ConverterPanels.h"
#include "tests/support/CdTestSupport.h"

using app_testing::ConverterPanels;
using app_testing::TConverterPanel;
using app_testing::WindowTest;

namespace {

QString Q(const std::string& S) { return QString::fromStdString(S); }

class DesktopTest : public WindowTest {
 protected:
  // An empty file Dir/Name (its folders made).
  std::string File(const std::string& Name) {
    const std::string P = Dir.Path(Name);
    std::filesystem::create_directories(std::filesystem::path(P).parent_path());
    std::ofstream(P, std::ios::binary).flush();
    return P;
  }
  std::string Folder(const std::string& Name) {
    const std::string P = Dir.Path(Name);
    std::filesystem::create_directories(P);
    return P;
  }
  TMainForm& Page(QWidget* Sheet) {
    TMainForm& F = ShownForm();
    F.PageControl->setCurrentWidget(Sheet ? Sheet : F.PageControl->widget(0));
    Settle();
    return F;
  }

  // Drags Paths onto the middle of Over and drops them, the way Qt hands a
  // drag to the window's widgets: to the first widget from Over up that
  // accepts drops, an enter and a move, and the drop only when both were
  // accepted. True when the drop was accepted.
  static bool Drop(QWidget* Over, const std::vector<std::string>& Paths) {
    QWidget* Target = Over;
    QPoint At = Over->rect().center();
    while (Target && !Target->acceptDrops() && !Target->isWindow()) {
      At = Target->mapToParent(At);
      Target = Target->parentWidget();
    }
    if (!Target || !Target->acceptDrops()) return false;
    QMimeData Data;
    QList<QUrl> Urls;
    for (const std::string& P : Paths) Urls << QUrl::fromLocalFile(Q(P));
    Data.setUrls(Urls);
    const Qt::DropActions Offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    QDragEnterEvent Enter(At, Offered, &Data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Target, &Enter);
    if (!Enter.isAccepted()) return false;
    QDragMoveEvent Move(At, Offered, &Data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Target, &Move);
    if (!Move.isAccepted()) return false;
    QDropEvent Dropped(QPointF(At), Offered, &Data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Target, &Dropped);
    return Dropped.isAccepted() && Dropped.dropAction() == Qt::CopyAction;
  }
};

// The file names a converter's components hold.
struct TFlowFiles {
  std::function<std::string()> Source, Output;
};

TFlowFiles FlowFiles(const TMainForm& F, const std::string& Name) {
  auto Files = [](auto* In, auto* Out) {
    return TFlowFiles{[In] { return In->FileName(); }, [Out] { return Out->FileName(); }};
  };
  if (Name == "Mp3ToWav")
    return {[&F] { return F.MP3ToWav->InputFile(); }, [&F] { return F.MP3ToWav->OutputFile(); }};
  if (Name == "Mp3ToOgg")
    return {[&F] { return F.MP3ToVob->InputFile(); }, [&F] { return F.MP3ToVob->OutputFile(); }};
  if (Name == "WavToMp3") return Files(F.WavToMp3_WaveIn, F.WavToMp3_MP3Out);
  if (Name == "OggToMp3") return Files(F.OggToMp3_OggIn, F.OggToMp3_MP3Out);
  if (Name == "WavToOgg") return Files(F.WavToOgg_WaveIn, F.WavToOgg_OggOut);
  if (Name == "OggToWav") return Files(F.OggToWav_OggIn, F.OggToWav_WavOut);
  if (Name == "WavToFlac") return Files(F.WavToFlac_WaveIn, F.WavToFlac_FlacOut);
  if (Name == "FlacToWav") return Files(F.FlacToWav_FlacIn, F.FlacToWav_WavOut);
  if (Name == "WavToApe") return Files(F.WavToApe_WavIn, F.WavToApe_ApeOut);
  if (Name == "ApeToWav") return Files(F.ApeToWav_ApeIn, F.ApeToWav_WavOut);
  throw std::logic_error("no converter " + Name);
}

// "Wave file|*.wav" -> ".wav"
std::string ExtensionOf(const char* Filter) {
  const std::string F = Filter;
  return F.substr(F.find("*.") + 1);
}

// ---- drag and drop

TEST_F(DesktopTest, EachConverterBoxTakesDroppedFilesOfItsType) {
  TMainForm& F = ShownForm();
  for (const TConverterPanel& P : ConverterPanels(F)) {
    SCOPED_TRACE(P.Name);
    F.PageControl->setCurrentIndex(P.Page);
    Settle();
    const TFlowFiles Files = FlowFiles(F, P.Name);
    const std::string In = File(std::string("drop/") + P.Name + ExtensionOf(P.SourceFilter));
    const std::string Out = Dir.Path(std::string("drop/") + P.Name + "-out" + P.Extension);
    const std::string Text = File("drop/notes.txt");

    // A file of another type is refused, and nothing changes.
    EXPECT_FALSE(Drop(P.Source->Edit(), {Text}));
    EXPECT_EQ(P.Source->Text(), QString());

    ASSERT_TRUE(Drop(P.Source->Edit(), {In}));
    EXPECT_EQ(P.Source->Text(), Q(In));
    EXPECT_EQ(Files.Source(), In);
    // The output box takes a file of its type dropped on it (the browse
    // button too: a drop anywhere on the box counts).
    ASSERT_TRUE(Drop(P.Output->Button(), {Out}));
    EXPECT_EQ(P.Output->Text(), Q(Out));
    EXPECT_EQ(Files.Output(), Out);
    EXPECT_EQ(Files.Source(), In);
  }
}

TEST_F(DesktopTest, AFileDroppedOnThePageFillsTheSourceBoxOfItsType) {
  TMainForm& F = Page(nullptr);
  const auto Panels = ConverterPanels(F);
  const TConverterPanel &ToWav = Panels[0], &ToMp3 = Panels[1];
  const std::string Wav = File("song.wav"), Mp3 = File("song.MP3");
  // Dropped on the Mp3-to-Wav panel's source box, which takes no wave file:
  // the wave file goes to the panel that reads wave files.
  ASSERT_TRUE(Drop(ToWav.Source->Edit(), {Wav}));
  EXPECT_EQ(ToWav.Source->Text(), QString());
  EXPECT_EQ(ToMp3.Source->Text(), Q(Wav));
  EXPECT_EQ(F.WavToMp3_WaveIn->FileName(), Wav);
  // Dropped on the progress bar's place, an MP3 (of any case) fills the
  // MP3 source; page drops never fill an output box.
  ASSERT_TRUE(Drop(ToWav.Bar, {Mp3}));
  EXPECT_EQ(ToWav.Source->Text(), Q(Mp3));
  EXPECT_EQ(F.MP3ToWav->InputFile(), Mp3);
  EXPECT_EQ(ToWav.Output->Text(), QString());
  EXPECT_EQ(ToMp3.Output->Text(), QString());
  // A folder, a file of no page's type, a drag of text: refused.
  EXPECT_FALSE(Drop(ToWav.Bar, {Dir.Dir()}));
  EXPECT_FALSE(Drop(ToWav.Bar, {File("x.flac")}));
  EXPECT_FALSE(Drop(ToWav.Bar, {}));
  // A disabled box (the page during a job) takes nothing.
  ToMp3.Source->setEnabled(false);
  EXPECT_FALSE(Drop(ToWav.Bar, {File("other.wav")}));
  EXPECT_EQ(ToMp3.Source->Text(), Q(Wav));
}

TEST_F(DesktopTest, MixerInputsFillEmptyFirstAndTheOutputOnlyFromItsBox) {
  TMainForm& F = ShownForm();
  F.PageControl->setCurrentWidget(F.SeCustomTabSheet6);
  Settle();
  const std::string A = File("a.wav"), B = File("b.wav"), C = File("c.wav");
  // Three files at once on the page: the two inputs, in order; the third
  // finds no free input and the output takes none from the page.
  ASSERT_TRUE(Drop(F.VolumeBar1, {A, B, C}));
  EXPECT_EQ(F.Mixer_Wav1PathSelector->Text(), Q(A));
  EXPECT_EQ(F.Mixer_Wav2PathSelector->Text(), Q(B));
  EXPECT_EQ(F.Mixer_WaveIn1->FileName(), A);
  EXPECT_EQ(F.Mixer_WaveIn2->FileName(), B);
  EXPECT_EQ(F.Mixer_Wav3PathSelector->Text(), QString());
  // Input 1 emptied by hand: the next page drop fills it, not input 2.
  F.Mixer_Wav1PathSelector->SetText(QString());
  ASSERT_TRUE(Drop(F.Mixer_Btn, {C}));
  EXPECT_EQ(F.Mixer_WaveIn1->FileName(), C);
  EXPECT_EQ(F.Mixer_WaveIn2->FileName(), B);
  // On input 2's box itself, the file goes there even though input 1 is full.
  ASSERT_TRUE(Drop(F.Mixer_Wav2PathSelector->Edit(), {A}));
  EXPECT_EQ(F.Mixer_WaveIn2->FileName(), A);
  // On the output box: the output, as the save dialog would have set it.
  ASSERT_TRUE(Drop(F.Mixer_Wav3PathSelector->Edit(), {C}));
  EXPECT_EQ(F.Mixer_Wav3PathSelector->Text(), Q(C));
  EXPECT_EQ(F.Mixer_WaveOut->FileName(), C);
}

TEST_F(DesktopTest, RecordMixTakesASongALyricAndAnOutputOfEitherType) {
  TMainForm& F = ShownForm();
  F.PageControl->setCurrentWidget(F.RecordMixTabSheet);
  Settle();
  const std::string Song = File("music/song.mp3"), Words = File("music/song.lrc");
  ASSERT_TRUE(Drop(F.RecordMix_StartBtn, {Words, Song}));
  EXPECT_EQ(F.RecordMix_SourceAudioPathSelector->Text(), Q(Song));
  EXPECT_EQ(F.RecordMix_LyricPathSelector->Text(), Q(Words));
  EXPECT_EQ(F.RecordMix_OutputAudioPathSelector->Text(), QString());
  // The song's length was read as after the open dialog (an empty file has
  // none).
  EXPECT_EQ(F.AudioLengthLabel->text(), QStringLiteral("Audio length: Unknown"));
  EXPECT_EQ(F.StatusText(), QStringLiteral("Invalid audio file!!!"));
  // An editable box still refuses a dropped file of another type.
  EXPECT_FALSE(Drop(F.RecordMix_LyricPathSelector->Edit(), {File("x.ogg")}));
  EXPECT_EQ(F.RecordMix_LyricPathSelector->Text(), Q(Words));

  const std::string Mp3 = Dir.Path("mix.mp3"), Wav = Dir.Path("mix.wav");
  ASSERT_TRUE(Drop(F.RecordMix_OutputAudioPathSelector->Edit(), {Mp3}));
  EXPECT_EQ(F.RecordMix_OutputAudioPathSelector->Text(), Q(Mp3));
  ASSERT_TRUE(Drop(F.RecordMix_OutputAudioPathSelector->Edit(), {Wav}));
  EXPECT_EQ(F.RecordMix_OutputAudioPathSelector->Text(), Q(Wav));
}

class DesktopCdTest : public DesktopTest {
 protected:
  void SetUp() override {
    if (!testing_support::HavePython()) GTEST_SKIP() << "python3 is needed to make disc images";
    SetCDDeviceLister([] { return std::vector<std::string>(); });
    ForgetCDDrives();
  }
  void TearDown() override {
    // The window first: it closes its drive.
    Window.reset();
    ForgetCDDrives();
    SetCDDeviceLister(nullptr);
  }
};

TEST_F(DesktopCdTest, CdRipperTakesADiscImageAndTheFolderToRipTo) {
  TMainForm& F = Page(nullptr);
  F.PageControl->setCurrentWidget(F.SeCustomTabSheet7);
  Settle();
  const std::string Cue =
      testing_support::MakeDiscImage(Dir.Dir(), "disc", testing_support::AudioDisc());
  ASSERT_FALSE(Cue.empty());
  ASSERT_TRUE(Drop(F.ListView->viewport(), {Cue}));
  EXPECT_EQ(F.ListView->topLevelItemCount(), 3);

  const std::string Out = Folder("ripped here");
  ASSERT_TRUE(Drop(F.RipBtn, {Out}));
  // "Rip it" asks for the folder starting at the dropped one.
  F.ListView->topLevelItem(0)->setCheckState(0, Qt::Checked);
  Dialogs->FolderAnswers.push_back(std::nullopt);
  F.RipBtn->click();
  ASSERT_EQ(Dialogs->FolderAsked.size(), 1u);
  EXPECT_EQ(Dialogs->FolderAsked[0].Folder, Q(Out));
  EXPECT_FALSE(F.RipRunning());
  // A wave file is neither a folder to rip to nor a disc image.
  EXPECT_FALSE(Drop(F.RipBtn, {File("a.wav")}));
}

// ---- keyboard and screen reader

// Where W stands on the window.
QRect Place(const QWidget* W) { return QRect(W->mapTo(W->window(), QPoint(0, 0)), W->size()); }

// B may follow A in reading order: further right on the same row, on a
// row below, or at the top of a column further right.
bool ReadsAfter(const QWidget* A, const QWidget* B) {
  const QRect Ra = Place(A), Rb = Place(B);
  const bool SameRow = Rb.center().y() >= Ra.top() && Rb.center().y() <= Ra.bottom();
  if (SameRow) return Rb.left() > Ra.left();
  if (Rb.top() > Ra.center().y()) return true;
  return Rb.left() >= Ra.right();
}

std::string Describe(const QWidget* W) {
  return std::string(W->metaObject()->className()) + " " + W->objectName().toStdString() + " \"" +
         QAccessible::queryAccessibleInterface(const_cast<QWidget*>(W))
             ->text(QAccessible::Name)
             .toStdString() +
         "\"";
}

TEST_F(DesktopTest, TabWalksEveryPageInReadingOrderAndEveryStopHasAName) {
  // A card with a stereo-mix line: every control of the Record--Mix page
  // is enabled.
  Mixer.Lines = {{"Microphone"}, {"Microphone", "Stereo Mix"}};
  TMainForm& F = ShownForm();
  for (int Page = 0; Page < F.PageControl->count(); ++Page) {
    F.PageControl->setCurrentIndex(Page);
    Settle();
    QWidget* Sheet = F.PageControl->widget(Page);
    SCOPED_TRACE(F.PageControl->tabText(Page).toStdString());
    auto Stops = [&](QWidget* W) {
      return W != Sheet && Sheet->isAncestorOf(W) && (W->focusPolicy() & Qt::TabFocus) &&
             !W->focusProxy() && W->isVisibleTo(&F) && W->isEnabled();
    };
    size_t Expected = 0;
    for (QWidget* W : Sheet->findChildren<QWidget*>())
      if (Stops(W)) ++Expected;
    ASSERT_GT(Expected, 0u);
    // Tab from the page itself: the page's stops, each once, then out.
    std::vector<QWidget*> Order;
    QWidget* W = Sheet->nextInFocusChain();
    for (int Step = 0; Step < 1000 && W != Sheet; ++Step, W = W->nextInFocusChain())
      if (Stops(W)) Order.push_back(W);
    ASSERT_EQ(Order.size(), Expected);
    for (size_t I = 0; I < Order.size(); ++I) {
      QAccessibleInterface* A = QAccessible::queryAccessibleInterface(Order[I]);
      ASSERT_NE(A, nullptr);
      EXPECT_FALSE(A->text(QAccessible::Name).remove(QLatin1Char('&')).trimmed().isEmpty())
          << Describe(Order[I]);
      if (I > 0) {
        EXPECT_TRUE(ReadsAfter(Order[I - 1], Order[I]))
            << Describe(Order[I]) << " comes after " << Describe(Order[I - 1]);
      }
    }
  }
}

// Every button, check box and option of a page has a key of its own on
// that page (Alt and the underlined letter), none taken by the help link.
TEST_F(DesktopTest, EveryButtonOfAPageHasAMnemonicOfItsOwn) {
  TMainForm& F = ShownForm();
  const QKeySequence Help = QKeySequence::mnemonic(F.HelpLink->text());
  ASSERT_FALSE(Help.isEmpty());
  for (int Page = 0; Page < F.PageControl->count(); ++Page) {
    SCOPED_TRACE(F.PageControl->tabText(Page).toStdString());
    std::map<QKeySequence, std::string> Taken{{Help, "HelpLink"}};
    for (QAbstractButton* B : F.PageControl->widget(Page)->findChildren<QAbstractButton*>()) {
      // The "..." buttons of the path boxes are reached with Tab.
      if (B->text() == QStringLiteral("...")) continue;
      const QKeySequence Key = QKeySequence::mnemonic(B->text());
      EXPECT_FALSE(Key.isEmpty()) << B->objectName().toStdString() << " has no mnemonic";
      if (Key.isEmpty()) continue;
      const auto [At, New] = Taken.emplace(Key, B->objectName().toStdString());
      EXPECT_TRUE(New) << B->objectName().toStdString() << " and " << At->second << " share "
                       << Key.toString().toStdString();
    }
  }
}

// ---- notifications

// A notification server of the test's own: it keeps the arguments of every
// Notify call and answers it.
class TNotificationServer : public QDBusVirtualObject {
 public:
  std::vector<QVariantList> Calls;
  bool handleMessage(const QDBusMessage& M, const QDBusConnection& Bus) override {
    if (M.member() != QStringLiteral("Notify")) return false;
    Calls.push_back(M.arguments());
    Bus.send(M.createReply(QVariant::fromValue(static_cast<uint>(Calls.size()))));
    return true;
  }
  QString introspect(const QString&) const override { return QString(); }
};

// A private bus (dbus-daemon) with the server on it.
class NotificationTest : public DesktopTest {
 protected:
  void SetUp() override {
    Daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--nofork"),
                  QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    if (!Daemon.waitForStarted(10000)) GTEST_SKIP() << "dbus-daemon is needed";
    QElapsedTimer T;
    T.start();
    while (!Daemon.canReadLine() && T.elapsed() < 10000) Daemon.waitForReadyRead(100);
    Address = QString::fromUtf8(Daemon.readLine()).trimmed();
    ASSERT_FALSE(Address.isEmpty()) << "the bus gave no address";
    QDBusConnection Bus = QDBusConnection::connectToBus(Address, kServer);
    ASSERT_TRUE(Bus.isConnected());
    ASSERT_TRUE(
        Bus.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), &Server));
    ASSERT_TRUE(Bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
    NotificationBus = Address.toStdString();
  }
  void TearDown() override {
    if (Window) {
      Window->close();
      Window.reset();
    }
    QDBusConnection::disconnectFromBus(kServer);
    if (Daemon.state() != QProcess::NotRunning) {
      Daemon.terminate();
      Daemon.waitForFinished(10000);
    }
  }
  // Waits (bounded) until the server has had Count calls.
  bool Received(size_t Count) {
    QElapsedTimer T;
    T.start();
    while (Server.Calls.size() < Count && T.elapsed() < 20000)
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    return Server.Calls.size() >= Count;
  }
  // Waits (bounded) until the window is, or is not, the active one.
  bool Active(const TMainForm& F, bool Want) {
    QElapsedTimer T;
    T.start();
    while (F.isActiveWindow() != Want && T.elapsed() < 5000)
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    return F.isActiveWindow() == Want;
  }
  // Clicks Button and waits (bounded) until the job's Bar has come and gone.
  static ::testing::AssertionResult RunJob(QAbstractButton* Button, QWidget* Bar) {
    Button->click();
    if (!Bar->isVisible()) return ::testing::AssertionFailure() << "no job started";
    QElapsedTimer T;
    T.start();
    while (Bar->isVisible() && T.elapsed() < 30000)
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    if (Bar->isVisible()) return ::testing::AssertionFailure() << "the job never ended";
    return ::testing::AssertionSuccess();
  }
  const QString kServer = QStringLiteral("notification-server");
  QProcess Daemon;
  QString Address;
  TNotificationServer Server;
};

TEST_F(NotificationTest, ALongJobEndingBehindAnotherWindowIsAnnounced) {
  std::vector<int16_t> Samples(4410 * 2, 1000);
  for (const char* Name : {"a.wav", "b.wav"})
    testing_support::WritePcmWav(Dir.Path(Name), Samples.data(), Samples.size() * 2, 2, 44100, 16);
  TMainForm& F = ShownForm();
  const TConverterPanel ToFlac = ConverterPanels(F)[6];
  ASSERT_STREQ(ToFlac.Name, "WavToFlac");
  F.PageControl->setCurrentIndex(ToFlac.Page);
  Settle();
  ASSERT_TRUE(Drop(ToFlac.Source->Edit(), {Dir.Path("a.wav")}));
  ASSERT_TRUE(Drop(ToFlac.Output->Edit(), {Dir.Path("a.flac")}));
  F.PageControl->setCurrentWidget(F.SeCustomTabSheet6);
  Settle();
  ASSERT_TRUE(Drop(F.Mixer_Btn, {Dir.Path("a.wav"), Dir.Path("b.wav")}));
  ASSERT_TRUE(Drop(F.Mixer_Wav3PathSelector->Edit(), {Dir.Path("mixed.wav")}));
  QWidget Elsewhere;
  Elsewhere.show();
  Elsewhere.activateWindow();
  if (!Active(F, false)) GTEST_SKIP() << "the platform does not move the focus between windows";

  // Too short to be worth a word, then long enough but watched: nothing.
  F.NotifyAfterMs = 3600 * 1000;
  ASSERT_TRUE(RunJob(F.Mixer_Btn, F.MixerProgressBar));
  F.NotifyAfterMs = 0;
  F.activateWindow();
  ASSERT_TRUE(Active(F, true));
  ASSERT_TRUE(RunJob(F.Mixer_Btn, F.MixerProgressBar));
  // Long enough and behind another window: announced. Calls from one
  // connection arrive in order, so a notification of a mix would come first.
  Elsewhere.activateWindow();
  ASSERT_TRUE(Active(F, false));
  F.PageControl->setCurrentIndex(ToFlac.Page);
  ASSERT_TRUE(RunJob(ToFlac.Button, ToFlac.Bar));
  ASSERT_TRUE(Received(1));
  const QVariantList& Call = Server.Calls[0];
  ASSERT_EQ(Call.size(), 8);
  EXPECT_EQ(Call[0].toString().toStdString(), "Velmora");
  EXPECT_EQ(Call[3].toString().toStdString(), "Wav to Flac finished");
  EXPECT_EQ(Call[7].toInt(), -1);
  EXPECT_EQ(Server.Calls.size(), 1u);
}

TEST(DesktopNotifier, WithoutABusNothingIsSent) {
  TDesktopNotifier Nowhere(QStringLiteral("unix:path=/nonexistent/velmora-bus"));
  EXPECT_FALSE(Nowhere.Notify(QStringLiteral("Mixing finished")));
  EXPECT_FALSE(Nowhere.Notify(QStringLiteral("again")));
}

// ---- remembered folders

TEST_F(DesktopTest, EachBoxsDialogOpensInTheFolderItLastUsedAcrossRuns) {
  const std::string Songs = Folder("songs"), Other = Folder("other");
  {
    TMainForm& F = Page(nullptr);
    const auto Panels = ConverterPanels(F);
    // Never used: no folder is asked for.
    TFileDialogRequest Answer;
    Answer.FileName = Q(Songs + "/a.mp3");
    Dialogs->OpenAnswers.push_back(Answer);
    Panels[0].Source->Button()->click();
    ASSERT_EQ(Dialogs->OpenAsked.size(), 1u);
    EXPECT_EQ(Dialogs->OpenAsked[0].Folder, QString());
    // The same box again: its folder; another box: still none.
    Panels[0].Source->Button()->click();
    Panels[1].Source->Button()->click();
    ASSERT_EQ(Dialogs->OpenAsked.size(), 3u);
    EXPECT_EQ(Dialogs->OpenAsked[1].Folder, Q(Songs));
    EXPECT_EQ(Dialogs->OpenAsked[2].Folder, QString());
    // A cancelled dialog changes nothing; a save dialog's choice counts.
    Answer.FileName = Q(Other + "/b.wav");
    Dialogs->SaveAnswers.push_back(Answer);
    Panels[0].Output->Button()->click();
    // A file dropped on a box counts as used for it.
    F.PageControl->setCurrentWidget(F.SeCustomTabSheet6);
    Settle();
    ASSERT_TRUE(Drop(F.Mixer_Wav1PathSelector->Edit(), {File("dropped/x.wav")}));
    Window->close();
    Window.reset();
  }
  TIniFile Ini(SettingsFile());
  EXPECT_EQ(Ini.Read("Folders", "Mp32Wav_Mp3PathSelector"), Songs);
  EXPECT_EQ(Ini.Read("Folders", "Mp32Wav_WavPathSelector"), Other);

  TMainForm& F = Page(nullptr);
  const auto Panels = ConverterPanels(F);
  Panels[0].Source->Button()->click();
  Panels[0].Output->Button()->click();
  F.Mixer_Wav1PathSelector->Button()->click();
  F.Mixer_Wav2PathSelector->Button()->click();
  ASSERT_EQ(Dialogs->OpenAsked.size(), 6u);
  ASSERT_EQ(Dialogs->SaveAsked.size(), 2u);
  EXPECT_EQ(Dialogs->OpenAsked[3].Folder, Q(Songs));
  EXPECT_EQ(Dialogs->SaveAsked[1].Folder, Q(Other));
  EXPECT_EQ(Dialogs->OpenAsked[4].Folder, Q(Dir.Path("dropped")));
  EXPECT_EQ(Dialogs->OpenAsked[5].Folder, QString());
}

TEST(LastFolders, AFolderThatDoesNotFitOnALineIsNotKept) {
  testing_support::TempDir Dir;
  OpenSettings(Dir.Path("Settings.ini"));
  WriteLastFolder("Box", "/music");
  EXPECT_EQ(ReadLastFolder("Box"), "/music");
  WriteLastFolder("Box", "/two\nlines");
  WriteLastFolder("Box", "/carriage\rreturn");
  EXPECT_EQ(ReadLastFolder("Box"), "/music");
  EXPECT_EQ(ReadLastFolder("Other"), "");
  CloseSettings();
  EXPECT_EQ(ReadLastFolder("Box"), "");
}

}  // namespace
