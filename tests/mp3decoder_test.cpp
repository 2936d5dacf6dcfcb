// TMP3ToWav against libmad as madplay drives it, and its run rules.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "codecs/ACS_MAD.h"
#include "codecs/CodecRegistry.h"
#include "tests/support/TestSupport.h"
#include "wave/RiffChunks.h"
#include "wave/WaveIn.h"

using namespace testing_support;

namespace {

uint32_t Le32(const std::vector<uint8_t>& B, size_t At) {
  return B[At] | B[At + 1] << 8 | B[At + 2] << 16 | static_cast<uint32_t>(B[At + 3]) << 24;
}

// Records what a decoder's events said; read once the run has ended.
struct TDecodeRun {
  std::mutex M;
  TMP3ToWav* Decoder = nullptr;
  int DoneCount = 0;
  bool Success = false;
  std::atomic<int> ProgressEvents{0};
  std::vector<int> Percents;  // Progress() seen inside OnProgress

  void Attach(TMP3ToWav& D) {
    Decoder = &D;
    D.OnDone = [this](TComponent*, bool S) {
      std::lock_guard<std::mutex> L(M);
      Success = S;
      ++DoneCount;
    };
    D.OnProgress = [this, &D](TComponent*) {
      ++ProgressEvents;
      std::lock_guard<std::mutex> L(M);
      Percents.push_back(D.Progress());
    };
  }
  // False when the run did not end within the time.
  bool Wait(int Seconds = 60) { return Decoder->WaitForEnd(std::chrono::seconds(Seconds)); }
};

// Decodes In to Out with a fresh component; returns the Success flag.
bool DecodeFile(const std::string& In, const std::string& Out) {
  TDecodeRun R;
  TOwned<TMP3ToWav> D = MakeComponent<TMP3ToWav>(nullptr);
  R.Attach(*D);
  D->SetInputFile(In);
  D->SetOutputFile(Out);
  D->Run();
  EXPECT_TRUE(R.Wait());
  return R.Success;
}

// An output that cannot seek, like a pipe.
class TPipeLikeStream : public TStream {
 public:
  std::vector<uint8_t> Data;
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* B, int64_t N) override {
    Data.insert(Data.end(), static_cast<const uint8_t*>(B), static_cast<const uint8_t*>(B) + N);
    return N;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { throw EStreamError("Cannot seek in a pipe"); }
  void SetSize(int64_t) override { throw EStreamError("Cannot resize a pipe"); }
};

// An output whose disk fills up after Limit bytes.
class TFullDiskStream : public TMemoryStream {
 public:
  int64_t Limit = 0;
  int64_t Write(const void* B, int64_t N) override {
    if (Position() + N > Limit) throw EWriteError("No space left on device");
    return TMemoryStream::Write(B, N);
  }
};

int OpenDescriptors() {
  int N = 0;
  if (DIR* D = opendir("/proc/self/fd")) {
    while (readdir(D)) ++N;
    closedir(D);
  }
  return N;
}

class MP3ToWavTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("lame") || !HaveTool("sox") || !HaveTool("madplay"))
      GTEST_SKIP() << "lame, sox and madplay are needed to make and check MP3 files";
  }
  // Stereo 44.1 kHz music-like material of the given length.
  std::string MakeWav(double Seconds, const std::string& Extra = "") {
    const std::string W = Dir.Path("src" + std::to_string(++FCount) + ".wav");
    EXPECT_EQ(0, testing_support::Run("sox -n -r 44100 -c 2 -b 16 " + Quote(W) + " synth " +
                                      std::to_string(Seconds) + " sine 220-880 pinknoise vol 0.6 " +
                                      Extra));
    return W;
  }
  std::string Lame(const std::string& Wav, const std::string& Args) {
    const std::string M = Dir.Path("enc" + std::to_string(++FCount) + ".mp3");
    EXPECT_EQ(0, testing_support::Run("lame --quiet " + Args + " " + Quote(Wav) + " " + Quote(M)));
    return M;
  }
  TempDir Dir;

 private:
  int FCount = 0;
};

// ------------------------------------------------------------ against libmad

struct TLameCase {
  const char* Name;
  const char* SoxEffects;  // applied to the stereo 44.1 kHz source
  const char* LameArgs;
  int Channels, Rate;
};

void PrintTo(const TLameCase& C, std::ostream* Os) { *Os << C.Name; }

class MP3ToWavAgainstLibmad : public MP3ToWavTest,
                              public ::testing::WithParamInterface<TLameCase> {};

