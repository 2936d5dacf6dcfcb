// Arbitrary bytes as an MP3 stream: the decoder must neither crash nor read out
// of bounds, must end every run through OnDone, and must leave a WAV image
// whose header states exactly the bytes behind it. The MP3 file source must
// deliver exactly the samples of that image (or be not valid when it is
// empty). The frame-header probe gets the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codecs/ACS_MAD.h"
#include "codecs/Mp3In.h"
#include "codecs/MpegFrame.h"

namespace {

uint32_t Le32(const uint8_t* P) {
  return P[0] | P[1] << 8 | P[2] << 16 | static_cast<uint32_t>(P[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TMpegFrameHeader H;
  const size_t Tag = Id3v2TagSize(Data, Size);
  if (Tag < Size) {
    const int64_t At = FindFirstMpegFrame(Data + Tag, Size - Tag, H);
    if (At >= 0) IsXingFrame(Data + Tag + At, Size - Tag - static_cast<size_t>(At), H);
  }

  TMemoryStream In, Out;
  In.Write(Data, static_cast<int64_t>(Size));
  In.SetPosition(0);
  bool Success = false;
  {
    TOwned<TMP3ToWav> D = MakeComponent<TMP3ToWav>(nullptr);
    D->SetInputStream(&In);
    D->SetOutputStream(&Out);
    D->OnDone = [&Success](TComponent*, bool S) { Success = S; };
    D->Run();
    D->WaitForEnd();
  }
  if (Success) {
    if (Out.Size() < 44) std::abort();
    const uint8_t* W = Out.Memory();
    if (Le32(W + 40) != Out.Size() - 44 || Le32(W + 4) != Out.Size() - 8) std::abort();
  } else if (Out.Size() != 0) {
    std::abort();  // a run without a frame writes nothing
  }

  TOwned<TMP3In> Source = MakeComponent<TMP3In>(nullptr);
  Source->SetStream(&In);
  if (Source->Valid() != Success) std::abort();
  if (!Success) return 0;
  const int64_t Want = Out.Size() - 44;
  if (Source->SampleCount() * Source->InChannels() * 2 < Want) std::abort();
  Source->Init();
  int64_t Got = 0;
  uint8_t Buf[4096];
  for (;;) {
    const int N = Source->GetData(Buf, sizeof Buf);
    if (N <= 0) break;
    if (Got + N > Want || std::memcmp(Buf, Out.Memory() + 44 + Got, static_cast<size_t>(N)) != 0)
      std::abort();
    Got += N;
  }
  Source->Flush();
  if (Got != Want) std::abort();
  return 0;
}
