// TMP3In, the MP3 file source, against the MP3 decoder component's WAV output:
// the same samples whole, in ranges, and from damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>

#include "codecs/CodecRegistry.h"
#include "codecs/Mp3In.h"
#include "codecs/MpegFrame.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {

class Mp3Source : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* T : {"sox", "lame"})
      if (!HaveTool(T)) GTEST_SKIP() << T << " is needed";
  }

  // An MP3 of Seconds of a tone and noise, made by sox and lame.
  std::string Make(const std::string& Name, int Rate, int Channels, double Seconds,
                   const std::string& LameOptions) {
    const std::string Wav = Dir.Path(Name + ".wav"), Mp3 = Dir.Path(Name + ".mp3");
    const std::string Synth = Channels == 2 ? "sine 300 pinknoise" : "sine 300";
    EXPECT_EQ(0,
              testing_support::Run("sox -n -r " + std::to_string(Rate) + " -c " +
                                   std::to_string(Channels) + " -b 16 " + Quote(Wav) + " synth " +
                                   std::to_string(Seconds) + " " + Synth + " vol 0.5"));
    EXPECT_EQ(0, testing_support::Run("lame --quiet " + LameOptions + " " + Quote(Wav) + " " +
                                      Quote(Mp3)));
    return Mp3;
  }

  // The decoder component's samples of Mp3 (empty when it decodes nothing).
  std::vector<int16_t> Decoded(const std::string& Mp3, int* Channels = nullptr,
                               int* Rate = nullptr) {
    const std::string Wav = Dir.Path("decoded.wav");
    std::filesystem::remove(Wav);
    if (!FindCodecFor(Mp3)->DecodeToWav(Mp3, Wav, nullptr, nullptr)) return {};
    return ReadPcm16Wav(Wav, Channels, Rate);
  }

  TempDir Dir;
};

// Everything the source delivers for its current range, read in pieces of
// Chunk bytes (not a multiple of a frame's samples).
std::vector<int16_t> ReadAll(TMP3In& In, int Chunk = 1002) {
  std::vector<uint8_t> Bytes, Buf(static_cast<size_t>(Chunk));
  In.Init();
  for (;;) {
    const int N = In.GetData(Buf.data(), Chunk);
    if (N <= 0) break;
    Bytes.insert(Bytes.end(), Buf.begin(), Buf.begin() + N);
  }
  In.Flush();
  std::vector<int16_t> S(Bytes.size() / 2);
  // An empty range leaves both vectors without storage.
  if (!S.empty()) std::memcpy(S.data(), Bytes.data(), S.size() * 2);
  return S;
}

TOwned<TMP3In> Source(const std::string& Mp3) {
  TOwned<TMP3In> In(new TMP3In(nullptr));
  In->SetFileName(Mp3);
  return In;
}

// Whole files: format, count and every sample as the decoder gives them, for
// files longer than the source's read buffer (so that libmad is fed in pieces).
void ExpectSameAsDecoder(const std::string& Mp3, const std::vector<int16_t>& Want, int Channels,
                         int Rate) {
  SCOPED_TRACE(Mp3);
  auto In = Source(Mp3);
  ASSERT_TRUE(In->Valid());
  EXPECT_EQ(Channels, In->InChannels());
  EXPECT_EQ(Rate, In->InSampleRate());
  EXPECT_EQ(16, In->InBitsPerSample());
  EXPECT_EQ(static_cast<int64_t>(Want.size() / Channels), In->SampleCount());
  const std::vector<int16_t> Got = ReadAll(*In);
  ASSERT_EQ(Want.size(), Got.size());
  EXPECT_TRUE(Want == Got) << "the samples differ";
}

