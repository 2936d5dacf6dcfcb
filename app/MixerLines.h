// Finding the microphone and "Stereo Mix" lines of the system mixer when the
// window is first shown.
#pragma once

#include <string>
#include <vector>

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
