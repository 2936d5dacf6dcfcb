// velmora-cli karaoke against the private sound server (scripts/pulse.sh):
// the song plays through the player library while the virtual microphone is
// recorded, then both are mixed; or the speaker's own mix is recorded. The
// voice's delay through the server is measured with a microphone that hears
// exactly what the speaker plays: a singer perfectly in time.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include "engine/ACS_Audio.h"
#include "platform/PulseSoundCard.h"
#include "platform/SoundCard.h"
#include "tests/support/TestServerDevices.h"
#include "tests/support/TestSupport.h"
#include "tests/support/ToneMeasure.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

class KaraokeCli : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("sox") || !HaveTool("pactl") || !HaveTool("soxi"))
      GTEST_SKIP() << "sox and pactl are needed";
    UseSoundCard(&Card);
    const auto Capture = Card.CaptureDevices();
    const auto Playback = Card.PlaybackDevices();
    if (FindDevice(Capture, kMic) < 0 || FindDevice(Playback, kFeed) < 0)
      GTEST_SKIP() << "no test sound server answers (start one with: source scripts/pulse.sh; "
                      "pulse_start)";
    FeedDevice = FindDevice(Playback, kFeed);
    ASSERT_EQ(testing_support::Run("sox -n -r 44100 -c 2 -b 16 " + Quote(Dir.Path("song.wav")) +
                                   " synth 3 sine 440 vol 0.5"),
              0);
  }
  void TearDown() override {
    if (Singer) {
      Singer->Stop();
      EXPECT_TRUE(Singer->WaitForEnd(std::chrono::seconds(30)));
    }
    UseSoundCard(nullptr);
    testing_support::Run("pactl set-sink-volume " + kSpeaker + " 100%");
  }

  // The 1 kHz singer into the microphone.
  void Sing() {
    Tone = MakeComponent<TMemorySource>(nullptr);
    Tone->Data = ToneBytes(30, 1000, 0.5);
    Singer = MakeComponent<TAudioOut>(nullptr);
    Singer->SetBaseChannel(FeedDevice);
    Singer->SetInput(Tone.get());
    Singer->Run();
    for (int I = 0; I < 500 && Tone->Position() <= 10 * TAudioOut::kBlockSize; ++I)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GT(Tone->Position(), 10 * TAudioOut::kBlockSize) << "the tone does not play";
  }

  int Karaoke(const std::string& Args, std::string* Err = nullptr) {
    std::string E;
    const int Rc =
        testing_support::Run(Quote(BinDir() + "/velmora-cli") + " karaoke " + Args, nullptr, &E);
    if (Err) *Err = E;
    return Rc;
  }

  TPulseSoundCard Card{std::string(), 250};
  TempDir Dir;
  int FeedDevice = -1;
  TOwned<TMemorySource> Tone;
  TOwned<TAudioOut> Singer;
};

}  // namespace

TEST_F(KaraokeCli, TheSongsLengthIsRecordedAndMixedWithTheVoice) {
  Sing();
  const std::string Out = Dir.Path("take.wav");
  std::string Err;
  ASSERT_EQ(
      Karaoke(Quote(Dir.Path("song.wav")) + " " + Quote(Out) + " --background-volume 128", &Err), 0)
      << Err;
  EXPECT_NE(Err.find("Record done, mixing..."), std::string::npos) << Err;
  EXPECT_NE(Err.find("Mixing done!"), std::string::npos) << Err;
  EXPECT_NEAR(SoxSeconds(Out), 3.0, 0.1);
  EXPECT_NEAR(Db(BandRms(Out, 0.5, 1.5, 340, 540)), SineDb(0.5 * 128 / 255.0 / 2), 1.0);
  EXPECT_NEAR(Db(BandRms(Out, 0.5, 1.5, 900, 1100)), SineDb(0.25), 1.0) << Err;
}

