// velmora-cli cd: the page's rows and lookup on the command line.
#include <gtest/gtest.h>

#include "tests/support/CdTestSupport.h"

using namespace testing_support;

namespace {

std::string Cli() { return Quote(BinDir() + "/velmora-cli"); }

// The shell runner of the test support (gtest has a Run of its own).
int Sh(const std::string& Cmd, std::string* Out, std::string* Err) {
  return testing_support::Run(Cmd, Out, Err);
}

class CdCli : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HavePython()) GTEST_SKIP() << "python3 is needed to make disc images";
  }
  TempDir Dir;
};

TEST_F(CdCli, TocPrintsThePagesRowsTabSeparated) {
  const std::string Cue = MakeDiscImage(Dir.Dir(), "mixed", MixedModeDisc());
  std::string Out, Err;
  ASSERT_EQ(Sh(Cli() + " cd toc --drive " + Quote(Cue), &Out, &Err), 0) << Err;
  EXPECT_EQ(Out,
            "01\tTrack-01  - Data Track\t00:04,00\t    0.67 M\t300\tData Track\n"
            "02\tTrack-02  - Audio Track\t04:54,00\t   49.46 M\t22050\tAudio Track\n"
            "03\tTrack-03  - Audio Track\t00:06,50\t    1.12 M\t500\tAudio Track\n"
            "04\tTrack-04  - Audio Track\t00:02,50\t    0.45 M\t200\tAudio Track\n");
  EXPECT_EQ(Err, "Total tracks: 4\n");
}

TEST_F(CdCli, DrivesThatGiveNoTableSayWhy) {
  std::string Out, Err;
  EXPECT_EQ(Sh(Cli() + " cd toc --drive /dev/null", &Out, &Err), 1);
  EXPECT_EQ(Err, "Error to get cd track info!!!\n");
  EXPECT_EQ(Out, "");
  EXPECT_EQ(Sh(Cli() + " cd toc --drive " + Quote(Dir.Path("none.cue")), &Out, &Err), 1);
  EXPECT_EQ(Err, "Can't get track info\xef\xbc\x8cmay be no cd or corrupted.\n");
  // Past the end of the list (a machine has fewer than 8 drives).
  EXPECT_EQ(Sh(Cli() + " cd toc --drive 7", &Out, &Err), 1);
  EXPECT_EQ(Err, "Can't get track info\xef\xbc\x8cmay be no cd or corrupted.\n");
  // "drives" lists the system's drives, one "number<TAB>name" a line.
  ASSERT_EQ(Sh(Cli() + " cd drives", &Out, &Err), 0);
  int N = 0;
  for (size_t At = 0; At < Out.size(); At = Out.find('\n', At) + 1)
    EXPECT_EQ(Out.substr(At, Out.find('\t', At) - At), std::to_string(N++)) << Out;
  EXPECT_EQ(Err, N == 0 ? "No CD drive found.\n" : "");
}

TEST_F(CdCli, TitlesPrintArtistAlbumAndOneTitleALine) {
  TCddbTestServer Server;
  ASSERT_TRUE(Server.Ok());
  const TDiscLayout L = AudioDisc();
  const uint32_t Id = CddbDiscId(TrackStarts(L), LeadOut(L));
  Server.SetScenario("{\"sites\": " + SitesReply() + ", \"query\": " +
                     Reply({"200 rock " + Hex8(Id) + " Artist / Album"}) + ", \"read\": " +
                     Reply(RecordLines("rock", Id, TrackStarts(L), LeadOut(L),
                                       {"DTITLE=Artist / Album", "TTITLE0=One", "TTITLE2=Three"})) +
                     "}");
  const std::string Cue = MakeDiscImage(Dir.Dir(), "audio", L);
  std::string Out, Err;
  ASSERT_EQ(Sh(Cli() + " cd titles --drive " + Quote(Cue) + " --server " + Server.Address() +
                   " --email me@example.org",
               &Out, &Err),
            0)
      << Err;
  EXPECT_EQ(Out, "Artist\nAlbum\nOne\n\nThree\n");
  EXPECT_EQ(
      Err,
      "Total tracks: 3\nConnecting to 127.0.0.1 to get cd info...\nGot cd info successfully!\n");
  EXPECT_NE(Server.Requests().at(1).find("+" + Hex8(Id) + "+3+150+250+1250++"), std::string::npos);

  Server.SetScenario("{\"sites\": " + SitesReply() + ", \"query\": " + Reply({"202 No match"}) +
                     "}");
  EXPECT_EQ(
      Sh(Cli() + " cd titles --drive " + Quote(Cue) + " --server " + Server.Address(), &Out, &Err),
      1);
  EXPECT_EQ(Out, "");
  EXPECT_NE(Err.find("\nNo record in CDDB!\n"), std::string::npos) << Err;
}

}  // namespace

TEST_F(CdCli, RipWritesTheChosenTracksWithProgressAndStatus) {
  const std::string Cue = MakeDiscImage(Dir.Dir(), "disc", AudioDisc());
  ASSERT_FALSE(Cue.empty());
  std::string Out, Err;
  ASSERT_EQ(
      Sh(Cli() + " cd rip --drive " + Quote(Cue) + " --tracks 1,3 --out " + Quote(Dir.Path("out")),
         &Out, &Err),
      1)
      << "the folder does not exist";
  ASSERT_EQ(Sh("mkdir " + Quote(Dir.Path("out")), nullptr, nullptr), 0);
  ASSERT_EQ(
      Sh(Cli() + " cd rip --drive " + Quote(Cue) + " --tracks 1,3 --out " + Quote(Dir.Path("out")),
         &Out, &Err),
      0)
      << Err;
  EXPECT_EQ(Out, Dir.Path("out") + "/Track-01 .wav\n" + Dir.Path("out") + "/Track-03 .wav\n" +
                     Dir.Path("out") + "/Rip.log\n");
  EXPECT_EQ(Err,
            "Total tracks: 3\nRipping Track-01 ...\n25\n50\n75\n100\n"
            "Ripping Track-03 ...\n32\n64\n97\n100\nRip done.\n");
  EXPECT_EQ(ReadFileBytes(Dir.Path("out/Track-03 .wav")).size(), 44u + 77 * 2352);

  // One file of tracks 2 and 3, beside its cue sheet; a data track or a
  // track the disc lacks is refused before anything is read.
  ASSERT_EQ(Sh(Cli() + " cd rip --drive " + Quote(Cue) + " --tracks 2-3 --out " +
                   Quote(Dir.Path("out")) + " --single joined",
               &Out, &Err),
            0)
      << Err;
  EXPECT_EQ(Out, Dir.Path("out") + "/joined.wav\n" + Dir.Path("out") + "/joined.cue\n" +
                     Dir.Path("out") + "/Rip.log\n");
  EXPECT_EQ(ReadFileBytes(Dir.Path("out/joined.wav")).size(), 44u + 1077 * 2352);
  EXPECT_EQ(
      Sh(Cli() + " cd rip --drive " + Quote(Cue) + " --tracks 4 --out " + Quote(Dir.Path("out")),
         &Out, &Err),
      1);
  EXPECT_EQ(Err, "Runtime error: There is no track 4 on the disc\n");
}
