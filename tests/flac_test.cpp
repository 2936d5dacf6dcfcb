// The FLAC writer and reader against the flac and metaflac tools: files made
// here pass `flac -t` and decode to the source samples; files made by flac
// decode here exactly as `flac -d` decodes them.
#include "codecs/FLAC.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <random>

#include "codecs/ACS_FLAC.h"
#include "tests/support/TestSupport.h"
#include "wave/WaveOut.h"

using namespace testing_support;

namespace {

std::vector<uint8_t> AsBytes(const std::vector<int16_t>& S) {
  std::vector<uint8_t> B(S.size() * 2);
  std::memcpy(B.data(), S.data(), B.size());
  return B;
}

// A source with something for stereo decorrelation to find: the right channel
// is the left one plus a little noise.
std::vector<uint8_t> Correlated16(int Frames) {
  std::vector<int16_t> S = MakeSignal16(Frames, 1, 44100, 0.6);
  std::vector<int16_t> R(S.size() * 2);
  for (size_t I = 0; I < S.size(); ++I) {
    R[2 * I] = S[I];
    R[2 * I + 1] = static_cast<int16_t>(S[I] / 2 + static_cast<int>(I % 7));
  }
  return AsBytes(R);
}

// Everything a source delivers in one job, pulled in uneven pieces.
std::vector<uint8_t> ReadAll(TACSInput& In, size_t Limit = SIZE_MAX) {
  std::vector<uint8_t> R;
  In.Init();
  uint8_t Buf[7001];
  for (int Piece = 1; R.size() < Limit;) {
    const int N = In.GetData(Buf, std::min<int>(Piece, sizeof Buf));
    if (N == 0) break;
    R.insert(R.end(), Buf, Buf + N);
    Piece = Piece * 3 % 7001 + 1;
  }
  In.Flush();
  return R;
}

// The message of what F raises, "" when it raises nothing.
std::string ErrorOf(const std::function<void()>& F) {
  try {
    F();
  } catch (const std::exception& E) {
    return E.what();
  }
  return "";
}

std::string Tool(const std::string& Cmd) {
  std::string Out, Err;
  EXPECT_EQ(Run(Cmd, &Out, &Err), 0) << Cmd << "\n" << Err;
  return Out;
}

// PCM as `flac -d` gives it: 16-bit signed, 8-bit unsigned, as WAV holds them.
std::vector<uint8_t> FlacDecode(const std::string& File, int Bits) {
  const std::string Raw = File + ".raw";
  Tool("flac -d -s -f --force-raw-format --endian=little --sign=" +
       std::string(Bits == 8 ? "unsigned" : "signed") + " -o " + Quote(Raw) + " " + Quote(File));
  return ReadFileBytes(Raw);
}

// Writes PCM to a WAV file and encodes it with flac; returns the FLAC name.
std::string FlacEncode(const TempDir& T, const std::string& Name, const std::vector<uint8_t>& Pcm,
                       int Channels, int Bits, const std::string& Options) {
  WritePcmWav(T.Path(Name + ".wav"), Pcm.data(), Pcm.size(), Channels, 44100, Bits);
  Tool("flac -s -f " + Options + " -o " + Quote(T.Path(Name)) + " " + Quote(T.Path(Name + ".wav")));
  return T.Path(Name);
}

class FlacTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("flac") || !HaveTool("metaflac"))
      GTEST_SKIP() << "flac and metaflac are not installed";
  }
  TempDir T;
  TOwned<TComponent> Owner{new TComponent(nullptr)};

  TMemorySource* Source(std::vector<uint8_t> Pcm, int Channels, int Bits) {
    auto* S = new TMemorySource(Owner.get());
    S->Data = std::move(Pcm);
    S->Channels = Channels;
    S->Bits = Bits;
    return S;
  }
  TFLACOut* Writer(TACSInput* In, const std::string& Name) {
    auto* W = new TFLACOut(Owner.get());
    W->SetInput(In);
    W->SetFileName(T.Path(Name));
    return W;
  }
  TFLACIn* Reader(const std::string& File) {
    auto* R = new TFLACIn(Owner.get());
    R->SetFileName(File);
    return R;
  }
  std::string Meta(const std::string& Option, const std::string& File) {
    std::string V = Tool("metaflac --" + Option + " " + Quote(File));
    return V.substr(0, V.find('\n'));
  }
  // Channel assignments and subframe types of every frame, as flac analyses them.
  std::string Analysis(const std::string& File) {
    Tool("flac -s -f -a -o " + Quote(File + ".ana") + " " + Quote(File));
    const std::vector<uint8_t> A = ReadFileBytes(File + ".ana");
    return std::string(A.begin(), A.end());
  }
};

}  // namespace

