// The CdRipper page's listing without the window, shared by the window and
// the command line: the rows of a table of contents, the CDDB lookup with
// the page's status texts, and the track titles of a disc record.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/CdAccess.h"

// The page's status texts.
extern const char* const kCdNoTrackInfo;     // no drive, no disc, or it cannot be opened
extern const char* const kCdTocError;        // the table of contents is missing or not sane
extern const char* const kCdTotalTracks;     // followed by the number of rows
extern const char* const kCddbNoServerList;  // the server does not answer
extern const char* const kCddbGotInfo;       // the server answered
extern const char* const kCddbNoRecord;      // no record fits the disc
extern const char* const kCddbInfoError;     // the record could not be read
// Album and artist after a lookup that found no record.
extern const char* const kCddbUnknownTitle;
extern const char* const kCddbUnknownArtist;
extern const char* const kAudioTrack;
extern const char* const kDataTrack;

// Frames an enhanced CD's session gap adds to its last audio track.
constexpr int32_t kSessionGapFrames = 11400;

// One row of the track list for entry K of a table of contents.
struct TCdTrackRow {
  int TrackNumber = 0;  // the first track's number + K
  int32_t Start = 0;    // logical block address
  int32_t Frames = 0;   // F: sectors of 2352 bytes, 75 a second
  bool Data = false;
  std::string Number;      // "NO": "%.2d"
  std::string Name;        // "Track-%.2d  - " and the type
  std::string PlayTime;    // "mm:ss,ff"
  std::string Size;        // "%8.2f M" of megabytes
  std::string FramesText;  // F in decimal
  std::string Type;        // kAudioTrack or kDataTrack
};

// The request that opens the drive of Entry.
DriveOpenRequest CdOpenRequest(const DriveEntry& Entry);

// A data track has bit 2 of the control nibble set; every other track is
// audio (pre-emphasis, copy permission and four channels change nothing).
inline bool IsDataTrack(uint8_t AdrControl) { return (AdrControl & 0x04) != 0; }

// One row per track of Toc (a table that ReadTOC accepted). A track's
// length runs to the next entry's start; an audio track followed by a data
// track that ends the disc (an enhanced CD, whose data lies in a second
// session) is shorter by the session gap.
std::vector<TCdTrackRow> CdTrackRows(const TableOfContents& Toc);
// "%.2d:%.2d,%.2d" of minutes, seconds and frames.
std::string CdPlayTime(int32_t Frames);
// "%8.2f M" of Frames * 2352 bytes in megabytes.
std::string CdSizeText(int32_t Frames);

// The title of track Track in a disc record whose first track is FirstTrack:
// the values of every "TTITLEn=" line of the record, n = Track - FirstTrack,
// joined in order (a long title goes on in lines with the same key); "" when
// there is none. Lines end in CR, LF or CR LF.
std::string CddbTrackTitle(int Track, int FirstTrack, const std::string& Record);

// Where the CDDB lookup asks (the Cddb section of the settings).
struct TCddbSetup {
  std::string Server;  // "host" or "host:port"
  std::string Email;
  int Timeout = 10;  // seconds
};

// "Connecting to <host> to get cd info...".
std::string CddbConnectingStatus(const TCddbSetup& Setup);

struct TCddbLookup {
  enum TOutcome { loNoServer, loNoRecord, loNoInfo, loFound };
  TOutcome Outcome = loNoServer;
  // Set for loNoRecord (kCddbUnknownTitle, kCddbUnknownArtist) and loFound.
  std::string Album, Artist;
  std::string Record;  // loFound: the disc record
};

// Looks up the disc of Handle, whose table of contents was read: sets the
// options, asks for the server list, queries, reads the record. Each status
// text of the way goes to Status as it is reached (kCddbNoServerList, or
// kCddbGotInfo then possibly kCddbNoRecord or kCddbInfoError). Blocks while
// the server is asked (see platform/CddbAccess.h); Status runs on the calling
// thread.
TCddbLookup LookUpCddb(TCDHandle Handle, const TCddbSetup& Setup,
                       const std::function<void(const std::string&)>& Status);
