// The MPEG information probe: hand-made frame sequences for the arithmetic and
// the hostile cases, files made by lame measured against ffprobe and mpg123,
// and "velmora-cli info" on MP3 files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "codecs/MPEGAudio.h"
#include "codecs/MpegFrame.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<uint8_t>;

// MPEG-1 Layer III, 128 kbit/s, 44 100 Hz, joint stereo: 417-byte frames.
const uint8_t Cbr128[4] = {0xFF, 0xFB, 0x90, 0x44};
// MPEG-2 Layer III, 64 kbit/s, 22 050 Hz, mono: 72 × 64000 / 22050 = 208 bytes.
const uint8_t Mpeg2Mono64[4] = {0xFF, 0xF3, 0x80, 0xC4};

// Count frames with the header H and zero bodies.
Bytes Frames(const uint8_t* H, int Bytes_, int Count) {
  Bytes B;
  for (int I = 0; I < Count; ++I) {
    B.insert(B.end(), H, H + 4);
    B.resize(B.size() + static_cast<size_t>(Bytes_ - 4), 0);
  }
  return B;
}

void Append(Bytes& To, const Bytes& From) { To.insert(To.end(), From.begin(), From.end()); }

// A first frame carrying a Xing header with the given flags and frame count.
Bytes XingFrame(const uint8_t* H, int Bytes_, int XingAt, uint32_t Flags, uint32_t Count) {
  Bytes B = Frames(H, Bytes_, 1);
  std::memcpy(&B[static_cast<size_t>(XingAt)], "Xing", 4);
  for (int I = 0; I < 4; ++I) {
    B[static_cast<size_t>(XingAt + 4 + I)] = static_cast<uint8_t>(Flags >> (24 - 8 * I));
    B[static_cast<size_t>(XingAt + 8 + I)] = static_cast<uint8_t>(Count >> (24 - 8 * I));
  }
  return B;
}

// An ID3 version 1 tag from raw (Latin-1) fields.
Bytes Id3v1(const std::string& Title, const std::string& Artist, uint8_t Track, uint8_t Genre) {
  Bytes T(128, 0);
  std::memcpy(T.data(), "TAG", 3);
  std::memcpy(&T[3], Title.data(), std::min<size_t>(Title.size(), 30));
  std::memcpy(&T[33], Artist.data(), std::min<size_t>(Artist.size(), 30));
  std::memcpy(&T[93], "1999", 4);
  T[126] = Track;
  T[127] = Genre;
  return T;
}

// An ID3 version 2 tag of Body bytes whose content looks like a run of frames
// of another stream (48 kHz), as a cover picture's bytes may.
Bytes Id3v2WithFakeFrames(size_t Body) {
  Bytes T = {'I', 'D', '3', 3, 0, 0};
  for (int Shift = 21; Shift >= 0; Shift -= 7)
    T.push_back(static_cast<uint8_t>((Body >> Shift) & 0x7F));
  const uint8_t Fake[4] = {0xFF, 0xFB, 0x94, 0x44};  // 128 kbit/s at 48 kHz: 384 bytes
  Bytes F = Frames(Fake, 384, static_cast<int>(Body / 384) + 1);
  F.resize(Body);
  Append(T, F);
  return T;
}

std::unique_ptr<TMPEGAudio> Probe(const std::string& Name) {
  auto P = std::make_unique<TMPEGAudio>();
  P->OnError = nullptr;  // failed reads return -1
  P->SetFileName(Name);
  return P;
}

class MpegInfo : public ::testing::Test {
 protected:
  std::string Write(const std::string& Name, const Bytes& B) {
    WriteFileBytes(Dir.Path(Name), B);
    return Dir.Path(Name);
  }
  TempDir Dir;
};