// madplay -d rounds to the nearest step where this decoder drops the low bits,
// so every sample is the same or exactly one step below madplay's; the length,
// the format and the header must be identical.
TEST_P(MP3ToWavAgainstLibmad, SameLengthAndSamplesAsMadplay) {
  const TLameCase& C = GetParam();
  std::string Src = MakeWav(4.3);
  if (*C.SoxEffects) {
    const std::string W = Dir.Path("fx.wav");
    ASSERT_EQ(0, testing_support::Run("sox " + Quote(Src) + " " + Quote(W) + " " + C.SoxEffects));
    Src = W;
  }
  const std::string Mp3 = Lame(Src, C.LameArgs);
  const std::string Ours = Dir.Path("ours.wav"), Theirs = Dir.Path("madplay.wav");
  ASSERT_TRUE(DecodeFile(Mp3, Ours));
  ASSERT_EQ(0, testing_support::Run("madplay -Q -d -o wave:" + Quote(Theirs) + " " + Quote(Mp3)));

  const std::vector<uint8_t> A = ReadFileBytes(Ours), B = ReadFileBytes(Theirs);
  ASSERT_EQ(B.size(), A.size());
  EXPECT_TRUE(std::equal(A.begin(), A.begin() + 44, B.begin())) << "headers differ";
  int Ch = 0, Rate = 0;
  const std::vector<int16_t> SA = ReadPcm16Wav(Ours, &Ch, &Rate), SB = ReadPcm16Wav(Theirs);
  EXPECT_EQ(C.Channels, Ch);
  EXPECT_EQ(C.Rate, Rate);
  ASSERT_EQ(SB.size(), SA.size());
  size_t Below = 0;
  for (size_t I = 0; I < SA.size(); ++I) {
    const int D = SB[I] - SA[I];
    ASSERT_TRUE(D == 0 || D == 1) << "sample " << I << ": ours " << SA[I] << ", madplay " << SB[I];
    Below += D;
  }
  // About half of the samples round up in madplay; none would if both truncated.
  EXPECT_GT(Below, SA.size() / 10);
}

INSTANTIATE_TEST_SUITE_P(
    LameFiles, MP3ToWavAgainstLibmad,
    ::testing::Values(TLameCase{"Cbr128", "", "-b 128", 2, 44100},
                      TLameCase{"Cbr320", "", "-b 320", 2, 44100},
                      TLameCase{"Vbr2", "", "-V2", 2, 44100},
                      TLameCase{"NoInfoFrame", "", "-b 128 -t", 2, 44100},
                      TLameCase{"Mono", "remix -", "-b 96", 1, 44100},
                      TLameCase{"Rate22050", "rate 22050", "-b 64", 2, 22050},
                      TLameCase{"Rate48000", "rate 48000", "-b 192", 2, 48000}),
    [](const ::testing::TestParamInfo<TLameCase>& I) { return std::string(I.param.Name); });

TEST_F(MP3ToWavTest, FullScaleSamplesClipInsteadOfWrapping) {
  // A full-scale square wave overshoots beyond full scale once encoded.
  std::vector<int16_t> Sq(44100 * 2);
  for (size_t I = 0; I < Sq.size(); ++I) Sq[I] = (I / 100) % 2 ? -32768 : 32767;
  const std::string W = Dir.Path("square.wav");
  WritePcmWav(W, Sq.data(), Sq.size() * 2, 2, 44100, 16);
  const std::string Mp3 = Lame(W, "-b 320");
  ASSERT_TRUE(DecodeFile(Mp3, Dir.Path("ours.wav")));
  ASSERT_EQ(0, testing_support::Run("madplay -Q -d -o wave:" + Quote(Dir.Path("m.wav")) + " " +
                                    Quote(Mp3)));
  const std::vector<int16_t> A = ReadPcm16Wav(Dir.Path("ours.wav")),
                             B = ReadPcm16Wav(Dir.Path("m.wav"));
  ASSERT_EQ(B.size(), A.size());
  EXPECT_GT(std::count(A.begin(), A.end(), int16_t(32767)), 1000);
  EXPECT_GT(std::count(A.begin(), A.end(), int16_t(-32768)), 1000);
  for (size_t I = 0; I < A.size(); ++I)
    ASSERT_LE(std::abs(B[I] - A[I]), 1) << "sample " << I << " wrapped: " << A[I] << " vs " << B[I];
}

// ------------------------------------------------------------ WAV header

TEST_F(MP3ToWavTest, FileHeaderStatesTheBytesWritten) {
  const std::string Mp3 = Lame(MakeWav(3), "-V5");
  const std::string Out = Dir.Path("out.wav");
  ASSERT_TRUE(DecodeFile(Mp3, Out));
  const std::vector<uint8_t> B = ReadFileBytes(Out);
  ASSERT_GT(B.size(), 44u);
  EXPECT_EQ(B.size() - 8, Le32(B, 4));
  EXPECT_EQ(B.size() - 44, Le32(B, 40));
}

// Decodes Mp3 into a stream that cannot seek, like a pipe.
std::vector<uint8_t> DecodeToPipe(const std::string& Mp3) {
  TPipeLikeStream Pipe;
  TDecodeRun R;
  TOwned<TMP3ToWav> D = MakeComponent<TMP3ToWav>(nullptr);
  R.Attach(*D);
  D->SetInputFile(Mp3);
  D->SetOutputStream(&Pipe);
  D->Run();
  EXPECT_TRUE(R.Wait());
  EXPECT_TRUE(R.Success);
  return Pipe.Data;
}

