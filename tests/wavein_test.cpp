// The WAV reader against files written by sox and ffmpeg, hand-made headers
// (odd layouts and hostile values), ranges, looping and file handling.
#include "wave/WaveIn.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"
#include "wave/AdpcmTables.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<uint8_t>;

// Everything a job delivers, read in pieces of Piece bytes; stops after Limit.
Bytes ReadAll(TWaveIn& W, int Piece = 3000, size_t Limit = 64u << 20) {
  Bytes Out;
  W.Init();
  std::vector<uint8_t> Buf(static_cast<size_t>(Piece));
  while (Out.size() < Limit) {
    const int N = W.GetData(Buf.data(), Piece);
    if (N == 0) break;
    Out.insert(Out.end(), Buf.begin(), Buf.begin() + N);
  }
  W.Flush();
  return Out;
}

std::vector<int16_t> AsSamples(const Bytes& B, int Bits) {
  std::vector<int16_t> S;
  if (Bits == 8) {
    for (uint8_t V : B) S.push_back(static_cast<int16_t>((V - 128) << 8));
  } else {
    S.resize(B.size() / 2);
    std::memcpy(S.data(), B.data(), S.size() * 2);
  }
  return S;
}

int OpenDescriptors() {
  int N = 0;
  if (DIR* D = opendir("/proc/self/fd")) {
    while (readdir(D)) ++N;
    closedir(D);
  }
  return N;
}

// ---------------------------------------------------------------- hand-made files

// N little-endian bytes of V.
void Put(Bytes& B, uint32_t V, int N) {
  for (int I = 0; I < N; ++I) B.push_back(static_cast<uint8_t>(V >> (8 * I)));
}
void Chunk(Bytes& B, const char* Name, const Bytes& Body, int64_t Size = -1) {
  B.insert(B.end(), Name, Name + 4);
  Put(B, static_cast<uint32_t>(Size < 0 ? static_cast<int64_t>(Body.size()) : Size), 4);
  B.insert(B.end(), Body.begin(), Body.end());
}
// A "fmt " body; for ADPCM, Spb >= 0 adds the samples per block and Pairs >= 0
// an MS coefficient table of that many pairs.
Bytes Fmt(int Tag, int Ch, int Rate, int Align, int Bits, int Spb = -1, int Pairs = -1) {
  Bytes F;
  for (auto [V, N] :
       {std::pair{Tag, 2}, {Ch, 2}, {Rate, 4}, {Rate * Align, 4}, {Align, 2}, {Bits, 2}})
    Put(F, static_cast<uint32_t>(V), N);
  if (Spb < 0) return F;
  Put(F, Pairs < 0 ? 2 : 4 + 4 * Pairs, 2);
  Put(F, static_cast<uint32_t>(Spb), 2);
  if (Pairs < 0) return F;
  Put(F, static_cast<uint32_t>(Pairs), 2);
  for (int I = 0; I < Pairs; ++I)
    for (int K = 0; K < 2; ++K) Put(F, static_cast<uint16_t>(MsStandardCoefficients[I % 7][K]), 2);
  return F;
}
Bytes Riff(const Bytes& Chunks, const char* Riff = "RIFF", const char* Wave = "WAVE") {
  Bytes B(Riff, Riff + 4);
  Put(B, static_cast<uint32_t>(Chunks.size() + 4), 4);
  B.insert(B.end(), Wave, Wave + 4);
  B.insert(B.end(), Chunks.begin(), Chunks.end());
  return B;
}
Bytes Pcm16(int Frames, int Ch) {
  const std::vector<int16_t> S = MakeSignal16(Frames, Ch, 8000);
  const auto* P = reinterpret_cast<const uint8_t*>(S.data());
  return Bytes(P, P + S.size() * 2);
}
// A PCM file with Before chunks between "fmt " and "data".
Bytes PcmFile(const Bytes& Data, int Ch = 1, const Bytes& Before = {}, int Bits = 16) {
  Bytes C;
  Chunk(C, "fmt ", Fmt(1, Ch, 8000, Ch * Bits / 8, Bits));
  C.insert(C.end(), Before.begin(), Before.end());
  Chunk(C, "data", Data);
  return Riff(C);
}
// "fmt ", Before, "fact" and "data".
Bytes Compressed(const Bytes& FmtBody, uint32_t Fact, const Bytes& Data, const Bytes& Before = {}) {
  Bytes C, F;
  Chunk(C, "fmt ", FmtBody);
  C.insert(C.end(), Before.begin(), Before.end());
  Put(F, Fact, 4);
  Chunk(C, "fact", F);
  Chunk(C, "data", Data);
  return Riff(C);
}

