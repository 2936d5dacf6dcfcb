// The microphone and "Stereo Mix" lines of the system mixer: found by name
// when a program starts using the mixer, and the microphone routed through
// them for the length of a recording (heard on the speakers, chosen as what
// is recorded, both volumes set) and its playback switched off afterwards.
// The window and the command line share these steps.
#pragma once

#include <string>
#include <vector>

#include "devices/WaveMixer.h"

// Line indices within their destination; -1 when no such line was found.
struct TMixerLineIndices {
  int MicOutput = -1;  // the microphone under destination 0 (playback)
  int MicRecord = -1;  // the microphone under destination 1 (recording)
  int StereoMix = -1;  // the stereo mix under destination 1
};

// The full names (UTF-8) of the lines of each destination, destinations and
// lines in the mixer's order.
using TMixerLineNames = std::vector<std::vector<std::string>>;

// Compares every line name with "MICROPHONE" / "麦克风" and "Stereo Mix" /
// "立体声混音", without regard to the case of ASCII letters; a later match
// of the same kind under the same destination wins.
TMixerLineIndices FindMixerLines(const TMixerLineNames& Destinations);

// The names of the lines of every destination of mixer device 0 (which
// Mixer then has open); the destination selected last is the last one.
TMixerLineNames MixerLineNames(TAudioMixer2& Mixer);

// Source line Line of Destination, which is selected first; null for -1 and
// for a line that has gone since the indices were found.
TAudioMixerLine* MixerSourceLine(TAudioMixer2& Mixer, uint32_t Destination, int Line);

// The steps before a recording of the microphone, each skipped when its line
// is absent: the microphone's playback line is un-muted (the user hears
// himself), the microphone's recording line is chosen as the source of the
// recording destination, then the playback line's volume is set to
// OutputPercent and the recording line's to RecordPercent. The source is
// chosen whether or not the playback line exists, so an earlier choice (the
// stereo mix, say) is never recorded in the microphone's place.
// Mixer operations report through their lines and do not raise; whatever the
// mixer service itself raises comes through, and the caller then runs
// EndMicrophoneRouting all the same.
void RouteMicrophone(TAudioMixer2& Mixer, const TMixerLineIndices& Lines, int OutputPercent,
                     int RecordPercent);

// The steps before a recording of the stereo mix (what the default output
// plays, the monitored microphone included): the microphone's playback line
// is un-muted at OutputPercent, the stereo-mix line is chosen as the source
// of the recording destination and set to MixPercent. Absent lines are
// skipped as in RouteMicrophone; EndMicrophoneRouting undoes it.
void RouteStereoMix(TAudioMixer2& Mixer, const TMixerLineIndices& Lines, int OutputPercent,
                    int MixPercent);

// The step after a recording (also after one that failed or never started):
// the microphone's playback line is muted again, so nothing of the
// microphone is left playing on the speakers.
void EndMicrophoneRouting(TAudioMixer2& Mixer, const TMixerLineIndices& Lines);
