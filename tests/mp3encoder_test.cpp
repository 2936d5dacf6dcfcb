// TMP3Out: files read back by ffmpeg and mpg123, the tag, the information
// frame, the format rules and the ends of a job.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

#include "codecs/ACS_LAME.h"
#include "codecs/MpegFrame.h"
#include "codecs/lame.h"
#include "tests/support/TestSupport.h"
#include "wave/ACS_Wave.h"

using namespace testing_support;
using enum TMP3BitRate;

namespace {

struct TJobEnd {
  bool Ended = false;
  bool Failed = false;
  std::string Error;
};

// Runs Sink to its end; fails the test when it does not end in time.
TJobEnd RunJob(TACSOutput& Sink, bool StopAtOnce = false) {
  TJobEnd R;
  Sink.OnDone = [&](TComponent*) { R.Ended = true; };
  Sink.OnThreadException = [&](TComponent*, const std::exception& E) {
    R.Ended = R.Failed = true;
    R.Error = E.what();
  };
  Sink.Run();
  if (StopAtOnce) Sink.Stop();
  // The handlers are gone once this returns; a job stuck past the bound would
  // outlive R, so the wait goes on after reporting it.
  EXPECT_TRUE(Sink.WaitForEnd(std::chrono::seconds(120)));
  Sink.WaitForEnd();
  Sink.OnDone = nullptr;
  Sink.OnThreadException = nullptr;
  return R;
}

// key=value lines of ffprobe for the first audio stream.
std::map<std::string, std::string> Probe(const std::string& File, const std::string& Entries) {
  std::string Out;
  testing_support::Run("ffprobe -v error -select_streams a:0 -show_entries " + Entries +
                           " -of default=nw=1 " + Quote(File),
                       &Out);
  std::map<std::string, std::string> R;
  std::istringstream In(Out);
  for (std::string Line; std::getline(In, Line);) {
    const size_t Eq = Line.find('=');
    if (Eq != std::string::npos) R[Line.substr(0, Eq)] = Line.substr(Eq + 1);
  }
  return R;
}

// Interleaved samples as a tool decodes them to raw 16-bit stereo.
std::vector<int16_t> DecodeWith(const std::string& Command) {
  std::string Out;
  EXPECT_EQ(0, testing_support::Run(Command, &Out)) << Command;
  std::vector<int16_t> S(Out.size() / 2);
  std::memcpy(S.data(), Out.data(), S.size() * 2);
  return S;
}

std::vector<int16_t> FfmpegStereo(const std::string& File) {
  return DecodeWith("ffmpeg -v error -i " + Quote(File) + " -f s16le -ac 2 -acodec pcm_s16le -");
}

class MP3OutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("ffmpeg") || !HaveTool("ffprobe"))
      GTEST_SKIP() << "ffmpeg and ffprobe are needed to read the MP3 files back";
  }
  // A memory source of Frames frames of the test signal.
  TMemorySource* Source(int Frames, int Channels, int Rate) {
    auto* S = new TMemorySource(Job.get());
    const std::vector<int16_t> Sig = MakeSignal16(Frames, Channels, Rate);
    S->Data.resize(Sig.size() * 2);
    std::memcpy(S->Data.data(), Sig.data(), S->Data.size());
    S->Channels = Channels;
    S->Rate = Rate;
    return S;
  }
  TMP3Out* Sink(TACSInput* In, const std::string& Name) {
    auto* O = new TMP3Out(Job.get());
    O->SetFileName(Dir.Path(Name));
    O->SetInput(In);
    return O;
  }
  TempDir Dir;
  TOwned<TComponent> Job{new TComponent(nullptr)};
};

// ------------------------------------------------------------ read back

struct TFormatCase {
  const char* Name;
  int Channels, Rate;
  TMP3BitRate BitRate;
};

void PrintTo(const TFormatCase& C, std::ostream* Os) { *Os << C.Name; }

class MP3OutFormats : public MP3OutTest, public ::testing::WithParamInterface<TFormatCase> {};

