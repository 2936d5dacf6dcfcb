// The WAV writer: header fields, appending, IMA ADPCM blocks, the ends of a job
// (normal, stopped, failed reading, failed writing) and round trips through
// sox and ffmpeg.
#include "wave/WaveOut.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "tests/support/TestSupport.h"
#include "wave/AdpcmCodec.h"
#include "wave/WaveIn.h"

using namespace testing_support;

namespace {

uint32_t Le32(const std::vector<uint8_t>& F, size_t At) {
  return F.at(At) | F.at(At + 1) << 8 | F.at(At + 2) << 16 |
         static_cast<uint32_t>(F.at(At + 3)) << 24;
}
uint16_t Le16(const std::vector<uint8_t>& F, size_t At) {
  return static_cast<uint16_t>(F.at(At) | F.at(At + 1) << 8);
}
std::string Tag(const std::vector<uint8_t>& F, size_t At) {
  return std::string(reinterpret_cast<const char*>(&F.at(At)), 4);
}

std::vector<uint8_t> Bytes(const std::vector<int16_t>& S) {
  std::vector<uint8_t> B(S.size() * 2);
  std::memcpy(B.data(), S.data(), B.size());
  return B;
}

// How a job ended, as its events told it.
struct TJobEnd {
  int DoneCount = 0;
  int ErrorCount = 0;
  bool Failed = false;
  std::string Message;
};

// Runs one job and waits for its end (events arrive on the worker thread, or
// on this one when the job fails to start).
TJobEnd RunJob(TWaveOut& Out) {
  struct TState {
    std::mutex M;  // a wrongly doubled event may still come in below
    TJobEnd End;
  };
  auto St = std::make_shared<TState>();
  Out.OnDone = [St](TComponent*) {
    std::lock_guard<std::mutex> L(St->M);
    ++St->End.DoneCount;
  };
  Out.OnThreadException = [St](TComponent*, const std::exception& E) {
    std::lock_guard<std::mutex> L(St->M);
    ++St->End.ErrorCount;
    St->End.Failed = true;
    St->End.Message = E.what();
  };
  Out.Run();
  if (!Out.WaitForEnd(std::chrono::seconds(60))) throw std::runtime_error("the job did not end");
  // Give a wrongly doubled end event the chance to show.
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  std::lock_guard<std::mutex> L2(St->M);
  return St->End;
}

struct TFixture {
  TOwned<TMemorySource> In = MakeComponent<TMemorySource>(nullptr);
  TOwned<TWaveOut> Out = MakeComponent<TWaveOut>(nullptr);
  TFixture() { Out->SetInput(In.get()); }
  TJobEnd Run() { return RunJob(*Out); }
};

// Checks the sizes a finished file's header gives against the file itself.
void ExpectPcmHeaderTrue(const std::vector<uint8_t>& F) {
  ASSERT_GE(F.size(), 44u);
  EXPECT_EQ(Le32(F, 4), F.size() - 8);
  EXPECT_EQ(Le32(F, 40), F.size() - 44);
}

// Frames: what the fact chunk must count; -1 when every block is full.
void ExpectImaHeaderTrue(const std::vector<uint8_t>& F, int BlockSize, int Spb,
                         int64_t Frames = -1) {
  ASSERT_GE(F.size(), 60u);
  const size_t Data = F.size() - 60;
  EXPECT_EQ(Data % BlockSize, 0u);
  EXPECT_EQ(Le32(F, 4), F.size() - 8);
  EXPECT_EQ(Le32(F, 56), Data);
  EXPECT_EQ(Le32(F, 48), Frames < 0 ? Data / BlockSize * Spb : static_cast<uint64_t>(Frames));
}

// A PCM file laid out unlike our own: junk before RIFF, lower-case names, a
// LIST chunk before "data". Its size fields lie at other offsets.
std::vector<uint8_t> OddPcmFile(const std::vector<uint8_t>& Samples, int Channels, int Rate) {
  std::vector<uint8_t> F = {'J', 'U', 'N', 'K', 'r', 'i', 'f', 'f', 0, 0, 0, 0, 'w', 'a', 'v', 'e'};
  auto P32 = [&F](uint32_t V) {
    for (int I = 0; I < 4; ++I) F.push_back(static_cast<uint8_t>(V >> (8 * I)));
  };
  auto P16 = [&F](uint32_t V) {
    F.push_back(static_cast<uint8_t>(V));
    F.push_back(static_cast<uint8_t>(V >> 8));
  };
  F.insert(F.end(), {'F', 'M', 'T', ' '});
  P32(16);
  P16(1);
  P16(static_cast<uint32_t>(Channels));
  P32(static_cast<uint32_t>(Rate));
  P32(static_cast<uint32_t>(Rate * Channels * 2));
  P16(static_cast<uint32_t>(Channels * 2));
  P16(16);
  F.insert(F.end(), {'L', 'I', 'S', 'T'});
  P32(10);
  F.insert(F.end(), {'I', 'N', 'F', 'O', 'x', 'x', 'x', 'x', 'x', 'x'});
  F.insert(F.end(), {'d', 'a', 't', 'a'});
  P32(static_cast<uint32_t>(Samples.size()));
  F.insert(F.end(), Samples.begin(), Samples.end());
  const uint32_t Riff = static_cast<uint32_t>(F.size() - 4 - 8);
  for (int I = 0; I < 4; ++I) F[8 + I] = static_cast<uint8_t>(Riff >> (8 * I));
  return F;
}

}  // namespace

// ---------------------------------------------------------------- PCM headers

TEST(WaveOutPcm, KnownSizeHeaderHasEveryField) {
  TempDir T;
  TFixture X;
  const auto S = MakeSignal16(10000, 2, 44100);
  X.In->Data = Bytes(S);
  X.Out->SetFileName(T.Path("a.wav"));
  const TJobEnd E = X.Run();
  ASSERT_FALSE(E.Failed) << E.Message;
  const auto F = ReadFileBytes(T.Path("a.wav"));
  const uint32_t Sz = 40000;
  ASSERT_EQ(F.size(), 44u + Sz);
  EXPECT_EQ(Tag(F, 0), "RIFF");
  EXPECT_EQ(Le32(F, 4), Sz + 36);
  EXPECT_EQ(Tag(F, 8), "WAVE");
  EXPECT_EQ(Tag(F, 12), "fmt ");
  EXPECT_EQ(Le32(F, 16), 16u);
  EXPECT_EQ(Le16(F, 20), 1);
  EXPECT_EQ(Le16(F, 22), 2);
  EXPECT_EQ(Le32(F, 24), 44100u);
  EXPECT_EQ(Le32(F, 28), 176400u);
  EXPECT_EQ(Le16(F, 32), 4);
  EXPECT_EQ(Le16(F, 34), 16);
  EXPECT_EQ(Tag(F, 36), "data");
  EXPECT_EQ(Le32(F, 40), Sz);
  EXPECT_EQ(std::vector<uint8_t>(F.begin() + 44, F.end()), X.In->Data);
  EXPECT_EQ(X.In->InitCount, 1);
  EXPECT_EQ(X.In->FlushCount, 1);
}

