#include "app/LyricForm.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QStringDecoder>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <charconv>
#include <optional>
#include <type_traits>

// The page, kept where it is: every navigation but the load of the lyric page
// itself is refused (links, scripts, forms, dropped files, sub-frames), and a
// request for a new window gets none.
class TLyricPage : public QWebEnginePage {
 public:
  TLyricPage(QWebEngineProfile* Profile, const QUrl& Home, QObject* Parent)
      : QWebEnginePage(Profile, Parent), FHome(Home) {}

 protected:
  bool acceptNavigationRequest(const QUrl& Url, NavigationType, bool IsMainFrame) override {
    return IsMainFrame && Url.adjusted(QUrl::RemoveFragment) == FHome;
  }
  QWebEnginePage* createWindow(WebWindowType) override { return nullptr; }

 private:
  const QUrl FHome;
};

namespace {

// The window's scripts run in a world of their own: the page's scripts
// cannot replace what they call, and they leave no globals in the page.
constexpr quint32 kScriptWorld = QWebEngineScript::ApplicationWorld;

// Called with the song length and the lyric text; true when the page has
// the three elements.
constexpr char kFillScript[] = R"((function (length, lyric) {
  var named = function (name) { return document.getElementsByName(name)[0]; };
  var t = named("tracklength"), l = named("lyric"), p = named("prepare");
  if (!t || !l || !p || typeof p.click !== "function") return false;
  t.value = length;
  l.value = lyric;
  p.click();
  return true;
}))";

// Called with the position; true when the page has the two elements. They
// are looked up on every call, so a page loaded anew is followed as well.
constexpr char kPositionScript[] = R"((function (position) {
  var p = document.getElementsByName("position")[0], t = document.getElementsByName("trigger")[0];
  if (!p || !t || typeof t.click !== "function") return false;
  p.value = position;
  t.click();
  return true;
}))";

// The bytes of a regular file of at most kMaxLyricFileBytes, or nothing.
// Anything else (a FIFO, a device, a folder) is never read: it could block
// the window or never end.
std::optional<QByteArray> ReadSmallRegularFile(const QString& Path) {
  const QByteArray Name = QFile::encodeName(Path);
  struct stat St;
  if (Name.isEmpty() || ::stat(Name.constData(), &St) != 0 || !S_ISREG(St.st_mode) ||
      St.st_size > kMaxLyricFileBytes)
    return std::nullopt;
  const int Fd = ::open(Name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (Fd < 0) return std::nullopt;
  // The name may have been given to something else in the meantime: what
  // was opened is checked again, and a file grown past the bound refused.
  bool Ok = ::fstat(Fd, &St) == 0 && S_ISREG(St.st_mode) && St.st_size <= kMaxLyricFileBytes;
  QByteArray Data;
  if (Ok) {
    Data.resize(kMaxLyricFileBytes + 1);
    qint64 Got = 0;
    while (Got < Data.size()) {
      const ssize_t N = ::read(Fd, Data.data() + Got, static_cast<size_t>(Data.size() - Got));
      if (N < 0 && errno == EINTR) continue;
      if (N < 0) Ok = false;
      if (N <= 0) break;
      Got += N;
    }
    Ok = Ok && Got <= kMaxLyricFileBytes;
    Data.resize(Got);
  }
  ::close(Fd);
  if (!Ok) return std::nullopt;
  return Data;
}

QString DecodeLyricBytes(const QByteArray& Bytes) {
  // A byte-order mark names the encoding; the decoder drops the mark.
  if (const auto Marked = QStringConverter::encodingForData(Bytes)) {
    QStringDecoder Decoder(*Marked);
    return Decoder.decode(Bytes);
  }
  QStringDecoder Utf8(QStringConverter::Utf8);
  const QString Text = Utf8.decode(Bytes);
  return Utf8.hasError() ? QString::fromLatin1(Bytes) : Text;
}

// Lines ended by CRLF, LF or CR, joined with CR; no CR after the last line.
QString JoinLinesWithCr(const QString& Text) {
  QString Joined;
  Joined.reserve(Text.size());
  const qsizetype N = Text.size();
  for (qsizetype I = 0; I < N; ++I) {
    const QChar C = Text[I];
    if (C != u'\r' && C != u'\n') {
      Joined += C;
      continue;
    }
    if (C == u'\r' && I + 1 < N && Text[I + 1] == u'\n') ++I;
    if (I + 1 < N) Joined += u'\r';
  }
  return Joined;
}

}  // namespace

QString ReadLyricText(const QString& Path) {
  const auto Bytes = ReadSmallRegularFile(Path);
  if (!Bytes) return QString::fromLatin1(kNoLyricText);
  return JoinLinesWithCr(DecodeLyricBytes(*Bytes));
}

QString LyricPositionText(double Seconds) {
  char Buf[64];
  const auto [End, Ec] =
      std::to_chars(Buf, Buf + sizeof Buf, Seconds, std::chars_format::general, 15);
  return Ec == std::errc() ? QString::fromLatin1(Buf, End - Buf) : QStringLiteral("0");
}

