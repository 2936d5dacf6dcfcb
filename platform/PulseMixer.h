// The mixer service on the sound server. The server is mixer device 0:
//
// Destination 0 "Playback": its line is the default output (volume, mute).
// Its one source line, "Microphone", is hearing the microphone on the default
// output: un-muting it starts a loopback inside this process (capture from
// the microphone, play to the default output), muting it stops the loopback;
// its volume is the loopback's. The line exists while there is a microphone.
//
// Destination 1 "Recording": one source line per input of the server, in the
// server's order, each with the input's own volume and mute. The microphone
// (the default input, or the first input that is no monitor when the default
// is one) is named "Microphone", the monitor of the default output
// "Stereo Mix"; the others keep their descriptions. The destination line's
// selector chooses the input that capture device 0 records, in this program
// only: the server's default input never changes.
//
// Volumes run linearly from 0 to the server's normal volume (100 %).
#pragma once

#include <pulse/volume.h>

#include <string>

#include "platform/Mixer.h"

class TPulseMixerService : public TMixerService {
 public:
  // Server: as TPulseSoundCard's; empty = the usual lookup.
  explicit TPulseMixerService(std::string Server = {}) : FServer(std::move(Server)) {}

  // 1 while the server answers, else 0.
  uint32_t DeviceCount() override;
  uint32_t GetDeviceCaps(uint32_t Device, std::string& Name, uint32_t& Destinations) override;
  uint32_t Open(uint32_t Device, TMixerNotify Notify,
                std::unique_ptr<TMixerDevice>& Opened) override;

  static constexpr const char* kDeviceName = "Sound server";

 private:
  std::string FServer;
};

// One 16-bit channel volume of the device-volume word (0 ... 0xFFFF) as a
// server volume (0 ... normal) and back, both rounded to the nearest.
pa_volume_t ChannelVolumeToPulse(uint16_t Volume);
uint16_t PulseToChannelVolume(pa_volume_t Volume);
// The device-volume word (left low, right high) for a stream of Channels
// channels: stereo keeps both sides, other layouts get their average.
void PlaybackVolumeToPulse(uint32_t LeftRight, uint8_t Channels, pa_cvolume& Volume);
// Sets the volume of every playback stream this process has open on the
// server. False when the server could not be reached or refused.
bool ApplyPlaybackVolume(const std::string& Server, uint32_t LeftRight);
