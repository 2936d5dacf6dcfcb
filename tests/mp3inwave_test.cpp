// MPEG Layer-3 WAVE files (format tag 85) through the audio compression
// manager: files made by ffmpeg against madplay and mpg123 decoding the same
// MP3 stream, hand-made hostile headers, and the manager's own rules.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/AcmMpegLayer3.h"
#include "tests/support/TestSupport.h"
#include "wave/MSAcm.h"
#include "wave/WaveConverter.h"
#include "wave/WaveIn.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes& B, uint32_t V, int N) {
  for (int I = 0; I < N; ++I) B.push_back(static_cast<uint8_t>(V >> (8 * I)));
}
void Chunk(Bytes& B, const char* Name, const Bytes& Body, int64_t Size = -1) {
  B.insert(B.end(), Name, Name + 4);
  Put(B, static_cast<uint32_t>(Size < 0 ? static_cast<int64_t>(Body.size()) : Size), 4);
  B.insert(B.end(), Body.begin(), Body.end());
}
// The "fmt " body an MP3 encoder writes: the structure and 12 bytes of its own.
Bytes Mp3Fmt(int Ch, int Rate, int Extra = 12) {
  Bytes F;
  for (auto [V, N] : {std::pair{85, 2}, {Ch, 2}, {Rate, 4}, {16000, 4}, {1, 2}, {0, 2}, {Extra, 2}})
    Put(F, static_cast<uint32_t>(V), N);
  F.resize(F.size() + static_cast<size_t>(Extra), 0);
  return F;
}
// "RIFF" "WAVE" with "fmt ", "fact", Before, "data" and After.
Bytes Mp3Wave(const Bytes& Fmt, const Bytes& Data, const Bytes& Before = {},
              const Bytes& After = {}, int64_t DataSize = -1) {
  Bytes C, Fact;
  Chunk(C, "fmt ", Fmt);
  Put(Fact, 0, 4);
  Chunk(C, "fact", Fact);
  C.insert(C.end(), Before.begin(), Before.end());
  Chunk(C, "data", Data, DataSize);
  C.insert(C.end(), After.begin(), After.end());
  Bytes B = {'R', 'I', 'F', 'F'};
  Put(B, static_cast<uint32_t>(C.size() + 4), 4);
  B.insert(B.end(), {'W', 'A', 'V', 'E'});
  B.insert(B.end(), C.begin(), C.end());
  return B;
}
// Count Layer III frames of silence: a header, then zeros (no bits borrowed,
// nothing coded), each decoding to one frame of zeros.
Bytes SilentFrames(const uint8_t* Header, int FrameBytes, int Count) {
  Bytes B;
  for (int I = 0; I < Count; ++I) {
    B.insert(B.end(), Header, Header + 4);
    B.resize(B.size() + static_cast<size_t>(FrameBytes - 4), 0);
  }
  return B;
}
const uint8_t Stereo44k[4] = {0xFF, 0xFB, 0x90, 0x44};  // 417 bytes, 1152 samples
const uint8_t Mono22k[4] = {0xFF, 0xF3, 0x80, 0xC4};    // 208 bytes, 576 samples

// Everything a job delivers, as samples.
std::vector<int16_t> ReadAll(TWaveIn& W) {
  std::vector<int16_t> Out;
  W.Init();
  int16_t Buf[4000];
  for (int N; (N = W.GetData(Buf, sizeof Buf)) > 0;) Out.insert(Out.end(), Buf, Buf + N / 2);
  W.Flush();
  return Out;
}

int OpenDescriptors() {
  int N = 0;
  if (DIR* D = opendir("/proc/self/fd")) {
    while (readdir(D)) ++N;
    closedir(D);
  }
  return N;
}

class Mp3InWave : public ::testing::Test {
 protected:
  void SetUp() override { InstallMpegLayer3AcmDriver(); }
  std::string Write(const std::string& Name, const Bytes& B) {
    WriteFileBytes(Dir.Path(Name), B);
    return Dir.Path(Name);
  }
  TempDir Dir;
};

