// Frame headers read without decoding, checked against files lame makes.
#include "codecs/MpegFrame.h"

#include <gtest/gtest.h>

#include <memory>

#include "codecs/MPEGAudio.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {

TEST(MpegFrameHeader, KnownHeadersGiveTheirFrameLengths) {
  struct TCase {
    uint8_t B[4];
    int Version, Layer, BitRate, Rate, Channels, Bytes, Samples;
  } Cases[] = {
      {{0xFF, 0xFB, 0x90, 0x64}, 10, 3, 128000, 44100, 2, 417, 1152},  // no padding
      {{0xFF, 0xFB, 0x92, 0x64}, 10, 3, 128000, 44100, 2, 418, 1152},  // padding
      {{0xFF, 0xFB, 0xE4, 0xC4}, 10, 3, 320000, 48000, 1, 960, 1152},
      {{0xFF, 0xF3, 0x80, 0xC4}, 20, 3, 64000, 22050, 1, 208, 576},
      {{0xFF, 0xE3, 0x10, 0x44}, 25, 3, 8000, 11025, 2, 52, 576},
      {{0xFF, 0xFD, 0x84, 0x04}, 10, 2, 128000, 48000, 2, 384, 1152},
      {{0xFF, 0xFF, 0x10, 0x04}, 10, 1, 32000, 44100, 2, 32, 384},
  };
  for (const TCase& C : Cases) {
    TMpegFrameHeader H;
    ASSERT_TRUE(ParseMpegFrameHeader(C.B, H)) << std::hex << int(C.B[1]) << int(C.B[2]);
    EXPECT_EQ(C.Version, H.Version);
    EXPECT_EQ(C.Layer, H.Layer);
    EXPECT_EQ(C.BitRate, H.BitRate);
    EXPECT_EQ(C.Rate, H.SampleRate);
    EXPECT_EQ(C.Channels, H.Channels);
    EXPECT_EQ(C.Bytes, H.FrameBytes);
    EXPECT_EQ(C.Samples, H.SamplesPerFrame);
  }
}

TEST(MpegFrameHeader, ReservedFieldsAreRefused) {
  const uint8_t Bad[][4] = {
      {0xFF, 0x7B, 0x90, 0x64},  // no sync
      {0xFF, 0xEB, 0x90, 0x64},  // reserved version
      {0xFF, 0xF9, 0x90, 0x64},  // reserved layer
      {0xFF, 0xFB, 0xF0, 0x64},  // bad bit rate
      {0xFF, 0xFB, 0x9C, 0x64},  // reserved sample rate
  };
  for (const auto& B : Bad) {
    TMpegFrameHeader H;
    EXPECT_FALSE(ParseMpegFrameHeader(B, H));
  }
}

TEST(MpegFrameHeader, Id3v2TagSizeIsReadFromItsSevenBitBytes) {
  uint8_t T[10] = {'I', 'D', '3', 4, 0, 0, 0x00, 0x00, 0x02, 0x01};
  EXPECT_EQ(10u + 257u, Id3v2TagSize(T, 10));
  T[5] = 0x10;  // footer present
  EXPECT_EQ(20u + 257u, Id3v2TagSize(T, 10));
  T[8] = 0x82;  // not a 7-bit byte
  EXPECT_EQ(0u, Id3v2TagSize(T, 10));
  EXPECT_EQ(0u, Id3v2TagSize(T, 9));
}

TEST(MpegFrameHeader, FirstFrameNeedsAMatchingSuccessor) {
  std::vector<uint8_t> B(3000, 0);
  // A lone sync-like pattern, then two real frames of 417 bytes.
  const uint8_t Fake[4] = {0xFF, 0xFB, 0x90, 0x64};
  std::copy(Fake, Fake + 4, B.begin() + 10);
  const uint8_t Real[4] = {0xFF, 0xFB, 0x90, 0x44};
  std::copy(Real, Real + 4, B.begin() + 1000);
  std::copy(Real, Real + 4, B.begin() + 1417);
  TMpegFrameHeader H;
  EXPECT_EQ(1000, FindFirstMpegFrame(B.data(), B.size(), H));
  EXPECT_EQ(2, H.Channels);
  EXPECT_EQ(1000, FindFirstMpegFrame(B.data(), 1417, H));  // ends with the data
  EXPECT_EQ(-1, FindFirstMpegFrame(B.data(), 1416, H));
}

TEST(MpegFrameHeader, ProbeFindsTheFormatBehindATag) {
  if (!HaveTool("lame") || !HaveTool("sox")) GTEST_SKIP() << "lame and sox are needed";
  TempDir D;
  ASSERT_EQ(0, testing_support::Run("sox -n -r 22050 -c 1 -b 16 " + Quote(D.Path("a.wav")) +
                                    " synth 1 sine 440"));
  // --add-id3v2 with a long title puts a large tag in front of the audio.
  ASSERT_EQ(0, testing_support::Run("lame --quiet -b 32 --add-id3v2 --tt " +
                                    Quote(std::string(300, 'T')) + " " + Quote(D.Path("a.wav")) +
                                    " " + Quote(D.Path("a.mp3"))));
  auto Probe = [](const std::string& Name) {
    auto P = std::make_unique<TMPEGAudio>();
    P->OnError = nullptr;
    P->SetFileName(Name);
    return P;
  };
  const auto A = Probe(D.Path("a.mp3"));
  ASSERT_TRUE(A->Valid());
  EXPECT_EQ(3, A->Info().ChannelMode);
  EXPECT_EQ(22050, A->Info().SampleRate);
  EXPECT_EQ(3, A->Info().Layer);
  EXPECT_FALSE(Probe(D.Path("a.wav"))->Valid());
  EXPECT_FALSE(Probe(D.Path("missing.mp3"))->Valid());
}

}  // namespace