TEST_F(KaraokeCli, AnMp3SongIsDecodedAndTheOutputMayBeAnMp3) {
  if (!HaveTool("lame") || !HaveTool("ffmpeg")) GTEST_SKIP() << "lame and ffmpeg are needed";
  ASSERT_EQ(testing_support::Run("lame --quiet " + Quote(Dir.Path("song.wav")) + " " +
                                 Quote(Dir.Path("song.mp3"))),
            0);
  Sing();
  const std::string Out = Dir.Path("take.mp3");
  std::string Err;
  ASSERT_EQ(Karaoke(Quote(Dir.Path("song.mp3")) + " " + Quote(Out) + " --seconds 2", &Err), 0)
      << Err;
  EXPECT_NE(Err.find("Record done, preparing..."), std::string::npos) << Err;
  EXPECT_NE(Err.find("Data prepared, now mixing..."), std::string::npos) << Err;
  const std::string Wav = Dir.Path("decoded.wav");
  ASSERT_EQ(testing_support::Run("ffmpeg -v error -y -i " + Quote(Out) + " " + Quote(Wav)), 0);
  EXPECT_NEAR(Db(BandRms(Wav, 0.5, 1.0, 340, 540)), SineDb(0.25), 1.5);
  EXPECT_NEAR(Db(BandRms(Wav, 0.5, 1.0, 900, 1100)), SineDb(0.25), 1.5);
  const std::vector<uint8_t> B = ReadFileBytes(Out);
  ASSERT_GT(B.size(), 128u);
  EXPECT_EQ(std::string(B.end() - 128, B.end() - 125), "TAG");
}

TEST_F(KaraokeCli, StereoMixRecordsWhatTheSpeakerPlaysStraightIntoTheOutput) {
  Sing();
  const std::string Out = Dir.Path("live.wav");
  std::string Err;
  ASSERT_EQ(
      Karaoke(Quote(Dir.Path("song.wav")) + " " + Quote(Out) + " --stereo-mix --seconds 2", &Err),
      0)
      << Err;
  EXPECT_EQ(Err.find("mixing..."), std::string::npos) << Err;
  // Two seconds of the song as heard: the recording runs on past them by
  // the time the song took to be heard, so the song is in its last second.
  const double Length = SoxSeconds(Out);
  EXPECT_GE(Length, 2.0);
  EXPECT_LT(Length, 10.0);
  EXPECT_GT(Db(BandRms(Out, Length - 1.0, 0.8, 340, 540)), -20);
  EXPECT_GT(Db(BandRms(Out, Length - 1.0, 0.8, 900, 1100)), -20);
}

TEST_F(KaraokeCli, SongsThatCannotBeMixedAndBadOutputsAreRefused) {
  std::string Err;
  WriteFileBytes(Dir.Path("broken.mp3"), std::vector<uint8_t>(3000, 0x21));
  EXPECT_EQ(Karaoke(Quote(Dir.Path("broken.mp3")) + " " + Quote(Dir.Path("o.wav")), &Err), 1);
  EXPECT_NE(Err.find("Runtime error: "), std::string::npos) << Err;
  EXPECT_EQ(Karaoke(Quote(Dir.Path("song.wav")) + " " + Quote(Dir.Path("song.wav")), &Err), 1);
  EXPECT_NE(Err.find("background music itself"), std::string::npos) << Err;
  EXPECT_EQ(
      Karaoke(Quote(Dir.Path("song.wav")) + " " + Quote(BinDir() + "/TEMP_RECORD_WAVE.wav"), &Err),
      1);
  EXPECT_NE(Err.find("working files"), std::string::npos) << Err;
  EXPECT_FALSE(fs::exists(Dir.Path("o.wav")));
}

