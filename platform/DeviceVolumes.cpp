#include "platform/DeviceVolumes.h"

#include <atomic>

#include "platform/Mixer.h"
#include "platform/PulseMixer.h"
#include "platform/PulseSoundCard.h"

namespace {
// Written by whoever sets the volume, read by the threads that open streams.
std::atomic<uint32_t> GPlaybackVolume{0xFFFFFFFFu};
}  // namespace

uint32_t ProgramPlaybackVolume() { return GPlaybackVolume.load(); }

uint32_t OutputDeviceCount(TOutputKind Kind) {
  if (Kind != TOutputKind::Wave) return 0;
  return static_cast<uint32_t>(CurrentSoundCard().PlaybackDeviceCount());
}

bool OutputSupportsVolume(TOutputKind Kind, uint32_t Device) {
  return Kind == TOutputKind::Wave && Device < OutputDeviceCount(Kind);
}

uint32_t GetOutputVolume(TOutputKind Kind, uint32_t Device, uint32_t& Volume) {
  Volume = 0;
  if (!OutputSupportsVolume(Kind, Device)) return kMixerBadDevice;
  Volume = GPlaybackVolume.load();
  return kMixerNoError;
}

uint32_t SetOutputVolume(TOutputKind Kind, uint32_t Device, uint32_t Volume) {
  if (!OutputSupportsVolume(Kind, Device)) return kMixerBadDevice;
  GPlaybackVolume = Volume;
  // Streams of the sound server change now; other sound systems (the virtual
  // one of the tests) have no volume of their own.
  if (auto* Pulse = dynamic_cast<TPulseSoundCard*>(&CurrentSoundCard()))
    return ApplyPlaybackVolume(Pulse->Server(), Volume) ? kMixerNoError : kMixerError;
  return kMixerNoError;
}
