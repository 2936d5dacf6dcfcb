// velmora-cli convert IN OUT [options]: one engine job from a source chosen by
// IN's extension to a sink chosen by OUT's extension. The sink starts with the
// Settings page's defaults; --settings copies the saved settings over them;
// options given on the command line win over both.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>

#include "app/cli/CliCommon.h"
#include "app/cli/CliSettings.h"
#include "codecs/ACS_LAME.h"
#include "wave/ACS_Wave.h"

namespace {

bool SameFile(const std::string& A, const std::string& B) {
  std::error_code Ec;
  return std::filesystem::exists(B, Ec) && std::filesystem::equivalent(A, B, Ec);
}

// The sink for OutName, owned by Owner, not yet run.
TACSOutput* MakeConvertSink(const TCodecEntry& OutCodec, TComponent* Owner,
                            const std::string& OutName, const TJobOptions& Options) {
  TACSOutput* Sink = OutCodec.MakeSink(Owner, OutName, Options);
  if (Options.Has("--settings")) {
    ApplySavedSettings(Sink);
    if (OutCodec.SetSinkOptions) OutCodec.SetSinkOptions(Sink, Options);
  }
  return Sink;
}

// Warns when a file source ends before the length its header declares: the
// job converts what is there, which is most likely not all there was.
class TTruncationCheck {
 public:
  // Before the job, with the file held open.
  void Start(TACSFileIn& In) {
    FName = In.FileName();
    FFrameBytes = int64_t{In.InChannels()} * (In.InBitsPerSample() / 8);
    FRate = In.InSampleRate();
    auto* Wav = dynamic_cast<TWaveIn*>(&In);
    FDeclared = Wav ? Wav->DeclaredSampleCount() : In.SampleCount();
    FFirst = In.StartSample();
    FWanted = In.EndSample() == -1 ? FDeclared : std::min(In.EndSample(), FDeclared);
  }
  // After a job that ended normally.
  void Report(const TACSInput& In) const {
    if (FFrameBytes <= 0 || FRate <= 0 || FName.empty()) return;
    const int64_t Reached = FFirst + In.Position() / FFrameBytes;
    if (Reached >= FWanted) return;
    std::fprintf(stderr,
                 "%s ends after %.1f s of the %.1f s its header declares; the file may be "
                 "truncated\n",
                 FName.c_str(), static_cast<double>(Reached) / FRate,
                 static_cast<double>(FDeclared) / FRate);
  }

 private:
  std::string FName;
  int64_t FFrameBytes = 0;
  int FRate = 0;
  int64_t FDeclared = 0, FFirst = 0, FWanted = 0;
};

// Runs the job and tells what the encoder had to change of what it was given.
int RunConvertJob(TACSOutput& Sink) {
  bool Told = false;
  auto Tell = [&Sink, &Told] {
    const auto* Mp3 = dynamic_cast<const TMP3Out*>(&Sink);
    if (Told || !Mp3 || !Mp3->ChangedKbps()) return;
    Told = true;
    std::fprintf(stderr, "The MP3 encoder takes %d kbit/s at this sample rate, not %d.\n",
                 Mp3->ChangedKbps(), MP3BitRateKbps(Mp3->BitRate()));
  };
  return RunSinkJob(Sink, true, {}, Tell);
}

// Refuses, before anything is opened, --append on a type that cannot append:
// its writer would quietly replace the file. (Other options of another type
// than the output's change nothing and are let pass, as the saved settings
// are.)
void CheckAppendApplies(const TCodecEntry& OutCodec, const TJobOptions& Options) {
  const auto& F = OutCodec.FlagOptions;
  if (Options.Has("--append") && std::find(F.begin(), F.end(), "--append") == F.end())
    throw EACSException("Option --append does not apply to " + OutCodec.Extension +
                        " files: they cannot be appended to");
}

}  // namespace

int CmdConvert(const std::vector<std::string>& Args) {
  std::set<std::string> ValueOptions = {"--start", "--end"};
  std::set<std::string> FlagOptions = {"--settings"};
  for (const TCodecEntry& C : Codecs()) {
    ValueOptions.insert(C.ValueOptions.begin(), C.ValueOptions.end());
    FlagOptions.insert(C.FlagOptions.begin(), C.FlagOptions.end());
  }
  const TCliArgs A = ParseArgs(Args, ValueOptions, FlagOptions);
  if (A.Positional.size() != 2) throw EACSException("Usage: velmora-cli convert IN OUT [options]");
  const std::string& InName = A.Positional[0];
  const std::string& OutName = A.Positional[1];

  const TCodecEntry* InCodec = FindCodecFor(InName);
  const TCodecEntry* OutCodec = FindCodecFor(OutName);
  if (!InCodec || !InCodec->MakeSource)
    throw EACSException("Cannot read this type of file: " + InName);
  if (!OutCodec || !OutCodec->MakeSink)
    throw EACSException("Cannot write this type of file: " + OutName);
  CheckAppendApplies(*OutCodec, A.Options);
  if (!std::filesystem::exists(InName)) throw EACSException("File not found: " + InName);
  // A folder or a file one may not read: the system's reason, not a reader's
  // guess ("not a valid file", "invalid input file").
  CheckReadable(InName);
  // Writing over the source would destroy it before it is read.
  if (SameFile(InName, OutName)) throw EACSException("Input and output are the same file");

  TOwned<TComponent> Job(new TComponent(nullptr));
  TACSInput* Source = InCodec->MakeSource(Job.get(), InName, A.Options);
  TTruncationCheck Check;
  if (auto* FileIn = dynamic_cast<TACSFileIn*>(Source)) {
    if (A.Options.Has("--start")) {
      const long long S = A.Options.Int("--start", 0);
      if (S < 0) throw EACSException("Option --start is out of range: it counts frames from 0");
      FileIn->SetStartSample(S);
    }
    if (A.Options.Has("--end")) {
      const long long E = A.Options.Int("--end", -1);
      if (E < -1) throw EACSException("Option --end is out of range: it counts frames from 0");
      FileIn->SetEndSample(E);
    }
    const auto Hold = FileIn->HoldOpen();  // read (or convert) once for both questions
    if (!FileIn->Valid()) throw EACSException(NotValidMessage(*FileIn));
    const int64_t Frames = FileIn->SampleCount();
    if (FileIn->StartSample() > Frames)
      throw EACSException("Option --start is past the end of the file");
    if (FileIn->EndSample() != -1 &&
        (FileIn->EndSample() < FileIn->StartSample() || FileIn->EndSample() > Frames))
      throw EACSException("Option --end must lie between --start and the end of the file");
    Check.Start(*FileIn);
  } else if (A.Options.Has("--start") || A.Options.Has("--end")) {
    throw EACSException("Options --start and --end do not apply to this type of file");
  }

  TACSOutput* Sink = MakeConvertSink(*OutCodec, Job.get(), OutName, A.Options);
  Sink->SetInput(Source);
  const int Rc = RunConvertJob(*Sink);
  if (Rc == 0) Check.Report(*Source);
  return Rc;
}
