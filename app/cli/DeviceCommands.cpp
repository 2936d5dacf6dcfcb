// velmora-cli devices / record / play: the sound card from the command line.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "app/cli/CliCommon.h"
#include "devices/MixerLines.h"
#include "devices/WaveMixer.h"
#include "engine/ACS_Audio.h"
#include "engine/ACS_Indicator.h"
#include "platform/SoundCard.h"
#include "wave/ACS_Wave.h"

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

int IntOption(const TJobOptions& O, const std::string& Name, long long Default, long long Min,
              long long Max) {
  const long long V = O.Int(Name, Default);
  if (V < Min || V > Max)
    throw EACSException("Option " + Name + " must be between " + std::to_string(Min) + " and " +
                        std::to_string(Max));
  return static_cast<int>(V);
}

// Shows the level of the meter's first band about ten times a second while a
// recording runs, with the time recorded: on a terminal as one bar redrawn in
// place, otherwise as one "level N" line each time.
class TLevelMeter {
 public:
  TLevelMeter(TSoundIndicator& Meter, TAudioIn& In, bool Terminal)
      : FMeter(Meter), FIn(In), FTerminal(Terminal), FThread([this] { Execute(); }) {}
  ~TLevelMeter() { End(); }

  // Stops showing; a bar's line is ended so that what follows starts on a
  // line of its own. Safe to call twice.
  void End() {
    {
      std::lock_guard<std::mutex> L(FLock);
      FStop = true;
    }
    FWake.notify_all();
    if (FThread.joinable()) FThread.join();
  }

  // The maximum of the bar, as on the window's level bar.
  static constexpr int kCells = 25;

  // "level [#####--------------------]   5   0:01.2 / 0:30": the level
  // (held to 0 ... kCells on the bar, shown as it is), the time recorded and,
  // when the recording has a length, that length.
  static std::string BarLine(long Level, double Seconds, int TotalSeconds) {
    const long Cells = std::clamp<long>(Level, 0, kCells);
    std::string Line = "level [" + std::string(static_cast<size_t>(Cells), '#') +
                       std::string(static_cast<size_t>(kCells - Cells), '-') + "] ";
    char Text[64];
    const int Whole = static_cast<int>(Seconds);
    std::snprintf(Text, sizeof Text, "%3ld  %d:%02d.%d", Level, Whole / 60, Whole % 60,
                  static_cast<int>((Seconds - Whole) * 10));
    Line += Text;
    if (TotalSeconds >= 0) {
      std::snprintf(Text, sizeof Text, " / %d:%02d", TotalSeconds / 60, TotalSeconds % 60);
      Line += Text;
    }
    return Line;
  }

 private:
  void Execute() {
    std::unique_lock<std::mutex> L(FLock);
    bool Drawn = false;
    while (!FWake.wait_for(L, std::chrono::milliseconds(100), [this] { return FStop; })) {
      double V[TSoundIndicator::kBands];
      FMeter.GetValues(V);
      const long Level = std::lround(V[0]);
      if (!FTerminal) {
        std::fprintf(stderr, "level %ld\n", Level);
        continue;
      }
      const int64_t PerSecond =
          int64_t{FIn.InSampleRate()} * FIn.InChannels() * FIn.InBitsPerSample() / 8;
      const double Seconds =
          PerSecond > 0 ? static_cast<double>(FIn.Position()) / static_cast<double>(PerSecond) : 0;
      // Back to the start of the line, the bar, then the rest of the line
      // cleared (the previous bar may have been longer).
      std::fprintf(stderr, "\r%s\033[K", BarLine(Level, Seconds, FIn.RecTime()).c_str());
      std::fflush(stderr);
      Drawn = true;
    }
    if (Drawn) std::fprintf(stderr, "\n");
  }

  TSoundIndicator& FMeter;
  TAudioIn& FIn;
  const bool FTerminal;
  std::mutex FLock;
  std::condition_variable FWake;
  bool FStop = false;  // guarded by FLock
  std::thread FThread;
};

// The microphone routed through the system mixer for the length of a
// recording, with the window's steps: heard on the default output at
// OutputPercent, chosen as what capture device 0 records, recorded at
// RecordPercent. Its playback is muted again when the object goes, also after
// a failure. Without a sound server there is nothing to route.
class TMicRoute {
 public:
  TMicRoute(int OutputPercent, int RecordPercent) : FMixer(MakeComponent<TAudioMixer2>(nullptr)) {
    if (FMixer->DeviceCount() == 0) return;
    FLines = FindMixerLines(MixerLineNames(*FMixer));
    FRouted = true;
    try {
      RouteMicrophone(*FMixer, FLines, OutputPercent, RecordPercent);
    } catch (...) {
      End();
      throw;
    }
  }
  ~TMicRoute() { End(); }
  TMicRoute(const TMicRoute&) = delete;
  TMicRoute& operator=(const TMicRoute&) = delete;

 private:
  void End() {
    if (!FRouted) return;
    FRouted = false;
    try {
      EndMicrophoneRouting(*FMixer, FLines);
    } catch (const std::exception& E) {
      std::fprintf(stderr, "The microphone could not be muted again: %s\n", E.what());
    }
  }

  TOwned<TAudioMixer2> FMixer;
  TMixerLineIndices FLines;
  bool FRouted = false;
};

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

int CmdPlay(const std::vector<std::string>& Args) {
  std::set<std::string> ValueOptions = {"--device"};
  const TCliArgs A = ParseArgs(Args, ValueOptions, {});
  if (A.Positional.size() != 1) throw EACSException("Usage: velmora-cli play FILE [--device N]");
  const std::string& InName = A.Positional[0];
  const TCodecEntry* InCodec = FindCodecFor(InName);
  if (!InCodec || (!InCodec->MakeSource && !InCodec->DecodeToWav))
    throw EACSException("Cannot read this type of file: " + InName);
  if (!std::filesystem::exists(InName)) throw EACSException("File not found: " + InName);
  CheckReadable(InName);

  TOwned<TComponent> Job(new TComponent(nullptr));
  auto* Out = new TAudioOut(Job.get());
  Out->SetBaseChannel(IntOption(A.Options, "--device", 0, -1, 1 << 20));
  TMemoryStream Image;  // a type with a decoder of its own is decoded first
  TACSInput* Source;
  if (InCodec->MakeSource) {
    Source = InCodec->MakeSource(Job.get(), InName, A.Options);
  } else {
    if (!InCodec->DecodeToWav(InName, "", &Image, [](int) { return !InterruptRequested(); }))
      return ReportError("No audio could be decoded from " + InName);
    Image.SetPosition(0);
    auto* Wav = new TWaveIn(Job.get());
    Wav->SetStream(&Image);
    Source = Wav;
  }
  Out->SetInput(Source);
  return RunSinkJob(*Out, true);
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
