// The two-input mixer against independent references (its arithmetic written
// out here, sox for joining and converting), its refusals and clean-up, and a
// second input that comes and goes while an amRTMix job runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "engine/ACS_AudioMix.h"
#include "tests/support/TestSupport.h"
#include "wave/ACS_Wave.h"

using testing_support::Quote;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::TMemorySource;

namespace {

// One output sample from two input samples: each scaled by its volume
// (nearest, ties to even), then averaged toward zero; 8-bit around 128.
int Mixed(int A, int B, int V1, int V2, int Bits) {
  const int Mid = Bits == 8 ? 128 : 0;
  const long X = std::lrint(V1 / 255.0 * (A - Mid)), Y = std::lrint(V2 / 255.0 * (B - Mid));
  return static_cast<int>((X + Y) / 2) + Mid;
}

// The samples of a PCM WAV file (8- or 16-bit) and its sample size.
std::vector<int> Samples(const std::string& Name, int* Bits = nullptr) {
  const std::vector<uint8_t> F = ReadFileBytes(Name);
  int B = 16;
  for (size_t P = 12; P + 8 <= F.size();) {
    const uint32_t Len = F[P + 4] | F[P + 5] << 8 | F[P + 6] << 16 | uint32_t(F[P + 7]) << 24;
    if (!std::memcmp(&F[P], "fmt ", 4)) B = F[P + 22];
    if (!std::memcmp(&F[P], "data", 4)) {
      std::vector<int> S;
      for (size_t I = P + 8; I + B / 8 <= std::min<size_t>(F.size(), P + 8 + Len); I += B / 8)
        S.push_back(B == 8 ? F[I] : static_cast<int16_t>(F[I] | F[I + 1] << 8));
      if (Bits) *Bits = B;
      return S;
    }
    P += 8 + Len + (Len & 1);
  }
  return {};
}

class AudioMix : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing_support::HaveTool("sox")) GTEST_SKIP() << "sox is not installed";
  }
  // A sox-made WAV file; Synth: the synth effect's arguments.
  std::string Sox(const std::string& Name, int Rate, int Bits, int Channels,
                  const std::string& Synth) {
    Sh("sox -R -n -r " + std::to_string(Rate) + " -b " + std::to_string(Bits) + " -c " +
       std::to_string(Channels) + " " + Quote(Dir.Path(Name)) + " synth " + Synth);
    return Dir.Path(Name);
  }
  static void Sh(const std::string& Cmd) {
    std::string Out;
    if (testing_support::Run(Cmd + " 2>&1", &Out) != 0) throw std::runtime_error(Cmd + ": " + Out);
  }
  // In1 and In2 through two TWaveIn, the mixer and a TWaveOut into Out: ""
  // or the failure's message. Afterwards nothing of the job may be open.
  std::string MixFiles(const std::string& In1, const std::string& In2, const std::string& Out,
                       TAudioMixerMode Mode, int V1 = 255, int V2 = 255) {
    TOwned<TComponent> Owner(new TComponent(nullptr));
    auto* A = new TWaveIn(Owner.get());
    auto* B = new TWaveIn(Owner.get());
    A->SetFileName(In1);
    B->SetFileName(In2);
    auto* M = new TAudioMixer(Owner.get());
    M->SetInput1(A);
    M->SetInput2(B);
    M->SetMode(Mode);
    M->SetVolume1(static_cast<uint8_t>(V1));
    M->SetVolume2(static_cast<uint8_t>(V2));
    auto* W = new TWaveOut(Owner.get());
    W->SetFileName(Out);
    W->SetInput(M);
    const std::string Error = testing_support::RunJob(*W);
    LastSize = M->Size();
    EXPECT_FALSE(M->Busy() || A->Busy() || B->Busy());
    return Error;
  }
  TempDir Dir;
  int64_t LastSize = -2;  // the mixer's Size in the last MixFiles
};

