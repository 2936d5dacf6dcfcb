// The CD layer on disc images: the drive list, the checked table of
// contents with its control bits, audio reads at the disc's edges, and the
// fixed-size text fields.
#include "platform/CdAccess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "platform/CdText.h"
#include "tests/support/CdTestSupport.h"

using namespace testing_support;

namespace {

class CdAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HavePython()) GTEST_SKIP() << "python3 is needed to make disc images";
    // The machine's own drives stay out of these tests.
    SetCDDeviceLister([] { return std::vector<std::string>(); });
    ForgetCDDrives();
  }
  void TearDown() override {
    for (TCDHandle H : Handles) CloseCDHandle(H);
    ForgetCDDrives();
    SetCDDeviceLister(nullptr);
  }
  // Names Path as a drive and opens it; 0 when it cannot be opened.
  TCDHandle Open(const std::string& Path) {
    if (!AddCDDrive(Path)) return 0;
    DriveList L{};
    L.Max = 8;
    GetCDList(&L);
    for (int I = 0; I < L.Count; ++I) {
      if (CDDrivePath(L.Drives[I]) != Path) continue;
      const DriveOpenRequest R{12, 1, L.Drives[I].HostAdapter, L.Drives[I].Target, L.Drives[I].Lun,
                               {}};
      const TCDHandle H = GetCDHandle(&R);
      if (H) Handles.push_back(H);
      return H;
    }
    return 0;
  }
  TempDir Dir;
  std::vector<TCDHandle> Handles;
};

TEST_F(CdAccess, MixedModeTableCarriesControlBitsAndBigEndianAddresses) {
  const std::string Cue = MakeDiscImage(Dir.Dir(), "mixed", MixedModeDisc());
  ASSERT_FALSE(Cue.empty());
  const TCDHandle H = Open(Cue);
  ASSERT_NE(H, 0u);
  EXPECT_EQ(ModifyCDParms(H, kCdParmAddressMode, 0), 1u);
  EXPECT_EQ(ModifyCDParms(H, kCdParmAddressMode, 1), 0u) << "only block addresses are offered";
  TableOfContents Toc;
  ASSERT_EQ(ReadTOC(H, &Toc), 1u);
  EXPECT_EQ(Toc.FirstTrack, 1);
  EXPECT_EQ(Toc.LastTrack, 4);
  EXPECT_EQ(Toc.Length, 2 + 8 * 5);
  // Data; audio with pre-emphasis; audio, copy permitted; four-channel audio.
  const uint8_t Controls[] = {0x14, 0x11, 0x12, 0x18};
  const std::vector<int> Starts = TrackStarts(MixedModeDisc());
  for (int K = 0; K < 4; ++K) {
    EXPECT_EQ(Toc.Entries[K].AdrControl, Controls[K]) << "track " << K + 1;
    EXPECT_EQ(Toc.Entries[K].TrackNumber, K + 1);
    EXPECT_EQ(TocAddress(Toc.Entries[K]), Starts[K]);
  }
  // 300 = 0x12c, most significant byte first.
  const uint8_t Big[4] = {0, 0, 0x01, 0x2c};
  EXPECT_EQ(std::memcmp(Toc.Entries[1].Address, Big, 4), 0);
  EXPECT_EQ(Toc.Entries[4].TrackNumber, kLeadOutTrack);
  EXPECT_EQ(TocAddress(Toc.Entries[4]), LeadOut(MixedModeDisc()));
  TableOfContents Kept;
  ASSERT_TRUE(CDHandleToc(H, Kept));
  EXPECT_EQ(std::memcmp(&Kept, &Toc, sizeof Toc), 0);
}

TEST_F(CdAccess, WithoutDrivesNothingIsListedOrOpened) {
  DriveList L{};
  L.Max = 8;
  EXPECT_EQ(GetCDList(&L), 0u);
  EXPECT_EQ(L.Count, 0);
  const DriveOpenRequest R{12, 1, 0, 0, 0, {}};
  EXPECT_EQ(GetCDHandle(&R), 0u);
  EXPECT_FALSE(AddCDDrive(Dir.Path("missing.cue")));
  EXPECT_EQ(GetCDList(&L), 0u);
}

