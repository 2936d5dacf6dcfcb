// CDDB over HTTP, over libcddb: who to ask (options), whether the server
// answers (its server list), which disc records match a disc (query) and a
// disc record's text (disc information), with fixed record layouts.
//
// The protocol is spoken at level 6 (texts in UTF-8); a text that is not
// UTF-8 is taken as Latin-1. Nothing is cached: every call asks the server.
// Every call blocks until the server answered or the time-out passed (but
// resolving the server's name is not bounded by it): call them off the
// window's thread. They may be called from several threads; their talks with
// servers take turns.
#pragma once

#include <cstdint>
#include <string>

#include "platform/CdAccess.h"

#pragma pack(push, 1)

// One disc record that matched, 192 bytes. The first 28 bytes say to
// CDDBGetDiskInfo which record it is.
struct CddbMatch {
  uint8_t Record[28];
  char Artist[81];  // UTF-8, zero-terminated
  char Title[81];   // the disc's title, UTF-8, zero-terminated
  uint8_t Reserved[2];
};

// One server of a server list, 288 bytes.
struct CddbServer {
  char Host[81];       // zero-terminated
  char Path[81];       // the query path ("/~cddb/cddb.cgi"), zero-terminated
  char Location[122];  // the server's own description, zero-terminated
  int32_t Port;        // HTTP port (at offset 284: aligned in an array)
};

#pragma pack(pop)

static_assert(sizeof(CddbMatch) == 192);
static_assert(sizeof(CddbServer) == 288);

// Room for Count matches at Matches; after CDDBQuery, Count is the number
// of matches that fit the disc (more than fit in the room, possibly).
struct CddbQueryResults {
  uint32_t Count;
  CddbMatch* Matches;
};

// Room for Count servers at Servers; after CDDBGetServerList, Count is the
// number of servers filled in.
struct CddbServerList {
  uint32_t Count;
  CddbServer* Servers;
};

// CDDBSetOption's options. Texts are copied.
enum TCddbOption {
  // The server: "host" or "host:port" (port 80 by default).
  coServer = 0,
  // The client's name and version, "Name Version".
  coClient = 3,
  // The e-mail address sent in the greeting ("user@host").
  coEmail = 4,
  // The HTTP path of queries ("/~cddb/cddb.cgi").
  coQueryPath = 6,
  // Seconds to wait for the server to connect or to answer (Value; 10 at
  // first).
  coTimeout = 8,
};

// 1 when the option is known (and, for the time-out, Value is at least 1).
uint32_t CDDBSetOption(int Option, const char* Text, int Value);

// Asks the server for its list of servers: 1 when it answered as a CDDB
// server does (an empty list included), 0 when it could not be reached,
// timed out, failed (an HTTP error) or answered something else.
uint32_t CDDBGetServerList(CddbServerList* List);

// Looks up the disc of Handle (its table of contents read by ReadTOC). A
// match is taken when its disc ID is the disc's (exact ones come first), or
// when it is inexact and its record has as many tracks as the disc. 1 when
// the server answered (no match is an answer: Count 0); 0 and Count 0 when
// the disc has no table of contents or the server failed as above.
uint32_t CDDBQuery(TCDHandle Handle, CddbQueryResults* Results);

// The disc record of Match as text, into Buffer (Size bytes, the ending zero
// included; a longer record is cut at a character): lines that end in a
// carriage return, comments with the frame offsets, the disc length and the
// revision, then DISCID=, DTITLE=artist / title, DYEAR=, DGENRE=, one
// TTITLEn= per track (n from 0; "artist / title" when the track has its own
// artist), EXTD=, EXTTn= and PLAYORDER=. A value longer than a line holds
// goes on in lines with the same key. 1 on success; 0 (Buffer empty) when
// the server failed or has no such record.
uint32_t CDDBGetDiskInfo(const CddbMatch* Match, char* Buffer, int Size);

// The host of a server option ("host:port" gives "host").
std::string CddbHostName(const std::string& Server);