// ---------------------------------------------------------------- files made by ffmpeg

struct TStreamCase {
  const char* Name;
  int Channels;
  int Rate;
};

class Mp3InWaveTools : public Mp3InWave, public ::testing::WithParamInterface<TStreamCase> {};

// The MP3 stream inside a WAVE file: the body of its "data" chunk.
Bytes DataBody(const Bytes& W) {
  for (size_t At = 12; At + 8 <= W.size();) {
    const uint32_t Size = W[At + 4] | W[At + 5] << 8 | W[At + 6] << 16 | uint32_t{W[At + 7]} << 24;
    if (std::memcmp(&W[At], "data", 4) == 0)
      return Bytes(
          W.begin() + static_cast<std::ptrdiff_t>(At + 8),
          W.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(W.size(), At + 8 + Size)));
    At += 8 + Size;
  }
  return {};
}

// The reader decodes to the samples madplay and mpg123 give for the same MP3
// stream, frame for frame: no frame lost at either end, no padding behind.
// Both tools round where this program truncates (as its MP3 decoder does), so
// samples may differ by one step.
TEST_P(Mp3InWaveTools, DecodesLikeMadplayAndMpg123) {
  const TStreamCase& C = GetParam();
  for (const char* T : {"sox", "ffmpeg", "madplay", "mpg123"})
    if (!HaveTool(T)) GTEST_SKIP() << T << " is needed";
  const std::string Src = Dir.Path("src.wav"), File = Dir.Path("mp3.wav");
  ASSERT_EQ(0, testing_support::Run("sox -n -r " + std::to_string(C.Rate) + " -c " +
                                    std::to_string(C.Channels) + " -b 16 " + Quote(Src) +
                                    " synth 1.2 sine 300 sine 500"));
  std::string Err;
  ASSERT_EQ(0, testing_support::Run(
                   "ffmpeg -v error -y -i " + Quote(Src) + " -c:a libmp3lame -f wav " + Quote(File),
                   nullptr, &Err))
      << Err;
  const std::string Mp3 = Write("stream.mp3", DataBody(ReadFileBytes(File)));

  auto W = MakeComponent<TWaveIn>(nullptr);
  W->SetFileName(File);
  ASSERT_TRUE(W->Valid());
  EXPECT_EQ(wtACM, W->WavType());
  EXPECT_EQ(C.Channels, W->InChannels());
  EXPECT_EQ(C.Rate, W->InSampleRate());
  EXPECT_EQ(16, W->InBitsPerSample());
  EXPECT_EQ(1, W->TotalTime());
  const std::vector<int16_t> Got = ReadAll(*W);
  EXPECT_EQ(static_cast<size_t>(W->SampleCount()) * C.Channels, Got.size());

  ASSERT_EQ(0, testing_support::Run("madplay -Q -d -o wave:" + Quote(Dir.Path("m.wav")) + " " +
                                    Quote(Mp3)));
  std::string Raw;
  ASSERT_EQ(0, testing_support::Run("mpg123 -q --no-gapless -s " + Quote(Mp3), &Raw));
  std::vector<int16_t> Mpg(Raw.size() / 2);
  std::memcpy(Mpg.data(), Raw.data(), Mpg.size() * 2);
  for (const auto& [Name, Ref] :
       {std::pair{"madplay", ReadPcm16Wav(Dir.Path("m.wav"))}, std::pair{"mpg123", Mpg}}) {
    ASSERT_EQ(Ref.size(), Got.size()) << Name;
    int MaxDiff = 0;
    for (size_t I = 0; I < Ref.size(); ++I) MaxDiff = std::max(MaxDiff, std::abs(Ref[I] - Got[I]));
    EXPECT_LE(MaxDiff, 1) << Name;
  }
  // The signal is there, not silence.
  EXPECT_GT(*std::max_element(Got.begin(), Got.end()), 8000);

  // A job from a start frame begins there: the image is seekable PCM.
  W->SetStartSample(1000);
  const std::vector<int16_t> Tail = ReadAll(*W);
  ASSERT_EQ(Got.size() - 1000u * C.Channels, Tail.size());
  EXPECT_TRUE(std::equal(Tail.begin(), Tail.end(), Got.begin() + 1000 * C.Channels));
}

