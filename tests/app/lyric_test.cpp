// The lyric window: the text it reads from a lyric file, the values it hands
// its page (read back from the page through the web engine), hostile lyric
// files, pages that are not ready or not complete, time-tagged and plain
// lyrics followed by position, and the lyric offset on the Settings page.
#include "app/Lyric.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QRegularExpression>
#include <QSpinBox>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <clocale>
#include <fstream>
#include <memory>
#include <optional>

#include "app/IniSettings.h"
#include "app/LyricForm.h"
#include "tests/app/support/AppTestSupport.h"
#include "tests/app/support/WebEngineTest.h"

using app_testing::WaitFor;
using app_testing::WindowTest;
using testing_support::TempDir;

namespace {

void WriteBytes(const std::string& Name, const QByteArray& Bytes) {
  std::ofstream(Name, std::ios::binary).write(Bytes.constData(), Bytes.size());
}

QString TextOf(const std::string& Name, const QByteArray& Bytes) {
  WriteBytes(Name, Bytes);
  return ReadLyricText(QString::fromStdString(Name));
}

// The result of Script, run in the page's own world.
QVariant Eval(TLyricForm& F, const QString& Script) {
  auto Result = std::make_shared<std::optional<QVariant>>();
  F.WebBrowser->page()->runJavaScript(Script, [Result](const QVariant& V) { *Result = V; });
  EXPECT_TRUE(WaitFor([&] { return Result->has_value(); })) << Script.toStdString();
  return Result->value_or(QVariant());
}

QString Named(TLyricForm& F, const char* Name) {
  return Eval(F, QStringLiteral("document.getElementsByName('%1')[0].value").arg(Name)).toString();
}

// The text of the one line marked current ("" when none is).
QString Current(TLyricForm& F) {
  return Eval(F,
              "var m = document.querySelectorAll('[aria-current]'); m.length > 1 ? 'several' "
              ": m.length ? m[0].getAttribute('aria-current') + ' ' + m[0].textContent : ''")
      .toString()
      .remove(QRegularExpression("^true "));
}

QString Lines(TLyricForm& F) {
  return Eval(F, QStringLiteral("Array.from(document.querySelectorAll('#lines li'), "
                                "function (l) { return l.textContent; }).join('|')"))
      .toString();
}

// The current line once the page has taken the position Seconds.
QString At(TLyricForm& F, float Seconds) {
  F.UpdatePosition(Seconds);
  const QString Arrived = LyricPositionText(double(Seconds) + F.LyricOffset() / 1000.0);
  EXPECT_TRUE(WaitFor([&] { return Named(F, "position") == Arrived; })) << Seconds;
  return Current(F);
}

QString SourceFolder() { return QStringLiteral(VELMORA_SOURCE_DIR "/"); }

class LyricFormTest : public ::testing::Test {
 protected:
  ~LyricFormTest() override { delete Form.data(); }

  // A window on the page in Folder for a lyric file holding Bytes, once its
  // page is complete.
  TLyricForm& Open(const QByteArray& Bytes, int Length, const QString& Folder = SourceFolder()) {
    delete Form.data();
    WriteBytes(Dir.Path("song.lrc"), Bytes);
    Form = new TLyricForm(Folder);
    Form->SetSongLength(Length);
    Form->SetLyricFile(QString::fromStdString(Dir.Path("song.lrc")));
    Completed = Filled = false;
    QObject::connect(Form, &TLyricForm::DocumentCompleted, [this](bool F) {
      Completed = true;
      Filled = F;
    });
    Form->show();
    EXPECT_TRUE(WaitFor([this] { return Completed; }));
    return *Form;
  }

  TempDir Dir;
  QPointer<TLyricForm> Form;
  bool Completed = false, Filled = false;
};

const char kSong[] =
    "[ti:Song]\n[ar:Singer]\n[00:01.00]one\n[00:05.50][00:20.00]chorus\nuntimed after chorus\n"
    "[00:10.00]three\n[00:15]four\n";

}  // namespace

TEST(LyricText, LinesJoinWithCrAndEncodingsAreHonoured) {
  TempDir D;
  const std::string F = D.Path("l.txt");
  EXPECT_EQ(TextOf(F, "A\nB\nC"), "A\rB\rC");
  EXPECT_EQ(TextOf(F, "A\r\nB\r\nC\r\n"), "A\rB\rC");  // the CR of CRLF is not doubled
  EXPECT_EQ(TextOf(F, "A\rB\n\r\nC\n\n"), "A\rB\r\rC\r");
  EXPECT_EQ(TextOf(F, ""), "");
  EXPECT_EQ(TextOf(F,
                   "\xEF\xBB\xBF"
                   "caf\xC3\xA9"),
            QStringLiteral(u"café"));                                     // mark dropped
  EXPECT_EQ(TextOf(F, "caf\xE9 \xE0 la"), QStringLiteral(u"café à la"));  // not UTF-8
  EXPECT_EQ(TextOf(F, QByteArray("\xFF\xFE"
                                 "A\0\n\0\xE9\0",
                                 8)),
            QStringLiteral(u"A\ré"));
}

