// velmora-cli batch PATH... --to TYPE --out DIR [-j N] [--skip-existing]
// [writer options]: every audio file under the files and folders given is
// converted into DIR, keeping its folder below the folder given and its
// stem. Up to N conversions run at once, each its own engine chain; this
// thread starts them, watches them and draws their progress.
//
// A conversion writes under a hidden name in its output folder, renamed to
// the output's name only when it has succeeded: a stopped or failed one
// leaves nothing under a final name, and a finished one is never taken back.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/CliCommon.h"
#include "app/cli/Conversion.h"
#include "app/cli/ProgressDisplay.h"
#include "platform/FilesInUse.h"

namespace fs = std::filesystem;

namespace {

const char* const kUsage =
    "Usage: velmora-cli batch PATH... --to wav|mp3|ogg|flac|ape --out DIR [-j N] "
    "[--skip-existing] [writer options of convert]";

struct TItem {
  std::string In, Out;
  std::string Error;  // refused before it could start
};

// Files of a type that can be read, below Folder, in name order; nothing
// below Skip (the output folder, which may lie inside).
void Collect(const fs::path& Folder, const fs::path& Skip, std::vector<fs::path>& Found) {
  std::error_code Ec;
  fs::recursive_directory_iterator It(Folder, fs::directory_options::skip_permission_denied, Ec),
      End;
  if (Ec) throw EACSException(Folder.string() + ": " + Ec.message());
  for (; It != End; It.increment(Ec)) {
    if (Ec) break;
    std::error_code E2;
    if (It->is_directory(E2) && fs::equivalent(It->path(), Skip, E2)) {
      It.disable_recursion_pending();
      continue;
    }
    if (!It->is_regular_file(E2)) continue;
    // The hidden files of a batch or a writer at work are not sources.
    const std::string Name = It->path().filename().string();
    if (Name.find(".velmora-batch-") != std::string::npos ||
        Name.find(".velmora-part") != std::string::npos)
      continue;
    const TCodecEntry* C = FindCodecFor(It->path().string());
    if (C && C->MakeSource) Found.push_back(It->path());
  }
  std::sort(Found.begin(), Found.end());
}

// What the arguments name, each with its output, in the order given.
std::vector<TItem> Plan(const std::vector<std::string>& Paths, const fs::path& OutDir,
                        const std::string& Extension) {
  std::vector<TItem> Items;
  const auto Add = [&](const fs::path& In, const fs::path& Relative) {
    TItem I;
    I.In = In.string();
    fs::path Out = OutDir / Relative.parent_path() / Relative.stem();
    Out += Extension;
    I.Out = Out.lexically_normal().string();
    Items.push_back(std::move(I));
  };
  for (const std::string& P : Paths) {
    std::error_code Ec;
    const fs::path Path(P);
    if (fs::is_directory(Path, Ec)) {
      std::vector<fs::path> Found;
      Collect(Path, OutDir, Found);
      for (const fs::path& F : Found) Add(F, F.lexically_relative(Path));
    } else {
      // A file named outright is tried whatever it is: the reason it cannot
      // be converted is worth telling.
      Add(Path, Path.filename());
    }
  }
  // An output may not take the place of a file being converted: a.wav and
  // a.flac into their own folder as FLAC would lose the FLAC file.
  std::set<std::pair<dev_t, ino_t>> Inputs;
  struct stat St;
  for (const TItem& I : Items)
    if (::stat(I.In.c_str(), &St) == 0) Inputs.emplace(St.st_dev, St.st_ino);
  for (TItem& I : Items)
    if (I.Error.empty() && ::stat(I.Out.c_str(), &St) == 0 &&
        Inputs.count({St.st_dev, St.st_ino}) && !IsSameFile(I.In, I.Out))
      I.Error = "its output " + I.Out + " is one of the files being converted";
  // Two files of one stem in one folder (a.wav and a.flac) meet in one output:
  // the first keeps it.
  std::map<std::string, std::string> Outputs;  // output -> its input
  for (TItem& I : Items) {
    if (!I.Error.empty()) continue;
    const auto [At, New] = Outputs.emplace(I.Out, I.In);
    if (!New) I.Error = "its output " + I.Out + " is also the output of " + At->second;
  }
  return Items;
}

bool NewerOrSame(const std::string& Out, const std::string& In) {
  std::error_code E1, E2;
  const auto O = fs::last_write_time(Out, E1);
  const auto I = fs::last_write_time(In, E2);
  return !E1 && !E2 && O >= I;
}

// One conversion under way.
struct TRunning {
  const TItem* Item = nullptr;
  std::unique_ptr<TConversion> C;
  std::string Temp;
  std::string Error;  // written on the sink's worker, read once it has ended
  bool Failed = false;
  int64_t BytesPerSecond = 0;
  double AudioSeconds() const {
    return BytesPerSecond > 0 ? static_cast<double>(C->Source->Position()) / BytesPerSecond : 0;
  }
};

class TBatch {
 public:
  TBatch(std::vector<TItem> Items, TJobOptions Options, int Jobs, bool SkipExisting)
      : FItems(std::move(Items)),
        FOptions(std::move(Options)),
        FJobs(Jobs),
        FSkipExisting(SkipExisting) {}