INSTANTIATE_TEST_SUITE_P(Ffmpeg, Mp3InWaveTools,
                         ::testing::Values(TStreamCase{"Mono44100", 1, 44100},
                                           TStreamCase{"Stereo44100", 2, 44100},
                                           TStreamCase{"Mono22050", 1, 22050},
                                           TStreamCase{"Stereo22050", 2, 22050}),
                         [](const auto& I) { return std::string(I.param.Name); });

TEST_F(Mp3InWave, CliConvertsItLikeAnyWav) {
  for (const char* T : {"sox", "ffmpeg", "flac"})
    if (!HaveTool(T)) GTEST_SKIP() << T << " is needed";
  const std::string Src = Dir.Path("src.wav"), File = Dir.Path("mp3.wav");
  ASSERT_EQ(0, testing_support::Run("sox -n -r 44100 -c 2 -b 16 " + Quote(Src) +
                                    " synth 1.2 sine 300 sine 500"));
  ASSERT_EQ(0, testing_support::Run("ffmpeg -v error -y -i " + Quote(Src) +
                                    " -c:a libmp3lame -f wav " + Quote(File)));
  auto W = MakeComponent<TWaveIn>(nullptr);
  W->SetFileName(File);
  const std::vector<int16_t> Direct = ReadAll(*W);

  const std::string Cli = Quote(BinDir() + "/velmora-cli");
  std::string Out, Err;
  ASSERT_EQ(0, testing_support::Run(Cli + " info " + Quote(File), &Out, &Err)) << Err;
  EXPECT_NE(std::string::npos, Out.find("valid=1\nchannels=2\nrate=44100\nbits=16\nsamples=" +
                                        std::to_string(Direct.size() / 2) + "\n"))
      << Out;
  const std::string Flac = Dir.Path("out.flac");
  ASSERT_EQ(
      0, testing_support::Run(Cli + " convert " + Quote(File) + " " + Quote(Flac), nullptr, &Err))
      << Err;
  ASSERT_EQ(0, testing_support::Run("flac -s -d -f -o " + Quote(Dir.Path("back.wav")) + " " +
                                    Quote(Flac)));
  EXPECT_EQ(Direct, ReadPcm16Wav(Dir.Path("back.wav")));
}

// ---------------------------------------------------------------- hand-made files

TEST_F(Mp3InWave, ImageHoldsExactlyTheDecodedFrames) {
  for (auto [Header, Bytes_, Ch, Rate, Samples] :
       {std::tuple{Stereo44k, 417, 2, 44100, 1152}, std::tuple{Mono22k, 208, 1, 22050, 576}}) {
    // 60 frames: several pieces of input for the manager.
    TWaveConverter C;
    TMemoryStream S;
    const Bytes F = Mp3Wave(Mp3Fmt(Ch, Rate), SilentFrames(Header, Bytes_, 60));
    S.Write(F.data(), static_cast<int64_t>(F.size()));
    S.SetPosition(0);
    ASSERT_TRUE(C.LoadWave(S));
    EXPECT_EQ(60 * Bytes_, C.Size());
    EXPECT_EQ(85, C.SourceFormat()->FormatTag);
    *C.TargetFormat() = TWaveFormatEx{};
    C.TargetFormat()->FormatTag = 1;
    ASSERT_EQ(kAcmNoError, acmFormatSuggest(nullptr, C.SourceFormat(), C.TargetFormat(),
                                            TWaveConverter::FormatBlockSize, kAcmSuggestFormatTag));
    EXPECT_EQ(Ch, C.TargetFormat()->Channels);
    EXPECT_EQ(16, C.TargetFormat()->BitsPerSample);
    ASSERT_EQ(kAcmNoError, C.Convert());
    EXPECT_EQ(60 * Samples * Ch * 2, C.Size());
    EXPECT_EQ(1, C.SourceFormat()->FormatTag);

    TMemoryStream Image;
    ASSERT_EQ(kAcmNoError, C.SaveWave(Image));
    ASSERT_EQ(44 + C.Size(), Image.Size());
    const uint8_t* H = Image.Memory();
    EXPECT_EQ(0, std::memcmp(H, "RIFF", 4));
    EXPECT_EQ(0, std::memcmp(H + 8, "WAVEfmt \x10\0\0\0\x01\0", 14));
    EXPECT_EQ(Ch, H[22]);
    EXPECT_EQ(0, std::memcmp(H + 36, "data", 4));
    EXPECT_EQ(static_cast<uint32_t>(C.Size()),
              H[40] | H[41] << 8 | H[42] << 16 | uint32_t{H[43]} << 24);
  }
}

