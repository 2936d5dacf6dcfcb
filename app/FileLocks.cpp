#include "app/FileLocks.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/FilesInUse.h"

namespace {

// Closes a descriptor when the scope ends.
struct TFd {
  int Fd = -1;
  ~TFd() {
    if (Fd >= 0) ::close(Fd);
  }
};

bool IsNumber(const char* S) {
  if (!*S) return false;
  for (; *S; ++S)
    if (*S < '0' || *S > '9') return false;
  return true;
}

// True when a process other than Self has a descriptor on (Dev, Ino).
bool OpenElsewhere(dev_t Dev, ino_t Ino, pid_t Self) {
  DIR* Proc = ::opendir("/proc");
  if (!Proc) return true;  // cannot tell: assume the worst
  bool Found = false;
  while (!Found) {
    const dirent* P = ::readdir(Proc);
    if (!P) break;
    if (!IsNumber(P->d_name) || std::atoi(P->d_name) == Self) continue;
    const std::string FdDir = std::string("/proc/") + P->d_name + "/fd";
    DIR* Fds = ::opendir(FdDir.c_str());
    if (!Fds) continue;  // gone, or not ours to look at
    while (const dirent* F = ::readdir(Fds)) {
      if (!IsNumber(F->d_name)) continue;
      struct stat St {};
      if (::stat((FdDir + "/" + F->d_name).c_str(), &St) == 0 && St.st_dev == Dev &&
          St.st_ino == Ino) {
        Found = true;
        break;
      }
    }
    ::closedir(Fds);
  }
  ::closedir(Proc);
  return Found;
}

// The signal named for the probe's lease, or 0 when there is none to use.
//
// WATCHOUT: when an open elsewhere (any process, this one too) meets a lease,
// the kernel tells the holder by a signal sent to the whole process: SIGIO,
// whose default action ends the program, unless F_SETSIG names another. The
// probe holds its lease for a few system calls and learns of a break from
// F_GETLEASE, so it wants no notice at all. Once per process it picks a
// real-time signal that nobody has claimed (its action is still the default)
// and sets it to be ignored: an ignored signal is dropped when sent, so it
// never queues, never interrupts a thread and never falls back to SIGIO.
int LeaseBreakSignal() {
  static const int Claimed = [] {
    const auto Unclaimed = [](const struct sigaction& A) {
      return A.sa_handler == SIG_DFL && !(A.sa_flags & SA_SIGINFO);
    };
    for (int S = SIGRTMAX; S >= SIGRTMIN; --S) {
      struct sigaction Old {};
      if (::sigaction(S, nullptr, &Old) != 0 || !Unclaimed(Old)) continue;
      struct sigaction Ignore {};
      Ignore.sa_handler = SIG_IGN;
      sigemptyset(&Ignore.sa_mask);
      if (::sigaction(S, &Ignore, &Old) != 0) continue;
      if (Unclaimed(Old)) return S;
      ::sigaction(S, &Old, nullptr);  // claimed meanwhile: give it back
    }
    return 0;
  }();
  if (Claimed == 0) return 0;
  // A library that took the signal over since would get the breaks' notices,
  // and one that set it back to the default would be ended by them.
  struct sigaction Now {};
  if (::sigaction(Claimed, nullptr, &Now) != 0 || Now.sa_handler != SIG_IGN) return 0;
  return Claimed;
}

}  // namespace

bool FileOpenByOtherProcess(const std::string& Name) {
  struct stat St {};
  if (::stat(Name.c_str(), &St) != 0) return false;
  return OpenElsewhere(St.st_dev, St.st_ino, ::getpid());
}

bool IsFileLocked(const std::string& Name) {
  // A job of this program reads or writes it (a writer's target included,
  // which exists only once its job has ended).
  if (FileClaimedByJob(Name)) return true;
  struct stat St {};
  if (::stat(Name.c_str(), &St) != 0) return !(errno == ENOENT || errno == ENOTDIR);
  // Read-only files stay locked even for a user (root) whom the open below
  // would let through.
  if ((St.st_mode & 0222) == 0) return true;

  TFd F;
  F.Fd = ::open(Name.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (F.Fd < 0) return true;
  if (!S_ISREG(St.st_mode)) return true;

  // Someone holds an advisory lock: whole-file flock or a record lock.
  if (::flock(F.Fd, LOCK_EX | LOCK_NB) != 0) return true;
  ::flock(F.Fd, LOCK_UN);
  struct flock Probe {};
  Probe.l_type = F_WRLCK;
  Probe.l_whence = SEEK_SET;
  if (::fcntl(F.Fd, F_GETLK, &Probe) != 0 || Probe.l_type != F_UNLCK) return true;

  // A write lease is granted only while no other open file description
  // refers to the file, in this process or any other.
  if (const int Signal = LeaseBreakSignal(); Signal != 0 && ::fcntl(F.Fd, F_SETSIG, Signal) == 0) {
    if (::fcntl(F.Fd, F_SETLEASE, F_WRLCK) == 0) {
      // An open since the grant has begun to break the lease, which then
      // reads as what it is being broken down to: that opener has the file.
      const bool Broken = ::fcntl(F.Fd, F_GETLEASE) != F_WRLCK;
      ::fcntl(F.Fd, F_SETLEASE, F_UNLCK);
      return Broken;
    }
    if (errno == EAGAIN || errno == EBUSY) return true;
  }
  // Leases not allowed here (not the file's owner, or a file system without
  // them) or no signal to take their notices: look for other openers by
  // hand. Our own other descriptors cannot be told from the probe's, so only
  // other processes count then.
  return OpenElsewhere(St.st_dev, St.st_ino, ::getpid());
}

bool IsInputFileAndOutputFileUnLocked(const std::string& Input, const std::string& Output) {
  if (IsFileLocked(Input)) return false;  // a missing input is not locked
  return !IsFileLocked(Output);
}
