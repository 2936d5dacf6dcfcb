// The system mixer against a real sound server: the one scripts/pulse.sh
// starts (a speaker whose monitor is the "Stereo Mix", and a microphone that
// hears what is played into its feed). Tones go in through the engine's own
// playback, come out through its capture, and are measured.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "devices/Volumes.h"
#include "devices/WaveMixer.h"
#include "engine/ACS_Audio.h"
#include "platform/DeviceVolumes.h"
#include "platform/PulseMixer.h"
#include "platform/PulseSoundCard.h"
#include "tests/support/TestServerDevices.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {

int CaptureNumber(const std::string& Name) {
  return FindDevice(CurrentSoundCard().CaptureDevices(), Name);
}
int PlaybackNumber(const std::string& Name) {
  return FindDevice(CurrentSoundCard().PlaybackDevices(), Name);
}

std::string Sh(const std::string& Cmd) {
  std::string Out;
  testing_support::Run(Cmd, &Out);
  return Out;
}

// Waits until Ready() holds, for at most Seconds; returns Ready().
bool WaitFor(const std::function<bool()>& Ready, int Seconds = 30) {
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
  while (!Ready() && std::chrono::steady_clock::now() < Until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return Ready();
}

// Plays a stereo sine on a playback device until destroyed. The tone flows
// once the object is made: more than the player's nine queued blocks have
// gone to the server.
class TTone {
 public:
  TTone(int Device, double Freq, double Amplitude, double Seconds = 12) {
    Src = MakeComponent<TMemorySource>(nullptr);
    const int Frames = static_cast<int>(Seconds * 44100);
    std::vector<int16_t> S(static_cast<size_t>(Frames) * 2);
    for (int I = 0; I < Frames; ++I)
      S[2 * I] = S[2 * I + 1] = static_cast<int16_t>(
          std::lround(Amplitude * 32767 * std::sin(2 * M_PI * Freq * I / 44100)));
    Src->Data.resize(S.size() * 2);
    std::memcpy(Src->Data.data(), S.data(), Src->Data.size());
    Out = MakeComponent<TAudioOut>(nullptr);
    Out->SetBaseChannel(Device);
    Out->SetInput(Src.get());
    Out->Run();
    WaitFor([this] { return Src->Position() > 10 * TAudioOut::kBlockSize; });
  }
  ~TTone() { Out->Stop(); }

 private:
  TOwned<TMemorySource> Src;
  TOwned<TAudioOut> Out;
};

// Records Seconds of 16-bit stereo at 44.1 kHz from a capture device.
std::vector<int16_t> Record(int Device, double Seconds) {
  auto In = MakeComponent<TAudioIn>(nullptr);
  In->SetInBitsPerSample(16);
  In->SetInChannels(2);
  In->SetInSampleRate(44100);
  In->SetRecTime(-1);
  In->SetBaseChannel(Device);
  const size_t Bytes = static_cast<size_t>(Seconds * 44100) * 4;
  std::vector<uint8_t> B(Bytes);
  In->Init();
  size_t Got = 0;
  while (Got < Bytes) {
    const int N =
        In->GetData(B.data() + Got, static_cast<int>(std::min<size_t>(Bytes - Got, 16384)));
    if (N <= 0) break;
    Got += static_cast<size_t>(N);
  }
  In->Flush();
  std::vector<int16_t> S(Got / 2);
  std::memcpy(S.data(), B.data(), S.size() * 2);
  return S;
}

struct TMeasure {
  double Frequency = 0;
  double Db = -200;  // RMS relative to full scale of a sine of the measured peak
};

// The left channel after the first Skip seconds. The level is the median of
// the peaks of the 50 ms windows that hold any sound (-200 when none does),
// the frequency the median period between rising zero crossings. A busy
// machine leaves gaps of silence in real-time sound: they lower a window's
// RMS, silence whole windows and lengthen a period or two, but they neither
// lower the peak of a window with sound nor move the medians.
TMeasure Measure(const std::vector<int16_t>& S, double Skip = 0.3) {
  constexpr size_t kWindow = 2205;
  const size_t From = static_cast<size_t>(Skip * 44100);
  const size_t Frames = S.size() / 2;
  std::vector<double> Peaks, Periods;
  double LastCross = -1;
  for (size_t First = From; First + kWindow <= Frames; First += kWindow) {
    double Peak = 0;
    for (size_t I = First; I < First + kWindow; ++I) {
      const double X = S[I * 2];
      Peak = std::max(Peak, std::fabs(X));
      const double P = I > From ? S[(I - 1) * 2] : X;
      if (P < 0 && X >= 0) {
        const double T = static_cast<double>(I - 1) + (-P) / (X - P);
        if (LastCross >= 0) Periods.push_back(T - LastCross);
        LastCross = T;
      }
    }
    if (Peak > 0) Peaks.push_back(Peak);
  }
  TMeasure R;
  if (Peaks.empty()) return R;
  std::sort(Peaks.begin(), Peaks.end());
  R.Db = 20 * std::log10(Peaks[Peaks.size() / 2] / 32768.0 / std::sqrt(2.0));
  if (!Periods.empty()) {
    std::sort(Periods.begin(), Periods.end());
    R.Frequency = 44100.0 / Periods[Periods.size() / 2];
  }
  return R;
}

double SineDb(double Amplitude) {
  return 20 * std::log10(Amplitude * 32767 / 32768.0 / std::sqrt(2.0));
}
// What a server volume does to the level of the sound passing through it.
double VolumeDb(pa_volume_t V) { return 20 * std::log10(pa_sw_volume_to_linear(V)); }

int FindLine(TAudioMixer2& M, const std::string& Name) {
  for (int I = 0; I < M.LineCount(); ++I)
    if (M.Lines(I)->Name() == Name) return I;
  return -1;
}

class MixerPulse : public ::testing::Test {
 protected:
  void SetUp() override {
    TPulseSoundCard Probe;
    Ready = FindDevice(Probe.CaptureDevices(), kMic) > 0 &&
            FindDevice(Probe.PlaybackDevices(), kFeed) > 0 && HaveTool("pactl");
    if (Ready) Restore();
  }
  void TearDown() override {
    if (Ready) Restore();
  }
  // The server's state as the test server starts it, and this program's own.
  void Restore() {
    Sh("pactl set-source-volume " + Quote(kMic) + " 100%; pactl set-source-mute " + Quote(kMic) +
       " 0");
    CurrentSoundCard().SetRecordingSelection(std::string());
    SetOutputVolume(TOutputKind::Wave, 0, 0xFFFFFFFFu);
  }
  bool Ready = false;
};

#define REQUIRE_TEST_SERVER()                                                                  \
  if (!Ready)                                                                                  \
  GTEST_SKIP() << "no test sound server answers, or pactl is missing (start one with: source " \
                  "scripts/pulse.sh; pulse_start)"

TEST_F(MixerPulse, MicrophoneAndStereoMixAreFoundUnderTheirDestinations) {
  REQUIRE_TEST_SERVER();
  auto M = MakeComponent<TAudioMixer2>(nullptr);
  EXPECT_EQ(M->DeviceCount(), 1u);
  EXPECT_EQ(M->OpenResult(), kMixerNoError);
  EXPECT_EQ(M->MixerName(), "Sound server");
  std::vector<std::string> Names;
  ASSERT_EQ(M->GetDestinationNames(Names), 2);
  EXPECT_EQ(Names, (std::vector<std::string>{"Playback", "Recording"}));

  // Playback: the default output's volume and mute; the microphone line.
  EXPECT_TRUE(M->Destination()->HasControl(mcVolume));
  EXPECT_TRUE(M->Destination()->HasControl(mcMute));
  EXPECT_FALSE(M->Destination()->HasControl(mcSelect));
  ASSERT_EQ(M->LineCount(), 1);
  EXPECT_EQ(M->Lines(0)->Name(), "Microphone");
  EXPECT_TRUE(M->Lines(0)->HasControl(mcVolume));
  EXPECT_TRUE(M->Lines(0)->HasControl(mcMute));
  EXPECT_TRUE(M->Lines(0)->Mute());  // nobody hears the microphone until asked

  // Recording: every input, a selector over all of them.
  M->SetDestinationName("Recording");
  ASSERT_EQ(M->DestinationID(), 1u);
  const int Mic = FindLine(*M, "Microphone");
  const int Mix = FindLine(*M, "Stereo Mix");
  EXPECT_GE(Mic, 0);
  EXPECT_GE(Mix, 0);
  EXPECT_GE(M->LineCount(), 3);  // and the feed's monitor under its own description
  EXPECT_GE(FindLine(*M, "Monitor of Microphone_feed"), 0);
  EXPECT_FALSE(M->Destination()->HasControl(mcVolume));
  ASSERT_TRUE(M->Destination()->HasControl(mcSelect));
  const TMixerControl& Sel = M->Destination()->Control(mcSelect);
  EXPECT_EQ(Sel.Items, static_cast<uint32_t>(M->LineCount()));
  ASSERT_EQ(Sel.ItemNames.size(), Sel.Items);
  EXPECT_EQ(Sel.ItemNames[Sel.Items - 1 - static_cast<uint32_t>(Mix)], "Stereo Mix");
  EXPECT_EQ(M->Lines(Mic)->Control(mcVolume).Maximum, static_cast<int32_t>(PA_VOLUME_NORM));
  // Device 0 records the default input, the microphone, until told otherwise.
  EXPECT_EQ(M->Destination()->SelectedSource(), Mic);
}

TEST_F(MixerPulse, SetVolumeMakesTheMicrophoneQuieterByTheServersFactor) {
  REQUIRE_TEST_SERVER();
  auto M = MakeComponent<TAudioMixer2>(nullptr);
  M->SetDestinationID(1);
  const int MicIndex = FindLine(*M, "Microphone");
  ASSERT_GE(MicIndex, 0);
  TAudioMixerLine* Mic = M->Lines(MicIndex);
  const int Device = CaptureNumber(kMic);
  TTone Tone(PlaybackNumber(kFeed), 700, 0.5);

  Mic->SetVolume(100);
  const TMeasure Full = Measure(Record(Device, 1.3));
  EXPECT_NEAR(Full.Frequency, 700, 10);
  EXPECT_NEAR(Full.Db, SineDb(0.5), 1.0);

  Mic->SetVolume(50);
  EXPECT_EQ(Mic->LastResult(), kMixerNoError);
  EXPECT_EQ(Mic->Volume(), 50);
  EXPECT_NE(Sh("pactl get-source-volume " + Quote(kMic)).find("32768 /  50%"), std::string::npos);
  const TMeasure Half = Measure(Record(Device, 1.3));
  EXPECT_NEAR(Half.Frequency, 700, 10);
  // Half of the fader is -18 dB of sound: the server's volumes are cubic.
  EXPECT_NEAR(Half.Db - Full.Db, VolumeDb(PA_VOLUME_NORM / 2), 0.5);

  Mic->SetVolume(150);
  EXPECT_EQ(Mic->Volume(), 100);
  EXPECT_NE(Sh("pactl get-source-volume " + Quote(kMic)).find("65536 / 100%"), std::string::npos);
  Mic->SetVolume(-5);
  EXPECT_EQ(Mic->Volume(), 0);
  EXPECT_NE(Sh("pactl get-source-volume " + Quote(kMic)).find(" 0 /   0%"), std::string::npos);
  Mic->SetMute(true);
  EXPECT_TRUE(Mic->Mute());
  EXPECT_NE(Sh("pactl get-source-mute " + Quote(kMic)).find("yes"), std::string::npos);
}

TEST_F(MixerPulse, UnmutingThePlaybackMicrophoneLineIsHeardOnTheSpeaker) {
  REQUIRE_TEST_SERVER();
  const int Monitor = CaptureNumber(kSpeaker + ".monitor");
  auto M = MakeComponent<TAudioMixer2>(nullptr);
  ASSERT_EQ(M->LineCount(), 1);
  TAudioMixerLine* Hear = M->Lines(0);
  TTone Tone(PlaybackNumber(kFeed), 1000, 0.5);

  const TMeasure Before = Measure(Record(Monitor, 1.0));
  EXPECT_LT(Before.Db, -60) << "the speaker is not quiet to begin with";

  Hear->SetMute(false);
  EXPECT_EQ(Hear->LastResult(), kMixerNoError);
  EXPECT_FALSE(Hear->Mute());
  const TMeasure On = Measure(Record(Monitor, 1.3));
  EXPECT_NEAR(On.Frequency, 1000, 10);
  EXPECT_NEAR(On.Db, SineDb(0.5), 1.5);
  // The line's volume is the loopback's.
  Hear->SetVolume(50);
  EXPECT_EQ(Hear->Volume(), 50);
  const TMeasure Softer = Measure(Record(Monitor, 1.3));
  EXPECT_NEAR(Softer.Db - On.Db, VolumeDb(PA_VOLUME_NORM / 2), 1.0);
  // ... and not the microphone's own.
  EXPECT_NE(Sh("pactl get-source-volume " + Quote(kMic)).find("65536 / 100%"), std::string::npos);

  Hear->SetMute(true);
  EXPECT_TRUE(Hear->Mute());
  const TMeasure After = Measure(Record(Monitor, 1.0));
  EXPECT_LT(After.Db, -60) << "the microphone is still heard after muting";
}

TEST_F(MixerPulse, TheSelectorChoosesWhatCaptureDeviceZeroRecords) {
  REQUIRE_TEST_SERVER();
  const std::string DefaultBefore = Sh("pactl get-default-source");
  auto M = MakeComponent<TAudioMixer2>(nullptr);
  M->SetDestinationID(1);
  const int Mic = FindLine(*M, "Microphone");
  const int Mix = FindLine(*M, "Stereo Mix");
  ASSERT_GE(Mic, 0);
  ASSERT_GE(Mix, 0);
  TAudioMixerLine* Rec = M->Destination();
  TTone Speaker(0, 1500, 0.3);  // the default output
  TTone Voice(PlaybackNumber(kFeed), 700, 0.5);

  Rec->SelectSource(Mix);
  EXPECT_EQ(Rec->LastResult(), kMixerNoError);
  EXPECT_EQ(Rec->SelectedSource(), Mix);
  EXPECT_EQ(CurrentSoundCard().RecordingSelection(), kSpeaker + ".monitor");
  const TMeasure FromMix = Measure(Record(0, 1.2));
  EXPECT_NEAR(FromMix.Frequency, 1500, 15);
  EXPECT_NEAR(FromMix.Db, SineDb(0.3), 1.5);

  Rec->SelectSource(Mic);
  EXPECT_EQ(Rec->SelectedSource(), Mic);
  const TMeasure FromMic = Measure(Record(0, 1.2));
  EXPECT_NEAR(FromMic.Frequency, 700, 10);
  EXPECT_NEAR(FromMic.Db, SineDb(0.5), 1.5);

  Rec->SelectSource(M->LineCount());
  EXPECT_EQ(Rec->LastResult(), 11u);
  EXPECT_EQ(Rec->SelectedSource(), Mic);
  // Only this program's device 0 moved; the server's default never did.
  EXPECT_EQ(Sh("pactl get-default-source"), DefaultBefore);
}

TEST_F(MixerPulse, ChangesMadeByOtherProgramsAreReported) {
  REQUIRE_TEST_SERVER();
  // Declared first: the mixer's thread may wake them until the mixer is gone.
  std::mutex Lock;
  std::condition_variable Woken;
  int Wakes = 0;
  auto M = MakeComponent<TAudioMixer2>(nullptr);
  M->SetDestinationID(1);
  const int Mic = FindLine(*M, "Microphone");
  ASSERT_GE(Mic, 0);
  M->SetOnNotifyPending([&](TAudioMixer2*) {
    std::lock_guard<std::mutex> L(Lock);
    ++Wakes;
    Woken.notify_all();
  });
  std::vector<std::string> Seen;
  M->OnControlChange = [&](TComponent*, TAudioMixerLine* L, TMixerControlType T) {
    Seen.push_back(L->Name() + (T == mcVolume ? " volume" : T == mcMute ? " mute" : " select"));
  };
  M->OnLineChange = [&](TComponent*, TAudioMixerLine* L) { Seen.push_back("line " + L->Name()); };
  // Waits until the server's report arrived, then lets it through.
  auto Deliver = [&](const std::string& Expected) {
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
      {
        std::unique_lock<std::mutex> L(Lock);
        Woken.wait_until(L, Until, [&] { return Wakes > 0; });
        Wakes = 0;
      }
      M->ProcessNotifications();
      if (std::find(Seen.begin(), Seen.end(), Expected) != Seen.end() ||
          std::chrono::steady_clock::now() >= Until)
        return std::find(Seen.begin(), Seen.end(), Expected) != Seen.end();
    }
  };
  Sh("pactl set-source-volume " + Quote(kMic) + " 40%");
  EXPECT_TRUE(Deliver("Microphone volume")) << ::testing::PrintToString(Seen);
  Seen.clear();
  Sh("pactl set-source-mute " + Quote(kMic) + " 1");
  EXPECT_TRUE(Deliver("Microphone mute")) << ::testing::PrintToString(Seen);
  EXPECT_EQ(std::count(Seen.begin(), Seen.end(), "Microphone volume"), 0);  // only what changed

  // A new input changes the recording destination's line.
  Seen.clear();
  const std::string Module =
      Sh("pactl load-module module-null-sink sink_name=velmora_mixer_probe "
         "sink_properties=device.description=Probe");
  ASSERT_FALSE(Module.empty());
  struct TUnload {
    std::string Index;
    ~TUnload() {
      if (!Index.empty()) Sh("pactl unload-module " + Index);
    }
  } Unload{Module.substr(0, Module.find_first_of("\r\n"))};
  EXPECT_TRUE(Deliver("line Recording")) << ::testing::PrintToString(Seen);

  // Recording from an input that then goes away: device 0 goes back to the
  // default input instead of failing to open.
  M->SetDestinationID(0);
  M->SetDestinationID(1);  // the lines as they are now
  const int Probe = FindLine(*M, "Monitor of Probe");
  ASSERT_GE(Probe, 0);
  M->Destination()->SelectSource(Probe);
  EXPECT_EQ(CurrentSoundCard().RecordingSelection(), "velmora_mixer_probe.monitor");
  Seen.clear();
  Sh("pactl unload-module " + Unload.Index);
  Unload.Index.clear();
  EXPECT_TRUE(Deliver("line Recording")) << ::testing::PrintToString(Seen);
  EXPECT_EQ(CurrentSoundCard().RecordingSelection(), "");
  Restore();  // the microphone as it was, heard again
  TTone Voice(PlaybackNumber(kFeed), 700, 0.5, 4);
  EXPECT_NEAR(Measure(Record(0, 1.0)).Frequency, 700, 10);
}