TEST(WaveOutPcm, UnknownSizeGetsSizesFromTheFileAtDone) {
  TempDir T;
  TFixture X;
  X.In->Bits = 8;
  X.In->Channels = 1;
  X.In->Rate = 22050;
  X.In->Data = MakeSignal8(50001, 1, 22050);
  X.In->UseReportedSize = true;
  X.In->ReportedSize = -1;
  X.In->MaxChunk = 7000;
  X.Out->SetFileName(T.Path("u.wav"));
  const TJobEnd E = X.Run();
  ASSERT_FALSE(E.Failed) << E.Message;
  const auto F = ReadFileBytes(T.Path("u.wav"));
  ASSERT_EQ(F.size(), 44u + 50001);
  ExpectPcmHeaderTrue(F);
  EXPECT_EQ(Le32(F, 28), 22050u);
  EXPECT_EQ(Le16(F, 32), 1);
  EXPECT_EQ(Le16(F, 34), 8);
  EXPECT_EQ(std::vector<uint8_t>(F.begin() + 44, F.end()), X.In->Data);
}

TEST(WaveOutPcm, SecondJobRewritesTheFile) {
  TempDir T;
  TFixture X;
  X.In->Data = Bytes(MakeSignal16(20000, 2, 44100));
  X.Out->SetFileName(T.Path("r.wav"));
  ASSERT_FALSE(X.Run().Failed);
  X.In->Data.resize(400);
  ASSERT_FALSE(X.Run().Failed);
  const auto F = ReadFileBytes(T.Path("r.wav"));
  EXPECT_EQ(F.size(), 444u);
  ExpectPcmHeaderTrue(F);
}

// ---------------------------------------------------------------- 64-bit form

uint64_t Le64(const std::vector<uint8_t>& F, size_t At) {
  return Le32(F, At) | uint64_t{Le32(F, At + 4)} << 32;
}

// The 64-bit layout: "RF64", "ds64" with the sizes, then our own header moved
// up by its 36 bytes, the 32-bit fields all ones.
void ExpectWidePcm(const std::vector<uint8_t>& F, const std::vector<uint8_t>& Samples,
                   int FrameBytes) {
  ASSERT_EQ(F.size(), 80 + Samples.size());
  EXPECT_EQ(Tag(F, 0), "RF64");
  EXPECT_EQ(Le32(F, 4), 0xFFFFFFFFu);
  EXPECT_EQ(Tag(F, 8), "WAVE");
  EXPECT_EQ(Tag(F, 12), "ds64");
  EXPECT_EQ(Le32(F, 16), 28u);
  EXPECT_EQ(Le64(F, 20), F.size() - 8);
  EXPECT_EQ(Le64(F, 28), Samples.size());
  EXPECT_EQ(Le64(F, 36), Samples.size() / FrameBytes);
  EXPECT_EQ(Le32(F, 44), 0u);
  EXPECT_EQ(Tag(F, 48), "fmt ");
  EXPECT_EQ(Tag(F, 72), "data");
  EXPECT_EQ(Le32(F, 76), 0xFFFFFFFFu);
  EXPECT_EQ(std::vector<uint8_t>(F.begin() + 80, F.end()), Samples);
}

int64_t ReadBackFrames(const std::string& Name) {
  auto W = MakeComponent<TWaveIn>(nullptr);
  W->SetFileName(Name);
  return W->Valid() ? W->SampleCount() : -1;
}

TEST(WaveOutWide, KnownAndUnknownLengthsPastTheLimitGiveTheSameRf64File) {
  // The 32-bit limit lowered to 1000 bytes: 4000 bytes of stereo samples.
  TempDir T;
  TFixture X;
  X.In->Data = Bytes(MakeSignal16(1000, 2, 44100));
  X.Out->SetSizeFieldLimit(1000);
  X.Out->SetFileName(T.Path("known.wav"));
  ASSERT_FALSE(X.Run().Failed);
  const auto Known = ReadFileBytes(T.Path("known.wav"));
  ExpectWidePcm(Known, X.In->Data, 4);
  // A length learned only on the way: the samples written so far move up
  // when the limit is reached.
  X.In->UseReportedSize = true;
  X.In->ReportedSize = -1;
  X.In->MaxChunk = 300;
  X.Out->SetFileName(T.Path("unknown.wav"));
  ASSERT_FALSE(X.Run().Failed);
  EXPECT_EQ(ReadFileBytes(T.Path("unknown.wav")), Known);
  EXPECT_EQ(ReadBackFrames(T.Path("unknown.wav")), 1000);

  // One byte below the limit stays a plain file, byte for byte as without it.
  X.In->Data.resize(1000 - 36);
  X.Out->SetFileName(T.Path("plain.wav"));
  ASSERT_FALSE(X.Run().Failed);
  const auto Plain = ReadFileBytes(T.Path("plain.wav"));
  ExpectPcmHeaderTrue(Plain);
  EXPECT_EQ(Tag(Plain, 0), "RIFF");
  X.Out->SetSizeFieldLimit(MaxSizeField);
  X.Out->SetFileName(T.Path("plain2.wav"));
  ASSERT_FALSE(X.Run().Failed);
  EXPECT_EQ(ReadFileBytes(T.Path("plain2.wav")), Plain);

  if (HaveTool("sox") && HaveTool("ffprobe")) {
    std::string Out;
    EXPECT_EQ(0, testing_support::Run("sox --i -s " + Quote(T.Path("unknown.wav")), &Out));
    EXPECT_EQ(Out, "1000\n");
    EXPECT_EQ(
        0, testing_support::Run("ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 " +
                                    Quote(T.Path("unknown.wav")),
                                &Out));
    EXPECT_EQ(Out, "1000\n");
  }
}

TEST(WaveOutWide, RoomKeptForALengthThatNeverCameIsJunkAndServesALaterAppend) {
  // A source that says 6 GB and ends after 2000 bytes: a plain file whose
  // ds64 chunk became "JUNK".
  TempDir T;
  TFixture X;
  X.In->Data = Bytes(MakeSignal16(500, 2, 44100));
  X.In->UseReportedSize = true;
  X.In->ReportedSize = 6000000000;
  X.Out->SetFileName(T.Path("j.wav"));
  ASSERT_FALSE(X.Run().Failed);
  auto F = ReadFileBytes(T.Path("j.wav"));
  ASSERT_EQ(F.size(), 80u + 2000);
  EXPECT_EQ(Tag(F, 0), "RIFF");
  EXPECT_EQ(Le32(F, 4), F.size() - 8);
  EXPECT_EQ(Tag(F, 12), "JUNK");
  EXPECT_EQ(Le32(F, 16), 28u);
  EXPECT_EQ(Le32(F, 76), 2000u);
  EXPECT_EQ(ReadBackFrames(T.Path("j.wav")), 500);

  // Appended past the (lowered) limit, the JUNK chunk becomes the ds64 chunk
  // in place and the first samples stay where they are.
  X.In->ReportedSize = -1;
  X.Out->SetFileMode(foAppend);
  X.Out->SetSizeFieldLimit(3000);
  ASSERT_FALSE(X.Run().Failed);
  F = ReadFileBytes(T.Path("j.wav"));
  std::vector<uint8_t> Both = X.In->Data;
  Both.insert(Both.end(), X.In->Data.begin(), X.In->Data.end());
  ExpectWidePcm(F, Both, 4);
  // And an RF64 file is appended to through its ds64 sizes.
  ASSERT_FALSE(X.Run().Failed);
  Both.insert(Both.end(), X.In->Data.begin(), X.In->Data.end());
  ExpectWidePcm(ReadFileBytes(T.Path("j.wav")), Both, 4);
  EXPECT_EQ(ReadBackFrames(T.Path("j.wav")), 1500);
}

