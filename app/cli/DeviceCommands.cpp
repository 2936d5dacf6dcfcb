// velmora-cli devices / record / monitor: the sound card from the command line.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "app/cli/CliCommon.h"
#include "app/cli/RecordingParts.h"
#include "devices/MixerLines.h"
#include "devices/WaveMixer.h"
#include "engine/ACS_Audio.h"
#include "engine/ACS_Indicator.h"
#include "platform/SoundCard.h"

namespace {

void PrintDevices(const char* Title, const std::vector<TSoundDevice>& List) {
  std::printf("%s:\n", Title);
  for (const TSoundDevice& D : List)
    std::printf("  %d  %s  %s\n", D.Index, D.Name.c_str(), D.Description.c_str());
}

// "volume 80%, mute off": the controls a mixer line carries, as they are now.
std::string LineControls(TAudioMixerLine& Line) {
  std::string R;
  auto Add = [&R](const std::string& Part) { R += (R.empty() ? "" : ", ") + Part; };
  if (Line.HasControl(mcVolume)) Add("volume " + std::to_string(Line.Volume()) + "%");
  if (Line.HasControl(mcMute)) Add(std::string("mute ") + (Line.Mute() ? "on" : "off"));
  if (Line.HasControl(mcSelect)) {
    const int Chosen = Line.SelectedSource();
    Add("records line " + (Chosen >= 0 ? std::to_string(Chosen) : std::string("none")));
  }
  return R.empty() ? "no controls" : R;
}

// Every mixer device, its destinations and their lines by index.
void PrintMixers() {
  TOwned<TAudioMixer2> Mixer = MakeComponent<TAudioMixer2>(nullptr);
  std::vector<std::string> Names;
  Mixer->GetMixerNames(Names);
  std::printf("Mixer devices:\n");
  for (size_t M = 0; M < Names.size(); ++M) {
    Mixer->SetMixerID(static_cast<uint32_t>(M));
    std::printf("  %zu  %s\n", M, Names[M].c_str());
    std::vector<std::string> Destinations;
    Mixer->GetDestinationNames(Destinations);
    for (size_t D = 0; D < Destinations.size(); ++D) {
      Mixer->SetDestinationID(static_cast<uint32_t>(D));
      std::printf("    Destination %zu: %s  [%s]\n", D, Destinations[D].c_str(),
                  LineControls(*Mixer->Destination()).c_str());
      for (int L = 0; L < Mixer->LineCount(); ++L)
        std::printf("      Line %d: %s  [%s]\n", L, Mixer->Lines(L)->Name().c_str(),
                    LineControls(*Mixer->Lines(L)).c_str());
    }
  }
}

}  // namespace

int CmdDevices(const std::vector<std::string>& Args) {
  ParseArgs(Args, {}, {});
  TSoundCard& Card = CurrentSoundCard();
  const std::vector<TSoundDevice> In = Card.CaptureDevices();
  const std::vector<TSoundDevice> Out = Card.PlaybackDevices();
  if (In.empty() && Out.empty()) {
    std::printf("No sound server answers: there are no devices.\n");
    return 0;
  }
  PrintDevices("Capture devices", In);
  PrintDevices("Playback devices", Out);
  PrintMixers();
  return 0;
}