TEST_F(MP3ToWavTest, OutputThatCannotSeekKeepsTheEstimateFromTheFirstFrame) {
  // 128 kbit/s at 44.1 kHz: frames of ceil(417.96) = 418 bytes stand for 1152
  // samples; the estimate is round(size / 418 * 1152) frames of 4 bytes.
  const std::string Stereo = Lame(MakeWav(2.5), "-b 128");
  double N = static_cast<double>(ReadFileBytes(Stereo).size());
  uint32_t Estimate = static_cast<uint32_t>(std::nearbyint(N / 418.0 * 1152.0)) * 4;
  const std::vector<uint8_t> P = DecodeToPipe(Stereo);
  ASSERT_GT(P.size(), 44u);
  EXPECT_EQ(Estimate, Le32(P, 40));
  EXPECT_EQ(Estimate + 36, Le32(P, 4));
  // The samples are those a file gets.
  ASSERT_TRUE(DecodeFile(Stereo, Dir.Path("f.wav")));
  const std::vector<uint8_t> F = ReadFileBytes(Dir.Path("f.wav"));
  ASSERT_EQ(F.size(), P.size());
  EXPECT_TRUE(std::equal(F.begin() + 44, F.end(), P.begin() + 44));

  // Mono at 64 kbit/s: ceil(208.98) = 209 bytes a frame, 2 bytes a sample.
  const std::string W = Dir.Path("mono.wav");
  ASSERT_EQ(0, testing_support::Run("sox " + Quote(MakeWav(2)) + " " + Quote(W) + " remix -"));
  const std::string Mono = Lame(W, "-b 64");
  N = static_cast<double>(ReadFileBytes(Mono).size());
  Estimate = static_cast<uint32_t>(std::nearbyint(N / 209.0 * 1152.0)) * 2;
  const std::vector<uint8_t> M = DecodeToPipe(Mono);
  ASSERT_GT(M.size(), 44u);
  EXPECT_EQ(Estimate, Le32(M, 40));
  EXPECT_EQ(1u, M[22]);
  EXPECT_EQ(2u, M[32]);  // block align
  EXPECT_EQ(44100u * 2, Le32(M, 28));
}

TEST_F(MP3ToWavTest, MemoryStreamIsCutToTheRealLengthWhenTheEstimateIsTooLarge) {
  // A loud 320 kbit/s start, then a long 32 kbit/s stretch: the estimate from
  // the first frame is far too small, and the stream must grow past it.
  const std::string Loud = Lame(MakeWav(1), "-b 320 -t");
  const std::string Quiet = Lame(MakeWav(5), "-b 32 --resample 44.1 -t");
  const std::string Mixed = Dir.Path("mixed.mp3");
  {
    std::vector<uint8_t> A = ReadFileBytes(Loud), B = ReadFileBytes(Quiet);
    A.insert(A.end(), B.begin(), B.end());
    WriteFileBytes(Mixed, A);
  }
  ASSERT_TRUE(DecodeFile(Mixed, Dir.Path("file.wav")));
  const std::vector<uint8_t> F = ReadFileBytes(Dir.Path("file.wav"));

  // And the other way round: an over-estimate, into a stream holding junk.
  const std::string Reversed = Dir.Path("reversed.mp3");
  {
    std::vector<uint8_t> A = ReadFileBytes(Quiet), B = ReadFileBytes(Loud);
    A.insert(A.end(), B.begin(), B.end());
    WriteFileBytes(Reversed, A);
  }
  ASSERT_TRUE(DecodeFile(Reversed, Dir.Path("rfile.wav")));
  const std::vector<uint8_t> RF = ReadFileBytes(Dir.Path("rfile.wav"));

  for (const auto& [Mp3, Expected] : {std::pair{Mixed, F}, std::pair{Reversed, RF}}) {
    TMemoryStream Mem;
    std::vector<uint8_t> Junk(Expected.size() * 3, 0xAB);
    Mem.WriteBuffer(Junk.data(), static_cast<int64_t>(Junk.size()));
    TDecodeRun R;
    TOwned<TMP3ToWav> D = MakeComponent<TMP3ToWav>(nullptr);
    R.Attach(*D);
    D->SetInputFile(Mp3);
    D->SetOutputStream(&Mem);
    D->Run();
    ASSERT_TRUE(R.Wait());
    EXPECT_TRUE(R.Success);
    ASSERT_EQ(static_cast<int64_t>(Expected.size()), Mem.Size());
    EXPECT_EQ(0, std::memcmp(Mem.Memory(), Expected.data(), Expected.size()));
  }
  // Every frame of both parts is there.
  EXPECT_GE(F.size() - 44, static_cast<size_t>(6 * 44100 * 4));
}

