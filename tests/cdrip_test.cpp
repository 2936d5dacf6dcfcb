// Ripping disc images: per-track files equal to the image's sectors, checked
// reads that refuse what the disc does not hold, safe file names, the single
// file with its cue sheet, the rip log's checksums against an implementation
// of their own here, stopping, and MP3 files with their tags.
#include "app/CdRip.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include "app/RipUtility.h"
#include "codecs/ACS_LAME.h"
#include "engine/ACS_AudioMix.h"
#include "tests/support/CdTestSupport.h"
#include "wave/ACS_Wave.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr size_t kSector = 2352;

std::string Slurp(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

// The sectors [From, From + Count) of an image's .bin.
std::string Sectors(const std::string& Cue, int From, int Count) {
  const std::string Bin = Slurp(Cue.substr(0, Cue.size() - 4) + ".bin");
  return Bin.substr(From * kSector, Count * kSector);
}

uint32_t Le32(const std::string& S, size_t At) {
  return static_cast<uint8_t>(S[At]) | static_cast<uint8_t>(S[At + 1]) << 8 |
         static_cast<uint8_t>(S[At + 2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(S[At + 3])) << 24;
}

// The data chunk of a WAV file, found by walking its chunks.
std::string WavData(const std::string& Path) {
  const std::string W = Slurp(Path);
  for (size_t At = 12; At + 8 <= W.size();) {
    const uint32_t Size = Le32(W, At + 4);
    if (W.compare(At, 4, "data") == 0) return W.substr(At + 8, Size);
    At += 8 + Size + (Size & 1);
  }
  return "<no data chunk>";
}

// CRC-32 bit by bit, and the AccurateRip sums as the published description
// gives them: each stereo sample as a 32-bit word times its 1-based
// position, the first track without its first 5 sectors less one sample,
// the last without its last 5 sectors.
uint32_t SlowCrc32(const std::string& D) {
  uint32_t C = 0xFFFFFFFFu;
  for (unsigned char B : D) {
    C ^= B;
    for (int K = 0; K < 8; ++K) C = (C >> 1) ^ (0xEDB88320u & (0u - (C & 1)));
  }
  return ~C;
}
void AccurateRip(const std::string& D, bool First, bool Last, uint32_t& V1, uint32_t& V2) {
  const size_t N = D.size() / 4;
  V1 = V2 = 0;
  for (size_t I = First ? 5 * 588 - 1 : 0; I < (Last ? N - 5 * 588 : N); ++I) {
    uint32_t S;
    std::memcpy(&S, D.data() + 4 * I, 4);
    const uint64_t M = I + 1;
    V1 += static_cast<uint32_t>(M * S);
    const uint64_t P = M * S;
    V2 += static_cast<uint32_t>(P >> 32) + static_cast<uint32_t>(P & 0xFFFFFFFFu);
  }
}

std::string Hex(uint32_t V) {
  char B[16];
  std::snprintf(B, sizeof B, "%08X", V);
  return B;
}

// Every file below Dir, by path relative to it.
std::set<std::string> Listing(const std::string& Dir) {
  std::set<std::string> R;
  for (const auto& E : fs::recursive_directory_iterator(Dir))
    R.insert(fs::relative(E.path(), Dir).string());
  return R;
}

class CdRip : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HavePython()) GTEST_SKIP() << "python3 is needed to make disc images";
    SetCDDeviceLister([] { return std::vector<std::string>(); });
    ForgetCDDrives();
    Owner.reset(new TComponent(nullptr));
    C.WaveIn1 = new TWaveIn(Owner.get());
    C.WaveIn2 = new TWaveIn(Owner.get());
    C.Mixer = new TAudioMixer(Owner.get());
    C.Mixer->SetInput1(C.WaveIn1);
    C.Mixer->SetInput2(C.WaveIn2);
    C.Mixer->SetMode(amConcatenate);
    C.WaveOut = new TWaveOut(Owner.get());
    C.WaveOut->SetInput(C.Mixer);
    C.WaveOut->SetFileMode(foRewrite);
    C.WaveOut->SetWavType(wtPCM);
    C.FinalWaveIn = new TWaveIn(Owner.get());
  }
  void TearDown() override {
    Owner.reset();
    for (TCDHandle H : Handles) CloseCDHandle(H);
    ForgetCDDrives();
    SetCDDeviceLister(nullptr);
  }
  // Opens the image of Layout; Toc gets its table.
  TCDHandle Open(const TDiscLayout& Layout, const std::string& Name = "disc") {
    Cue = MakeDiscImage(Dir.Dir(), Name, Layout);
    if (Cue.empty() || !AddCDDrive(Cue)) return 0;
    DriveList L{};
    L.Max = 8;
    GetCDList(&L);
    for (int I = 0; I < L.Count; ++I) {
      if (CDDrivePath(L.Drives[I]) != Cue) continue;
      const DriveOpenRequest R = CdOpenRequest(L.Drives[I]);
      const TCDHandle H = GetCDHandle(&R);
      if (!H || ReadTOC(H, &Toc) != 1) return 0;
      Handles.push_back(H);
      return H;
    }
    return 0;
  }
  TRipRequest Request(TCDHandle H, const std::vector<int>& Entries) {
    TRipRequest R;
    R.Handle = H;
    R.Toc = Toc;
    R.Drive = Cue;
    R.Folder = Out;
    for (int K : Entries) {
      char B[32];
      std::snprintf(B, sizeof B, "Track-%.2d ", K + 1);
      R.Tracks.push_back({K, B, ""});
    }
    return R;
  }
  TRipOutcome RunJob(const TRipRequest& R, TRipEvents E = {}) {
    std::vector<std::string> Said;
    if (!E.Status) E.Status = [this](const std::string& S) { Statuses.push_back(S); };
    TRipJob Job(C, R, E);
    JobInRun = &Job;
    TRipOutcome O = Job.Run();
    JobInRun = nullptr;
    return O;
  }
  void MakeOut() { fs::create_directories(Out); }

  TempDir Dir;
  std::string Out = Dir.Path("out");
  std::string Cue;
  TableOfContents Toc{};
  std::vector<TCDHandle> Handles;
  TOwned<TComponent> Owner;
  TRipComponents C;
  std::vector<std::string> Statuses;
  TRipJob* JobInRun = nullptr;
};