TEST(WaveOutWide, AppendPastTheLimitMovesAForeignLayoutUp) {
  // Junk before "RIFF" and a LIST chunk: everything after "WAVE" moves.
  TempDir T;
  const auto Old = Bytes(MakeSignal16(300, 2, 32000));
  const auto Before = OddPcmFile(Old, 2, 32000);
  WriteFileBytes(T.Path("odd.wav"), Before);
  TFixture X;
  X.In->Rate = 32000;
  X.In->Data = Bytes(MakeSignal16(400, 2, 32000));
  X.Out->SetFileMode(foAppend);
  X.Out->SetSizeFieldLimit(2000);
  X.Out->SetFileName(T.Path("odd.wav"));
  ASSERT_FALSE(X.Run().Failed);
  const auto F = ReadFileBytes(T.Path("odd.wav"));
  ASSERT_EQ(F.size(), Before.size() + 36 + 1600);
  EXPECT_EQ(Tag(F, 4), "RF64");
  EXPECT_EQ(Tag(F, 16), "ds64");
  EXPECT_EQ(Le64(F, 32), 1200u + 1600);
  // "fmt ", LIST and the "data" name as they were, then the old samples.
  const size_t Kept = Before.size() - 16 - 1200 - 4;
  EXPECT_EQ(std::vector<uint8_t>(F.begin() + 52, F.begin() + 52 + Kept),
            std::vector<uint8_t>(Before.begin() + 16, Before.begin() + 16 + Kept));
  EXPECT_EQ(Le32(F, 52 + Kept), 0xFFFFFFFFu);
  EXPECT_EQ(std::vector<uint8_t>(F.begin() + 52 + Kept + 4, F.begin() + 52 + Kept + 4 + 1200), Old);
  EXPECT_EQ(ReadBackFrames(T.Path("odd.wav")), 700);
}

TEST(WaveOutWide, ImaSampleCountPastTheLimitGoesWideBeforeTheBytesDo) {
  // Mono IMA holds about two frames a byte: 5 blocks of 505 frames pass a
  // limit of 2000 while the file stays at 1340 bytes.
  TempDir T;
  TFixture X;
  X.In->Channels = 1;
  X.In->Data = Bytes(MakeSignal16(5 * 505, 1, 44100));
  X.In->UseReportedSize = true;
  X.In->ReportedSize = -1;
  X.Out->SetWavType(wtDVIADPCM);
  X.Out->SetBlockSize(256);
  X.Out->SetSizeFieldLimit(2000);
  X.Out->SetFileName(T.Path("i.wav"));
  ASSERT_FALSE(X.Run().Failed);
  const auto F = ReadFileBytes(T.Path("i.wav"));
  ASSERT_EQ(F.size(), 96u + 5 * 256);
  EXPECT_EQ(Tag(F, 0), "RF64");
  EXPECT_EQ(Le64(F, 20), F.size() - 8);
  EXPECT_EQ(Le64(F, 28), 5u * 256);
  EXPECT_EQ(Le64(F, 36), 5u * 505);
  EXPECT_EQ(Tag(F, 76), "fact");
  EXPECT_EQ(Le32(F, 84), 0xFFFFFFFFu);
  EXPECT_EQ(Tag(F, 88), "data");
  EXPECT_EQ(ReadBackFrames(T.Path("i.wav")), 5 * 505);
}

// ---------------------------------------------------------------- appending

TEST(WaveOutAppend, SamePcmFormatKeepsLayoutAndAddsSamples) {
  TempDir T;
  const std::string Name = T.Path("odd.wav");
  const auto Old = Bytes(MakeSignal16(3000, 2, 32000));
  const auto Before = OddPcmFile(Old, 2, 32000);
  WriteFileBytes(Name, Before);
  const size_t DataSizeAt = Before.size() - Old.size() - 4;

  TFixture X;
  X.In->Rate = 32000;
  X.In->Data = Bytes(MakeSignal16(5000, 2, 32000, 0.3));
  X.Out->SetFileName(Name);
  X.Out->SetFileMode(foAppend);
  const TJobEnd E = X.Run();
  ASSERT_FALSE(E.Failed) << E.Message;

  const auto F = ReadFileBytes(Name);
  ASSERT_EQ(F.size(), Before.size() + X.In->Data.size());
  // Everything before the samples is as it was, but for the two sizes.
  for (size_t I = 0; I < DataSizeAt; ++I)
    if (I < 8 || I >= 12) {
      ASSERT_EQ(F[I], Before[I]) << "header byte " << I;
    }
  EXPECT_EQ(Le32(F, 8), F.size() - 4 - 8);  // RIFF begins at 4
  EXPECT_EQ(Le32(F, DataSizeAt), Old.size() + X.In->Data.size());
  std::vector<uint8_t> Expected = Old;
  Expected.insert(Expected.end(), X.In->Data.begin(), X.In->Data.end());
  EXPECT_EQ(std::vector<uint8_t>(F.begin() + DataSizeAt + 4, F.end()), Expected);
}

TEST(WaveOutAppend, AppendToOwnFileTwiceIsReadBackWhole) {
  TempDir T;
  const std::string Name = T.Path("a.wav");
  TFixture X;
  X.Out->SetFileName(Name);
  X.Out->SetFileMode(foAppend);
  std::vector<int16_t> All;
  for (int Part = 0; Part < 3; ++Part) {
    const auto S = MakeSignal16(4000 + Part * 100, 2, 44100, 0.2 + 0.1 * Part);
    X.In->Data = Bytes(S);
    const TJobEnd E = X.Run();
    ASSERT_FALSE(E.Failed) << E.Message;
    All.insert(All.end(), S.begin(), S.end());
  }
  const auto F = ReadFileBytes(Name);
  ExpectPcmHeaderTrue(F);
  EXPECT_EQ(ReadPcm16Wav(Name), All);
}

TEST(WaveOutAppend, MissingFileIsCreatedWithFreshHeader) {
  TempDir T;
  TFixture X;
  X.In->Data = Bytes(MakeSignal16(1000, 2, 44100));
  X.Out->SetFileName(T.Path("new.wav"));
  X.Out->SetFileMode(foAppend);
  ASSERT_FALSE(X.Run().Failed);
  const auto F = ReadFileBytes(T.Path("new.wav"));
  ASSERT_EQ(F.size(), 44u + 4000);
  ExpectPcmHeaderTrue(F);
  EXPECT_EQ(Tag(F, 36), "data");
}

TEST(WaveOutAppend, ImaAppendContinuesBlocksAndTakesFileFormat) {
  TempDir T;
  const std::string Name = T.Path("ima.wav");
  TFixture X;
  X.In->Channels = 1;
  X.In->Data = Bytes(MakeSignal16(1017 * 2 + 5, 1, 44100));
  X.Out->SetFileName(Name);
  X.Out->SetWavType(wtDVIADPCM);
  X.Out->SetBlockSize(256);
  ASSERT_FALSE(X.Run().Failed);
  const int Spb = 2 * (256 - 4) + 1;
  const size_t FirstBlocks = (1017 * 2 + 5 + Spb - 1) / Spb;
  ExpectImaHeaderTrue(ReadFileBytes(Name), 256, Spb, 1017 * 2 + 5);

  // A second writer set to PCM and another block size takes the file's.
  auto Out2 = MakeComponent<TWaveOut>(nullptr);
  Out2->SetInput(X.In.get());
  Out2->SetFileName(Name);
  Out2->SetFileMode(foAppend);
  Out2->SetBlockSize(1024);
  X.In->Data = Bytes(MakeSignal16(Spb * 3, 1, 44100));
  const TJobEnd E = RunJob(*Out2);
  ASSERT_FALSE(E.Failed) << E.Message;
  EXPECT_EQ(Out2->WavType(), wtDVIADPCM);
  EXPECT_EQ(Out2->BlockSize(), 256);
  const auto F = ReadFileBytes(Name);
  EXPECT_EQ(F.size(), 60 + (FirstBlocks + 3) * 256);
  ExpectImaHeaderTrue(F, 256, Spb);
  // The first appended block's predictor is the first appended sample.
  EXPECT_EQ(static_cast<int16_t>(Le16(F, 60 + FirstBlocks * 256)),
            reinterpret_cast<const int16_t*>(X.In->Data.data())[0]);
}

