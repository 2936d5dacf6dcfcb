// Arbitrary bytes as a FLAC file in memory: the reader must neither crash nor
// read out of bounds, whatever the stream information and frames claim. A
// decoding failure may end a job with "Error reading FLAC file"; nothing else
// may escape. A second pass seeks to a start frame taken from the input and
// loops, with a bounded number of reads.
#include <cstddef>
#include <cstdint>

#include "FuzzRead.h"
#include "codecs/ACS_FLAC.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TMemoryStream S;
  LoadInput(S, Data, Size);
  auto F = MakeComponent<TFLACIn>(nullptr);
  F->SetStream(&S);

  const bool Valid = F->Valid();
  (void)F->InChannels();
  (void)F->InSampleRate();
  (void)F->InBitsPerSample();
  (void)F->TotalTime();
  const int64_t Frames = F->SampleCount();
  ReadJob<TNoError, EACSException>(*F, 100000, 4096);

  if (Valid && Size > 0) {
    ReadPickedRange<TNoError, EACSException>(*F, Data, Size, Frames);
  }
  return 0;
}