  int Run() {
    size_t Next = 0;
    bool Stopping = false;
    while (Next < FItems.size() || !FRunning.empty()) {
      if (!Stopping && InterruptRequested()) {
        Stopping = true;
        for (auto& R : FRunning) R->C->Sink->Stop();
      }
      while (!Stopping && Next < FItems.size() && FRunning.size() < static_cast<size_t>(FJobs))
        Start(FItems[Next++]);
      if (Stopping) Next = FItems.size();
      for (size_t I = 0; I < FRunning.size();) {
        if (FRunning[I]->C->Sink->WaitForEnd(std::chrono::milliseconds(0))) {
          End(*FRunning[I], Stopping);
          FRunning.erase(FRunning.begin() + static_cast<std::ptrdiff_t>(I));
        } else {
          ++I;
        }
      }
      Show();
      if (!FRunning.empty()) FRunning.front()->C->Sink->WaitForEnd(std::chrono::milliseconds(50));
    }
    const bool Completed = !Stopping;
    FDisplay.Finish(Completed && FDone > 0, FAudioDone);
    if (Stopping) {
      std::fprintf(stderr, "Stopped: %d of %zu files converted.\n", FDone, FItems.size());
      return InterruptedExit;
    }
    std::fprintf(stderr, "%d converted, %d skipped, %zu failed.\n", FDone, FSkipped,
                 FFailures.size());
    if (FFailures.empty()) return 0;
    std::fprintf(stderr, "Failed:\n");
    for (const std::string& F : FFailures) std::fprintf(stderr, "  %s\n", F.c_str());
    return 1;
  }

 private:
  void Fail(const TItem& I, const std::string& Reason) {
    // Most reasons name the file already.
    const std::string Line = Reason.find(I.In) != std::string::npos ? Reason : I.In + ": " + Reason;
    FFailures.push_back(Line);
    FDisplay.Say("Failed: " + Line);
  }

  void Start(const TItem& I) {
    if (!I.Error.empty()) return Fail(I, I.Error);
    if (FSkipExisting && NewerOrSame(I.Out, I.In)) {
      ++FSkipped;
      return;
    }
    auto R = std::make_unique<TRunning>();
    R->Item = &I;
    const fs::path Out(I.Out);
    R->Temp = (Out.parent_path() / ("." + Out.stem().string() + ".velmora-batch-" +
                                    std::to_string(::getpid()) + Out.extension().string()))
                  .string();
    try {
      if (IsSameFile(I.In, I.Out)) throw EACSException("Input and output are the same file");
      std::error_code Ec;
      fs::create_directories(Out.parent_path(), Ec);
      if (Ec) throw EACSException(Out.parent_path().string() + ": " + Ec.message());
      R->C = MakeConversion(I.In, R->Temp, FOptions);
      TRunning* P = R.get();
      R->C->Sink->OnThreadException = [P](TComponent*, const std::exception& E) {
        P->Error = E.what();
        P->Failed = true;
      };
      R->C->Sink->Run();
    } catch (const std::exception& E) {
      std::error_code Ec;
      fs::remove(R->Temp, Ec);
      return Fail(I, Renamed(E.what(), *R));
    }
    // Prepare ran on this thread: the source's format is settled.
    TACSInput* S = R->C->Source;
    R->BytesPerSecond =
        int64_t{S->InSampleRate()} * S->InChannels() * std::max(S->InBitsPerSample() / 8, 0);
    FRunning.push_back(std::move(R));
  }