int CmdRecord(const std::vector<std::string>& Args) {
  std::set<std::string> ValueOptions = {"--seconds",  "--device",     "--rate",      "--bits",
                                        "--channels", "--mic-output", "--mic-record"};
  std::set<std::string> FlagOptions = {"--no-routing"};
  for (const TCodecEntry& C : Codecs()) {
    ValueOptions.insert(C.ValueOptions.begin(), C.ValueOptions.end());
    FlagOptions.insert(C.FlagOptions.begin(), C.FlagOptions.end());
  }
  const TCliArgs A = ParseArgs(Args, ValueOptions, FlagOptions);
  if (A.Positional.size() != 1)
    throw EACSException(
        "Usage: velmora-cli record OUT [--seconds N] [--device N] [--rate R --bits B --channels "
        "C] [--mic-output PERCENT] [--mic-record PERCENT] [--no-routing]");
  const std::string& OutName = A.Positional[0];
  const TCodecEntry* OutCodec = FindCodecFor(OutName);
  if (!OutCodec || !OutCodec->MakeSink)
    throw EACSException("Cannot write this type of file: " + OutName);
  const TJobOptions& O = A.Options;
  const int Bits = IntOption(O, "--bits", 16, 8, 16);
  if (Bits != 8 && Bits != 16) throw EACSException("Option --bits must be 8 or 16");
  // The window's two microphone sliders, at their start positions.
  const int MicOutput = IntOption(O, "--mic-output", 100, 0, 100);
  const int MicRecord = IntOption(O, "--mic-record", 100, 0, 100);

  TOwned<TComponent> Job(new TComponent(nullptr));
  auto* In = new TAudioIn(Job.get());
  In->SetInSampleRate(IntOption(O, "--rate", 44100, 1, 192000));
  In->SetInBitsPerSample(Bits);
  In->SetInChannels(IntOption(O, "--channels", 2, 1, 2));
  // Without --seconds the recording runs until Ctrl+C.
  In->SetRecTime(IntOption(O, "--seconds", -1, -1, 24 * 3600));
  In->SetBaseChannel(IntOption(O, "--device", 0, -1, 1 << 20));
  auto* Meter = new TSoundIndicator(Job.get());
  Meter->SetInput(In);
  TACSOutput* Sink = OutCodec->MakeSink(Job.get(), OutName, O);
  Sink->SetInput(Meter);

  // Device 0 records what the mixer's selection chooses: the microphone is
  // routed there as the window routes it. A device chosen by number is
  // recorded as it is.
  std::optional<TMicRoute> Route;
  if (In->BaseChannel() <= 0 && !O.Has("--no-routing")) Route.emplace(MicOutput, MicRecord);
  TLevelMeter Levels(*Meter, *In, ::isatty(STDERR_FILENO) == 1);
  // Without --seconds Ctrl+C is how a recording ends, not a break.
  const int Rc = RunSinkJob(
      *Sink, false, [&Levels] { Levels.End(); }, {}, !O.Has("--seconds"));
  Route.reset();
  if (const uint64_t Lost = In->DroppedBytes()) {
    const int64_t PerSecond =
        int64_t{In->InSampleRate()} * In->InChannels() * In->InBitsPerSample() / 8;
    std::fprintf(stderr,
                 "%.2f seconds of sound are missing from the recording: it could not be written "
                 "as fast as it came in.\n",
                 static_cast<double>(Lost) / static_cast<double>(PerSecond));
  }
  return Rc;
}

int CmdMonitor(const std::vector<std::string>& Args) {
  const TCliArgs A = ParseArgs(Args, {"--seconds", "--volume"}, {});
  if (!A.Positional.empty())
    throw EACSException("Usage: velmora-cli monitor [--seconds N] [--volume PERCENT]");
  // Without --seconds the microphone is heard until Ctrl+C.
  const int Seconds = IntOption(A.Options, "--seconds", -1, -1, 24 * 3600);
  const int Volume = IntOption(A.Options, "--volume", 100, 0, 100);
  TOwned<TAudioMixer2> Mixer = MakeComponent<TAudioMixer2>(nullptr);
  Mixer->SetDestinationID(0);
  TAudioMixerLine* Mic = nullptr;
  for (int I = 0; I < Mixer->LineCount(); ++I)
    if (Mixer->Lines(I)->Name() == "Microphone") Mic = Mixer->Lines(I);
  if (Mixer->OpenResult() != kMixerNoError)
    return ReportError("No sound server answers: there is no microphone to hear.");
  if (!Mic) return ReportError("There is no microphone to hear.");
  Mic->SetVolume(Volume);
  Mic->SetMute(false);
  if (Mic->Mute())
    return ReportError("The microphone cannot be heard (result " +
                       std::to_string(Mic->LastResult()) + ").");
  std::fprintf(stderr, "Hearing the microphone on the default output%s\n",
               Seconds < 0 ? " until Ctrl+C" : "");
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
  while (!InterruptRequested() && (Seconds < 0 || std::chrono::steady_clock::now() < Until))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Mic->SetMute(true);
  return 0;
}