TEST_F(Mp3InWave, HostileHeadersAreBoundedByWhatTheFileHolds) {
  const Bytes Frames = SilentFrames(Stereo44k, 417, 3);
  auto Load = [](const Bytes& F, TWaveConverter& C) {
    TMemoryStream S;
    S.Write(F.data(), static_cast<int64_t>(F.size()));
    S.SetPosition(0);
    return C.LoadWave(S);
  };
  // A "fmt " body longer than the format block, claiming more extra bytes
  // than it has: cut to the block.
  {
    TWaveConverter C;
    ASSERT_TRUE(Load(Mp3Wave(Mp3Fmt(2, 44100, 400), Frames), C));
    EXPECT_EQ(TWaveConverter::FormatBlockSize - 18, C.SourceFormat()->ExtraSize);
    Bytes Short = Mp3Fmt(2, 44100, 0);
    Short[16] = 0xFF;  // 255 extra bytes claimed, none there
    ASSERT_TRUE(Load(Mp3Wave(Short, Frames), C));
    EXPECT_EQ(0, C.SourceFormat()->ExtraSize);
  }
  // A "data" size far past the end: what is there.
  {
    TWaveConverter C;
    ASSERT_TRUE(Load(Mp3Wave(Mp3Fmt(2, 44100), Frames, {}, {}, 0x7FFFFFF0), C));
    EXPECT_EQ(static_cast<int64_t>(Frames.size()), C.Size());
  }
  // The first "data" chunk is the audio, whatever a later chunk holds.
  {
    Bytes List = {'L', 'I', 'S', 'T', 12, 0, 0, 0, 'd', 'a', 't', 'a', 4, 0, 0, 0, 1, 2, 3, 4};
    TWaveConverter C;
    ASSERT_TRUE(Load(Mp3Wave(Mp3Fmt(2, 44100), Frames, {}, List), C));
    ASSERT_EQ(static_cast<int64_t>(Frames.size()), C.Size());
    EXPECT_EQ(0, std::memcmp(C.Memory(), Frames.data(), Frames.size()));
  }
  // Not a WAVE file: nothing loaded, and the conversion fails.
  {
    TWaveConverter C;
    EXPECT_FALSE(Load(Frames, C));
    EXPECT_EQ(0, C.Size());
    EXPECT_NE(kAcmNoError, C.Convert());
  }
}