TEST_F(CdAccess, DriveWhoseTableIsNotSaneHasNoTable) {
  // /dev/null opens as a drive and reports track 255.
  const TCDHandle H = Open("/dev/null");
  ASSERT_NE(H, 0u);
  TableOfContents Toc;
  std::memset(&Toc, 0x5a, sizeof Toc);
  EXPECT_EQ(ReadTOC(H, &Toc), 0u);
  EXPECT_EQ(Toc.FirstTrack, 0);
  EXPECT_EQ(Toc.LastTrack, 0);
  EXPECT_FALSE(CDHandleToc(H, Toc));
}

TEST_F(CdAccess, ClosedHandleIsRefusedAndNeverReused) {
  const std::string Cue = MakeDiscImage(Dir.Dir(), "audio", AudioDisc());
  const TCDHandle A = Open(Cue);
  ASSERT_NE(A, 0u);
  EXPECT_EQ(CloseCDHandle(A), 1u);
  EXPECT_EQ(CloseCDHandle(A), 0u);
  TableOfContents Toc;
  EXPECT_EQ(ReadTOC(A, &Toc), 0u);
  EXPECT_EQ(ModifyCDParms(A, kCdParmAddressMode, 0), 0u);
  const TCDHandle B = Open(Cue);
  EXPECT_NE(B, 0u);
  EXPECT_NE(B, A);
}

TEST_F(CdAccess, NamedDrivesAreListedOnceAfterTheSystemsByTheirPath) {
  SetCDDeviceLister([] { return std::vector<std::string>{"/dev/null"}; });
  const std::string Cue = MakeDiscImage(Dir.Dir(), "audio", AudioDisc());
  // A path longer than the field keeps its end, where the file name is.
  const std::string Deep =
      Dir.Path(std::string(40, 'x') + "-\xc3\xa9t\xc3\xa9-" + std::string(30, 'y'));
  std::filesystem::create_directory(Deep);
  const std::string Long = Deep + "/disc.cue";
  std::filesystem::copy_file(Cue, Long);
  ASSERT_TRUE(AddCDDrive(Cue));
  ASSERT_TRUE(AddCDDrive(Long));
  ASSERT_TRUE(AddCDDrive(Cue));
  DriveList L{};
  L.Max = 8;
  ASSERT_EQ(GetCDList(&L), 3u);
  EXPECT_EQ(CDDrivePath(L.Drives[0]), "/dev/null");
  EXPECT_EQ(L.Drives[0].HostAdapter, 0);
  EXPECT_EQ(CDDrivePath(L.Drives[1]), Cue);
  EXPECT_EQ(CdFieldText(L.Drives[1].Id, sizeof L.Drives[1].Id), Cue);
  EXPECT_EQ(CDDrivePath(L.Drives[2]), Long);
  const std::string Shown = CdFieldText(L.Drives[2].Id, sizeof L.Drives[2].Id);
  EXPECT_LE(std::strlen(L.Drives[2].Id), 64u);
  EXPECT_EQ(Shown.substr(0, 3), "...");
  EXPECT_EQ(Shown.substr(Shown.size() - 9), "/disc.cue");
  L.Max = 2;
  EXPECT_EQ(GetCDList(&L), 2u) << "the caller's room is kept to";
}

TEST_F(CdAccess, AudioReadsDeliverTheSectorsAsked) {
  const std::string Cue = MakeDiscImage(Dir.Dir(), "audio", AudioDisc());
  const TCDHandle H = Open(Cue);
  ASSERT_NE(H, 0u);
  TableOfContents Toc;
  ASSERT_EQ(ReadTOC(H, &Toc), 1u);
  TTrackBufferPtr B = NewTrackBuffer(25);
  EXPECT_EQ(B->MaxLen, 25 * kCdFrameBytes);
  B->StartFrame = 90;  // across the start of track 2
  B->NumFrames = 25;
  ASSERT_EQ(ReadCDAudioLBA(H, B.get()), 1u);
  EXPECT_EQ(B->NumFrames, 25);
  EXPECT_EQ(B->Len, 25 * kCdFrameBytes);
  EXPECT_EQ(B->Status, 0);
  const uint8_t* D = TrackBufferData(B.get()) + B->StartOffset;
  for (int S = 0; S < 25; ++S) {
    int16_t Left, Right;
    std::memcpy(&Left, D + S * kCdFrameBytes + 4 * 300, 2);
    std::memcpy(&Right, D + S * kCdFrameBytes + 4 * 300 + 2, 2);
    EXPECT_EQ(Left, 90 + S);
    EXPECT_EQ(Right, 300);
  }
  // More than the buffer holds is cut to its room.
  B->StartFrame = 0;
  B->NumFrames = 40;
  EXPECT_EQ(ReadCDAudioLBA(H, B.get()), 1u);
  EXPECT_EQ(B->NumFrames, 25);
}

