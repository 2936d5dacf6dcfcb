#include "app/cli/CliCommon.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

#include "app/cli/ProgressDisplay.h"

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

namespace {

// Bytes of the sink's input a second (0 when it has no usable format).
int64_t BytesPerSecond(TACSOutput& Sink) {
  TACSInput* In = Sink.Input();
  if (!In) return 0;
  return int64_t{In->InSampleRate()} * In->InChannels() * std::max(In->InBitsPerSample() / 8, 0);
}

}  // namespace

int RunSinkJob(TACSOutput& Sink, bool PrintProgress, const std::function<void()>& OnEnd,
               const std::function<void()>& OnStarted, bool StopIsTheEnd,
               const std::function<bool()>& Enough) {
  // The events arrive on the sink's worker thread; this thread only waits.
  // What the handler writes is read once WaitForEnd has returned.
  std::string Error;
  bool Failed = false;
  std::optional<TProgressDisplay> Display;
  if (PrintProgress) Display.emplace();
  // Learnt on the worker, where the input's format is its own business.
  std::atomic<int64_t> Rate{0};
  const auto AudioSeconds = [&] {
    const int64_t R = Rate.load();
    TACSInput* In = Sink.Input();
    return R > 0 && In ? static_cast<double>(In->Position()) / static_cast<double>(R) : 0.0;
  };

  Sink.OnProgress = [&](TComponent*) {
    if (!Display) return;
    if (Rate.load() == 0) Rate = BytesPerSecond(Sink);
    Display->Update(Sink.Progress(), AudioSeconds());
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
    Display.reset();
    return ReportError(E.what());
  }
  if (OnStarted && !Failed) OnStarted();

  bool Stopped = false, Ended = false;
  while (!Sink.WaitForEnd(std::chrono::milliseconds(50))) {
    // Speed and time left move between the percents.
    if (Display && Rate.load() > 0) Display->Update(Sink.Progress(), AudioSeconds());
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
  if (Display) {
    if (Rate.load() == 0) Rate = BytesPerSecond(Sink);
    Display->Finish(!Failed && !Stopped, AudioSeconds());
  }
  if (Failed) return ReportError(Error);
  if (!Stopped) return 0;
  std::fprintf(stderr, "Stopped.\n");
  return StopIsTheEnd ? 0 : InterruptedExit;
}
