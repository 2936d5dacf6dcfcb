// The two-input mixer against independent references: its arithmetic written
// out here, sox for joining files and for converting formats; its life cycle
// and refusals; and the second input coming and going while a job runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "engine/ACS_AudioMix.h"
#include "tests/support/TestSupport.h"
#include "wave/ACS_Wave.h"

using testing_support::Quote;
using testing_support::ReadFileBytes;
using testing_support::ReadPcm16Wav;
using testing_support::TempDir;
using testing_support::TMemorySource;

// Every allocation of the process (the resampling library's included) passes
// here, and is counted while a thread asks for it. Sanitizer builds keep
// their own allocator.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VELMORA_COUNT_ALLOCATIONS 1
namespace {
thread_local bool GCountAllocations = false;
int GAllocations = 0;  // the counting thread's
}  // namespace
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void* malloc(size_t Bytes) {
  if (GCountAllocations) ++GAllocations;
  return __libc_malloc(Bytes);
}
void* calloc(size_t Count, size_t Bytes) {
  if (GCountAllocations) ++GAllocations;
  return __libc_calloc(Count, Bytes);
}
void* realloc(void* P, size_t Bytes) {
  if (GCountAllocations) ++GAllocations;
  return __libc_realloc(P, Bytes);
}
void* memalign(size_t Align, size_t Bytes) {
  if (GCountAllocations) ++GAllocations;
  return __libc_memalign(Align, Bytes);
}
void* aligned_alloc(size_t Align, size_t Bytes) { return memalign(Align, Bytes); }
int posix_memalign(void** P, size_t Align, size_t Bytes) {
  *P = memalign(Align, Bytes);
  return *P ? 0 : ENOMEM;
}
}
#endif

