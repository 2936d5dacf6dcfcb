// A private X server (Xvfb) for one test, and DISPLAY set for a while.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace app_testing {

// A private X server for one test, on a display number it picks itself.
class TXvfb {
 public:
  TXvfb() {
    int P[2];
    if (::pipe(P) != 0) return;
    FPid = ::fork();
    if (FPid == 0) {
      ::close(P[0]);
      const std::string Fd = std::to_string(P[1]);
      const int Null = ::open("/dev/null", O_WRONLY);
      ::dup2(Null, 2);
      ::execlp("Xvfb", "Xvfb", "-displayfd", Fd.c_str(), "-nolisten", "tcp", "-screen", "0",
               "640x480x24", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(P[1]);
    char Buf[32] = {};
    size_t N = 0;
    while (N < sizeof Buf - 1) {
      const ssize_t R = ::read(P[0], Buf + N, sizeof Buf - 1 - N);
      if (R <= 0) break;
      N += static_cast<size_t>(R);
      if (std::strchr(Buf, '\n')) break;
    }
    ::close(P[0]);
    if (N > 0 && Buf[0] >= '0' && Buf[0] <= '9')
      FDisplay = ":" + std::string(Buf, std::strcspn(Buf, "\n"));
  }
  ~TXvfb() {
    if (FPid > 0) {
      ::kill(FPid, SIGTERM);
      ::waitpid(FPid, nullptr, 0);
    }
  }
  const std::string& Display() const { return FDisplay; }

 private:
  pid_t FPid = -1;
  std::string FDisplay;
};

// Sets (or, with null, removes) an environment variable for the life of the
// object.
class TEnvVar {
 public:
  TEnvVar(const char* Name, const char* Value) : FName(Name), FHad(::getenv(Name) != nullptr) {
    if (FHad) FOld = ::getenv(Name);
    if (Value)
      ::setenv(Name, Value, 1);
    else
      ::unsetenv(Name);
  }
  ~TEnvVar() {
    if (FHad)
      ::setenv(FName.c_str(), FOld.c_str(), 1);
    else
      ::unsetenv(FName.c_str());
  }
  TEnvVar(const TEnvVar&) = delete;
  TEnvVar& operator=(const TEnvVar&) = delete;

 private:
  std::string FName, FOld;
  bool FHad;
};

// Sets DISPLAY for the life of the object.
struct TDisplayVar : TEnvVar {
  explicit TDisplayVar(const char* Value) : TEnvVar("DISPLAY", Value) {}
};

}  // namespace app_testing
