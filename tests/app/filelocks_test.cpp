// The file-lock test while another process keeps opening the file: the
// lease the test takes for a moment is broken again and again, and the
// program must neither die of the break's signal nor give a wrong answer.
#include "app/FileLocks.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

#include "tests/support/TestSupport.h"

using testing_support::TempDir;

namespace {

// A child process that opens File over and over. Every other open does not
// wait: when it meets a lease it starts the lease's break (the kernel then
// signals the holder) and fails with EWOULDBLOCK, which the child counts.
// The others wait for the holder to let go, as an ordinary program's open
// does. With Hold the child also keeps File open the whole time. It stops
// once it has met Target leases or Seconds have passed; Wait() gives the
// count it met (capped at 255), or -1 when it did not end normally.
class TOpener {
 public:
  TOpener(const std::string& File, int Target, int Seconds, bool Hold) {
    int P[2];
    if (::pipe(P) != 0) throw std::runtime_error("pipe");
    FPid = ::fork();
    if (FPid == 0) {
      // Only async-signal-safe calls between fork and _exit.
      ::close(P[0]);
      if (Hold && ::open(File.c_str(), O_RDONLY) < 0) ::_exit(255);
      const char Ready = 1;
      if (::write(P[1], &Ready, 1) != 1) ::_exit(255);
      ::close(P[1]);
      timespec Start{}, Now{};
      ::clock_gettime(CLOCK_MONOTONIC, &Start);
      int Met = 0;
      for (unsigned I = 0; Met < Target; ++I) {
        const bool Wait = I % 2 == 1;
        const int Fd = ::open(File.c_str(), O_RDONLY | O_CLOEXEC | (Wait ? 0 : O_NONBLOCK));
        if (Fd >= 0)
          ::close(Fd);
        else if (errno == EWOULDBLOCK)
          ++Met;
        ::clock_gettime(CLOCK_MONOTONIC, &Now);
        if (Now.tv_sec - Start.tv_sec >= Seconds) break;
      }
      ::_exit(Met > 254 ? 254 : Met);
    }
    ::close(P[1]);
    char Ready = 0;
    FReady = ::read(P[0], &Ready, 1) == 1;
    ::close(P[0]);
  }
  ~TOpener() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
  }
  bool Ready() const { return FReady; }
  // True once the child has ended; Count := what Wait() would give.
  bool Ended(int& Count) {
    int Status = 0;
    if (FPid <= 0 || ::waitpid(FPid, &Status, WNOHANG) != FPid) return false;
    FPid = -1;
    Count = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    return true;
  }

 private:
  pid_t FPid = -1;
  bool FReady = false;
};

struct TProbes {
  int Locked = 0, Free = 0;
  int Met = -1;  // leases the opener met
};

// Asks IsFileLocked(File) again and again until the opener ends.
TProbes ProbeUntilOpenerEnds(const std::string& File, TOpener& Opener) {
  TProbes R;
  while (!Opener.Ended(R.Met)) (IsFileLocked(File) ? R.Locked : R.Free)++;
  return R;
}

}  // namespace

namespace {

std::atomic<int> OthersSignals{0};
void CountOthersSignal(int) { ++OthersSignals; }

}  // namespace

TEST(FileLockRace, BreaksNeverReachASignalSomeoneElseHandles) {
  // The test picks its signal once per process, from the top real-time
  // signal down; here the top one is taken before it looks.
  struct sigaction Mine {
  }, Was{};
  ASSERT_EQ(::sigaction(SIGRTMAX, nullptr, &Was), 0);
  if (Was.sa_handler != SIG_DFL) GTEST_SKIP() << "the signals were picked earlier in this process";
  Mine.sa_handler = CountOthersSignal;
  sigemptyset(&Mine.sa_mask);
  Mine.sa_flags = SA_RESTART;
  ASSERT_EQ(::sigaction(SIGRTMAX, &Mine, nullptr), 0);

  TempDir D;
  const std::string F = D.Path("busy.wav");
  std::ofstream(F) << "data";
  TOpener Opener(F, 20, 60, false);
  ASSERT_TRUE(Opener.Ready());
  const TProbes R = ProbeUntilOpenerEnds(F, Opener);
  EXPECT_GE(R.Met, 20) << "the opener met too few leases: the race was not run";
  EXPECT_EQ(OthersSignals.load(), 0);
  struct sigaction Now {};
  ASSERT_EQ(::sigaction(SIGRTMAX, nullptr, &Now), 0);
  EXPECT_EQ(Now.sa_handler, &CountOthersSignal);
  ::sigaction(SIGRTMAX, &Was, nullptr);
}

TEST(FileLockRace, OpensDuringTheTestNeitherKillTheProgramNorPassAsFree) {
  TempDir D;
  const std::string F = D.Path("busy.wav");
  std::ofstream(F) << "data";

  // The opener races the test's lease until it has broken 20 leases; the
  // bound is far above the second or so this takes on a loaded machine.
  TOpener Opener(F, 20, 60, false);
  ASSERT_TRUE(Opener.Ready());
  const TProbes R = ProbeUntilOpenerEnds(F, Opener);
  // Still running here: the breaks' signals did not end the program.
  EXPECT_GE(R.Met, 20) << "the opener met too few leases: the race was not run";
  // With the opener gone the file is free again, and the test still works.
  EXPECT_FALSE(IsFileLocked(F));
}

TEST(FileLockRace, FileAnotherProcessHoldsStaysLockedWhileItKeepsOpening) {
  TempDir D;
  const std::string F = D.Path("held.wav");
  std::ofstream(F) << "data";

  // No lease can be had while the file is open elsewhere, so every answer is
  // "locked" however the other opens fall.
  TOpener Opener(F, 1, 60, true);
  ASSERT_TRUE(Opener.Ready());
  int Locked = 0;
  for (int I = 0; I < 2000; ++I) Locked += IsFileLocked(F);
  int Met = -1;
  ASSERT_FALSE(Opener.Ended(Met)) << "the opener ended early (" << Met << ")";
  EXPECT_EQ(Locked, 2000);
}
