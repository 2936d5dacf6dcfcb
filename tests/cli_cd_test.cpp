// velmora-cli cd: the page's rows and lookup on the command line, and rips
// named by CDDB titles, as WAV or MP3 files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "tests/support/CdTestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Every file below Dir, by path relative to it.
std::set<std::string> Listing(const std::string& Dir) {
  std::set<std::string> R;
  for (const auto& E : fs::recursive_directory_iterator(Dir))
    R.insert(fs::relative(E.path(), Dir).string());
  return R;
}

// The sectors [From, From + Count) of the image Cue's .bin.
std::vector<uint8_t> Sectors(const std::string& Cue, int From, int Count) {
  const std::vector<uint8_t> Bin = ReadFileBytes(Cue.substr(0, Cue.size() - 4) + ".bin");
  return std::vector<uint8_t>(Bin.begin() + From * 2352, Bin.begin() + (From + Count) * 2352);
}

// What ffprobe says of an MP3 file: "duration=..." and "TAG:name=..." lines.
std::string Probe(const std::string& File) {
  std::string Out;
  testing_support::Run(
      "ffprobe -v error -show_entries "
      "format=duration:format_tags=title,artist,album,track -of default=nw=1 " +
          Quote(File),
      &Out);
  return Out;
}
double ProbedSeconds(const std::string& Probed) {
  const size_t At = Probed.find("duration=");
  return At == std::string::npos ? -1 : std::stod(Probed.substr(At + 9));
}

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
  // A sheet the image driver would read outside its tables for.
  const std::string Bad = Dir.Path("bad.cue");
  WriteFileBytes(Dir.Path("bad.bin"), std::vector<uint8_t>(2352 * 10));
  const std::string Sheet = "FILE \"bad.bin\" BINARY\n  TRACK 99 AUDIO\n    INDEX 01 00:00:00\n";
  WriteFileBytes(Bad, std::vector<uint8_t>(Sheet.begin(), Sheet.end()));
  EXPECT_EQ(Sh(Cli() + " cd toc --drive " + Quote(Bad), &Out, &Err), 1);
  EXPECT_EQ(Err,
            "Runtime error: " + Bad + ": line 2 of the cue sheet does not number its track 1\n");
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

namespace {

// A disc of tracks of Frames sectors each, with the CDDB record Body (its
// DTITLE line first) for it on Server; returns the image's .cue.
std::string DiscWithRecord(TCddbTestServer& Server, const std::string& Dir,
                           const std::vector<int>& Frames, const std::vector<std::string>& Body) {
  TDiscLayout L;
  for (int F : Frames) L.push_back({"audio", F, ""});
  const uint32_t Id = CddbDiscId(TrackStarts(L), LeadOut(L));
  // The match names the disc as the record's first line does.
  const std::string Disc = Body.at(0).substr(Body.at(0).find('=') + 1);
  Server.SetScenario("{\"sites\": " + SitesReply() + ", \"query\": " +
                     Reply({"200 rock " + Hex8(Id) + " " + Disc}) + ", \"read\": " +
                     Reply(RecordLines("rock", Id, TrackStarts(L), LeadOut(L), Body)) + "}");
  return MakeDiscImage(Dir, "disc", L);
}

}  // namespace