TEST_F(MpegInfo, ConstantRateTimeCountsTheAudioBytesIn64Bits) {
  // 1000 frames and a tag: 417 000 bytes of audio at 128 kbit/s = 26.06 s.
  Bytes B = Frames(Cbr128, 417, 1000);
  Append(B, Id3v1("T", "A", 0, 1));
  auto P = Probe(Write("cbr.mp3", B));
  ASSERT_TRUE(P->Valid());
  const TMpegInfo& I = P->Info();
  EXPECT_EQ(26, I.Duration);
  EXPECT_EQ(1, I.Version);
  EXPECT_EQ(3, I.Layer);
  EXPECT_EQ(128, I.BitRate);
  EXPECT_EQ(44100, I.SampleRate);
  EXPECT_EQ(1, I.ChannelMode);
  EXPECT_EQ(417, I.FrameLength);
  EXPECT_EQ(static_cast<int64_t>(B.size()), I.FileLength);

  // MPEG-2 Layer III frames are 72 × rate bytes long, not 144 ×.
  auto M = Probe(Write("m2.mp3", Frames(Mpeg2Mono64, 208, 3)));
  ASSERT_TRUE(M->Valid());
  EXPECT_EQ(2, M->Info().Version);
  EXPECT_EQ(208, M->Info().FrameLength);
  EXPECT_EQ(576, M->SamplesPerFrame());

  // Past 256 MiB the bit count no longer fits 32 bits, and past 65 536 s the
  // old 16-bit play time wrapped: a sparse 1.2 GB file of which only the
  // first frames are real.
  const std::string Big = Write("big.mp3", Frames(Cbr128, 417, 4));
  std::filesystem::resize_file(Big, 1200000000ull);
  auto G = Probe(Big);
  ASSERT_TRUE(G->Valid());
  EXPECT_EQ(1200000000ll * 8 / 128000, G->Duration());
  EXPECT_EQ(20, G->DurationTime().Hours);
  EXPECT_EQ(50, G->DurationTime().Minutes);
  EXPECT_EQ(0, G->DurationTime().Seconds);
}

TEST_F(MpegInfo, XingFrameCountGivesThePlayTimeWithTheRightFrameSize) {
  // MPEG-1 stereo: the Xing header sits 36 bytes into the frame; 10 000
  // frames of 1152 samples at 44 100 Hz are 261 s.
  Bytes A = XingFrame(Cbr128, 417, 36, 0x0F, 10000);
  Append(A, Frames(Cbr128, 417, 3));
  auto P = Probe(Write("v1.mp3", A));
  ASSERT_TRUE(P->Valid());
  EXPECT_EQ(-1, P->Info().BitRate);
  EXPECT_EQ(261, P->Duration());
  EXPECT_EQ(static_cast<int>(A.size() / 10000), P->Info().FrameLength);

  // MPEG-2 mono: 13 bytes in, and frames of 576 samples: 10 000 frames at
  // 22 050 Hz are 261 s as well, not twice that.
  Bytes B = XingFrame(Mpeg2Mono64, 208, 13, 0x01, 10000);
  Append(B, Frames(Mpeg2Mono64, 208, 3));
  auto Q = Probe(Write("v2.mp3", B));
  ASSERT_TRUE(Q->Valid());
  EXPECT_EQ(261, Q->Duration());
}

TEST_F(MpegInfo, UnusableFilesGiveNoPlayTime) {
  // A Xing header that counts no frames (or has no count) fails the read
  // instead of dividing by zero.
  for (uint32_t Flags : {0x01u, 0x00u}) {
    Bytes A = XingFrame(Cbr128, 417, 36, Flags, 0);
    Append(A, Frames(Cbr128, 417, 3));
    auto P = std::make_unique<TMPEGAudio>();
    P->OnError = nullptr;
    P->SetAutoRead(false);
    P->SetFileName(Write("x.mp3", A));
    EXPECT_EQ(-1, P->Read());
    EXPECT_FALSE(P->Valid());
    EXPECT_EQ(0, P->Duration());
  }
  // One whole frame and the first two bytes of the next: the successor's
  // header is not there, whatever the memory behind the file holds.
  Bytes T = Frames(Cbr128, 417, 1);
  T.push_back(0xFF);
  T.push_back(0xFB);
  EXPECT_FALSE(Probe(Write("tail.mp3", T))->Valid());
  // A file of zeros: with the default limit the search ends after 4 MiB.
  const std::string Zeros = Write("zeros.mp3", Bytes(10, 0));
  std::filesystem::resize_file(Zeros, 300ull << 20);
  auto Z = Probe(Zeros);
  EXPECT_FALSE(Z->Valid());
  EXPECT_EQ(0, Z->Duration());
}