TEST_F(MP3ToWavTest, FramesOfAnotherChannelCountFollowTheFirstFrame) {
  const std::string W = Dir.Path("mono.wav");
  ASSERT_EQ(0, testing_support::Run("sox " + Quote(MakeWav(1)) + " " + Quote(W) + " remix -"));
  const std::string Stereo = Lame(MakeWav(1), "-b 128 -t");
  const std::string Mono = Lame(W, "-b 128 -t");
  std::vector<uint8_t> A = ReadFileBytes(Stereo), B = ReadFileBytes(Mono);
  A.insert(A.end(), B.begin(), B.end());
  WriteFileBytes(Dir.Path("both.mp3"), A);
  ASSERT_TRUE(DecodeFile(Dir.Path("both.mp3"), Dir.Path("both.wav")));
  ASSERT_TRUE(DecodeFile(Stereo, Dir.Path("stereo.wav")));
  ASSERT_TRUE(DecodeFile(Mono, Dir.Path("mono_only.wav")));

  int Ch = 0;
  const std::vector<int16_t> Both = ReadPcm16Wav(Dir.Path("both.wav"), &Ch);
  const std::vector<int16_t> S = ReadPcm16Wav(Dir.Path("stereo.wav"));
  const std::vector<int16_t> M = ReadPcm16Wav(Dir.Path("mono_only.wav"));
  EXPECT_EQ(2, Ch);
  // The mono part comes out as two equal channels, so the length is whole.
  ASSERT_EQ(S.size() + 2 * M.size(), Both.size());
  size_t Equal = 0;
  for (size_t I = S.size(); I < Both.size(); I += 2) Equal += Both[I] == Both[I + 1];
  EXPECT_EQ(M.size(), Equal);
}

// ------------------------------------------------------------ ends of a run

TEST_F(MP3ToWavTest, InputWithoutFramesEndsWithDoneFalseAndNoFile) {
  for (const std::string& Content : {std::string(), std::string(100000, 'x'),
                                     std::string("RIFF....WAVEfmt not an mp3 at all")}) {
    const std::string In = Dir.Path("junk.mp3"), Out = Dir.Path("junk.wav");
    WriteFileBytes(In, std::vector<uint8_t>(Content.begin(), Content.end()));
    TDecodeRun R;
    {
      TOwned<TMP3ToWav> D = MakeComponent<TMP3ToWav>(nullptr);
      R.Attach(*D);
      D->SetInputFile(In);
      D->SetOutputFile(Out);
      D->Run();
      ASSERT_TRUE(R.Wait());
    }
    EXPECT_EQ(1, R.DoneCount);
    EXPECT_FALSE(R.Success);
    // Nothing decoded, nothing written: not even an empty file.
    EXPECT_FALSE(std::filesystem::exists(Out));
    EXPECT_FALSE(std::filesystem::exists(PartFileName(Out)));
  }
}

TEST_F(MP3ToWavTest, WriteFailureStillEndsThroughOnDone) {
  const std::string Mp3 = Lame(MakeWav(3), "-b 128");
  TFullDiskStream Out;
  Out.Limit = 100000;
  TDecodeRun R;
  TOwned<TMP3ToWav> D = MakeComponent<TMP3ToWav>(nullptr);
  R.Attach(*D);
  D->SetInputFile(Mp3);
  D->SetOutputStream(&Out);
  D->Run();
  ASSERT_TRUE(R.Wait()) << "the failed run never ended";
  EXPECT_EQ(1, R.DoneCount);
  EXPECT_FALSE(R.Success);
  // What was written is announced as such.
  ASSERT_GT(Out.Size(), 44);
  const std::vector<uint8_t> B(Out.Memory(), Out.Memory() + Out.Size());
  EXPECT_EQ(B.size() - 44, Le32(B, 40));
  // The worker marks itself finished right after OnDone returns.
  EXPECT_EQ(0, D->Progress());
  // The component can run again afterwards.
  TMemoryStream Roomy;
  TDecodeRun R2;
  R2.Attach(*D);
  D->SetOutputStream(&Roomy);
  D->Run();
  ASSERT_TRUE(R2.Wait());
  EXPECT_TRUE(R2.Success);
  EXPECT_GT(Roomy.Size(), Out.Size());
}

// An input whose reading fails: the disk gives an I/O error.
class TUnreadableStream : public TMemoryStream {
 public:
  int64_t Read(void*, int64_t) override {
    throw EReadError("Cannot read from \"song.mp3\". Input/output error");
  }
};

// Runs D to its end and records both of its end events.
struct TFailureRun {
  std::mutex M;
  int DoneCount = 0, FailureCount = 0;
  bool Success = false;
  std::string Message;
  void Attach(TMP3ToWav& D) {
    D.OnDone = [this](TComponent*, bool S) {
      std::lock_guard<std::mutex> L(M);
      ++DoneCount;
      Success = S;
    };
    D.OnThreadException = [this](TComponent*, const std::exception& E) {
      std::lock_guard<std::mutex> L(M);
      ++FailureCount;
      Message = E.what();
    };
  }
};

