// CDDB lookups against a small HTTP server on 127.0.0.1: what is asked, which
// match is taken, how server failures end, and the disc record's text.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "app/RipUtility.h"
#include "platform/CdAccess.h"
#include "platform/CdText.h"
#include "platform/CddbAccess.h"
#include "tests/support/CdTestSupport.h"

using namespace testing_support;

namespace {

class Cddb : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HavePython()) GTEST_SKIP() << "python3 is needed for the disc image and the server";
    ASSERT_TRUE(Server.Ok()) << "the test CDDB server did not start";
    SetCDDeviceLister([] { return std::vector<std::string>(); });
    ForgetCDDrives();
    const std::string Cue = MakeDiscImage(Dir.Dir(), "audio", AudioDisc());
    ASSERT_TRUE(AddCDDrive(Cue));
    DriveList L{};
    L.Max = 8;
    ASSERT_EQ(GetCDList(&L), 1u);
    const DriveOpenRequest R = CdOpenRequest(L.Drives[0]);
    Handle = GetCDHandle(&R);
    ASSERT_NE(Handle, 0u);
    TableOfContents Toc;
    ASSERT_EQ(ReadTOC(Handle, &Toc), 1u);
    CDDBSetOption(coServer, Server.Address().c_str(), 0);
    CDDBSetOption(coQueryPath, "/~cddb/cddb.cgi", 0);
    CDDBSetOption(coEmail, "ripper@example.org", 0);
    CDDBSetOption(coClient, "Velmora 1.2", 0);
    CDDBSetOption(coTimeout, nullptr, 10);
  }
  void TearDown() override {
    if (Handle) CloseCDHandle(Handle);
    ForgetCDDrives();
    SetCDDeviceLister(nullptr);
  }
  // A record for the disc with these body lines.
  std::vector<std::string> Record(const std::string& Category, uint32_t Id,
                                  const std::vector<std::string>& Body) {
    return RecordLines(Category, Id, Starts, End, Body);
  }
  uint32_t Query(CddbMatch& M) {
    std::memset(&M, 0, sizeof M);
    CddbQueryResults Q{1, &M};
    const uint32_t Result = CDDBQuery(Handle, &Q);
    LastCount = Q.Count;
    return Result;
  }
  std::string DiskInfo(const CddbMatch& M, uint32_t& Result) {
    std::vector<char> B(32000, 'x');
    Result = CDDBGetDiskInfo(&M, B.data(), static_cast<int>(B.size()));
    return B.data();
  }

  TCddbTestServer Server;
  TempDir Dir;
  TCDHandle Handle = 0;
  const std::vector<int> Starts = TrackStarts(AudioDisc());
  const int End = LeadOut(AudioDisc());
  const uint32_t Id = CddbDiscId(Starts, End);
  uint32_t LastCount = 0;
};

