#include "app/RipUtility.h"

#include <cstdio>
#include <string_view>

#include "platform/CdText.h"
#include "platform/CddbAccess.h"

const char* const kCdNoTrackInfo = "Can't get track info\uFF0Cmay be no cd or corrupted.";
const char* const kCdTocError = "Error to get cd track info!!!";
const char* const kCdTotalTracks = "Total tracks: ";
const char* const kCddbNoServerList = "Can't got CDDB server list";
const char* const kCddbGotInfo = "Got cd info successfully!";
const char* const kCddbNoRecord = "No record in CDDB!";
const char* const kCddbInfoError = "Error occur while getting cd info!";
const char* const kCddbUnknownTitle = "Unknown title";
const char* const kCddbUnknownArtist = "Unknown artist";
const char* const kAudioTrack = "Audio Track";
const char* const kDataTrack = "Data Track";

namespace {

constexpr int kRecordSize = 32000;

std::string Format(const char* Pattern, int A) {
  char B[32];
  std::snprintf(B, sizeof B, Pattern, A);
  return B;
}

// Step by step as the page does it: server, query path, e-mail, client.
void SetCddbOptions(const TCddbSetup& Setup) {
  CDDBSetOption(coServer, Setup.Server.c_str(), 0);
  CDDBSetOption(coQueryPath, "/~cddb/cddb.cgi", 0);
  CDDBSetOption(coEmail, Setup.Email.c_str(), 0);
  CDDBSetOption(coClient, "Velmora 1.2", 0);
  CDDBSetOption(coTimeout, nullptr, Setup.Timeout);
}

}  // namespace

DriveOpenRequest CdOpenRequest(const DriveEntry& Entry) {
  DriveOpenRequest R{};
  R.Size = sizeof R;
  R.Version = 1;
  R.HostAdapter = Entry.HostAdapter;
  R.Target = Entry.Target;
  R.Lun = Entry.Lun;
  return R;
}

std::string CdPlayTime(int32_t Frames) {
  char B[48];
  std::snprintf(B, sizeof B, "%.2d:%.2d,%.2d", Frames / 4500, (Frames / 75) % 60, Frames % 75);
  return B;
}

std::string CdSizeText(int32_t Frames) {
  char B[48];
  std::snprintf(B, sizeof B, "%8.2f M", double(Frames) * kCdFrameBytes / 1024 / 1024);
  return B;
}

std::vector<TCdTrackRow> CdTrackRows(const TableOfContents& Toc) {
  std::vector<TCdTrackRow> Rows;
  if (Toc.FirstTrack < 1 || Toc.LastTrack < Toc.FirstTrack || Toc.LastTrack > 99) return Rows;
  const int Count = Toc.LastTrack - Toc.FirstTrack + 1;
  for (int K = 0; K < Count; ++K) {
    const TocEntry& E = Toc.Entries[K];
    const TocEntry& Next = Toc.Entries[K + 1];
    TCdTrackRow R;
    R.TrackNumber = Toc.FirstTrack + K;
    R.Start = TocAddress(E);
    R.Frames = TocAddress(Next) - R.Start;
    R.Data = IsDataTrack(E.AdrControl);
    // An enhanced CD: the last audio track runs up to the data session,
    // across the lead-out and lead-in between the sessions.
    if (!R.Data && K + 1 == Count - 1 && IsDataTrack(Next.AdrControl) &&
        R.Frames > kSessionGapFrames)
      R.Frames -= kSessionGapFrames;
    R.Type = R.Data ? kDataTrack : kAudioTrack;
    R.Number = Format("%.2d", R.TrackNumber);
    R.Name = Format("Track-%.2d ", R.TrackNumber) + " - " + R.Type;
    R.PlayTime = CdPlayTime(R.Frames);
    R.Size = CdSizeText(R.Frames);
    R.FramesText = std::to_string(R.Frames);
    Rows.push_back(std::move(R));
  }
  return Rows;
}

std::string CddbTrackTitle(int Track, int FirstTrack, const std::string& Record) {
  const std::string Key = "TTITLE" + std::to_string(Track - FirstTrack) + "=";
  std::string Title;
  std::string_view Rest(Record);
  while (!Rest.empty()) {
    const size_t End = std::min(Rest.find_first_of("\r\n"), Rest.size());
    const std::string_view Line = Rest.substr(0, End);
    if (Line.substr(0, Key.size()) == Key) Title += Line.substr(Key.size());
    Rest.remove_prefix(std::min(End + 1, Rest.size()));
  }
  return Title;
}

std::string CddbConnectingStatus(const TCddbSetup& Setup) {
  return "Connecting to " + CddbHostName(Setup.Server) + " to get cd info...";
}

TCddbLookup LookUpCddb(TCDHandle Handle, const TCddbSetup& Setup,
                       const std::function<void(const std::string&)>& Status) {
  TCddbLookup R;
  SetCddbOptions(Setup);
  std::vector<CddbServer> Servers(8);
  CddbServerList List{8, Servers.data()};
  if (CDDBGetServerList(&List) != 1) {
    Status(kCddbNoServerList);
    return R;
  }
  Status(kCddbGotInfo);

  CddbMatch Match{};
  CddbQueryResults Results{1, &Match};
  SetCddbOptions(Setup);
  CDDBQuery(Handle, &Results);
  if (Results.Count < 1) {
    Status(kCddbNoRecord);
    R.Outcome = TCddbLookup::loNoRecord;
    R.Album = kCddbUnknownTitle;
    R.Artist = kCddbUnknownArtist;
    return R;
  }
  std::vector<char> Record(kRecordSize);
  if (CDDBGetDiskInfo(&Match, Record.data(), kRecordSize) != 1) {
    Status(kCddbInfoError);
    R.Outcome = TCddbLookup::loNoInfo;
    return R;
  }
  R.Outcome = TCddbLookup::loFound;
  R.Album = CdFieldText(Match.Title, sizeof Match.Title);
  R.Artist = CdFieldText(Match.Artist, sizeof Match.Artist);
  R.Record = Record.data();
  return R;
}
