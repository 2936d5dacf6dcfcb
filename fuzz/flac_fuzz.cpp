// Arbitrary bytes as a FLAC file in memory: the reader must neither crash nor
// read out of bounds, whatever the stream information and frames claim. A
// decoding failure may end a job with "Error reading FLAC file"; nothing else
// may escape. A second pass seeks to a start frame taken from the input and
// loops, with a bounded number of reads.
#include <cstddef>
#include <cstdint>

#include "codecs/ACS_FLAC.h"
#include "platform/Streams.h"

namespace {

void ReadJob(TFLACIn& F, int Calls, int Piece) {
  static uint8_t Buf[20000];
  F.Init();
  try {
    for (int I = 0; I < Calls; ++I)
      if (F.GetData(Buf, Piece) == 0) break;
  } catch (const EACSException&) {
  }
  F.Flush();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TMemoryStream S;
  S.Write(Data, static_cast<int64_t>(Size));
  S.SetPosition(0);
  auto F = MakeComponent<TFLACIn>(nullptr);
  F->SetStream(&S);

  const bool Valid = F->Valid();
  (void)F->InChannels();
  (void)F->InSampleRate();
  (void)F->InBitsPerSample();
  (void)F->TotalTime();
  const int Frames = F->SampleCount();
  ReadJob(*F, 100000, 4096);

  if (Valid && Size > 0) {
    const uint8_t Pick = Data[Size - 1];
    F->SetLoop(true);
    F->SetStartSample(Frames > 0 ? (Pick * 131) % Frames : 0);
    F->SetEndSample(Pick & 1 ? -1 : Frames);
    ReadJob(*F, 64, 1 + Pick * 70);
  }
  return 0;
}
