#include "app/AudioFns.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QFileInfo>
#include <cerrno>
#include <thread>

#include "app/AppDataModule.h"

extern char** environ;

// ---------------------------------------------------------------- launching

int LaunchWithFile(const std::string& Program, const std::string& File) {
  try {
    if (Program.empty()) return 2;
    std::string Prog = Program, Arg = File;
    char* Argv[] = {Prog.data(), Arg.data(), nullptr};

    // The child starts with default signal handling and nothing blocked,
    // whatever this program has set up for itself.
    posix_spawnattr_t Attr;
    if (posix_spawnattr_init(&Attr) != 0) return 3;
    sigset_t All, None;
    sigfillset(&All);
    sigemptyset(&None);
    posix_spawnattr_setsigdefault(&Attr, &All);
    posix_spawnattr_setsigmask(&Attr, &None);
    posix_spawnattr_setflags(&Attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t Pid = 0;
    const bool Search = Program.find('/') == std::string::npos;
    const int E = Search ? posix_spawnp(&Pid, Prog.c_str(), nullptr, &Attr, Argv, environ)
                         : posix_spawn(&Pid, Prog.c_str(), nullptr, &Attr, Argv, environ);
    posix_spawnattr_destroy(&Attr);
    if (E == ENOENT || E == ENOTDIR) return 2;
    if (E != 0) return 3;
    // Nobody waits for the program; a small thread reaps it when it ends so
    // that it leaves no zombie behind.
    std::thread([Pid] {
      int Status;
      while (::waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
    return 33;
  } catch (...) {
    return 3;
  }
}

// ---------------------------------------------------------------- folders, names

bool SelectFolder(const QString& Caption, const QString& Root, QString& Folder) {
  if (Folder.isEmpty() || !QFileInfo(Folder).isDir()) Folder.clear();
  QString Chosen = Folder;
  if (!CurrentDialogs().BrowseFolder(QApplication::activeWindow(), Caption, Root, Chosen))
    return false;
  Folder = Chosen;
  return true;
}

QString WithExtension(const QString& Name, const QString& Extension) {
  const qsizetype Slash = Name.lastIndexOf(QLatin1Char('/'));
  const qsizetype Dot = Name.lastIndexOf(QLatin1Char('.'));
  const QString Own = Dot > Slash ? Name.mid(Dot) : QString();
  if (Own.compare(Extension, Qt::CaseInsensitive) == 0) return Name;
  return Name + Extension;
}
