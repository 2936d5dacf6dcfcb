// The APE components and libMACDll.so: files made by the reference encoder
// decode to their known PCM; the file layout the library writes (seek table,
// padding, MD5); ranges, seeking and looping of TMACIn; the sink's failure
// paths; damaged files; the missing library; velmora-cli with .ape.
#include <gtest/gtest.h>

#include <filesystem>

#include "codecs/MACDll.h"
#include "tests/ApeTestHelpers.h"

using namespace testing_support;
using namespace ape_test;

namespace {

uint32_t Le32(const std::vector<uint8_t>& F, size_t P) {
  return F[P] | F[P + 1] << 8 | F[P + 2] << 16 | static_cast<uint32_t>(F[P + 3]) << 24;
}

std::string Md5Of(const std::vector<uint8_t>& Data) {
  TempDir T;
  WriteFileBytes(T.Path("d"), Data);
  std::string Out;
  if (Run("md5sum " + Quote(T.Path("d")), &Out) != 0) return "";
  return Out.substr(0, 32);
}

std::string Hex(const uint8_t* P, size_t N) {
  static const char* D = "0123456789abcdef";
  std::string S;
  for (size_t I = 0; I < N; ++I) {
    S += D[P[I] >> 4];
    S += D[P[I] & 15];
  }
  return S;
}

// What TMACIn raises while opening or reading File; "" when it read to the end.
std::string ReadError(const std::string& File) {
  try {
    DecodeWithReader(File);
    return "";
  } catch (const std::exception& E) {
    return E.what();
  }
}

class ApeTest : public ::testing::Test {
 protected:
  TempDir FDir;
  std::string Path(const std::string& Name) const { return FDir.Path(Name); }
};

// ---------------------------------------------------------------- reference files

struct TReference {
  const char* File;
  int Channels;
  int64_t Blocks;
  const char* Md5;
};

class ApeReference : public ::testing::TestWithParam<TReference> {};

TEST_P(ApeReference, DecodesToTheKnownPcm) {
  const std::string Dir = SharedTestData();
  if (Dir.empty() || !std::filesystem::exists(Dir + "/ape/" + GetParam().File))
    GTEST_SKIP() << "reference APE files are not available";
  TOwned<TMACIn> In(new TMACIn(nullptr));
  In->SetFileName(Dir + "/ape/" + GetParam().File);
  EXPECT_TRUE(In->Valid());
  EXPECT_EQ(16, In->InBitsPerSample());
  EXPECT_EQ(GetParam().Channels, In->InChannels());
  EXPECT_EQ(44100, In->InSampleRate());
  EXPECT_EQ(GetParam().Blocks, In->SampleCount());
  EXPECT_EQ(GetParam().Blocks * 2 * GetParam().Channels, In->Size());
  EXPECT_EQ(static_cast<int>(GetParam().Blocks / 44100), In->TotalTime());
  const std::vector<uint8_t> Pcm = ReadAll(*In);
  EXPECT_EQ(static_cast<size_t>(GetParam().Blocks * 2 * GetParam().Channels), Pcm.size());
  EXPECT_EQ(GetParam().Md5, Md5Of(Pcm));
}

INSTANTIATE_TEST_SUITE_P(
    Files, ApeReference,
    ::testing::Values(TReference{"stereo-2000.ape", 2, 3652, "f3ebaa86b322e2251d518ea050f33570"},
                      TReference{"mono-2000.ape", 1, 49862, "449032e0125b5df1f9e284ee4a39c7e1"},
                      TReference{"stereo-3000-3frames.ape", 2, 2 * 73728 + 9100,
                                 "cfe3d9dabadeab2cbf2ca235274b7f76"},
                      TReference{"mono-5000.ape", 1, 44100, "21eec41b766f5765831ad7196cb0f781"}),
    [](const ::testing::TestParamInfo<TReference>& I) {
      std::string N = I.param.File;
      N = N.substr(0, N.find('.'));
      for (char& C : N)
        if (C == '-') C = '_';
      return N;
    });

// ---------------------------------------------------------------- file layout

TEST_F(ApeTest, HeaderSeekTableAndMd5DescribeTheFrames) {
  const int Blocks = 2 * 73728 + 100;
  ASSERT_EQ("", Compress(MusicLike(Blocks, 2, 16), 16, 2, Path("a.ape"), 3000));
  const std::vector<uint8_t> F = ReadFileBytes(Path("a.ape"));
  ASSERT_GT(F.size(), 200u);
  EXPECT_EQ("MAC ", std::string(F.begin(), F.begin() + 4));
  EXPECT_EQ(3990u, Le32(F, 4) & 0xFFFF);
  const uint32_t SeekBytes = Le32(F, 16), HeaderData = Le32(F, 20), DataBytes = Le32(F, 24);
  EXPECT_EQ(12u, SeekBytes) << "exactly one entry per frame";
  EXPECT_EQ(0u, HeaderData);
  EXPECT_EQ(0u, Le32(F, 28));
  EXPECT_EQ(0u, DataBytes % 4) << "the frame region ends on a word boundary";
  const size_t H = 52;
  EXPECT_EQ(3000u, Le32(F, H) & 0xFFFF);
  EXPECT_EQ(32u, Le32(F, H) >> 16) << "no stored header: the decoder makes one";
  EXPECT_EQ(73728u, Le32(F, H + 4));
  EXPECT_EQ(100u, Le32(F, H + 8));
  EXPECT_EQ(3u, Le32(F, H + 12));
  EXPECT_EQ(0x0002'0010u, Le32(F, H + 16));  // 16 bits, 2 channels
  EXPECT_EQ(44100u, Le32(F, H + 20));
  const uint32_t First = 52 + 24 + SeekBytes;
  EXPECT_EQ(First, Le32(F, 76));
  EXPECT_LT(Le32(F, 76), Le32(F, 80));
  EXPECT_LT(Le32(F, 80), Le32(F, 84));
  EXPECT_LT(Le32(F, 84), First + DataBytes);
  EXPECT_EQ(F.size(), First + DataBytes) << "nothing after the frames";
  // MD5 of the frame data, then the header and the seek table.
  std::vector<uint8_t> Hashed(F.begin() + First, F.end());
  Hashed.insert(Hashed.end(), F.begin() + 52, F.begin() + First);
  EXPECT_EQ(Md5Of(Hashed), Hex(&F[36], 16));
}

TEST_F(ApeTest, ExpectedSizeOnlyMovesWhereTheFramesStart) {
  // Without a size, with the right one, too small and too large: the library
  // makes room for the seek table at the end, and the files are the same.
  const int Blocks = 3 * 73728 + 5;
  const std::vector<uint8_t> Pcm = MusicLike(Blocks, 1, 16);
  ASSERT_EQ("", Compress(Pcm, 16, 1, Path("unknown.ape"), 2000, -1));
  const std::vector<uint8_t> Ref = ReadFileBytes(Path("unknown.ape"));
  const int64_t Sizes[] = {static_cast<int64_t>(Pcm.size()), 1000,
                           50 * static_cast<int64_t>(Pcm.size())};
  for (const int64_t Max : Sizes) {
    SCOPED_TRACE(Max);
    ASSERT_EQ("", Compress(Pcm, 16, 1, Path("sized.ape"), 2000, Max));
    EXPECT_TRUE(ReadFileBytes(Path("sized.ape")) == Ref);
  }
  EXPECT_TRUE(DecodeWithReader(Path("unknown.ape")) == Pcm);
}

TEST_F(ApeTest, SilentAndEqualChannelFramesUseTheShortForms) {
  const int Blocks = 73728;
  ASSERT_EQ("", Compress(Silence(Blocks, 2, 16), 16, 2, Path("silent.ape"), 2000));
  EXPECT_LT(std::filesystem::file_size(Path("silent.ape")), 120u);
  const std::vector<uint8_t> Mono = MusicLike(Blocks, 1, 16);
  std::vector<uint8_t> Dual(Mono.size() * 2);
  for (size_t I = 0; I < Mono.size(); I += 2) {
    std::memcpy(&Dual[2 * I], &Mono[I], 2);
    std::memcpy(&Dual[2 * I + 2], &Mono[I], 2);
  }
  ASSERT_EQ("", Compress(Mono, 16, 1, Path("mono.ape"), 2000));
  ASSERT_EQ("", Compress(Dual, 16, 2, Path("dual.ape"), 2000));
  // The equal pair is coded once: the size of the mono file and a word.
  EXPECT_EQ(std::filesystem::file_size(Path("mono.ape")) + 4,
            std::filesystem::file_size(Path("dual.ape")));
  EXPECT_TRUE(DecodeWithReader(Path("dual.ape")) == Dual);
  EXPECT_TRUE(DecodeWithReader(Path("silent.ape")) == Silence(Blocks, 2, 16));
}

// ---------------------------------------------------------------- reader

TEST_F(ApeTest, RangeStopsExactlyAtEndSampleAcrossFrames) {
  const int Blocks = 2 * 73728 + 300;
  const std::vector<uint8_t> Pcm = MusicLike(Blocks, 2, 16);
  ASSERT_EQ("", Compress(Pcm, 16, 2, Path("r.ape"), 2000));
  TOwned<TMACIn> In(new TMACIn(nullptr));
  In->SetFileName(Path("r.ape"));
  // Starts in the second frame, ends in the third.
  In->SetStartSample(80000);
  In->SetEndSample(147600);
  const std::vector<uint8_t> Got = ReadAll(*In);
  ASSERT_EQ(67600u * 4, Got.size());
  EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Pcm.begin() + 80000 * 4));
  // From a start to the end of the file.
  In->SetEndSample(-1);
  In->SetStartSample(1000);
  const std::vector<uint8_t> Tail = ReadAll(*In);
  EXPECT_TRUE(Tail.size() == Pcm.size() - 4000 &&
              std::equal(Tail.begin(), Tail.end(), Pcm.begin() + 4000));
}

