// The level meter's analysis of one 16384-byte block of 16-bit stereo (4096
// frames, 64 transforms), as the recording pipeline runs it on every block.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/ACS_Indicator.h"

namespace {

std::vector<int16_t> Tone(int Frames) {
  std::vector<int16_t> S(static_cast<size_t>(Frames) * 2);
  for (int I = 0; I < Frames; ++I) {
    S[2 * I] = static_cast<int16_t>(20000 * std::sin(2 * M_PI * 1000 * I / 44100.0));
    S[2 * I + 1] = static_cast<int16_t>(12000 * std::sin(2 * M_PI * 2500 * I / 44100.0));
  }
  return S;
}

void BM_IndicatorAnalysis16384(benchmark::State& State) {
  TOwned<TSoundIndicator> Ind = MakeComponent<TSoundIndicator>(nullptr);
  const std::vector<int16_t> S = Tone(4096);
  double V[32];
  for (auto _ : State) {
    Ind->Analyse(S.data(), 16384, 16, 2);
    benchmark::ClobberMemory();
  }
  Ind->GetValues(V);
  benchmark::DoNotOptimize(V);
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * 16384);
}
BENCHMARK(BM_IndicatorAnalysis16384);

}  // namespace