TEST_F(Mp3Source, DeliversTheDecodersSamples) {
  const struct {
    const char* Name;
    int Rate, Channels;
    double Seconds;
    const char* Lame;
  } Files[] = {
      {"cbr", 44100, 2, 9, "-b 128"},
      {"vbr", 44100, 2, 9, "-V 2"},
      {"mono", 44100, 1, 12, "-m m -b 96"},
      {"r22050", 22050, 2, 12, "-b 96"},
      {"r48000", 48000, 2, 6, "-b 192"},
      {"tagged", 44100, 2, 8, "-b 160 --id3v2-only --tt Song"},
  };
  for (const auto& F : Files) {
    const std::string Mp3 = Make(F.Name, F.Rate, F.Channels, F.Seconds, F.Lame);
    ASSERT_GT(std::filesystem::file_size(Mp3), 128u * 1024) << F.Name << " is read in one piece";
    int Ch = 0, Rate = 0;
    const std::vector<int16_t> Want = Decoded(Mp3, &Ch, &Rate);
    ASSERT_FALSE(Want.empty()) << F.Name;
    EXPECT_EQ(F.Rate, Rate);
    EXPECT_EQ(F.Channels, Ch);
    ExpectSameAsDecoder(Mp3, Want, Ch, Rate);
  }
}

TEST_F(Mp3Source, DeliversTheDecodersSamplesOfTheSharedFiles) {
  const std::string Shared = SharedTestData();
  std::vector<std::string> Files;
  if (!Shared.empty())
    for (const auto& E : std::filesystem::recursive_directory_iterator(Shared))
      if (E.is_regular_file() && LowerExtension(E.path().string()) == ".mp3")
        Files.push_back(E.path().string());
  if (Files.empty()) GTEST_SKIP() << "no MP3 files in ../shared/testdata";
  for (const std::string& Mp3 : Files) {
    int Ch = 0, Rate = 0;
    const std::vector<int16_t> Want = Decoded(Mp3, &Ch, &Rate);
    if (Want.empty()) {
      EXPECT_FALSE(Source(Mp3)->Valid()) << Mp3;
      continue;
    }
    ExpectSameAsDecoder(Mp3, Want, Ch, Rate);
  }
}

TEST_F(Mp3Source, RangesAreTheSameStretchOfTheWholeDecoding) {
  const std::string Mp3 = Make("vbr", 44100, 2, 9, "-V 4");
  const std::vector<int16_t> Whole = Decoded(Mp3);
  const int64_t Frames = static_cast<int64_t>(Whole.size() / 2);
  ASSERT_GT(Frames, 300000);
  auto In = Source(Mp3);
  // Frame edges, the first frame, the last sample, the very end, pieces past
  // the first read buffer.
  const std::pair<int64_t, int64_t> Ranges[] = {
      {0, 1},           {1, 1152},        {1151, 1153},     {5000, 5000},
      {1152 * 100, -1}, {200001, 287654}, {Frames - 1, -1}, {Frames, -1},
  };
  for (const auto& [Start, End] : Ranges) {
    SCOPED_TRACE(std::to_string(Start) + " to " + std::to_string(End));
    In->SetStartSample(Start);
    In->SetEndSample(End);
    const std::vector<int16_t> Got = ReadAll(*In, 4096);
    const int64_t Last = End == -1 ? Frames : End;
    ASSERT_EQ(static_cast<size_t>((Last - Start) * 2), Got.size());
    EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Whole.begin() + Start * 2));
  }
  // Seeking is refused past the end; a file held open starts over for a job.
  {
    const auto Hold = In->HoldOpen();
    EXPECT_FALSE(In->Seek(Frames + 1));
    In->SetStartSample(0);
    In->SetEndSample(-1);
    EXPECT_TRUE(ReadAll(*In) == Whole);
  }
  // Looping delivers the range again.
  In->SetStartSample(1000);
  In->SetEndSample(3000);
  In->SetLoop(true);
  In->Init();
  std::vector<int16_t> Twice(8000);
  int Got = 0;
  while (Got < 16000) {
    const int N = In->GetData(reinterpret_cast<uint8_t*>(Twice.data()) + Got, 16000 - Got);
    ASSERT_GT(N, 0);
    Got += N;
  }
  In->Flush();
  for (int I = 0; I < 8000; ++I) ASSERT_EQ(Whole[2000 + I % 4000], Twice[I]) << I;
}