TEST_F(CdRip, TracksAreTheImagesSectorsByteForByte) {
  const TCDHandle H = Open({{"audio", 100, ""}, {"audio", 237, ""}, {"audio", 77, ""}});
  ASSERT_NE(H, 0u);
  MakeOut();
  std::vector<int> Percents;
  const TRipTrackResult R1 =
      RipCdTrack(H, Toc, 0, 100, Dir.Path("t1.wav"), true, [&](int P) { Percents.push_back(P); });
  ASSERT_TRUE(R1.Ok) << R1.Error;
  EXPECT_EQ(Percents, (std::vector<int>{25, 50, 75, 100})) << "four reads of 25 sectors";
  const std::string W1 = Slurp(Dir.Path("t1.wav"));
  ASSERT_EQ(W1.size(), 44u + 235200u);
  EXPECT_EQ(W1.substr(0, 4), "RIFF");
  EXPECT_EQ(Le32(W1, 4), 235200u + 36);
  EXPECT_EQ(Le32(W1, 24), 44100u);
  EXPECT_EQ(Le32(W1, 40), 235200u);
  EXPECT_EQ(W1.substr(44), Sectors(Cue, 0, 100));

  // 237 sectors: nine full reads and a short one that must not run into
  // track 3.
  Percents.clear();
  const TRipTrackResult R2 =
      RipCdTrack(H, Toc, 1, 237, Dir.Path("t2.wav"), false, [&](int P) { Percents.push_back(P); });
  ASSERT_TRUE(R2.Ok) << R2.Error;
  EXPECT_EQ(Percents.size(), 10u);
  EXPECT_EQ(R2.Frames, 237);
  EXPECT_EQ(WavData(Dir.Path("t2.wav")), Sectors(Cue, 100, 237));

  // The job names the files after the rows and puts them in the folder.
  const TRipOutcome O = RunJob(Request(H, {0, 1, 2}));
  EXPECT_EQ(O.Message, "Rip done.");
  EXPECT_EQ(Slurp(Out + "/Track-03 .wav").substr(44), Sectors(Cue, 337, 77));
  EXPECT_EQ(Listing(Out),
            (std::set<std::string>{"Track-01 .wav", "Track-02 .wav", "Track-03 .wav", "Rip.log"}));
  EXPECT_EQ(Statuses.front(), "Ripping Track-01 ...");
}