TEST_F(ApeTest, LoopStartsOverFromStartSample) {
  const std::vector<uint8_t> Pcm = MusicLike(3000, 1, 8);
  ASSERT_EQ("", Compress(Pcm, 8, 1, Path("l.ape"), 1000));
  TOwned<TMACIn> In(new TMACIn(nullptr));
  In->SetFileName(Path("l.ape"));
  In->SetLoop(true);
  In->SetStartSample(1000);
  const std::vector<uint8_t> Got = ReadAll(*In, 5000);
  ASSERT_GE(Got.size(), 5000u);
  for (size_t I = 0; I < 5000; ++I) ASSERT_EQ(Pcm[1000 + I % 2000], Got[I]) << "byte " << I;
}

TEST_F(ApeTest, QueriesLeaveTheFileClosedAndAgreeWithTheJob) {
  const std::vector<uint8_t> Pcm = MusicLike(44100 * 2 + 10, 1, 16);
  ASSERT_EQ("", Compress(Pcm, 16, 1, Path("q.ape"), 2000));
  TOwned<TMACIn> In(new TMACIn(nullptr));
  In->SetFileName(Path("q.ape"));
  EXPECT_EQ(2, In->TotalTime());
  EXPECT_EQ(44100 * 2 + 10, In->SampleCount());
  // Closed again: the file can be replaced under the component.
  std::filesystem::remove(Path("q.ape"));
  ASSERT_EQ("", Compress(MusicLike(500, 2, 8), 8, 2, Path("q.ape"), 2000));
  EXPECT_EQ(8, In->InBitsPerSample());
  EXPECT_EQ(2, In->InChannels());
  EXPECT_EQ(500, In->SampleCount());
  In->Init();
  EXPECT_EQ(1000, In->Size());
  EXPECT_EQ(2, In->InChannels());
  In->Flush();
}

