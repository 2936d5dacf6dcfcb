#include "platform/SoundCard.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

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

namespace {

struct TClockEntry {
  const void* Key;
  bool Capture;
  std::function<bool(TStreamClock&)> Read;
};

// The registered clocks, oldest first; readers are called under the lock,
// so none runs after its unregistering returned.
std::mutex GClockLock;
std::vector<TClockEntry>& Clocks() {
  static std::vector<TClockEntry> L;
  return L;
}

bool ReadLatest(bool Capture, TStreamClock& Out) {
  const std::vector<TClockEntry>& L = Clocks();
  for (auto It = L.rbegin(); It != L.rend(); ++It)
    if (It->Capture == Capture) return It->Read(Out);
  return false;
}

}  // namespace

bool ReadStreamClocks(TStreamClock& Playback, TStreamClock& Capture) {
  std::lock_guard<std::mutex> G(GClockLock);
  return ReadLatest(false, Playback) && ReadLatest(true, Capture);
}

void RegisterStreamClock(const void* Key, bool Capture, std::function<bool(TStreamClock&)> Read) {
  std::lock_guard<std::mutex> G(GClockLock);
  Clocks().push_back({Key, Capture, std::move(Read)});
}

void UnregisterStreamClock(const void* Key) {
  std::lock_guard<std::mutex> G(GClockLock);
  auto& L = Clocks();
  L.erase(std::remove_if(L.begin(), L.end(), [Key](const TClockEntry& E) { return E.Key == Key; }),
          L.end());
}