TEST_F(MixerPulse, VelmoraCliDevicesListsTheMixerLines) {
  REQUIRE_TEST_SERVER();
  std::string Out;
  ASSERT_EQ(testing_support::Run(Quote(BinDir() + "/velmora-cli") + " devices", &Out), 0);
  EXPECT_NE(Out.find("Mixer devices:\n  0  Sound server\n"
                     "    Destination 0: Playback  [volume 100%, mute off]\n"
                     "      Line 0: Microphone  [volume 100%, mute on]\n"
                     "    Destination 1: Recording  [records line "),
            std::string::npos)
      << Out;
  EXPECT_NE(Out.find(": Stereo Mix  [volume 100%, mute off]"), std::string::npos) << Out;
  EXPECT_NE(Out.find(": Microphone  [volume 100%, mute off]"), std::string::npos) << Out;
}

TEST_F(MixerPulse, WaveVolumeScalesThisProgramsPlayback) {
  REQUIRE_TEST_SERVER();
  auto V = MakeComponent<TVolumeControl>(nullptr);
  ASSERT_EQ(V->DeviceOf(1), 0);
  EXPECT_EQ(V->DeviceOf(0), -1);
  V->SetByIndex(1, 255);
  EXPECT_EQ(V->GetByIndex(1), 255);
  SetOutputVolume(TOutputKind::Wave, 0, 0xFFFFFFFFu);
  const int Monitor = CaptureNumber(kSpeaker + ".monitor");
  const double Expected = VolumeDb(ChannelVolumeToPulse(128 * 256));
  double Full, Live;
  {
    TTone Playing(0, 1000, 0.5);
    Full = Measure(Record(Monitor, 1.2)).Db;
    EXPECT_NEAR(Full, SineDb(0.5), 1.0);
    V->SetByIndex(1, 128);  // the stream already playing follows
    EXPECT_EQ(V->GetByIndex(1), 128);
    Live = Measure(Record(Monitor, 1.3), 0.5).Db;
    EXPECT_NEAR(Live - Full, Expected, 1.0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  TTone Later(0, 1000, 0.5);  // a stream opened now starts at the volume
  const double Opened = Measure(Record(Monitor, 1.2)).Db;
  EXPECT_NEAR(Opened - Full, Expected, 1.0);
}

// The pulse streams of one process, as the server lists them.
int StreamsOf(pid_t Pid) {
  const std::string Tag = "application.process.id = \"" + std::to_string(Pid) + "\"";
  int N = 0;
  for (const char* What : {"sink-inputs", "source-outputs"}) {
    const std::string L = Sh(std::string("pactl list ") + What);
    for (size_t P = L.find(Tag); P != std::string::npos; P = L.find(Tag, P + 1)) ++N;
  }
  return N;
}

// Reads Fd until Text has come or the deadline passed; true when it came.
bool ReadUntil(int Fd, const std::string& Text, int Seconds) {
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
  std::string Got;
  while (Got.find(Text) == std::string::npos) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
        Until - std::chrono::steady_clock::now());
    if (Left.count() <= 0) return false;
    pollfd P{Fd, POLLIN, 0};
    if (::poll(&P, 1, static_cast<int>(Left.count())) <= 0) continue;
    char B[256];
    const ssize_t N = ::read(Fd, B, sizeof B);
    if (N <= 0) return false;  // the program ended
    Got.append(B, static_cast<size_t>(N));
  }
  return true;
}