TEST_F(AudioMix, MixEqualsTheArithmeticSampleForSampleAndLastsAsLongAsTheLongerInput) {
  // Loud noise, so that rounding ties and large values of both signs occur.
  for (int Bits : {16, 8}) {
    const std::string A = Sox("ten.wav", 8000, Bits, 1, "10 sine 300 whitenoise vol 0.9");
    const std::string B = Sox("four.wav", 8000, Bits, 1, "4 sine 700 pinknoise vol 0.95");
    const std::vector<int> SA = Samples(A), SB = Samples(B);
    for (auto [V1, V2] : {std::pair{255, 255}, std::pair{200, 77}, std::pair{3, 254}}) {
      // Either way round: ten seconds.
      for (bool Swap : {false, true}) {
        ASSERT_EQ(MixFiles(Swap ? B : A, Swap ? A : B, Dir.Path("m.wav"), amMix, V1, V2), "");
        int OutBits = 0;
        const std::vector<int> M = Samples(Dir.Path("m.wav"), &OutBits);
        ASSERT_EQ(OutBits, Bits);
        ASSERT_EQ(M.size(), 80000u);
        EXPECT_EQ(LastSize, 80000 * Bits / 8);
        const int Silence = Bits == 8 ? 128 : 0;
        for (size_t I = 0; I < M.size(); ++I) {
          const int X = I < SA.size() ? SA[I] : Silence, Y = I < SB.size() ? SB[I] : Silence;
          ASSERT_EQ(M[I], Swap ? Mixed(Y, X, V1, V2, Bits) : Mixed(X, Y, V1, V2, Bits))
              << I << " at " << V1 << "/" << V2 << ", " << Bits << " bits";
        }
      }
    }
  }
}

TEST_F(AudioMix, ExtremesAverageWithoutClippingAndAMutedInputHalvesTheOther) {
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto Source = [&](std::vector<int16_t> S) {
    auto* M = new TMemorySource(Owner.get());
    M->Data.resize(S.size() * 2);
    std::memcpy(M->Data.data(), S.data(), M->Data.size());
    return M;
  };
  auto Mix = [&](int V2) {
    auto* M = new TAudioMixer(Owner.get());
    M->SetInput1(Source({32767, 32767, -32768, -32767, 1, -1, 0, 12345}));
    M->SetInput2(Source({32767, -32768, -32768, 0, 0, 0, -32768, 0}));
    M->SetVolume2(static_cast<uint8_t>(V2));
    M->Init();
    std::vector<int16_t> Out(12);
    Out.resize(static_cast<size_t>(M->GetData(Out.data(), 24)) / 2);
    EXPECT_EQ(M->GetData(Out.data(), 2), 0);
    M->Flush();
    return Out;
  };
  EXPECT_EQ(Mix(255), (std::vector<int16_t>{32767, 0, -32768, -16383, 0, 0, -16384, 6172}));
  EXPECT_EQ(Mix(0), (std::vector<int16_t>{16383, 16383, -16384, -16383, 0, 0, 0, 6172}));
}

TEST_F(AudioMix, JoiningFilesOfOneFormatEqualsSoxByteForByte) {
  for (auto [Rate, Bits, Channels] : {std::tuple{44100, 16, 2}, std::tuple{22050, 8, 1}}) {
    const std::string A = Sox("ca.wav", Rate, Bits, Channels, "1.1 sine 300 pinknoise vol 0.8");
    const std::string B = Sox("cb.wav", Rate, Bits, Channels, "0.7 sine 900 vol 0.8");
    ASSERT_EQ(MixFiles(A, B, Dir.Path("c.wav"), amConcatenate, 10, 10), "");  // no volume
    Sh("sox " + Quote(A) + " " + Quote(B) + " " + Quote(Dir.Path("ref.wav")));
    EXPECT_EQ(ReadFileBytes(Dir.Path("c.wav")), ReadFileBytes(Dir.Path("ref.wav"))) << Bits;
    EXPECT_EQ(LastSize, static_cast<int64_t>(ReadFileBytes(Dir.Path("c.wav")).size() - 44));
  }
}