QString ScriptStringLiteral(const QString& Text) {
  static constexpr char Hex[] = "0123456789abcdef";
  QString Literal;
  Literal.reserve(Text.size() + 2);
  Literal += u'"';
  for (const QChar C : Text) {
    const char16_t U = C.unicode();
    if (U >= 0x20 && U < 0x7f && U != u'"' && U != u'\\' && U != u'<' && U != u'>') {
      Literal += C;
      continue;
    }
    const char16_t Escape[] = {u'\\',
                               u'u',
                               char16_t(Hex[(U >> 12) & 15]),
                               char16_t(Hex[(U >> 8) & 15]),
                               char16_t(Hex[(U >> 4) & 15]),
                               char16_t(Hex[U & 15])};
    Literal.append(reinterpret_cast<const QChar*>(Escape), 6);
  }
  Literal += u'"';
  return Literal;
}

TLyricForm::TLyricForm(const QString& ProgramFolder, QWidget* Parent)
    : QWidget(Parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::WindowStaysOnTopHint) {
  setObjectName(QStringLiteral("LyricForm"));
  setWindowTitle(QStringLiteral("Lyric"));
  setAttribute(Qt::WA_DeleteOnClose);
  resize(340, 230);

  // A profile without a storage name is off the record: no cache, cookies
  // or history on disk.
  FProfile = new QWebEngineProfile(this);
  WebBrowser = new QWebEngineView(this);
  WebBrowser->setObjectName(QStringLiteral("WebBrowser"));
  WebBrowser->setAccessibleName(QStringLiteral("Lyric"));
  WebBrowser->setContextMenuPolicy(Qt::NoContextMenu);
  FHome = QUrl::fromLocalFile(ProgramFolder + QStringLiteral("external/lyc.htm"));
  FPage = new TLyricPage(FProfile, FHome, WebBrowser);
  QWebEngineSettings* S = FPage->settings();
  S->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
  S->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
  S->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
  S->setAttribute(QWebEngineSettings::PluginsEnabled, false);
  S->setAttribute(QWebEngineSettings::PdfViewerEnabled, false);
  S->setAttribute(QWebEngineSettings::NavigateOnDropEnabled, false);
  WebBrowser->setPage(FPage);

  auto* Layout = new QVBoxLayout(this);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->addWidget(WebBrowser);

  // A refused navigation starts and stops a load too: only the loads of the
  // lyric page itself count.
  connect(FPage, &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo& Info) {
    if (Info.url().adjusted(QUrl::RemoveFragment) != FHome) return;
    switch (Info.status()) {
      case QWebEngineLoadingInfo::LoadStartedStatus:
        FComplete = false;
        break;
      case QWebEngineLoadingInfo::LoadSucceededStatus:
        WebBrowserDocumentComplete(true);
        break;
      case QWebEngineLoadingInfo::LoadFailedStatus:
        WebBrowserDocumentComplete(false);
        break;
      case QWebEngineLoadingInfo::LoadStoppedStatus:
        break;
    }
  });
  FPage->load(FHome);
}

TLyricForm::~TLyricForm() {
  FDestroying = true;
  FPage->disconnect(this);
  // The page must go before its profile (a child made earlier).
  delete WebBrowser;
  WebBrowser = nullptr;
  FPage = nullptr;
}

void TLyricForm::SetSongLength(int Seconds) { FSongLength = Seconds; }
void TLyricForm::SetLyricFile(const QString& Path) { FLyricPath = Path; }
void TLyricForm::SetLyricOffset(int Milliseconds) { FOffsetMs = Milliseconds; }

void TLyricForm::WebBrowserDocumentComplete(bool Ok) {
  FComplete = Ok;
  if (!Ok) {
    Q_EMIT DocumentCompleted(false);
    return;
  }
  const QString Script = QLatin1String(kFillScript) + u'(' +
                         ScriptStringLiteral(QString::number(FSongLength)) + u',' +
                         ScriptStringLiteral(ReadLyricText(FLyricPath)) + u')';
  QPointer<TLyricForm> Self(this);
  FPage->runJavaScript(Script, kScriptWorld, [Self](const QVariant& Filled) {
    // A page freed with the window answers its pending calls on the way.
    if (Self && !Self->FDestroying) Q_EMIT Self->DocumentCompleted(Filled.toBool());
  });
}

void TLyricForm::UpdatePosition(float ElapsedSeconds) {
  if (!FComplete || !FPage) return;
  const double Seconds = static_cast<double>(ElapsedSeconds) + FOffsetMs / 1000.0;
  FPage->runJavaScript(QLatin1String(kPositionScript) + u'(' +
                           ScriptStringLiteral(LyricPositionText(Seconds)) + u')',
                       kScriptWorld);
}

// The library's entry point (app/Lyric.h).
extern "C" TLyricWindow* CreateLyricWindow(const QString& ProgramFolder, QWidget* Parent) {
  return new TLyricForm(ProgramFolder, Parent);
}
static_assert(std::is_same_v<decltype(&CreateLyricWindow), TCreateLyricWindow>);
