// The lyric window as the pages use it. The window itself (TLyricForm,
// app/LyricForm.h) lives in a library of its own, libVelmoraLyric.so in the
// program's folder, the one part of the program that links the web engine:
// it is loaded the first time a lyric window opens, so the program starts
// without mapping the browser engine, and it stays loaded from then on.
//
// Main thread only.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <string>

// What a page can do with a lyric window. The window frees itself when it is
// closed (by hand or by a page); the object goes with it.
class TLyricWindow {
 public:
  virtual ~TLyricWindow() = default;
  // The window as a widget (the same object).
  virtual QWidget* Window() = 0;
  // Both are kept for the moment the page is complete: set them before.
  virtual void SetSongLength(int Seconds) = 0;
  virtual void SetLyricFile(const QString& Path) = 0;
  // Milliseconds added to every position before it reaches the page.
  virtual void SetLyricOffset(int Milliseconds) = 0;
  // The elapsed time in seconds; nothing happens before the page is complete.
  virtual void UpdatePosition(float ElapsedSeconds) = 0;
};

// The library and its one entry point: a new lyric window on the page
// ProgramFolder (with a trailing '/') + "external/lyc.htm", a window of its
// own staying with Parent (may be null).
inline constexpr char kLyricLibrary[] = "libVelmoraLyric.so";
inline constexpr char kCreateLyricWindow[] = "CreateLyricWindow";
using TCreateLyricWindow = TLyricWindow* (*)(const QString& ProgramFolder, QWidget* Parent);

// Sets up what the web engine needs before the QApplication is made: shared
// graphics contexts (the engine is loaded after the application starts), and,
// when the program runs as root, no sandbox for the page (Chromium refuses to
// run its sandbox as root).
void PrepareLyricEngine();

// A page's handle on its one lyric window; it reads as closed once the window
// is gone, however it went.
class TLyricDisplay {
 public:
  // Closes a window still open, then opens a new one over Over (centred on
  // its width, on its top edge) on the page of ProgramFolder, for the lyric
  // file at LyricPath and a song of SongLengthSeconds (0: unknown), with the
  // lyric offset of the saved settings, and shows it. Null when the lyric
  // library cannot be loaded; Error() then says why.
  TLyricWindow* Show(QWidget* Over, const QString& ProgramFolder, const QString& LyricPath,
                     int SongLengthSeconds);
  // Hands the window the elapsed time, while it is open and visible.
  void Position(float ElapsedSeconds);
  // Closes the window, if it is open.
  void Close();
  bool IsOpen() const { return !FWidget.isNull(); }
  // The open window, or null.
  TLyricWindow* Window() const { return FWidget ? FWindow : nullptr; }
  // "libVelmoraLyric.so library could not be loaded." after a failed Show.
  const std::string& Error() const { return FError; }

 private:
  QPointer<QWidget> FWidget;
  TLyricWindow* FWindow = nullptr;  // the same object as FWidget
  std::string FError;
};