TEST_F(Cddb, QueryCarriesTheDiscAndTheExactMatchGivesItsRecord) {
  Server.SetScenario("{\"query\": " + Reply({"200 rock " + Hex8(Id) + " The Artist / The Album"}) +
                     ", \"read\": " +
                     Reply(Record("rock", Id,
                                  {"DTITLE=The Artist / The Album", "DYEAR=1999", "DGENRE=Rock",
                                   "TTITLE0=\xc3\x9c"
                                   "ber \xe6\x97\xa5\xe6\x9c\xac",
                                   "TTITLE1=Second", "TTITLE2=Guest / Third", "EXTD=Notes",
                                   "EXTT0=", "EXTT1=", "EXTT2=", "PLAYORDER="})) +
                     "}");
  CddbMatch M;
  ASSERT_EQ(Query(M), 1u);
  ASSERT_EQ(LastCount, 1u);
  EXPECT_STREQ(M.Artist, "The Artist");
  EXPECT_STREQ(M.Title, "The Album");
  // The disc ID, the track count, the frame offsets and the length, all
  // reckoned from the layout here.
  const std::vector<std::string> Asked = Server.Requests();
  ASSERT_EQ(Asked.size(), 1u);
  const std::string Expected = "GET /~cddb/cddb.cgi?cmd=cddb+query+" + Hex8(Id) +
                               "+3+150+250+1250++" + std::to_string((End + 150) / 75) +
                               "&hello=ripper+example.org+Velmora+1.2&proto=6 HTTP/1.0";
  EXPECT_EQ(Asked[0], Expected);

  uint32_t Result;
  const std::string R = DiskInfo(M, Result);
  ASSERT_EQ(Result, 1u);
  EXPECT_EQ(Server.Requests().back(), "GET /~cddb/cddb.cgi?cmd=cddb+read+rock+" + Hex8(Id) +
                                          "&hello=ripper+example.org+Velmora+1.2&proto=6 HTTP/1.0");
  EXPECT_NE(R.find("\rDISCID=" + Hex8(Id) + "\r"), std::string::npos) << R;
  EXPECT_NE(R.find("\rDTITLE=The Artist / The Album\rDYEAR=1999\rDGENRE=Rock\r"), std::string::npos)
      << R;
  EXPECT_NE(R.find("\rTTITLE0=\xc3\x9c"
                   "ber \xe6\x97\xa5\xe6\x9c\xac\rTTITLE1=Second\r"
                   "TTITLE2=Guest / Third\rEXTD=Notes\r"),
            std::string::npos)
      << R;
  EXPECT_EQ(R.find('\n'), std::string::npos) << "lines end in a carriage return";
  EXPECT_EQ(CddbTrackTitle(1, 1, R),
            "\xc3\x9c"
            "ber \xe6\x97\xa5\xe6\x9c\xac");
}

TEST_F(Cddb, SeveralMatchesPutTheExactOneFirst) {
  const uint32_t Other = Id ^ 0x00ff0000;
  Server.SetScenario(
      "{\"query\": " +
      Reply({"210 Found exact matches, list follows (until terminating `.')",
             "misc " + Hex8(Other) + " Someone / Else", "jazz " + Hex8(Id) + " Right / One", "."}) +
      ", \"read\": {\"misc " + Hex8(Other) + "\": " +
      Reply(
          Record("misc", Other, {"DTITLE=Someone / Else", "TTITLE0=a", "TTITLE1=b", "TTITLE2=c"})) +
      "}}");
  CddbMatch M;
  ASSERT_EQ(Query(M), 1u);
  // The other one is inexact, and its record has the disc's track count.
  EXPECT_EQ(LastCount, 2u);
  EXPECT_STREQ(M.Artist, "Right");
  EXPECT_STREQ(M.Title, "One");
}

TEST_F(Cddb, InexactMatchesNeedTheDiscsTrackCount) {
  const uint32_t Four = 0x0a000004, Three = 0x0b000003;
  std::vector<int> FourStarts = Starts;
  FourStarts.push_back(1150);
  const std::string Query211 = Reply(
      {"211 Found inexact matches, list follows (until terminating `.')",
       "rock " + Hex8(Four) + " Four / Tracks", "blues " + Hex8(Three) + " Three / Tracks", "."});
  const std::string Reads =
      "{\"rock " + Hex8(Four) +
      "\": " + Reply(RecordLines("rock", Four, FourStarts, End, {"DTITLE=Four / Tracks"})) +
      ", \"blues " + Hex8(Three) +
      "\": " + Reply(Record("blues", Three, {"DTITLE=Three / Tracks"})) + "}";
  Server.SetScenario("{\"query\": " + Query211 + ", \"read\": " + Reads + "}");
  CddbMatch M;
  ASSERT_EQ(Query(M), 1u);
  EXPECT_EQ(LastCount, 1u);
  EXPECT_STREQ(M.Artist, "Three");

  // Only the one with four tracks: nothing fits.
  Server.SetScenario(
      "{\"query\": " +
      Reply({"211 Found inexact matches", "rock " + Hex8(Four) + " Four / Tracks", "."}) +
      ", \"read\": " + Reads + "}");
  ASSERT_EQ(Query(M), 1u);
  EXPECT_EQ(LastCount, 0u);
  EXPECT_EQ(M.Artist[0], 0);
}