TEST_F(ApeTest, GetDataOutsideAJobIsRefused) {
  ASSERT_EQ("", Compress(MusicLike(10, 1, 16), 16, 1, Path("g.ape"), 2000));
  TOwned<TMACIn> In(new TMACIn(nullptr));
  In->SetFileName(Path("g.ape"));
  uint8_t B[16];
  EXPECT_THROW(
      {
        try {
          In->GetData(B, sizeof B);
        } catch (const EACSException& E) {
          EXPECT_STREQ("The Stream is not opened", E.what());
          throw;
        }
      },
      EACSException);
}

// ---------------------------------------------------------------- damage

TEST_F(ApeTest, MissingFilesRaiseTheSystemsReasonForeignFilesInvalidInputFile) {
  EXPECT_EQ("Cannot open file \"" + Path("none.ape") + "\". No such file or directory",
            ReadError(Path("none.ape")));
  std::filesystem::create_directory(Path("folder.ape"));
  EXPECT_EQ("Cannot open file \"" + Path("folder.ape") + "\". Is a directory",
            ReadError(Path("folder.ape")));
  WritePcmWav(Path("w.ape"), Silence(100, 1, 16).data(), 200, 1, 44100, 16);
  EXPECT_EQ("MACDll error: invalid input file", ReadError(Path("w.ape")));
  WriteFileBytes(Path("empty.ape"), {});
  EXPECT_EQ("MACDll error: invalid input file", ReadError(Path("empty.ape")));
  TOwned<TMACIn> In(new TMACIn(nullptr));
  In->SetFileName(Path("none.ape"));
  EXPECT_THROW(In->Valid(), EFOpenError);
  EXPECT_THROW(In->Init(), EFOpenError);
  In->SetFileName(Path("w.ape"));
  EXPECT_THROW(In->Valid(), EAPEException);
}