// Every refused append reports its message through OnThreadException, flushes
// the input and leaves the file byte for byte as it was.
struct TRefusal {
  const char* What;
  std::vector<uint8_t> File;
  int Bits, Channels, Rate;
  TWavType Type;
  const char* Message;
};

std::vector<uint8_t> ImaFile(int Channels, int BlockAlign, int Bits, bool WithFact) {
  std::vector<uint8_t> F = {'R', 'I', 'F', 'F', 0,   0,  0, 0, 'W', 'A', 'V',
                            'E', 'f', 'm', 't', ' ', 20, 0, 0, 0,   17,  0};
  auto P16 = [&F](uint32_t V) {
    F.push_back(static_cast<uint8_t>(V));
    F.push_back(static_cast<uint8_t>(V >> 8));
  };
  auto P32 = [&](uint32_t V) {
    P16(V & 0xFFFF);
    P16(V >> 16);
  };
  P16(static_cast<uint32_t>(Channels));
  P32(44100);
  P32(44100 * 256);
  P16(static_cast<uint32_t>(BlockAlign));
  P16(static_cast<uint32_t>(Bits));
  P16(2);
  P16(static_cast<uint32_t>((2 / Channels) * (BlockAlign - 4 * Channels) + 1));
  if (WithFact) {
    F.insert(F.end(), {'f', 'a', 'c', 't', 4, 0, 0, 0, 0, 0, 0, 0});
  }
  F.insert(F.end(), {'d', 'a', 't', 'a'});
  P32(static_cast<uint32_t>(BlockAlign));
  F.resize(F.size() + static_cast<size_t>(BlockAlign), 0x11);
  return F;
}

std::vector<TRefusal> Refusals() {
  const char* Cannot = "Cannot append data to this .wav file.";
  const char* Other = "Cannot append data in different audio format.";
  const char* Eight = "Cannot encode 8 bit sound into ADPCM.";
  const auto S16 = Bytes(MakeSignal16(500, 2, 44100));
  std::vector<uint8_t> Pcm;
  {
    TempDir T;
    WritePcmWav(T.Path("p.wav"), S16.data(), S16.size(), 2, 44100, 16);
    Pcm = ReadFileBytes(T.Path("p.wav"));
  }
  std::vector<TRefusal> R;
  R.push_back({"8-bit into 16-bit", Pcm, 8, 2, 44100, wtPCM, Other});
  R.push_back({"other rate", Pcm, 16, 2, 48000, wtPCM, Other});
  R.push_back({"mono into stereo", Pcm, 16, 1, 44100, wtPCM, Other});
  auto Ms = Pcm;
  Ms[20] = 2;  // Microsoft ADPCM
  R.push_back({"MS ADPCM file", Ms, 16, 2, 44100, wtPCM, Cannot});
  auto Trailing = Pcm;
  Trailing.insert(Trailing.end(), {'L', 'I', 'S', 'T', 4, 0, 0, 0, 'I', 'N', 'F', 'O'});
  R.push_back({"chunk after the samples", Trailing, 16, 2, 44100, wtPCM, Cannot});
  auto Partial = Pcm;
  Partial.resize(Partial.size() - 1);
  R.push_back({"partial last frame", Partial, 16, 2, 44100, wtPCM, Cannot});
  R.push_back({"not a WAVE file", std::vector<uint8_t>(300, 'x'), 16, 2, 44100, wtPCM, Cannot});
  auto SmallFmt = Pcm;
  SmallFmt[16] = 8;
  R.push_back({"fmt chunk too small", SmallFmt, 16, 2, 44100, wtPCM, Cannot});
  auto HugeFmt = Pcm;
  HugeFmt[16] = HugeFmt[17] = HugeFmt[18] = HugeFmt[19] = 0xFF;
  R.push_back({"fmt chunk past the end", HugeFmt, 16, 2, 44100, wtPCM, Cannot});
  auto ZeroCh = Pcm;
  ZeroCh[22] = 0;
  R.push_back({"no channels", ZeroCh, 16, 2, 44100, wtPCM, Cannot});
  std::vector<uint8_t> Cut(Pcm.begin(), Pcm.begin() + 30);
  R.push_back({"header cut short", Cut, 16, 2, 44100, wtPCM, Cannot});
  // "data" pushed beyond the first 8192 bytes by a LIST chunk.
  std::vector<uint8_t> Far(Pcm.begin(), Pcm.begin() + 36);
  Far.insert(Far.end(), {'L', 'I', 'S', 'T', 0, 0x20, 0, 0});
  Far.resize(Far.size() + 0x2000, 0);
  Far.insert(Far.end(), Pcm.begin() + 36, Pcm.end());
  R.push_back({"data after 8192 bytes", Far, 16, 2, 44100, wtPCM, Cannot});
  std::vector<uint8_t> HugeList(Pcm.begin(), Pcm.begin() + 36);
  HugeList.insert(HugeList.end(), {'L', 'I', 'S', 'T', 0xF0, 0xFF, 0xFF, 0xFF});
  HugeList.insert(HugeList.end(), Pcm.begin() + 36, Pcm.end());
  R.push_back({"chunk size past the end", HugeList, 16, 2, 44100, wtPCM, Cannot});
  R.push_back({"IMA without fact", ImaFile(1, 512, 4, false), 16, 1, 44100, wtPCM, Cannot});
  R.push_back({"IMA with 3 bits", ImaFile(1, 512, 3, true), 16, 1, 44100, wtPCM, Cannot});
  R.push_back({"IMA stereo, half group", ImaFile(2, 516, 4, true), 16, 2, 44100, wtPCM, Cannot});
  R.push_back({"IMA from 8-bit", ImaFile(1, 512, 4, true), 8, 1, 44100, wtPCM, Eight});
  R.push_back({"IMA other channels", ImaFile(1, 512, 4, true), 16, 2, 44100, wtPCM, Other});
  auto ImaCut = ImaFile(1, 512, 4, true);
  ImaCut.resize(ImaCut.size() - 100);
  R.push_back({"IMA partial block", ImaCut, 16, 1, 44100, wtPCM, Cannot});
  return R;
}

TEST(WaveOutAppend, RefusedAppendLeavesFileUntouched) {
  for (const TRefusal& C : Refusals()) {
    SCOPED_TRACE(C.What);
    TempDir T;
    const std::string Name = T.Path("x.wav");
    WriteFileBytes(Name, C.File);
    TFixture X;
    X.In->Bits = C.Bits;
    X.In->Channels = C.Channels;
    X.In->Rate = C.Rate;
    X.In->Data = C.Bits == 8 ? MakeSignal8(2000, C.Channels, C.Rate)
                             : Bytes(MakeSignal16(2000, C.Channels, C.Rate));
    X.Out->SetFileName(Name);
    X.Out->SetFileMode(foAppend);
    X.Out->SetWavType(C.Type);
    const TJobEnd E = X.Run();
    EXPECT_TRUE(E.Failed);
    EXPECT_EQ(E.Message, C.Message);
    EXPECT_EQ(ReadFileBytes(Name), C.File);
    EXPECT_EQ(X.In->InitCount, X.In->FlushCount);
    EXPECT_FALSE(X.In->Busy());
    EXPECT_EQ(X.Out->Status(), osIdle);
    // A refused job changes none of the settings.
    EXPECT_EQ(X.Out->WavType(), C.Type);
    EXPECT_EQ(X.Out->BlockSize(), 512);
  }
}

