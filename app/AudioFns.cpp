#include "app/AudioFns.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QFileInfo>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "app/AppDataModule.h"

extern char** environ;

// ---------------------------------------------------------------- launching

namespace {

// The programs LaunchWithFile started and that have not been reaped. An
// entry is marked ended while the program is still a zombie, so that its
// process id cannot have been given to another program while EndLaunchedProgram
// looks at it under the lock.
struct TLaunched {
  std::mutex Lock;
  std::condition_variable Changed;
  std::map<pid_t, bool> Ended;  // guarded by Lock
};

TLaunched& Launched() {
  // Never destroyed: the reaper threads may outlive the program's statics.
  static auto* L = new TLaunched;
  return *L;
}

void Reap(pid_t Pid) {
  TLaunched& L = Launched();
  siginfo_t Info{};
  // Waits for the end without reaping: the number stays taken meanwhile.
  while (::waitid(P_PID, static_cast<id_t>(Pid), &Info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard<std::mutex> G(L.Lock);
    L.Ended[Pid] = true;
  }
  L.Changed.notify_all();
  int Status;
  while (::waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
  }
  std::lock_guard<std::mutex> G(L.Lock);
  L.Ended.erase(Pid);
}

}  // namespace

int LaunchWithFile(const std::string& Program, const std::string& File, int* StartedPid) {
  if (StartedPid) *StartedPid = 0;
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
    TLaunched& L = Launched();
    int E;
    {
      // Registered before the reaper can mark it.
      std::lock_guard<std::mutex> G(L.Lock);
      E = Search ? posix_spawnp(&Pid, Prog.c_str(), nullptr, &Attr, Argv, environ)
                 : posix_spawn(&Pid, Prog.c_str(), nullptr, &Attr, Argv, environ);
      if (E == 0) L.Ended[Pid] = false;
    }
    posix_spawnattr_destroy(&Attr);
    if (E == ENOENT || E == ENOTDIR) return 2;
    if (E != 0) return 3;
    // Nobody waits for the program; a small thread reaps it when it ends so
    // that it leaves no zombie behind.
    std::thread(Reap, Pid).detach();
    if (StartedPid) *StartedPid = static_cast<int>(Pid);
    return 33;
  } catch (...) {
    return 3;
  }
}

bool EndLaunchedProgram(int Pid, int TimeoutMs) {
  try {
    if (Pid <= 0) return true;
    TLaunched& L = Launched();
    std::unique_lock<std::mutex> G(L.Lock);
    auto Gone = [&] {
      auto It = L.Ended.find(static_cast<pid_t>(Pid));
      return It == L.Ended.end() || It->second;
    };
    if (Gone()) return true;
    ::kill(static_cast<pid_t>(Pid), SIGTERM);
    if (L.Changed.wait_for(G, std::chrono::milliseconds(TimeoutMs), Gone)) return true;
    ::kill(static_cast<pid_t>(Pid), SIGKILL);
    return L.Changed.wait_for(G, std::chrono::milliseconds(2000), Gone);
  } catch (...) {
    return false;
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
