// The player library playing into the private test sound server
// (scripts/pulse.sh): what the speaker's monitor hears against the reference
// decoder's output, and the stream's life on the server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "devices/XaudioPlayer.h"
#include "platform/PulseSoundCard.h"
#include "tests/support/TestServerDevices.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

int Sh(const std::string& Cmd, std::string* Out = nullptr) {
  return testing_support::Run(Cmd, Out);
}

bool HaveTestServer() {
  for (const TSoundDevice& D : TPulseSoundCard().CaptureDevices())
    if (D.Name == kMic) return true;
  return false;
}

// Waits until Done() holds, delivering P's notifications meanwhile.
bool WaitFor(TXaudioPlayer& P, const std::function<bool()>& Done,
             std::chrono::milliseconds Bound = 15s) {
  const auto Until = std::chrono::steady_clock::now() + Bound;
  while (!Done()) {
    if (std::chrono::steady_clock::now() >= Until) return false;
    if (P.WaitForNotification(20ms)) P.DeliverNotifications();
  }
  return true;
}

// parec on the speaker's monitor, writing raw 16-bit stereo 44.1 kHz to a
// file until destroyed.
class TMonitorRecording {
 public:
  explicit TMonitorRecording(std::string File) : FFile(std::move(File)) {
    const std::string Device = kSpeaker + ".monitor";
    // Made here, so that the file exists as soon as the object does.
    const int Out = ::open(FFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FPid = ::fork();
    if (FPid == 0) {
      const int Null = ::open("/dev/null", O_WRONLY);
      ::dup2(Out, 1);
      ::dup2(Null, 2);
      ::execlp("parec", "parec", "-d", Device.c_str(), "--format=s16le", "--rate=44100",
               "--channels=2", "--raw", "--latency-msec=20", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(Out);
  }
  ~TMonitorRecording() { Stop(); }
  void Stop() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    ::waitpid(FPid, nullptr, 0);
    FPid = -1;
  }
  size_t Bytes() const { return ReadFileBytes(FFile).size(); }
  // Waits until at least Bytes more than now have been recorded.
  bool WaitForMore(size_t More, std::chrono::milliseconds Bound = 5s) const {
    const size_t Start = Bytes();
    const auto Until = std::chrono::steady_clock::now() + Bound;
    while (Bytes() < Start + More)
      if (std::chrono::steady_clock::now() >= Until)
        return false;
      else
        std::this_thread::sleep_for(10ms);
    return true;
  }
  std::vector<int16_t> Left() const {
    const std::vector<uint8_t> B = ReadFileBytes(FFile);
    std::vector<int16_t> L(B.size() / 4);
    for (size_t I = 0; I < L.size(); ++I)
      L[I] = static_cast<int16_t>(B[4 * I] | (B[4 * I + 1] << 8));
    return L;
  }
  bool Running() const { return FPid > 0; }

 private:
  std::string FFile;
  int FPid = -1;
};

// The sample offset of Window in Signal where the two match best, searched
// on averages of 4 samples first, then sample by sample around the best.
size_t FindWindow(const std::vector<int16_t>& Signal, const std::vector<int16_t>& Window) {
  auto Quarter = [](const std::vector<int16_t>& S) {
    std::vector<float> Q(S.size() / 4);
    for (size_t I = 0; I < Q.size(); ++I)
      Q[I] = (S[4 * I] + S[4 * I + 1] + S[4 * I + 2] + S[4 * I + 3]) / 4.0f;
    return Q;
  };
  const std::vector<float> S = Quarter(Signal), W = Quarter(Window);
  size_t Best = 0;
  double BestSum = -1e300;
  for (size_t L = 0; L + W.size() <= S.size(); ++L) {
    double Sum = 0;
    for (size_t I = 0; I < W.size(); ++I) Sum += static_cast<double>(S[L + I]) * W[I];
    if (Sum > BestSum) {
      BestSum = Sum;
      Best = L * 4;
    }
  }
  size_t Fine = Best;
  BestSum = -1e300;
  for (size_t L = Best >= 8 ? Best - 8 : 0; L <= Best + 8 && L + Window.size() <= Signal.size();
       ++L) {
    double Sum = 0;
    for (size_t I = 0; I < Window.size(); ++I)
      Sum += static_cast<double>(Signal[L + I]) * Window[I];
    if (Sum > BestSum) {
      BestSum = Sum;
      Fine = L;
    }
  }
  return Fine;
}

class PlayerPulse : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTestServer())
      GTEST_SKIP() << "no test sound server answers (start one with: source scripts/pulse.sh; "
                      "pulse_start)";
    if (!HaveTool("pactl") || !HaveTool("parec") || !HaveTool("sox"))
      GTEST_SKIP() << "pactl, parec and sox are needed";
    Sh("pactl set-sink-volume " + kSpeaker + " 100%; pactl set-sink-mute " + kSpeaker + " 0");
    P.reset(new TXaudioPlayer(nullptr));
    P->SetXaudioPath(BinDir() + "/libAudioPlayer.so");
    P->OnNotifyPlayerState = [this](TComponent*, int S) { State = S; };
    P->OnNotifyAck = [this](TComponent*, uint8_t C) { Acks.push_back(C); };
    P->OnNotifyError = [this](TComponent*, uint8_t, int16_t, const std::string& M) {
      Errors += M + "\n";
    };
  }

  // This process's playback streams on the server.
  int OurStreams() {
    std::string Out;
    Sh("pactl list sink-inputs", &Out);
    const std::string Mine = "application.process.id = \"" + std::to_string(::getpid()) + "\"";
    int N = 0;
    for (size_t At = Out.find(Mine); At != std::string::npos; At = Out.find(Mine, At + 1)) ++N;
    return N;
  }
  bool Acked(int Code) { return std::find(Acks.begin(), Acks.end(), Code) != Acks.end(); }

  TempDir Dir;
  TOwned<TXaudioPlayer> P;
  int State = -1;
  std::vector<int> Acks;
  std::string Errors;
};

