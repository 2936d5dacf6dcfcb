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

#if defined(__SANITIZE_THREAD__)
// libpulse hands packets and memory blocks between its threads through
// lock-free lists built on atomics that the race detector cannot see (the
// library is not instrumented), so it reports the library's own buffer reuse
// as races. Those functions of the library are left out by name; this
// program's call-backs never run inside them, so a race of ours still shows.
extern "C" const char* __tsan_default_suppressions() {
  return "race:pa_srbchannel_read\n"
         "race:pa_packet_new_data\n"
         "race:pa_iochannel_read_with_ancil_data\n"
         "race:pa_mutex_lock\n";
}
#endif