TEST_F(ApeTest, DamagedFrameRaisesInsteadOfDeliveringIt) {
  const std::vector<uint8_t> Pcm = MusicLike(2 * 73728, 2, 16);
  ASSERT_EQ("", Compress(Pcm, 16, 2, Path("d.ape"), 2000));
  std::vector<uint8_t> F = ReadFileBytes(Path("d.ape"));
  const uint32_t Second = Le32(F, 80);
  // A flipped bit deep inside the second frame: the first frame still comes
  // out whole, then the reader stops with the library's error.
  F[Second + 5000] ^= 0x10;
  WriteFileBytes(Path("d.ape"), F);
  TOwned<TMACIn> In(new TMACIn(nullptr));
  In->SetFileName(Path("d.ape"));
  In->Init();
  std::vector<uint8_t> Got, Buf(4096);
  std::string Error;
  try {
    for (int N; (N = In->GetData(Buf.data(), static_cast<int>(Buf.size()))) > 0;)
      Got.insert(Got.end(), Buf.begin(), Buf.begin() + N);
  } catch (const EAPEException& E) {
    Error = E.what();
  }
  In->Flush();
  EXPECT_TRUE(Error == "MACDll error: invalid checksum" ||
              Error == "MACDll error: decompressing frame")
      << Error;
  EXPECT_EQ(73728u * 4, Got.size());
  EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Pcm.begin()));
}

TEST_F(ApeTest, TruncatedAndScrambledFilesGiveALibraryErrorAndNoCrash) {
  const std::vector<uint8_t> Pcm = MusicLike(73728 + 4000, 2, 16);
  ASSERT_EQ("", Compress(Pcm, 16, 2, Path("t.ape"), 2000));
  const std::vector<uint8_t> F = ReadFileBytes(Path("t.ape"));
  const size_t Cuts[] = {3,           40, 52, 76, 81, F.size() / 3, F.size() / 2, F.size() - 40,
                         F.size() - 5};
  for (const size_t Cut : Cuts) {
    SCOPED_TRACE("cut at " + std::to_string(Cut));
    WriteFileBytes(Path("cut.ape"), std::vector<uint8_t>(F.begin(), F.begin() + Cut));
    EXPECT_EQ(0u, ReadError(Path("cut.ape")).rfind("MACDll error: ", 0))
        << ReadError(Path("cut.ape"));
  }
  // Scrambled header fields: whatever the reader makes of them, it reports
  // through the library's errors and never crashes.
  std::mt19937 Rng(5);
  for (int Round = 0; Round < 40; ++Round) {
    std::vector<uint8_t> G = F;
    for (int K = 0; K < 3; ++K) G[12 + Rng() % 76] = static_cast<uint8_t>(Rng());
    WriteFileBytes(Path("s.ape"), G);
    const std::string E = ReadError(Path("s.ape"));
    EXPECT_TRUE(E.empty() || E.rfind("MACDll error: ", 0) == 0) << E;
  }
}

