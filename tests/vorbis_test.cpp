// Ogg Vorbis reader and writer against the reference tools: oggenc files decode
// like oggdec, our files pass ogginfo and decode with oggdec and ffmpeg, the
// encoder gets the settings it was given, and bad input fails cleanly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "codecs/ACS_Vorbis.h"
#include "codecs/VorbisFile.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;
using enum TVorbisBitRate;

namespace {

bool HaveTools() {
  return HaveTool("oggenc") && HaveTool("oggdec") && HaveTool("ogginfo") && HaveTool("sox");
}
#define REQUIRE_TOOLS() \
  if (!HaveTools()) GTEST_SKIP() << "vorbis-tools (oggenc, oggdec, ogginfo) and sox are needed"

// Encodes 16-bit Pcm with Out through a memory source; returns the failure text.
std::string Encode(TVorbisOut& Out, const std::vector<int16_t>& Pcm, int Channels, int Rate,
                   int MaxChunk = 1 << 30) {
  TOwned<TMemorySource> Src = MakeComponent<TMemorySource>(nullptr);
  Src->Channels = Channels;
  Src->Rate = Rate;
  Src->MaxChunk = MaxChunk;
  Src->Data.resize(Pcm.size() * 2);
  std::memcpy(Src->Data.data(), Pcm.data(), Src->Data.size());
  Out.SetInput(Src.get());
  const std::string E = RunJob(Out);
  Out.SetInput(nullptr);
  return E;
}

// Everything the reader delivers, in odd-sized requests.
std::vector<int16_t> DecodeAll(TVorbisIn& In, size_t Limit = SIZE_MAX) {
  std::vector<int16_t> R;
  In.Init();
  uint8_t Buf[3001];
  std::vector<uint8_t> Bytes;
  for (int N; Bytes.size() < Limit && (N = In.GetData(Buf, sizeof Buf)) > 0;)
    Bytes.insert(Bytes.end(), Buf, Buf + N);
  In.Flush();
  R.resize(Bytes.size() / 2);
  std::memcpy(R.data(), Bytes.data(), R.size() * 2);
  return R;
}

std::vector<int16_t> Oggdec(const std::string& Ogg, const std::string& Wav) {
  EXPECT_EQ(0, testing_support::Run("oggdec -Q -o " + Quote(Wav) + " " + Quote(Ogg)));
  return ReadPcm16Wav(Wav);
}

// Channel C of interleaved samples, correlated with the same channel of Ref.
double Correlation(const std::vector<int16_t>& A, const std::vector<int16_t>& Ref, int Channels,
                   int C) {
  double Ab = 0, Aa = 0, Bb = 0;
  for (size_t I = C; I < std::min(A.size(), Ref.size()); I += Channels) {
    Ab += double(A[I]) * Ref[I];
    Aa += double(A[I]) * A[I];
    Bb += double(Ref[I]) * Ref[I];
  }
  return Aa > 0 && Bb > 0 ? Ab / std::sqrt(Aa * Bb) : 0;
}

// The identification header of the first stream: channels, rate and the
// three bit rates as the encoder recorded them.
struct TIdHeader {
  int Channels = 0;
  int Rate = 0, Maximum = 0, Nominal = 0, Minimum = 0;
};
TIdHeader ReadIdHeader(const std::string& File) {
  const std::vector<uint8_t> F = ReadFileBytes(File);
  TIdHeader H;
  if (F.size() < 58 || std::memcmp(F.data(), "OggS", 4)) return H;
  const uint8_t* P = F.data() + 27 + F[26];  // first packet
  if (std::memcmp(P, "\x01vorbis", 7)) return H;
  auto I32 = [](const uint8_t* Q) {
    return static_cast<int>(Q[0] | Q[1] << 8 | Q[2] << 16 | uint32_t(Q[3]) << 24);
  };
  H.Channels = P[11];
  H.Rate = I32(P + 12);
  H.Maximum = I32(P + 16);
  H.Nominal = I32(P + 20);
  H.Minimum = I32(P + 24);
  return H;
}

// oggenc's file of Seconds of Channels x Rate noise with tones.
std::string MakeOggenc(const TempDir& T, const std::string& Name, int Channels, int Rate,
                       double Seconds, const std::string& Extra = "") {
  const std::string Wav = T.Path(Name + ".wav"), Ogg = T.Path(Name + ".ogg");
  const std::vector<int16_t> S = MakeSignal16(static_cast<int>(Seconds * Rate), Channels, Rate);
  WritePcmWav(Wav, S.data(), S.size() * 2, Channels, Rate, 16);
  EXPECT_EQ(0, testing_support::Run("oggenc -Q " + Extra + " -o " + Quote(Ogg) + " " + Quote(Wav)));
  return Ogg;
}

// An endless 16-bit stereo tone that counts what it delivers. With a gate
// set, once GateAt bytes are out a read waits until the gate opens and then
// delivers one sample frame.
class TEndlessSource : public TACSInput {
 public:
  using TACSInput::TACSInput;
  std::atomic<int64_t> Delivered{0};
  std::atomic<int> InitCount{0}, FlushCount{0};
  int64_t GateAt = -1;  // -1 = no gate

