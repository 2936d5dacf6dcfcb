// Starting an external program on a file, closing a window by its title,
// asking for a folder, and naming saved files.
#pragma once

#include <QString>
#include <string>

// Starts Program with File as its one argument (never through a shell, so
// blanks and shell characters in File reach the program as they are). A
// Program without a '/' is looked for on the PATH. Returns a value above 31
// when the program was started, 2 when it does not exist, 3 for any other
// failure. Never raises; the program runs on its own and is reaped when it
// ends. Pid, when given, receives the started program's process id (0 when
// none was started), for EndLaunchedProgram.
int LaunchWithFile(const std::string& Program, const std::string& File, int* Pid = nullptr);

// Ends a program that LaunchWithFile started and that still runs: asks it to
// close (SIGTERM), and kills it when it is still there after TimeoutMs.
// Nothing is sent to a program that has ended (its number may belong to
// another program by then) or that LaunchWithFile did not start. Never
// raises; true when the program is gone.
bool EndLaunchedProgram(int Pid, int TimeoutMs = 2000);

// Asks the top-level window titled Title on the X display (if there is a
// display and such a window that takes the close request: a toolkit's hidden
// helper window of the same name does not) to close, as its close button
// would, and waits up to TimeoutMs for it to go. Never raises; without a display nothing
// happens. True when a window was found and is gone.
bool CloseWindowByTitle(const std::string& Title, int TimeoutMs = 2000);

// The folder dialog: Folder is cleared unless it names an existing folder;
// then the dialog, titled Caption, starts there (or at Root). True and
// Folder := the choice when the user confirms; otherwise Folder keeps its
// (possibly cleared) value.
bool SelectFolder(const QString& Caption, const QString& Root, QString& Folder);

// A saved name: Name with Extension (".wav", with its point) appended unless
// its own extension already is that one, compared without regard to case.
// The own extension runs from the last point of the last path element, so
// "song" gives "song.wav", "SONG.WAV" and ".wav" stay, "x.mp3" gives
// "x.mp3.wav" and "my.band/take" gives "my.band/take.wav".
QString WithExtension(const QString& Name, const QString& Extension);