// Sheets that the image driver would misread (or read outside its tables
// for, from a first track of 69 up) are refused before it sees them, with a
// reason; the sheets it reads well still open, unpadded numbers included.
TEST_F(CdAccess, SheetsTheImageDriverWouldMisreadAreRefusedWithAReason) {
  ASSERT_FALSE(MakeDiscImage(Dir.Dir(), "good", AudioDisc()).empty());
  const std::vector<uint8_t> Sectors = ReadFileBytes(Dir.Path("good.bin"));
  const auto Image = [&](const std::string& Name, const std::string& Sheet) {
    WriteFileBytes(Dir.Path(Name + ".bin"), Sectors);
    WriteFileBytes(Dir.Path(Name + ".cue"), std::vector<uint8_t>(Sheet.begin(), Sheet.end()));
    return Dir.Path(Name + ".cue");
  };
  const auto Tracks = [](int First, int Count) {
    std::string S = "FILE \"x.bin\" BINARY\n";
    for (int T = First; T < First + Count; ++T)
      S += "  TRACK " + std::to_string(T) +
           " AUDIO\n    INDEX 01 00:00:" + std::to_string(10 + T % 60) + "\n";
    return S;
  };
  struct TCase {
    std::string Name, Sheet, Problem;
  };
  const std::vector<TCase> Refused = {
      {"first69", Tracks(69, 1), "line 2 of the cue sheet does not number its track 1"},
      {"first2", Tracks(2, 2), "line 2 of the cue sheet does not number its track 1"},
      {"gap", Tracks(1, 2) + "  TRACK 04 AUDIO\n",
       "line 6 of the cue sheet does not number its track 3"},
      {"many", Tracks(1, 99) + "  TRACK 100 AUDIO\n",
       "line 200 of the cue sheet does not number its track 100"},
      {"long", "REM " + std::string(600, 'a') + "\n" + Tracks(1, 1),
       "line 1 of the cue sheet is longer than 500 bytes"},
      {"nul", Tracks(1, 1) + std::string(1, '\0') + "TRACK 02 AUDIO\n",
       "the cue sheet is not text"},
  };
  for (const TCase& C : Refused) {
    const std::string Cue = Image(C.Name, C.Sheet);
    EXPECT_EQ(CDDriveProblem(Cue), C.Problem) << C.Name;
    EXPECT_EQ(Open(Cue), 0u) << C.Name;
  }
  // A pipe would block the driver for ever: as the sectors beside the
  // sheet, and as its CD-TEXT file.
  const std::string Piped = Image("piped", Tracks(1, 1));
  std::filesystem::remove(Dir.Path("piped.bin"));
  ASSERT_EQ(::mkfifo(Dir.Path("piped.bin").c_str(), 0600), 0);
  EXPECT_EQ(CDDriveProblem(Piped), "the disc image beside the cue sheet is not a plain file");
  EXPECT_EQ(Open(Piped), 0u);
  ASSERT_EQ(::mkfifo(Dir.Path("text.cdt").c_str(), 0600), 0);
  const std::string Text = Image("text", "CDTEXTFILE \"text.cdt\"\n" + Tracks(1, 1));
  EXPECT_EQ(CDDriveProblem(Text),
            "line 1 of the cue sheet names a CD-TEXT file that is not a plain file");
  EXPECT_EQ(Open(Text), 0u);

  // Read as before: the image maker's own sheet, and unpadded numbers. (The
  // list holds 8 drives.)
  ForgetCDDrives();
  EXPECT_EQ(CDDriveProblem(Dir.Path("good.cue")), "");
  EXPECT_NE(Open(Dir.Path("good.cue")), 0u);
  const std::string Plain = Image("plain", Tracks(1, 3));
  EXPECT_EQ(CDDriveProblem(Plain), "");
  const TCDHandle H = Open(Plain);
  ASSERT_NE(H, 0u);
  TableOfContents Toc;
  ASSERT_EQ(ReadTOC(H, &Toc), 1u);
  EXPECT_EQ(Toc.FirstTrack, 1);
  EXPECT_EQ(Toc.LastTrack, 3);
}