TEST(FlacBinding, MissingLibraryIsReportedByBothComponents) {
  TCodecLibrary& Lib = FLACLibrary();
  const std::string Real = Lib.FileName();
  Lib.Unload();
  Lib.SetFileName("libFLAC-absent.so.99");
  const std::string Expected = "libFLAC-absent.so.99 library could not be loaded.";
  EXPECT_EQ(ErrorOf([] { MakeComponent<TFLACIn>(nullptr); }), Expected);
  EXPECT_EQ(ErrorOf([] { MakeComponent<TFLACOut>(nullptr); }), Expected);
  Lib.SetFileName(Real);
  EXPECT_EQ(ErrorOf([] { MakeComponent<TFLACIn>(nullptr); }), "");
}

// ---------------------------------------------------------------- writer

TEST_F(FlacTest, SixteenBitStereoPassesFlacTestWithTotalAndMd5) {
  const int Frames = 3 * 4608 + 77;  // a short last block
  const std::vector<uint8_t> Pcm = AsBytes(MakeSignal16(Frames, 2, 44100));
  TFLACOut* W = Writer(Source(Pcm, 2, 16), "a.flac");
  ASSERT_EQ(RunJob(*W), "");
  Tool("flac -t -s " + Quote(T.Path("a.flac")));
  EXPECT_EQ(FlacDecode(T.Path("a.flac"), 16), Pcm);
  EXPECT_EQ(Meta("show-total-samples", T.Path("a.flac")), std::to_string(Frames));
  EXPECT_EQ(Meta("show-max-blocksize", T.Path("a.flac")), "4608");
  WriteFileBytes(T.Path("a.pcm"), Pcm);
  const std::string Md5 = Tool("md5sum " + Quote(T.Path("a.pcm"))).substr(0, 32);
  EXPECT_EQ(Meta("show-md5sum", T.Path("a.flac")), Md5);
}

TEST_F(FlacTest, EightBitSamplesAreStoredSignedAndComeBackUnsigned) {
  for (int Channels : {1, 2}) {
    const std::vector<uint8_t> Pcm = MakeSignal8(5000, Channels, 44100);
    const std::string Name = "e" + std::to_string(Channels) + ".flac";
    ASSERT_EQ(RunJob(*Writer(Source(Pcm, Channels, 8), Name)), "");
    Tool("flac -t -s " + Quote(T.Path(Name)));
    EXPECT_EQ(FlacDecode(T.Path(Name), 8), Pcm) << Channels << " channels";
    EXPECT_EQ(ReadAll(*Reader(T.Path(Name))), Pcm) << Channels << " channels";
  }
}

TEST_F(FlacTest, StereoAndPredictorSettingsReachTheEncoder) {
  const std::vector<uint8_t> Pcm = Correlated16(20000);
  ASSERT_EQ(RunJob(*Writer(Source(Pcm, 2, 16), "ms.flac")), "");
  const std::string Default = Analysis(T.Path("ms.flac"));
  EXPECT_NE(Default.find("_SIDE"), std::string::npos);
  EXPECT_EQ(Default.find("type=LPC"), std::string::npos);

  TFLACOut* W = Writer(Source(Pcm, 2, 16), "ind.flac");
  W->SetEnableMidSideStereo(false);
  W->SetMaxLPCOrder(8);
  ASSERT_EQ(RunJob(*W), "");
  const std::string Plain = Analysis(T.Path("ind.flac"));
  EXPECT_EQ(Plain.find("_SIDE"), std::string::npos);
  EXPECT_NE(Plain.find("type=LPC"), std::string::npos);
  EXPECT_EQ(FlacDecode(T.Path("ind.flac"), 16), Pcm);
}

