// TSoundIndicator: pass-through, the band values against a direct transform,
// short blocks, and the reader running beside the analysis.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstring>
#include <thread>

#include "engine/ACS_Indicator.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {

// The bands after analysing Blocks one after the other, computed the slow and
// obvious way: a direct 64-point transform per chunk.
std::vector<double> DirectBands(const std::vector<std::vector<uint8_t>>& Blocks, int Bits,
                                int Channels) {
  std::vector<double> Bands(32, 0.0);
  for (const std::vector<uint8_t>& B : Blocks) {
    const int Frames = static_cast<int>(B.size()) / (Bits / 8 * Channels);
    const int Chunks = Frames / 64;
    if (Chunks == 0) continue;
    auto Sample = [&](int Frame, int Ch) -> double {
      const size_t I = static_cast<size_t>(Frame * Channels + Ch);
      if (Bits == 8) return B[I];
      int16_t S;
      std::memcpy(&S, &B[I * 2], 2);
      return S;
    };
    for (int C = 0; C < Chunks; ++C) {
      double X[64];
      for (int K = 0; K < 64; ++K) {
        const int F = C * 64 + K;
        const double V = Channels == 1 ? Sample(F, 0) : (Sample(F, 0) + Sample(F, 1)) / 2;
        X[K] = V * (1 - std::cos(2 * M_PI * K / 1023)) / 2;
      }
      for (int J = 0; J < 32; ++J) {
        std::complex<double> Sum = 0;
        for (int K = 0; K < 64; ++K) Sum += X[K] * std::polar(1.0, -2 * M_PI * J * K / 64);
        const double M = std::abs(Sum / 64.0);
        const double L = M > 0 ? std::log10(M) : 0;
        Bands[static_cast<size_t>(J)] += L > 0 ? L : 0;
      }
    }
    for (double& V : Bands) V /= Chunks;
  }
  for (double& V : Bands) V *= 20;
  return Bands;
}

std::vector<uint8_t> Bytes16(const std::vector<int16_t>& S) {
  std::vector<uint8_t> B(S.size() * 2);
  std::memcpy(B.data(), S.data(), B.size());
  return B;
}

class SoundIndicator : public ::testing::Test {
 protected:
  void SetUp() override {
    Src = MakeComponent<TMemorySource>(nullptr);
    Ind = MakeComponent<TSoundIndicator>(nullptr);
    Ind->SetInput(Src.get());
  }
  // Passes Blocks through the indicator (each in one GetData) and returns the
  // values read afterwards.
  std::vector<double> RunBlocks(const std::vector<std::vector<uint8_t>>& Blocks, int Bits,
                                int Channels) {
    Src->Bits = Bits;
    Src->Channels = Channels;
    Src->Data.clear();
    for (const auto& B : Blocks) Src->Data.insert(Src->Data.end(), B.begin(), B.end());
    Ind->Init();
    std::vector<uint8_t> Out(1 << 20);
    for (const auto& B : Blocks) {
      Src->MaxChunk = static_cast<int>(B.size());
      EXPECT_EQ(Ind->GetData(Out.data(), static_cast<int>(Out.size())), static_cast<int>(B.size()));
    }
    Ind->Flush();
    double V[32];
    Ind->GetValues(V);
    return std::vector<double>(V, V + 32);
  }
  void ExpectNear(const std::vector<double>& Got, const std::vector<double>& Want) {
    ASSERT_EQ(Got.size(), Want.size());
    for (size_t I = 0; I < Got.size(); ++I)
      EXPECT_NEAR(Got[I], Want[I], 1e-9 * (1 + std::fabs(Want[I]))) << "band " << I;
  }

  TOwned<TMemorySource> Src;
  TOwned<TSoundIndicator> Ind;
};

}  // namespace

TEST_F(SoundIndicator, SilenceGivesZeroInEveryBand) {
  const std::vector<double> V = RunBlocks({std::vector<uint8_t>(16384, 0)}, 16, 2);
  for (double X : V) EXPECT_EQ(X, 0.0);
}

TEST_F(SoundIndicator, BandsMatchADirectTransformForEveryFormat) {
  const auto S16 = MakeSignal16(4096, 2, 44100, 0.8);
  ExpectNear(RunBlocks({Bytes16(S16)}, 16, 2), DirectBands({Bytes16(S16)}, 16, 2));
  const auto M16 = Bytes16(MakeSignal16(3000, 1, 8000, 0.3));  // 46 chunks and a remainder
  ExpectNear(RunBlocks({M16}, 16, 1), DirectBands({M16}, 16, 1));
  const auto S8 = MakeSignal8(1500, 2, 11025);
  ExpectNear(RunBlocks({S8}, 8, 2), DirectBands({S8}, 8, 2));
  const auto M8 = MakeSignal8(16384, 1, 22050);
  ExpectNear(RunBlocks({M8}, 8, 1), DirectBands({M8}, 8, 1));
}

