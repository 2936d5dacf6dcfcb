// The pieces the Record--Mix page and `velmora-cli karaoke` share: the song
// check, the output checks, the working files' lock, the voice shift and the
// delay measured from the stream clocks.
#include "app/Karaoke.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "codecs/CodecLibrary.h"
#include "platform/SoundCard.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

std::vector<uint8_t> Pull(TACSInput& In) {
  std::vector<uint8_t> Out;
  In.Init();
  uint8_t Buf[7];  // small and odd: shifts cross the reads
  for (int N; (N = In.GetData(Buf, sizeof Buf)) > 0;) Out.insert(Out.end(), Buf, Buf + N);
  In.Flush();
  return Out;
}

class KaraokeShift : public ::testing::Test {
 protected:
  void SetUp() override {
    Owner.reset(new TComponent(nullptr));
    Source = new TMemorySource(Owner.get());
    Source->Bits = 16;
    Source->Channels = 2;
    for (int I = 0; I < 40; ++I) Source->Data.push_back(static_cast<uint8_t>(I + 1));
    Trim = new TLeadTrim(Owner.get());
    Trim->SetInput(Source);
  }
  TOwned<TComponent> Owner;
  TMemorySource* Source = nullptr;
  TLeadTrim* Trim = nullptr;
};

}  // namespace

TEST_F(KaraokeShift, APositiveShiftDropsWholeFramesFromTheStart) {
  Trim->SetShiftFrames(3);  // 3 frames of 4 bytes
  const std::vector<uint8_t> Out = Pull(*Trim);
  ASSERT_EQ(Out.size(), 28u);
  EXPECT_EQ(Out.front(), 13);
  EXPECT_EQ(Out.back(), 40);
}

TEST_F(KaraokeShift, ANegativeShiftPutsSilenceFirstAndSizeCountsIt) {
  Trim->SetShiftFrames(-2);
  Trim->Init();
  EXPECT_EQ(Trim->Size(), 48);
  Trim->Flush();
  const std::vector<uint8_t> Out = Pull(*Trim);
  ASSERT_EQ(Out.size(), 48u);
  EXPECT_EQ(std::vector<uint8_t>(Out.begin(), Out.begin() + 8), std::vector<uint8_t>(8, 0));
  EXPECT_EQ(Out[8], 1);
}

TEST_F(KaraokeShift, EightBitSilenceIsTheMidpointAndAShortInputGivesNothing) {
  Source->Bits = 8;
  Source->Channels = 1;
  Trim->SetShiftFrames(-3);
  std::vector<uint8_t> Out = Pull(*Trim);
  ASSERT_EQ(Out.size(), 43u);
  EXPECT_EQ(Out[0], 128);
  EXPECT_EQ(Out[2], 128);
  EXPECT_EQ(Out[3], 1);
  Trim->SetShiftFrames(100);
  EXPECT_TRUE(Pull(*Trim).empty());
}

TEST(KaraokeFiles, TheOutputMayBeNeitherTheSongNorAWorkingFile) {
  TempDir D;
  const TKaraokeWorkFiles Work = TKaraokeWorkFiles::In(D.Dir() + "/");
  EXPECT_EQ(Work.Record, D.Path("TEMP_RECORD_WAVE.wav"));
  EXPECT_EQ(Work.Convert, D.Path("TEMP_CONVERT_WAVE.wav"));
  WriteFileBytes(D.Path("song.wav"), {1, 2, 3});
  fs::create_directory(D.Path("sub"));
  // The same file under another name: a hard link, a path through "..".
  fs::create_hard_link(D.Path("song.wav"), D.Path("link.wav"));
  EXPECT_TRUE(SameFile(D.Path("song.wav"), D.Path("link.wav")));
  EXPECT_FALSE(KaraokeOutputProblem(D.Path("song.wav"), D.Path("link.wav"), Work).empty());
  EXPECT_FALSE(KaraokeOutputProblem(D.Path("song.wav"), D.Path("sub/../song.wav"), Work).empty());
  // A working file that does not exist yet, by another spelling.
  EXPECT_FALSE(
      KaraokeOutputProblem(D.Path("song.wav"), D.Path("sub/../TEMP_CONVERT_WAVE.wav"), Work)
          .empty());
  EXPECT_TRUE(KaraokeOutputProblem(D.Path("song.wav"), D.Path("out.wav"), Work).empty());
  EXPECT_FALSE(SameFile(D.Path("song.wav"), D.Path("out.wav")));
}

TEST(KaraokeFiles, TheWorkingFilesLockKeepsASecondRunOutAndLeavesTheirContent) {
  TempDir D;
  const TKaraokeWorkFiles Work = TKaraokeWorkFiles::In(D.Dir() + "/");
  WriteFileBytes(Work.Record, {9, 9, 9});
  TWorkFileLock First;
  ASSERT_TRUE(First.Acquire(Work));
  EXPECT_EQ(ReadFileBytes(Work.Record), std::vector<uint8_t>({9, 9, 9}));
  EXPECT_TRUE(fs::exists(Work.Convert));
  // Another process (another window) is refused while the lock is held.
  auto TryInChild = [&] {
    const pid_t Pid = ::fork();
    if (Pid == 0) {
      TWorkFileLock Other;
      ::_exit(Other.Acquire(Work) ? 0 : 1);
    }
    int Status = 0;
    ::waitpid(Pid, &Status, 0);
    return WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
  };
  EXPECT_FALSE(TryInChild());
  TWorkFileLock Second;
  EXPECT_FALSE(Second.Acquire(Work));
  EXPECT_FALSE(Second.Held());
  First.Release();
  EXPECT_TRUE(TryInChild());
  EXPECT_TRUE(Second.Acquire(Work));
}