// A reader over bytes in memory.
struct TMemReader {
  TMemoryStream S;
  TOwned<TWaveIn> W = MakeComponent<TWaveIn>(nullptr);
  explicit TMemReader(const Bytes& B) {
    S.Write(B.data(), static_cast<int64_t>(B.size()));
    S.SetPosition(0);
    W->SetStream(&S);
  }
};

// ---------------------------------------------------------------- reference tools

struct TToolCase {
  const char* Name;
  const char* Writer;   // "sox" or "ffmpeg"
  const char* Options;  // how the writer encodes
  int Channels;
  TWavType Type;
  int Bits;           // what the reader delivers
  const char* Exact;  // the decoder the reader must match sample for sample
};

std::vector<int16_t> SoxDecode(const TempDir& D, const std::string& File) {
  std::string Err;
  EXPECT_EQ(
      testing_support::Run("sox " + Quote(File) + " -e signed -b 16 " + Quote(D.Path("sox.wav")),
                           nullptr, &Err),
      0)
      << Err;
  return ReadPcm16Wav(D.Path("sox.wav"));
}

std::vector<int16_t> FfmpegDecode(const std::string& File) {
  std::string Out, Err;
  EXPECT_EQ(testing_support::Run("ffmpeg -v error -i " + Quote(File) + " -f s16le -", &Out, &Err),
            0)
      << Err;
  return AsSamples(Bytes(Out.begin(), Out.end()), 16);
}

class WaveInToolTest : public ::testing::TestWithParam<TToolCase> {};