  int InBitsPerSample() override { return 16; }
  int InChannels() override { return 2; }
  int InSampleRate() override { return 44100; }
  void Init() override {
    ++InitCount;
    FPosition = 0;
    FSize = -1;
    FBusy = true;
  }
  void Flush() override {
    ++FlushCount;
    FBusy = false;
  }
  int GetData(void* Buffer, int BufferSize) override {
    int N = std::min(BufferSize, 16384) & ~3;
    if (GateAt >= 0 && Delivered >= GateAt) {
      std::unique_lock<std::mutex> L(FGateLock);
      FAtGate = true;
      FGateChanged.notify_all();
      FGateChanged.wait(L, [this] { return FGateOpen; });
      N = 4;
    }
    auto* S = static_cast<int16_t*>(Buffer);
    for (int I = 0; I < N / 4; ++I, ++FFrame) {
      const auto V = static_cast<int16_t>(8000 * std::sin(FFrame * 2 * M_PI * 440 / 44100));
      S[2 * I] = V;
      S[2 * I + 1] = static_cast<int16_t>(-V);
    }
    Delivered += N;
    FPosition += N;
    return N;
  }
  // True once a read waits at the gate (within the bound).
  bool WaitAtGate() {
    std::unique_lock<std::mutex> L(FGateLock);
    return FGateChanged.wait_for(L, std::chrono::seconds(60), [this] { return FAtGate; });
  }
  void OpenGate() {
    std::lock_guard<std::mutex> L(FGateLock);
    FGateOpen = true;
    FGateChanged.notify_all();
  }