TEST_F(CdRip, SectorsTheImageDoesNotHoldFailTheTrackAndLeaveNoFile) {
  const TCDHandle H = Open({{"audio", 100, ""}, {"audio", 237, ""}, {"audio", 77, ""}});
  ASSERT_NE(H, 0u);
  // The .bin loses its last 40 sectors after the table was read: the
  // table still promises them.
  fs::resize_file(Cue.substr(0, Cue.size() - 4) + ".bin", 374 * kSector);
  const TRipTrackResult R = RipCdTrack(H, Toc, 2, 77, Dir.Path("t3.wav"), true, nullptr);
  EXPECT_FALSE(R.Ok);
  EXPECT_EQ(R.Error, "Read error");
  EXPECT_GT(R.Retries, 0) << "the failed read was repeated";
  EXPECT_FALSE(fs::exists(Dir.Path("t3.wav")));

  // In a job the track is reported and the next one still ripped.
  MakeOut();
  std::vector<int> FailedRows;
  TRipEvents E;
  E.TrackFailed = [&](int K) { FailedRows.push_back(K); };
  const TRipOutcome O = RunJob(Request(H, {2, 0}), E);
  EXPECT_EQ(FailedRows, std::vector<int>{2});
  EXPECT_EQ(O.Message, "Rip done. 1 track failed.");
  EXPECT_EQ(Listing(Out), (std::set<std::string>{"Track-01 .wav", "Rip.log"}));
  const std::string Log = Slurp(Out + "/Rip.log");
  EXPECT_NE(Log.find("Track 03\n  File: (none)\n  Error: Read error"), std::string::npos) << Log;
}

TEST_F(CdRip, DataTracksAndAChangedDiscAreRefused) {
  const TCDHandle H = Open(MixedModeDisc());
  ASSERT_NE(H, 0u);
  const TRipTrackResult R = RipCdTrack(H, Toc, 0, 300, Dir.Path("data.wav"), true, nullptr);
  EXPECT_FALSE(R.Ok);
  EXPECT_EQ(R.Error, "Data track");
  EXPECT_FALSE(fs::exists(Dir.Path("data.wav")));

  MakeOut();
  TRipRequest Changed = Request(H, {2});
  Changed.Toc.Entries[2].Address[3] ^= 1;  // the listing saw another disc
  const TRipOutcome O = RunJob(Changed);
  EXPECT_TRUE(O.Refused);
  EXPECT_EQ(O.Message, kRipDiscChanged);
  EXPECT_TRUE(Listing(Out).empty());
}

