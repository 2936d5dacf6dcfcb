// velmora-cli mix IN1 IN2 OUT [--concat] [--volume1 N] [--volume2 N]: the two
// inputs played together (or IN2 after IN1) through the two-input mixer, into
// the writer that OUT's extension picks, as the window's Mixer page does.
#include <filesystem>

#include "app/cli/CliCommon.h"
#include "engine/ACS_AudioMix.h"

namespace {

// A volume option: 0 ... 255, 255 (unchanged) when not given.
uint8_t VolumeOption(const TJobOptions& O, const std::string& Name) {
  const long long V = O.Int(Name, 255);
  if (V < 0 || V > 255) throw EACSException("Option " + Name + " must lie between 0 and 255");
  return static_cast<uint8_t>(V);
}

// A source for an input file, owned by Owner.
TACSInput* MixSource(TComponent* Owner, const std::string& Name) {
  const TCodecEntry* C = FindCodecFor(Name);
  if (!C || !C->MakeSource) throw EACSException("Cannot mix this type of file: " + Name);
  if (!std::filesystem::exists(Name)) throw EACSException("File not found: " + Name);
  CheckReadable(Name);
  return C->MakeSource(Owner, Name, TJobOptions());
}

}  // namespace

int CmdMix(const std::vector<std::string>& Args) {
  const TCliArgs A = ParseArgs(Args, {"--volume1", "--volume2"}, {"--concat"});
  if (A.Positional.size() != 3)
    throw EACSException(
        "Usage: velmora-cli mix IN1 IN2 OUT [--concat] [--volume1 N] [--volume2 N]");
  const std::string& OutName = A.Positional[2];
  const uint8_t Volume1 = VolumeOption(A.Options, "--volume1");
  const uint8_t Volume2 = VolumeOption(A.Options, "--volume2");
  const TCodecEntry* OutCodec = FindCodecFor(OutName);
  if (!OutCodec || !OutCodec->MakeSink)
    throw EACSException("Cannot write this type of file: " + OutName);

  TOwned<TComponent> Job(new TComponent(nullptr));
  TACSInput* In1 = MixSource(Job.get(), A.Positional[0]);
  TACSInput* In2 = MixSource(Job.get(), A.Positional[1]);
  auto* Mixer = new TAudioMixer(Job.get());
  Mixer->SetInput1(In1);
  Mixer->SetInput2(In2);
  Mixer->SetMode(A.Options.Has("--concat") ? amConcatenate : amMix);
  Mixer->SetVolume1(Volume1);
  Mixer->SetVolume2(Volume2);
  // The writer refuses an output that is one of the inputs, and inputs that
  // cannot be brought to one format, before it writes anything.
  TACSOutput* Sink = OutCodec->MakeSink(Job.get(), OutName, TJobOptions());
  Sink->SetInput(Mixer);
  return RunSinkJob(*Sink, true);
}
