// velmora-cli convert IN OUT [options]: one engine job from a source chosen by
// IN's extension to a sink chosen by OUT's extension.
#include <cstdint>
#include <filesystem>
#include <set>

#include "app/cli/CliCommon.h"

namespace {

bool SameFile(const std::string& A, const std::string& B) {
  std::error_code Ec;
  return std::filesystem::exists(B, Ec) && std::filesystem::equivalent(A, B, Ec);
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
  if (A.Positional.size() != 2)
    throw EACSException("Usage: velmora-cli convert IN OUT [options]");
  const std::string& InName = A.Positional[0];
  const std::string& OutName = A.Positional[1];

  const TCodecEntry* InCodec = FindCodecFor(InName);
  const TCodecEntry* OutCodec = FindCodecFor(OutName);
  if (!InCodec || !InCodec->MakeSource) throw EACSException("Cannot read this type of file: " + InName);
  if (!OutCodec || !OutCodec->MakeSink) throw EACSException("Cannot write this type of file: " + OutName);
  if (!std::filesystem::exists(InName)) throw EACSException("File not found: " + InName);
  // Writing over the source would destroy it before it is read.
  if (SameFile(InName, OutName)) throw EACSException("Input and output are the same file");

  TOwned<TComponent> Job(new TComponent(nullptr));
  TACSInput* Source = InCodec->MakeSource(Job.get(), InName, A.Options);
  if (auto* FileIn = dynamic_cast<TACSFileIn*>(Source)) {
    if (A.Options.Has("--start")) {
      const long long S = A.Options.Int("--start", 0);
      if (S < 0 || S > INT32_MAX) throw EACSException("Option --start is out of range");
      FileIn->SetStartSample(static_cast<int>(S));
    }
    if (A.Options.Has("--end")) {
      const long long E = A.Options.Int("--end", -1);
      if (E < -1 || E > INT32_MAX) throw EACSException("Option --end is out of range");
      FileIn->SetEndSample(static_cast<int>(E));
    }
    if (!FileIn->Valid()) throw EACSException("Unsupported or damaged file: " + InName);
    const int Frames = FileIn->SampleCount();
    if (FileIn->StartSample() > Frames)
      throw EACSException("Option --start is past the end of the file");
    if (FileIn->EndSample() != -1 &&
        (FileIn->EndSample() < FileIn->StartSample() || FileIn->EndSample() > Frames))
      throw EACSException("Option --end must lie between --start and the end of the file");
  } else if (A.Options.Has("--start") || A.Options.Has("--end")) {
    throw EACSException("Options --start and --end do not apply to this type of file");
  }

  TACSOutput* Sink = OutCodec->MakeSink(Job.get(), OutName, A.Options);
  Sink->SetInput(Source);
  return RunSinkJob(*Sink, true);
}