// ---------------------------------------------------------------- writer

TEST_F(ApeTest, LevelOutsideTheFourIsStoredAs2000) {
  TOwned<TMACOut> Out(new TMACOut(nullptr));
  EXPECT_EQ(2000, Out->CompressionLevel());
  for (const int L : {1000, 3000, 4000}) {
    Out->SetCompressionLevel(L);
    EXPECT_EQ(L, Out->CompressionLevel());
  }
  for (const int L : {5000, 0, -1, 2500}) {
    Out->SetCompressionLevel(4000);
    Out->SetCompressionLevel(L);
    EXPECT_EQ(2000, Out->CompressionLevel()) << L;
  }
}

TEST_F(ApeTest, ErrorTextsFollowTheLibraryCodes) {
  EXPECT_STREQ("MACDll error: invalid input file", EAPEException(1002).what());
  EXPECT_STREQ("MACDll error: input file file too large", EAPEException(1004).what());
  EXPECT_STREQ("MACDll error: APE compress too much data", EAPEException(6000).what());
  EXPECT_STREQ("MACDll error: OK", EAPEException(0).what());
  EXPECT_STREQ("MACDll error: undefined (1234)", EAPEException(1234).what());
  EXPECT_EQ(1234, EAPEException(1234).Code());
}

TEST_F(ApeTest, StartFailuresNameTheCauseAndLeaveTheInputFree) {
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* Src = new TMemorySource(Owner.get());
  Src->Data = MusicLike(1000, 2, 16);
  auto* Out = new TMACOut(Owner.get());
  Out->SetInput(Src);
  EXPECT_EQ("File name is not assigned.", RunJob(*Out));
  Out->SetFileName(Path("no/such/folder/x.ape"));
  EXPECT_EQ(
      "Cannot create file \"" + Path("no/such/folder/x.ape") + "\". No such file or directory",
      RunJob(*Out));
  EXPECT_FALSE(Src->Busy());
  Src->Bits = 12;
  Out->SetFileName(Path("x.ape"));
  EXPECT_EQ("Error starting APECompress.\r\ninput file unsupported bit depth", RunJob(*Out));
  EXPECT_FALSE(Src->Busy());
  EXPECT_FALSE(std::filesystem::exists(Path("x.ape")));
  // The sink and its input are usable again.
  Src->Bits = 16;
  EXPECT_EQ("", RunJob(*Out));
  EXPECT_EQ(Src->InitCount, Src->FlushCount);
  EXPECT_TRUE(DecodeWithReader(Path("x.ape")) == Src->Data);
}

TEST_F(ApeTest, StoppedAndFailedJobsLeaveCompleteFilesOfWhatWasRead) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* Src = new TMemorySource(Owner.get());
  Src->Data = MusicLike(44100 * 20, 2, 16);
  Src->MaxChunk = 4000;
  auto* Out = new TMACOut(Owner.get());
  Out->SetInput(Src);
  Out->SetFileName(Path("stop.ape"));
  ASSERT_EQ("", RunJob(*Out, [&] {
              if (Src->Position() > 1000000) Out->Stop();
            }));
  bool Ok = false;
  std::string Err;
  std::vector<uint8_t> Got = DecodeWithFfmpeg(Path("stop.ape"), 16, Ok, &Err);
  ASSERT_TRUE(Ok) << Err;
  EXPECT_GT(Got.size(), 1000000u);
  EXPECT_LT(Got.size(), Src->Data.size());
  EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Src->Data.begin()));

  Src->FailAfter = 300001;  // not a whole block: the partial one is dropped
  Out->SetFileName(Path("fail.ape"));
  EXPECT_EQ("Simulated read failure", RunJob(*Out));
  Got = DecodeWithFfmpeg(Path("fail.ape"), 16, Ok, &Err);
  ASSERT_TRUE(Ok) << Err;
  EXPECT_EQ(300000u, Got.size());
  EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Src->Data.begin()));
  EXPECT_FALSE(Src->Busy());
}

