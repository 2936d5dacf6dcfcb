// velmora-cli with .mp3 on either side, checked with ffprobe, ffmpeg and madplay.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {

class Mp3Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* T : {"sox", "lame", "ffprobe", "ffmpeg"})
      if (!HaveTool(T)) GTEST_SKIP() << T << " is needed";
    Wav = Dir.Path("in.wav");
    ASSERT_EQ(0, testing_support::Run("sox -n -r 44100 -c 2 -b 16 " + Quote(Wav) +
                                      " synth 2.5 sine 300 sine 500"));
  }
  int Cli(const std::string& Args, std::string* Out = nullptr, std::string* Err = nullptr) {
    return testing_support::Run(Quote(BinDir() + "/velmora-cli") + " " + Args, Out, Err);
  }
  std::string Ffprobe(const std::string& Entries, const std::string& File) {
    std::string Out;
    testing_support::Run(
        "ffprobe -v error -show_entries " + Entries + " -of default=nw=1:nk=1 " + Quote(File),
        &Out);
    while (!Out.empty() && Out.back() == '\n') Out.pop_back();
    return Out;
  }
  TempDir Dir;
  std::string Wav;
};

TEST_F(Mp3Cli, WavToMp3TakesBitRateAndTags) {
  const std::string Mp3 = Dir.Path("out.mp3");
  std::string Err;
  ASSERT_EQ(0, Cli("convert " + Quote(Wav) + " " + Quote(Mp3) +
                       " --bitrate 192 --title Song --artist Someone --album Record --year 2001"
                       " --track 4 --comment Hello",
                   nullptr, &Err))
      << Err;
  EXPECT_EQ("192000", Ffprobe("stream=bit_rate", Mp3));
  EXPECT_EQ("44100\n2", Ffprobe("stream=sample_rate,channels", Mp3));
  EXPECT_EQ("Song", Ffprobe("format_tags=title", Mp3));
  EXPECT_EQ("Someone", Ffprobe("format_tags=artist", Mp3));
  EXPECT_EQ("Record", Ffprobe("format_tags=album", Mp3));
  EXPECT_EQ("2001", Ffprobe("format_tags=date", Mp3));
  EXPECT_EQ("4", Ffprobe("format_tags=track", Mp3));
  EXPECT_EQ("Hello", Ffprobe("format_tags=comment", Mp3));
  // The default is 128 kbit/s.
  ASSERT_EQ(0, Cli("convert " + Quote(Wav) + " " + Quote(Dir.Path("d.mp3"))));
  EXPECT_EQ("128000", Ffprobe("stream=bit_rate", Dir.Path("d.mp3")));
}

TEST_F(Mp3Cli, BitRateOutsideTheTableIsRefused) {
  std::string Err;
  EXPECT_EQ(1, Cli("convert " + Quote(Wav) + " " + Quote(Dir.Path("x.mp3")) + " --bitrate 100",
                   nullptr, &Err));
  EXPECT_NE(std::string::npos, Err.find("Runtime error: Option --bitrate needs one of 8 16"));
  EXPECT_FALSE(FileExists(Dir.Path("x.mp3")));
}

TEST_F(Mp3Cli, Mp3ToWavGivesWhatMadplayGives) {
  if (!HaveTool("madplay")) GTEST_SKIP() << "madplay is needed";
  const std::string Mp3 = Dir.Path("in.mp3");
  ASSERT_EQ(0, testing_support::Run("lame --quiet -V4 " + Quote(Wav) + " " + Quote(Mp3)));
  ASSERT_EQ(0, Cli("convert " + Quote(Mp3) + " " + Quote(Dir.Path("v.wav"))));
  ASSERT_EQ(0, testing_support::Run("madplay -Q -d -o wave:" + Quote(Dir.Path("m.wav")) + " " +
                                    Quote(Mp3)));
  int Ch = 0, Rate = 0;
  const std::vector<int16_t> V = ReadPcm16Wav(Dir.Path("v.wav"), &Ch, &Rate);
  const std::vector<int16_t> M = ReadPcm16Wav(Dir.Path("m.wav"));
  EXPECT_EQ(2, Ch);
  EXPECT_EQ(44100, Rate);
  ASSERT_EQ(M.size(), V.size());
  for (size_t I = 0; I < V.size(); ++I) ASSERT_LE(std::abs(M[I] - V[I]), 1) << I;
}