// The encoder's information frame tells decoders the exact length, so ffmpeg
// and mpg123 give back exactly the frames that went in.
TEST_P(MP3OutFormats, ToolsReadBackTheFormatAndTheExactLength) {
  const TFormatCase& C = GetParam();
  const int Frames = C.Rate * 3 + 777;
  TMP3Out* Out = Sink(Source(Frames, C.Channels, C.Rate), "out.mp3");
  Out->SetBitRate(C.BitRate);
  const TJobEnd E = RunJob(*Out);
  ASSERT_FALSE(E.Failed) << E.Error;

  const std::string F = Dir.Path("out.mp3");
  auto P = Probe(F, "stream=channels,sample_rate,bit_rate");
  // Mono goes in as two equal channels.
  EXPECT_EQ("2", P["channels"]);
  EXPECT_EQ(std::to_string(C.Rate), P["sample_rate"]);
  EXPECT_EQ(std::to_string(MP3BitRateKbps(C.BitRate) * 1000), P["bit_rate"]);
  EXPECT_EQ(static_cast<size_t>(Frames) * 2, FfmpegStereo(F).size());
  if (HaveTool("mpg123")) {
    const std::vector<int16_t> M = DecodeWith("mpg123 -q -s " + Quote(F));
    EXPECT_EQ(static_cast<size_t>(Frames) * 2, M.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, MP3OutFormats,
                         ::testing::Values(TFormatCase{"Stereo44100", 2, 44100, br128},
                                           TFormatCase{"Mono44100", 1, 44100, br128},
                                           TFormatCase{"Stereo22050", 2, 22050, br64},
                                           TFormatCase{"Mono48000", 1, 48000, br320},
                                           TFormatCase{"Stereo32000", 2, 32000, br96}),
                         [](const ::testing::TestParamInfo<TFormatCase>& I) {
                           return std::string(I.param.Name);
                         });

TEST_F(MP3OutTest, WavFileEncodedFromTheReaderKeepsItsSound) {
  const int Frames = 44100 * 2;
  const std::vector<int16_t> Sig = MakeSignal16(Frames, 2, 44100);
  const std::string W = Dir.Path("in.wav");
  WritePcmWav(W, Sig.data(), Sig.size() * 2, 2, 44100, 16);
  auto* In = new TWaveIn(Job.get());
  In->SetFileName(W);
  TMP3Out* Out = Sink(In, "out.mp3");
  Out->SetBitRate(br192);
  ASSERT_FALSE(RunJob(*Out).Failed);
  const std::vector<int16_t> D = FfmpegStereo(Dir.Path("out.mp3"));
  ASSERT_EQ(Sig.size(), D.size());
  // Gap-less decoding lines the samples up: the error is the codec's only.
  double Num = 0, Den = 0;
  for (size_t I = 0; I < Sig.size(); ++I) {
    Num += std::pow(Sig[I] - D[I], 2.0);
    Den += std::pow(Sig[I], 2.0);
  }
  EXPECT_GT(10 * std::log10(Den / Num), 20.0) << "signal to noise in dB";
}

TEST_F(MP3OutTest, MonoIsEncodedAsTwoEqualChannels) {
  TMP3Out* Out = Sink(Source(44100, 1, 44100), "mono.mp3");
  ASSERT_FALSE(RunJob(*Out).Failed);
  const std::vector<int16_t> D = FfmpegStereo(Dir.Path("mono.mp3"));
  ASSERT_EQ(44100u * 2, D.size());
  int Loud = 0;
  for (size_t I = 0; I < D.size(); I += 2) {
    ASSERT_EQ(D[I], D[I + 1]) << "frame " << I / 2;
    Loud += std::abs(D[I]) > 1000;
  }
  EXPECT_GT(Loud, 10000);
}

TEST_F(MP3OutTest, EightBitInputSoundsLikeSixteenBit) {
  const int Frames = 44100;
  auto* S8 = new TMemorySource(Job.get());
  S8->Data = MakeSignal8(Frames, 2, 44100);
  S8->Bits = 8;
  // The same samples at 16 bits.
  auto* S16 = new TMemorySource(Job.get());
  S16->Data.resize(S8->Data.size() * 2);
  for (size_t I = 0; I < S8->Data.size(); ++I) {
    const int16_t V = static_cast<int16_t>((S8->Data[I] - 128) * 256);
    std::memcpy(&S16->Data[2 * I], &V, 2);
  }
  ASSERT_FALSE(RunJob(*Sink(S8, "8.mp3")).Failed);
  ASSERT_FALSE(RunJob(*Sink(S16, "16.mp3")).Failed);
  // Same encoder input, same file.
  EXPECT_EQ(ReadFileBytes(Dir.Path("16.mp3")), ReadFileBytes(Dir.Path("8.mp3")));
  EXPECT_EQ(static_cast<size_t>(Frames) * 2, FfmpegStereo(Dir.Path("8.mp3")).size());
}

TEST_F(MP3OutTest, BlocksEndingInsideAFrameKeepTheChannelsInStep) {
  // Left carries a tone, right is silent; a source that hands out odd-sized
  // blocks must not push the tone into the right channel.
  const int Frames = 44100 * 2;
  auto* S = new TMemorySource(Job.get());
  std::vector<int16_t> Sig(Frames * 2, 0);
  for (int I = 0; I < Frames; ++I)
    Sig[2 * I] = static_cast<int16_t>(12000 * std::sin(2 * M_PI * 440.0 * I / 44100));
  S->Data.resize(Sig.size() * 2);
  std::memcpy(S->Data.data(), Sig.data(), S->Data.size());
  S->MaxChunk = 1001;
  ASSERT_FALSE(RunJob(*Sink(S, "odd.mp3")).Failed);
  const std::vector<int16_t> D = FfmpegStereo(Dir.Path("odd.mp3"));
  ASSERT_EQ(Sig.size(), D.size());
  double Left = 0, Right = 0;
  for (size_t I = 0; I < D.size(); I += 2) {
    Left += std::abs(D[I]);
    Right += std::abs(D[I + 1]);
  }
  EXPECT_LT(Right, Left / 100);
}

// ------------------------------------------------------------ tag and information frame

std::string Field(const std::vector<uint8_t>& Tag, size_t At, size_t Len) {
  std::string S(reinterpret_cast<const char*>(&Tag[At]), Len);
  return S.substr(0, S.find('\0'));
}

TEST_F(MP3OutTest, TagFieldsEndTheFile) {
  TMP3Out* Out = Sink(Source(44100, 2, 44100), "tagged.mp3");
  Out->Id3TagTitle = "Night Train";
  Out->Id3TagArtist = "The Velmora Band";
  Out->Id3TagAlbum = "Rails";
  Out->Id3TagYear = "1999";
  Out->Id3TagTrack = "7";
  Out->Id3TagComment = "first take";
  ASSERT_FALSE(RunJob(*Out).Failed);
  const std::vector<uint8_t> F = ReadFileBytes(Dir.Path("tagged.mp3"));
  ASSERT_GT(F.size(), 128u);
  const std::vector<uint8_t> Tag(F.end() - 128, F.end());
  ASSERT_EQ("TAG", Field(Tag, 0, 3));
  EXPECT_EQ("Night Train", Field(Tag, 3, 30));
  EXPECT_EQ("The Velmora Band", Field(Tag, 33, 30));
  EXPECT_EQ("Rails", Field(Tag, 63, 30));
  EXPECT_EQ("1999", Field(Tag, 93, 4));
  EXPECT_EQ("first take", Field(Tag, 97, 28));
  EXPECT_EQ(0, Tag[125]);
  EXPECT_EQ(7, Tag[126]);
  // And a tool no one here wrote reads the same.
  auto P = Probe(Dir.Path("tagged.mp3"), "format_tags=title,artist,album,date,track,comment");
  EXPECT_EQ("Night Train", P["TAG:title"]);
  EXPECT_EQ("The Velmora Band", P["TAG:artist"]);
  EXPECT_EQ("7", P["TAG:track"]);
}

TEST_F(MP3OutTest, NoTagWhenEveryFieldIsEmpty) {
  ASSERT_FALSE(RunJob(*Sink(Source(44100, 2, 44100), "plain.mp3")).Failed);
  const std::vector<uint8_t> F = ReadFileBytes(Dir.Path("plain.mp3"));
  ASSERT_GT(F.size(), 128u);
  EXPECT_NE(0, std::memcmp(&F[F.size() - 128], "TAG", 3));
  EXPECT_EQ(44100u * 2, FfmpegStereo(Dir.Path("plain.mp3")).size());
}

TEST_F(MP3OutTest, FirstFrameCarriesTheEncodersInformation) {
  const int Frames = 44100 * 2 + 100;
  ASSERT_FALSE(RunJob(*Sink(Source(Frames, 2, 44100), "info.mp3")).Failed);
  const std::vector<uint8_t> F = ReadFileBytes(Dir.Path("info.mp3"));
  TMpegFrameHeader H;
  ASSERT_TRUE(ParseMpegFrameHeader(F.data(), H));
  ASSERT_TRUE(IsXingFrame(F.data(), static_cast<size_t>(H.FrameBytes), H));
  // The frame count (big-endian, after the flags) is that of the frames
  // behind the information frame.
  const size_t At = 4 + 32;
  ASSERT_TRUE(F[At + 7] & 1) << "no frame count";
  const uint32_t Count = F[At + 8] << 24 | F[At + 9] << 16 | F[At + 10] << 8 | F[At + 11];
  uint32_t Walked = 0;
  for (size_t P = H.FrameBytes; P + 4 <= F.size(); ++Walked) {
    TMpegFrameHeader N;
    if (!ParseMpegFrameHeader(&F[P], N)) break;
    P += N.FrameBytes;
  }
  EXPECT_EQ(Walked, Count);
  const std::string Body(F.begin(), F.begin() + H.FrameBytes);
  EXPECT_NE(std::string::npos, Body.find("LAME"));
}

// ------------------------------------------------------------ ends of a job

TEST_F(MP3OutTest, StopRightAfterRunStillWritesAWholeFile) {
  TMP3Out* Out = Sink(Source(44100 * 20, 2, 44100), "stopped.mp3");
  Out->Id3TagTitle = "Cut";
  const TJobEnd E = RunJob(*Out, /*StopAtOnce=*/true);
  ASSERT_FALSE(E.Failed) << E.Error;
  auto* S = static_cast<TMemorySource*>(Out->Input());
  EXPECT_EQ(S->InitCount, S->FlushCount);
  // Whole frames up to the tag, the first one the information frame.
  const std::vector<uint8_t> F = ReadFileBytes(Dir.Path("stopped.mp3"));
  ASSERT_GT(F.size(), 128u);
  EXPECT_EQ(0, std::memcmp(&F[F.size() - 128], "TAG", 3));
  size_t P = 0;
  TMpegFrameHeader H;
  ASSERT_TRUE(ParseMpegFrameHeader(F.data(), H));
  EXPECT_TRUE(IsXingFrame(F.data(), static_cast<size_t>(H.FrameBytes), H));
  while (P + 4 <= F.size() - 128 && ParseMpegFrameHeader(&F[P], H)) P += H.FrameBytes;
  EXPECT_EQ(F.size() - 128, P);
}

TEST_F(MP3OutTest, StopDuringAJobLeavesAFileToolsRead) {
  TMP3Out* Out = Sink(Source(44100 * 30, 2, 44100), "stopped.mp3");
  Out->Id3TagTitle = "Cut";
  std::atomic<bool> Going{false};
  Out->OnProgress = [&](TComponent*) { Going = true; };
  bool Ended = false;
  Out->OnDone = [&](TComponent*) { Ended = true; };
  Out->Run();
  while (!Going) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Out->Stop();
  ASSERT_TRUE(Out->WaitForEnd(std::chrono::seconds(60)));
  ASSERT_TRUE(Ended);
  const std::string F = Dir.Path("stopped.mp3");
  std::string Err;
  EXPECT_EQ(0,
            testing_support::Run("ffmpeg -v error -i " + Quote(F) + " -f null -", nullptr, &Err));
  EXPECT_EQ("", Err);
  EXPECT_EQ("Cut", Probe(F, "format_tags=title")["TAG:title"]);
  // Exactly what was read before the stop.
  auto* S = static_cast<TMemorySource*>(Out->Input());
  EXPECT_EQ(static_cast<size_t>(S->Position() / 2), FfmpegStereo(F).size());
}

TEST_F(MP3OutTest, InputOfUnknownSizeStillEncodes) {
  TMemorySource* S = Source(44100 * 2, 2, 44100);
  S->UseReportedSize = true;
  S->ReportedSize = -1;
  TMP3Out* Out = Sink(S, "live.mp3");
  ASSERT_FALSE(RunJob(*Out).Failed);
  EXPECT_EQ(44100u * 2 * 2, FfmpegStereo(Dir.Path("live.mp3")).size());
}

TEST_F(MP3OutTest, StartFailuresReachOnThreadExceptionAndReleaseEverything) {
  struct TCase {
    std::string File;
    int Bits, Channels, Rate;
    std::string Message;
  };
  const std::vector<TCase> Cases = {
      {"", 16, 2, 44100, "File name is not assigned."},
      {"b.mp3", 32, 2, 44100, "Cannot encode 32-bit 2-channel audio to mp3."},
      {"c.mp3", 16, 6, 44100, "Cannot encode 16-bit 6-channel audio to mp3."},
      {"d.mp3", 16, 2, 0, "Cannot encode 0 Hz audio to mp3."},
  };
  for (const TCase& C : Cases) {
    TMemorySource* S = Source(1000, 2, 44100);
    S->Bits = C.Bits;
    S->Channels = C.Channels;
    S->Rate = C.Rate;
    auto* Out = new TMP3Out(Job.get());
    Out->SetFileName(C.File.empty() ? "" : Dir.Path(C.File));
    Out->SetInput(S);
    const TJobEnd E = RunJob(*Out);
    EXPECT_TRUE(E.Failed);
    EXPECT_EQ(C.Message, E.Error);
    EXPECT_EQ(S->InitCount, S->FlushCount) << C.Message;
    EXPECT_EQ(osIdle, Out->Status());
  }
}

TEST_F(MP3OutTest, FailingInputEndsThroughOnThreadExceptionWithAClosedFile) {
  TMemorySource* S = Source(44100 * 5, 2, 44100);
  S->FailAfter = 100000;
  TMP3Out* Out = Sink(S, "failed.mp3");
  const TJobEnd E = RunJob(*Out);
  EXPECT_TRUE(E.Failed);
  EXPECT_EQ("Simulated read failure", E.Error);
  EXPECT_EQ(1, S->FlushCount);
  // What was encoded is still a readable file.
  std::string Err;
  EXPECT_EQ(
      0, testing_support::Run("ffmpeg -v error -i " + Quote(Dir.Path("failed.mp3")) + " -f null -",
                              nullptr, &Err));
  // The sink runs again afterwards.
  TMemorySource* S2 = Source(44100, 2, 44100);
  Out->SetInput(S2);
  EXPECT_FALSE(RunJob(*Out).Failed);
}

// ------------------------------------------------------------ library and table

TEST_F(MP3OutTest, LowestAndHighestBitRatesReachTheFile) {
  for (TMP3BitRate B : {br8, br320}) {
    TMP3Out* Out = Sink(Source(44100, 2, 44100), "rate.mp3");
    Out->SetBitRate(B);
    ASSERT_FALSE(RunJob(*Out).Failed);
    EXPECT_EQ(std::to_string(MP3BitRateKbps(B) * 1000),
              Probe(Dir.Path("rate.mp3"), "stream=bit_rate")["bit_rate"]);
  }
}

TEST(MP3OutLibrary, LoadedWhileAnEncoderExists) {
  ASSERT_EQ(0, LameLibrary().RefCount());
  {
    TOwned<TMP3Out> A = MakeComponent<TMP3Out>(nullptr);
    TOwned<TMP3Out> B = MakeComponent<TMP3Out>(nullptr);
    EXPECT_TRUE(LameLibrary().Loaded());
    EXPECT_EQ(2, LameLibrary().RefCount());
    A.reset();
    EXPECT_TRUE(LameLibrary().Loaded());
  }
  EXPECT_FALSE(LameLibrary().Loaded());
}

}  // namespace