TEST_F(Mp3InWave, UnconvertibleFilesAreInvalidAndLeaveNothingOpen) {
  const Bytes Frames = SilentFrames(Stereo44k, 417, 4);
  const std::vector<Bytes> Bad = {
      Mp3Wave(Mp3Fmt(2, 12345), Frames),             // not an MPEG sample rate
      Mp3Wave(Mp3Fmt(3, 44100), Frames),             // three channels
      Mp3Wave(Mp3Fmt(2, 44100), Bytes(5000, 0x5A)),  // no frame at all
      Mp3Wave(Mp3Fmt(2, 44100), {}),                 // empty data
  };
  const int Before = OpenDescriptors();
  for (const Bytes& B : Bad) {
    auto W = MakeComponent<TWaveIn>(nullptr);
    W->SetFileName(Write("bad.wav", B));
    EXPECT_FALSE(W->Valid());
    EXPECT_EQ(wtACM, W->WavType());
    EXPECT_EQ(0, W->SampleCount());
    EXPECT_TRUE(ReadAll(*W).empty());
    EXPECT_EQ(Before, OpenDescriptors());
  }
  // A stream given from outside is back in place and rewound, converted or not.
  for (const Bytes& B : {Bad[0], Mp3Wave(Mp3Fmt(2, 44100), Frames)}) {
    TMemoryStream S;
    S.Write(B.data(), static_cast<int64_t>(B.size()));
    S.SetPosition(0);
    auto W = MakeComponent<TWaveIn>(nullptr);
    W->SetStream(&S);
    (void)W->Valid();
    EXPECT_EQ(&S, W->Stream());
    EXPECT_EQ(0, S.Position());
  }
  // A good file converts, and its length shows.
  auto W = MakeComponent<TWaveIn>(nullptr);
  W->SetFileName(Write("good.wav", Mp3Wave(Mp3Fmt(2, 44100), Frames)));
  ASSERT_TRUE(W->Valid());
  EXPECT_EQ(4 * 1152, W->SampleCount());
  EXPECT_EQ(Before, OpenDescriptors());
}

// Counts the reads that start at the beginning: each outermost open reads
// the header there (and a conversion loads the file from there once more).
class TCountingStream : public TMemoryStream {
 public:
  int FromStart = 0;
  int64_t Read(void* Buffer, int64_t Count) override {
    if (Position() == 0) ++FromStart;
    return TMemoryStream::Read(Buffer, Count);
  }
};

TEST_F(Mp3InWave, QueriesUnderAHoldConvertOnce) {
  const Bytes F = Mp3Wave(Mp3Fmt(2, 44100), SilentFrames(Stereo44k, 417, 20));
  TCountingStream S;
  S.Write(F.data(), static_cast<int64_t>(F.size()));
  S.SetPosition(0);
  auto W = MakeComponent<TWaveIn>(nullptr);
  W->SetStream(&S);
  ASSERT_TRUE(W->Valid());
  const int PerOpen = S.FromStart;
  ASSERT_GT(PerOpen, 0);
  EXPECT_EQ(2, W->InChannels());
  EXPECT_EQ(2 * PerOpen, S.FromStart);  // every query on its own converts again
  {
    const auto Hold = W->HoldOpen();
    EXPECT_TRUE(W->Valid());
    EXPECT_EQ(20 * 1152, W->SampleCount());
    EXPECT_EQ(44100, W->InSampleRate());
    EXPECT_EQ(3 * PerOpen, S.FromStart);
  }
  EXPECT_EQ(0, S.Position());  // closed again: the stream is rewound
}

// ---------------------------------------------------------------- the manager's rules

// Converts anything of tag 0x7001 to PCM by copying the bytes.
class TCopyDriver : public TAcmDriver {
 public:
  bool Stuck = false;  // takes and gives nothing
  uint32_t MaxFormatSize() const override { return 60; }
  uint32_t Suggest(const TWaveFormatEx& S, TWaveFormatEx& D, uint32_t, uint32_t) override {
    if (S.FormatTag != 0x7001) return kAcmNotPossible;
    D = S;
    D.FormatTag = 1;
    D.ExtraSize = 0;
    return kAcmNoError;
  }
  uint32_t Open(const TWaveFormatEx& S, const TWaveFormatEx& D, bool Query,
                std::unique_ptr<TAcmConversion>& C) override {
    if (S.FormatTag != 0x7001 || D.FormatTag != 1) return kAcmNotPossible;
    if (!Query) C = std::make_unique<TCopy>(Stuck);
    return kAcmNoError;
  }

