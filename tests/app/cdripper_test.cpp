// The CdRipper page's listing: drives and disc images in the drive box, the
// rows of a disc, what can be checked, and the CDDB lookup with its status
// texts, run against a local server while the window goes on working.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <set>

#include "app/IniFile.h"
#include "platform/CdAccess.h"
#include "tests/app/support/AppTestSupport.h"
#include "tests/support/CdTestSupport.h"

using app_testing::WindowTest;
using namespace testing_support;

namespace {

const QString kNoTrackInfo =
    QString::fromUtf8("Can't get track info\xef\xbc\x8cmay be no cd or corrupted.");

class CdRipperPage : public WindowTest {
 protected:
  void SetUp() override {
    if (!HavePython()) GTEST_SKIP() << "python3 is needed to make disc images";
    SetCDDeviceLister([] { return std::vector<std::string>(); });
    ForgetCDDrives();
  }
  void TearDown() override {
    // The window first: it closes its drive.
    Window.reset();
    ForgetCDDrives();
    SetCDDeviceLister(nullptr);
  }
  TMainForm& Page() {
    TMainForm& F = ShownForm();
    F.PageControl->setCurrentWidget(F.SeCustomTabSheet7);
    return F;
  }
  std::string Image(const std::string& Name, const TDiscLayout& Layout) {
    const std::string Cue = MakeDiscImage(Dir.Dir(), Name, Layout);
    EXPECT_FALSE(Cue.empty());
    return Cue;
  }
  // Types Text into the drive box and presses Enter.
  void TypeDrive(const QString& Text) {
    QLineEdit* Edit = Window->CdRomCombo->lineEdit();
    Edit->setText(Text);
    QKeyEvent Press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(Edit, &Press);
  }
  // Opens Cue with the drive box's "..." button.
  void OpenImage(const std::string& Cue) {
    TFileDialogRequest R;
    R.FileName = QString::fromStdString(Cue);
    Dialogs->OpenAnswers.push_back(R);
    Window->CdRomImageSelect->click();
  }
  QStringList Row(int K) {
    QStringList R;
    const QTreeWidgetItem* Item = Window->ListView->topLevelItem(K);
    for (int C = 0; C < 6; ++C) R << (Item ? Item->text(C) : QString());
    return R;
  }
  void UseServer(const TCddbTestServer& S, int Timeout = 10) {
    TIniFile Ini(SettingsFile());
    Ini.Write("Cddb", "Server", S.Address());
    Ini.Write("Cddb", "Email", "ripper@example.org");
    Ini.Write("Cddb", "Timeout", std::to_string(Timeout));
  }
  // Waits (bounded) until no lookup runs, then lets their results arrive.
  ::testing::AssertionResult LookupsEnd(int Ms = 30000) {
    QElapsedTimer T;
    T.start();
    while (Window->CddbLookupsRunning() > 0 && T.elapsed() < Ms)
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    Settle();
    if (Window->CddbLookupsRunning() > 0) return ::testing::AssertionFailure() << "still running";
    return ::testing::AssertionSuccess();
  }
  // Waits (bounded) until the server has had Count requests.
  bool ServerAsked(const TCddbTestServer& S, size_t Count) {
    QElapsedTimer T;
    T.start();
    while (S.Requests().size() < Count && T.elapsed() < 20000)
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    return S.Requests().size() >= Count;
  }
  // The scenario of a server that knows the mixed-mode disc: titles for its
  // three audio tracks. Extra goes into every reply, QueryExtra into the
  // query's.
  std::string KnownDisc(const std::string& Extra = "", const std::string& QueryExtra = "") {
    const TDiscLayout L = MixedModeDisc();
    const uint32_t Id = CddbDiscId(TrackStarts(L), LeadOut(L));
    const std::string Artist =
                          "Der K\xc3\xbc"
                          "nstler",
                      Album = "\xe6\x97\xa5\xe6\x9c\xac";
    return "{\"sites\": " +
           Reply({"210 OK, site information follows",
                  "127.0.0.1 http 80 /~cddb/cddb.cgi N000.00 W000.00 Test", "."},
                 Extra) +
           ", \"query\": " +
           Reply({"200 misc " + Hex8(Id) + " " + Artist + " / " + Album}, Extra + QueryExtra) +
           ", \"read\": " +
           Reply(RecordLines("misc", Id, TrackStarts(L), LeadOut(L),
                             {"DTITLE=" + Artist + " / " + Album, "TTITLE0=Data",
                              "TTITLE1=Erste Stra\xc3\x9f"
                              "e",
                              "TTITLE2=Zweite", "TTITLE3=Dritte"}),
                 Extra) +
           "}";
  }
};

TEST_F(CdRipperPage, WithoutDrivesTheBoxIsEmptiedAndNothingLoads) {
  TMainForm& F = Page();
  const std::string Cue = Image("audio", AudioDisc());
  ASSERT_TRUE(AddCDDrive(Cue));
  F.RefreshCdRom->click();
  ASSERT_EQ(F.CdRomCombo->count(), 1);
  EXPECT_EQ(F.ListView->topLevelItemCount(), 3);
  // The drive is gone: the box does not keep it.
  ForgetCDDrives();
  F.RefreshCdRom->click();
  EXPECT_EQ(F.CdRomCombo->count(), 0);
  EXPECT_EQ(F.ListView->topLevelItemCount(), 0);
  EXPECT_EQ(F.StatusText(), kNoTrackInfo);
  EXPECT_EQ(F.StatusText().at(20), QChar(0xFF0C)) << "the full-width comma";
  EXPECT_EQ(F.CdHandle, 0u);
  // Select all on an empty list changes nothing.
  F.SelAllCheckBox->click();
  EXPECT_EQ(F.ListView->topLevelItemCount(), 0);
}

TEST_F(CdRipperPage, DriveWithoutASaneTableShowsTheTableError) {
  TMainForm& F = Page();
  TypeDrive(QStringLiteral("/dev/null"));
  EXPECT_EQ(F.CdRomCombo->count(), 1);
  EXPECT_EQ(F.CdRomCombo->currentText(), QStringLiteral("/dev/null"));
  EXPECT_EQ(F.StatusText(), QStringLiteral("Error to get cd track info!!!"));
  EXPECT_EQ(F.ListView->topLevelItemCount(), 0);
  // A path that names nothing opens nothing.
  TypeDrive(QString::fromStdString(Dir.Path("missing.cue")));
  EXPECT_EQ(F.StatusText(), kNoTrackInfo);
  EXPECT_EQ(F.CdRomCombo->count(), 1);
}

TEST_F(CdRipperPage, MixedModeImageListsItsTracks) {
  TMainForm& F = Page();
  OpenImage(Image("mixed", MixedModeDisc()));
  ASSERT_EQ(Dialogs->OpenAsked.size(), 1u);
  EXPECT_EQ(Dialogs->OpenAsked[0].Filter, QStringLiteral("Disc image|*.cue"));
  EXPECT_EQ(F.CdRomCombo->count(), 1);
  EXPECT_EQ(F.StatusText(), QStringLiteral("Total tracks: 4"));
  ASSERT_EQ(F.ListView->topLevelItemCount(), 4);
  EXPECT_EQ(Row(0), (QStringList{"01", "Track-01  - Data Track", "00:04,00", "    0.67 M", "300",
                                 "Data Track"}));
  EXPECT_EQ(Row(1), (QStringList{"02", "Track-02  - Audio Track", "04:54,00", "   49.46 M", "22050",
                                 "Audio Track"}));
  EXPECT_EQ(Row(2), (QStringList{"03", "Track-03  - Audio Track", "00:06,50", "    1.12 M", "500",
                                 "Audio Track"}));
  EXPECT_EQ(Row(3)[5], QStringLiteral("Audio Track")) << "four channels are audio";
  EXPECT_TRUE(F.ListView->isColumnHidden(TMainForm::kCdFramesColumn));
  EXPECT_TRUE(F.ListView->isColumnHidden(TMainForm::kCdTypeColumn));
  EXPECT_NE(F.CdHandle, 0u);
  EXPECT_EQ(F.CdToc.LastTrack, 4);
  for (QWidget* W : std::initializer_list<QWidget*>{F.CdRomCombo, F.CdRomImageSelect, F.ListView})
    EXPECT_FALSE(W->accessibleName().isEmpty()) << W->objectName().toStdString();
  // Typing the listed image's path selects it again; nothing is added.
  TypeDrive(QString::fromStdString(Dir.Path("mixed.cue")));
  EXPECT_EQ(F.CdRomCombo->count(), 1);
  EXPECT_EQ(F.ListView->topLevelItemCount(), 4);
}

TEST_F(CdRipperPage, DataRowsCannotBeCheckedEvenBySelectAll) {
  TMainForm& F = Page();
  OpenImage(Image("mixed", MixedModeDisc()));
  ASSERT_EQ(F.ListView->topLevelItemCount(), 4);
  QTreeWidgetItem* Data = F.ListView->topLevelItem(0);
  EXPECT_FALSE(Data->flags() & Qt::ItemIsUserCheckable);
  F.SelAllCheckBox->click();
  EXPECT_EQ(Data->checkState(0), Qt::Unchecked);
  for (int K = 1; K < 4; ++K) EXPECT_EQ(F.ListView->topLevelItem(K)->checkState(0), Qt::Checked);
  Data->setCheckState(0, Qt::Checked);
  EXPECT_EQ(Data->checkState(0), Qt::Unchecked) << "the row refuses the change";
  F.SelAllCheckBox->click();
  for (int K = 0; K < 4; ++K) EXPECT_EQ(F.ListView->topLevelItem(K)->checkState(0), Qt::Unchecked);
  // An audio row can be checked on its own.
  F.ListView->topLevelItem(2)->setCheckState(0, Qt::Checked);
  EXPECT_EQ(F.ListView->topLevelItem(2)->checkState(0), Qt::Checked);
}

TEST_F(CdRipperPage, EnhancedCdsLastAudioTrackEndsBeforeTheSecondSession) {
  TMainForm& F = Page();
  OpenImage(Image("enhanced", EnhancedDisc()));
  ASSERT_EQ(F.ListView->topLevelItemCount(), 3);
  EXPECT_EQ(Row(0)[4], QStringLiteral("400"));
  EXPECT_EQ(Row(1)[4], QStringLiteral("600"));
  EXPECT_EQ(Row(1)[2], QStringLiteral("00:08,00"));
  EXPECT_EQ(Row(2)[5], QStringLiteral("Data Track"));
}

TEST_F(CdRipperPage, CddbTitlesArriveInUtf8) {
  TCddbTestServer Server;
  ASSERT_TRUE(Server.Ok());
  Server.SetScenario(KnownDisc());
  TMainForm& F = Page();
  UseServer(Server);
  F.EnableFreeDBCheckBox->setChecked(true);
  OpenImage(Image("mixed", MixedModeDisc()));
  ASSERT_TRUE(LookupsEnd());
  EXPECT_EQ(F.StatusText(), QStringLiteral("Got cd info successfully!"));
  EXPECT_EQ(F.Artist->text(), QString::fromUtf8("Der K\xc3\xbc"
                                                "nstler"));
  EXPECT_EQ(F.Album->text(), QString::fromUtf8("\xe6\x97\xa5\xe6\x9c\xac"));
  EXPECT_EQ(Row(0)[1], QStringLiteral("Track-01  - Data Track")) << "a data row keeps its name";
  EXPECT_EQ(Row(1)[1], QString::fromUtf8("Erste Stra\xc3\x9f"
                                         "e"));
  EXPECT_EQ(Row(2)[1], QStringLiteral("Zweite"));
  EXPECT_EQ(Row(3)[1], QStringLiteral("Dritte"));
  // Asked with the disc's ID as reckoned from the image's layout.
  const TDiscLayout L = MixedModeDisc();
  const std::vector<std::string> Asked = Server.Requests();
  ASSERT_GE(Asked.size(), 3u);
  EXPECT_NE(Asked[1].find("cmd=cddb+query+" + Hex8(CddbDiscId(TrackStarts(L), LeadOut(L))) +
                          "+4+150+450+22500+23000++"),
            std::string::npos)
      << Asked[1];
  EXPECT_NE(Asked[1].find("&hello=ripper+example.org+Velmora+1.2&proto=6"), std::string::npos);
}

TEST_F(CdRipperPage, EachLookupOutcomeHasItsStatusText) {
  TCddbTestServer Server;
  ASSERT_TRUE(Server.Ok());
  const TDiscLayout L = MixedModeDisc();
  const uint32_t Id = CddbDiscId(TrackStarts(L), LeadOut(L));
  const std::string Sites = "\"sites\": " + SitesReply();
  const std::string Exact = "\"query\": " + Reply({"200 misc " + Hex8(Id) + " A / B"});
  struct TCase {
    const char* What;
    std::string Scenario;
    QString Status;
  } Cases[] = {
      {"no match", "{" + Sites + ", \"query\": " + Reply({"202 No match"}) + "}",
       QStringLiteral("No record in CDDB!")},
      {"HTTP 500", "{\"sites\": {\"status\": 500}, \"query\": {\"status\": 500}}",
       QStringLiteral("Can't got CDDB server list")},
      {"garbage", "{\"sites\": {\"raw\": \"Hello there\\r\\n\"}}",
       QStringLiteral("Can't got CDDB server list")},
      {"record unreadable", "{" + Sites + ", " + Exact + ", \"read\": {\"raw\": \"??\\r\\n\"}}",
       QStringLiteral("Error occur while getting cd info!")},
      {"inexact, other track count",
       "{" + Sites + ", \"query\": " +
           Reply({"211 Found inexact matches", "rock 0a000002 X / Y", "."}) + ", \"read\": " +
           Reply(RecordLines("rock", 0x0a000002, {0, 300}, 1000, {"DTITLE=X / Y"})) + "}",
       QStringLiteral("No record in CDDB!")},
      {"LF-only lines", KnownDisc(", \"eol\": \"\\n\""),
       QStringLiteral("Got cd info successfully!")},
  };
  TMainForm& F = Page();
  UseServer(Server);
  F.EnableFreeDBCheckBox->setChecked(true);
  const std::string Cue = Image("mixed", MixedModeDisc());
  ASSERT_TRUE(AddCDDrive(Cue));
  for (const TCase& C : Cases) {
    Server.SetScenario(C.Scenario);
    F.Album->setText(QStringLiteral("typed album"));
    F.Artist->setText(QStringLiteral("typed artist"));
    F.RefreshCdRom->click();
    ASSERT_TRUE(LookupsEnd()) << C.What;
    EXPECT_EQ(F.StatusText(), C.Status) << C.What;
    const bool NoRecord = C.Status == QStringLiteral("No record in CDDB!");
    const bool Found = C.Status == QStringLiteral("Got cd info successfully!");
    EXPECT_EQ(F.Album->text(), NoRecord ? QStringLiteral("Unknown title")
                               : Found  ? QString::fromUtf8("\xe6\x97\xa5\xe6\x9c\xac")
                                        : QStringLiteral("typed album"))
        << C.What;
    EXPECT_EQ(F.Artist->text(), NoRecord ? QStringLiteral("Unknown artist")
                                : Found  ? QString::fromUtf8("Der K\xc3\xbc"
                                                              "nstler")
                                         : QStringLiteral("typed artist"))
        << C.What;
    EXPECT_EQ(Row(2)[1],
              Found ? QStringLiteral("Zweite") : QStringLiteral("Track-03  - Audio Track"))
        << C.What;
  }
}

TEST_F(CdRipperPage, SlowServerLeavesTheWindowWorking) {
  TCddbTestServer Server;
  ASSERT_TRUE(Server.Ok());
  Server.SetScenario(KnownDisc(", \"gate\": true"));
  TMainForm& F = Page();
  UseServer(Server);
  F.EnableFreeDBCheckBox->setChecked(true);
  QElapsedTimer Clock;
  Clock.start();
  OpenImage(Image("mixed", MixedModeDisc()));
  EXPECT_EQ(F.StatusText(), QStringLiteral("Connecting to 127.0.0.1 to get cd info..."));
  EXPECT_EQ(F.ListView->topLevelItemCount(), 4);
  ASSERT_TRUE(ServerAsked(Server, 1));
  // The server holds its answer back: the window still runs its timers and
  // takes clicks meanwhile.
  bool Fired = false;
  QTimer::singleShot(10, &F, [&Fired] { Fired = true; });
  QElapsedTimer T;
  T.start();
  while (!Fired && T.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_TRUE(Fired);
  F.SelAllCheckBox->click();
  EXPECT_EQ(F.ListView->topLevelItem(1)->checkState(0), Qt::Checked);
  EXPECT_EQ(F.CddbLookupsRunning(), 1);
  EXPECT_EQ(Server.Requests().size(), 1u) << "nothing goes on before the answer";
  Server.OpenGate();
  ASSERT_TRUE(LookupsEnd());
  EXPECT_EQ(F.StatusText(), QStringLiteral("Got cd info successfully!"));
  EXPECT_EQ(Row(3)[1], QStringLiteral("Dritte"));

  // A server that does not answer within the time-out.
  Server.CloseGate();
  UseServer(Server, 2);
  F.RefreshCdRom->click();
  ASSERT_TRUE(LookupsEnd());
  EXPECT_EQ(F.StatusText(), QStringLiteral("Can't got CDDB server list"));
  EXPECT_EQ(F.Album->text(), QString::fromUtf8("\xe6\x97\xa5\xe6\x9c\xac")) << "kept from before";
}

TEST_F(CdRipperPage, LookupOfAnEarlierLoadIsNeverApplied) {
  TCddbTestServer Server;
  ASSERT_TRUE(Server.Ok());
  // The query's answer waits: the lookup has its disc's table by then.
  Server.SetScenario(KnownDisc("", ", \"gate\": true"));
  TMainForm& F = Page();
  UseServer(Server);
  F.EnableFreeDBCheckBox->setChecked(true);
  OpenImage(Image("mixed", MixedModeDisc()));
  ASSERT_TRUE(ServerAsked(Server, 2));
  // Refresh while the lookup waits for its answer, without a new lookup.
  F.EnableFreeDBCheckBox->setChecked(false);
  F.RefreshCdRom->click();
  EXPECT_EQ(F.StatusText(), QStringLiteral("Total tracks: 4"));
  Server.OpenGate();
  ASSERT_TRUE(LookupsEnd());
  EXPECT_EQ(Server.Requests().size(), 3u) << "the earlier lookup read its record";
  EXPECT_EQ(F.StatusText(), QStringLiteral("Total tracks: 4"));
  EXPECT_EQ(F.Album->text(), QString());
  EXPECT_EQ(F.Artist->text(), QString());
  EXPECT_EQ(Row(1)[1], QStringLiteral("Track-02  - Audio Track"));
}

}  // namespace

// ---- ripping

class CdRipperJobs : public CdRipperPage {
 protected:
  // Waits (bounded) until the job's end has reached the page.
  ::testing::AssertionResult RipEnds(int Ms = 60000) {
    QElapsedTimer T;
    T.start();
    while (Window->RipRunning() && T.elapsed() < Ms)
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    if (Window->RipRunning()) return ::testing::AssertionFailure() << "the rip still runs";
    return ::testing::AssertionSuccess();
  }
  std::string Slurp(const std::string& Path) {
    std::ifstream In(Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(In), {});
  }
  std::set<std::string> Files(const std::string& Folder) {
    std::set<std::string> R;
    for (const auto& E : std::filesystem::directory_iterator(Folder))
      R.insert(E.path().filename().string());
    return R;
  }
};

TEST_F(CdRipperJobs, RipItWritesEachCheckedTrackWhileThePageIsLocked) {
  TMainForm& F = Page();
  const std::string Cue = Image("disc", AudioDisc());
  OpenImage(Cue);
  ASSERT_EQ(F.ListView->topLevelItemCount(), 3);
  // Nothing checked: the message, and no dialog.
  F.RipBtn->click();
  EXPECT_EQ(Dialogs->Messages, QStringList{"Please select audio track first!"});
  EXPECT_TRUE(Dialogs->FolderAsked.empty());

  F.ListView->topLevelItem(0)->setCheckState(0, Qt::Checked);
  F.ListView->topLevelItem(2)->setCheckState(0, Qt::Checked);
  const std::string Out = Dir.Path("ripped");
  std::filesystem::create_directory(Out);
  Dialogs->FolderAnswers.push_back(QString::fromStdString(Out));
  F.RipBtn->click();
  ASSERT_EQ(Dialogs->FolderAsked.size(), 1u);
  EXPECT_EQ(Dialogs->FolderAsked[0].Caption, QStringLiteral("Save to"));
  // Locked until the end arrives (the job cannot end before events run).
  ASSERT_TRUE(F.RipRunning());
  EXPECT_FALSE(F.RipBtn->isEnabled());
  EXPECT_FALSE(F.CdRomCombo->isEnabled());
  EXPECT_TRUE(F.StopRip->isEnabled());
  EXPECT_TRUE(F.RipperProgressBar->isVisible());
  ASSERT_TRUE(RipEnds());
  EXPECT_EQ(F.StatusText(), QStringLiteral("Rip done."));
  EXPECT_TRUE(F.RipBtn->isEnabled());
  EXPECT_FALSE(F.StopRip->isEnabled());
  EXPECT_FALSE(F.RipperProgressBar->isVisible());
  EXPECT_EQ(Files(Out), (std::set<std::string>{"Track-01 .wav", "Track-03 .wav", "Rip.log"}));
  const std::string Bin = Slurp(Dir.Path("disc.bin"));
  EXPECT_EQ(Slurp(Out + "/Track-03 .wav").substr(44), Bin.substr(1100 * 2352, 77 * 2352));
}

TEST_F(CdRipperJobs, SingleFileAndAFailedTrackIsUncheckedAndCounted) {
  TMainForm& F = Page();
  const std::string Cue = Image("disc", AudioDisc());
  OpenImage(Cue);
  ASSERT_EQ(F.ListView->topLevelItemCount(), 3);
  F.SelAllCheckBox->setChecked(true);
  F.RiptoSingleFileCheckBox->setChecked(true);
  // The last track loses its sectors after the listing.
  std::filesystem::resize_file(Dir.Path("disc.bin"), 1150 * 2352);
  TFileDialogRequest Save;
  Save.FileName = QString::fromStdString(Dir.Path("whole"));
  Dialogs->SaveAnswers.push_back(Save);
  F.RipBtn->click();
  ASSERT_EQ(Dialogs->SaveAsked.size(), 1u);
  EXPECT_EQ(Dialogs->SaveAsked[0].Filter, QStringLiteral("Wave file|*.wav"));
  ASSERT_TRUE(RipEnds());
  EXPECT_EQ(F.StatusText(), QStringLiteral("Rip done. 1 track failed."));
  EXPECT_EQ(F.ListView->topLevelItem(0)->checkState(0), Qt::Checked);
  EXPECT_EQ(F.ListView->topLevelItem(2)->checkState(0), Qt::Unchecked);
  const std::string Bin = Slurp(Dir.Path("disc.bin"));
  EXPECT_EQ(Slurp(Dir.Path("whole.wav")).substr(44), Bin.substr(0, 1100 * 2352));
  EXPECT_NE(Slurp(Dir.Path("whole.cue")).find("INDEX 01 00:01:25"), std::string::npos);
}

TEST_F(CdRipperJobs, Mp3SingleFileTakesThePagesTagsAndLeavesNoWav) {
  if (!HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe is needed";
  TMainForm& F = Page();
  OpenImage(Image("disc", {{"audio", 150, ""}, {"audio", 75, ""}}));
  ASSERT_EQ(F.ListView->topLevelItemCount(), 2);
  F.SelAllCheckBox->setChecked(true);
  F.RiptoSingleFileCheckBox->setChecked(true);
  F.ConvertType->setCurrentIndex(1);
  F.Album->setText(QStringLiteral("Page Album"));
  F.Artist->setText(QStringLiteral("Page Artist"));
  F.Title->setText(QStringLiteral("Page Title"));
  const std::string Out = Dir.Path("ripped");
  std::filesystem::create_directory(Out);
  TFileDialogRequest Save;
  Save.FileName = QString::fromStdString(Out + "/whole");
  Dialogs->SaveAnswers.push_back(Save);
  F.RipBtn->click();
  ASSERT_EQ(Dialogs->SaveAsked.size(), 1u);
  EXPECT_EQ(Dialogs->SaveAsked[0].Filter, QStringLiteral("Mp3 file|*.mp3"));
  ASSERT_TRUE(RipEnds());
  EXPECT_EQ(F.StatusText(), QStringLiteral("Rip done."));
  EXPECT_EQ(Files(Out), (std::set<std::string>{"whole.mp3", "whole.cue", "Page Album.log"}));
  std::string Probe;
  ASSERT_EQ(
      testing_support::Run("ffprobe -v error -show_entries "
                           "format=duration:format_tags=title,artist,album -of default=nw=1 " +
                               Quote(Out + "/whole.mp3"),
                           &Probe),
      0);
  for (const char* Tag : {"TAG:title=Page Title", "TAG:artist=Page Artist", "TAG:album=Page Album"})
    EXPECT_NE(Probe.find(Tag), std::string::npos) << Tag << "\n" << Probe;
  const size_t At = Probe.find("duration=");
  ASSERT_NE(At, std::string::npos) << Probe;
  EXPECT_NEAR(std::stod(Probe.substr(At + 9)), 3.0, 0.06) << Probe;
  EXPECT_NE(Slurp(Out + "/whole.cue").find("FILE \"whole.mp3\" MP3\n"), std::string::npos);
}

TEST_F(CdRipperJobs, ClosingTheWindowStopsTheRipAndWaitsForIt) {
  TMainForm& F = Page();
  OpenImage(Image("disc", {{"audio", 3000, ""}, {"audio", 3000, ""}, {"audio", 3000, ""}}));
  F.SelAllCheckBox->setChecked(true);
  const std::string Out = Dir.Path("ripped");
  std::filesystem::create_directory(Out);
  Dialogs->FolderAnswers.push_back(QString::fromStdString(Out));
  F.RipBtn->click();
  ASSERT_TRUE(F.RipRunning());
  F.close();
  // The job has ended with the window's close: no thread writes any more,
  // and what it left is whole files and the log, no work file.
  EXPECT_FALSE(F.RipRunning());
  Window.reset();
  for (const std::string& Name : Files(Out)) {
    EXPECT_EQ(Name.find(".velmora-rip-"), std::string::npos) << Name;
    if (Name.size() > 4 && Name.substr(Name.size() - 4) == ".wav") {
      EXPECT_EQ(std::filesystem::file_size(Out + "/" + Name), 44u + 3000 * 2352) << Name;
    }
  }
  EXPECT_EQ(Files(Out).count("Rip.log"), 1u);
}