TEST(WaveOutAppend, DataChunkHeaderMustEndWithinTheFirst8192Bytes) {
  const auto S16 = Bytes(MakeSignal16(500, 2, 44100));
  std::vector<uint8_t> Pcm;
  {
    TempDir T;
    WritePcmWav(T.Path("p.wav"), S16.data(), S16.size(), 2, 44100, 16);
    Pcm = ReadFileBytes(T.Path("p.wav"));
  }
  // A LIST chunk before "data" puts its header at DataAt: it ends at 8192
  // or one byte past it.
  for (const uint32_t DataAt : {8184u, 8185u}) {
    SCOPED_TRACE(DataAt);
    const uint32_t List = DataAt - 44;
    std::vector<uint8_t> F(Pcm.begin(), Pcm.begin() + 36);
    F.insert(F.end(), {'L', 'I', 'S', 'T', static_cast<uint8_t>(List),
                       static_cast<uint8_t>(List >> 8), 0, 0});
    F.resize(F.size() + List, 0);
    F.insert(F.end(), Pcm.begin() + 36, Pcm.end());
    TempDir T;
    const std::string Name = T.Path("x.wav");
    WriteFileBytes(Name, F);
    TFixture X;
    X.In->Data = Bytes(MakeSignal16(2000, 2, 44100));
    X.Out->SetFileName(Name);
    X.Out->SetFileMode(foAppend);
    const TJobEnd E = X.Run();
    EXPECT_EQ(E.Failed, DataAt == 8185u) << E.Message;
    const auto After = ReadFileBytes(Name);
    if (DataAt == 8185u) {
      EXPECT_EQ(After, F);
    } else {
      ASSERT_EQ(After.size(), F.size() + X.In->Data.size());
      EXPECT_EQ(Le32(After, DataAt + 4), S16.size() + X.In->Data.size());
    }
  }
}

TEST(WaveOutAppend, RandomlyDamagedHeadersNeverCrash) {
  TempDir T;
  const auto S = Bytes(MakeSignal16(300, 2, 44100));
  std::vector<uint8_t> Good;
  WritePcmWav(T.Path("g.wav"), S.data(), S.size(), 2, 44100, 16);
  Good = ReadFileBytes(T.Path("g.wav"));
  std::mt19937 Rng(7);
  TFixture X;
  X.In->Data = S;
  X.Out->SetFileMode(foAppend);
  int Refused = 0, Appended = 0;
  for (int I = 0; I < 300; ++I) {
    auto F = Good;
    const int Hits = 1 + static_cast<int>(Rng() % 4);
    for (int H = 0; H < Hits; ++H) F[Rng() % 48] = static_cast<uint8_t>(Rng());
    if (Rng() % 4 == 0) F.resize(Rng() % F.size());
    const std::string Name = T.Path("f" + std::to_string(I) + ".wav");
    WriteFileBytes(Name, F);
    X.Out->SetFileName(Name);
    const TJobEnd E = X.Run();
    const auto After = ReadFileBytes(Name);
    if (E.Failed) {
      ++Refused;
      ASSERT_EQ(After, F) << "refused file changed, case " << I;
    } else {
      ++Appended;
      ASSERT_EQ(After.size(), F.size() + (F.size() >= 44 ? S.size() : 44 + S.size() - F.size()))
          << "case " << I;
    }
  }
  EXPECT_GT(Refused, 0);
  EXPECT_GT(Appended, 0);
}

// ---------------------------------------------------------------- files that cannot be opened

TEST(WaveOutPrepare, EmptyFileNameIsReported) {
  TFixture X;
  const TJobEnd E = X.Run();
  EXPECT_TRUE(E.Failed);
  EXPECT_EQ(E.Message, "File name is not assigned.");
  EXPECT_EQ(X.In->InitCount, 0);
}

TEST(WaveOutPrepare, UncreatableFileFlushesInput) {
  TempDir T;
  TFixture X;
  X.In->Data = Bytes(MakeSignal16(100, 2, 44100));
  X.Out->SetFileName(T.Path("no/such/dir/x.wav"));
  const TJobEnd E = X.Run();
  EXPECT_TRUE(E.Failed);
  EXPECT_NE(E.Message.find("Cannot create file"), std::string::npos) << E.Message;
  EXPECT_EQ(X.In->InitCount, 1);
  EXPECT_EQ(X.In->FlushCount, 1);
  EXPECT_FALSE(X.Out->Busy());
}

TEST(WaveOutPrepare, LockedFileIsNotAppendedTo) {
  TempDir T;
  const std::string Name = T.Path("locked.wav");
  const auto S = Bytes(MakeSignal16(100, 2, 44100));
  WritePcmWav(Name, S.data(), S.size(), 2, 44100, 16);
  const auto Before = ReadFileBytes(Name);
  const int Fd = ::open(Name.c_str(), O_RDONLY);
  ASSERT_GE(Fd, 0);
  ASSERT_EQ(::flock(Fd, LOCK_EX), 0);
  TFixture X;
  X.In->Data = S;
  X.Out->SetFileName(Name);
  X.Out->SetFileMode(foAppend);
  const TJobEnd E = X.Run();
  ::close(Fd);
  EXPECT_TRUE(E.Failed);
  EXPECT_NE(E.Message.find("Cannot open file"), std::string::npos) << E.Message;
  EXPECT_EQ(ReadFileBytes(Name), Before);
  EXPECT_EQ(X.In->FlushCount, X.In->InitCount);
}

TEST(WaveOutPrepare, AdpcmFrom8BitLeavesExistingFileUntouched) {
  TempDir T;
  const std::string Name = T.Path("keep.wav");
  const std::vector<uint8_t> Old(1000, 0x5A);
  WriteFileBytes(Name, Old);
  TFixture X;
  X.In->Bits = 8;
  X.In->Data = MakeSignal8(1000, 2, 44100);
  X.Out->SetFileName(Name);
  X.Out->SetWavType(wtDVIADPCM);
  const TJobEnd E = X.Run();
  EXPECT_TRUE(E.Failed);
  EXPECT_EQ(E.Message, "Cannot encode 8 bit sound into ADPCM.");
  EXPECT_EQ(ReadFileBytes(Name), Old);
  EXPECT_EQ(X.In->FlushCount, 1);
}

TEST(WaveOutPrepare, SourceWithoutAudioFormatIsRefusedAndLeavesExistingFileUntouched) {
  TempDir T;
  const std::string Name = T.Path("keep.wav");
  const std::vector<uint8_t> Old(1000, 0x5A);
  // What a reader that found no stream in its file reports.
  const struct {
    int Bits, Channels, Rate;
  } Formats[] = {{0, 0, 0}, {16, 0, 44100}, {16, 2, 0}, {12, 2, 44100}};
  for (const auto& F : Formats) {
    WriteFileBytes(Name, Old);
    TFixture X;
    X.In->Bits = F.Bits;
    X.In->Channels = F.Channels;
    X.In->Rate = F.Rate;
    X.Out->SetFileName(Name);
    const TJobEnd E = X.Run();
    EXPECT_TRUE(E.Failed) << F.Bits << "/" << F.Channels << "/" << F.Rate;
    EXPECT_NE(E.Message.find("holds no audio"), std::string::npos) << E.Message;
    EXPECT_EQ(ReadFileBytes(Name), Old);
    EXPECT_EQ(X.In->FlushCount, X.In->InitCount);
  }
}