TEST_F(Cddb, NoMatchIsAnAnswerAndFailuresAreNot) {
  Server.SetScenario("{\"sites\": " + SitesReply() +
                     ", \"query\": " + Reply({"202 No match for disc ID " + Hex8(Id) + "."}) + "}");
  std::vector<CddbServer> Servers(8);
  CddbServerList List{8, Servers.data()};
  ASSERT_EQ(CDDBGetServerList(&List), 1u);
  EXPECT_EQ(List.Count, 1u);
  EXPECT_STREQ(Servers[0].Host, "127.0.0.1");
  EXPECT_STREQ(Servers[0].Path, "/~cddb/cddb.cgi");
  EXPECT_EQ(Servers[0].Port, 80);
  CddbMatch M;
  EXPECT_EQ(Query(M), 1u);
  EXPECT_EQ(LastCount, 0u);

  // "No site information" still answers as a server.
  Server.SetScenario("{\"sites\": " + Reply({"401 No site information available."}) + "}");
  List.Count = 8;
  EXPECT_EQ(CDDBGetServerList(&List), 1u);
  EXPECT_EQ(List.Count, 0u);

  // An HTTP error, a reply that is no CDDB reply, and a corrupt entry fail.
  Server.SetScenario(
      "{\"sites\": {\"status\": 500}, \"query\": {\"status\": 500}, \"read\": "
      "{\"raw\": \"<html>Not a CDDB server</html>\\r\\n\"}}");
  EXPECT_EQ(CDDBGetServerList(&List), 0u);
  EXPECT_EQ(Query(M), 0u);
  EXPECT_EQ(LastCount, 0u);
  CddbMatch Known{};
  Server.SetScenario("{\"query\": " + Reply({"200 rock " + Hex8(Id) + " A / B"}) + "}");
  ASSERT_EQ(Query(Known), 1u);
  Server.SetScenario("{\"read\": {\"raw\": \"<html>Not a CDDB server</html>\\r\\n\"}}");
  uint32_t Result;
  EXPECT_EQ(DiskInfo(Known, Result), "");
  EXPECT_EQ(Result, 0u);
  Server.SetScenario("{\"read\": " + Reply({"403 Database entry is corrupt."}) + "}");
  EXPECT_EQ(DiskInfo(Known, Result), "");
  EXPECT_EQ(Result, 0u);

  // A server that is not there.
  CDDBSetOption(coServer, "127.0.0.1:1", 0);
  EXPECT_EQ(CDDBGetServerList(&List), 0u);
  EXPECT_EQ(Query(M), 0u);
}

TEST_F(Cddb, LfOnlyLatin1RepliesAndLongTitlesReadWhole) {
  // An older server: lines end in LF alone, texts are Latin-1.
  const std::string Long(300, 'L');
  Server.SetScenario("{\"query\": " +
                     Reply({"200 misc " + Hex8(Id) + " Bj\u00f6rk / Caf\u00e9"},
                           ", \"eol\": \"\\n\", \"encoding\": \"latin-1\"") +
                     ", \"read\": " +
                     Reply(Record("misc", Id,
                                  {"DTITLE=Bj\u00f6rk / Caf\u00e9", "TTITLE0=Beyonc\u00e9",
                                   "TTITLE1=" + Long.substr(0, 200), "TTITLE1=" + Long.substr(200),
                                   "TTITLE2=Third"}),
                           ", \"eol\": \"\\n\", \"encoding\": \"latin-1\"") +
                     "}");
  CddbMatch M;
  ASSERT_EQ(Query(M), 1u);
  ASSERT_EQ(LastCount, 1u);
  EXPECT_EQ(CdFieldText(M.Artist, sizeof M.Artist), "Bj\xc3\xb6rk");
  EXPECT_EQ(CdFieldText(M.Title, sizeof M.Title), "Caf\xc3\xa9");
  uint32_t Result;
  const std::string R = DiskInfo(M, Result);
  ASSERT_EQ(Result, 1u);
  EXPECT_EQ(CddbTrackTitle(1, 1, R), "Beyonc\xc3\xa9");
  EXPECT_EQ(CddbTrackTitle(2, 1, R), Long);
  EXPECT_EQ(CddbTrackTitle(3, 1, R), "Third");
  // No line is longer than a record line may be.
  size_t From = 0;
  for (size_t Cr; (Cr = R.find('\r', From)) != std::string::npos; From = Cr + 1)
    EXPECT_LE(Cr - From, 256u) << R.substr(From, 40);
}

