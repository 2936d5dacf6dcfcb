// The lyric window: a small always-on-top window whose web view shows the
// program's lyric page (external/lyc.htm) and keeps it moving with the song.
//
// The window hands the page five named elements' worth of data: once the page
// is complete, "tracklength" (the song length in whole seconds) and "lyric"
// (the lyric file's lines joined with CR), then a click on "prepare"; on every
// position update, "position" (seconds, always with a point) and a click on
// "trigger". Values reach the page only as string literals of a fixed script,
// are set through .value and never become markup, so a lyric file cannot run
// anything. Updates before the page is complete, and pages that lack an
// element, are quietly passed over.
//
// The page stays where it is: it cannot navigate away or open windows, and
// its browser profile keeps nothing on disk.
//
// This is the library libVelmoraLyric.so (see app/Lyric.h); pages reach the
// window through TLyricDisplay. Main thread only. The window frees itself
// when it is closed.
#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>

#include "app/Lyric.h"

class QWebEngineProfile;
class QWebEngineView;
class TLyricPage;

// A lyric file's text as the page gets it: at most this many bytes are read.
constexpr qint64 kMaxLyricFileBytes = 1024 * 1024;
// The text shown when the lyric file cannot be read.
inline constexpr char kNoLyricText[] = "No lyric loaded!!!";

// The lyric text of the file at Path: its lines joined with CR (each CRLF, LF
// or CR ends a line; no CR after the last line). The file is read only when
// it is a regular file of at most kMaxLyricFileBytes (a FIFO or a device is
// never opened for reading); UTF-8 (or UTF-16 with its byte-order mark), a
// UTF-8 byte-order mark dropped, and Latin-1 when the bytes are not UTF-8.
// Anything else gives kNoLyricText.
QString ReadLyricText(const QString& Path);

// Seconds as the page gets them: up to 15 significant digits, always with a
// point whatever the locale (0.1f gives "0.100000001490116").
QString LyricPositionText(double Seconds);

// Text as a double-quoted script string literal (also valid JSON): printable
// ASCII stays, quotes, backslashes, '<', '>' and every other character are
// escaped, so the literal cannot end early or break a line.
QString ScriptStringLiteral(const QString& Text);

class TLyricForm : public QWidget, public TLyricWindow {
  Q_OBJECT

 public:
  // Loads ProgramFolder (with a trailing '/') + "external/lyc.htm". Parent,
  // when given, is the window it stays with (it is still a window of its own).
  explicit TLyricForm(const QString& ProgramFolder, QWidget* Parent = nullptr);
  ~TLyricForm() override;

  // TLyricWindow.
  QWidget* Window() override { return this; }
  void SetSongLength(int Seconds) override;
  void SetLyricFile(const QString& Path) override;
  void SetLyricOffset(int Milliseconds) override;
  void UpdatePosition(float ElapsedSeconds) override;

  int LyricOffset() const { return FOffsetMs; }

  // True between the page's completion and the next load.
  bool PageComplete() const { return FComplete; }

  QWebEngineView* WebBrowser = nullptr;

 Q_SIGNALS:
  // The page is complete and was handed the length and the lyric text;
  // Filled is false when the page failed to load or lacks an element.
  void DocumentCompleted(bool Filled);

 private:
  void WebBrowserDocumentComplete(bool Ok);

  QWebEngineProfile* FProfile = nullptr;
  TLyricPage* FPage = nullptr;
  QUrl FHome;
  int FSongLength = 0;
  QString FLyricPath;
  int FOffsetMs = 0;
  bool FComplete = false;
  bool FDestroying = false;
};