TEST_F(AudioMix, ASecondInputOfAnotherFormatBecomesWhatSoxMakesOfIt) {
  // sox dithers where it reduces or resamples, the mixer rounds; both
  // resample with the same library (whose vector code rounds a little
  // differently with the buffers' alignment) and stay within a few steps.
  for (auto [R1, B1, C1, R2, B2, C2] :
       {std::tuple{44100, 16, 2, 22050, 8, 1}, std::tuple{22050, 16, 1, 48000, 16, 2},
        std::tuple{16000, 8, 2, 44100, 16, 1}, std::tuple{44100, 16, 1, 44100, 8, 2}}) {
    const std::string Label = std::to_string(R2) + "/" + std::to_string(B2) + "/" +
                              std::to_string(C2) + " into " + std::to_string(R1);
    const std::string A = Sox("fa.wav", R1, B1, C1, "0.9 sine 300 vol 0.6");
    const std::string B = Sox("fb.wav", R2, B2, C2, "1.37 sine 500 sine 3000 vol 0.6");
    const std::string Conv = Dir.Path("conv.wav");
    Sh("sox " + Quote(B) + " -r " + std::to_string(R1) + " -c " + std::to_string(C1) + " -b " +
       std::to_string(B1) + " " + Quote(Conv));
    const std::vector<int> SA = Samples(A), SC = Samples(Conv);
    // Joined: input 1 as it is, then input 2 as sox converts it, its length
    // exact.
    ASSERT_EQ(MixFiles(A, B, Dir.Path("j.wav"), amConcatenate), "") << Label;
    int Bits = 0;
    const std::vector<int> J = Samples(Dir.Path("j.wav"), &Bits);
    EXPECT_EQ(Bits, B1) << Label;
    ASSERT_EQ(J.size(), SA.size() + SC.size()) << Label;
    EXPECT_EQ(LastSize, static_cast<int64_t>(J.size()) * B1 / 8) << Label;
    EXPECT_TRUE(std::equal(SA.begin(), SA.end(), J.begin())) << Label;
    int Worst = 0;
    for (size_t I = 0; I < SC.size(); ++I)
      Worst = std::max(Worst, std::abs(J[SA.size() + I] - SC[I]));
    EXPECT_LE(Worst, B1 == 16 ? 4 : 2) << Label;
    // Mixed: as long as the longer input, the converted second one here.
    ASSERT_EQ(MixFiles(A, B, Dir.Path("m.wav"), amMix), "") << Label;
    EXPECT_EQ(Samples(Dir.Path("m.wav")).size(), SC.size()) << Label;
  }
}