TEST(LyricText, OnlySmallRegularFilesAreRead) {
  TempDir D;
  const QString No = QString::fromLatin1(kNoLyricText);
  EXPECT_EQ(ReadLyricText(QString()), No);
  EXPECT_EQ(ReadLyricText(QString::fromStdString(D.Path("missing.lrc"))), No);
  EXPECT_EQ(ReadLyricText(QString::fromStdString(D.Dir())), No);
  EXPECT_EQ(ReadLyricText(QStringLiteral("/dev/zero")), No);
  const std::string Fifo = D.Path("fifo.lrc");
  ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
  EXPECT_EQ(ReadLyricText(QString::fromStdString(Fifo)), No);  // opening it would block
  EXPECT_EQ(TextOf(D.Path("full.lrc"), QByteArray(kMaxLyricFileBytes, 'x')).size(),
            kMaxLyricFileBytes);
  EXPECT_EQ(TextOf(D.Path("big.lrc"), QByteArray(kMaxLyricFileBytes + 1, 'x')), No);
  ASSERT_EQ(::symlink(D.Path("full.lrc").c_str(), D.Path("link.lrc").c_str()), 0);
  EXPECT_EQ(ReadLyricText(QString::fromStdString(D.Path("link.lrc"))).size(), kMaxLyricFileBytes);
}

TEST(LyricText, LiteralsKeepTheTextWhole) {
  const QString Hostile = QStringLiteral(u"\"</script>'\\\r\n\t\u2028\u2029\u0000é😀");
  const QString L = ScriptStringLiteral(Hostile);
  for (const QChar C : L.mid(1, L.size() - 2)) {
    EXPECT_TRUE(C.unicode() >= 0x20 && C.unicode() < 0x7f) << int(C.unicode());
    EXPECT_NE(C, u'"');
    EXPECT_NE(C, u'<');
  }
  // A JSON reader gets the text back exactly.
  const QJsonDocument Back = QJsonDocument::fromJson(("[" + L + "]").toUtf8());
  ASSERT_TRUE(Back.isArray());
  EXPECT_EQ(Back.array().at(0).toString(), Hostile);
}

