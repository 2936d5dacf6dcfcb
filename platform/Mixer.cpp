#include "platform/Mixer.h"

#include <atomic>

#include "platform/PulseMixer.h"

namespace {
std::atomic<TMixerService*> GInstalled{nullptr};
}  // namespace

TMixerService& CurrentMixerService() {
  if (TMixerService* S = GInstalled.load()) return *S;
  static TPulseMixerService Server;
  return Server;
}

void UseMixerService(TMixerService* Service) { GInstalled = Service; }

std::string CutUtf8(const std::string& Text, size_t Max) {
  if (Text.size() <= Max) return Text;
  size_t N = Max;
  // Back off over continuation bytes (10xxxxxx) to the start of a character.
  while (N > 0 && (static_cast<unsigned char>(Text[N]) & 0xC0) == 0x80) --N;
  return Text.substr(0, N);
}