TEST_F(CdRip, TitlesNeverLeadOutsideTheFolderNorOverwriteEachOther) {
  EXPECT_EQ(RipTrackName("Track-01  - Audio Track"), "Track-01 ");
  EXPECT_EQ(RipTrackName("Song - AUDIO track (live)"), "Song (live)");
  EXPECT_EQ(RipSafeStem("AC/DC", 1), "AC_DC");
  EXPECT_EQ(RipSafeStem(std::string("a\0b\tc", 5), 1), "a_b_c");
  EXPECT_EQ(RipSafeStem("..", 7), "Track-07");
  EXPECT_EQ(RipSafeStem("", 12), "Track-12");
  EXPECT_EQ(ReplaceExtension("/x.mp3s/a.b/song.MP3", ".wav"), "/x.mp3s/a.b/song.wav");
  EXPECT_EQ(ReplaceExtension("/x.mp3/song", ".wav"), "/x.mp3/song.wav");
  TRipNames Names;
  // A 300-byte title of two-byte characters is cut between characters.
  std::string Long;
  for (int I = 0; I < 150; ++I) Long += "\xc3\xa9";
  const std::string Cut = Names.Take(Long, ".wav");
  EXPECT_LE(Cut.size(), kRipNameMax);
  EXPECT_EQ(Cut.substr(Cut.size() - 4), ".wav");
  EXPECT_EQ(Cut.size() % 2, 0u) << "no character is split";
  EXPECT_EQ(Names.Take(Long, ".wav").substr(Cut.size() - 8), " (2).wav");

  const TCDHandle H = Open({{"audio", 30, ""},
                            {"audio", 30, ""},
                            {"audio", 30, ""},
                            {"audio", 30, ""},
                            {"audio", 30, ""},
                            {"audio", 30, ""}});
  ASSERT_NE(H, 0u);
  MakeOut();
  const auto Before = Listing(Dir.Dir());
  TRipRequest R = Request(H, {0, 1, 2, 3, 4, 5});
  const char* Titles[] = {"../../x", "AC/DC", "", "Same", "Same", nullptr};
  for (int K = 0; K < 5; ++K) R.Tracks[K].Name = Titles[K];
  R.Tracks[5].Name = std::string(300, 'z');
  const TRipOutcome O = RunJob(R);
  EXPECT_EQ(O.Done, 6);
  std::set<std::string> Want = {"..",       "AC_DC.wav",    "Track-03.wav",
                                "Same.wav", "Same (2).wav", std::string(246, 'z') + ".wav",
                                "Rip.log"};
  Want.erase("..");
  Want.insert(".._.._x.wav");
  EXPECT_EQ(Listing(Out), Want);
  // Nothing beside the folder changed (the image is all there is).
  auto After = Listing(Dir.Dir());
  for (const std::string& F : Want) After.erase("out/" + F);
  EXPECT_EQ(After, Before);
  for (int K = 0; K < 6; ++K) {
    const std::string& F = O.Tracks[K].File;
    EXPECT_EQ(WavData(F), Sectors(Cue, 30 * K, 30)) << F;
  }
}

TEST_F(CdRip, LogChecksumsAgreeWithAnIndependentReckoning) {
  // Long enough for the first and last tracks' skipped sectors to matter.
  const TCDHandle H = Open({{"audio", 40, ""}, {"audio", 33, ""}, {"audio", 50, ""}});
  ASSERT_NE(H, 0u);
  MakeOut();
  const TRipOutcome O = RunJob(Request(H, {0, 1, 2}));
  ASSERT_EQ(O.Done, 3);
  const std::string Log = Slurp(O.LogFile);
  EXPECT_EQ(O.LogFile, Out + "/Rip.log");
  const int Start[] = {0, 40, 73}, Length[] = {40, 33, 50};
  for (int K = 0; K < 3; ++K) {
    const std::string D = Sectors(Cue, Start[K], Length[K]);
    uint32_t V1, V2;
    AccurateRip(D, K == 0, K == 2, V1, V2);
    const std::string Want = "Track 0" + std::to_string(K + 1) + "\n  File: " + O.Tracks[K].File +
                             "\n  Frames: " + std::to_string(Length[K]) +
                             "\n  CRC-32: " + Hex(SlowCrc32(D)) + "\n  AccurateRip v1: " + Hex(V1) +
                             "\n  AccurateRip v2: " + Hex(V2) + "\n  Reads: checked, 0 retried\n";
    EXPECT_NE(Log.find(Want), std::string::npos) << Want << "\n---\n" << Log;
  }
  const TDiscLayout L = {{"audio", 40, ""}, {"audio", 33, ""}, {"audio", 50, ""}};
  EXPECT_NE(Log.find("CDDB disc ID: " + Hex(CddbDiscId(TrackStarts(L), LeadOut(L)))),
            std::string::npos);
  EXPECT_NE(Log.find("  02  40  33  audio\n"), std::string::npos) << Log;
}