TEST_F(ApeTest, TwentyFourBitPcmRoundTripsWhereDecodersAgree) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  // Loud 24-bit material: the predictors' 32-bit sums overflow on it.
  const std::vector<uint8_t> Music = MusicLike(30000, 2, 16);
  std::vector<uint8_t> Pcm;
  for (size_t I = 0; I < Music.size(); I += 2)
    Pcm.insert(Pcm.end(), {0x5A, Music[I], Music[I + 1]});
  std::vector<uint8_t> Mono;
  for (size_t I = 0; I < Pcm.size(); I += 6) Mono.insert(Mono.end(), &Pcm[I], &Pcm[I + 3]);
  const struct {
    const std::vector<uint8_t>& Pcm;
    int Channels, Level;
  } Cases[] = {{Pcm, 2, 1000}, {Pcm, 2, 4000}, {Mono, 1, 3000}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(std::to_string(C.Channels) + " channels, level " + std::to_string(C.Level));
    ASSERT_EQ("", Compress(C.Pcm, 24, C.Channels, Path("24.ape"), C.Level));
    bool Ok = false;
    std::string Err;
    EXPECT_TRUE(DecodeWithFfmpeg(Path("24.ape"), 24, Ok, &Err) == C.Pcm) << Err;
    EXPECT_TRUE(DecodeWithReader(Path("24.ape")) == C.Pcm);
  }
  // Decoders do not agree on loud 24-bit stereo at the insane level: the
  // library refuses to write it.
  ASSERT_TRUE(MACDllLibrary().Load());
  APE_WAVEFORMATEX F;
  ASSERT_EQ(0, MACDll().FillWaveFormatEx(&F, 44100, 24, 2));
  int E = -1;
  APE_COMPRESS_HANDLE H = MACDll().c_APECompress_Create(&E);
  ASSERT_NE(nullptr, H);
  EXPECT_EQ(APE_ERROR_INPUT_FILE_UNSUPPORTED_BIT_DEPTH,
            MACDll().c_APECompress_Start(H, Path("x.ape").c_str(), &F, -1, APE_LEVEL_INSANE,
                                         nullptr, APE_CREATE_WAV_HEADER));
  MACDll().c_APECompress_Destroy(H);
  EXPECT_FALSE(std::filesystem::exists(Path("x.ape")));
}

TEST_F(ApeTest, EmptyInputIsRefusedAndLeavesNoFile) {
  EXPECT_EQ("MACDll error: input file too small", Compress({}, 16, 2, Path("e.ape"), 2000));
  EXPECT_FALSE(std::filesystem::exists(Path("e.ape")));
}

TEST_F(ApeTest, DestroyedMidJobLeavesNoHalfFile) {
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* Src = new TMemorySource(Owner.get());
  Src->Data = MusicLike(44100 * 30, 2, 16);
  Src->MaxChunk = 2000;
  auto* Out = new TMACOut(Owner.get());
  Out->SetInput(Src);
  Out->SetFileName(Path("gone.ape"));
  // Paced to 10 ms a step the job would need half a minute to reach its end,
  // so the free below cuts it short.
  Out->SetDelay(10);
  std::atomic<bool> Started{false};
  Out->OnProgress = [&](TComponent*) { Started = true; };
  Out->Run();
  while (!Started) std::this_thread::yield();
  TComponent::Free(Out);
  EXPECT_FALSE(std::filesystem::exists(Path("gone.ape")));
}

