// The WAV reader's work: decoding IMA and Microsoft ADPCM blocks, and a whole
// PCM file read through TWaveIn::GetData in 16384-byte pieces.
//
// x_realtime is how many seconds of 44.1 kHz stereo audio one second of
// decoding produces.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Streams.h"
#include "wave/AdpcmCodec.h"
#include "wave/WaveIn.h"

namespace {

// Blocks of pseudo-random nibbles behind sane headers: decoding cost does not
// depend on what the nibbles say.
std::vector<uint8_t> NoiseBlocks(int Blocks, int BlockAlign) {
  std::vector<uint8_t> B(static_cast<size_t>(Blocks) * BlockAlign);
  uint32_t Seed = 2463534242u;
  for (uint8_t& X : B) {
    Seed ^= Seed << 13;
    Seed ^= Seed >> 17;
    Seed ^= Seed << 5;
    X = static_cast<uint8_t>(Seed);
  }
  return B;
}

void SetRealtime(benchmark::State& St, int64_t Frames) {
  St.SetItemsProcessed(Frames);
  St.counters["x_realtime"] =
      benchmark::Counter(static_cast<double>(Frames) / 44100.0, benchmark::Counter::kIsRate);
}

// Items are sample frames.
void BM_DecodeImaBlock(benchmark::State& St) {
  const int Channels = static_cast<int>(St.range(0));
  const int BlockAlign = static_cast<int>(St.range(1));
  const int Blocks = 64;
  std::vector<uint8_t> In = NoiseBlocks(Blocks, BlockAlign);
  for (int K = 0; K < Blocks; ++K)
    for (int C = 0; C < Channels; ++C) In[static_cast<size_t>(K) * BlockAlign + 4 * C + 2] = 40;
  const int Frames = ImaDecodedFrames(BlockAlign, Channels);
  std::vector<int16_t> Out(static_cast<size_t>(Frames) * Channels);
  int K = 0;
  for (auto _ : St) {
    DecodeImaBlock(In.data() + static_cast<size_t>(K) * BlockAlign, BlockAlign, Channels,
                   Out.data());
    benchmark::DoNotOptimize(Out.data());
    K = (K + 1) % Blocks;
  }
  SetRealtime(St, St.iterations() * Frames);
}
BENCHMARK(BM_DecodeImaBlock)->Args({1, 512})->Args({2, 1024})->Args({2, 2048});

void BM_DecodeMsBlock(benchmark::State& St) {
  const int Channels = static_cast<int>(St.range(0));
  const int BlockAlign = static_cast<int>(St.range(1));
  const int Spb = (BlockAlign - 7 * Channels) * 2 / Channels + 2;
  const int Blocks = 64;
  std::vector<uint8_t> In = NoiseBlocks(Blocks, BlockAlign);
  for (int K = 0; K < Blocks; ++K) {
    uint8_t* H = In.data() + static_cast<size_t>(K) * BlockAlign;
    for (int C = 0; C < Channels; ++C) {
      H[C] = static_cast<uint8_t>(H[C] % 7);  // predictor index
      H[Channels + 2 * C] = 64;               // delta, low byte
      H[Channels + 2 * C + 1] = 0;
    }
  }
  const TMsCoefficients Table = StandardMsCoefficients();
  const int Frames = MsDecodedFrames(BlockAlign, Channels, Spb);
  std::vector<int16_t> Out(static_cast<size_t>(Frames) * Channels);
  int K = 0;
  for (auto _ : St) {
    DecodeMsBlock(In.data() + static_cast<size_t>(K) * BlockAlign, BlockAlign, Channels, Spb, Table,
                  Out.data());
    benchmark::DoNotOptimize(Out.data());
    K = (K + 1) % Blocks;
  }
  SetRealtime(St, St.iterations() * Frames);
}
BENCHMARK(BM_DecodeMsBlock)->Args({1, 512})->Args({2, 1024})->Args({2, 2048});

// A 30-second 44.1 kHz stereo PCM file, read whole through GetData. The file
// stays in the page cache, so this measures the reader, not the disk.
void BM_ReadPcmWav(benchmark::State& St) {
  char Name[] = "/tmp/velmora-wave-bench-XXXXXX";
  const int Fd = mkstemp(Name);
  if (Fd < 0) {
    St.SkipWithError("cannot create a temporary file");
    return;
  }
  close(Fd);
  const uint32_t DataBytes = 30u * 44100u * 4u;
  {
    std::vector<uint8_t> F(44 + static_cast<size_t>(DataBytes));
    auto Put32 = [&](size_t At, uint32_t V) { std::memcpy(&F[At], &V, 4); };
    std::memcpy(&F[0], "RIFF", 4);
    Put32(4, DataBytes + 36);
    std::memcpy(&F[8], "WAVEfmt ", 8);
    const uint8_t Fmt[16] = {16, 0, 0, 0, 1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 0x02, 0};
    std::memcpy(&F[16], Fmt, 16);
    const uint8_t Tail[4] = {4, 0, 16, 0};
    std::memcpy(&F[32], Tail, 4);
    std::memcpy(&F[36], "data", 4);
    Put32(40, DataBytes);
    for (size_t I = 44; I < F.size(); ++I) F[I] = static_cast<uint8_t>(I * 7);
    TFileStream Out(Name, TFileMode::fmCreate);
    Out.WriteBuffer(F.data(), static_cast<int64_t>(F.size()));
  }
  auto W = MakeComponent<TWaveIn>(nullptr);
  W->SetFileName(Name);
  std::vector<uint8_t> Buf(16384);
  int64_t Bytes = 0;
  for (auto _ : St) {
    W->Init();
    int N;
    while ((N = W->GetData(Buf.data(), static_cast<int>(Buf.size()))) > 0) Bytes += N;
    W->Flush();
  }
  std::remove(Name);
  St.SetBytesProcessed(Bytes);
  SetRealtime(St, Bytes / 4);
}
BENCHMARK(BM_ReadPcmWav)->Unit(benchmark::kMillisecond);

}  // namespace
