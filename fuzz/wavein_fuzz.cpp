// Arbitrary bytes as a WAVE file in memory: the reader must neither crash nor
// read out of bounds, whatever the header claims. A second pass loops from a
// start frame taken from the input, with a bounded number of reads.
#include <cstddef>
#include <cstdint>

#include "platform/Streams.h"
#include "wave/WaveIn.h"

namespace {

void ReadJob(TWaveIn& W, int Calls, int Piece) {
  static uint8_t Buf[20000];
  W.Init();
  for (int I = 0; I < Calls; ++I)
    if (W.GetData(Buf, Piece) == 0) break;
  W.Flush();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TMemoryStream S;
  S.Write(Data, static_cast<int64_t>(Size));
  S.SetPosition(0);
  auto W = MakeComponent<TWaveIn>(nullptr);
  W->SetStream(&S);

  const bool Valid = W->Valid();
  (void)W->WavType();
  (void)W->InChannels();
  (void)W->InSampleRate();
  (void)W->InBitsPerSample();
  (void)W->TotalTime();
  const int Frames = W->SampleCount();
  ReadJob(*W, 100000, 4096);

  if (Valid && Size > 0) {
    const uint8_t Pick = Data[Size - 1];
    W->SetLoop(true);
    W->SetStartSample(Frames > 0 ? (Pick * 131) % Frames : 0);
    W->SetEndSample(Pick & 1 ? -1 : Frames);
    ReadJob(*W, 64, 1 + Pick * 70);
  }
  return 0;
}