TEST_F(Cddb, RecordIsCutAtACharacterToTheBuffer) {
  Server.SetScenario(
      "{\"query\": " + Reply({"200 rock " + Hex8(Id) + " A / B"}) + ", \"read\": " +
      Reply(Record("rock", Id, {"DTITLE=A / B", "TTITLE0=\xe6\x97\xa5\xe6\x97\xa5"})) + "}");
  CddbMatch M;
  ASSERT_EQ(Query(M), 1u);
  std::vector<char> Full(32000);
  ASSERT_EQ(CDDBGetDiskInfo(&M, Full.data(), 32000), 1u);
  const std::string R = Full.data();
  const size_t Title = R.find("TTITLE0=") + 8;
  // Room for the record up to the first CJK character and one byte more.
  std::vector<char> Small(Title + 3 + 1 + 1, 'x');
  ASSERT_EQ(CDDBGetDiskInfo(&M, Small.data(), static_cast<int>(Small.size())), 1u);
  EXPECT_EQ(std::string(Small.data()), R.substr(0, Title + 3));
}

TEST_F(Cddb, LookupsOnSeveralThreadsWhileDrivesOpenAndCloseEachGetTheirRecord) {
  Server.SetScenario("{\"sites\": " + SitesReply() + ", \"query\": " +
                     Reply({"200 rock " + Hex8(Id) + " The Artist / The Album"}) + ", \"read\": " +
                     Reply(Record("rock", Id, {"DTITLE=The Artist / The Album", "TTITLE0=First"})) +
                     "}");
  const TCddbSetup Setup{Server.Address(), "ripper@example.org", 10};
  std::atomic<int> Running{2};
  std::vector<TCddbLookup> Results[2];
  auto Look = [&](int T) {
    for (int I = 0; I < 3; ++I)
      Results[T].push_back(LookUpCddb(Handle, Setup, [](const std::string&) {}));
    --Running;
  };
  std::thread A(Look, 0), B(Look, 1);
  // Meanwhile the drive list is read and other drives open and close.
  DriveList L{};
  L.Max = 8;
  std::vector<TCDHandle> Others;
  while (Running > 0 || Others.empty()) {
    ASSERT_EQ(GetCDList(&L), 1u);
    const DriveOpenRequest R = CdOpenRequest(L.Drives[0]);
    Others.push_back(GetCDHandle(&R));
    ASSERT_NE(Others.back(), 0u);
    TableOfContents Toc;
    EXPECT_EQ(ReadTOC(Others.back(), &Toc), 1u);
    if (Others.size() > 3) {
      EXPECT_EQ(CloseCDHandle(Others.front()), 1u);
      Others.erase(Others.begin());
    }
  }
  for (const TCDHandle H : Others) EXPECT_EQ(CloseCDHandle(H), 1u);
  A.join();
  B.join();
  for (const auto& Thread : Results) {
    ASSERT_EQ(Thread.size(), 3u);
    for (const TCddbLookup& R : Thread) {
      EXPECT_EQ(R.Outcome, TCddbLookup::loFound);
      EXPECT_EQ(R.Album, "The Album");
      EXPECT_EQ(CddbTrackTitle(1, 1, R.Record), "First");
    }
  }
}

}  // namespace