TEST_F(FlacTest, CoefficientPrecisionIsLoweredToFitAndStaysLowered) {
  const std::vector<uint8_t> Pcm = AsBytes(MakeSignal16(9000, 2, 44100));
  TFLACOut* W = Writer(Source(Pcm, 2, 16), "q.flac");
  W->SetMaxLPCOrder(8);
  W->SetQLPCoeffPrecision(20);
  ASSERT_EQ(RunJob(*W), "");
  EXPECT_EQ(W->QLPCoeffPrecision(), 15);
  EXPECT_EQ(FlacDecode(T.Path("q.flac"), 16), Pcm);
}

TEST_F(FlacTest, StoppedOrFailedJobsLeaveFilesThatDescribeThemselves) {
  const std::vector<uint8_t> Pcm = AsBytes(MakeSignal16(200000, 2, 44100));
  // Stopped at the first progress report; then a source that fails.
  TFLACOut* Stopped = Writer(Source(Pcm, 2, 16), "stop.flac");
  ASSERT_EQ(RunJob(*Stopped, [&] { Stopped->Stop(); }), "");
  TMemorySource* Failing = Source(Pcm, 2, 16);
  Failing->FailAfter = 100000;
  // Unknown length: the estimate is missing, the end still fills it in.
  Failing->UseReportedSize = true;
  Failing->ReportedSize = -1;
  EXPECT_EQ(RunJob(*Writer(Failing, "fail.flac")), "Simulated read failure");
  EXPECT_EQ(Failing->InitCount, Failing->FlushCount);

  for (const char* Name : {"stop.flac", "fail.flac"}) {
    Tool("flac -t -s " + Quote(T.Path(Name)));
    const std::vector<uint8_t> Got = FlacDecode(T.Path(Name), 16);
    ASSERT_GT(Got.size(), 0u) << Name;
    ASSERT_LT(Got.size(), Pcm.size()) << Name;
    EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Pcm.begin())) << Name;
    EXPECT_EQ(Meta("show-total-samples", T.Path(Name)), std::to_string(Got.size() / 4)) << Name;
  }
}

TEST_F(FlacTest, StartFailuresReportAndLeaveNoFile) {
  TMemorySource* In = Source(AsBytes(MakeSignal16(1000, 2, 44100)), 2, 16);
  TFLACOut* W = Writer(In, "");
  W->SetFileName("");
  EXPECT_EQ(RunJob(*W), "File name is not assigned.");
  W->SetFileName(T.Path("bad.flac"));
  W->SetBlockSize(8);  // below what the format allows
  EXPECT_EQ(
      RunJob(*W),
      "Failed to initialize FLAC encoder (FLAC__STREAM_ENCODER_INIT_STATUS_INVALID_BLOCK_SIZE).");
  EXPECT_FALSE(FileExists(T.Path("bad.flac")));
  EXPECT_EQ(In->InitCount, In->FlushCount);
  In->Bits = 32;
  W->SetBlockSize(4608);
  EXPECT_EQ(RunJob(*W), "Failed to initialize FLAC encoder.");
  EXPECT_FALSE(FileExists(T.Path("bad.flac")));
  In->Bits = 16;
  EXPECT_EQ(RunJob(*W), "");  // the sink is usable again
}

// ---------------------------------------------------------------- reader

TEST_F(FlacTest, FilesMadeByFlacDecodeExactlyAsFlacDecodesThem) {
  int Case = 0;
  for (int Bits : {8, 16})
    for (int Channels : {1, 2})
      for (const char* Options :
           {"-b 1152", "-b 4608 -S-", "-b 576 -l 8 -S 1s", "--lax -b 16384 -S-"}) {
        const int Frames = 30011 + Case;  // ends in a short frame
        std::vector<uint8_t> Pcm = Bits == 8 ? MakeSignal8(Frames, Channels, 44100)
                                             : AsBytes(MakeSignal16(Frames, Channels, 44100));
        const std::string F =
            FlacEncode(T, "c" + std::to_string(Case++) + ".flac", Pcm, Channels, Bits, Options);
        TFLACIn* R = Reader(F);
        SCOPED_TRACE(std::to_string(Bits) + " bits, " + std::to_string(Channels) + " channels, " +
                     Options);
        ASSERT_TRUE(R->Valid());
        EXPECT_EQ(R->InBitsPerSample(), Bits);
        EXPECT_EQ(R->InChannels(), Channels);
        EXPECT_EQ(R->InSampleRate(), 44100);
        EXPECT_EQ(R->SampleCount(), Frames);
        const std::vector<uint8_t> Expected = FlacDecode(F, Bits);
        EXPECT_EQ(Expected, Pcm);
        EXPECT_EQ(ReadAll(*R), Expected);
      }
}

