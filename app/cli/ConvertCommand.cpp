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
#include "app/cli/Conversion.h"
#include "codecs/ACS_LAME.h"
#include "codecs/Tags.h"
#include "platform/FilesInUse.h"
#include "wave/ACS_Wave.h"

namespace {

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

void TTruncationCheck::Start(TACSFileIn& In) {
  FName = In.FileName();
  FFrameBytes = int64_t{In.InChannels()} * (In.InBitsPerSample() / 8);
  FRate = In.InSampleRate();
  auto* Wav = dynamic_cast<TWaveIn*>(&In);
  FDeclared = Wav ? Wav->DeclaredSampleCount() : In.SampleCount();
  FFirst = In.StartSample();
  FWanted = In.EndSample() == -1 ? FDeclared : std::min(In.EndSample(), FDeclared);
}

std::string TTruncationCheck::Warning(const TACSInput& In) const {
  if (FFrameBytes <= 0 || FRate <= 0 || FName.empty()) return "";
  const int64_t Reached = FFirst + In.Position() / FFrameBytes;
  if (Reached >= FWanted) return "";
  char Text[160];
  std::snprintf(Text, sizeof Text,
                " ends after %.1f s of the %.1f s its header declares; the file may be truncated",
                static_cast<double>(Reached) / FRate, static_cast<double>(FDeclared) / FRate);
  return FName + Text;
}

void ConvertOptionNames(std::set<std::string>& ValueOptions, std::set<std::string>& FlagOptions) {
  ValueOptions.insert({"--start", "--end"});
  FlagOptions.insert("--settings");
  for (const TCodecEntry& C : Codecs()) {
    ValueOptions.insert(C.ValueOptions.begin(), C.ValueOptions.end());
    FlagOptions.insert(C.FlagOptions.begin(), C.FlagOptions.end());
  }
}

std::unique_ptr<TConversion> MakeConversion(const std::string& InName, const std::string& OutName,
                                            const TJobOptions& Options) {
  const TCodecEntry* InCodec = FindCodecFor(InName);
  const TCodecEntry* OutCodec = FindCodecFor(OutName);
  if (!InCodec || !InCodec->MakeSource)
    throw EACSException("Cannot read this type of file: " + InName);
  if (!OutCodec || !OutCodec->MakeSink)
    throw EACSException("Cannot write this type of file: " + OutName);
  CheckAppendApplies(*OutCodec, Options);
  if (!std::filesystem::exists(InName)) throw EACSException("File not found: " + InName);
  // A folder or a file one may not read: the system's reason, not a reader's
  // guess ("not a valid file", "invalid input file").
  CheckReadable(InName);
  // Writing over the source would destroy it before it is read.
  if (IsSameFile(InName, OutName)) throw EACSException("Input and output are the same file");

  auto C = std::make_unique<TConversion>();
  C->Job.reset(new TComponent(nullptr));
  TACSInput* Source = InCodec->MakeSource(C->Job.get(), InName, Options);
  C->Source = Source;
  if (auto* FileIn = dynamic_cast<TACSFileIn*>(Source)) {
    if (Options.Has("--start")) {
      const long long S = Options.Int("--start", 0);
      if (S < 0) throw EACSException("Option --start is out of range: it counts frames from 0");
      FileIn->SetStartSample(S);
    }
    if (Options.Has("--end")) {
      const long long E = Options.Int("--end", -1);
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
    C->Check.Start(*FileIn);
  } else if (Options.Has("--start") || Options.Has("--end")) {
    throw EACSException("Options --start and --end do not apply to this type of file");
  }

  C->Sink = MakeConvertSink(*OutCodec, C->Job.get(), OutName, Options);
  C->Sink->SetInput(Source);
  return C;
}

std::string CarryTags(const std::string& InName, const std::string& OutName,
                      const TJobOptions& Options) {
  if (Options.Has("--append")) return "";
  TAudioTags Tags = ReadTags(InName);
  const bool OggOut = LowerExtension(OutName) == ".ogg";
  for (const auto& [Option, Field] :
       std::vector<std::pair<std::string, std::string>>{{"--title", "TITLE"},
                                                        {"--artist", "ARTIST"},
                                                        {"--album", "ALBUM"},
                                                        {"--year", "DATE"},
                                                        {"--track", "TRACKNUMBER"},
                                                        {"--comment", "COMMENT"}}) {
    // An Ogg file's --comment is NAME=value, written by its writer.
    if (!Options.Has(Option) || (OggOut && Option == "--comment")) continue;
    const std::string Value = Options.Text(Option);
    if (!Value.empty()) Tags.Set(Field, Value);
  }
  return AddMissingTags(OutName, Tags);
}

std::string EncoderChanges(const TACSOutput& Sink) {
  const auto* Mp3 = dynamic_cast<const TMP3Out*>(&Sink);
  if (!Mp3 || !Mp3->ChangedKbps()) return "";
  return "The MP3 encoder takes " + std::to_string(Mp3->ChangedKbps()) +
         " kbit/s at this sample rate, not " + std::to_string(MP3BitRateKbps(Mp3->BitRate())) + ".";
}

int CmdConvert(const std::vector<std::string>& Args) {
  std::set<std::string> ValueOptions, FlagOptions;
  ConvertOptionNames(ValueOptions, FlagOptions);
  const TCliArgs A = ParseArgs(Args, ValueOptions, FlagOptions);
  if (A.Positional.size() != 2) throw EACSException("Usage: velmora-cli convert IN OUT [options]");
  const std::unique_ptr<TConversion> C =
      MakeConversion(A.Positional[0], A.Positional[1], A.Options);
  const int Rc = RunSinkJob(*C->Sink, true, {}, [&C] {
    if (const std::string Changed = EncoderChanges(*C->Sink); !Changed.empty())
      std::fprintf(stderr, "%s\n", Changed.c_str());
  });
  if (Rc != 0) return Rc;
  if (const std::string W = C->Check.Warning(*C->Source); !W.empty())
    std::fprintf(stderr, "%s\n", W.c_str());
  const std::string& InName = A.Positional[0];
  const std::string& OutName = A.Positional[1];
  if (const std::string Error = CarryTags(InName, OutName, A.Options); !Error.empty())
    return ReportError(Error);
  return 0;
  return Rc;
}