TEST_F(PlayerPulse, TheSpeakerPlaysAnMp3AsTheReferenceDecoderDecodesIt) {
  if (!HaveTool("lame") || !HaveTool("mpg123")) GTEST_SKIP() << "lame and mpg123 are needed";
  // Two sweeps: no stretch of the signal looks like another.
  ASSERT_EQ(Sh("sox -n -r 44100 -c 2 -b 16 " + Quote(Dir.Path("s.wav")) +
               " synth 1.2 sine 200-2000 sine 2500-300 vol 0.4"),
            0);
  ASSERT_EQ(Sh("lame --quiet -b 192 " + Quote(Dir.Path("s.wav")) + " " + Quote(Dir.Path("s.mp3"))),
            0);
  ASSERT_EQ(Sh("mpg123 -q -s " + Quote(Dir.Path("s.mp3")) + " > " + Quote(Dir.Path("ref.raw"))), 0);

  TMonitorRecording Rec(Dir.Path("rec.raw"));
  ASSERT_TRUE(Rec.Running());
  ASSERT_TRUE(Rec.WaitForMore(8820)) << "the monitor records nothing";
  ASSERT_EQ(P->OpenInput(Dir.Path("s.mp3")), 0);
  ASSERT_EQ(P->PlayInput(), 0);
  ASSERT_TRUE(WaitFor(*P, [&] { return State == XA_PLAYER_STATE_EOS; })) << Errors;
  // The end was heard before the end was reported; a little more to be sure
  // the recorder has it.
  ASSERT_TRUE(Rec.WaitForMore(17640));
  Rec.Stop();
  EXPECT_EQ(Errors, "");

  const std::vector<uint8_t> RefBytes = ReadFileBytes(Dir.Path("ref.raw"));
  std::vector<int16_t> Ref(RefBytes.size() / 4);
  for (size_t I = 0; I < Ref.size(); ++I)
    Ref[I] = static_cast<int16_t>(RefBytes[4 * I] | (RefBytes[4 * I + 1] << 8));
  ASSERT_GT(Ref.size(), 44100u);
  const std::vector<int16_t> Heard = Rec.Left();
  // Ten pieces of 46 ms from the middle of the song, each looked for in the
  // whole recording: a stall of a busy machine may drop a moment of sound
  // and move what follows, which spoils a piece or two and not the rest.
  std::vector<double> Correlations, Levels;
  for (int K = 0; K < 10; ++K) {
    const size_t From = 8820 + static_cast<size_t>(K) * 3528;
    const std::vector<int16_t> Piece(Ref.begin() + From, Ref.begin() + From + 2048);
    ASSERT_GT(Heard.size(), Piece.size());
    const size_t At = FindWindow(Heard, Piece);
    double Cross = 0, PP = 0, HH = 0;
    for (size_t I = 0; I < Piece.size(); ++I) {
      Cross += static_cast<double>(Piece[I]) * Heard[At + I];
      PP += static_cast<double>(Piece[I]) * Piece[I];
      HH += static_cast<double>(Heard[At + I]) * Heard[At + I];
    }
    Correlations.push_back(Cross / std::sqrt(PP * HH));
    Levels.push_back(20 * std::log10(std::sqrt(HH / PP)));
  }
  auto Median = [](std::vector<double> V) {
    std::sort(V.begin(), V.end());
    return (V[4] + V[5]) / 2;
  };
  const double Correlation = Median(Correlations), Db = Median(Levels);
  EXPECT_GT(Correlation, 0.99);
  EXPECT_LT(std::fabs(Db), 1.0) << Db << " dB";
  std::printf("correlation %.5f, level %+.3f dB (medians of 10 pieces; lowest correlation %.5f)\n",
              Correlation, Db, *std::min_element(Correlations.begin(), Correlations.end()));
}

TEST_F(PlayerPulse, ClosingTheInputTakesTheStreamOffTheServer) {
  ASSERT_EQ(Sh("sox -n -r 8000 -c 1 -b 16 " + Quote(Dir.Path("long.wav")) + " synth 5 sine 440"),
            0);
  ASSERT_EQ(OurStreams(), 0);
  ASSERT_EQ(P->OpenInput(Dir.Path("long.wav")), 0);
  P->PlayInput();
  // The stream is on the server before the state is reported.
  ASSERT_TRUE(WaitFor(*P, [&] { return State == XA_PLAYER_STATE_PLAYING; })) << Errors;
  EXPECT_EQ(OurStreams(), 1);
  P->CloseInput();
  ASSERT_TRUE(WaitFor(*P, [&] { return Acked(XA_MSG_COMMAND_INPUT_CLOSE); }));
  // The stream was disconnected before the acknowledgement was sent; the
  // server may take a moment to drop it.
  const auto Gone = std::chrono::steady_clock::now() + 3s;
  while (OurStreams() != 0 && std::chrono::steady_clock::now() < Gone)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(OurStreams(), 0);
  EXPECT_EQ(Errors, "");
}

}  // namespace