// ---------------------------------------------------------------- IMA ADPCM

TEST(WaveOutAdpcm, MonoBlock512TakesOneBlockPerStep) {
  TempDir T;
  TFixture X;
  X.In->Channels = 1;
  const auto S = MakeSignal16(1017 * 2 + 1, 1, 44100);
  X.In->Data = Bytes(S);
  X.Out->SetFileName(T.Path("m.wav"));
  X.Out->SetWavType(wtDVIADPCM);
  ASSERT_FALSE(X.Run().Failed);
  const auto F = ReadFileBytes(T.Path("m.wav"));
  ASSERT_EQ(F.size(), 60u + 3 * 512);
  EXPECT_EQ(Tag(F, 12), "fmt ");
  EXPECT_EQ(Le32(F, 16), 20u);
  EXPECT_EQ(Le16(F, 20), 17);
  EXPECT_EQ(Le16(F, 22), 1);
  EXPECT_EQ(Le32(F, 24), 44100u);
  EXPECT_EQ(Le32(F, 28), 44100u / 1017 * 512);
  EXPECT_EQ(Le16(F, 32), 512);
  EXPECT_EQ(Le16(F, 34), 4);
  EXPECT_EQ(Le16(F, 36), 2);
  EXPECT_EQ(Le16(F, 38), 1017);
  EXPECT_EQ(Tag(F, 40), "fact");
  EXPECT_EQ(Le32(F, 44), 4u);
  EXPECT_EQ(Tag(F, 52), "data");
  // The last block is padded: the fact chunk counts the frames delivered.
  ExpectImaHeaderTrue(F, 512, 1017, 1017 * 2 + 1);
  // Block k starts with input sample k x 1017: each block took exactly 1017.
  for (int B = 0; B < 3; ++B) {
    EXPECT_EQ(static_cast<int16_t>(Le16(F, 60 + 512 * B)), S[static_cast<size_t>(1017 * B)]);
    EXPECT_EQ(F[60 + 512 * B + 3], 0);
  }
  // The first block starts from step index 0; later ones carry theirs over.
  EXPECT_EQ(F[62], 0);
  EXPECT_GT(F[62 + 512], 0);
}

TEST(WaveOutAdpcm, InputEndingOnABlockAddsNoSilentBlock) {
  TempDir T;
  TFixture X;
  X.In->Channels = 1;
  X.In->Data = Bytes(MakeSignal16(1017 * 2, 1, 44100));
  X.In->MaxChunk = 1000;  // blocks are filled from several reads
  X.Out->SetFileName(T.Path("m.wav"));
  X.Out->SetWavType(wtDVIADPCM);
  ASSERT_FALSE(X.Run().Failed);
  const auto F = ReadFileBytes(T.Path("m.wav"));
  EXPECT_EQ(F.size(), 60u + 2 * 512);
  ExpectImaHeaderTrue(F, 512, 1017);
}

TEST(WaveOutAdpcm, StereoBlock1024Holds1017Frames) {
  TempDir T;
  TFixture X;
  const auto S = MakeSignal16(1017 * 4 - 10, 2, 48000);
  X.In->Rate = 48000;
  X.In->Data = Bytes(S);
  X.Out->SetFileName(T.Path("s.wav"));
  X.Out->SetWavType(wtDVIADPCM);
  X.Out->SetBlockSize(1024);
  ASSERT_FALSE(X.Run().Failed);
  const auto F = ReadFileBytes(T.Path("s.wav"));
  ASSERT_EQ(F.size(), 60u + 4 * 1024);
  EXPECT_EQ(Le16(F, 22), 2);
  EXPECT_EQ(Le16(F, 32), 1024);
  EXPECT_EQ(Le16(F, 38), 1017);
  ExpectImaHeaderTrue(F, 1024, 1017, 1017 * 4 - 10);
  for (int B = 0; B < 4; ++B) {
    EXPECT_EQ(static_cast<int16_t>(Le16(F, 60 + 1024 * B)), S[static_cast<size_t>(2 * 1017 * B)]);
    EXPECT_EQ(static_cast<int16_t>(Le16(F, 64 + 1024 * B)),
              S[static_cast<size_t>(2 * 1017 * B + 1)]);
  }
}

TEST(WaveOutAdpcm, StereoBlockWithHalfGroupIsRefused) {
  TempDir T;
  TFixture X;
  X.In->Data = Bytes(MakeSignal16(3000, 2, 44100));
  X.Out->SetFileName(T.Path("h.wav"));
  X.Out->SetWavType(wtDVIADPCM);
  X.Out->SetBlockSize(516);
  const TJobEnd E = X.Run();
  EXPECT_TRUE(E.Failed);
  EXPECT_FALSE(FileExists(T.Path("h.wav")));
  EXPECT_EQ(X.In->FlushCount, 1);
}

TEST(WaveOutSettings, InvalidValuesAndChangesDuringAJobAreIgnored) {
  auto Out = MakeComponent<TWaveOut>(nullptr);
  EXPECT_EQ(Out->WavType(), wtPCM);
  EXPECT_EQ(Out->BlockSize(), 512);
  Out->SetBlockSize(510);
  Out->SetBlockSize(0);
  Out->SetBlockSize(32772);  // 2 x (32772 - 4) + 1 samples do not fit 16 bits
  Out->SetWavType(wtMSADPCM);
  Out->SetWavType(wtACM);
  EXPECT_EQ(Out->BlockSize(), 512);
  EXPECT_EQ(Out->WavType(), wtPCM);
  Out->SetBlockSize(32768);
  EXPECT_EQ(Out->BlockSize(), 32768);
  Out->SetWavType(wtDVIADPCM);
  EXPECT_EQ(Out->WavType(), wtDVIADPCM);

  TempDir T;
  TFixture X;
  X.In->Data = Bytes(MakeSignal16(100000, 2, 44100));
  X.In->MaxChunk = 4096;
  X.Out->SetFileName(T.Path("b.wav"));
  bool Tried = false;
  X.Out->OnProgress = [&](TComponent*) {
    if (Tried) return;
    Tried = true;
    X.Out->SetWavType(wtDVIADPCM);
    X.Out->SetBlockSize(1024);
  };
  ASSERT_FALSE(X.Run().Failed);
  EXPECT_TRUE(Tried);
  EXPECT_EQ(X.Out->WavType(), wtPCM);
  EXPECT_EQ(X.Out->BlockSize(), 512);
  EXPECT_EQ(ReadFileBytes(T.Path("b.wav")).size(), 44u + 400000);
}

TEST(WaveOutCodec, EncoderRefusesImpossibleLayouts) {
  std::vector<int16_t> S(4096, 0);
  std::vector<uint8_t> B(2048);
  uint8_t Idx[2] = {0, 0};
  EXPECT_THROW(EncodeImaBlock(S.data(), 2, 516, Idx, B.data()), std::invalid_argument);
  EXPECT_THROW(EncodeImaBlock(S.data(), 3, 512, Idx, B.data()), std::invalid_argument);
  EXPECT_THROW(EncodeImaBlock(S.data(), 1, 510, Idx, B.data()), std::invalid_argument);
  EXPECT_EQ(ImaSamplesPerBlock(512, 1), 1017);
  EXPECT_EQ(ImaSamplesPerBlock(1024, 2), 1017);
  EXPECT_EQ(ImaSamplesPerBlock(516, 2), 0);
  EXPECT_EQ(ImaSamplesPerBlock(MaxImaBlockSize, 1), 65529);
}