TEST_F(FlacTest, LastFrameShorterThanTheSmallestCompressedFrameIsKept) {
  std::vector<uint8_t> Pcm(static_cast<size_t>(4 * (3 * 4096 + 3)));
  std::mt19937 Rng(7);
  for (auto& B : Pcm) B = static_cast<uint8_t>(Rng());  // noise compresses badly
  const std::string F = FlacEncode(T, "n.flac", Pcm, 2, 16, "-b 4096");
  ASSERT_GT(std::stoi(Meta("show-min-framesize", F)), 12);  // the tail's 12 PCM bytes
  EXPECT_EQ(ReadAll(*Reader(F)), Pcm);
}

TEST_F(FlacTest, RangesSeekExactlyAndLoopFromTheStart) {
  const std::vector<uint8_t> Pcm = AsBytes(MakeSignal16(50000, 2, 44100));
  for (const char* Options : {"-b 4608", "-b 1152 -S-"}) {
    TFLACIn* R = Reader(FlacEncode(T, "r.flac", Pcm, 2, 16, Options));
    R->SetStartSample(12345);
    R->SetEndSample(40000);
    EXPECT_EQ(ReadAll(*R), std::vector<uint8_t>(Pcm.begin() + 12345 * 4, Pcm.begin() + 40000 * 4))
        << Options;
    R->SetEndSample(-1);
    R->SetLoop(true);
    const size_t Part = Pcm.size() - 12345 * 4;
    const std::vector<uint8_t> Looped = ReadAll(*R, 2 * Part + 1000);
    ASSERT_GE(Looped.size(), 2 * Part + 1000);
    EXPECT_TRUE(
        std::equal(Looped.begin() + Part, Looped.begin() + 2 * Part, Pcm.begin() + 12345 * 4))
        << Options;
  }
}

TEST_F(FlacTest, StreamOfUnknownLengthPlaysToItsEnd) {
  const std::vector<uint8_t> Pcm = AsBytes(MakeSignal16(20000, 2, 44100));
  WriteFileBytes(T.Path("p.raw"), Pcm);
  Tool(
      "flac -s --force-raw-format --endian=little --sign=signed --channels=2 --bps=16 "
      "--sample-rate=44100 - -c < " +
      Quote(T.Path("p.raw")) + " > " + Quote(T.Path("p.flac")));
  ASSERT_EQ(Meta("show-total-samples", T.Path("p.flac")), "0");
  TFLACIn* R = Reader(T.Path("p.flac"));
  EXPECT_TRUE(R->Valid());
  EXPECT_EQ(ReadAll(*R, Pcm.size() + 100000), Pcm);  // bounded: nothing may repeat at the end
  EXPECT_EQ(R->Size(), -1);
}