TEST_F(Mp3Source, DamagedFilesGiveTheDecodersFrames) {
  const std::string Mp3 = Make("cbr", 44100, 2, 9, "-b 128");
  const std::vector<uint8_t> Good = ReadFileBytes(Mp3);
  std::mt19937 Random(7);
  auto Noise = [&Random](size_t N, bool WithSync) {
    std::vector<uint8_t> B(N);
    for (auto& X : B) X = static_cast<uint8_t>(Random());
    if (!WithSync)
      for (auto& X : B) X &= 0x7F;  // nothing that looks like a frame's sync
    return B;
  };
  std::vector<std::pair<std::string, std::vector<uint8_t>>> Cases;
  Cases.emplace_back("cut inside a frame", std::vector<uint8_t>(Good.begin(), Good.end() - 333));
  Cases.emplace_back("cut after 150 frames",
                     std::vector<uint8_t>(Good.begin(), Good.begin() + 417 * 150 + 2));
  {
    auto B = Good;
    const auto J = Noise(3000, true);
    std::copy(J.begin(), J.end(), B.begin() + 60000);
    Cases.emplace_back("noise over frames", B);
  }
  {
    auto B = Good;
    for (size_t I = 500; I < B.size(); I += 997) B[I] ^= 0x5A;
    Cases.emplace_back("bytes changed all along", B);
  }
  {
    // Longer than the source's look-ahead, across the end of its first piece.
    auto B = Good;
    const auto J = Noise(70000, false);
    B.insert(B.begin() + 100000, J.begin(), J.end());
    Cases.emplace_back("a long stretch without sync", B);
    const auto K = Noise(70000, true);
    B = Good;
    B.insert(B.begin() + 120003, K.begin(), K.end());
    Cases.emplace_back("a long stretch of noise", B);
  }
  for (const auto& [Name, Bytes] : Cases) {
    SCOPED_TRACE(Name);
    const std::string File = Dir.Path("damaged.mp3");
    WriteFileBytes(File, Bytes);
    const std::vector<int16_t> Want = Decoded(File);
    ASSERT_FALSE(Want.empty());
    auto In = Source(File);
    ASSERT_TRUE(In->Valid());
    // Frames whose body is damaged are counted but not delivered.
    EXPECT_GE(In->SampleCount(), static_cast<int64_t>(Want.size() / 2));
    EXPECT_TRUE(ReadAll(*In) == Want) << "the samples differ";
  }
  // Nothing that decodes: not valid, and a job on it is refused with a reason.
  for (const auto& Bytes : {std::vector<uint8_t>{}, Noise(5000, false),
                            std::vector<uint8_t>(Good.begin(), Good.begin() + 300)}) {
    const std::string File = Dir.Path("none.mp3");
    WriteFileBytes(File, Bytes);
    EXPECT_TRUE(Decoded(File).empty());
    auto In = Source(File);
    EXPECT_FALSE(In->Valid());
    EXPECT_EQ(0, In->SampleCount());
    In->Init();
    uint8_t Buf[64];
    EXPECT_EQ(0, In->GetData(Buf, sizeof Buf));
    In->Flush();
  }
}