TEST(KaraokeSong, OnlyMp3AndWavSongsOfKnownLengthAreTaken) {
  LoadCodecLibraries();
  TempDir D;
  const std::vector<int16_t> S = MakeSignal16(22050 * 2, 1, 22050);
  WritePcmWav(D.Path("song.WAV"), S.data(), S.size() * 2, 1, 22050, 16);
  const TKaraokeSong Wav = ProbeKaraokeSong(D.Path("song.WAV"));
  ASSERT_TRUE(Wav.Usable) << Wav.Reason;
  EXPECT_FALSE(Wav.Mp3);
  EXPECT_EQ(Wav.Rate, 22050);
  EXPECT_EQ(Wav.Channels, 1);
  EXPECT_EQ(Wav.Seconds, 2);

  fs::copy_file(D.Path("song.WAV"), D.Path("song.ogg"));
  EXPECT_FALSE(ProbeKaraokeSong(D.Path("song.ogg")).Usable);
  WriteFileBytes(D.Path("noise.mp3"), std::vector<uint8_t>(5000, 0x55));
  const TKaraokeSong Bad = ProbeKaraokeSong(D.Path("noise.mp3"));
  EXPECT_FALSE(Bad.Usable);
  EXPECT_NE(Bad.Reason.find("noise.mp3"), std::string::npos);
  EXPECT_FALSE(ProbeKaraokeSong(D.Path("missing.wav")).Usable);

  if (!HaveTool("lame")) return;
  ASSERT_EQ(testing_support::Run("lame --quiet " + Quote(D.Path("song.WAV")) + " " +
                                 Quote(D.Path("song.mp3"))),
            0);
  const TKaraokeSong Mp3 = ProbeKaraokeSong(D.Path("song.mp3"));
  ASSERT_TRUE(Mp3.Usable) << Mp3.Reason;
  EXPECT_TRUE(Mp3.Mp3);
  EXPECT_EQ(Mp3.Rate, 22050);
  EXPECT_EQ(Mp3.Channels, 1);
}

namespace {

// Stream clocks of a test: registered for the life of the object.
struct TFakeClock {
  TFakeClock(bool Capture, TStreamClock Value) : Clock(Value) {
    RegisterStreamClock(this, Capture, [this](TStreamClock& C) {
      if (!Running) return false;
      C = Clock;
      return true;
    });
  }
  ~TFakeClock() { UnregisterStreamClock(this); }
  TStreamClock Clock;
  bool Running = true;
};

}  // namespace

TEST(KaraokeLatency, TheVoiceDelayComesFromTheLatestStreamsAtOneMoment) {
  TKaraokeLatency L;
  L.Sample();
  EXPECT_FALSE(L.Measured());
  EXPECT_EQ(L.ShiftFrames(44100), 0);
  // An older playback stream (another program part) never counts.
  TFakeClock Old(false, {999999999, 1, 0});
  // The song has been heard up to 1.000 s at t = 5 s; the recording has
  // reached 1.100 s at t = 5.020 s, so 1.080 s at t = 5 s: the voice sits
  // 80 ms later than the song it was sung to.
  TFakeClock Song(false, {1000000, 40000, 5000000, 15000});
  TFakeClock Voice(true, {1100000, 10000, 5020000, 2000});
  Voice.Running = false;
  L.Sample();
  EXPECT_FALSE(L.Measured()) << "a capture not yet started has no clock";
  Voice.Running = true;
  L.Sample();
  ASSERT_TRUE(L.Measured());
  EXPECT_EQ(L.OffsetUs(), 80000);
  EXPECT_EQ(L.ShiftFrames(44100), 3528);
  EXPECT_EQ(L.PlaybackUs, 40000);
  EXPECT_EQ(L.CaptureUs, 10000);
  EXPECT_EQ(L.PlaybackDeviceUs, 15000);
  EXPECT_EQ(L.CaptureDeviceUs, 2000);
  // One reading spoilt (a scheduling hiccup) does not move the median.
  Voice.Clock.AtUs = 5500000;
  L.Sample();
  Voice.Clock.AtUs = 5020000;
  L.Sample();
  EXPECT_EQ(L.OffsetUs(), 80000);
  // A recording that started after the song was heard: the voice is early.
  L.Clear();
  EXPECT_EQ(L.PlaybackDeviceUs, -1);
  Voice.Clock = {900000, 10000, 5000000};
  L.Sample();
  EXPECT_EQ(L.ShiftFrames(10000), -1000);
}

TEST(KaraokeLyrics, TimeTagsGiveTimesAndOtherTagsAreLeftOut) {
  const std::vector<TLyricLine> L = ParseLyrics(
      "[ar:Someone]\r\nHeading\n[00:12.50][01:02]Twice\r\n[00:03]Early\n[0:1:25]Colon\n"
      "[99999999:00]Too long\n[0:nan]Not a number\n[-1:00]Before\n[1:2e1]Exponent\n[00:04");
  std::vector<std::pair<double, std::string>> Got;
  for (const TLyricLine& Line : L) Got.emplace_back(Line.Seconds, Line.Text);
  const std::vector<std::pair<double, std::string>> Want = {
      {0, "Heading"},  {0, "[00:04"}, {1, "Colon"},    {3, "Early"},
      {12.5, "Twice"}, {62, "Twice"}, {62, "Exponent"}};
  EXPECT_EQ(Got, Want);
  EXPECT_TRUE(ParseLyrics("").empty());
}