TEST_F(CdAccess, ReadsBeyondTheDiscAreSilenceAndFail) {
  const std::string Cue = MakeDiscImage(Dir.Dir(), "audio", AudioDisc());
  const TCDHandle H = Open(Cue);
  ASSERT_NE(H, 0u);
  TableOfContents Toc;
  ASSERT_EQ(ReadTOC(H, &Toc), 1u);
  const int End = LeadOut(AudioDisc());
  TTrackBufferPtr B = NewTrackBuffer(25);
  std::memset(TrackBufferData(B.get()), 0xab, 25 * kCdFrameBytes);
  B->StartFrame = End - 5;
  B->NumFrames = 25;
  EXPECT_EQ(ReadCDAudioLBA(H, B.get()), 0u);
  EXPECT_EQ(B->Status, 1);
  // Every sector asked for is delivered, so a walk through a track ends.
  EXPECT_EQ(B->NumFrames, 25);
  EXPECT_EQ(B->Len, 25 * kCdFrameBytes);
  const uint8_t* D = TrackBufferData(B.get());
  int16_t Left;
  std::memcpy(&Left, D + 4 * kCdFrameBytes, 2);
  EXPECT_EQ(Left, End - 1) << "the sectors inside the disc are read";
  for (int I = 5 * kCdFrameBytes; I < 25 * kCdFrameBytes; ++I)
    ASSERT_EQ(D[I], 0) << "byte " << I << " past the lead-out";
  B->StartFrame = -10;
  B->NumFrames = 20;
  EXPECT_EQ(ReadCDAudioLBA(H, B.get()), 0u);
  std::memcpy(&Left, D + 10 * kCdFrameBytes, 2);
  EXPECT_EQ(Left, 0) << "sector 0 lands where it was asked for";
  std::memcpy(&Left, D + 11 * kCdFrameBytes, 2);
  EXPECT_EQ(Left, 1);
  EXPECT_EQ(ReadCDAudioLBA(H + 1000, B.get()), 0u) << "no such handle";
}

TEST(CdText, FieldsHoldWholeCharactersAndAlwaysEndInZero) {
  char Field[8];
  std::memset(Field, 'x', sizeof Field);
  SetCdField(Field, sizeof Field, "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9");  // four e-acute
  EXPECT_STREQ(Field, "\xc3\xa9\xc3\xa9\xc3\xa9");
  EXPECT_EQ(Field[7], 0);
  SetCdField(Field, sizeof Field, "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e");  // three CJK
  EXPECT_STREQ(Field, "\xe6\x97\xa5\xe6\x9c\xac");
  SetCdField(Field, sizeof Field, "abc");
  EXPECT_EQ(std::memcmp(Field, "abc\0\0\0\0\0", 8), 0) << "the rest is zeroed";
  // Latin-1 becomes UTF-8 on the way in and on the way out.
  SetCdField(Field, sizeof Field, "Caf\xe9");
  EXPECT_STREQ(Field, "Caf\xc3\xa9");
  const char Legacy[6] = {'B', 'j', '\xf6', 'r', 'k', 0};
  EXPECT_EQ(CdFieldText(Legacy, sizeof Legacy), "Bj\xc3\xb6rk");
  // A field without its zero, cut inside a character, reads to the cut.
  const char Cut[4] = {'a', 'b', '\xe6', '\x97'};
  EXPECT_EQ(CdFieldText(Cut, sizeof Cut), "ab");
  EXPECT_EQ(Utf8OrLatin1("\xed\xa0\x80"), "\xc3\xad\xc2\xa0\xc2\x80") << "a surrogate is no UTF-8";
  EXPECT_EQ(Utf8PrefixLength("a\xc3\xa9", 2), 1u);
}

}  // namespace