TEST_F(MP3ToWavTest, IoFailureIsToldApartFromNothingToDecode) {
  const std::string Mp3 = Lame(MakeWav(3), "-b 128");
  const std::vector<uint8_t> Whole = ReadFileBytes(Mp3);
  // A write into a full disk, a read that fails, a source cut short in the
  // middle of a frame, and a source without a frame.
  TFileStream Full("/dev/full", TFileMode::fmCreate);
  TUnreadableStream Unreadable;
  Unreadable.WriteBuffer(Whole.data(), static_cast<int64_t>(Whole.size()));
  Unreadable.SetPosition(0);
  WriteFileBytes(Dir.Path("cut.mp3"),
                 std::vector<uint8_t>(Whole.begin(), Whole.begin() + Whole.size() / 2 + 77));
  WriteFileBytes(Dir.Path("junk.mp3"), std::vector<uint8_t>(30000, 'x'));
  const struct {
    const char* What;
    std::string In;
    TStream* InStream;
    TStream* OutStream;
    const char* Reason;  // "" = no failure
    bool Success;
  } Cases[] = {
      {"disk full", Mp3, nullptr, &Full, "No space left on device", false},
      {"read error", "", &Unreadable, nullptr, "Input/output error", false},
      {"cut short", Dir.Path("cut.mp3"), nullptr, nullptr, "", true},
      {"no frame", Dir.Path("junk.mp3"), nullptr, nullptr, "", false},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.What);
    TFailureRun R;
    TOwned<TMP3ToWav> D = MakeComponent<TMP3ToWav>(nullptr);
    R.Attach(*D);
    D->SetInputFile(C.In);
    D->SetInputStream(C.InStream);
    D->SetOutputFile(Dir.Path("out.wav"));
    D->SetOutputStream(C.OutStream);
    D->Run();
    ASSERT_TRUE(D->WaitForEnd(std::chrono::seconds(60)));
    std::lock_guard<std::mutex> L(R.M);
    if (*C.Reason) {
      // The failure is its own end, with the reason, and is no "done".
      EXPECT_EQ(R.FailureCount, 1);
      EXPECT_EQ(R.DoneCount, 0);
      EXPECT_NE(R.Message.find(C.Reason), std::string::npos) << R.Message;
    } else {
      EXPECT_EQ(R.FailureCount, 0) << R.Message;
      EXPECT_EQ(R.DoneCount, 1);
      EXPECT_EQ(R.Success, C.Success);
    }
  }
  // The file-type table's decoding raises the reason, where nothing to
  // decode answers false.
  const TCodecEntry* E = FindCodecFor(Mp3);
  ASSERT_TRUE(E && E->DecodeToWav);
  TFileStream Full2("/dev/full", TFileMode::fmCreate);
  try {
    E->DecodeToWav(Mp3, "", &Full2, nullptr);
    ADD_FAILURE() << "a write into a full disk was taken for the end of the audio";
  } catch (const std::exception& X) {
    EXPECT_NE(std::string(X.what()).find("No space left on device"), std::string::npos) << X.what();
  }
  TMemoryStream Image;
  EXPECT_FALSE(E->DecodeToWav(Dir.Path("junk.mp3"), "", &Image, nullptr));
  EXPECT_TRUE(E->DecodeToWav(Dir.Path("cut.mp3"), "", &Image, nullptr));
}

TEST_F(MP3ToWavTest, RunFromOnDoneRaisesBusy) {
  const std::string Mp3 = Lame(MakeWav(1), "-b 128");
  TOwned<TMP3ToWav> D = MakeComponent<TMP3ToWav>(nullptr);
  std::string Message;
  int InsideWait = -1;
  D->OnDone = [&](TComponent* Sender, bool) {
    try {
      static_cast<TMP3ToWav*>(Sender)->Run();
    } catch (const std::exception& E) {
      Message = E.what();
    }
    InsideWait = D->WaitForEnd() ? 1 : 0;  // the worker cannot wait for itself
  };
  D->SetInputFile(Mp3);
  D->SetOutputFile(Dir.Path("o.wav"));
  D->Run();
  ASSERT_TRUE(D->WaitForEnd(std::chrono::seconds(30)));
  EXPECT_EQ("Component is buisy.", Message);
  EXPECT_EQ(0, InsideWait);
}