TEST_F(CdCli, RipWithCddbTitlesKeepsEveryFileInsideTheFolderUnderADistinctName) {
  TCddbTestServer Server;
  ASSERT_TRUE(Server.Ok());
  // 300 bytes of two-byte characters, given on two lines as a record splits
  // long titles.
  std::string Long;
  for (int I = 0; I < 150; ++I) Long += "\xc3\xa9";
  const std::string Cue = DiscWithRecord(
      Server, Dir.Dir(), {30, 30, 30, 30, 30, 30},
      {"DTITLE=AC/DC / ../../Album", "TTITLE0=../../x", "TTITLE1=AC/DC", "TTITLE2=", "TTITLE3=Same",
       "TTITLE4=Same", "TTITLE5=" + Long.substr(0, 200), "TTITLE5=" + Long.substr(200)});
  ASSERT_FALSE(Cue.empty());
  const std::string Out = Dir.Path("a/b/out");
  fs::create_directories(Out);
  const auto Before = Listing(Dir.Dir());
  std::string Stdout, Err;
  ASSERT_EQ(Sh(Cli() + " cd rip --drive " + Quote(Cue) + " --tracks all --out " + Quote(Out) +
                   " --cddb --server " + Server.Address() + " --email me@example.org",
               &Stdout, &Err),
            0)
      << Err;
  const std::string Cut = Long.substr(0, 246) + ".wav";  // 250 bytes, no character split
  const std::vector<std::string> Want = {".._.._x.wav", "AC_DC.wav",    "Track-03.wav",
                                         "Same.wav",    "Same (2).wav", Cut};
  std::string WantStdout;
  for (const std::string& F : Want) WantStdout += Out + "/" + F + "\n";
  WantStdout += Out + "/.._.._Album.log\n";
  EXPECT_EQ(Stdout, WantStdout);
  std::set<std::string> WantFiles(Want.begin(), Want.end());
  WantFiles.insert(".._.._Album.log");
  EXPECT_EQ(Listing(Out), WantFiles);
  // Nothing beside the folder changed.
  auto After = Listing(Dir.Dir());
  for (const std::string& F : WantFiles) After.erase("a/b/out/" + F);
  EXPECT_EQ(After, Before);
  for (size_t K = 0; K < Want.size(); ++K) {
    const std::vector<uint8_t> W = ReadFileBytes(Out + "/" + Want[K]);
    ASSERT_EQ(W.size(), 44u + 30 * 2352) << Want[K];
    EXPECT_TRUE(std::vector<uint8_t>(W.begin() + 44, W.end()) ==
                Sectors(Cue, 30 * static_cast<int>(K), 30))
        << Want[K];
  }
  EXPECT_NE(Err.find("Ripping AC/DC...\n"), std::string::npos) << Err;
  EXPECT_NE(ReadFileBytes(Out + "/.._.._Album.log").size(), 0u);
}

