#include "app/SystemMixer.h"

#include "platform/SoundCard.h"

namespace {

class TSoundSystemLines : public TMixerLineSource {
 public:
  int DeviceCount() override {
    try {
      return CurrentSoundCard().CaptureDeviceCount() > 0 ? 1 : 0;
    } catch (...) {
      return 0;
    }
  }
  TMixerLineNames LineNames() override { return {}; }
};

}  // namespace

std::unique_ptr<TMixerLineSource> MakeSystemMixerLineSource() {
  return std::make_unique<TSoundSystemLines>();
}