// The source reads 128 KB at a time and tops its buffer up once less than
// 32 KB lies ahead, and again when a frame does not fit in what is left;
// libmad marks every new buffer as in step with the frames. Out of step, a
// frame counts only when another frame header follows it, so a lone copy of
// a frame between two stretches of junk is passed over by the decoder; taken
// as in step, it would be decoded. The lone frame is put right where a new
// buffer begins, after a junk byte that leaves libmad out of step.
TEST_F(Mp3Source, ALoneFrameWhereANewBufferBeginsIsPassedOverAsByTheDecoder) {
  // Without the bit reservoir every frame decodes on its own.
  const std::string Mp3 = Make("nores", 44100, 2, 14, "-b 128 --nores -t");
  const std::vector<uint8_t> Good = ReadFileBytes(Mp3);
  std::vector<std::vector<uint8_t>> Frames;
  for (size_t At = 0; At + 4 <= Good.size();) {
    TMpegFrameHeader H;
    ASSERT_TRUE(ParseMpegFrameHeader(Good.data() + At, H)) << At;
    ASSERT_GT(H.FrameBytes, 0);
    const size_t End = std::min(Good.size(), At + static_cast<size_t>(H.FrameBytes));
    Frames.emplace_back(Good.begin() + static_cast<std::ptrdiff_t>(At),
                        Good.begin() + static_cast<std::ptrdiff_t>(End));
    At = End;
  }
  ASSERT_GT(Frames.size(), 400u);
  const std::vector<uint8_t>& Lone = Frames[20];
  const std::vector<uint8_t> Junk(64, 0);
  auto Append = [](std::vector<uint8_t>& B, const std::vector<uint8_t>& P) {
    B.insert(B.end(), P.begin(), P.end());
  };
  // Whole frames from offset Start up to (not past) offset Until; zeros
  // before the first one make the last one end exactly at Until.
  auto FramesUpTo = [&](size_t Until, size_t* Used) {
    size_t Bytes = 0, N = 0;
    while (N < Frames.size() && Bytes + Frames[N].size() + 8 <= Until) Bytes += Frames[N++].size();
    std::vector<uint8_t> B(Until - Bytes, 0);
    for (size_t I = 0; I < N; ++I) Append(B, Frames[I]);
    *Used = N;
    return B;
  };
  const size_t FirstPiece = 128 * 1024, LookAhead = 32 * 1024;

  std::vector<std::pair<std::string, std::vector<uint8_t>>> Cases;
  {
    // The frames end 32 KB before the end of the first piece: the junk byte
    // after them puts libmad out of step, and the top-up comes next, with
    // the lone frame first in the new buffer.
    size_t Used = 0;
    auto B = FramesUpTo(FirstPiece - LookAhead, &Used);
    B.push_back(0);
    Append(B, Lone);
    Append(B, Junk);
    for (size_t I = Used; I < Frames.size(); ++I) Append(B, Frames[I]);
    Cases.emplace_back("after a top-up", B);
  }
  {
    // The frames run past the point of the top-up, to a frame boundary A,
    // where the buffer is topped up to A + 128 KB. Junk without a frame
    // header then runs to 8 bytes before that end, where libmad, searching
    // out of step, asks for more: the lone frame starts the next buffer.
    size_t Used = 0;
    auto B = FramesUpTo(FirstPiece - LookAhead, &Used);
    Append(B, Frames[Used++]);
    const size_t A = B.size();
    B.resize(A + FirstPiece - 8, 0);
    Append(B, Lone);
    Append(B, Junk);
    for (size_t I = Used; I < Frames.size(); ++I) Append(B, Frames[I]);
    Cases.emplace_back("after a refill for a frame that did not fit", B);
  }
  for (const auto& [Name, Bytes] : Cases) {
    SCOPED_TRACE(Name);
    const std::string File = Dir.Path("lone.mp3");
    WriteFileBytes(File, Bytes);
    const std::vector<int16_t> Want = Decoded(File);
    // The decoder passes the lone frame over: every other frame, once.
    ASSERT_EQ(Want.size(), Frames.size() * 1152 * 2);
    auto In = Source(File);
    ASSERT_TRUE(In->Valid());
    EXPECT_EQ(In->SampleCount(), static_cast<int64_t>(Frames.size() * 1152));
    EXPECT_TRUE(ReadAll(*In) == Want) << "the samples differ";
  }
}

}  // namespace