TEST_F(LyricFormTest, HandsThePageTheLinesTheLengthAndPointedPositions) {
  TLyricForm& F = Open("A\r\nB\r\nC\r\n", 180);
  EXPECT_TRUE(Filled);
  EXPECT_EQ(Named(F, "lyric"), "A\rB\rC");
  EXPECT_EQ(Named(F, "tracklength"), "180");
  EXPECT_EQ(Lines(F), "A|B|C");
  // Where the decimal separator is a comma, positions still go with a point.
  const QLocale Old;
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  const std::string OldC = std::setlocale(LC_ALL, nullptr);
  for (const char* L : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"})
    if (std::setlocale(LC_ALL, L)) break;
  F.UpdatePosition(0.1f);
  EXPECT_TRUE(WaitFor([&] { return Named(F, "position") == "0.100000001490116"; }));
  F.SetLyricOffset(-250);
  F.UpdatePosition(12.0f);
  EXPECT_TRUE(WaitFor([&] { return Named(F, "position") == "11.75"; }));
  std::setlocale(LC_ALL, OldC.c_str());
  QLocale::setDefault(Old);
}

TEST_F(LyricFormTest, HostileTextRoundTripsAndRunsNothing) {
  const QByteArray Hostile =
      "</textarea><script>window.pwned = 1</script>\n"
      "<img src=x onerror=\"window.pwned = 2\"> \"quoted\" 'single' \\back\\slash\n"
      "\"); window.pwned = 3; (\" \xE2\x80\xA8 after a line separator\n"
      "[ti:<b onclick=x>bold</b>]\n";
  TLyricForm& F = Open(Hostile, 60);
  EXPECT_TRUE(Filled);
  EXPECT_EQ(Named(F, "lyric"), ReadLyricText(QString::fromStdString(Dir.Path("song.lrc"))));
  EXPECT_EQ(Eval(F, "typeof window.pwned").toString(), "undefined");
  EXPECT_EQ(Eval(F, "document.querySelectorAll('script, img, b, textarea').length").toInt(), 1);
  EXPECT_EQ(Eval(F, "document.querySelectorAll('#lines li *').length").toInt(), 0);
  EXPECT_EQ(Lines(F).split(u'|').size(), 3);
  EXPECT_EQ(Eval(F, "document.getElementById('title').textContent").toString(),
            "<b onclick=x>bold</b>");
}

TEST_F(LyricFormTest, EarlyUpdatesAndIncompletePagesAreNoOps) {
  // Before the page is complete.
  Form = new TLyricForm(SourceFolder());
  for (int I = 0; I < 5; ++I) Form->UpdatePosition(float(I));
  EXPECT_FALSE(Form->PageComplete());
  delete Form.data();

  // A page without "trigger" and "prepare", and a folder without a page.
  const QString Folder = QString::fromStdString(Dir.Dir()) + u'/';
  ASSERT_EQ(::mkdir(Dir.Path("external").c_str(), 0700), 0);
  WriteBytes(Dir.Path("external/lyc.htm"),
             "<html><body><input type=hidden name=tracklength><input type=hidden name=lyric>"
             "<input type=hidden name=position value=none></body></html>");
  TLyricForm& F = Open("A", 10, Folder);
  EXPECT_FALSE(Filled);
  F.UpdatePosition(3.0f);
  EXPECT_EQ(Named(F, "position"), "none");
  ASSERT_EQ(::unlink(Dir.Path("external/lyc.htm").c_str()), 0);
  TLyricForm& G = Open("A", 10, Folder);
  EXPECT_FALSE(Filled);
  EXPECT_FALSE(G.PageComplete());
  G.UpdatePosition(3.0f);
}

TEST_F(LyricFormTest, StaysOnItsPage) {
  TLyricForm& F = Open("A", 10);
  EXPECT_TRUE(F.WebBrowser->page()->profile()->isOffTheRecord());
  const QUrl Home = F.WebBrowser->url();
  QStringList Stopped;
  QObject::connect(F.WebBrowser->page(), &QWebEnginePage::loadingChanged,
                   [&](const QWebEngineLoadingInfo& I) {
                     if (I.status() == QWebEngineLoadingInfo::LoadStoppedStatus)
                       Stopped << I.url().toString();
                   });
  EXPECT_TRUE(Eval(F, "window.open('about:blank') === null").toBool());
  Eval(F, "location.href = 'file:///etc/hostname'");
  Eval(F,
       "var a = document.createElement('a'); a.href = 'https://example.org/';"
       "document.body.appendChild(a); a.click()");
  EXPECT_TRUE(WaitFor([&] { return Stopped.size() == 2; })) << Stopped.join(' ').toStdString();
  EXPECT_EQ(F.WebBrowser->url(), Home);
  EXPECT_EQ(Named(F, "lyric"), "A");
  // Loaded again, the page is filled again.
  Completed = false;
  F.WebBrowser->reload();
  EXPECT_TRUE(WaitFor([&] { return Completed; }));
  EXPECT_TRUE(Filled);
  EXPECT_EQ(Lines(F), "A");
}

TEST_F(LyricFormTest, TimeTagsChooseTheLine) {
  TLyricForm& F = Open(kSong, 30);
  EXPECT_EQ(Eval(F, "document.getElementById('title').textContent").toString(),
            QStringLiteral(u"Song – Singer"));
  EXPECT_EQ(Lines(F), "one|chorus|untimed after chorus|three|four|chorus");
  const std::pair<float, const char*> Expected[] = {
      {0.5f, ""},        {1.0f, "one"},    {5.49f, "one"},  {5.5f, "chorus"},
      {9.99f, "chorus"}, {12.0f, "three"}, {16.0f, "four"}, {25.0f, "chorus"},
  };
  for (const auto& [Seconds, Line] : Expected) EXPECT_EQ(At(F, Seconds), Line) << Seconds;
  // The window's own offset moves every position.
  F.SetLyricOffset(1000);
  EXPECT_EQ(At(F, 4.5f), "chorus");

  // [offset:+500] shows every line half a second sooner.
  TLyricForm& G = Open(QByteArray("[offset:+500]\n") + kSong, 30);
  EXPECT_EQ(At(G, 0.4f), "");
  EXPECT_EQ(At(G, 0.5f), "one");
  EXPECT_EQ(At(G, 5.0f), "chorus");
}

TEST_F(LyricFormTest, PlainTextFollowsPositionOverLength) {
  TLyricForm& F = Open("A\nB\nC\n", 180);
  const std::pair<float, const char*> Expected[] = {
      {0.0f, "A"}, {90.0f, "B"}, {179.9f, "C"}, {500.0f, "C"}, {59.0f, "A"}};
  for (const auto& [Seconds, Line] : Expected) EXPECT_EQ(At(F, Seconds), Line) << Seconds;
  TLyricForm& Unknown = Open("A\nB\nC\n", 0);
  EXPECT_EQ(At(Unknown, 90.0f), "");
  EXPECT_EQ(Lines(Unknown), "A|B|C");
}

TEST_F(WindowTest, LyricOffsetOnTheSettingsPage) {
  std::ofstream(SettingsFile()) << "[Lyric]\nOffset=-250\n";
  TMainForm& F = ShownForm();
  EXPECT_EQ(F.LyricOffset->value(), -250);
  F.LyricOffset->setValue(120);
  EXPECT_EQ(ReadLyricOffset(), -250);  // nothing counts until it is saved
  F.SaveSettingClick();
  EXPECT_EQ(ReadLyricOffset(), 120);
}