// ---------------------------------------------------------------- ends of a job

TEST(WaveOutStop, StoppedKnownSizeJobGetsTrueHeader) {
  for (TWavType Type : {wtPCM, wtDVIADPCM}) {
    SCOPED_TRACE(Type == wtPCM ? "PCM" : "IMA ADPCM");
    TempDir T;
    TFixture X;
    X.In->Data = Bytes(MakeSignal16(441000, 2, 44100));
    X.In->MaxChunk = 8192;
    X.Out->SetFileName(T.Path("s.wav"));
    X.Out->SetWavType(Type);
    X.Out->OnProgress = [&](TComponent*) {
      if (X.Out->Progress() >= 20) X.Out->Stop();
    };
    const TJobEnd E = X.Run();
    ASSERT_FALSE(E.Failed) << E.Message;
    const auto F = ReadFileBytes(T.Path("s.wav"));
    if (Type == wtPCM) {
      ExpectPcmHeaderTrue(F);
      EXPECT_LT(F.size(), 44 + X.In->Data.size() / 2);
    } else {
      ExpectImaHeaderTrue(F, 512, 505);
      EXPECT_LT(F.size(), 60 + X.In->Data.size() / 4 / 2);
    }
    EXPECT_EQ(X.In->FlushCount, 1);
  }
}

TEST(WaveOutFailure, ThrowingInputEndsThroughOnThreadExceptionWithTrueHeader) {
  for (TWavType Type : {wtPCM, wtDVIADPCM}) {
    SCOPED_TRACE(Type == wtPCM ? "PCM" : "IMA ADPCM");
    TempDir T;
    TFixture X;
    X.In->Data = Bytes(MakeSignal16(100000, 2, 44100));
    X.In->FailAfter = 50000;
    X.Out->SetFileName(T.Path("f.wav"));
    X.Out->SetWavType(Type);
    const TJobEnd E = X.Run();
    EXPECT_EQ(E.ErrorCount, 1);
    EXPECT_EQ(E.DoneCount, 0);
    EXPECT_EQ(E.Message, "Simulated read failure");
    const auto F = ReadFileBytes(T.Path("f.wav"));
    if (Type == wtPCM) {
      EXPECT_EQ(F.size(), 44u + 50000);
      ExpectPcmHeaderTrue(F);
    } else {
      // 50000 bytes fill 24 whole stereo blocks of 505 frames (2020 bytes).
      EXPECT_EQ(F.size(), 60u + 24 * 512);
      ExpectImaHeaderTrue(F, 512, 505);
    }
    EXPECT_EQ(X.In->FlushCount, 1);
    // The sink is idle and runs the next job.
    X.In->FailAfter = -1;
    X.In->Data.resize(4000);
    EXPECT_FALSE(X.Run().Failed);
  }
}

// Writes with the file size limited so that the disk "fills up" mid-job. Runs
// in a child process: the limit would hit the test runner too.
TEST(WaveOutFailure, WriteFailureEndsThroughOnThreadExceptionWithTrueHeader) {
  for (TWavType Type : {wtPCM, wtDVIADPCM}) {
    SCOPED_TRACE(Type == wtPCM ? "PCM" : "IMA ADPCM");
    TempDir T;
    const std::string Name = T.Path("full.wav");
    const std::string Report = T.Path("report");
    const rlim_t Limit = 100000;
    const pid_t Pid = ::fork();
    ASSERT_GE(Pid, 0);
    if (Pid == 0) {
      rlimit R{Limit, Limit};
      ::setrlimit(RLIMIT_FSIZE, &R);
      ::signal(SIGXFSZ, SIG_IGN);
      int Code = 3;
      try {
        TFixture X;
        X.In->Data = Bytes(MakeSignal16(200000, 2, 44100));
        X.Out->SetFileName(Name);
        X.Out->SetWavType(Type);
        const TJobEnd E = X.Run();
        WriteFileBytes(Report, std::vector<uint8_t>(E.Message.begin(), E.Message.end()));
        Code = E.Failed ? (X.In->FlushCount == 1 ? 0 : 4) : 1;
      } catch (...) {
        Code = 2;
      }
      ::_exit(Code);
    }
    int Status = 0;
    ASSERT_EQ(::waitpid(Pid, &Status, 0), Pid);
    ASSERT_TRUE(WIFEXITED(Status));
    ASSERT_EQ(WEXITSTATUS(Status), 0)
        << "1: ended through OnDone, 2: crashed, 4: input not flushed";
    const auto Msg = ReadFileBytes(Report);
    EXPECT_NE(std::string(Msg.begin(), Msg.end()).find("Cannot write to"), std::string::npos);
    const auto F = ReadFileBytes(Name);
    if (Type == wtPCM) {
      EXPECT_EQ(F.size(), Limit);
      ExpectPcmHeaderTrue(F);
    } else {
      // The block cut short by the limit is dropped.
      EXPECT_EQ(F.size(), 60 + (Limit - 60) / 512 * 512);
      ExpectImaHeaderTrue(F, 512, 505);
    }
  }
}