TEST_F(CdRip, SingleFileJoinsTheTracksWithACueSheetAndNoWorkFilesLeft) {
  const TCDHandle H = Open(AudioDisc());
  ASSERT_NE(H, 0u);
  MakeOut();
  TRipRequest R = Request(H, {0, 1, 2});
  R.SingleFile = Out + "/all.wav";
  R.Album = "An \"Album\"";
  R.Artist = "Band";
  R.Tracks[1].Title = "Second";
  const TRipOutcome O = RunJob(R);
  ASSERT_EQ(O.Message, "Rip done.");
  EXPECT_EQ(WavData(R.SingleFile), Sectors(Cue, 0, 1177));
  EXPECT_EQ(Listing(Out), (std::set<std::string>{"all.wav", "all.cue", "An \"Album\".log"}));
  const std::string Sheet = Slurp(Out + "/all.cue");
  // Each INDEX 01 gives the track's first frame in the file.
  std::regex Index("INDEX 01 (\\d\\d):(\\d\\d):(\\d\\d)");
  std::vector<int> Offsets;
  for (auto It = std::sregex_iterator(Sheet.begin(), Sheet.end(), Index);
       It != std::sregex_iterator(); ++It)
    Offsets.push_back(std::stoi((*It)[1]) * 4500 + std::stoi((*It)[2]) * 75 + std::stoi((*It)[3]));
  EXPECT_EQ(Offsets, (std::vector<int>{0, 100, 1100})) << Sheet;
  EXPECT_EQ(Sheet.substr(0, Sheet.find("  TRACK")),
            "PERFORMER \"Band\"\nTITLE \"An 'Album'\"\nFILE \"all.wav\" WAVE\n");
  EXPECT_NE(Sheet.find("  TRACK 02 AUDIO\n    TITLE \"Second\"\n    PERFORMER \"Band\"\n"),
            std::string::npos)
      << Sheet;
}

TEST_F(CdRip, StopDuringTheSecondTrackKeepsTheFirstOnly) {
  const TCDHandle H = Open(AudioDisc());
  ASSERT_NE(H, 0u);
  MakeOut();
  TRipRequest R = Request(H, {0, 1, 2});
  R.SingleFile = Out + "/all.wav";
  TRipEvents E;
  E.TrackStarted = [this](int K) {
    if (K == 1) JobInRun->Stop();
  };
  const TRipOutcome O = RunJob(R, E);
  EXPECT_TRUE(O.Stopped);
  EXPECT_EQ(O.Message, "Rip stopped.");
  EXPECT_EQ(Statuses.back(), "Rip stopped.");
  EXPECT_EQ(WavData(R.SingleFile), Sectors(Cue, 0, 100));
  EXPECT_EQ(Listing(Out), (std::set<std::string>{"all.wav", "all.cue", "Rip.log"}));
}

TEST_F(CdRip, Mp3FilesGetDurationsTagsAndNoWavTwins) {
  if (!HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe is needed";
  const TCDHandle H = Open({{"audio", 150, ""}, {"audio", 75, ""}});
  ASSERT_NE(H, 0u);
  MakeOut();
  C.Mp3Out = new TMP3Out(Owner.get());
  C.Mp3Out->SetInput(C.FinalWaveIn);
  C.Mp3Out->SetFileMode(foRewrite);
  TRipRequest R = Request(H, {0, 1});
  R.Mp3 = true;
  R.Album = "Album";
  R.Artist = "Artist";
  R.Tracks[0].Title = "First Song";
  R.Tracks[0].Name = "First Song";
  const TRipOutcome O = RunJob(R);
  ASSERT_EQ(O.Message, "Rip done.");
  EXPECT_EQ(Listing(Out), (std::set<std::string>{"First Song.mp3", "Track-02 .mp3", "Album.log"}));
  std::string Probe;
  ASSERT_EQ(testing_support::Run(
                "ffprobe -v error -show_entries format=duration:format_tags=title,track,album "
                "-of default=nw=1 " +
                    Quote(Out + "/First Song.mp3"),
                &Probe),
            0);
  EXPECT_NE(Probe.find("TAG:title=First Song"), std::string::npos) << Probe;
  EXPECT_NE(Probe.find("TAG:track=1"), std::string::npos) << Probe;
  EXPECT_NE(Probe.find("TAG:album=Album"), std::string::npos) << Probe;
  const double Seconds = std::stod(Probe.substr(Probe.find("duration=") + 9));
  EXPECT_NEAR(Seconds, 2.0, 0.06);
}

}  // namespace