TEST_F(Mp3Cli, Mp3ToCompressedWavGoesThroughTheWavWriter) {
  const std::string Mp3 = Dir.Path("in.mp3");
  ASSERT_EQ(0, testing_support::Run("lame --quiet -b 128 " + Quote(Wav) + " " + Quote(Mp3)));
  ASSERT_EQ(0, Cli("convert " + Quote(Mp3) + " " + Quote(Dir.Path("plain.wav"))));
  std::string Err;
  ASSERT_EQ(0, Cli("convert " + Quote(Mp3) + " " + Quote(Dir.Path("ima.wav")) + " --adpcm", nullptr,
                   &Err))
      << Err;
  EXPECT_EQ("adpcm_ima_wav", Ffprobe("stream=codec_name", Dir.Path("ima.wav")));
  // Same number of sample frames, give or take the last ADPCM block.
  const double Plain = std::stod(Ffprobe("format=duration", Dir.Path("plain.wav")));
  const double Ima = std::stod(Ffprobe("format=duration", Dir.Path("ima.wav")));
  EXPECT_NEAR(Plain, Ima, 0.03);
}

TEST_F(Mp3Cli, StartAndEndCutTheSameSamplesAsTheWholeDecoding) {
  const std::string Mp3 = Dir.Path("in.mp3");
  ASSERT_EQ(0, testing_support::Run("lame --quiet -V 3 " + Quote(Wav) + " " + Quote(Mp3)));
  ASSERT_EQ(0, Cli("convert " + Quote(Mp3) + " " + Quote(Dir.Path("whole.wav"))));
  std::string Err;
  ASSERT_EQ(0, Cli("convert " + Quote(Mp3) + " " + Quote(Dir.Path("part.wav")) +
                       " --start 1151 --end 70001",
                   nullptr, &Err))
      << Err;
  const std::vector<int16_t> Whole = ReadPcm16Wav(Dir.Path("whole.wav"));
  const std::vector<int16_t> Part = ReadPcm16Wav(Dir.Path("part.wav"));
  ASSERT_EQ(2u * (70001 - 1151), Part.size());
  EXPECT_TRUE(std::equal(Part.begin(), Part.end(), Whole.begin() + 2 * 1151));
  // The file's length bounds the range.
  EXPECT_EQ(1, Cli("convert " + Quote(Mp3) + " " + Quote(Dir.Path("o.wav")) + " --end " +
                       std::to_string(Whole.size() / 2 + 1),
                   nullptr, &Err));
  EXPECT_NE(std::string::npos, Err.find("Option --end must lie between")) << Err;
}

TEST_F(Mp3Cli, MixTakesMp3Input) {
  const std::string Mp3 = Dir.Path("in.mp3");
  ASSERT_EQ(0, testing_support::Run("lame --quiet -b 128 " + Quote(Wav) + " " + Quote(Mp3)));
  ASSERT_EQ(0, Cli("convert " + Quote(Mp3) + " " + Quote(Dir.Path("dec.wav"))));
  std::string Err;
  ASSERT_EQ(
      0, Cli("mix " + Quote(Wav) + " " + Quote(Mp3) + " " + Quote(Dir.Path("o.wav")) + " --concat",
             nullptr, &Err))
      << Err;
  std::vector<int16_t> Want = ReadPcm16Wav(Wav);
  const std::vector<int16_t> Dec = ReadPcm16Wav(Dir.Path("dec.wav"));
  Want.insert(Want.end(), Dec.begin(), Dec.end());
  EXPECT_TRUE(Want == ReadPcm16Wav(Dir.Path("o.wav")));
}

TEST_F(Mp3Cli, UndecodableMp3IsAnError) {
  WriteFileBytes(Dir.Path("junk.mp3"), std::vector<uint8_t>(5000, 'j'));
  std::string Err;
  EXPECT_EQ(1, Cli("convert " + Quote(Dir.Path("junk.mp3")) + " " + Quote(Dir.Path("o.wav")),
                   nullptr, &Err));
  EXPECT_NE(std::string::npos, Err.find("junk.mp3: not a valid or supported MP3 file")) << Err;
  EXPECT_FALSE(FileExists(Dir.Path("o.wav")));
}

TEST_F(Mp3Cli, InfoReadsTheFirstFrameHeader) {
  const std::string Mono = Dir.Path("mono.wav"), Mp3 = Dir.Path("m.mp3");
  ASSERT_EQ(0, testing_support::Run("sox " + Quote(Wav) + " -r 48000 -c 1 " + Quote(Mono)));
  ASSERT_EQ(0, testing_support::Run("lame --quiet -b 64 " + Quote(Mono) + " " + Quote(Mp3)));
  std::string Out;
  ASSERT_EQ(0, Cli("info " + Quote(Mp3), &Out));
  EXPECT_NE(std::string::npos, Out.find("valid=1\nchannels=1\nrate=48000\nbits=16\n")) << Out;
  WriteFileBytes(Dir.Path("junk.mp3"), std::vector<uint8_t>(5000, 'j'));
  ASSERT_EQ(0, Cli("info " + Quote(Dir.Path("junk.mp3")), &Out));
  EXPECT_NE(std::string::npos, Out.find("valid=0")) << Out;
}

}  // namespace