TEST_F(MP3ToWavTest, RunDuringARunRaisesBusyAndLeavesItAlone) {
  const std::string Mp3 = Lame(MakeWav(60), "-b 128");
  TDecodeRun R;
  TOwned<TMP3ToWav> D = MakeComponent<TMP3ToWav>(nullptr);
  R.Attach(*D);
  D->SetInputFile(Mp3);
  D->SetOutputFile(Dir.Path("a.wav"));
  D->Run();
  D->SetOutputFile(Dir.Path("b.wav"));
  try {
    D->Run();
    // The minute of audio may already be decoded on a fast machine.
    ASSERT_EQ(1, R.DoneCount) << "a second run started while the first was going";
  } catch (const std::exception& E) {
    EXPECT_STREQ("Component is buisy.", E.what());
  }
  ASSERT_TRUE(R.Wait());
  EXPECT_TRUE(R.Success);
  ASSERT_TRUE(DecodeFile(Mp3, Dir.Path("ref.wav")));
  EXPECT_EQ(ReadFileBytes(Dir.Path("ref.wav")), ReadFileBytes(Dir.Path("a.wav")));
  // Progress rose to about 100 and reads 0 once the run is over.
  ASSERT_FALSE(R.Percents.empty());
  EXPECT_NEAR(100, R.Percents.back(), 3);
  EXPECT_TRUE(std::is_sorted(R.Percents.begin(), R.Percents.end()));
  D.reset();
}

TEST_F(MP3ToWavTest, MisuseIsRefusedWithoutLeavingFilesOpen) {
  const std::string Mp3 = Lame(MakeWav(1), "-b 128");
  TOwned<TMP3ToWav> D = MakeComponent<TMP3ToWav>(nullptr);
  try {
    D->Run();
    FAIL() << "ran without input";
  } catch (const std::exception& E) {
    EXPECT_STREQ("Neither input stream not file name is assigned.", E.what());
  }
  D->SetInputFile(Mp3);
  const int Before = OpenDescriptors();
  try {
    D->Run();
    FAIL() << "ran without output";
  } catch (const std::exception& E) {
    EXPECT_STREQ("Neither output stream not file name is assigned.", E.what());
  }
  EXPECT_EQ(Before, OpenDescriptors()) << "the input file was left open";
  D->SetInputFile(Dir.Path("missing.mp3"));
  D->SetOutputFile(Dir.Path("x.wav"));
  EXPECT_THROW(D->Run(), EFOpenError);
  EXPECT_EQ(Before, OpenDescriptors());
  EXPECT_EQ(0, D->Progress());
}

TEST_F(MP3ToWavTest, InputStreamIsReadFromItsPosition) {
  const std::string Mp3 = Lame(MakeWav(2), "-b 128");
  ASSERT_TRUE(DecodeFile(Mp3, Dir.Path("ref.wav")));
  TMemoryStream In, Out;
  const std::vector<uint8_t> Junk(5000, 0xFF), Body = ReadFileBytes(Mp3);
  In.WriteBuffer(Junk.data(), 5000);
  In.WriteBuffer(Body.data(), static_cast<int64_t>(Body.size()));
  In.SetPosition(5000);
  TDecodeRun R;
  TOwned<TMP3ToWav> D = MakeComponent<TMP3ToWav>(nullptr);
  R.Attach(*D);
  D->SetInputStream(&In);
  D->SetOutputStream(&Out);
  D->Run();
  ASSERT_TRUE(R.Wait());
  const std::vector<uint8_t> Ref = ReadFileBytes(Dir.Path("ref.wav"));
  ASSERT_EQ(static_cast<int64_t>(Ref.size()), Out.Size());
  EXPECT_EQ(0, std::memcmp(Ref.data(), Out.Memory(), Ref.size()));
}