TEST_F(CdCli, Mp3RipsHaveTheirDurationsAndTagsAndLeaveNoWav) {
  if (!HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe is needed";
  TCddbTestServer Server;
  ASSERT_TRUE(Server.Ok());
  // Two seconds, then one.
  const std::string Cue = DiscWithRecord(
      Server, Dir.Dir(), {150, 75}, {"DTITLE=The Band / The Album", "TTITLE0=Opener", "TTITLE1="});
  ASSERT_FALSE(Cue.empty());
  const std::string Out = Dir.Path("out");
  fs::create_directory(Out);
  const std::string Rip = Cli() + " cd rip --drive " + Quote(Cue) + " --tracks all --out " +
                          Quote(Out) + " --mp3 --cddb --server " + Server.Address();
  std::string Stdout, Err;
  ASSERT_EQ(Sh(Rip, &Stdout, &Err), 0) << Err;
  EXPECT_EQ(Stdout, Out + "/Opener.mp3\n" + Out + "/Track-02.mp3\n" + Out + "/The Album.log\n");
  EXPECT_EQ(Listing(Out), (std::set<std::string>{"Opener.mp3", "Track-02.mp3", "The Album.log"}));
  const std::string First = Probe(Out + "/Opener.mp3");
  EXPECT_NEAR(ProbedSeconds(First), 2.0, 0.06) << First;
  for (const char* Tag :
       {"TAG:title=Opener", "TAG:artist=The Band", "TAG:album=The Album", "TAG:track=1"})
    EXPECT_NE(First.find(Tag), std::string::npos) << Tag << "\n" << First;
  const std::string Second = Probe(Out + "/Track-02.mp3");
  EXPECT_NEAR(ProbedSeconds(Second), 1.0, 0.06) << Second;
  EXPECT_NE(Second.find("TAG:track=2"), std::string::npos) << Second;
  EXPECT_EQ(Second.find("TAG:title="), std::string::npos) << "an empty title stays empty";

  // All tracks in one MP3 file, beside its cue sheet: no WAV of it is left,
  // nor any working file.
  ASSERT_EQ(Sh(Rip + " --single joined", &Stdout, &Err), 0) << Err;
  EXPECT_EQ(Stdout, Out + "/joined.mp3\n" + Out + "/joined.cue\n" + Out + "/The Album.log\n");
  EXPECT_EQ(Listing(Out), (std::set<std::string>{"Opener.mp3", "Track-02.mp3", "The Album.log",
                                                 "joined.mp3", "joined.cue"}));
  const std::string Joined = Probe(Out + "/joined.mp3");
  EXPECT_NEAR(ProbedSeconds(Joined), 3.0, 0.06) << Joined;
  EXPECT_NE(Joined.find("TAG:album=The Album"), std::string::npos) << Joined;
  EXPECT_NE(Joined.find("TAG:artist=The Band"), std::string::npos) << Joined;
  const std::vector<uint8_t> C = ReadFileBytes(Out + "/joined.cue");
  const std::string Sheet(C.begin(), C.end());
  EXPECT_NE(Sheet.find("FILE \"joined.mp3\" MP3\n"), std::string::npos) << Sheet;
  EXPECT_NE(Sheet.find("  TRACK 01 AUDIO\n    TITLE \"Opener\"\n    PERFORMER \"The Band\"\n"
                       "    INDEX 01 00:00:00\n"),
            std::string::npos)
      << Sheet;
  EXPECT_NE(Sheet.find("  TRACK 02 AUDIO\n    PERFORMER \"The Band\"\n    INDEX 01 00:02:00\n"),
            std::string::npos)
      << Sheet;
}

TEST_F(CdCli, CtrlCStopsTheRipWithStatus130AndKeepsWholeTracksOnly) {
  TCddbTestServer Server;
  ASSERT_TRUE(Server.Ok());
  // The server holds its first answer until it is let go: Ctrl+C reaches the
  // tool while it waits, before a sector is read.
  Server.SetScenario("{\"sites\": " +
                     Reply({"210 OK, site information follows (list follows until terminating `.')",
                            "127.0.0.1 http 80 /~cddb/cddb.cgi N000.00 W000.00 Test server", "."},
                           ", \"gate\": true, \"delay\": 30") +
                     "}");
  const std::string Cue = MakeDiscImage(Dir.Dir(), "disc", AudioDisc());
  ASSERT_FALSE(Cue.empty());
  const std::string Out = Dir.Path("out");
  fs::create_directory(Out);
  const std::string Program = BinDir() + "/velmora-cli";
  const std::string ErrFile = Dir.Path("stderr.txt");
  const std::vector<std::string> Args = {
      Program, "cd",     "rip",      "--drive",        Cue,         "--tracks", "all", "--out",
      Out,     "--cddb", "--server", Server.Address(), "--timeout", "30"};
  std::vector<char*> Argv;
  for (const std::string& A : Args) Argv.push_back(const_cast<char*>(A.c_str()));
  Argv.push_back(nullptr);
  const pid_t Pid = ::fork();
  if (Pid == 0) {
    const int Fd = ::open(ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(Fd, 2);
    const int Null = ::open("/dev/null", O_WRONLY);
    ::dup2(Null, 1);
    ::execv(Program.c_str(), Argv.data());
    ::_exit(127);
  }
  ASSERT_GT(Pid, 0);
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (Server.Requests().empty() && std::chrono::steady_clock::now() < Until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(Server.Requests().empty()) << "the tool never asked the server";
  ::kill(Pid, SIGINT);
  Server.OpenGate();
  int Status = 0;
  ::waitpid(Pid, &Status, 0);
  ASSERT_TRUE(WIFEXITED(Status));
  EXPECT_EQ(130, WEXITSTATUS(Status));
  const std::vector<uint8_t> E = ReadFileBytes(ErrFile);
  const std::string Err(E.begin(), E.end());
  EXPECT_EQ(Err.substr(Err.rfind('\n', Err.size() - 2) + 1), "Rip stopped.\n") << Err;
  // The track under way when the stop came is whole; nothing after it, and
  // no working file, is left.
  std::set<std::string> Wavs;
  for (const std::string& F : Listing(Out)) {
    EXPECT_EQ(F.find(".velmora-rip-"), std::string::npos) << F;
    if (F.size() > 4 && F.substr(F.size() - 4) == ".wav") Wavs.insert(F);
  }
  EXPECT_EQ(Wavs, std::set<std::string>{"Track-01 .wav"});
  EXPECT_EQ(fs::file_size(Out + "/Track-01 .wav"), 44u + 100 * 2352);
}
