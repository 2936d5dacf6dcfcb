// Pieces of the recording commands (record, karaoke): the microphone routed
// through the system mixer for a recording, and the level shown meanwhile.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "app/cli/CliCommon.h"
#include "devices/MixerLines.h"
#include "devices/WaveMixer.h"
#include "engine/ACS_Audio.h"
#include "engine/ACS_Indicator.h"

inline int IntOption(const TJobOptions& O, const std::string& Name, long long Default,
                     long long Min, long long Max) {
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
  // StereoMix: the stereo-mix line is recorded (at RecordPercent) instead of
  // the microphone.
  TMicRoute(int OutputPercent, int RecordPercent, bool StereoMix = false)
      : FMixer(MakeComponent<TAudioMixer2>(nullptr)) {
    if (FMixer->DeviceCount() == 0) return;
    FLines = FindMixerLines(MixerLineNames(*FMixer));
    FRouted = true;
    try {
      if (StereoMix)
        RouteStereoMix(*FMixer, FLines, OutputPercent, RecordPercent);
      else
        RouteMicrophone(*FMixer, FLines, OutputPercent, RecordPercent);
    } catch (...) {
      End();
      throw;
    }
  }
  ~TMicRoute() { End(); }
  // The lines found (all -1 without a sound server).
  const TMixerLineIndices& Lines() const { return FLines; }
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