namespace {

// Click onsets (seconds) of a 16-bit WAV file: where the first channel rises
// above Threshold after at least 100 ms below it.
std::vector<double> Onsets(const std::string& File, int Threshold) {
  int Ch = 0, Rate = 0;
  const std::vector<int16_t> S = ReadPcm16Wav(File, &Ch, &Rate);
  std::vector<double> R;
  int64_t Quiet = Rate;  // frames since the last loud sample
  for (size_t F = 0; F * Ch < S.size(); ++F) {
    if (std::abs(S[F * Ch]) > Threshold) {
      if (Quiet > Rate / 10) R.push_back(static_cast<double>(F) / Rate);
      Quiet = 0;
    } else {
      ++Quiet;
    }
  }
  return R;
}

// The distance (ms) from each click of Heard to the nearest of Song, sorted.
std::vector<double> ClickOffsetsMs(const std::vector<double>& Song,
                                   const std::vector<double>& Heard) {
  std::vector<double> D;
  for (double H : Heard) {
    double Best = 1e9;
    for (double S : Song)
      if (std::abs(H - S) < std::abs(Best)) Best = H - S;
    if (std::abs(Best) < 0.2) D.push_back(Best * 1000);
  }
  std::sort(D.begin(), D.end());
  return D;
}

// The configured latency (microseconds) the server gives the sink Name, -1
// when it cannot be read.
int64_t ConfiguredSinkLatencyUs(const std::string& Name) {
  std::string Out;
  if (testing_support::Run("LC_ALL=C pactl list sinks", &Out) != 0) return -1;
  const size_t At = Out.find("Name: " + Name + "\n");
  if (At == std::string::npos) return -1;
  const std::string Rest = Out.substr(At);
  std::smatch M;
  if (!std::regex_search(Rest, M, std::regex(R"(configured (\d+) usec)"))) return -1;
  return std::stoll(M[1]);
}

// The figures of the "Voice delay" line (ms): the delay, and the parts of the
// playback and capture latencies spent in the devices. False without one.
bool VoiceDelay(const std::string& Err, double& Delay, double& PlaybackDevice,
                double& CaptureDevice) {
  std::smatch M;
  if (!std::regex_search(Err, M,
                         std::regex(R"(Voice delay: (-?[0-9.]+) ms \(playback latency -?[0-9.]+ )"
                                    R"(ms, (-?[0-9.]+) ms of it in the device; capture latency )"
                                    R"(-?[0-9.]+ ms, (-?[0-9.]+) ms of it in the device\))")))
    return false;
  Delay = std::stod(M[1]);
  PlaybackDevice = std::stod(M[2]);
  CaptureDevice = std::stod(M[3]);
  return true;
}

}  // namespace