TEST(WaveOutDestruction, FreedMidJobLeavesClosedFileWithTrueHeader) {
  TempDir T;
  auto In = MakeComponent<TMemorySource>(nullptr);
  In->Data = Bytes(MakeSignal16(2000000, 2, 44100));
  In->MaxChunk = 4096;
  auto* Out = new TWaveOut(nullptr);
  Out->SetInput(In.get());
  Out->SetFileName(T.Path("d.wav"));
  // Paced to 10 ms a step the job would need 20 s to reach its end, so the
  // free below cuts it short.
  Out->SetDelay(10);
  std::atomic<int> Steps{0};
  Out->OnProgress = [&](TComponent*) { ++Steps; };
  Out->Run();
  while (Steps.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  TComponent::Free(Out);
  const auto F = ReadFileBytes(T.Path("d.wav"));
  ExpectPcmHeaderTrue(F);
  EXPECT_LT(F.size(), 44 + In->Data.size());
  EXPECT_EQ(In->FlushCount, 1);
}

// ---------------------------------------------------------------- reference tools

namespace {

double SnrDb(const std::vector<int16_t>& Ref, const std::vector<int16_t>& Got, size_t N) {
  double Sig = 0, Err = 0;
  for (size_t I = 0; I < N; ++I) {
    Sig += static_cast<double>(Ref[I]) * Ref[I];
    const double D = static_cast<double>(Ref[I]) - Got[I];
    Err += D * D;
  }
  return 10 * std::log10(Sig / std::max(Err, 1.0));
}

std::vector<int16_t> RawS16(const std::string& Name) {
  const auto B = ReadFileBytes(Name);
  std::vector<int16_t> S(B.size() / 2);
  std::memcpy(S.data(), B.data(), S.size() * 2);
  return S;
}

}  // namespace

TEST(WaveOutTools, ImaAdpcmDecodesCloseToInputWithFfmpegAndSox) {
  if (!HaveTool("ffmpeg") || !HaveTool("sox")) GTEST_SKIP() << "ffmpeg or sox is not installed";
  // Mono at half scale, stereo clipped at full scale (the predictor then runs
  // into its limits).
  for (int Channels : {1, 2}) {
    SCOPED_TRACE(Channels == 1 ? "mono 512" : "stereo 1024, clipped");
    TempDir T;
    TFixture X;
    const int Frames = 44100 * 2 + 333;
    const auto S = MakeSignal16(Frames, Channels, 44100, Channels == 1 ? 0.5 : 1.5);
    X.In->Channels = Channels;
    X.In->Data = Bytes(S);
    X.Out->SetFileName(T.Path("ima.wav"));
    X.Out->SetWavType(wtDVIADPCM);
    X.Out->SetBlockSize(Channels == 1 ? 512 : 1024);
    ASSERT_FALSE(X.Run().Failed);
    std::string Err;
    ASSERT_EQ(testing_support::Run("ffmpeg -v error -y -i " + Quote(T.Path("ima.wav")) +
                                       " -f s16le " + Quote(T.Path("ff.raw")),
                                   nullptr, &Err),
              0)
        << Err;
    ASSERT_EQ(testing_support::Run("sox " + Quote(T.Path("ima.wav")) + " -t raw -e signed -b 16 " +
                                       Quote(T.Path("sox.raw")),
                                   nullptr, &Err),
              0)
        << Err;
    const auto Ff = RawS16(T.Path("ff.raw"));
    const auto Sx = RawS16(T.Path("sox.raw"));
    ASSERT_GE(Ff.size(), S.size());
    ASSERT_GE(Sx.size(), S.size());
    // sox rebuilds samples with the same shift-and-add steps as the encoder
    // and the reader.
    const auto F = ReadFileBytes(T.Path("ima.wav"));
    const int Block = Channels == 1 ? 512 : 1024;
    std::vector<int16_t> Own;
    for (size_t At = 60; At + Block <= F.size(); At += Block) {
      std::vector<int16_t> Frames(static_cast<size_t>(ImaDecodedFrames(Block, Channels)) *
                                  Channels);
      const int N = DecodeImaBlock(&F[At], Block, Channels, Frames.data());
      Own.insert(Own.end(), Frames.begin(), Frames.begin() + N * Channels);
    }
    ASSERT_EQ(Own.size(), Sx.size());
    // sox lets a sample reach -32768 where the reader stops at -32767.
    int OwnDiff = 0;
    for (size_t I = 0; I < Own.size(); ++I) OwnDiff = std::max(OwnDiff, std::abs(Own[I] - Sx[I]));
    EXPECT_LE(OwnDiff, 1) << "sox decodes other samples than the reader";
    // ffmpeg computes each step as (2 x code + 1) x step / 8, a few units away.
    int MaxDiff = 0;
    for (size_t I = 0; I < S.size(); ++I) MaxDiff = std::max(MaxDiff, std::abs(Ff[I] - Sx[I]));
    const double SnrFf = SnrDb(S, Ff, S.size());
    const double SnrSox = SnrDb(S, Sx, S.size());
    std::printf("IMA ADPCM %s: SNR ffmpeg %.1f dB, sox %.1f dB, ffmpeg vs sox max %d\n",
                Channels == 1 ? "mono" : "stereo clipped", SnrFf, SnrSox, MaxDiff);
    EXPECT_GT(SnrFf, 30.0);
    EXPECT_GT(SnrSox, 30.0);
    EXPECT_LT(MaxDiff, 256);
    // The padding of the last block decays to silence.
    for (size_t I = Ff.size() - 100; I < Ff.size(); ++I) ASSERT_LE(std::abs(Ff[I]), 64) << I;
  }
}

TEST(WaveOutTools, SoxPcmPassesThroughByteIdentical) {
  if (!HaveTool("sox")) GTEST_SKIP() << "sox is not installed";
  TempDir T;
  std::string Err;
  ASSERT_EQ(testing_support::Run("sox -n -r 48000 -c 2 -b 16 " + Quote(T.Path("in.wav")) +
                                     " synth 1.5 sine 300 sine 1200 gain -3",
                                 nullptr, &Err),
            0)
      << Err;
  int Ch = 0, Rate = 0;
  const auto S = ReadPcm16Wav(T.Path("in.wav"), &Ch, &Rate);
  ASSERT_EQ(Ch, 2);
  TFixture X;
  X.In->Channels = Ch;
  X.In->Rate = Rate;
  X.In->Data = Bytes(S);
  X.Out->SetFileName(T.Path("out.wav"));
  ASSERT_FALSE(X.Run().Failed);
  ASSERT_EQ(
      testing_support::Run("sox " + Quote(T.Path("in.wav")) + " -t raw " + Quote(T.Path("a.raw")),
                           nullptr, &Err),
      0);
  ASSERT_EQ(
      testing_support::Run("sox " + Quote(T.Path("out.wav")) + " -t raw " + Quote(T.Path("b.raw")),
                           nullptr, &Err),
      0)
      << Err;
  EXPECT_EQ(ReadFileBytes(T.Path("a.raw")), ReadFileBytes(T.Path("b.raw")));
  std::string Info;
  ASSERT_EQ(testing_support::Run("sox --i " + Quote(T.Path("out.wav")), &Info), 0);
  EXPECT_NE(Info.find("48000"), std::string::npos) << Info;
  EXPECT_NE(Info.find("72000 samples"), std::string::npos) << Info;
}

// ffprobe takes a compressed stream's length from the fact chunk; sox, the
// reference writer, puts the frames it was given there. sox and ffmpeg
// decode every block whole, the padding included.
TEST(WaveOutTools, ImaFactChunkCountsTheFramesDelivered) {
  if (!HaveTool("ffprobe") || !HaveTool("sox")) GTEST_SKIP() << "ffprobe or sox is not installed";
  // Lengths that end inside a block: the last block carries padding.
  for (const auto& [Channels, Block, Frames] :
       {std::tuple{1, 512, 44100 + 123}, std::tuple{2, 1024, 30007}}) {
    SCOPED_TRACE(std::to_string(Channels) + " channels");
    TempDir T;
    TFixture X;
    X.In->Channels = Channels;
    X.In->Data = Bytes(MakeSignal16(Frames, Channels, 44100));
    X.In->MaxChunk = 3000;
    X.Out->SetFileName(T.Path("ima.wav"));
    X.Out->SetWavType(wtDVIADPCM);
    X.Out->SetBlockSize(Block);
    ASSERT_FALSE(X.Run().Failed);
    const auto F = ReadFileBytes(T.Path("ima.wav"));
    const int Spb = ImaSamplesPerBlock(Block, Channels);
    ASSERT_NE(Frames % Spb, 0);
    EXPECT_EQ(F.size() - 60, static_cast<size_t>((Frames + Spb - 1) / Spb * Block));
    ExpectImaHeaderTrue(F, Block, Spb, Frames);

    std::string Out, Err;
    ASSERT_EQ(testing_support::Run("ffprobe -v error -show_entries stream=duration_ts -of "
                                   "default=noprint_wrappers=1:nokey=1 " +
                                       Quote(T.Path("ima.wav")),
                                   &Out, &Err),
              0)
        << Err;
    EXPECT_EQ(std::stol(Out), Frames);
    // sox's own IMA writer, given the same samples, states the same count.
    WritePcmWav(T.Path("pcm.wav"), X.In->Data.data(), X.In->Data.size(), Channels, 44100, 16);
    ASSERT_EQ(testing_support::Run(
                  "sox " + Quote(T.Path("pcm.wav")) + " -e ima-adpcm " + Quote(T.Path("sox.wav")),
                  nullptr, &Err),
              0)
        << Err;
    const auto S = ReadFileBytes(T.Path("sox.wav"));
    const auto At = std::search(S.begin(), S.end(), F.begin() + 40, F.begin() + 48);
    ASSERT_NE(At, S.end()) << "sox wrote no fact chunk";
    EXPECT_EQ(Le32(S, static_cast<size_t>(At - S.begin()) + 8), Le32(F, 48));
  }
}
