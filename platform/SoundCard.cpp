#include "platform/SoundCard.h"

#include <atomic>

#include "platform/PulseSoundCard.h"

bool TPcmFormat::Supported() const {
  return (BitsPerSample == 8 || BitsPerSample == 16) && (Channels == 1 || Channels == 2) &&
         SampleRate >= 1 && SampleRate <= 192000;
}

namespace {
std::atomic<TSoundCard*> GInstalled{nullptr};
}  // namespace

TSoundCard& CurrentSoundCard() {
  if (TSoundCard* C = GInstalled.load()) return *C;
  // One server connection description for the whole program; each stream
  // and each device query opens its own connection to it.
  static TPulseSoundCard Server;
  return Server;
}

void UseSoundCard(TSoundCard* Card) { GInstalled = Card; }