// The microphone here is the speaker's monitor, which differs from a singer
// before a loudspeaker in two ways, both set by the null speaker's block (its
// configured latency). The speaker takes its sound a block at a time and
// plays it out over that block: the monitor hears a sample when it is taken,
// half a block before it is played on average. And the server holds back the
// last block a monitor took (the sink may still rewrite it) without counting
// it in the capture latency: the capture clock reads a block late. A voice in
// time with what is played therefore sits half a block late in the mix on
// this rig: with the 2 ms block asked for below, one millisecond.
TEST_F(KaraokeCli, AVoiceInTimeWithWhatIsHeardIsInTimeInTheMix) {
  // A reader asking for 2 ms makes the speaker take its sound in blocks
  // that small, nearer to a sound card's.
  std::string Reader;
  ASSERT_EQ(testing_support::Run("pacat -r --latency-msec=2 -d " + kSpeaker +
                                     ".monitor >/dev/null 2>&1 </dev/null & echo $!",
                                 &Reader),
            0);
  struct TStopReader {
    std::string Pid;
    ~TStopReader() { testing_support::Run("kill " + Pid); }
  } StopReader{Reader.substr(0, Reader.find_first_not_of("0123456789"))};
  int64_t BlockUs = -1;
  for (int Try = 0; Try < 100 && (BlockUs = ConfiguredSinkLatencyUs(kSpeaker)) > 2500; ++Try)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_GT(BlockUs, 0) << "the speaker's configured latency cannot be read";
  const double RigMs = static_cast<double>(BlockUs) / 2000.0;
  // The microphone hears the speaker with no delay of its own.
  std::string Module;
  ASSERT_EQ(testing_support::Run("pactl load-module module-remap-source source_name=velmora_ear "
                                 "master=" +
                                     kSpeaker + ".monitor",
                                 &Module),
            0);
  testing_support::Run("pactl set-default-source velmora_ear");
  struct TRestore {
    std::string Module;
    ~TRestore() {
      testing_support::Run("pactl set-default-source " + kMic);
      testing_support::Run("pactl unload-module " + Module);
    }
  } Restore{Module};
  // Short loud clicks every half second from 0.5 s on.
  const std::string Song = Dir.Path("clicks.wav");
  ASSERT_EQ(testing_support::Run("sox -n -r 44100 -c 2 -b 16 " + Quote(Dir.Path("click.wav")) +
                                 " synth 0.004 sine 2000 vol 0.9 pad 0.496 0 repeat 7"),
            0);
  ASSERT_EQ(testing_support::Run("sox " + Quote(Dir.Path("click.wav")) + " " + Quote(Song) +
                                 " pad 0 0.5"),
            0);
  const std::vector<double> Clicks = Onsets(Song, 8000);
  ASSERT_GE(Clicks.size(), 7u);
  double Offsets[2], Delays[2], PlaybackDevice[2], CaptureDevice[2];
  for (int Compensate = 0; Compensate < 2; ++Compensate) {
    const std::string Out = Dir.Path("take" + std::to_string(Compensate) + ".wav");
    // A take during which the song stalled (its player starved of time)
    // has the clicks after the stall moved by it, which no one shift can
    // mend: such a take is sung again, a few times at most.
    bool Steady = false;
    std::string Err;
    for (int Take = 0; Take < 8 && !Steady; ++Take) {
      // Only the voice in the mix; the voice not heard again on the speaker.
      ASSERT_EQ(Karaoke(Quote(Song) + " " + Quote(Out) + " --background-volume 0 --mic-output 0" +
                            (Compensate ? "" : " --no-latency-compensation"),
                        &Err),
                0)
          << Err;
      ASSERT_TRUE(VoiceDelay(Err, Delays[Compensate], PlaybackDevice[Compensate],
                             CaptureDevice[Compensate]))
          << Err;
      const std::vector<double> Heard = ClickOffsetsMs(Clicks, Onsets(Out, 3000));
      Steady = Heard.size() >= Clicks.size() - 1 && Heard.back() - Heard.front() < 2.0;
      if (!Heard.empty()) Offsets[Compensate] = Heard[Heard.size() / 2];
      if (!Steady) std::printf("the song stalled in take %d; again\n", Take + 1);
    }
    ASSERT_TRUE(Steady) << "the song stalled in every take";
    std::printf("voice offset %s compensation: %.2f ms (rig: %.2f ms)\n%s",
                Compensate ? "with" : "without", Offsets[Compensate], RigMs,
                Err.substr(Err.find("Voice delay")).c_str());
  }
  // Where the voice sits without the compensation depends on when the
  // recording started; the delay measured tells it.
  EXPECT_NEAR(Offsets[0] - Delays[0], RigMs, 5.0);
  // With it, the voice lands in time: within 5 ms of the song, and of
  // where this rig puts a voice in time.
  EXPECT_LT(std::abs(Offsets[1]), 5.0);
  EXPECT_NEAR(Offsets[1], RigMs, 5.0);
  // The speaker's part lies within its block; the microphone has none.
  for (int I = 0; I < 2; ++I) {
    EXPECT_GE(PlaybackDevice[I], 0.0);
    EXPECT_LE(PlaybackDevice[I], static_cast<double>(BlockUs) / 1000.0 + 1.0);
    EXPECT_NEAR(CaptureDevice[I], 0.0, 1.0);
  }
}
