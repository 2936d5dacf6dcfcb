// Files written by TMACOut decode back to their exact source PCM through
// ffmpeg (every frame CRC checked, any error fatal) and through TMACIn, over
// levels, sample sizes, channel counts, lengths around frame boundaries and
// signals that reach the special frame codes.
#include <gtest/gtest.h>

#include <tuple>

#include "tests/ApeTestHelpers.h"

using namespace testing_support;
using namespace ape_test;

namespace {

// The signals of one length: music-like material and what is made from it.
std::vector<std::pair<std::string, std::vector<uint8_t>>> Signals(int Frames, int Channels,
                                                                  int Bits) {
  std::vector<uint8_t> Music = MusicLike(Frames, Channels, Bits);
  std::vector<std::pair<std::string, std::vector<uint8_t>>> S;
  S.emplace_back("noise", FullScaleNoise(Frames, Channels, Bits));
  S.emplace_back("silence", Silence(Frames, Channels, Bits));
  if (Channels == 2) {
    S.emplace_back("first channel silent", ReshapeStereo(Music, Bits, 0));
    S.emplace_back("second channel silent", ReshapeStereo(Music, Bits, 1));
    S.emplace_back("identical channels", ReshapeStereo(Music, Bits, -1));
  }
  S.emplace_back("music", std::move(Music));
  return S;
}

// Several frames of different kinds in one file: music, then silence (stereo:
// the channels equal), then music again with one channel silent (stereo).
std::vector<std::pair<std::string, std::vector<uint8_t>>> MixedFrames(int Frames, int FrameBlocks,
                                                                      int Channels, int Bits) {
  const std::vector<uint8_t> Music = MusicLike(Frames, Channels, Bits);
  const size_t FrameBytes = static_cast<size_t>(FrameBlocks) * Channels * (Bits / 8);
  std::vector<uint8_t> Mixed(Music.begin(), Music.begin() + FrameBytes);
  const std::vector<uint8_t> Second =
      Channels == 2 ? ReshapeStereo(std::vector<uint8_t>(Music.begin() + FrameBytes,
                                                         Music.begin() + 2 * FrameBytes),
                                    Bits, -1)
                    : Silence(FrameBlocks, Channels, Bits);
  Mixed.insert(Mixed.end(), Second.begin(), Second.end());
  std::vector<uint8_t> Rest(Music.begin() + 2 * FrameBytes, Music.end());
  if (Channels == 2) Rest = ReshapeStereo(std::move(Rest), Bits, 1);
  Mixed.insert(Mixed.end(), Rest.begin(), Rest.end());
  std::vector<std::pair<std::string, std::vector<uint8_t>>> S;
  S.emplace_back("mixed frames", std::move(Mixed));
  S.emplace_back("noise", FullScaleNoise(Frames, Channels, Bits));
  return S;
}

int BlocksPerFrame(int Level) { return Level == 4000 ? 294912 : 73728; }

class ApeRoundTrip : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

TEST_P(ApeRoundTrip, DecodesBitExactlyThroughFfmpegAndTheReader) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  const auto [Level, Bits, Channels] = GetParam();
  const int Frame = BlocksPerFrame(Level);
  // One block, a few, exactly one frame, several frames with a short last one.
  const int Lengths[] = {1, 5, Frame, 2 * Frame + 777};
  TempDir T;
  for (const int Length : Lengths) {
    const auto Cases = Length > Frame ? MixedFrames(Length, Frame, Channels, Bits)
                                      : Signals(Length, Channels, Bits);
    for (const auto& [Name, Pcm] : Cases) {
      SCOPED_TRACE(Name + ", " + std::to_string(Length) + " blocks");
      const std::string File = T.Path("t.ape");
      ASSERT_EQ("", Compress(Pcm, Bits, Channels, File, Level));
      bool Ok = false;
      std::string Err;
      const std::vector<uint8_t> ByFfmpeg = DecodeWithFfmpeg(File, Bits, Ok, &Err);
      ASSERT_TRUE(Ok) << Err;
      EXPECT_TRUE(ByFfmpeg == Pcm)
          << "ffmpeg decoded " << ByFfmpeg.size() << " bytes of " << Pcm.size() << " differently";
      const std::vector<uint8_t> ByReader = DecodeWithReader(File);
      EXPECT_TRUE(ByReader == Pcm)
          << "TMACIn decoded " << ByReader.size() << " bytes of " << Pcm.size() << " differently";
    }
  }
}

std::string ParamName(const ::testing::TestParamInfo<std::tuple<int, int, int>>& I) {
  const auto [Level, Bits, Channels] = I.param;
  return "Level" + std::to_string(Level) + "_" + std::to_string(Bits) + "bit_" +
         (Channels == 1 ? "mono" : "stereo");
}

INSTANTIATE_TEST_SUITE_P(Matrix, ApeRoundTrip,
                         ::testing::Combine(::testing::Values(1000, 2000, 3000, 4000),
                                            ::testing::Values(8, 16), ::testing::Values(1, 2)),
                         ParamName);

}  // namespace