// velmora-cli hears the microphone, then ends: killed, or after its time.
// It is held stopped while its streams are counted, so that its time cannot
// run out before they are seen.
void HearInAnotherProcessThenEnd(bool Kill) {
  const std::string ModulesBefore = Sh("pactl list short modules");
  const std::string Cli = BinDir() + "/velmora-cli";
  std::vector<std::string> Args = {Cli, "monitor"};
  if (!Kill) Args.insert(Args.end(), {"--seconds", "2"});
  std::vector<char*> Argv;
  for (std::string& A : Args) Argv.push_back(A.data());
  Argv.push_back(nullptr);
  int Err[2];
  ASSERT_EQ(::pipe2(Err, O_CLOEXEC), 0);
  posix_spawn_file_actions_t Files;
  posix_spawn_file_actions_init(&Files);
  posix_spawn_file_actions_addopen(&Files, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&Files, Err[1], 2);
  pid_t Pid = -1;
  const int Rc = posix_spawn(&Pid, Cli.c_str(), &Files, nullptr, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Files);
  ::close(Err[1]);
  struct TCloseFd {
    int Fd;
    ~TCloseFd() { ::close(Fd); }
  } ErrReader{Err[0]};
  ASSERT_EQ(Rc, 0) << "velmora-cli could not be started";
  // The line comes once both streams are connected.
  const bool Hearing = ReadUntil(Err[0], "Hearing the microphone", 30);
  ::kill(Pid, SIGSTOP);
  int Streams = 0;
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (Hearing && (Streams = StreamsOf(Pid)) < 2 && std::chrono::steady_clock::now() < Until)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(Hearing) << "velmora-cli did not start hearing the microphone";
  EXPECT_EQ(Streams, 2) << "the loopback's two streams never showed";
  ::kill(Pid, Kill ? SIGKILL : SIGCONT);
  int Status = 0;
  ASSERT_EQ(::waitpid(Pid, &Status, 0), Pid);
  if (Kill) {
    EXPECT_TRUE(WIFSIGNALED(Status));
  } else {
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
  }
  int Left = -1;
  WaitFor([&] { return (Left = StreamsOf(Pid)) == 0; });
  EXPECT_EQ(Left, 0) << "streams of the ended process remain";
  EXPECT_EQ(Sh("pactl list short modules"), ModulesBefore);
}

TEST_F(MixerPulse, NothingIsLeftBehindWhenTheProgramIsKilled) {
  REQUIRE_TEST_SERVER();
  HearInAnotherProcessThenEnd(true);
}

TEST_F(MixerPulse, NothingIsLeftBehindWhenTheProgramExits) {
  REQUIRE_TEST_SERVER();
  HearInAnotherProcessThenEnd(false);
}

}  // namespace