TEST_F(FlacTest, UnsupportedOrDamagedFilesDeliverNothingOrEndCleanly) {
  // 32 bits and 3 channels are not Valid and deliver nothing.
  for (const char* Make : {"-b 32 -c 1", "-b 16 -c 3"}) {
    const std::string F = T.Path("u.flac");
    Tool(std::string("sox -n -r 44100 ") + Make + " " + Quote(F + ".wav") + " synth 0.2 sine 300");
    Tool("flac -s -f --channel-map=none -o " + Quote(F) + " " + Quote(F + ".wav"));
    TFLACIn* R = Reader(F);
    EXPECT_FALSE(R->Valid()) << Make;
    EXPECT_TRUE(ReadAll(*R).empty()) << Make;
  }
  std::vector<uint8_t> Noise(100000);
  std::mt19937 Rng(3);
  for (auto& B : Noise) B = static_cast<uint8_t>(Rng());
  WriteFileBytes(T.Path("noise.flac"), Noise);
  EXPECT_FALSE(Reader(T.Path("noise.flac"))->Valid());
  EXPECT_TRUE(ReadAll(*Reader(T.Path("noise.flac"))).empty());

  // Cut short and scribbled over: the reader stops or reports, never more.
  const std::vector<uint8_t> Pcm = AsBytes(MakeSignal16(40000, 2, 44100));
  const std::vector<uint8_t> Good = ReadFileBytes(FlacEncode(T, "g.flac", Pcm, 2, 16, "-b 1152"));
  for (int Damage = 0; Damage < 6; ++Damage) {
    std::vector<uint8_t> Bad = Good;
    if (Damage == 0) Bad.resize(Bad.size() / 2);
    for (int I = 0; Damage > 0 && I < Damage * 20; ++I)
      Bad[Rng() % Bad.size()] = static_cast<uint8_t>(Rng());
    WriteFileBytes(T.Path("bad.flac"), Bad);
    TFLACIn* R = Reader(T.Path("bad.flac"));
    try {
      if (R->Valid()) {
        EXPECT_LE(ReadAll(*R).size(), Pcm.size());
      }
    } catch (const EACSException& E) {
      EXPECT_EQ(std::string(E.what()).rfind(
                    "Error reading FLAC file " + T.Path("bad.flac") + ": FLAC__", 0),
                0u)
          << E.what();
      R->Reset();
    }
  }
}

TEST_F(FlacTest, HeaderClaimingMoreSecondsThanAnIntHoldsGivesTheLargest) {
  // STREAMINFO of 1 Hz and 2^36 - 1 samples: about 2,179 years of audio.
  const std::vector<uint8_t> Pcm = AsBytes(MakeSignal16(4000, 2, 44100));
  std::vector<uint8_t> F = ReadFileBytes(FlacEncode(T, "age.flac", Pcm, 2, 16, ""));
  ASSERT_GT(F.size(), 26u);
  uint64_t Bits = 0;  // rate(20) channels-1(3) bits-1(5) samples(36), big-endian
  for (int I = 18; I < 26; ++I) Bits = Bits << 8 | F[I];
  Bits = (uint64_t{1} << 44) | (Bits & (uint64_t{0xFF} << 36)) | ((uint64_t{1} << 36) - 1);
  for (int I = 25; I >= 18; --I, Bits >>= 8) F[I] = static_cast<uint8_t>(Bits);
  WriteFileBytes(T.Path("age.flac"), F);
  TFLACIn* R = Reader(T.Path("age.flac"));
  if (!R->Valid()) GTEST_SKIP() << "the reader refuses a 1 Hz stream";
  EXPECT_EQ(R->InSampleRate(), 1);
  EXPECT_EQ(R->TotalTime(), INT_MAX);
}