TEST_F(MpegInfo, TagsAndGarbageInFrontAreNotTakenForFrames) {
  // A large ID3 version 2 tag full of frame-like bytes is skipped whole.
  const Bytes Tag = Id3v2WithFakeFrames(500000);
  Bytes A = Tag;
  Append(A, Frames(Cbr128, 417, 500));
  auto P = Probe(Write("cover.mp3", A));
  ASSERT_TRUE(P->Valid());
  EXPECT_EQ(44100, P->Info().SampleRate);
  EXPECT_EQ(static_cast<int64_t>(Tag.size()), P->FirstFramePos());
  EXPECT_EQ(13, P->Duration());  // 208 500 bytes, not 708 500

  // Garbage with a lone sync word, then a frame whose successor is damaged:
  // the stream is found at the first pair that holds.
  Bytes G(1000, 0x5A);
  std::memcpy(&G[100], Cbr128, 4);
  Append(G, Frames(Cbr128, 417, 10));
  G[1000 + 417] = 0;  // the second frame's header
  auto Q = Probe(Write("garbage.mp3", G));
  ASSERT_TRUE(Q->Valid());
  EXPECT_EQ(1000 + 2 * 417, Q->FirstFramePos());

  // The search gives up after the scan limit.
  Bytes L(2 << 20, 0);
  Append(L, Frames(Cbr128, 417, 3));
  const std::string Far = Write("far.mp3", L);
  auto R = std::make_unique<TMPEGAudio>();
  R->OnError = nullptr;
  R->SetAutoRead(false);
  R->SetScanLimit(1 << 20);
  R->SetFileName(Far);
  EXPECT_EQ(-1, R->Read());
  R->SetScanLimit(0);
  EXPECT_EQ(0, R->Read());
  EXPECT_EQ(2 << 20, R->FirstFramePos());
}

TEST_F(MpegInfo, Id3v1TextIsLatin1CutAtThirtyCharacters) {
  Bytes A = Frames(Cbr128, 417, 3);
  Append(A, Id3v1("Caf\xE9 au lait", std::string(30, '\xE9'), 7, 17));
  auto P = Probe(Write("tag.mp3", A));
  ASSERT_TRUE(P->Valid());
  const TMpegInfo& I = P->Info();
  EXPECT_EQ("TAG", I.Header);
  EXPECT_EQ("Caf\xC3\xA9 au lait", I.Title);
  std::string Accents;
  for (int K = 0; K < 30; ++K) Accents += "\xC3\xA9";
  EXPECT_EQ(Accents, I.Artist);  // 30 characters in 60 bytes
  EXPECT_EQ("", I.Album);
  EXPECT_EQ("1999", I.Year);
  EXPECT_EQ(7, I.Track);
  EXPECT_EQ(17, I.Genre);

  // Without a tag the title is the file's name, cut at 30 characters.
  std::string Name;
  for (int K = 0; K < 20; ++K) Name += "\xC3\xBC";  // ü
  Name += "-long-name.mp3";
  auto N = Probe(Write(Name, Frames(Cbr128, 417, 3)));
  ASSERT_TRUE(N->Valid());
  EXPECT_EQ(Name.substr(0, 40 + 10), N->Info().Title);
  EXPECT_EQ("[notag]", N->Info().Artist);
  EXPECT_EQ("BAD", N->Info().Header);
}

TEST_F(MpegInfo, FailedReadsGoThroughThePrompt) {
  // The path is kept whole: a name past 255 characters is not shortened.
  const std::string Missing =
      Dir.Path(std::string(120, 'a') + "/" + std::string(200, 'b') + ".mp3");
  std::vector<std::string> Asked;
  std::vector<int> Answers = {mpaRetry, mpaCancel};
  TMPEGAudio P;
  P.SetAutoRead(false);
  P.OnError = [&](const std::string& F) {
    Asked.push_back(F);
    const int A = Answers.front();
    Answers.erase(Answers.begin());
    return A;
  };
  P.SetFileName(Missing);
  EXPECT_EQ(mpaCancel, P.Read());
  ASSERT_EQ(2u, Asked.size());  // a Retry reads again
  EXPECT_EQ(Missing, Asked[0]);
  EXPECT_EQ(Missing, P.FileName());
  EXPECT_EQ("[not found: bbbbbbbbbbbbbbbbbb", P.Info().Title);

  // With no prompt installed, a new probe answers Ignore without asking.
  TMPEGAudio Q;
  Q.SetAutoRead(false);
  Q.SetFileName(Missing);
  EXPECT_EQ(mpaIgnore, Q.Read());
  // A file of five bytes or less is not looked at and is no failure.
  TMPEGAudio S;
  S.SetAutoRead(false);
  S.SetFileName(Write("tiny.mp3", Bytes(5, 0xFF)));
  EXPECT_EQ(0, S.Read());
  EXPECT_FALSE(S.Valid());
}

// ---------------------------------------------------------------- real files

