// Arbitrary bytes as a WAVE file in memory: the reader must neither crash nor
// read out of bounds, whatever the header claims. A second pass loops from a
// start frame taken from the input, with a bounded number of reads.
#include <cstddef>
#include <cstdint>

#include "FuzzRead.h"
#include "wave/WaveIn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TMemoryStream S;
  LoadInput(S, Data, Size);
  auto W = MakeComponent<TWaveIn>(nullptr);
  W->SetStream(&S);

  const bool Valid = W->Valid();
  (void)W->WavType();
  (void)W->InChannels();
  (void)W->InSampleRate();
  (void)W->InBitsPerSample();
  (void)W->TotalTime();
  const int64_t Frames = W->SampleCount();
  ReadJob(*W, 100000, 4096);

  if (Valid && Size > 0) {
    ReadPickedRange(*W, Data, Size, Frames);
  }
  return 0;
}
