// The WAV writer's two kinds of step: encoding one IMA ADPCM block, and a whole
// PCM job (16384-byte steps) from memory into a file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "wave/AdpcmCodec.h"
#include "wave/WaveOut.h"

namespace {

std::vector<int16_t> Sine(size_t Samples, int Channels) {
  std::vector<int16_t> S(Samples);
  for (size_t I = 0; I < Samples; ++I) {
    const double T = static_cast<double>(I / static_cast<size_t>(Channels)) / 44100.0;
    S[I] = static_cast<int16_t>(16000 * std::sin(2 * M_PI * (440 + 220 * (I % Channels)) * T) +
                                static_cast<int>((I * 2654435761u) >> 27) - 16);
  }
  return S;
}

// Encodes consecutive blocks of a sine, as a job would. Items are samples.
void BM_EncodeImaBlock(benchmark::State& St) {
  const int Channels = static_cast<int>(St.range(0));
  const int BlockSize = static_cast<int>(St.range(1));
  const int Spb = ImaSamplesPerBlock(BlockSize, Channels);
  const int Blocks = 64;
  const auto S = Sine(static_cast<size_t>(Spb) * Channels * Blocks, Channels);
  std::vector<uint8_t> Out(static_cast<size_t>(BlockSize));
  uint8_t Index[2] = {0, 0};
  int B = 0;
  for (auto _ : St) {
    EncodeImaBlock(S.data() + static_cast<size_t>(B) * Spb * Channels, Channels, BlockSize, Index,
                   Out.data());
    benchmark::DoNotOptimize(Out.data());
    B = (B + 1) % Blocks;
  }
  St.SetItemsProcessed(St.iterations() * Spb * Channels);
}
BENCHMARK(BM_EncodeImaBlock)->Args({1, 512})->Args({2, 1024})->Args({2, 4096});

// PCM held in memory, handed out in the sizes asked for.
class TBenchSource : public TACSInput {
 public:
  explicit TBenchSource(TComponent* AOwner) : TACSInput(AOwner) {}
  std::vector<uint8_t> Data;
  int InBitsPerSample() override { return 16; }
  int InChannels() override { return 2; }
  int InSampleRate() override { return 44100; }
  int GetData(void* Buffer, int BufferSize) override {
    const size_t N = std::min(static_cast<size_t>(BufferSize), Data.size() - FRead);
    std::memcpy(Buffer, Data.data() + FRead, N);
    FRead += N;
    FPosition += static_cast<int64_t>(N);
    return static_cast<int>(N);
  }
  void Init() override {
    FRead = 0;
    FPosition = 0;
    FSize = static_cast<int64_t>(Data.size());
    FBusy = true;
  }
  void Flush() override { FBusy = false; }

 private:
  size_t FRead = 0;
};

// A whole PCM job: Run, the worker's 16384-byte steps into a file in /tmp,
// Done. Bytes are those of the input.
void BM_WaveOutPcmJob(benchmark::State& St) {
  const size_t Bytes = static_cast<size_t>(St.range(0)) << 20;
  auto In = MakeComponent<TBenchSource>(nullptr);
  const auto S = Sine(Bytes / 2, 2);
  In->Data.resize(Bytes);
  std::memcpy(In->Data.data(), S.data(), Bytes);
  auto Out = MakeComponent<TWaveOut>(nullptr);
  Out->SetInput(In.get());
  const std::string Name = "/tmp/velmora-waveout-bench-" + std::to_string(::getpid()) + ".wav";
  Out->SetFileName(Name);
  std::atomic<bool> Ended{false};
  std::string Error;
  Out->OnDone = [&](TComponent*) { Ended = true; };
  Out->OnThreadException = [&](TComponent*, const std::exception& E) {
    Error = E.what();
    Ended = true;
  };
  for (auto _ : St) {
    Ended = false;
    Out->Run();
    while (!Ended.load()) std::this_thread::yield();
    while (Out->Busy()) std::this_thread::yield();
    if (!Error.empty()) {
      St.SkipWithError(Error.c_str());
      break;
    }
  }
  St.SetBytesProcessed(static_cast<int64_t>(St.iterations()) * static_cast<int64_t>(Bytes));
  std::remove(Name.c_str());
}
BENCHMARK(BM_WaveOutPcmJob)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