// A tool writes the file; the reader must decode it exactly like the decoder
// that follows the standard arithmetic (sox for IMA ADPCM, ffmpeg for MS ADPCM,
// both for PCM) and stay close to the other one, which rounds differently.
TEST_P(WaveInToolTest, DecodesLikeTheReferenceDecoders) {
  const TToolCase& C = GetParam();
  if (!HaveTool("sox") || !HaveTool("ffmpeg")) GTEST_SKIP() << "sox and ffmpeg are needed";
  TempDir D;
  const std::vector<int16_t> Src = MakeSignal16(28665, 2, 22050);  // not a whole number of blocks
  WritePcmWav(D.Path("src.wav"), Src.data(), Src.size() * 2, 2, 22050, 16);
  const std::string In = Quote(D.Path("src.wav")), File = D.Path("t.wav"),
                    Ch = std::to_string(C.Channels);
  std::string Err;
  const std::string Cmd =
      std::string(C.Writer) == "sox"
          ? "sox " + In + " -c " + Ch + " " + C.Options + " " + Quote(File)
          : "ffmpeg -v error -y -i " + In + " -ac " + Ch + " " + C.Options + " " + Quote(File);
  ASSERT_EQ(testing_support::Run(Cmd, nullptr, &Err), 0) << Err;

  auto W = MakeComponent<TWaveIn>(nullptr);
  W->SetFileName(File);
  ASSERT_TRUE(W->Valid());
  EXPECT_EQ(W->WavType(), C.Type);
  EXPECT_EQ(W->InChannels(), C.Channels);
  EXPECT_EQ(W->InSampleRate(), 22050);
  EXPECT_EQ(W->InBitsPerSample(), C.Bits);
  EXPECT_EQ(W->TotalTime(), 1);
  const std::vector<int16_t> Got = AsSamples(ReadAll(*W), C.Bits);

  for (const std::string Decoder : {"sox", "ffmpeg"}) {
    const std::vector<int16_t> Ref = Decoder == "sox" ? SoxDecode(D, File) : FfmpegDecode(File);
    // Both tools decode the padding of the last block too.
    ASSERT_EQ(Got.size(), Ref.size()) << Decoder;
    size_t Differ = 0;
    int MaxDiff = 0;
    for (size_t I = 0; I < Ref.size(); ++I) {
      Differ += Got[I] != Ref[I];
      MaxDiff = std::max(MaxDiff, std::abs(Got[I] - Ref[I]));
    }
    if (Decoder == C.Exact || C.Type == wtPCM)
      EXPECT_EQ(Differ, 0u) << Decoder << ": " << Differ << " of " << Ref.size()
                            << " samples differ";
    else
      EXPECT_LT(MaxDiff, 256) << Decoder;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tools, WaveInToolTest,
    ::testing::Values(
        TToolCase{"SoxPcm16Stereo", "sox", "-b 16 -e signed", 2, wtPCM, 16, "sox"},
        TToolCase{"SoxPcm16Mono", "sox", "-b 16 -e signed", 1, wtPCM, 16, "sox"},
        TToolCase{"SoxPcm8Mono", "sox", "-b 8 -e unsigned", 1, wtPCM, 8, "sox"},
        TToolCase{"SoxPcm8Stereo", "sox", "-b 8 -e unsigned", 2, wtPCM, 8, "sox"},
        TToolCase{"SoxImaMono", "sox", "-e ima-adpcm", 1, wtDVIADPCM, 16, "sox"},
        TToolCase{"SoxImaStereo", "sox", "-e ima-adpcm", 2, wtDVIADPCM, 16, "sox"},
        TToolCase{"SoxMsMono", "sox", "-e ms-adpcm", 1, wtMSADPCM, 16, "ffmpeg"},
        TToolCase{"SoxMsStereo", "sox", "-e ms-adpcm", 2, wtMSADPCM, 16, "ffmpeg"},
        TToolCase{"FfmpegPcmU8", "ffmpeg", "-c:a pcm_u8", 2, wtPCM, 8, "ffmpeg"},
        TToolCase{"FfmpegPcmS16", "ffmpeg", "-c:a pcm_s16le", 1, wtPCM, 16, "ffmpeg"},
        TToolCase{"FfmpegImaMono", "ffmpeg", "-c:a adpcm_ima_wav", 1, wtDVIADPCM, 16, "sox"},
        TToolCase{"FfmpegImaStereo", "ffmpeg", "-c:a adpcm_ima_wav", 2, wtDVIADPCM, 16, "sox"},
        TToolCase{"FfmpegMsMono", "ffmpeg", "-c:a adpcm_ms", 1, wtMSADPCM, 16, "ffmpeg"},
        TToolCase{"FfmpegMsStereo", "ffmpeg", "-c:a adpcm_ms", 2, wtMSADPCM, 16, "ffmpeg"}),
    [](const auto& I) { return std::string(I.param.Name); });

// ---------------------------------------------------------------- header layouts

TEST(WaveInHeaderTest, ChunksBeforeDataAreSkipped) {
  const Bytes Data = Pcm16(700, 1);
  Bytes List;
  Chunk(List, "LIST", Bytes(30, 'x'));
  Chunk(List, "junk", Bytes(5, 'y'));  // odd size: the next chunk follows with no pad byte
  TMemReader R(PcmFile(Data, 1, List));
  ASSERT_TRUE(R.W->Valid());
  EXPECT_EQ(R.W->SampleCount(), 700);
  EXPECT_EQ(ReadAll(*R.W), Data);
}

TEST(WaveInHeaderTest, NamesInEitherCaseAndJunkBeforeRiffAreAccepted) {
  const Bytes Data = Pcm16(300, 2);
  Bytes C;
  Chunk(C, "FMT ", Fmt(1, 2, 8000, 4, 16));
  Chunk(C, "DATA", Data);
  Bytes F(101, 'R');  // the scan slides one byte at a time
  const Bytes Body = Riff(C, "riff", "wave");
  F.insert(F.end(), Body.begin(), Body.end());
  TMemReader R(F);
  ASSERT_TRUE(R.W->Valid());
  EXPECT_EQ(R.W->InChannels(), 2);
  EXPECT_EQ(ReadAll(*R.W), Data);
}

TEST(WaveInHeaderTest, DataIsFoundBehindLongChunksAndPadBytes) {
  // Long LIST or iXML chunks from recorders: "data" anywhere in the file.
  for (const int ListSize : {8000, 8143, 8144, 9000, 300000}) {
    Bytes List;
    Chunk(List, "LIST", Bytes(static_cast<size_t>(ListSize), 0));
    TMemReader R(PcmFile(Pcm16(100, 1), 1, List));
    EXPECT_TRUE(R.W->Valid()) << ListSize;
    EXPECT_EQ(R.W->WavType(), wtPCM);
    EXPECT_EQ(ReadAll(*R.W).size(), 200u);
  }
  // An odd-sized chunk followed by its RIFF pad byte, before "fmt " and
  // before "data", the second one past 8 KB.
  const Bytes Data = Pcm16(300, 1);
  Bytes C;
  Chunk(C, "junk", Bytes(7, 'y'));
  C.push_back(0);
  Chunk(C, "fmt ", Fmt(1, 1, 8000, 2, 16));
  Chunk(C, "iXML", Bytes(9001, 'x'));
  C.push_back(0);
  Chunk(C, "data", Data);
  TMemReader R(Riff(C, "RIFF", "WAVE"));
  ASSERT_TRUE(R.W->Valid());
  EXPECT_EQ(R.W->SampleCount(), 300);
  EXPECT_EQ(ReadAll(*R.W), Data);
}

TEST(WaveInHeaderTest, HugeChunkSizeEndsTheScan) {
  Bytes List;
  Chunk(List, "LIST", Bytes(8, 0), 0xFFFFFFF0);
  TMemReader R(PcmFile(Pcm16(100, 1), 1, List));
  EXPECT_FALSE(R.W->Valid());
  EXPECT_TRUE(ReadAll(*R.W).empty());
}

// ---------------------------------------------------------------- hostile headers

struct THostileCase {
  const char* Name;
  Bytes File;
};

TEST(WaveInHostileTest, UnusableHeadersAreNotValidAndDeliverNothing) {
  const Bytes D(4096, 0x5A);
  const THostileCase Cases[] = {
      {"ZeroChannels", PcmFile(D, 0)},
      {"ThreeChannels", PcmFile(D, 3)},
      {"Pcm4Bit", PcmFile(D, 1, {}, 4)},
      {"Pcm12Bit", PcmFile(D, 1, {}, 12)},
      {"Pcm32Bit", PcmFile(D, 1, {}, 32)},
      {"FloatTag",
       [&] {
         Bytes C;
         Chunk(C, "fmt ", Fmt(3, 1, 8000, 4, 32));
         Chunk(C, "data", D);
         return Riff(C);
       }()},
      {"ShortFmt",
       [&] {
         Bytes C;
         Chunk(C, "fmt ", Bytes{1, 0, 1, 0, 0x40, 0x1F, 0, 0});
         Chunk(C, "data", D);
         return Riff(C);
       }()},
      {"ImaWithoutFact",
       [&] {
         Bytes C;
         Chunk(C, "fmt ", Fmt(17, 1, 8000, 256, 4, 505));
         Chunk(C, "data", D);
         return Riff(C);
       }()},
      {"ImaBits3", Compressed(Fmt(17, 1, 8000, 256, 3, 505), 1000, D)},
      {"ImaZeroBlockAlign", Compressed(Fmt(17, 1, 8000, 0, 4, 505), 1000, D)},
      {"ImaBlockSmallerThanHeader", Compressed(Fmt(17, 2, 8000, 6, 4, 1), 1000, D)},
      {"ImaBlockPastBuffer", Compressed(Fmt(17, 1, 8000, 8192, 4, 16377), 1000, Bytes(9000, 1))},
      {"ImaShortFmt", Compressed(Fmt(17, 1, 8000, 256, 4), 1000, D)},
      {"Ms33Pairs", Compressed(Fmt(2, 1, 8000, 256, 4, 500, 33), 1000, D)},
      {"MsNoPairs", Compressed(Fmt(2, 1, 8000, 256, 4, 500, 0), 1000, D)},
      {"MsBlockSmallerThanHeader", Compressed(Fmt(2, 1, 8000, 5, 4, 2, 7), 1000, D)},
      {"MsSamplesPerBlockPastBlock", Compressed(Fmt(2, 1, 8000, 256, 4, 502, 7), 1000, D)},
      {"MsSamplesPerBlockBelow2", Compressed(Fmt(2, 2, 8000, 256, 4, 1, 7), 1000, D)},
      {"MsBlockPastBuffer", Compressed(Fmt(2, 2, 8000, 8192, 4, 8180, 7), 1000, Bytes(9000, 1))},
      {"MpegNotConvertible", Compressed(Fmt(85, 2, 44100, 1, 0, 1152), 1000, D)},
  };
  for (const THostileCase& C : Cases) {
    TMemReader R(C.File);
    EXPECT_FALSE(R.W->Valid()) << C.Name;
    EXPECT_EQ(R.W->SampleCount(), 0) << C.Name;
    EXPECT_TRUE(ReadAll(*R.W).empty()) << C.Name;
    R.W->SetLoop(true);  // nothing to loop over: still ends
    EXPECT_TRUE(ReadAll(*R.W).empty()) << C.Name;
  }
}

TEST(WaveInHostileTest, AbsurdFactCountsOnlyTheBlocksThatAreThere) {
  Bytes D(3 * 256 + 100, 0x37);  // three whole blocks and a piece of 100 bytes
  TMemReader R(Compressed(Fmt(17, 1, 8000, 256, 4, 505), 0xFFFFFFFF, D));
  ASSERT_TRUE(R.W->Valid());
  EXPECT_EQ(R.W->SampleCount(), 3 * 505 + 1 + 2 * 96);
  EXPECT_EQ(ReadAll(*R.W).size(), 2u * (3 * 505 + 1 + 2 * 96));
}

TEST(WaveInHostileTest, DataSizePastTheEndDeliversWhatIsThere) {
  const Bytes Data = Pcm16(500, 1);
  Bytes C;
  Chunk(C, "fmt ", Fmt(1, 1, 8000, 2, 16));
  Chunk(C, "data", Data, 1000000001);  // odd, and far past the end
  TMemReader R(Riff(C));
  ASSERT_TRUE(R.W->Valid());
  EXPECT_EQ(R.W->SampleCount(), 500);
  EXPECT_EQ(ReadAll(*R.W), Data);
}

// ---------------------------------------------------------------- block decoders

// 64-bit forms: a "ds64" chunk first, whose sizes stand for the 32-bit fields
// of all ones. Here a chunk after "data" shows that its size is not taken as
// "to the end of the file".
Bytes Ds64(uint64_t Riff, uint64_t Data, uint64_t Samples) {
  Bytes B;
  for (uint64_t V : {Riff, Data, Samples}) {
    Put(B, static_cast<uint32_t>(V), 4);
    Put(B, static_cast<uint32_t>(V >> 32), 4);
  }
  Put(B, 0, 4);  // no table
  return B;
}

TEST(WaveInWideTest, Rf64AndBw64TakeTheirSizesFromDs64) {
  const Bytes Data = Pcm16(700, 2);
  for (const char* Form : {"RF64", "BW64", "rf64"}) {
    Bytes C;
    Chunk(C, "ds64", Ds64(999, Data.size(), 700));
    Chunk(C, "fmt ", Fmt(1, 2, 8000, 4, 16));
    Chunk(C, "data", Data, 0xFFFFFFFF);
    Chunk(C, "LIST", Bytes(40, 0x55));
    TMemReader R(Riff(C, Form));
    ASSERT_TRUE(R.W->Valid()) << Form;
    EXPECT_EQ(R.W->SampleCount(), 700) << Form;
    EXPECT_EQ(R.W->DeclaredSampleCount(), 700) << Form;
    EXPECT_EQ(ReadAll(*R.W), Data) << Form;
  }

  // IMA ADPCM: the "fact" count of all ones is the ds64 sample count.
  Bytes Blocks(3 * 256, 0x37), C, F;
  Chunk(C, "ds64", Ds64(0, Blocks.size(), 1000));
  Chunk(C, "fmt ", Fmt(17, 1, 8000, 256, 4, 505));
  Put(F, 0xFFFFFFFF, 4);
  Chunk(C, "fact", F);
  Chunk(C, "data", Blocks, 0xFFFFFFFF);
  TMemReader Ima(Riff(C, "RF64"));
  ASSERT_TRUE(Ima.W->Valid());
  EXPECT_EQ(Ima.W->SampleCount(), 1000);
}

TEST(WaveInWideTest, Ds64SizesAreClampedAndFieldsBelowAllOnesStay) {
  const Bytes Data = Pcm16(300, 1);
  auto File = [&](const char* Form, bool WithDs64, uint64_t DsData, uint32_t Field) {
    Bytes C;
    if (WithDs64) Chunk(C, "ds64", Ds64(0, DsData, 0));
    Chunk(C, "fmt ", Fmt(1, 1, 8000, 2, 16));
    Chunk(C, "data", Data, Field);
    return Riff(C, Form);
  };
  // A ds64 size past the end counts what is there; one of 2^40 does not wrap.
  TMemReader Past(File("RF64", true, uint64_t{1} << 40, 0xFFFFFFFF));
  ASSERT_TRUE(Past.W->Valid());
  EXPECT_EQ(Past.W->SampleCount(), 300);
  EXPECT_EQ(Past.W->DeclaredSampleCount(), int64_t{1} << 39);
  // A 32-bit field that is not all ones is the size, ds64 or not.
  TMemReader Small(File("RF64", true, 1 << 20, 200));
  EXPECT_EQ(Small.W->SampleCount(), 100);
  // No ds64 chunk: all ones means to the end, as in a RIFF file.
  TMemReader NoDs64(File("RF64", false, 0, 0xFFFFFFFF));
  ASSERT_TRUE(NoDs64.W->Valid());
  EXPECT_EQ(NoDs64.W->SampleCount(), 300);
  // A RIFF file's ds64-named chunk is an unknown chunk like any other.
  TMemReader Riff32(File("RIFF", true, 20, 0xFFFFFFFF));
  EXPECT_EQ(Riff32.W->SampleCount(), 300);
}

TEST(AdpcmDecodeTest, ImaBlockLayoutsAndLimits) {
  EXPECT_EQ(ImaDecodedFrames(512, 1), 1017);
  EXPECT_EQ(ImaDecodedFrames(1024, 2), 1017);
  // Loud negative steps from near the bottom: the output stops at -32767.
  Bytes B = {0x00, 0x80, 88, 0};  // predictor -32768, the largest step
  B.resize(64, 0xFF);
  std::vector<int16_t> Out(static_cast<size_t>(ImaDecodedFrames(64, 1)));
  ASSERT_EQ(DecodeImaBlock(B.data(), 64, 1, Out.data()), 121);
  EXPECT_EQ(Out[0], -32768);  // the header sample goes out as stored
  EXPECT_EQ(*std::min_element(Out.begin() + 1, Out.end()), -32767);
  // A step index past the table is taken as the last entry.
  std::vector<int16_t> Clamped(Out.size());
  B[2] = 200;
  DecodeImaBlock(B.data(), 64, 1, Clamped.data());
  EXPECT_EQ(Clamped, Out);
}

TEST(AdpcmDecodeTest, MsBlockStartsWithItsHeaderSamplesAndClampsThePredictor) {
  // Mono header: predictor 1, delta 16, sample 1 = 1000, sample 2 = -2000.
  Bytes B = {1, 16, 0, 0xE8, 0x03, 0x30, 0xF8};
  B.resize(20, 0x71);
  const TMsCoefficients T = StandardMsCoefficients();
  std::vector<int16_t> Out(static_cast<size_t>(MsDecodedFrames(20, 1, 28)));
  ASSERT_EQ(DecodeMsBlock(B.data(), 20, 1, 28, T, Out.data()), 28);
  EXPECT_EQ(Out[0], -2000);
  EXPECT_EQ(Out[1], 1000);
  // (1000 x 512 - 2000 x -256) / 256 + 7 x 16
  EXPECT_EQ(Out[2], 4000 + 112);
  // A predictor index past the table uses its last pair.
  std::vector<int16_t> Last(Out.size()), Past(Out.size());
  B[0] = 6;
  DecodeMsBlock(B.data(), 20, 1, 28, T, Last.data());
  B[0] = 250;
  DecodeMsBlock(B.data(), 20, 1, 28, T, Past.data());
  EXPECT_EQ(Past, Last);
  EXPECT_NE(Last, Out);
}

// ---------------------------------------------------------------- ranges and looping

TEST(WaveInRangeTest, StartAndEndSampleLimitThePcmFrames) {
  const Bytes Data = Pcm16(5000, 2);
  TMemReader R(PcmFile(Data, 2));
  R.W->SetStartSample(1000);
  EXPECT_EQ(ReadAll(*R.W), Bytes(Data.begin() + 4000, Data.end()));
  R.W->SetEndSample(3000);
  EXPECT_EQ(ReadAll(*R.W), Bytes(Data.begin() + 4000, Data.begin() + 12000));
}

TEST(WaveInRangeTest, AdpcmRangesAreExact) {
  Bytes D(10 * 512);
  for (size_t I = 0; I < D.size(); ++I) D[I] = static_cast<uint8_t>(I * 37 + I / 7);
  for (size_t I = 0; I < D.size(); I += 512) D[I + 2] = 20;  // sane step indices
  TMemReader R(Compressed(Fmt(17, 1, 8000, 512, 4, 1017), 10000, D));
  const Bytes Full = ReadAll(*R.W);
  ASSERT_EQ(Full.size(), 2u * 10170);
  R.W->SetStartSample(1500);
  R.W->SetEndSample(4000);
  const Bytes Part = ReadAll(*R.W);
  // Frames 1500 to 3999 exactly, from blocks 1 to 3.
  EXPECT_EQ(Part, Bytes(Full.begin() + 2 * 1500, Full.begin() + 2 * 4000));
  // A start on a block boundary, and one in the short last block.
  R.W->SetStartSample(2034);
  R.W->SetEndSample(2040);
  EXPECT_EQ(ReadAll(*R.W), Bytes(Full.begin() + 2 * 2034, Full.begin() + 2 * 2040));
  R.W->SetStartSample(9999);
  R.W->SetEndSample(-1);
  EXPECT_EQ(ReadAll(*R.W), Bytes(Full.begin() + 2 * 9999, Full.end()));
}

TEST(WaveInRangeTest, LoopStartsOverWithoutEnding) {
  const Bytes Data = Pcm16(1000, 1);
  TMemReader R(PcmFile(Data, 1));
  R.W->SetLoop(true);
  R.W->SetStartSample(200);
  R.W->Init();
  Bytes Got(6000);
  for (size_t Done = 0; Done < Got.size();) {
    const int N =
        R.W->GetData(Got.data() + Done, static_cast<int>(std::min<size_t>(700, Got.size() - Done)));
    ASSERT_GT(N, 0) << "at " << Done;
    Done += static_cast<size_t>(N);
  }
  R.W->Flush();
  for (size_t I = 0; I < Got.size(); ++I) ASSERT_EQ(Got[I], Data[400 + I % 1600]) << I;
}

TEST(WaveInRangeTest, LoopOverEmptyDataEnds) {
  TMemReader R(PcmFile({}, 1));
  R.W->SetLoop(true);
  EXPECT_TRUE(R.W->Valid());
  EXPECT_TRUE(ReadAll(*R.W).empty());
}

// ---------------------------------------------------------------- files

TEST(WaveInFileTest, QueriesLeaveTheFileClosedOutsideAJob) {
  TempDir D;
  WriteFileBytes(D.Path("a.wav"), PcmFile(Pcm16(44100, 2), 2));
  auto W = MakeComponent<TWaveIn>(nullptr);
  W->SetFileName(D.Path("a.wav"));
  const int Before = OpenDescriptors();
  auto Fields = [&] {
    return std::vector<int>{W->Valid(),
                            W->InChannels(),
                            W->InSampleRate(),
                            W->InBitsPerSample(),
                            static_cast<int>(W->SampleCount()),
                            W->TotalTime(),
                            W->WavType()};
  };
  const std::vector<int> Idle = Fields();
  EXPECT_EQ(Idle, (std::vector<int>{1, 2, 8000, 16, 44100, 6, wtPCM}));
  EXPECT_EQ(OpenDescriptors(), Before);
  W->Init();
  EXPECT_EQ(OpenDescriptors(), Before + 1);
  EXPECT_EQ(Fields(), Idle);
  EXPECT_EQ(OpenDescriptors(), Before + 1);
  W->Flush();
  EXPECT_EQ(Fields(), Idle);
  EXPECT_EQ(OpenDescriptors(), Before);
}

// A looping job on one thread starts over many times while another thread
// asks for the format: both see consistent values and the data stays whole.
TEST(WaveInFileTest, QueriesFromAnotherThreadDuringALoopingJob) {
  TempDir D;
  const Bytes Data = Pcm16(300, 2);
  WriteFileBytes(D.Path("a.wav"), PcmFile(Data, 2));
  auto W = MakeComponent<TWaveIn>(nullptr);
  W->SetFileName(D.Path("a.wav"));
  W->SetLoop(true);
  W->Init();
  std::atomic<bool> Done{false}, QueriesSeen{true};
  std::atomic<int> Queries{0};
  Bytes Got;
  std::thread Worker([&] {
    uint8_t B[500];
    while (Got.size() < 200000) {
      // Half way the job waits for the queries, so that they happen during
      // it however the threads are scheduled.
      if (Got.size() >= 100000 && Queries < 50) {
        const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (Queries < 50 && std::chrono::steady_clock::now() < Until) std::this_thread::yield();
        QueriesSeen = Queries >= 50;
      }
      const int N = W->GetData(B, sizeof B);
      if (N == 0) break;
      Got.insert(Got.end(), B, B + N);
    }
    Done = true;
  });
  bool Consistent = true;
  while (!Done) {
    if (!W->Valid() || W->InChannels() != 2 || W->SampleCount() != 300) Consistent = false;
    ++Queries;
  }
  Worker.join();
  W->Flush();
  EXPECT_TRUE(Consistent) << "a query during the job saw other values";
  ASSERT_TRUE(QueriesSeen) << "no queries reached the job within 30 s";
  ASSERT_GE(Got.size(), 200000u);
  for (size_t I = 0; I < Got.size(); ++I) ASSERT_EQ(Got[I], Data[I % Data.size()]) << I;
}

TEST(WaveInFileTest, InvalidFileStaysInvalidDuringAJob) {
  TMemReader R(PcmFile(Pcm16(100, 1), 1, {}, 12));
  R.W->Init();
  EXPECT_FALSE(R.W->Valid());
  uint8_t B[16];
  EXPECT_EQ(R.W->GetData(B, sizeof B), 0);
  R.W->Flush();
  EXPECT_EQ(R.S.Position(), 0);  // a given stream is rewound, not freed
}

TEST(WaveInFileTest, ZeroRateGivesNoTotalTime) {
  Bytes C;
  Chunk(C, "fmt ", Fmt(1, 1, 0, 2, 16));
  Chunk(C, "data", Pcm16(100, 1));
  TMemReader R(Riff(C));
  EXPECT_TRUE(R.W->Valid());
  EXPECT_EQ(R.W->TotalTime(), 0);
}

TEST(WaveInFileTest, MisuseRaises) {
  auto W = MakeComponent<TWaveIn>(nullptr);
  uint8_t B[16];
  try {
    W->GetData(B, sizeof B);
    ADD_FAILURE() << "GetData outside a job";
  } catch (const EACSException& E) {
    EXPECT_STREQ(E.what(), "The Stream is not opened");
  }
  EXPECT_FALSE(W->Valid());
  EXPECT_THROW(W->Init(), EACSException);  // no file name
  W->SetFileName("/nonexistent/velmora.wav");
  EXPECT_THROW(W->Init(), EFOpenError);
  EXPECT_FALSE(W->Busy());
}

}  // namespace
