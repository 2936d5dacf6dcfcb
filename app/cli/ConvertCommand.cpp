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

// A type with a decoder of its own (MP3): straight to a WAV file when no WAV
// writer option asks for more, otherwise into memory first, read back as WAV
// by the sink's source.
int ConvertDecoded(const TCodecEntry& InCodec, const TCodecEntry& OutCodec,
                   const std::string& InName, const std::string& OutName,
                   const TJobOptions& Options) {
  if (Options.Has("--start") || Options.Has("--end"))
    throw EACSException("Options --start and --end do not apply to this type of file");
  int Last = -1;
  auto Poll = [&Last](int Percent) {
    if (Percent != Last) {
      Last = Percent;
      std::fprintf(stderr, "%d\n", Percent);
    }
    return !InterruptRequested();
  };
  const bool PlainWav = OutCodec.Extension == ".wav" && !Options.Has("--adpcm") &&
                        !Options.Has("--append") && !Options.Has("--block-size");
  if (PlainWav) {
    if (!InCodec.DecodeToWav(InName, OutName, nullptr, Poll))
      return ReportError("No audio could be decoded from " + InName);
    if (InterruptRequested()) std::fprintf(stderr, "Stopped.\n");
    return 0;
  }
  // The sink is made first, so that a wrong option is reported before the
  // decoding, not after it.
  TMemoryStream Image;
  TOwned<TComponent> Job(new TComponent(nullptr));
  TACSOutput* Sink = MakeConvertSink(OutCodec, Job.get(), OutName, Options);
  if (!InCodec.DecodeToWav(InName, "", &Image, Poll))
    return ReportError("No audio could be decoded from " + InName);
  if (InterruptRequested()) {
    std::fprintf(stderr, "Stopped.\n");
    return 0;
  }
  Image.SetPosition(0);
  auto* Source = new TWaveIn(Job.get());
  Source->SetStream(&Image);
  Sink->SetInput(Source);
  return RunSinkJob(*Sink, true);
}

// Refuses, before anything is opened, an option of some other type than the
// output's: --append on a type that cannot append would otherwise quietly
// replace the file, and --quality on MP3 output would be ignored.
void CheckOptionsApply(const TCodecEntry& OutCodec, const TJobOptions& Options) {
  static const std::set<std::string> General = {"--start", "--end", "--settings"};
  for (const auto& [Name, Values] : Options.Values) {
    if (General.count(Name)) continue;
    const auto& V = OutCodec.ValueOptions;
    const auto& F = OutCodec.FlagOptions;
    if (std::find(V.begin(), V.end(), Name) != V.end() ||
        std::find(F.begin(), F.end(), Name) != F.end())
      continue;
    if (Name == "--append")
      throw EACSException("Option --append does not apply to " + OutCodec.Extension +
                          " files: they cannot be appended to");
    throw EACSException("Option " + Name + " does not apply to " + OutCodec.Extension + " files");
  }
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
  if (!InCodec || (!InCodec->MakeSource && !InCodec->DecodeToWav))
    throw EACSException("Cannot read this type of file: " + InName);
  if (!OutCodec || !OutCodec->MakeSink)
    throw EACSException("Cannot write this type of file: " + OutName);
  CheckOptionsApply(*OutCodec, A.Options);
  if (!std::filesystem::exists(InName)) throw EACSException("File not found: " + InName);
  // Writing over the source would destroy it before it is read.
  if (SameFile(InName, OutName)) throw EACSException("Input and output are the same file");
  if (!InCodec->MakeSource) return ConvertDecoded(*InCodec, *OutCodec, InName, OutName, A.Options);

  TOwned<TComponent> Job(new TComponent(nullptr));
  TACSInput* Source = InCodec->MakeSource(Job.get(), InName, A.Options);
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
  } else if (A.Options.Has("--start") || A.Options.Has("--end")) {
    throw EACSException("Options --start and --end do not apply to this type of file");
  }

  TACSOutput* Sink = MakeConvertSink(*OutCodec, Job.get(), OutName, A.Options);
  Sink->SetInput(Source);
  return RunSinkJob(*Sink, true);
}
