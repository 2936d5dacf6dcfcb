// Shared by the CD tests: disc images made by tests/scripts/make_cd_image.py,
// what a layout's table of contents and CDDB disc ID must be (reckoned here
// from the layout alone, not by the code under test), and a CDDB server on
// 127.0.0.1 (tests/scripts/cddb_server.py) whose replies a test sets.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace testing_support {

// One stretch of a disc: "audio", "data" or "gap" (frames that count to the
// track before), its frames, and flags ("PRE,DCP,4CH,ZERO").
struct TDiscStretch {
  std::string Kind;
  int Frames;
  std::string Flags;
};
using TDiscLayout = std::vector<TDiscStretch>;

// A data track, a pre-emphasis audio track of 22050 frames (silent), a
// copy-permitted one of 500 and a four-channel one of 200.
TDiscLayout MixedModeDisc();
// Three audio tracks of 100, 1000 and 77 frames, each sector marked with its
// address (see make_cd_image.py).
TDiscLayout AudioDisc();
// Two audio tracks of 400 and 600 frames, the 11400-frame session gap, then
// a data track of 300: an enhanced CD.
TDiscLayout EnhancedDisc();

// True when python3 runs (the image maker and the server need it).
bool HavePython();
// Writes Dir/Name.cue and Dir/Name.bin; returns the .cue's path, "" when the
// script failed.
std::string MakeDiscImage(const std::string& Dir, const std::string& Name,
                          const TDiscLayout& Layout);

// The start address of each track and the lead-out's.
std::vector<int> TrackStarts(const TDiscLayout& Layout);
int LeadOut(const TDiscLayout& Layout);
// The CDDB disc ID: the digit sums of the tracks' start seconds (from 00:00:00,
// so address + 150 frames) modulo 255, the play length in seconds and the
// track count.
uint32_t CddbDiscId(const std::vector<int>& Starts, int LeadOut);
// "%08x".
std::string Hex8(uint32_t Id);

// JSON text of S (a string literal with quotes).
std::string Json(const std::string& S);
// A reply object of the server: {"lines": [...]} plus Extra members
// (", \"eol\": \"\\n\"" and the like).
std::string Reply(const std::vector<std::string>& Lines, const std::string& Extra = "");
// The lines of a "cddb read" reply for a disc: the 210 line, the comments
// with the layout's offsets and length, DISCID, then Body, then ".".
std::vector<std::string> RecordLines(const std::string& Category, uint32_t Id,
                                     const std::vector<int>& Starts, int LeadOut,
                                     const std::vector<std::string>& Body);
// A "sites" reply with one server.
std::string SitesReply();

class TCddbTestServer {
 public:
  // Starts the server; Ok() tells whether it listens.
  TCddbTestServer();
  ~TCddbTestServer();
  TCddbTestServer(const TCddbTestServer&) = delete;
  TCddbTestServer& operator=(const TCddbTestServer&) = delete;

  bool Ok() const { return FPort > 0; }
  // "127.0.0.1:port".
  std::string Address() const;
  // The replies: a JSON object as cddb_server.py describes.
  void SetScenario(const std::string& Json);
  // The request lines received so far.
  std::vector<std::string> Requests() const;
  // Replies with "gate": true wait until the gate is opened.
  void OpenGate();
  void CloseGate();

 private:
  TempDir FDir;
  pid_t FPid = -1;
  int FPort = 0;
};

}  // namespace testing_support