TEST_F(MP3ToWavTest, DestroyingDuringARunWaitsAndLeavesATrueHeader) {
  const std::string Mp3 = Lame(MakeWav(60), "-b 128");
  const std::string Out = Dir.Path("cut.wav");
  TDecodeRun R;
  {
    TOwned<TMP3ToWav> D = MakeComponent<TMP3ToWav>(nullptr);
    R.Attach(*D);
    // Paced to 10 ms a percent the run takes over a second: the component
    // goes while it is under way however late this thread gets there.
    D->OnProgress = [&R](TComponent*) {
      ++R.ProgressEvents;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    D->SetInputFile(Mp3);
    D->SetOutputFile(Out);
    D->Run();
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (R.ProgressEvents == 0 && std::chrono::steady_clock::now() < Until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GT(R.ProgressEvents, 0) << "the run never reported progress";
  }
  // The worker is over when the component is gone: the file is complete.
  EXPECT_EQ(1, R.DoneCount);
  const std::vector<uint8_t> B = ReadFileBytes(Out);
  ASSERT_GE(B.size(), 44u);
  EXPECT_LT(B.size(), 44u + 60 * 176400) << "the run was not cut short";
  EXPECT_EQ(B.size() - 8, Le32(B, 4));
  EXPECT_EQ(B.size() - 44, Le32(B, 40));
  EXPECT_EQ(0u, (B.size() - 44) % 4);
}

TEST_F(MP3ToWavTest, ComponentMayBeDestroyedFromItsOwnOnDone) {
  const std::string Mp3 = Lame(MakeWav(1), "-b 128");
  TMP3ToWav* D = new TMP3ToWav(nullptr);
  std::atomic<bool> Freed{false};
  D->OnDone = [&](TComponent* Sender, bool) {
    TComponent::Free(Sender);
    Freed = true;
  };
  D->SetInputFile(Mp3);
  D->SetOutputFile(Dir.Path("o.wav"));
  D->Run();
  for (int I = 0; I < 3000 && !Freed; ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(Freed);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the worker leave
}

// ------------------------------------------------------------ past 4 GiB

std::string Tag(const std::vector<uint8_t>& B, size_t At) {
  return std::string(B.begin() + static_cast<std::ptrdiff_t>(At),
                     B.begin() + static_cast<std::ptrdiff_t>(At) + 4);
}

uint64_t Le64(const std::vector<uint8_t>& B, size_t At) {
  return Le32(B, At) | static_cast<uint64_t>(Le32(B, At + 4)) << 32;
}

// Decodes In into Out with the size fields taken to hold at most Limit.
std::vector<uint8_t> DecodeWithLimit(const std::string& In, const std::string& Out, int64_t Limit) {
  TDecodeRun R;
  TOwned<TMP3ToWav> D = MakeComponent<TMP3ToWav>(nullptr);
  R.Attach(*D);
  D->SetSizeFieldLimit(Limit);
  D->SetInputFile(In);
  D->SetOutputFile(Out);
  D->Run();
  EXPECT_TRUE(R.Wait());
  EXPECT_TRUE(R.Success);
  return ReadFileBytes(Out);
}

TEST_F(MP3ToWavTest, FileOutgrowingTheSizeFieldsTurnsRf64WhereverItCrosses) {
  // 8 seconds: 1.4 MB of samples, more than the 1 MB moved at a time.
  const std::string Mp3 = Lame(MakeWav(8), "-b 128");
  const auto Plain = DecodeWithLimit(Mp3, Dir.Path("plain.wav"), MaxSizeField);
  ASSERT_GT(Plain.size(), (1u << 20) + 200000);
  const size_t Samples = Plain.size() - 44;

  // A RIFF size right at the limit stays a plain file, byte for byte.
  const int64_t AtLimit = static_cast<int64_t>(Plain.size()) - 8;
  EXPECT_EQ(DecodeWithLimit(Mp3, Dir.Path("at.wav"), AtLimit), Plain);

  // One byte over, crossed by the last write; then crossed after 1.1 MB,
  // with 65 KB and with the first write: the same 64-bit file each time.
  const auto Wide = DecodeWithLimit(Mp3, Dir.Path("over.wav"), AtLimit - 1);
  ASSERT_EQ(Wide.size(), Plain.size() + 36);
  EXPECT_EQ(Tag(Wide, 0), "RF64");
  EXPECT_EQ(Le32(Wide, 4), 0xFFFFFFFFu);
  EXPECT_EQ(Tag(Wide, 8), "WAVE");
  EXPECT_EQ(Tag(Wide, 12), "ds64");
  EXPECT_EQ(Le32(Wide, 16), 28u);
  EXPECT_EQ(Le64(Wide, 20), Wide.size() - 8);
  EXPECT_EQ(Le64(Wide, 28), Samples);
  EXPECT_EQ(Le64(Wide, 36), Samples / 4);
  EXPECT_EQ(Le32(Wide, 44), 0u);
  // The format chunk as it was, the "data" size all ones, the samples.
  EXPECT_EQ(std::vector<uint8_t>(Wide.begin() + 48, Wide.begin() + 72),
            std::vector<uint8_t>(Plain.begin() + 12, Plain.begin() + 36));
  EXPECT_EQ(Tag(Wide, 72), "data");
  EXPECT_EQ(Le32(Wide, 76), 0xFFFFFFFFu);
  EXPECT_TRUE(std::equal(Plain.begin() + 44, Plain.end(), Wide.begin() + 80));
  for (const int64_t Limit : {int64_t{1100000}, int64_t{65600}, int64_t{100}})
    EXPECT_EQ(DecodeWithLimit(Mp3, Dir.Path("early.wav"), Limit), Wide) << Limit;

  auto In = MakeComponent<TWaveIn>(nullptr);
  In->SetFileName(Dir.Path("over.wav"));
  ASSERT_TRUE(In->Valid());
  EXPECT_EQ(In->SampleCount(), static_cast<int64_t>(Samples / 4));
  if (HaveTool("ffprobe")) {
    std::string Out;
    EXPECT_EQ(
        0, testing_support::Run("ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 " +
                                    Quote(Dir.Path("over.wav")),
                                &Out));
    EXPECT_EQ(Out, std::to_string(Samples / 4) + "\n");
  }
}

TEST_F(MP3ToWavTest, PastTheSizeFieldsAMemoryImageGoesOnAndAPipeFails) {
  const std::string Mp3 = Lame(MakeWav(2), "-b 128");
  const auto Plain = DecodeWithLimit(Mp3, Dir.Path("plain.wav"), MaxSizeField);
  // The image in memory stays a RIFF image, its sizes all ones.
  {
    TMemoryStream Image;
    TDecodeRun R;
    TOwned<TMP3ToWav> D = MakeComponent<TMP3ToWav>(nullptr);
    R.Attach(*D);
    D->SetSizeFieldLimit(100000);
    D->SetInputFile(Mp3);
    D->SetOutputStream(&Image);
    D->Run();
    ASSERT_TRUE(R.Wait());
    EXPECT_TRUE(R.Success);
    ASSERT_EQ(Image.Size(), static_cast<int64_t>(Plain.size()));
    std::vector<uint8_t> B(Plain.size());
    Image.SetPosition(0);
    Image.ReadBuffer(B.data(), Image.Size());
    EXPECT_EQ(Tag(B, 0), "RIFF");
    EXPECT_EQ(Le32(B, 4), 0xFFFFFFFFu);
    EXPECT_EQ(Le32(B, 40), 0xFFFFFFFFu);
    EXPECT_TRUE(std::equal(Plain.begin() + 44, Plain.end(), B.begin() + 44));
  }
  // A stream that cannot seek could not be given the sizes: the run fails
  // rather than cut the sound short.
  TPipeLikeStream Pipe;
  TFailureRun R;
  TOwned<TMP3ToWav> D = MakeComponent<TMP3ToWav>(nullptr);
  R.Attach(*D);
  D->SetSizeFieldLimit(100000);
  D->SetInputFile(Mp3);
  D->SetOutputStream(&Pipe);
  D->Run();
  ASSERT_TRUE(D->WaitForEnd(std::chrono::seconds(60)));
  EXPECT_EQ(R.FailureCount, 1);
  EXPECT_EQ(R.DoneCount, 0);
  EXPECT_NE(R.Message.find("longer than a WAV file can hold"), std::string::npos) << R.Message;
  // The header and what fitted under the limit (its RIFF size counts 36
  // bytes of header).
  EXPECT_LE(Pipe.Data.size(), 100000u + 8);
}

// The image a decoded MP3 longer than a WAV header can state leaves in
// memory: both sizes all ones, the samples running to the end of the stream.
// Made up here without the memory: 2^31 + 1000 stereo frames (8 GiB), each
// frame holding its own number.
class THugeImage : public TStream {
 public:
  static constexpr int64_t Frames = (int64_t{1} << 31) + 1000;
  THugeImage() { PutPcmHeader(FHeader, 2, 44100, 16, -1); }
  int64_t Read(void* Buffer, int64_t Count) override {
    auto* B = static_cast<uint8_t*>(Buffer);
    const int64_t N = std::clamp<int64_t>(Size() - FPos, 0, Count);
    for (int64_t I = 0; I < N; ++I, ++FPos)
      B[I] = FPos < PcmHeaderSize ? FHeader[FPos]
                                  : static_cast<uint8_t>(static_cast<uint32_t>((FPos - 44) / 4) >>
                                                         (8 * ((FPos - 44) % 4)));
    return N;
  }
  int64_t Write(const void*, int64_t) override { throw EWriteError("read only"); }
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
    const int64_t Base = Origin == TSeekOrigin::soBeginning ? 0
                         : Origin == TSeekOrigin::soEnd     ? Size()
                                                            : FPos;
    if (Base + Offset < 0) throw EStreamError("Invalid stream position");
    return FPos = Base + Offset;
  }
  int64_t Size() override { return PcmHeaderSize + Frames * 4; }
  void SetSize(int64_t) override { throw EStreamError("fixed size"); }

 private:
  uint8_t FHeader[PcmHeaderSize];
  int64_t FPos = 0;
};

TEST(Mp3DecodedImage, PastFourGigabytesEveryFrameIsCountedAndReachable) {
  THugeImage Image;
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* In = new TWaveIn(Owner.get());
  In->SetStream(&Image);
  ASSERT_TRUE(In->Valid());
  EXPECT_EQ(THugeImage::Frames, In->SampleCount());
  // The last 1000 frames, past frame 2^31.
  In->SetStartSample(THugeImage::Frames - 1000);
  In->Init();
  std::vector<uint8_t> Got;
  uint8_t Buffer[1500];
  for (int N; (N = In->GetData(Buffer, sizeof Buffer)) > 0;)
    Got.insert(Got.end(), Buffer, Buffer + N);
  In->Flush();
  ASSERT_EQ(4000u, Got.size());
  for (int64_t F = 0; F < 1000; ++F)
    ASSERT_EQ(static_cast<uint32_t>(THugeImage::Frames - 1000 + F), GetLe32(Got.data() + 4 * F))
        << "frame " << F;
}

}  // namespace