 private:
  struct TCopy : TAcmConversion {
    explicit TCopy(bool S) : Stuck(S) {}
    bool Stuck;
    uint32_t OutputSize(uint32_t N, uint32_t& Bytes) override {
      Bytes = N;
      return kAcmNoError;
    }
    uint32_t Convert(TAcmStreamHeader& H, uint32_t) override {
      if (Stuck) return kAcmNoError;
      const uint32_t N = std::min(H.SourceLength, H.DestLength);
      std::memcpy(H.Dest, H.Source, N);
      H.SourceLengthUsed = H.DestLengthUsed = N;
      return kAcmNoError;
    }
  };
};

TEST(AcmManager, StreamsFollowThePrepareConvertCloseRules) {
  auto Driver = std::make_shared<TCopyDriver>();
  AcmInstallDriver(Driver);
  struct TRemove {
    TAcmDriver* D;
    ~TRemove() { AcmRemoveDriver(D); }
  } Remove{Driver.get()};

  uint32_t Largest = 0;
  ASSERT_EQ(kAcmNoError, acmMetrics(nullptr, kAcmMetricMaxSizeFormat, &Largest));
  EXPECT_GE(Largest, 60u);
  TWaveFormatEx Src, Dst, Pcm;
  Src.FormatTag = 0x7001;
  Src.Channels = 1;
  Src.BitsPerSample = 16;
  Pcm.FormatTag = 1;
  EXPECT_EQ(kAcmNotPossible, acmFormatSuggest(nullptr, &Pcm, &Dst, 18, kAcmSuggestFormatTag));
  ASSERT_EQ(kAcmNoError, acmFormatSuggest(nullptr, &Src, &Dst, 18, kAcmSuggestFormatTag));
  EXPECT_EQ(kAcmNoDriver,
            acmStreamOpen(nullptr, nullptr, &Pcm, &Pcm, nullptr, 0, 0, kAcmOpenQuery));
  EXPECT_EQ(kAcmNoError, acmStreamOpen(nullptr, nullptr, &Src, &Dst, nullptr, 0, 0, kAcmOpenQuery));

  TAcmStream* S = nullptr;
  ASSERT_EQ(kAcmNoError,
            acmStreamOpen(&S, nullptr, &Src, &Dst, nullptr, 0, 0, kAcmOpenNonRealtime));
  uint8_t In[8] = {1, 2, 3, 4, 5, 6, 7, 8}, Out[8] = {};
  TAcmStreamHeader H;
  H.Source = In;
  H.SourceLength = 8;
  H.Dest = Out;
  H.DestLength = 8;
  EXPECT_EQ(kAcmUnprepared, acmStreamConvert(S, &H, 0));
  ASSERT_EQ(kAcmNoError, acmStreamPrepareHeader(S, &H, 0));
  EXPECT_EQ(kAcmBusy, acmStreamClose(S, 0));
  EXPECT_EQ(kAcmInvalidFlag, acmStreamConvert(S, &H, 0x8000));
  H.SourceLength = 9;  // more than was prepared
  EXPECT_EQ(kAcmInvalidParam, acmStreamConvert(S, &H, 0));
  H.SourceLength = 5;
  ASSERT_EQ(kAcmNoError, acmStreamConvert(S, &H, kAcmConvertEnd));
  EXPECT_EQ(5u, H.DestLengthUsed);
  EXPECT_TRUE(H.Status & kAcmHeaderDone);
  EXPECT_EQ(0, std::memcmp(In, Out, 5));
  ASSERT_EQ(kAcmNoError, acmStreamUnprepareHeader(S, &H, 0));
  EXPECT_EQ(kAcmUnprepared, acmStreamUnprepareHeader(S, &H, 0));
  EXPECT_EQ(kAcmNoError, acmStreamClose(S, 0));

  // A driver that takes nothing and gives nothing fails the converter
  // instead of holding it for ever.
  Driver->Stuck = true;
  TWaveConverter C;
  C.Write(In, 8);
  *C.SourceFormat() = Src;
  *C.TargetFormat() = Dst;
  EXPECT_EQ(kAcmNotPossible, C.Convert());
}

}  // namespace