  void End(TRunning& R, bool Stopping) {
    R.C->Sink->OnThreadException = nullptr;
    std::error_code Ec;
    if (R.Failed || Stopping) {
      fs::remove(R.Temp, Ec);
      if (R.Failed) Fail(*R.Item, Renamed(R.Error, R));
      return;
    }
    if (std::string Error = CarryTags(R.Item->In, R.Temp, FOptions); !Error.empty()) {
      fs::remove(R.Temp, Ec);
      return Fail(*R.Item, Renamed(std::move(Error), R));
    }
    fs::rename(R.Temp, R.Item->Out, Ec);
    if (Ec) {
      fs::remove(R.Temp, Ec);
      return Fail(*R.Item, R.Item->Out + ": " + Ec.message());
    }
    ++FDone;
    FAudioDone += R.AudioSeconds();
    // Said once: every file of a rate gets the same change.
    if (const std::string Changed = EncoderChanges(*R.C->Sink);
        !Changed.empty() && FSaid.insert(Changed).second)
      FDisplay.Say(Changed);
    if (const std::string W = R.C->Check.Warning(*R.C->Source); !W.empty()) FDisplay.Say(W);
  }

  // A message naming the hidden file names the output instead.
  static std::string Renamed(std::string Message, const TRunning& R) {
    for (size_t At; (At = Message.find(R.Temp)) != std::string::npos;)
      Message.replace(At, R.Temp.size(), R.Item->Out);
    return Message;
  }

  void Show() {
    const size_t Total = FItems.size();
    double Parts = FDone + FSkipped + static_cast<double>(FFailures.size());
    double Audio = FAudioDone;
    std::string Names;
    for (const auto& R : FRunning) {
      Parts += std::max(R->C->Sink->Progress(), 0) / 100.0;
      Audio += R->AudioSeconds();
      Names += (Names.empty() ? "" : ", ") + fs::path(R->Item->In).filename().string();
    }
    const int Percent = Total ? static_cast<int>(Parts * 100 / static_cast<double>(Total)) : 100;
    const std::string Files = std::to_string(FDone + FSkipped + FFailures.size()) + "/" +
                              std::to_string(Total) + " files";
    FDisplay.Update(Percent, Audio, Names.empty() ? Files : Files + "  " + Names);
  }

  std::vector<TItem> FItems;
  TJobOptions FOptions;
  int FJobs;
  bool FSkipExisting;
  std::vector<std::unique_ptr<TRunning>> FRunning;
  TProgressDisplay FDisplay;
  int FDone = 0, FSkipped = 0;
  double FAudioDone = 0;
  std::vector<std::string> FFailures;
  std::set<std::string> FSaid;
};

}  // namespace

int CmdBatch(const std::vector<std::string>& Args) {
  // "-j N" and "-jN", as make and its kin spell it.
  std::vector<std::string> Words;
  for (const std::string& A : Args) {
    if (A == "-j") {
      Words.push_back("--jobs");
    } else if (A.size() > 2 && A.compare(0, 2, "-j") == 0) {
      Words.push_back("--jobs");
      Words.push_back(A.substr(2));
    } else {
      Words.push_back(A);
    }
  }
  std::set<std::string> ValueOptions, FlagOptions;
  ConvertOptionNames(ValueOptions, FlagOptions);
  // A range or an append means one file, not a folder of them.
  ValueOptions.erase("--start");
  ValueOptions.erase("--end");
  FlagOptions.erase("--append");
  ValueOptions.insert({"--to", "--out", "--jobs"});
  FlagOptions.insert("--skip-existing");
  const TCliArgs A = ParseArgs(Words, ValueOptions, FlagOptions);
  if (A.Positional.empty() || !A.Options.Has("--to") || !A.Options.Has("--out"))
    throw EACSException(kUsage);
  std::string To = A.Options.Text("--to");
  std::transform(To.begin(), To.end(), To.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  if (!To.empty() && To[0] == '.') To.erase(0, 1);
  const TCodecEntry* OutCodec = FindCodecFor("x." + To);
  if (To.empty() || !OutCodec || !OutCodec->MakeSink)
    throw EACSException("Option --to: cannot write this type of file: " + A.Options.Text("--to"));
  const long long Jobs = A.Options.Int("--jobs", std::max(1u, std::thread::hardware_concurrency()));
  if (Jobs < 1 || Jobs > 64) throw EACSException("Option -j must be between 1 and 64");

  const fs::path OutDir(A.Options.Text("--out"));
  std::error_code Ec;
  fs::create_directories(OutDir, Ec);
  if (Ec || !fs::is_directory(OutDir))
    throw EACSException(OutDir.string() + ": " + (Ec ? Ec.message() : std::string("not a folder")));
  std::vector<TItem> Items = Plan(A.Positional, OutDir, OutCodec->Extension);
  if (Items.empty()) throw EACSException("No audio files found");
  TBatch Batch(std::move(Items), A.Options, static_cast<int>(Jobs),
               A.Options.Has("--skip-existing"));
  return Batch.Run();
}