TEST_F(AudioMix, RefusalsAndFailedStartsLeaveNothingOpenAndNothingWritten) {
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* A = new TMemorySource(Owner.get());
  A->Data.assign(8000, 0);
  auto* B = new TMemorySource(Owner.get());
  B->Data.assign(9000, 0);
  auto* M = new TAudioMixer(Owner.get());
  auto Fails = [&](const std::string& Part) {
    try {
      M->Init();
      M->Flush();
      return ::testing::AssertionFailure() << "Init passed";
    } catch (const std::exception& E) {
      if (std::string(E.what()).find(Part) == std::string::npos)
        return ::testing::AssertionFailure() << E.what();
    }
    if (M->Busy() || A->Busy() || B->Busy()) return ::testing::AssertionFailure() << "left open";
    return ::testing::AssertionSuccess();
  };
  EXPECT_TRUE(Fails("Input1 not assigned"));
  M->SetInput1(A);
  EXPECT_TRUE(Fails("Input2 not assigned"));
  auto* Missing = new TWaveIn(Owner.get());
  Missing->SetFileName(Dir.Path("missing.wav"));
  M->SetInput2(Missing);
  for (TAudioMixerMode Mode : {amMix, amConcatenate, amRTMix}) {
    M->SetMode(Mode);
    EXPECT_TRUE(Fails("missing.wav")) << Mode;  // input 1 was opened first
  }
  M->SetMode(amMix);
  M->SetInput2(B);
  // Formats that cannot meet: both named, before the writer makes a file.
  B->Bits = 24;
  EXPECT_TRUE(
      Fails("Input 2 (24 bits, 2 channels, 44100 Hz) cannot be converted to the format "
            "of input 1 (16 bits, 2 channels, 44100 Hz)"));
  B->Bits = 16;
  B->Channels = 6;
  auto* W = new TWaveOut(Owner.get());
  W->SetFileName(Dir.Path("never.wav"));
  W->SetInput(M);
  EXPECT_NE(testing_support::RunJob(*W).find("6 channels"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(Dir.Path("never.wav")));
  EXPECT_EQ(A->InitCount, A->FlushCount);
  EXPECT_EQ(B->InitCount, B->FlushCount);
  // Mono can be made stereo: the same mixer works now.
  B->Channels = 1;
  EXPECT_EQ(testing_support::RunJob(*W), "");
  EXPECT_TRUE(std::filesystem::exists(Dir.Path("never.wav")));
}

TEST_F(AudioMix, AJobKeepsItsInputsAndItsEnd) {
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* M = new TAudioMixer(Owner.get());
  EXPECT_THROW(M->InSampleRate(), EACSException);  // "Input not assigned"
  char Byte;
  EXPECT_THROW(M->GetData(&Byte, 1), EACSException);  // "The Stream is not opened"
  auto* A = new TMemorySource(Owner.get());
  A->Data.assign(1000, 1);
  auto* B = new TMemorySource(Owner.get());
  B->Data.assign(300, 2);
  M->SetInput1(A);
  M->SetInput2(B);
  M->SetMode(amConcatenate);
  M->Init();
  EXPECT_EQ(M->Size(), 1300);
  const auto Raises = [](auto F, const char* Message) {
    try {
      F();
    } catch (const EACSException& E) {
      return std::string(E.what()) == Message;
    }
    return false;
  };
  EXPECT_TRUE(Raises([&] { M->SetInput1(B); }, "The component is buisy."));
  EXPECT_TRUE(Raises([&] { M->SetInput2(A); }, "The component is not in amFB mode."));
  EXPECT_TRUE(Raises([&] { M->Init(); }, "The component is buisy"));
  // All of the first, then all of the second, unscaled; once the second has
  // ended it is not asked again.
  std::vector<uint8_t> Out, Buf(700);
  while (const int N = M->GetData(Buf.data(), static_cast<int>(Buf.size())))
    Out.insert(Out.end(), Buf.begin(), Buf.begin() + N);
  std::vector<uint8_t> Want(1000, 1);
  Want.insert(Want.end(), 300, 2);
  EXPECT_EQ(Out, Want);
  B->FailAfter = 300;  // a further read of input 2 would raise
  EXPECT_EQ(M->GetData(Buf.data(), 10), 0);
  EXPECT_EQ(M->Position(), 1300);
  M->Flush();
  EXPECT_FALSE(A->Busy() || B->Busy());
}

TEST_F(AudioMix, AnOutputThatIsOneOfTheInputsIsRefusedAlsoThroughALink) {
  const std::string A = Sox("a.wav", 8000, 16, 1, "0.5 sine 300");
  const std::string B = Sox("b.wav", 8000, 16, 1, "0.5 sine 500");
  const std::vector<uint8_t> BytesA = ReadFileBytes(A), BytesB = ReadFileBytes(B);
  ASSERT_EQ(::symlink(B.c_str(), Dir.Path("link.wav").c_str()), 0);
  for (const std::string& Out : {A, Dir.Path("link.wav")})
    EXPECT_EQ(MixFiles(A, B, Out, amMix), "Input and output are the same file: " + Out);
  EXPECT_EQ(ReadFileBytes(A), BytesA);
  EXPECT_EQ(ReadFileBytes(B), BytesB);
  // Nothing else was made: no part file is left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir.Dir()), {}), 3);
}

TEST_F(AudioMix, AReadErrorFailsTheJobAndTheOutputKeepsATrueHeader) {
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* A = new TMemorySource(Owner.get());
  A->Data.assign(200000, 7);
  auto* B = new TMemorySource(Owner.get());
  B->Data.assign(200000, 9);
  B->FailAfter = 70000;
  auto* M = new TAudioMixer(Owner.get());
  M->SetInput1(A);
  M->SetInput2(B);
  auto* W = new TWaveOut(Owner.get());
  W->SetFileName(Dir.Path("partial.wav"));
  W->SetInput(M);
  EXPECT_EQ(testing_support::RunJob(*W), "Simulated read failure");
  EXPECT_EQ(A->FlushCount, A->InitCount);
  EXPECT_EQ(B->FlushCount, B->InitCount);
  const std::vector<uint8_t> F = ReadFileBytes(Dir.Path("partial.wav"));
  ASSERT_GE(F.size(), 44u);
  EXPECT_EQ(F[40] | F[41] << 8 | F[42] << 16 | F[43] << 24, static_cast<int>(F.size() - 44));
  EXPECT_EQ(F[4] | F[5] << 8 | F[6] << 16 | F[7] << 24, static_cast<int>(F.size() - 8));
  EXPECT_EQ((F.size() - 44) % TAudioMixer::BufferSize, 0u);  // the blocks mixed before it
  EXPECT_GT(F.size(), 44u);
}

// ---------------------------------------------------------------- amRTMix

// A source of one constant 16-bit mono value in whole mixer blocks that can
// hold its reader before chosen blocks until the test lets it go.
class TGatedSource : public TMemorySource {
 public:
  TGatedSource(TComponent* Owner, int16_t Value, int Blocks) : TMemorySource(Owner) {
    Channels = 1;
    MaxChunk = TAudioMixer::BufferSize;
    Data.resize(static_cast<size_t>(Blocks) * TAudioMixer::BufferSize);
    for (size_t I = 0; I < Data.size(); I += 2) std::memcpy(&Data[I], &Value, 2);
  }
  void HoldBefore(int Block) { FHolds.push_back(static_cast<int64_t>(Block) * BufferBytes); }
  bool WaitHeld() {
    std::unique_lock<std::mutex> L(FLock);
    return FChanged.wait_for(L, std::chrono::seconds(20), [this] { return FHeld; });
  }
  void Release() {
    std::lock_guard<std::mutex> L(FLock);
    FHeld = false;
    FChanged.notify_all();
  }
  int GetData(void* Buffer, int BufferSize) override {
    std::unique_lock<std::mutex> L(FLock);
    if (FNext < FHolds.size() && Position() >= FHolds[FNext]) {
      ++FNext;
      FHeld = true;
      FChanged.notify_all();
      FChanged.wait(L, [this] { return !FHeld; });
    }
    L.unlock();
    return TMemorySource::GetData(Buffer, BufferSize);
  }

 private:
  static constexpr int64_t BufferBytes = TAudioMixer::BufferSize;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<int64_t> FHolds;
  size_t FNext = 0;
  bool FHeld = false;
};

class RealTimeMix : public ::testing::Test {
 protected:
  // A job of M into a WAV file, started; Error is "" once it ended well.
  void Start(TAudioMixer* M) {
    W = new TWaveOut(Owner.get());
    W->SetFileName(Dir.Path("rt.wav"));
    W->SetInput(M);
    W->OnThreadException = [this](TComponent*, const std::exception& E) {
      Error = E.what();
      Ended = true;
    };
    W->OnDone = [this](TComponent*) { Ended = true; };
    W->Run();
  }
  // The output as runs of one value: (value, blocks); {0, -1} for a block
  // mixed from two states.
  std::vector<std::pair<int, int>> Runs() {
    EXPECT_TRUE(W->WaitForEnd(std::chrono::seconds(20)));
    const std::vector<int> S = Samples(Dir.Path("rt.wav"));
    std::vector<std::pair<int, int>> R;
    for (size_t I = 0; I < S.size(); I += TAudioMixer::BufferSize / 2) {
      for (size_t K = I; K < std::min(S.size(), I + TAudioMixer::BufferSize / 2); ++K)
        if (S[K] != S[I]) return {{0, -1}};
      if (!R.empty() && R.back().first == S[I])
        ++R.back().second;
      else
        R.push_back({S[I], 1});
    }
    return R;
  }
  TempDir Dir;
  TOwned<TComponent> Owner{new TComponent(nullptr)};
  TWaveOut* W = nullptr;
  std::string Error;  // read once the job has ended
  std::atomic<bool> Ended{false};
};

using TRuns = std::vector<std::pair<int, int>>;

TEST_F(RealTimeMix, SecondInputsComeRunOutAndGoWhileTheJobRunsToTheEndOfInput1) {
  auto* Voice = new TGatedSource(Owner.get(), 1000, 40);
  auto* First = new TGatedSource(Owner.get(), 3000, 5);
  auto* Second = new TGatedSource(Owner.get(), 5000, 30);
  Voice->HoldBefore(10);
  Voice->HoldBefore(25);
  auto* M = new TAudioMixer(Owner.get());
  M->SetMode(amRTMix);
  M->SetInput1(Voice);
  M->SetInput2(First);
  Start(M);
  // Before block 10 the first second input has run out (after 5 blocks) and
  // was let go; a new one comes, and goes again before block 25.
  ASSERT_TRUE(Voice->WaitHeld());
  EXPECT_EQ(M->Input2(), nullptr);
  EXPECT_EQ(First->FlushCount, 1);
  M->SetInput2(Second);
  Voice->Release();
  ASSERT_TRUE(Voice->WaitHeld());
  M->SetInput2(nullptr);
  EXPECT_EQ(Second->FlushCount, 1);
  Voice->Release();
  EXPECT_EQ(Runs(), (TRuns{{2000, 5}, {500, 5}, {3000, 15}, {500, 15}}));
  EXPECT_EQ(Error, "");
}

TEST_F(RealTimeMix, ASwapThatFailsLeavesTheJobRunningWithoutASecondInput) {
  auto* Voice = new TGatedSource(Owner.get(), 1000, 12);
  Voice->HoldBefore(3);
  auto* M = new TAudioMixer(Owner.get());
  M->SetMode(amRTMix);
  M->SetInput1(Voice);
  auto* Missing = new TWaveIn(Owner.get());
  Missing->SetFileName(Dir.Path("missing.wav"));
  auto* Wide = new TGatedSource(Owner.get(), 7, 4);
  Wide->Channels = 6;
  auto* Good = new TGatedSource(Owner.get(), 3000, 100);
  Start(M);
  ASSERT_TRUE(Voice->WaitHeld());
  EXPECT_ANY_THROW(M->SetInput2(Missing));  // its Init raises with the lock held
  EXPECT_EQ(M->Input2(), nullptr);
  EXPECT_ANY_THROW(M->SetInput2(Wide));  // six channels
  EXPECT_EQ(Wide->InitCount, Wide->FlushCount);
  // The lock was let go each time: the next swap works. Without a second
  // input, the first came at half level.
  M->SetInput2(Good);
  Voice->Release();
  EXPECT_EQ(Runs(), (TRuns{{500, 3}, {2000, 9}}));
  EXPECT_EQ(Error, "");
}

TEST_F(RealTimeMix, SwapsRacingTheWorkerNeverTearABlockNorLoseAFlush) {
  auto* Voice = new TGatedSource(Owner.get(), 1000, 300);
  auto* M = new TAudioMixer(Owner.get());
  M->SetMode(amRTMix);
  M->SetInput1(Voice);
  std::vector<TGatedSource*> Seconds;
  for (int16_t V : {3000, 5000, -1000}) Seconds.push_back(new TGatedSource(Owner.get(), V, 3));
  Start(M);
  // From this thread for as long as the job runs (a swap may meet its end);
  // the worker mixes whatever it finds, or silence while a swap holds the lock.
  for (size_t I = 0; !Ended.load(); ++I) M->SetInput2(I % 4 == 3 ? nullptr : Seconds[I % 3]);
  const TRuns R = Runs();
  ASSERT_FALSE(R.empty());
  int Blocks = 0;
  for (const auto& [Value, N] : R) {
    EXPECT_TRUE(Value == 500 || Value == 2000 || Value == 3000 || Value == 0) << Value << "/" << N;
    Blocks += N;
  }
  EXPECT_EQ(Blocks, 300);
  for (TGatedSource* S : Seconds) EXPECT_EQ(S->InitCount, S->FlushCount);
  EXPECT_EQ(Error, "");
}

}  // namespace
