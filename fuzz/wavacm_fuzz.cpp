// MPEG Layer-3 WAVE files (format tag 85), converted through the compression
// manager: arbitrary bytes as a WAVE file, then the same bytes as the MP3
// stream of a well-formed tag-85 file whose format the first two bytes pick.
// The reader must neither crash nor read out of bounds, and a valid file must
// deliver exactly the PCM it says it has.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "FuzzRead.h"
#include "codecs/AcmMpegLayer3.h"
#include "wave/WaveIn.h"

namespace {

void Put(std::vector<uint8_t>& B, uint32_t V, int N) {
  for (int I = 0; I < N; ++I) B.push_back(static_cast<uint8_t>(V >> (8 * I)));
}

// "RIFF" "WAVE", an MPEG Layer-3 "fmt ", "fact", and Stream as "data".
std::vector<uint8_t> Wrap(int Channels, uint32_t Rate, const uint8_t* Stream, size_t Size) {
  std::vector<uint8_t> F = {'f', 'm', 't', ' '};
  Put(F, 30, 4);
  for (auto [V, N] : {std::pair<uint32_t, int>{85, 2},
                      {Channels, 2},
                      {Rate, 4},
                      {16000, 4},
                      {1, 2},
                      {0, 2},
                      {12, 2},
                      {1, 2},
                      {2, 4},
                      {417, 2},
                      {1, 2},
                      {1393, 2}})
    Put(F, V, N);
  F.insert(F.end(), {'f', 'a', 'c', 't', 4, 0, 0, 0, 0, 0, 0, 0, 'd', 'a', 't', 'a'});
  Put(F, static_cast<uint32_t>(Size), 4);
  F.insert(F.end(), Stream, Stream + Size);
  std::vector<uint8_t> B = {'R', 'I', 'F', 'F'};
  Put(B, static_cast<uint32_t>(F.size() + 4), 4);
  B.insert(B.end(), {'W', 'A', 'V', 'E'});
  B.insert(B.end(), F.begin(), F.end());
  return B;
}

void ReadWave(const uint8_t* Data, size_t Size) {
  TMemoryStream S;
  LoadInput(S, Data, Size);
  auto W = MakeComponent<TWaveIn>(nullptr);
  W->SetStream(&S);
  // Every outermost open converts the whole file: the queries are asked
  // during the job, which converts once.
  W->Init();
  const bool Valid = W->Valid();
  const int64_t Frames = W->SampleCount();
  const int FrameBytes = W->InChannels() * W->InBitsPerSample() / 8;
  (void)W->TotalTime();
  (void)W->WavType();
  static uint8_t Buf[20000];
  int64_t Got = 0;
  for (int N; (N = W->GetData(Buf, 17851)) > 0;) Got += N;
  W->Flush();
  if (Valid && Got != static_cast<int64_t>(Frames) * FrameBytes) std::abort();
  if (!Valid && Got != 0) std::abort();
  if (Valid && Size > 0) ReadPickedRange(*W, Data, Size, Frames);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static const bool Installed = [] {
    InstallMpegLayer3AcmDriver();
    return true;
  }();
  (void)Installed;
  ReadWave(Data, Size);
  if (Size >= 2) {
    constexpr uint32_t Rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
    const std::vector<uint8_t> W = Wrap(1 + (Data[0] & 1), Rates[Data[1] % 9], Data + 2, Size - 2);
    ReadWave(W.data(), W.size());
  }
  return 0;
}