// ---------------------------------------------------------------- library binding

TEST_F(ApeTest, MissingLibraryIsNamedByItsFile) {
  TCodecLibrary& Lib = MACDllLibrary();
  const std::string Folder = Lib.Folder();
  Lib.Unload();
  Lib.SetFolder(Path("empty/"));
  EXPECT_THROW(
      {
        try {
          TOwned<TMACIn> In(new TMACIn(nullptr));
        } catch (const EACSException& E) {
          EXPECT_STREQ("libMACDll.so library could not be loaded.", E.what());
          throw;
        }
      },
      EACSException);
  EXPECT_THROW(TOwned<TMACOut>(new TMACOut(nullptr)), EACSException);
  Lib.SetFolder(Folder);
  EXPECT_TRUE(Lib.Load());
  EXPECT_NO_THROW(TOwned<TMACOut>(new TMACOut(nullptr)));
}

TEST_F(ApeTest, LibraryComesFromTheProgramFolder) {
  // A program copied away from its libraries cannot find this one.
  const std::string Cli = BinDir() + "/velmora-cli";
  if (!std::filesystem::exists(Cli)) GTEST_SKIP() << "velmora-cli is not built";
  std::filesystem::copy_file(Cli, Path("velmora-cli"));
  ASSERT_EQ("", Compress(MusicLike(100, 1, 16), 16, 1, Path("c.ape"), 2000));
  std::string Err;
  EXPECT_EQ(1, testing_support::Run(Quote(Path("velmora-cli")) + " info " + Quote(Path("c.ape")),
                                    nullptr, &Err));
  EXPECT_NE(std::string::npos, Err.find("libMACDll.so library could not be loaded.")) << Err;
}

// ---------------------------------------------------------------- command line

TEST_F(ApeTest, CliConvertsBothWaysAndReportsInfo) {
  const std::string Cli = BinDir() + "/velmora-cli";
  if (!std::filesystem::exists(Cli)) GTEST_SKIP() << "velmora-cli is not built";
  const std::vector<uint8_t> Pcm = MusicLike(50000, 2, 16);
  WritePcmWav(Path("a.wav"), Pcm.data(), Pcm.size(), 2, 44100, 16);
  ASSERT_EQ(0, testing_support::Run(Quote(Cli) + " convert " + Quote(Path("a.wav")) + " " +
                                    Quote(Path("a.ape")) + " --level 4000"));
  EXPECT_EQ(4000u, Le32(ReadFileBytes(Path("a.ape")), 52) & 0xFFFF);
  ASSERT_EQ(0, testing_support::Run(Quote(Cli) + " convert " + Quote(Path("a.wav")) + " " +
                                    Quote(Path("d.ape"))));
  EXPECT_EQ(2000u, Le32(ReadFileBytes(Path("d.ape")), 52) & 0xFFFF);
  std::string Out;
  ASSERT_EQ(0, testing_support::Run(Quote(Cli) + " info " + Quote(Path("a.ape")), &Out));
  EXPECT_NE(std::string::npos, Out.find("samples=50000")) << Out;
  EXPECT_NE(std::string::npos, Out.find("channels=2")) << Out;
  ASSERT_EQ(0, testing_support::Run(Quote(Cli) + " convert " + Quote(Path("a.ape")) + " " +
                                    Quote(Path("b.wav"))));
  const std::vector<int16_t> Back = ReadPcm16Wav(Path("b.wav"));
  ASSERT_EQ(Pcm.size(), Back.size() * 2);
  EXPECT_EQ(0, std::memcmp(Back.data(), Pcm.data(), Pcm.size()));
  std::string Err;
  EXPECT_EQ(1, testing_support::Run(Quote(Cli) + " convert " + Quote(Path("a.wav")) + " " +
                                        Quote(Path("x.ape")) + " --level 5000",
                                    nullptr, &Err));
  EXPECT_NE(std::string::npos, Err.find("--level")) << Err;
}

}  // namespace