class MpegInfoTools : public MpegInfo {
 protected:
  void SetUp() override {
    for (const char* T : {"sox", "lame", "ffprobe", "mpg123"})
      if (!HaveTool(T)) GTEST_SKIP() << T << " is needed";
    // 3.3 s: the fraction keeps rounding and truncation on the same second.
    Wav = Dir.Path("in.wav");
    ASSERT_EQ(0, testing_support::Run("sox -n -r 44100 -c 2 -b 16 " + Quote(Wav) +
                                      " synth 3.3 sine 300 sine 500"));
  }
  std::string Lame(const std::string& Options, const std::string& Name) {
    const std::string Out = Dir.Path(Name);
    EXPECT_EQ(
        0, testing_support::Run("lame --quiet " + Options + " " + Quote(Wav) + " " + Quote(Out)));
    return Out;
  }
  // ffprobe's duration, rounded to whole seconds.
  static long Ffprobe(const std::string& File) {
    std::string Out;
    testing_support::Run(
        "ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 " + Quote(File),
        &Out);
    return std::lround(std::stod(Out.empty() ? "-1" : Out));
  }
  // mpg123's decoded time, "[m:ss]" in seconds.
  static long Mpg123(const std::string& File) {
    std::string Err;
    testing_support::Run("mpg123 -t " + Quote(File), nullptr, &Err);
    const size_t At = Err.rfind("] Decoding of");
    const size_t Open = Err.rfind('[', At);
    if (At == std::string::npos || Open == std::string::npos) return -1;
    const std::string T = Err.substr(Open + 1, At - Open - 1);
    const size_t Colon = T.find(':');
    return std::stol(T.substr(0, Colon)) * 60 + std::stol(T.substr(Colon + 1));
  }
  std::string Wav;
};

TEST_F(MpegInfoTools, PlayTimesAgreeWithFfprobeAndMpg123) {
  std::vector<std::string> Files = {Lame("-b 128", "cbr.mp3"), Lame("-V2", "vbr.mp3"),
                                    Lame("-V2 --resample 22.05", "mpeg2.mp3")};
  const Bytes Cbr = ReadFileBytes(Files[0]);
  Bytes Cover = Id3v2WithFakeFrames(500000);
  Append(Cover, Cbr);
  Files.push_back(Write("cover.mp3", Cover));
  Bytes Garbage(1000, 0x33);
  Append(Garbage, Cbr);
  Files.push_back(Write("garbage.mp3", Garbage));
  // The second frame's header (behind lame's information frame).
  Bytes Damaged = Cbr;
  TMpegFrameHeader H;
  ASSERT_TRUE(ParseMpegFrameHeader(Cbr.data(), H));
  std::memset(&Damaged[static_cast<size_t>(H.FrameBytes)], 0, 4);
  Files.push_back(Write("damaged.mp3", Damaged));

  for (const std::string& F : Files) {
    auto P = Probe(F);
    ASSERT_TRUE(P->Valid()) << F;
    EXPECT_EQ(Ffprobe(F), P->Duration()) << F;
    EXPECT_EQ(Mpg123(F), P->Duration()) << F;
  }
  EXPECT_EQ(2, Probe(Files[2])->Info().Version);
  EXPECT_EQ(-1, Probe(Files[1])->Info().BitRate);
}

TEST_F(MpegInfoTools, CliInfoPrintsPlayTimeBitRateAndTag) {
  const std::string Tagged =
      Lame("-b 160 --tt Title --ta Artist --tl Album --ty 2004 --tc Comment --tn 3 --tg Jazz",
           "tag.mp3");
  std::string Out;
  ASSERT_EQ(
      0, testing_support::Run(Quote(BinDir() + "/velmora-cli") + " info " + Quote(Tagged), &Out));
  for (const char* Line :
       {"valid=1\n", "channels=2\n", "rate=44100\n", "seconds=3\n", "bitrate=160\n", "vbr=0\n",
        "title=Title\n", "artist=Artist\n", "album=Album\n", "year=2004\n", "comment=Comment\n",
        "track=3\n", "genre=8\n"})
    EXPECT_NE(std::string::npos, Out.find(Line)) << Line << " in\n" << Out;

  ASSERT_EQ(0,
            testing_support::Run(
                Quote(BinDir() + "/velmora-cli") + " info " + Quote(Lame("-V2", "v.mp3")), &Out));
  EXPECT_NE(std::string::npos, Out.find("vbr=1\n")) << Out;
  EXPECT_EQ(std::string::npos, Out.find("title=")) << Out;
  // A file without frames is reported as not valid, without a prompt.
  ASSERT_EQ(0, testing_support::Run(Quote(BinDir() + "/velmora-cli") + " info " +
                                        Quote(Write("no.mp3", Bytes(999, 1))),
                                    &Out));
  EXPECT_NE(std::string::npos, Out.find("valid=0\n")) << Out;
}

}  // namespace
