// Arbitrary bytes as an Ogg Vorbis file in memory: the reader must neither
// crash nor read out of bounds, and a file that does not open is never read.
// A second pass seeks to a start frame taken from the input and loops, with a
// bounded number of reads.
#include <cstddef>
#include <cstdint>

#include "FuzzRead.h"
#include "codecs/ACS_Vorbis.h"

// WATCHOUT: vorbisfile itself leaks a few bytes (its list of serial numbers)
// when an open fails part-way through the headers; it has already cleared the
// handle, so nothing the caller holds can free them. The stack of such a leak
// ends inside the library (no frame pointers there), so it is matched by the
// library's name; the unit tests under ASan still see leaks of whole handles.
extern "C" const char* __lsan_default_suppressions() { return "leak:libvorbisfile.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TMemoryStream S;
  LoadInput(S, Data, Size);
  auto V = MakeComponent<TVorbisIn>(nullptr);
  V->SetStream(&S);

  const bool Valid = V->Valid();
  (void)V->InChannels();
  (void)V->InSampleRate();
  (void)V->TotalTime();
  (void)V->Comments();
  const int64_t Frames = V->SampleCount();
  // A file that does not open is refused before any read.
  ReadJob<EACSException>(*V, 2000, 4096);

  if (Valid && Size > 0) {
    ReadPickedRange<EACSException>(*V, Data, Size, Frames);
  }
  return 0;
}