TEST_F(SoundIndicator, ValuesAverageOverTheBlocksSinceTheLastRead) {
  const auto A = Bytes16(MakeSignal16(4096, 2, 44100, 0.9));
  const auto B = Bytes16(MakeSignal16(700, 2, 44100, 0.1));
  const std::vector<double> V = RunBlocks({A, B}, 16, 2);
  ExpectNear(V, DirectBands({A, B}, 16, 2));
  // Reading cleared the bands.
  double Again[32];
  Ind->GetValues(Again);
  for (double X : Again) EXPECT_EQ(X, 0.0);
}

TEST_F(SoundIndicator, BlockShorterThanOneChunkLeavesTheBandsUnchanged) {
  const auto A = Bytes16(MakeSignal16(2048, 2, 44100, 0.7));
  const auto Short = Bytes16(MakeSignal16(63, 2, 44100, 0.7));
  const std::vector<double> V = RunBlocks({A, Short}, 16, 2);
  for (double X : V) EXPECT_TRUE(std::isfinite(X));
  ExpectNear(V, DirectBands({A}, 16, 2));
}

TEST_F(SoundIndicator, PassesTheBytesUnchangedWithTheSizeAndPositionOfItsInput) {
  const auto S = Bytes16(MakeSignal16(10000, 2, 44100));
  Src->Data = S;
  Src->MaxChunk = 3333;
  Ind->Init();
  EXPECT_EQ(Ind->Size(), static_cast<int64_t>(S.size()));
  std::vector<uint8_t> Got, Buf(5000);
  while (int N = Ind->GetData(Buf.data(), 5000)) {
    Got.insert(Got.end(), Buf.begin(), Buf.begin() + N);
    EXPECT_EQ(Ind->Position(), Src->Position());
  }
  EXPECT_EQ(Got, S);
  Ind->Flush();
  EXPECT_FALSE(Ind->Busy());
  EXPECT_FALSE(Src->Busy());
}

TEST_F(SoundIndicator, ErrorsUseTheirMessages) {
  auto Lone = MakeComponent<TSoundIndicator>(nullptr);
  auto Msg = [](const std::function<void()>& F) -> std::string {
    try {
      F();
    } catch (const EACSException& E) {
      return E.what();
    }
    return "(no error)";
  };
  EXPECT_EQ(Msg([&] { Lone->InBitsPerSample(); }), "Input is not assigned.");
  EXPECT_EQ(Msg([&] { Lone->InChannels(); }), "Input is not assigned.");
  EXPECT_EQ(Msg([&] { Lone->InSampleRate(); }), "Input is not assigned.");
  EXPECT_EQ(Msg([&] { Lone->Init(); }), "Input is not assigned.");
  uint8_t B[4];
  EXPECT_EQ(Msg([&] { Ind->GetData(B, 4); }), "The Stream is not opened");
  Src->Bits = 8;
  Src->Channels = 1;
  Src->Rate = 11025;
  EXPECT_EQ(Ind->InBitsPerSample(), 8);
  EXPECT_EQ(Ind->InChannels(), 1);
  EXPECT_EQ(Ind->InSampleRate(), 11025);
}

TEST_F(SoundIndicator, ReaderAndAnalysisRunSideBySide) {
  // The worker passes data while another thread reads the bands: the data is
  // untouched, every value read is finite and a loud signal shows. The worker
  // takes the next block only once the reader has read since the last one, so
  // the reads fall among the blocks however the threads are scheduled.
  const auto S = Bytes16(MakeSignal16(44100 * 4, 2, 44100, 0.9));
  Src->Data = S;
  Ind->Init();
  std::atomic<bool> Stop{false};
  std::atomic<int> Reads{0}, Loud{0}, Bad{0};
  std::thread Reader([&] {
    double V[32];
    while (!Stop) {
      Ind->GetValues(V);
      if (V[0] > 1) ++Loud;
      for (double X : V)
        if (!std::isfinite(X)) ++Bad;
      ++Reads;
    }
  });
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool ReaderKeptUp = true;
  int Blocks = 0;
  std::vector<uint8_t> Got, Buf(16384);
  for (;;) {
    const int N = Ind->GetData(Buf.data(), 16384);
    if (N == 0) break;
    Got.insert(Got.end(), Buf.begin(), Buf.begin() + N);
    ++Blocks;
    // The first read counted from here may have ended before the block was
    // measured; the second began after it.
    const int Before = Reads;
    while (Reads < Before + 2 && ReaderKeptUp) {
      if (std::chrono::steady_clock::now() > Until) ReaderKeptUp = false;
      std::this_thread::yield();
    }
  }
  Stop = true;
  Reader.join();
  Ind->Flush();
  ASSERT_TRUE(ReaderKeptUp) << "the reader did not keep up within 60 s";
  EXPECT_EQ(Got, S);
  EXPECT_GE(Reads, 2 * Blocks);
  EXPECT_EQ(Bad, 0);
  EXPECT_GT(Loud, 0);
}