namespace {

// ---------------------------------------------------------------- references

// What the mixer must give for one pair of 16-bit samples: each scaled by its
// volume (rounded to nearest, ties to even), then averaged toward zero.
int16_t Mixed16(int16_t A, int16_t B, int V1, int V2) {
  const long X = std::lrint(V1 / 255.0 * A);
  const long Y = std::lrint(V2 / 255.0 * B);
  return static_cast<int16_t>((X + Y) / 2);
}

uint8_t Mixed8(uint8_t A, uint8_t B, int V1, int V2) {
  const long X = std::lrint(V1 / 255.0 * (A - 128));
  const long Y = std::lrint(V2 / 255.0 * (B - 128));
  return static_cast<uint8_t>((X + Y) / 2 + 128);
}

// The samples of a PCM WAV file of any sample size, as written (bytes).
std::vector<uint8_t> DataBytes(const std::string& Name, int* Bits = nullptr) {
  const std::vector<uint8_t> F = ReadFileBytes(Name);
  size_t P = 12;
  while (P + 8 <= F.size()) {
    const uint32_t Len = F[P + 4] | F[P + 5] << 8 | F[P + 6] << 16 | uint32_t(F[P + 7]) << 24;
    if (!std::memcmp(&F[P], "fmt ", 4) && Bits) *Bits = F[P + 22] | F[P + 23] << 8;
    if (!std::memcmp(&F[P], "data", 4)) {
      const size_t N = std::min<size_t>(Len, F.size() - P - 8);
      return std::vector<uint8_t>(F.begin() + static_cast<long>(P + 8),
                                  F.begin() + static_cast<long>(P + 8 + N));
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
  // A sox-made WAV file: Synth is the synth effect's arguments.
  std::string Sox(const std::string& Name, int Rate, int Bits, int Channels,
                  const std::string& Synth) {
    const std::string Path = Dir.Path(Name);
    const std::string Cmd = "sox -R -n -r " + std::to_string(Rate) + " -b " + std::to_string(Bits) +
                            " -c " + std::to_string(Channels) + " " + Quote(Path) + " synth " +
                            Synth + " 2>&1";
    std::string Out;
    if (testing_support::Run(Cmd, &Out) != 0) throw std::runtime_error(Cmd + ": " + Out);
    return Path;
  }
  // Runs In1 + In2 -> Out through TWaveIn, TAudioMixer and TWaveOut; "" or
  // the failure's message.
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
    LastSize = -2;
    W->OnDone = [&](TComponent*) {};
    const std::string Error = testing_support::RunJob(*W);
    LastSize = M->Size();
    EXPECT_FALSE(M->Busy());
    EXPECT_FALSE(A->Busy());
    EXPECT_FALSE(B->Busy());
    return Error;
  }
  TempDir Dir;
  int64_t LastSize = -2;  // the mixer's Size in the last MixFiles
};

// ---------------------------------------------------------------- arithmetic

TEST_F(AudioMix, MixOfTwoFilesEqualsTheArithmeticSampleForSample) {
  // Loud material, so that the volumes' rounding and the averaging of large
  // values of both signs are all met; the second file is shorter.
  const std::string A = Sox("a.wav", 44100, 16, 2, "1.5 sine 300 pinknoise vol 0.9");
  const std::string B = Sox("b.wav", 44100, 16, 2, "1 sine 1000 whitenoise vol 0.95");
  const std::vector<int16_t> SA = ReadPcm16Wav(A), SB = ReadPcm16Wav(B);
  for (auto [V1, V2] : {std::pair{255, 255}, std::pair{200, 77}, std::pair{3, 254}}) {
    const std::string Out = Dir.Path("out.wav");
    ASSERT_EQ(MixFiles(A, B, Out, amMix, V1, V2), "");
    const std::vector<int16_t> M = ReadPcm16Wav(Out);
    ASSERT_EQ(M.size(), SA.size()) << V1 << "/" << V2;
    EXPECT_EQ(LastSize, static_cast<int64_t>(SA.size() * 2));
    size_t Wrong = 0;
    for (size_t I = 0; I < M.size(); ++I) {
      const int16_t Want = Mixed16(SA[I], I < SB.size() ? SB[I] : 0, V1, V2);
      if (M[I] != Want && Wrong++ < 5)
        ADD_FAILURE() << "sample " << I << ": " << M[I] << " != " << Want << " at " << V1 << "/"
                      << V2;
    }
    EXPECT_EQ(Wrong, 0u) << V1 << "/" << V2;
  }
}

TEST_F(AudioMix, ExtremeSamplesAverageWithoutClippingAndAMutedInputHalvesTheOther) {
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto Source = [&](std::vector<int16_t> S) {
    auto* M = new TMemorySource(Owner.get());
    M->Channels = 1;
    M->Data.resize(S.size() * 2);
    std::memcpy(M->Data.data(), S.data(), M->Data.size());
    return M;
  };
  const std::vector<int16_t> X = {32767, 32767, -32768, -32767, 1, -1, 0, 12345};
  const std::vector<int16_t> Y = {32767, -32768, -32768, 0, 0, 0, -32768, 0};
  auto Mix = [&](int V1, int V2) {
    auto* M = new TAudioMixer(Owner.get());
    M->SetInput1(Source(X));
    M->SetInput2(Source(Y));
    M->SetVolume1(static_cast<uint8_t>(V1));
    M->SetVolume2(static_cast<uint8_t>(V2));
    M->Init();
    std::vector<int16_t> Out(X.size() + 4);
    const int N = M->GetData(Out.data(), static_cast<int>(Out.size() * 2));
    EXPECT_EQ(M->GetData(Out.data(), 2), 0);
    M->Flush();
    Out.resize(static_cast<size_t>(N) / 2);
    return Out;
  };
  EXPECT_EQ(Mix(255, 255), (std::vector<int16_t>{32767, 0, -32768, -16383, 0, 0, -16384, 6172}));
  // Input 2 silenced: input 1 at half its level (toward zero).
  EXPECT_EQ(Mix(255, 0), (std::vector<int16_t>{16383, 16383, -16384, -16383, 0, 0, 0, 6172}));
}

TEST_F(AudioMix, TenSecondsAndFourSecondsGiveTenSecondsTheLongerAloneAtHalfLevel) {
  const std::string A = Sox("ten.wav", 8000, 16, 1, "10 sine 440 vol 0.7");
  const std::string B = Sox("four.wav", 8000, 16, 1, "4 sine 660 vol 0.7");
  for (const auto& [First, Second] : {std::pair{A, B}, std::pair{B, A}}) {
    ASSERT_EQ(MixFiles(First, Second, Dir.Path("m.wav"), amMix), "");
    const std::vector<int16_t> M = ReadPcm16Wav(Dir.Path("m.wav"));
    ASSERT_EQ(M.size(), 80000u);
    EXPECT_EQ(LastSize, 160000);
    const std::vector<int16_t> Ten = ReadPcm16Wav(A);
    for (size_t I = 32000; I < M.size(); ++I) ASSERT_EQ(M[I], Ten[I] / 2) << I;
  }
}

TEST_F(AudioMix, EightBitInputsMixAroundTheirMidpointAndShortOnesEndInSilence) {
  const std::string A = Sox("a8.wav", 11025, 8, 2, "2 sine 300 pinknoise vol 0.9");
  const std::string B = Sox("b8.wav", 11025, 8, 2, "1.3 sine 700 vol 0.9");
  const std::vector<uint8_t> SA = DataBytes(A), SB = DataBytes(B);
  ASSERT_EQ(SA.size(), 44100u);
  for (auto [V1, V2] : {std::pair{255, 255}, std::pair{100, 201}}) {
    ASSERT_EQ(MixFiles(A, B, Dir.Path("m8.wav"), amMix, V1, V2), "");
    int Bits = 0;
    const std::vector<uint8_t> M = DataBytes(Dir.Path("m8.wav"), &Bits);
    EXPECT_EQ(Bits, 8);
    ASSERT_EQ(M.size(), SA.size());
    for (size_t I = 0; I < M.size(); ++I)
      ASSERT_EQ(M[I], Mixed8(SA[I], I < SB.size() ? SB[I] : 128, V1, V2)) << I;
  }
}

// ---------------------------------------------------------------- joining, formats

TEST_F(AudioMix, ConcatenationOfOneFormatEqualsSoxByteForByte) {
  for (auto [Rate, Bits, Channels] :
       {std::tuple{44100, 16, 2}, std::tuple{22050, 8, 1}, std::tuple{8000, 16, 1}}) {
    const std::string A = Sox("ca.wav", Rate, Bits, Channels, "1.1 sine 300 pinknoise vol 0.8");
    const std::string B = Sox("cb.wav", Rate, Bits, Channels, "0.7 sine 900 vol 0.8");
    ASSERT_EQ(MixFiles(A, B, Dir.Path("c.wav"), amConcatenate, 10, 10), "");
    ASSERT_EQ(
        testing_support::Run("sox " + Quote(A) + " " + Quote(B) + " " + Quote(Dir.Path("ref.wav"))),
        0);
    EXPECT_EQ(ReadFileBytes(Dir.Path("c.wav")), ReadFileBytes(Dir.Path("ref.wav")))
        << Rate << " Hz " << Bits << " bits " << Channels << " ch";
    EXPECT_EQ(LastSize, static_cast<int64_t>(DataBytes(A).size() + DataBytes(B).size()));
  }
}

TEST_F(AudioMix, ASecondInputOfAnotherFormatBecomesWhatSoxMakesOfIt) {
  struct TCase {
    int Rate1, Bits1, Ch1, Rate2, Bits2, Ch2;
    int Tolerance;  // steps of the output's sample size
  };
  // sox dithers where it reduces or resamples; the mixer rounds. Both resample
  // with the same filter, so they stay within a few steps of each other.
  for (const TCase& C :
       {TCase{44100, 16, 2, 22050, 8, 1, 2}, TCase{22050, 16, 1, 48000, 16, 2, 3},
        TCase{16000, 8, 2, 44100, 16, 1, 2}, TCase{44100, 16, 1, 44100, 8, 2, 1}}) {
    const std::string Label = std::to_string(C.Rate2) + "/" + std::to_string(C.Bits2) + "/" +
                              std::to_string(C.Ch2) + " into " + std::to_string(C.Rate1) + "/" +
                              std::to_string(C.Bits1) + "/" + std::to_string(C.Ch1);
    const std::string A = Sox("fa.wav", C.Rate1, C.Bits1, C.Ch1, "0.9 sine 300 vol 0.6");
    const std::string B = Sox("fb.wav", C.Rate2, C.Bits2, C.Ch2, "1.37 sine 500 sine 3000 vol 0.6");
    const std::string Conv = Dir.Path("fb_conv.wav");
    ASSERT_EQ(testing_support::Run("sox " + Quote(B) + " -r " + std::to_string(C.Rate1) + " -c " +
                                   std::to_string(C.Ch1) + " -b " + std::to_string(C.Bits1) + " " +
                                   Quote(Conv)),
              0);
    const std::vector<uint8_t> RA = DataBytes(A), RB = DataBytes(Conv);

    // Joined: input 1 as it is, then input 2 as sox converts it.
    ASSERT_EQ(MixFiles(A, B, Dir.Path("j.wav"), amConcatenate), "") << Label;
    int Bits = 0;
    const std::vector<uint8_t> J = DataBytes(Dir.Path("j.wav"), &Bits);
    EXPECT_EQ(Bits, C.Bits1) << Label;
    ASSERT_EQ(J.size(), RA.size() + RB.size()) << Label;
    EXPECT_EQ(LastSize, static_cast<int64_t>(J.size())) << Label;
    EXPECT_TRUE(std::equal(RA.begin(), RA.end(), J.begin())) << Label;
    int Worst = 0;
    if (C.Bits1 == 16) {
      for (size_t I = RA.size(); I + 1 < J.size(); I += 2) {
        const int16_t Got = static_cast<int16_t>(J[I] | J[I + 1] << 8);
        const size_t K = I - RA.size();
        const int16_t Want = static_cast<int16_t>(RB[K] | RB[K + 1] << 8);
        Worst = std::max(Worst, std::abs(Got - Want));
      }
    } else {
      for (size_t I = RA.size(); I < J.size(); ++I)
        Worst = std::max(Worst, std::abs(J[I] - RB[I - RA.size()]));
    }
    EXPECT_LE(Worst, C.Tolerance) << Label;

    // Mixed: as long as the longer input (the converted second one here).
    ASSERT_EQ(MixFiles(A, B, Dir.Path("m.wav"), amMix), "") << Label;
    EXPECT_EQ(DataBytes(Dir.Path("m.wav")).size(), std::max(RA.size(), RB.size())) << Label;
  }
}

TEST_F(AudioMix, FormatsThatCannotMeetAreRefusedNamingBothBeforeAnythingIsWritten) {
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* A = new TMemorySource(Owner.get());
  A->Data.assign(8000, 0);
  auto* B = new TMemorySource(Owner.get());
  B->Data.assign(9000, 0);
  B->Bits = 24;
  auto* M = new TAudioMixer(Owner.get());
  M->SetInput1(A);
  M->SetInput2(B);
  auto* W = new TWaveOut(Owner.get());
  W->SetFileName(Dir.Path("never.wav"));
  W->SetInput(M);
  for (int Round = 0; Round < 2; ++Round) {
    M->SetMode(Round == 0 ? amMix : amConcatenate);
    const std::string E = testing_support::RunJob(*W);
    EXPECT_NE(E.find("24 bits, 2 channels, 44100 Hz"), std::string::npos) << E;
    EXPECT_NE(E.find("16 bits, 2 channels, 44100 Hz"), std::string::npos) << E;
    EXPECT_FALSE(std::filesystem::exists(Dir.Path("never.wav")));
    EXPECT_FALSE(M->Busy());
    EXPECT_FALSE(A->Busy());
    EXPECT_EQ(A->InitCount, A->FlushCount);
    EXPECT_EQ(B->InitCount, B->FlushCount);
  }
  // Six channels cannot be brought down to two either; 16-bit mono can be
  // brought up, and the same mixer then works.
  B->Bits = 16;
  B->Channels = 6;
  EXPECT_NE(testing_support::RunJob(*W).find("6 channels"), std::string::npos);
  B->Channels = 1;
  EXPECT_EQ(testing_support::RunJob(*W), "");
  EXPECT_TRUE(std::filesystem::exists(Dir.Path("never.wav")));
}

// ---------------------------------------------------------------- life cycle

TEST_F(AudioMix, AFailedInitLeavesNothingOpenAndTheNextJobRuns) {
  const std::string A = Sox("a.wav", 8000, 16, 1, "0.5 sine 300");
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* In1 = new TWaveIn(Owner.get());
  In1->SetFileName(A);
  auto* Missing = new TWaveIn(Owner.get());
  Missing->SetFileName(Dir.Path("missing.wav"));
  auto* M = new TAudioMixer(Owner.get());
  EXPECT_THROW(
      {
        try {
          M->Init();
        } catch (const EACSException& E) {
          EXPECT_STREQ(E.what(), "Input1 not assigned");
          throw;
        }
      },
      EACSException);
  M->SetInput1(In1);
  try {
    M->Init();
    ADD_FAILURE() << "Init without Input2";
  } catch (const EACSException& E) {
    EXPECT_STREQ(E.what(), "Input2 not assigned");
  }
  EXPECT_FALSE(In1->Busy());
  M->SetInput2(Missing);
  for (TAudioMixerMode Mode : {amMix, amConcatenate, amRTMix}) {
    M->SetMode(Mode);
    EXPECT_ANY_THROW(M->Init()) << Mode;
    // Input1 was opened first; it is closed again and the mixer is idle, so
    // that setting the inputs and starting anew works.
    EXPECT_FALSE(In1->Busy()) << Mode;
    EXPECT_FALSE(M->Busy()) << Mode;
  }
  M->SetMode(amMix);
  auto* Second = new TWaveIn(Owner.get());
  Second->SetFileName(A);
  M->SetInput2(Second);
  M->Init();
  EXPECT_TRUE(M->Busy());
  std::vector<uint8_t> Buf(TAudioMixer::BufferSize);
  int64_t Total = 0;
  while (const int N = M->GetData(Buf.data(), static_cast<int>(Buf.size()))) Total += N;
  EXPECT_EQ(Total, 8000);
  M->Flush();
  EXPECT_FALSE(In1->Busy());
}

TEST_F(AudioMix, TheRulesOfAJobAreKept) {
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* M = new TAudioMixer(Owner.get());
  for (auto Query :
       {&TAudioMixer::InBitsPerSample, &TAudioMixer::InChannels, &TAudioMixer::InSampleRate}) {
    try {
      (M->*Query)();
      ADD_FAILURE() << "a format without Input1";
    } catch (const EACSException& E) {
      EXPECT_STREQ(E.what(), "Input not assigned");
    }
  }
  char Byte;
  try {
    M->GetData(&Byte, 1);
    ADD_FAILURE() << "GetData outside a job";
  } catch (const EACSException& E) {
    EXPECT_STREQ(E.what(), "The Stream is not opened");
  }
  auto* A = new TMemorySource(Owner.get());
  A->Data.assign(1000, 1);
  A->Rate = 22050;
  A->Channels = 1;
  auto* B = new TMemorySource(Owner.get());
  B->Data.assign(300, 2);
  B->Rate = 22050;
  B->Channels = 1;
  M->SetInput1(A);
  M->SetInput2(B);
  EXPECT_EQ(M->InSampleRate(), 22050);
  EXPECT_EQ(M->InChannels(), 1);
  M->SetMode(amConcatenate);
  M->Init();
  EXPECT_EQ(M->Size(), 1300);
  try {
    M->SetInput1(B);
    ADD_FAILURE() << "Input1 swapped during a job";
  } catch (const EACSException& E) {
    EXPECT_STREQ(E.what(), "The component is buisy.");
  }
  try {
    M->SetInput2(A);
    ADD_FAILURE() << "Input2 swapped during a job that is not amRTMix";
  } catch (const EACSException& E) {
    EXPECT_STREQ(E.what(), "The component is not in amFB mode.");
  }
  EXPECT_THROW(M->Init(), EACSException);  // one job at a time
  // Every byte of the first before any of the second, unscaled; once input 2
  // is over the mixer stops asking it.
  std::vector<uint8_t> Out;
  std::vector<uint8_t> Buf(700);
  while (const int N = M->GetData(Buf.data(), static_cast<int>(Buf.size())))
    Out.insert(Out.end(), Buf.begin(), Buf.begin() + N);
  std::vector<uint8_t> Want(1000, 1);
  Want.insert(Want.end(), 300, 2);
  EXPECT_EQ(Out, Want);
  B->FailAfter = 300;  // a further read of input 2 would now raise
  EXPECT_EQ(M->GetData(Buf.data(), 10), 0);
  EXPECT_EQ(M->GetData(Buf.data(), 10), 0);
  EXPECT_EQ(M->Position(), 1300);
  M->Flush();
  EXPECT_FALSE(A->Busy());
  EXPECT_FALSE(B->Busy());
}

TEST_F(AudioMix, AnOutputThatIsOneOfTheInputsIsRefusedAlsoThroughALink) {
  const std::string A = Sox("a.wav", 8000, 16, 1, "0.5 sine 300");
  const std::string B = Sox("b.wav", 8000, 16, 1, "0.5 sine 500");
  const std::vector<uint8_t> BytesA = ReadFileBytes(A), BytesB = ReadFileBytes(B);
  ASSERT_EQ(::symlink(B.c_str(), Dir.Path("link.wav").c_str()), 0);
  for (const std::string& Out : {A, Dir.Path("link.wav")}) {
    const std::string E = MixFiles(A, B, Out, amMix);
    EXPECT_EQ(E, "Input and output are the same file: " + Out);
  }
  EXPECT_EQ(ReadFileBytes(A), BytesA);
  EXPECT_EQ(ReadFileBytes(B), BytesB);
  EXPECT_TRUE(std::filesystem::is_symlink(Dir.Path("link.wav")));
  // Nothing else was made: no part file is left behind.
  const auto Files = std::distance(std::filesystem::directory_iterator(Dir.Dir()),
                                   std::filesystem::directory_iterator());
  EXPECT_EQ(Files, 3);
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
  // What was written before the failure is there, and the header says so.
  const std::vector<uint8_t> F = ReadFileBytes(Dir.Path("partial.wav"));
  ASSERT_GE(F.size(), 44u);
  const uint32_t DataSize = F[40] | F[41] << 8 | F[42] << 16 | uint32_t(F[43]) << 24;
  const uint32_t RiffSize = F[4] | F[5] << 8 | F[6] << 16 | uint32_t(F[7]) << 24;
  EXPECT_EQ(DataSize, F.size() - 44);
  EXPECT_EQ(RiffSize, F.size() - 8);
  EXPECT_GT(DataSize, 0u);
  EXPECT_EQ(DataSize % TAudioMixer::BufferSize, 0u);
}

// (A second input of another sample rate goes through libsoxr, which grows
// its own buffers during the first blocks and at the end; that is not ours.)
TEST_F(AudioMix, NothingIsAllocatedWhileTheJobDeliversEvenWhenConverting) {
#ifndef VELMORA_COUNT_ALLOCATIONS
  GTEST_SKIP() << "the sanitizer's allocator cannot be counted";
#else
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* A = new TMemorySource(Owner.get());
  A->Data.assign(400000, 3);
  auto* B = new TMemorySource(Owner.get());
  B->Data.assign(150000, 200);
  auto* M = new TAudioMixer(Owner.get());
  M->SetInput1(A);
  M->SetInput2(B);
  M->SetVolume2(100);
  for (auto [Mode, Bits, Channels] :
       {std::tuple{amMix, 8, 1}, std::tuple{amConcatenate, 8, 1}, std::tuple{amMix, 16, 2}}) {
    M->SetMode(Mode);
    B->Bits = Bits;
    B->Channels = Channels;
    M->Init();
    std::vector<uint8_t> Buf(16384);
    int64_t Total = 0;
    GAllocations = 0;
    GCountAllocations = true;
    while (const int N = M->GetData(Buf.data(), static_cast<int>(Buf.size()))) Total += N;
    GCountAllocations = false;
    M->Flush();
    EXPECT_EQ(GAllocations, 0) << Mode << " " << Bits;
    EXPECT_EQ(Total, M->Size()) << Mode << " " << Bits;
  }
#endif
}

// ---------------------------------------------------------------- amRTMix

// A source of one constant 16-bit mono value that can hold its reader at
// chosen byte offsets until the test lets it go.
class TGatedSource : public TMemorySource {
 public:
  TGatedSource(TComponent* Owner, int16_t Value, int Blocks) : TMemorySource(Owner) {
    Channels = 1;
    Rate = 8000;
    MaxChunk = TAudioMixer::BufferSize;
    std::vector<int16_t> S(static_cast<size_t>(Blocks) * TAudioMixer::BufferSize / 2, Value);
    Data.resize(S.size() * 2);
    std::memcpy(Data.data(), S.data(), Data.size());
  }
  // The reader stops before delivering the byte at Offset.
  void HoldAt(int64_t Offset) { FHolds.push_back(Offset); }
  // Waits (bounded) until the reader is held; then the test acts and calls
  // Release.
  bool WaitHeld() {
    std::unique_lock<std::mutex> L(FLock);
    return FChanged.wait_for(L, std::chrono::seconds(20), [this] { return FHeld; });
  }
  void Release() {
    std::lock_guard<std::mutex> L(FLock);
    FHeld = false;
    ++FReleased;
    FChanged.notify_all();
  }
  int GetData(void* Buffer, int BufferSize) override {
    {
      std::unique_lock<std::mutex> L(FLock);
      if (FNext < FHolds.size() && Position() >= FHolds[FNext]) {
        ++FNext;
        FHeld = true;
        FChanged.notify_all();
        const size_t Until = FNext;
        FChanged.wait(L, [&] { return FReleased >= Until; });
      }
    }
    return TMemorySource::GetData(Buffer, BufferSize);
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<int64_t> FHolds;
  size_t FNext = 0;  // the next hold (reader's thread, under FLock)
  bool FHeld = false;
  size_t FReleased = 0;
};

// The mixed output of an amRTMix job as runs of one value: (value, blocks).
std::vector<std::pair<int16_t, int>> Runs(const std::vector<int16_t>& S) {
  std::vector<std::pair<int16_t, int>> R;
  const size_t Block = TAudioMixer::BufferSize / 2;
  for (size_t I = 0; I < S.size(); I += Block) {
    for (size_t K = I; K < std::min(S.size(), I + Block); ++K)
      if (S[K] != S[I]) return {{0, -1}};  // a block mixed from two states
    if (!R.empty() && R.back().first == S[I])
      ++R.back().second;
    else
      R.push_back({S[I], 1});
  }
  return R;
}

class RealTimeMix : public AudioMix {
 protected:
  void SetUp() override {}
  // The job's output, read back from its file.
  std::vector<int16_t> Output() { return ReadPcm16Wav(Dir.Path("rt.wav")); }
  TWaveOut* Sink(TComponent* Owner, TAudioMixer* M) {
    auto* W = new TWaveOut(Owner);
    W->SetFileName(Dir.Path("rt.wav"));
    W->SetInput(M);
    return W;
  }
};

TEST_F(RealTimeMix, SwappingInput2DuringAJobKeepsTheJobToTheEndOfInput1) {
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* Voice = new TGatedSource(Owner.get(), 1000, 40);
  auto* First = new TGatedSource(Owner.get(), 3000, 5);
  auto* Second = new TGatedSource(Owner.get(), 5000, 30);
  Voice->HoldAt(10 * TAudioMixer::BufferSize);
  Voice->HoldAt(25 * TAudioMixer::BufferSize);
  auto* M = new TAudioMixer(Owner.get());
  M->SetMode(amRTMix);
  M->SetInput1(Voice);
  M->SetInput2(First);
  TWaveOut* W = Sink(Owner.get(), M);
  std::string Error = "not ended";
  W->OnThreadException = [&](TComponent*, const std::exception& E) { Error = E.what(); };
  W->OnDone = [&](TComponent*) { Error = ""; };
  W->Run();

  // Held before block 10: the first second input ran out after 5 blocks and
  // was let go; a new one is attached.
  ASSERT_TRUE(Voice->WaitHeld());
  EXPECT_EQ(M->Input2(), nullptr);
  EXPECT_EQ(First->FlushCount, 1);
  M->SetInput2(Second);
  Voice->Release();
  // Held before block 25: the second input is taken away mid-way.
  ASSERT_TRUE(Voice->WaitHeld());
  M->SetInput2(nullptr);
  EXPECT_EQ(Second->FlushCount, 1);
  Voice->Release();
  ASSERT_TRUE(W->WaitForEnd(std::chrono::seconds(20)));
  EXPECT_EQ(Error, "");
  EXPECT_EQ(Runs(Output()),
            (std::vector<std::pair<int16_t, int>>{{2000, 5}, {500, 5}, {3000, 15}, {500, 15}}));
  EXPECT_EQ(Voice->FlushCount, 1);
  EXPECT_EQ(Second->InitCount, 1);
}

TEST_F(RealTimeMix, WithoutInput2TheFirstComesAtHalfLevelAndASecondThatRunsOutIsLetGo) {
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* Voice = new TGatedSource(Owner.get(), -3001, 6);
  auto* M = new TAudioMixer(Owner.get());
  M->SetMode(amRTMix);
  M->SetInput1(Voice);
  TWaveOut* W = Sink(Owner.get(), M);
  ASSERT_EQ(testing_support::RunJob(*W), "");
  EXPECT_EQ(Runs(Output()), (std::vector<std::pair<int16_t, int>>{{-1500, 6}}));

  // A longer second input: the job still ends with the first.
  auto* Long = new TGatedSource(Owner.get(), 3001, 9);
  M->SetInput2(Long);
  ASSERT_EQ(testing_support::RunJob(*W), "");
  EXPECT_EQ(Runs(Output()), (std::vector<std::pair<int16_t, int>>{{0, 6}}));
  EXPECT_EQ(Long->FlushCount, 1);
  EXPECT_EQ(M->Input2(), Long);  // only one that runs out is forgotten
}

TEST_F(RealTimeMix, ASwapThatFailsLeavesTheJobRunningWithoutASecondInput) {
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* Voice = new TGatedSource(Owner.get(), 1000, 12);
  Voice->HoldAt(3 * TAudioMixer::BufferSize);
  auto* M = new TAudioMixer(Owner.get());
  M->SetMode(amRTMix);
  M->SetInput1(Voice);
  auto* Missing = new TWaveIn(Owner.get());
  Missing->SetFileName(Dir.Path("missing.wav"));
  auto* Wide = new TGatedSource(Owner.get(), 7, 4);
  Wide->Channels = 6;
  auto* Good = new TGatedSource(Owner.get(), 3000, 100);
  TWaveOut* W = Sink(Owner.get(), M);
  std::string Error = "not ended";
  W->OnThreadException = [&](TComponent*, const std::exception& E) { Error = E.what(); };
  W->OnDone = [&](TComponent*) { Error = ""; };
  W->Run();
  ASSERT_TRUE(Voice->WaitHeld());
  EXPECT_ANY_THROW(M->SetInput2(Missing));  // Init raises with the lock held
  EXPECT_EQ(M->Input2(), nullptr);
  try {
    M->SetInput2(Wide);
    ADD_FAILURE() << "six channels taken";
  } catch (const EACSException& E) {
    EXPECT_NE(std::string(E.what()).find("6 channels"), std::string::npos) << E.what();
  }
  EXPECT_EQ(Wide->InitCount, Wide->FlushCount);
  // The lock was let go every time: the next swap works.
  M->SetInput2(Good);
  Voice->Release();
  ASSERT_TRUE(W->WaitForEnd(std::chrono::seconds(20)));
  EXPECT_EQ(Error, "");
  EXPECT_EQ(Runs(Output()), (std::vector<std::pair<int16_t, int>>{{500, 3}, {2000, 9}}));
}

TEST_F(RealTimeMix, SwapsRacingTheWorkerNeverTearABlockOrLoseAFlush) {
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* Voice = new TGatedSource(Owner.get(), 1000, 300);
  auto* M = new TAudioMixer(Owner.get());
  M->SetMode(amRTMix);
  M->SetInput1(Voice);
  std::vector<TGatedSource*> Seconds;
  for (int16_t V : {3000, 5000, -1000}) Seconds.push_back(new TGatedSource(Owner.get(), V, 3));
  TWaveOut* W = Sink(Owner.get(), M);
  std::atomic<bool> Ended{false};
  W->OnDone = [&](TComponent*) { Ended = true; };
  W->OnThreadException = [&](TComponent*, const std::exception&) { Ended = true; };
  W->Run();
  int Swaps = 0;
  // Swaps from this thread for as long as the job runs; the worker mixes in
  // whichever input it finds, or silence while a swap holds the lock.
  while (!Ended.load()) {
    TGatedSource* S = Seconds[static_cast<size_t>(Swaps) % Seconds.size()];
    M->SetInput2(Swaps % 4 == 3 ? nullptr : S);
    ++Swaps;
  }
  ASSERT_TRUE(W->WaitForEnd(std::chrono::seconds(20)));
  const std::vector<int16_t> Out = Output();
  ASSERT_EQ(Out.size(), 300u * TAudioMixer::BufferSize / 2);
  const auto R = Runs(Out);
  ASSERT_FALSE(R.empty());
  ASSERT_NE(R[0].second, -1) << "a block mixed from two states";
  for (const auto& [Value, Blocks] : R)
    EXPECT_TRUE(Value == 500 || Value == 2000 || Value == 3000 || Value == 0) << Value;
  for (TGatedSource* S : Seconds) {
    EXPECT_EQ(S->InitCount, S->FlushCount);
    EXPECT_FALSE(S->Busy());
  }
  EXPECT_GT(Swaps, 0);
}

}  // namespace