 private:
  int64_t FFrame = 0;  // worker only
  std::mutex FGateLock;
  std::condition_variable FGateChanged;
  bool FAtGate = false, FGateOpen = false;  // guarded by FGateLock
};

// The header-type flags of every Ogg page of a file, in order; empty when the
// file is not a sequence of whole pages.
std::vector<uint8_t> OggPageFlags(const std::string& File) {
  const std::vector<uint8_t> F = ReadFileBytes(File);
  std::vector<uint8_t> Flags;
  size_t P = 0;
  while (P < F.size()) {
    if (P + 27 > F.size() || std::memcmp(&F[P], "OggS", 4) || P + 27 + F[P + 26] > F.size())
      return {};
    size_t Body = 0;
    for (int I = 0; I < F[P + 26]; ++I) Body += F[P + 27 + I];
    Flags.push_back(F[P + 5]);
    P += 27 + F[P + 26] + Body;
  }
  if (P != F.size()) return {};
  return Flags;
}

// The descriptor this process holds open on File; -1 when there is none.
int DescriptorOf(const std::string& File) {
  for (const auto& E : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code Ec;
    if (std::filesystem::read_symlink(E.path(), Ec) == File) return std::stoi(E.path().filename());
  }
  return -1;
}

// ---------------------------------------------------------------- writer

TEST(VorbisOut, BitRateSettersFollowTheirRules) {
  TOwned<TVorbisOut> O = MakeComponent<TVorbisOut>(nullptr);
  // Without a nominal rate only brAutoSelect is accepted for the bounds.
  O->SetDesiredMaximumBitrate(br192);
  O->SetMinimumBitrate(br64);
  EXPECT_EQ(brAutoSelect, O->DesiredMaximumBitrate());
  EXPECT_EQ(brAutoSelect, O->MinimumBitrate());
  // The nominal rate pulls the maximum up to itself.
  O->SetDesiredNominalBitrate(br128);
  EXPECT_EQ(br128, O->DesiredMaximumBitrate());
  O->SetDesiredMaximumBitrate(br112);  // below nominal: ignored
  EXPECT_EQ(br128, O->DesiredMaximumBitrate());
  O->SetDesiredMaximumBitrate(br192);
  EXPECT_EQ(br192, O->DesiredMaximumBitrate());
  O->SetMinimumBitrate(br160);  // above nominal: ignored
  EXPECT_EQ(brAutoSelect, O->MinimumBitrate());
  O->SetMinimumBitrate(br64);
  EXPECT_EQ(br64, O->MinimumBitrate());
  // A nominal rate below the minimum pulls the minimum down.
  O->SetDesiredNominalBitrate(br56);
  EXPECT_EQ(br56, O->MinimumBitrate());
  EXPECT_EQ(br192, O->DesiredMaximumBitrate());
  // Back to quality mode: the maximum goes with it.
  O->SetDesiredNominalBitrate(brAutoSelect);
  EXPECT_EQ(brAutoSelect, O->DesiredMaximumBitrate());
  EXPECT_EQ(brAutoSelect, O->MinimumBitrate());
  EXPECT_EQ(499000, VorbisBitRateValue(br499));
  EXPECT_EQ(45000, VorbisBitRateValue(br45));
  EXPECT_EQ(-1, VorbisBitRateValue(brAutoSelect));
}

TEST(VorbisOut, QualityModeHandsCompressionToTheEncoder) {
  REQUIRE_TOOLS();
  TempDir T;
  const std::string Ref2 = MakeOggenc(T, "q2", 2, 44100, 1, "-q 2");
  const std::string Ref5 = MakeOggenc(T, "q5", 2, 44100, 1, "-q 5");
  const std::vector<int16_t> S = MakeSignal16(44100, 2, 44100);
  TOwned<TVorbisOut> O = MakeComponent<TVorbisOut>(nullptr);
  EXPECT_FLOAT_EQ(0.2f, O->Compression());
  O->SetFileName(T.Path("a.ogg"));
  ASSERT_EQ("", Encode(*O, S, 2, 44100));
  const TIdHeader A = ReadIdHeader(T.Path("a.ogg")), R = ReadIdHeader(Ref2);
  EXPECT_EQ(R.Nominal, A.Nominal);
  EXPECT_EQ(R.Maximum, A.Maximum);  // "not set", as in quality mode
  EXPECT_EQ(R.Minimum, A.Minimum);
  O->SetCompression(0.5f);
  ASSERT_EQ("", Encode(*O, S, 2, 44100));
  EXPECT_EQ(ReadIdHeader(Ref5).Nominal, ReadIdHeader(T.Path("a.ogg")).Nominal);
  EXPECT_NE(ReadIdHeader(Ref2).Nominal, ReadIdHeader(Ref5).Nominal);
}

TEST(VorbisOut, ManagedModeHandsMaximumNominalMinimumToTheEncoder) {
  REQUIRE_TOOLS();
  TempDir T;
  const std::vector<int16_t> S = MakeSignal16(44100, 2, 44100);
  TOwned<TVorbisOut> O = MakeComponent<TVorbisOut>(nullptr);
  O->SetFileName(T.Path("m.ogg"));
  O->SetDesiredNominalBitrate(br128);
  ASSERT_EQ("", Encode(*O, S, 2, 44100));
  TIdHeader H = ReadIdHeader(T.Path("m.ogg"));
  EXPECT_EQ(128000, H.Maximum);
  EXPECT_EQ(128000, H.Nominal);
  EXPECT_EQ(128000, H.Minimum);
  O->SetDesiredMaximumBitrate(br192);
  O->SetMinimumBitrate(br64);
  ASSERT_EQ("", Encode(*O, S, 2, 44100));
  H = ReadIdHeader(T.Path("m.ogg"));
  EXPECT_EQ(192000, H.Maximum);
  EXPECT_EQ(128000, H.Nominal);
  EXPECT_EQ(64000, H.Minimum);
  EXPECT_EQ(0, testing_support::Run("ogginfo " + Quote(T.Path("m.ogg"))));
}

TEST(VorbisOut, RefusedEncoderSetUpFailsPrepareAndKeepsTheOldFile) {
  TempDir T;
  const std::string F = T.Path("keep.ogg");
  WriteFileBytes(F, {'k', 'e', 'e', 'p'});
  TOwned<TVorbisOut> O = MakeComponent<TVorbisOut>(nullptr);
  O->SetFileName(F);
  O->SetDesiredNominalBitrate(br256);  // too much for one channel at 44100 Hz
  const std::string E = Encode(*O, MakeSignal16(4410, 1, 44100), 1, 44100);
  EXPECT_NE(std::string::npos, E.find("cannot encode 1 channel at 44100 Hz")) << E;
  EXPECT_EQ(std::vector<uint8_t>({'k', 'e', 'e', 'p'}), ReadFileBytes(F));
  EXPECT_EQ(osIdle, O->Status());
  // The same component encodes once the setting is one the library takes.
  O->SetDesiredNominalBitrate(br64);
  EXPECT_EQ("", Encode(*O, MakeSignal16(4410, 1, 44100), 1, 44100));
  // Nor may a comment line without a name reach the file.
  O->SetComments({"no equals sign"});
  EXPECT_NE(std::string::npos,
            Encode(*O, MakeSignal16(441, 1, 44100), 1, 44100).find("NAME=value"));
}

class VorbisOutFormats : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(VorbisOutFormats, OutputPassesOgginfoAndDecodesToTheInputLength) {
  REQUIRE_TOOLS();
  const auto [Channels, Rate] = GetParam();
  TempDir T;
  const int Frames = Rate * 2 + 123;
  const std::vector<int16_t> S = MakeSignal16(Frames, Channels, Rate);
  TOwned<TVorbisOut> O = MakeComponent<TVorbisOut>(nullptr);
  O->SetFileName(T.Path("o.ogg"));
  O->SetCompression(0.5f);
  // Odd chunks from the source must not shift the channels.
  ASSERT_EQ("", Encode(*O, S, Channels, Rate, 4097));
  std::string Out;
  EXPECT_EQ(0, testing_support::Run("ogginfo " + Quote(T.Path("o.ogg")), &Out));
  EXPECT_EQ(std::string::npos, Out.find("WARNING")) << Out;
  EXPECT_EQ(std::string::npos, Out.find("ERROR")) << Out;
  int Ch = 0, Rt = 0;
  testing_support::Run("oggdec -Q -o " + Quote(T.Path("d.wav")) + " " + Quote(T.Path("o.ogg")));
  const std::vector<int16_t> D = ReadPcm16Wav(T.Path("d.wav"), &Ch, &Rt);
  EXPECT_EQ(Channels, Ch);
  EXPECT_EQ(Rate, Rt);
  EXPECT_EQ(S.size(), D.size());
  for (int C = 0; C < Channels; ++C) EXPECT_GT(Correlation(D, S, Channels, C), 0.95) << C;
  if (HaveTool("ffmpeg")) {
    ASSERT_EQ(0, testing_support::Run("ffmpeg -v error -i " + Quote(T.Path("o.ogg")) +
                                      " -f s16le " + Quote(T.Path("f.raw"))));
    EXPECT_EQ(S.size() * 2, ReadFileBytes(T.Path("f.raw")).size());
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, VorbisOutFormats,
                         testing::Values(std::make_pair(1, 22050), std::make_pair(2, 44100),
                                         std::make_pair(2, 48000)));

TEST(VorbisOut, EightBitInputIsScaledLikeSixteenBit) {
  REQUIRE_TOOLS();
  TempDir T;
  TOwned<TMemorySource> Src = MakeComponent<TMemorySource>(nullptr);
  Src->Bits = 8;
  Src->Rate = 22050;
  Src->Data = MakeSignal8(22050, 2, 22050);
  TOwned<TVorbisOut> O = MakeComponent<TVorbisOut>(nullptr);
  O->SetFileName(T.Path("e.ogg"));
  O->SetInput(Src.get());
  ASSERT_EQ("", RunJob(*O));
  const std::vector<int16_t> D = Oggdec(T.Path("e.ogg"), T.Path("e.wav"));
  ASSERT_EQ(Src->Data.size(), D.size());
  std::vector<int16_t> Ref(Src->Data.size());
  for (size_t I = 0; I < Ref.size(); ++I) Ref[I] = static_cast<int16_t>((Src->Data[I] - 128) << 8);
  for (int C = 0; C < 2; ++C) EXPECT_GT(Correlation(D, Ref, 2, C), 0.95);
  double Peak = 0;
  for (int16_t V : D) Peak = std::max(Peak, std::fabs(double(V)));
  EXPECT_NEAR(0.5 * 32768, Peak, 0.1 * 32768);  // the signal's own level, not 1/256 of it
}

TEST(VorbisOut, CommentsReachTheFileAndAreClearedAfterTheJob) {
  REQUIRE_TOOLS();
  TempDir T;
  TOwned<TVorbisOut> O = MakeComponent<TVorbisOut>(nullptr);
  O->SetFileName(T.Path("c.ogg"));
  O->SetComments({"ARTIST=Someone", "TITLE=a=b"});
  O->AddComment("ALBUM=");
  ASSERT_EQ("", Encode(*O, MakeSignal16(4410, 2, 44100), 2, 44100));
  EXPECT_TRUE(O->Comments().empty());
  std::string Out;
  ASSERT_EQ(0, testing_support::Run("vorbiscomment -l " + Quote(T.Path("c.ogg")), &Out));
  EXPECT_EQ("ARTIST=Someone\nTITLE=a=b\nALBUM=\n", Out);
}

TEST(VorbisOut, FailedInputStillLeavesAnEndedStream) {
  REQUIRE_TOOLS();
  TempDir T;
  TOwned<TMemorySource> Src = MakeComponent<TMemorySource>(nullptr);
  const std::vector<int16_t> S = MakeSignal16(44100 * 3, 2, 44100);
  Src->Data.assign(reinterpret_cast<const uint8_t*>(S.data()),
                   reinterpret_cast<const uint8_t*>(S.data() + S.size()));
  Src->FailAfter = 44100 * 4;  // one second in
  TOwned<TVorbisOut> O = MakeComponent<TVorbisOut>(nullptr);
  O->SetFileName(T.Path("f.ogg"));
  O->SetInput(Src.get());
  EXPECT_EQ("Simulated read failure", RunJob(*O));
  EXPECT_EQ(1, Src->FlushCount);
  std::string Out;
  EXPECT_EQ(0, testing_support::Run("ogginfo " + Quote(T.Path("f.ogg")), &Out));
  EXPECT_EQ(std::string::npos, Out.find("WARNING")) << Out;
  EXPECT_EQ(44100u * 2, Oggdec(T.Path("f.ogg"), T.Path("f.wav")).size());
}

TEST(VorbisOut, DestroyedMidJobLeavesAnEndedStreamAndFlushesItsInput) {
  REQUIRE_TOOLS();
  TempDir T;
  TOwned<TEndlessSource> Src = MakeComponent<TEndlessSource>(nullptr);
  TOwned<TVorbisOut> O = MakeComponent<TVorbisOut>(nullptr);
  O->SetFileName(T.Path("d.ogg"));
  O->SetInput(Src.get());
  O->Run();
  // The source never ends: only the destruction below ends this job.
  for (int I = 0; I < 60000 && Src->Delivered < 44100 * 4 * 2; ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GE(Src->Delivered, 44100 * 4 * 2) << "the job never got two seconds in";
  O.reset();  // the window closes mid-job
  EXPECT_EQ(1, Src->InitCount);
  EXPECT_EQ(1, Src->FlushCount) << "the input was not flushed";
  EXPECT_FALSE(Src->Busy());
  const std::vector<uint8_t> Flags = OggPageFlags(T.Path("d.ogg"));
  ASSERT_GE(Flags.size(), 3u) << "not a sequence of whole Ogg pages";
  EXPECT_EQ(0x04, Flags.back() & 0x04) << "the last page has no end-of-stream flag";
  std::string Out;
  EXPECT_EQ(0, testing_support::Run("ogginfo " + Quote(T.Path("d.ogg")), &Out));
  EXPECT_EQ(std::string::npos, Out.find("WARNING")) << Out;
  EXPECT_GE(Oggdec(T.Path("d.ogg"), T.Path("d.wav")).size(), 44100u * 2 * 2);
}

TEST(VorbisOut, StreamThatCannotBeEndedFailsTheJob) {
  REQUIRE_TOOLS();
  TempDir T;
  TOwned<TEndlessSource> Src = MakeComponent<TEndlessSource>(nullptr);
  Src->GateAt = 4 * 16384 * 4;  // a few steps in
  bool Succeeded = false;
  std::string Error;
  TOwned<TVorbisOut> O = MakeComponent<TVorbisOut>(nullptr);
  // Whatever fails below, the worker is not left waiting at the gate.
  struct TOpener {
    TEndlessSource* S;
    ~TOpener() { S->OpenGate(); }
  } Opener{Src.get()};
  O->SetFileName(T.Path("full.ogg"));
  O->SetInput(Src.get());
  O->OnDone = [&](TComponent*) { Succeeded = true; };
  O->OnThreadException = [&](TComponent*, const std::exception& E) { Error = E.what(); };
  O->Run();
  ASSERT_TRUE(Src->WaitAtGate());
  // From here on the disk is full: every write to the file fails.
  // Until the job ends it writes under the part name beside the target.
  const int Fd = DescriptorOf(PartFileName(T.Path("full.ogg")));
  ASSERT_GE(Fd, 0);
  const int Full = open("/dev/full", O_WRONLY);
  ASSERT_GE(Full, 0);
  ASSERT_EQ(Fd, dup2(Full, Fd));
  close(Full);
  // Stopped: the last step reads one sample frame, writes nothing, and the
  // end of the job has to write the stream's last pages.
  O->Stop();
  Src->OpenGate();
  ASSERT_TRUE(O->WaitForEnd(std::chrono::seconds(60)));
  EXPECT_FALSE(Succeeded) << "a stream without its end was reported as done";
  EXPECT_NE(std::string::npos, Error.find("No space left on device")) << Error;
  EXPECT_EQ(1, Src->FlushCount);
}

TEST(VorbisOut, AppendChainsAStreamWithItsOwnSerial) {
  REQUIRE_TOOLS();
  TempDir T;
  const std::string F = T.Path("ap.ogg");
  TOwned<TVorbisOut> O = MakeComponent<TVorbisOut>(nullptr);
  O->SetFileName(F);
  ASSERT_EQ("", Encode(*O, MakeSignal16(10000, 2, 44100), 2, 44100));
  O->SetFileMode(foAppend);
  EXPECT_EQ(foAppend, O->FileMode());
  ASSERT_EQ("", Encode(*O, MakeSignal16(5000, 2, 44100), 2, 44100));
  std::string Out;
  EXPECT_EQ(0, testing_support::Run("ogginfo " + Quote(F), &Out));
  EXPECT_NE(std::string::npos, Out.find("serial: 00000000")) << Out;
  EXPECT_NE(std::string::npos, Out.find("serial: 00000001")) << Out;
  EXPECT_EQ(std::string::npos, Out.find("WARNING")) << Out;
  TOwned<TVorbisIn> In = MakeComponent<TVorbisIn>(nullptr);
  In->SetFileName(F);
  EXPECT_EQ(15000, In->SampleCount());
  EXPECT_EQ(15000u * 2, DecodeAll(*In).size());

  // Data that is not whole Ogg pages is refused and left as it was.
  const std::string J = T.Path("junk.ogg");
  WriteFileBytes(J, {'O', 'g', 'g', 'S', 0, 0});
  O->SetFileName(J);
  EXPECT_EQ("Cannot append data to this .ogg file.",
            Encode(*O, MakeSignal16(500, 2, 44100), 2, 44100));
  EXPECT_EQ(6u, ReadFileBytes(J).size());
}

TEST(VorbisOut, MissingLibraryIsNamedInTheMessage) {
  // One library renamed to a file that does not exist: the components name it.
  TCodecLibrary& Lib = VorbisFileLibrary();
  const std::string Real = Lib.FileName();
  Lib.Unload();
  Lib.SetFileName("libvorbisfile-missing.so.3");
  for (int Which = 0; Which < 2; ++Which) {
    try {
      if (Which == 0)
        MakeComponent<TVorbisOut>(nullptr);
      else
        MakeComponent<TVorbisIn>(nullptr);
      ADD_FAILURE() << "no exception";
    } catch (const EACSException& E) {
      EXPECT_STREQ("libvorbisfile-missing.so.3 library could not be loaded.", E.what());
    }
  }
  Lib.SetFileName(Real);
  EXPECT_NO_THROW(MakeComponent<TVorbisIn>(nullptr));
}

// ---------------------------------------------------------------- reader

class VorbisInFormats : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(VorbisInFormats, DecodesOggencFilesLikeOggdec) {
  REQUIRE_TOOLS();
  const auto [Channels, Rate] = GetParam();
  TempDir T;
  const std::string F = MakeOggenc(T, "s", Channels, Rate, 1.5);
  TOwned<TVorbisIn> In = MakeComponent<TVorbisIn>(nullptr);
  In->SetFileName(F);
  EXPECT_TRUE(In->Valid());
  EXPECT_EQ(Channels, In->InChannels());
  EXPECT_EQ(Rate, In->InSampleRate());
  EXPECT_EQ(16, In->InBitsPerSample());
  EXPECT_EQ(Rate * 3 / 2, In->SampleCount());
  EXPECT_EQ(2, In->TotalTime());
  const std::vector<int16_t> Ref = Oggdec(F, T.Path("ref.wav"));
  const std::vector<int16_t> Got = DecodeAll(*In);
  ASSERT_EQ(Ref.size(), Got.size());
  EXPECT_TRUE(Ref == Got);
}

INSTANTIATE_TEST_SUITE_P(Formats, VorbisInFormats,
                         testing::Values(std::make_pair(1, 22050), std::make_pair(2, 44100),
                                         std::make_pair(2, 48000)));

TEST(VorbisIn, ChainedStreamsDecodeLikeOggdecUntilTheFormatChanges) {
  REQUIRE_TOOLS();
  TempDir T;
  // Each stream its own serial number: oggenc draws one at random, and two
  // streams of a chain that share one read as a single stream.
  const std::string A = MakeOggenc(T, "a", 2, 44100, 1, "-s 1001");
  const std::string B = MakeOggenc(T, "b", 2, 44100, 0.5, "-s 1002");
  const std::string M = MakeOggenc(T, "m", 1, 22050, 0.5, "-s 1003");
  const std::string S = MakeOggenc(T, "s", 2, 44100, 0.2, "-s 1004");
  const std::vector<uint8_t> Ab = ReadFileBytes(A), Bb = ReadFileBytes(B), Mb = ReadFileBytes(M);
  std::vector<uint8_t> Chain = Ab;
  Chain.insert(Chain.end(), Bb.begin(), Bb.end());
  WriteFileBytes(T.Path("chain.ogg"), Chain);
  TOwned<TVorbisIn> In = MakeComponent<TVorbisIn>(nullptr);
  In->SetFileName(T.Path("chain.ogg"));
  EXPECT_EQ(44100 + 22050, In->SampleCount());
  EXPECT_TRUE(Oggdec(T.Path("chain.ogg"), T.Path("c.wav")) == DecodeAll(*In));
  // A short first stream is not skipped (oggdec itself loses it): the data is
  // that of each stream decoded on its own, one after the other.
  std::vector<uint8_t> Short = ReadFileBytes(S);
  Short.insert(Short.end(), Bb.begin(), Bb.end());
  WriteFileBytes(T.Path("short.ogg"), Short);
  std::vector<int16_t> Both = Oggdec(S, T.Path("s.wav"));
  const std::vector<int16_t> Second = Oggdec(B, T.Path("b.wav"));
  Both.insert(Both.end(), Second.begin(), Second.end());
  In->SetFileName(T.Path("short.ogg"));
  EXPECT_EQ(8820 + 22050, In->SampleCount());
  EXPECT_TRUE(Both == DecodeAll(*In));
  // A mono stream after the stereo one is not mixed into the stereo data.
  Chain.insert(Chain.end(), Mb.begin(), Mb.end());
  WriteFileBytes(T.Path("mixed.ogg"), Chain);
  In->SetFileName(T.Path("mixed.ogg"));
  EXPECT_EQ(44100 + 22050, In->SampleCount());
  EXPECT_EQ((44100u + 22050u) * 2, DecodeAll(*In).size());
}

TEST(VorbisIn, StartAndEndSampleCutExactlyAndLoopRepeats) {
  REQUIRE_TOOLS();
  TempDir T;
  const std::string F = MakeOggenc(T, "s", 2, 44100, 1);
  const std::vector<int16_t> Ref = Oggdec(F, T.Path("ref.wav"));
  TOwned<TVorbisIn> In = MakeComponent<TVorbisIn>(nullptr);
  In->SetFileName(F);
  In->SetStartSample(1000);
  In->SetEndSample(3000);
  std::vector<int16_t> Got = DecodeAll(*In);
  EXPECT_TRUE(std::vector<int16_t>(Ref.begin() + 2000, Ref.begin() + 6000) == Got);
  In->SetEndSample(-1);
  Got = DecodeAll(*In);
  EXPECT_TRUE(std::vector<int16_t>(Ref.begin() + 2000, Ref.end()) == Got);
  // Looping goes on from StartSample and never ends by itself.
  In->SetEndSample(3000);
  In->SetLoop(true);
  Got = DecodeAll(*In, 3 * 8000 + 100);
  ASSERT_GE(Got.size(), 3u * 4000);
  for (int Round = 0; Round < 3; ++Round)
    EXPECT_TRUE(std::equal(Got.begin() + Round * 4000, Got.begin() + (Round + 1) * 4000,
                           Ref.begin() + 2000))
        << Round;
}

TEST(VorbisIn, CommentsAreReadAtOpen) {
  REQUIRE_TOOLS();
  TempDir T;
  const std::string F = MakeOggenc(T, "s", 1, 8000, 0.2, "-c ARTIST=Someone -c TITLE=x=y");
  TOwned<TVorbisIn> In = MakeComponent<TVorbisIn>(nullptr);
  In->SetFileName(F);
  EXPECT_EQ(std::vector<std::string>({"ARTIST=Someone", "TITLE=x=y"}), In->Comments());
}

TEST(VorbisIn, BadFilesAreNotValidAndNeverCrash) {
  REQUIRE_TOOLS();
  TempDir T;
  TOwned<TVorbisIn> In = MakeComponent<TVorbisIn>(nullptr);
  uint8_t Buf[64];
  EXPECT_THROW(In->GetData(Buf, sizeof Buf), EACSException);  // "The Stream is not opened"
  In->SetFileName(T.Path("missing.ogg"));
  EXPECT_FALSE(In->Valid());
  EXPECT_EQ(0, In->TotalTime());
  WriteFileBytes(T.Path("junk.ogg"), std::vector<uint8_t>(5000, 'x'));
  In->SetFileName(T.Path("junk.ogg"));
  EXPECT_FALSE(In->Valid());
  EXPECT_THROW(In->Init(), EACSException);
  EXPECT_FALSE(In->Busy());
  // Damage in the audio pages: decoding goes on or stops, but within bounds.
  const std::vector<uint8_t> Good = ReadFileBytes(MakeOggenc(T, "s", 2, 44100, 2));
  for (int Seed = 1; Seed <= 4; ++Seed) {
    std::vector<uint8_t> Bad = Good;
    uint32_t R = Seed * 2654435761u;
    for (size_t I = Bad.size() / 3; I < Bad.size(); I += 1 + (R = R * 1664525u + 1013904223u) % 700)
      Bad[I] ^= static_cast<uint8_t>(R >> 24);
    if (Seed == 4) Bad.resize(Bad.size() / 2);
    WriteFileBytes(T.Path("bad.ogg"), Bad);
    In->SetFileName(T.Path("bad.ogg"));
    ASSERT_TRUE(In->Valid());
    EXPECT_LE(DecodeAll(*In).size(), 88200u * 2) << Seed;
  }
}

TEST(VorbisIn, CliConvertsBothWaysAndAnswersInfo) {
  REQUIRE_TOOLS();
  TempDir T;
  const std::string Cli = BinDir() + "/velmora-cli";
  const std::vector<int16_t> S = MakeSignal16(44100, 2, 44100);
  WritePcmWav(T.Path("a.wav"), S.data(), S.size() * 2, 2, 44100, 16);
  ASSERT_EQ(0, testing_support::Run(Cli + " convert " + Quote(T.Path("a.wav")) + " " +
                                    Quote(T.Path("a.ogg")) +
                                    " --comment ARTIST=Me --comment TITLE=Song"));
  EXPECT_EQ(ReadIdHeader(MakeOggenc(T, "q5", 2, 44100, 0.1, "-q 5")).Nominal,
            ReadIdHeader(T.Path("a.ogg")).Nominal);  // quality 0.5 unless told
  std::string Out;
  testing_support::Run("vorbiscomment -l " + Quote(T.Path("a.ogg")), &Out);
  EXPECT_EQ("ARTIST=Me\nTITLE=Song\n", Out);
  ASSERT_EQ(0, testing_support::Run(Cli + " info " + Quote(T.Path("a.ogg")), &Out));
  EXPECT_NE(std::string::npos,
            Out.find("valid=1\nchannels=2\nrate=44100\nbits=16\nsamples=44100\n"))
      << Out;
  ASSERT_EQ(0, testing_support::Run(Cli + " convert " + Quote(T.Path("a.ogg")) + " " +
                                    Quote(T.Path("b.wav"))));
  EXPECT_TRUE(Oggdec(T.Path("a.ogg"), T.Path("ref.wav")) == ReadPcm16Wav(T.Path("b.wav")));
  ASSERT_EQ(0, testing_support::Run(Cli + " convert " + Quote(T.Path("a.wav")) + " " +
                                    Quote(T.Path("m.ogg")) + " --bitrate 96"));
  EXPECT_EQ(96000, ReadIdHeader(T.Path("m.ogg")).Nominal);
  std::string Err;
  EXPECT_EQ(1, testing_support::Run(Cli + " convert " + Quote(T.Path("a.wav")) + " " +
                                        Quote(T.Path("x.ogg")) + " --bitrate 100",
                                    nullptr, &Err));
  EXPECT_NE(std::string::npos, Err.find("--bitrate")) << Err;
}

}  // namespace
