// The devices of the private test sound server (scripts/pulse.sh): names can
// be overridden through the environment for a server set up differently.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/SoundCard.h"

namespace testing_support {

inline std::string EnvOr(const char* Name, const char* Default) {
  const char* V = std::getenv(Name);
  return V && *V ? V : Default;
}

inline const std::string kSpeaker = EnvOr("VELMORA_TEST_SPEAKER", "velmora_speaker");
inline const std::string kFeed = EnvOr("VELMORA_TEST_FEED", "velmora_mic_feed");
inline const std::string kMic = EnvOr("VELMORA_TEST_MIC", "velmora_mic");

// The device number (1...n) of the device called Name, or -1.
inline int FindDevice(const std::vector<TSoundDevice>& List, const std::string& Name) {
  for (const TSoundDevice& D : List)
    if (D.Index > 0 && D.Name == Name) return D.Index;
  return -1;
}

}  // namespace testing_support
