#include "app/cli/CliCommon.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {
volatile std::sig_atomic_t GInterrupted = 0;
void OnSignal(int) { GInterrupted = 1; }
}  // namespace

bool InterruptRequested() { return GInterrupted != 0; }

void InstallInterruptHandler() {
  struct sigaction Sa {};
  Sa.sa_handler = OnSignal;
  sigemptyset(&Sa.sa_mask);
  sigaction(SIGINT, &Sa, nullptr);
  sigaction(SIGTERM, &Sa, nullptr);
}

TCliArgs ParseArgs(const std::vector<std::string>& Args, const std::set<std::string>& ValueOptions,
                   const std::set<std::string>& FlagOptions) {
  TCliArgs R;
  for (size_t I = 0; I < Args.size(); ++I) {
    const std::string& A = Args[I];
    if (A == "--") {
      // Everything after it is a file name, whatever it looks like.
      R.Positional.insert(R.Positional.end(), Args.begin() + static_cast<std::ptrdiff_t>(I) + 1,
                          Args.end());
      break;
    }
    if (A.size() > 2 && A.compare(0, 2, "--") == 0) {
      std::string Name = A, Value;
      const size_t Eq = A.find('=');
      const bool Inline = Eq != std::string::npos;
      if (Inline) {
        Name = A.substr(0, Eq);
        Value = A.substr(Eq + 1);
      }
      if (FlagOptions.count(Name)) {
        if (Inline) throw EACSException("Option " + Name + " takes no value");
        R.Options.Values[Name];
      } else if (ValueOptions.count(Name)) {
        if (!Inline) {
          if (I + 1 >= Args.size()) throw EACSException("Option " + Name + " needs a value");
          Value = Args[++I];
        }
        R.Options.Values[Name].push_back(Value);
      } else {
        throw EACSException("Unknown option " + Name);
      }
    } else {
      R.Positional.push_back(A);
    }
  }
  return R;
}

void CheckReadable(const std::string& File) {
  const int Fd = ::open(File.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) throw EACSException(File + ": " + std::strerror(errno));
  struct stat St {};
  const bool Folder = ::fstat(Fd, &St) == 0 && S_ISDIR(St.st_mode);
  ::close(Fd);
  if (Folder) throw EACSException(File + ": " + std::strerror(EISDIR));
}

int ReportError(const std::string& Message) {
  std::fprintf(stderr, "Runtime error: %s\n", Message.c_str());
  return 1;
}

int RunSinkJob(TACSOutput& Sink, bool PrintProgress, const std::function<void()>& OnEnd,
               const std::function<void()>& OnStarted, bool StopIsTheEnd,
               const std::function<bool()>& Enough) {
  // The events arrive on the sink's worker thread; this thread only waits.
  // What the handler writes is read once WaitForEnd has returned.
  std::string Error;
  bool Failed = false;

  Sink.OnProgress = [&](TComponent*) {
    if (PrintProgress) std::fprintf(stderr, "%d\n", Sink.Progress());
  };
  Sink.OnDone = nullptr;
  Sink.OnThreadException = [&](TComponent*, const std::exception& E) {
    Error = E.what();
    Failed = true;
  };

  try {
    Sink.Run();
  } catch (const std::exception& E) {
    if (OnEnd) OnEnd();
    return ReportError(E.what());
  }
  if (OnStarted && !Failed) OnStarted();

  bool Stopped = false, Ended = false;
  while (!Sink.WaitForEnd(std::chrono::milliseconds(50))) {
    if (Stopped || Ended) continue;
    if (InterruptRequested()) {
      Sink.Stop();
      Stopped = true;
    } else if (Enough && Enough()) {
      Sink.Stop();
      Ended = true;
    }
  }
  Sink.OnProgress = nullptr;
  Sink.OnDone = nullptr;
  Sink.OnThreadException = nullptr;
  if (OnEnd) OnEnd();
  if (Failed) return ReportError(Error);
  if (!Stopped) return 0;
  std::fprintf(stderr, "Stopped.\n");
  return StopIsTheEnd ? 0 : InterruptedExit;
}