TEST_F(FlacTest, DamagedFrameEndsTheJobWithTheFileAndStatusAndATrueWavHeader) {
  const std::vector<uint8_t> Pcm = AsBytes(MakeSignal16(44100, 2, 44100));
  std::vector<uint8_t> Flac = ReadFileBytes(FlacEncode(T, "d.flac", Pcm, 2, 16, "-b 1152"));
  // One byte in the middle of the audio frames: that frame's checksum fails.
  Flac[Flac.size() / 2] ^= 0x5A;
  const std::string Damaged = T.Path("damaged.flac");
  WriteFileBytes(Damaged, Flac);

  TFLACIn* In = Reader(Damaged);
  ASSERT_TRUE(In->Valid()) << "the damage is past the stream information";
  auto* Out = new TWaveOut(Owner.get());
  Out->SetInput(In);
  Out->SetFileName(T.Path("out.wav"));
  const std::string Error = RunJob(*Out);
  EXPECT_EQ(
      Error.rfind("Error reading FLAC file " + Damaged + ": FLAC__STREAM_DECODER_ERROR_STATUS_", 0),
      0u)
      << "got \"" << Error << "\"";

  // What came before the damaged frame is there, under a header that says so.
  const std::vector<uint8_t> W = ReadFileBytes(T.Path("out.wav"));
  ASSERT_GE(W.size(), 44u);
  auto Le32 = [&](size_t At) {
    return W[At] | W[At + 1] << 8 | W[At + 2] << 16 | static_cast<uint32_t>(W[At + 3]) << 24;
  };
  EXPECT_EQ(Le32(4), W.size() - 8);
  ASSERT_EQ(0, std::memcmp(&W[36], "data", 4));
  EXPECT_EQ(Le32(40), W.size() - 44);
  const std::vector<uint8_t> Got = AsBytes(ReadPcm16Wav(T.Path("out.wav")));
  EXPECT_GT(Got.size(), 0u);
  EXPECT_LT(Got.size(), Pcm.size() * 3 / 4);
  EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Pcm.begin())) << "only whole, undamaged frames";

  // The command line says the same and fails.
  std::string Err;
  EXPECT_NE(testing_support::Run(Quote(BinDir() + "/velmora-cli") + " convert " + Quote(Damaged) +
                                     " " + Quote(T.Path("cli.wav")),
                                 nullptr, &Err),
            0);
  EXPECT_NE(Err.find("Runtime error: Error reading FLAC file " + Damaged + ": FLAC__"),
            std::string::npos)
      << Err;
}

TEST_F(FlacTest, GivenStreamIsReadAndRewound) {
  const std::vector<uint8_t> Pcm = AsBytes(MakeSignal16(10000, 1, 44100));
  TMemoryStream S;
  S.LoadFromFile(FlacEncode(T, "m.flac", Pcm, 1, 16, ""));
  TFLACIn* R = Reader("");
  R->SetStream(&S);
  EXPECT_EQ(R->InChannels(), 1);
  EXPECT_EQ(ReadAll(*R), Pcm);
  EXPECT_EQ(S.Position(), 0);
}

TEST_F(FlacTest, MisuseRaisesTheReadersMessages) {
  TFLACIn* R = Reader("");
  EXPECT_FALSE(R->Valid());
  EXPECT_EQ(ErrorOf([&] { R->InChannels(); }), "File name is not assigned");
  R->SetFileName(FlacEncode(T, "s.flac", AsBytes(MakeSignal16(100, 2, 44100)), 2, 16, ""));
  uint8_t B[4];
  EXPECT_EQ(ErrorOf([&] { R->GetData(B, 4); }), "The Stream is not opened");
}

// ---------------------------------------------------------------- command line

TEST_F(FlacTest, CommandLineConvertsBothWaysAndReportsInfo) {
  const std::string Cli = Quote(BinDir() + "/velmora-cli");
  const std::vector<uint8_t> Pcm = Correlated16(30000);
  WritePcmWav(T.Path("in.wav"), Pcm.data(), Pcm.size(), 2, 44100, 16);
  Tool(Cli + " convert " + Quote(T.Path("in.wav")) + " " + Quote(T.Path("o.flac")) +
       " --mid-side 0");
  Tool("flac -t -s " + Quote(T.Path("o.flac")));
  EXPECT_EQ(Analysis(T.Path("o.flac")).find("_SIDE"), std::string::npos);
  EXPECT_EQ(Tool(Cli + " info " + Quote(T.Path("o.flac"))),
            "valid=1\nchannels=2\nrate=44100\nbits=16\nsamples=30000\nbytes=120000\nseconds=1\n");
  Tool(Cli + " convert " + Quote(T.Path("o.flac")) + " " + Quote(T.Path("back.wav")));
  EXPECT_EQ(AsBytes(ReadPcm16Wav(T.Path("back.wav"))), Pcm);

  std::string Err;
  EXPECT_NE(testing_support::Run(Cli + " convert " + Quote(T.Path("in.wav")) + " " +
                                     Quote(T.Path("x.flac")) + " --loose-mid-side 2",
                                 nullptr, &Err),
            0);
  EXPECT_NE(Err.find("Option --loose-mid-side needs 0 or 1"), std::string::npos) << Err;
}
