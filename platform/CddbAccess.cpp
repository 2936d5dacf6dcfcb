#include "platform/CddbAccess.h"

#include <arpa/inet.h>
#include <cddb/cddb.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/CdText.h"

namespace {

// What CDDBSetOption set; guarded by TOptions::Lock.
struct TOptions {
  std::mutex Lock;
  std::string Server = "gnudb.gnudb.org";
  std::string Client = "Velmora 1.2";
  std::string Email = "anonymous@localhost";
  std::string Path = "/~cddb/cddb.cgi";
  int Timeout = 10;
};

struct TSettings {
  std::string Server, Client, Email, Path;
  int Timeout;
};

TOptions& Options() {
  static auto* O = new TOptions;  // never destroyed: see TalkLock
  return *O;
}

TSettings CurrentSettings() {
  TOptions& O = Options();
  std::lock_guard<std::mutex> L(O.Lock);
  return {O.Server, O.Client, O.Email, O.Path, O.Timeout};
}

// libcddb resolves names with gethostbyname, whose result lives in one
// buffer for the whole process, and keeps global state of its own: one talk
// with a server at a time. Made once and never destroyed, as a lookup
// thread may still be talking when the program ends.
std::mutex& TalkLock() {
  static auto* M = [] {
    libcddb_init();
    // A track without an artist of its own has none (not the disc's).
    libcddb_set_flags(CDDB_F_NO_TRACK_ARTIST);
    // Failures are the calls' results; libcddb would print them to stderr.
    cddb_log_set_handler([](cddb_log_level_t, const char*) {});
    return new std::mutex;
  }();
  return *M;
}

struct TConnFree {
  void operator()(cddb_conn_t* C) const { cddb_destroy(C); }
};
using TConnPtr = std::unique_ptr<cddb_conn_t, TConnFree>;
struct TDiscFree {
  void operator()(cddb_disc_t* D) const { cddb_disc_destroy(D); }
};
using TDiscPtr = std::unique_ptr<cddb_disc_t, TDiscFree>;

void SplitServer(const std::string& Server, std::string& Host, int& Port) {
  Host = Server;
  Port = 80;
  size_t Colon = Server.rfind(':');
  if (!Server.empty() && Server[0] == '[') {
    const size_t Close = Server.find(']');
    Host = Server.substr(1, Close == std::string::npos ? std::string::npos : Close - 1);
    Colon = Close != std::string::npos && Close + 1 < Server.size() && Server[Close + 1] == ':'
                ? Close + 1
                : std::string::npos;
  } else if (Colon != std::string::npos && Server.find(':') != Colon) {
    Colon = std::string::npos;  // a bare IPv6 address
  } else if (Colon != std::string::npos) {
    Host = Server.substr(0, Colon);
  }
  if (Colon != std::string::npos) {
    const int P = std::atoi(Server.c_str() + Colon + 1);
    if (P > 0 && P < 65536) Port = P;
  }
}

// The server's IPv4 address in dotted form, or "" when the name does not
// resolve. Done here, outside the talk lock, so that a slow name server holds
// up only its own lookup.
std::string Resolve(const std::string& Host) {
  addrinfo Hints{};
  Hints.ai_family = AF_INET;
  Hints.ai_socktype = SOCK_STREAM;
  addrinfo* Found = nullptr;
  if (Host.empty() || getaddrinfo(Host.c_str(), nullptr, &Hints, &Found) != 0 || !Found) return {};
  char Text[INET_ADDRSTRLEN] = {};
  const auto* A = reinterpret_cast<const sockaddr_in*>(Found->ai_addr);
  const bool Ok = inet_ntop(AF_INET, &A->sin_addr, Text, sizeof Text) != nullptr;
  freeaddrinfo(Found);
  return Ok ? Text : "";
}

// A server's address, resolved, with the settings it is to be talked to with.
struct TServer {
  TSettings Settings;
  std::string Address;
  int Port = 80;
};

bool FindServer(TServer& S) {
  S.Settings = CurrentSettings();
  std::string Host;
  SplitServer(S.Settings.Server, Host, S.Port);
  S.Address = Resolve(Host);
  return !S.Address.empty();
}

// A connection for one command; HTTP opens a connection per command anyway,
// and a connection that failed once is not to be trusted again. Call with the
// talk lock held.
TConnPtr Connection(const TServer& S) {
  TConnPtr C(cddb_new());
  if (!C) return C;
  cddb_http_enable(C.get());
  cddb_set_server_name(C.get(), S.Address.c_str());
  cddb_set_server_port(C.get(), S.Port);
  cddb_set_http_path_query(C.get(), S.Settings.Path.c_str());
  cddb_set_email_address(C.get(), S.Settings.Email.c_str());
  const std::string& Client = S.Settings.Client;
  const size_t Space = Client.rfind(' ');
  const std::string Name = Space == std::string::npos ? Client : Client.substr(0, Space);
  const std::string Version = Space == std::string::npos ? "" : Client.substr(Space + 1);
  cddb_set_client(C.get(), Name.c_str(), Version.c_str());
  cddb_set_timeout(C.get(), static_cast<unsigned>(S.Settings.Timeout));
  cddb_cache_disable(C.get());
  return C;
}

std::string Text(const char* S) { return S ? Utf8OrLatin1(S) : std::string(); }

// The record bytes of a match: which disc record it is.
struct TMatchRecord {
  uint32_t DiscId = 0;
  char Category[16] = {};
  uint8_t Exact = 0;
};
static_assert(sizeof(TMatchRecord) <= sizeof(CddbMatch::Record));

struct TFound {
  std::string Category, Artist, Title;
  uint32_t DiscId = 0;
  bool Exact = false;
};

// Reads the record of Category/DiscId into a fresh disc; null when the
// server failed or has none.
TDiscPtr ReadRecord(const TServer& S, const std::string& Category, uint32_t DiscId) {
  TDiscPtr D(cddb_disc_new());
  cddb_disc_set_category_str(D.get(), Category.c_str());
  cddb_disc_set_discid(D.get(), DiscId);
  std::lock_guard<std::mutex> L(TalkLock());
  TConnPtr C = Connection(S);
  if (!C || !cddb_read(C.get(), D.get())) return nullptr;
  return D;
}

// Appends KEY=value lines, as many as the value needs: a record line holds
// at most 256 bytes, and a value goes on under the same key.
void AddKey(std::string& R, const std::string& Key, std::string Value) {
  std::replace(Value.begin(), Value.end(), '\r', ' ');
  std::replace(Value.begin(), Value.end(), '\n', ' ');
  const size_t Room = 256 - Key.size() - 1;
  std::string_view Rest(Value);
  do {
    const size_t N =
        std::max<size_t>(Utf8PrefixLength(Rest, Room), std::min<size_t>(1, Rest.size()));
    R += Key + "=" + std::string(Rest.substr(0, N)) + "\r";
    Rest.remove_prefix(N);
  } while (!Rest.empty());
}

std::string RecordText(cddb_disc_t* D) {
  std::string R = "# xmcd\r#\r# Track frame offsets:\r";
  int Tracks = 0;
  for (cddb_track_t* T = cddb_disc_get_track_first(D); T; T = cddb_disc_get_track_next(D)) {
    R += "#\t" + std::to_string(cddb_track_get_frame_offset(T)) + "\r";
    ++Tracks;
  }
  R += "#\r# Disc length: " + std::to_string(cddb_disc_get_length(D)) + " seconds\r#\r";
  R += "# Revision: " + std::to_string(cddb_disc_get_revision(D)) + "\r#\r";
  char Id[16];
  std::snprintf(Id, sizeof Id, "%08x", cddb_disc_get_discid(D));
  R += std::string("DISCID=") + Id + "\r";
  AddKey(R, "DTITLE", Text(cddb_disc_get_artist(D)) + " / " + Text(cddb_disc_get_title(D)));
  const unsigned Year = cddb_disc_get_year(D);
  AddKey(R, "DYEAR", Year ? std::to_string(Year) : std::string());
  AddKey(R, "DGENRE", Text(cddb_disc_get_genre(D)));
  for (int I = 0; I < Tracks; ++I) {
    cddb_track_t* T = cddb_disc_get_track(D, I);
    const std::string Artist = Text(cddb_track_get_artist(T));
    const std::string Title = Text(cddb_track_get_title(T));
    AddKey(R, "TTITLE" + std::to_string(I), Artist.empty() ? Title : Artist + " / " + Title);
  }
  AddKey(R, "EXTD", Text(cddb_disc_get_ext_data(D)));
  for (int I = 0; I < Tracks; ++I)
    AddKey(R, "EXTT" + std::to_string(I), Text(cddb_track_get_ext_data(cddb_disc_get_track(D, I))));
  R += "PLAYORDER=\r";
  return R;
}

void PutMatch(CddbMatch& M, const TFound& F) {
  std::memset(&M, 0, sizeof M);
  TMatchRecord Rec;
  Rec.DiscId = F.DiscId;
  SetCdField(Rec.Category, sizeof Rec.Category, F.Category);
  Rec.Exact = F.Exact ? 1 : 0;
  std::memcpy(M.Record, &Rec, sizeof Rec);
  SetCdField(M.Artist, sizeof M.Artist, F.Artist);
  SetCdField(M.Title, sizeof M.Title, F.Title);
}

}  // namespace

std::string CddbHostName(const std::string& Server) {
  std::string Host;
  int Port;
  SplitServer(Server, Host, Port);
  return Host;
}

uint32_t CDDBSetOption(int Option, const char* Text, int Value) {
  TOptions& O = Options();
  std::lock_guard<std::mutex> L(O.Lock);
  const std::string T = Text ? Text : "";
  switch (Option) {
    case coServer:
      O.Server = T;
      return 1;
    case coClient:
      O.Client = T;
      return 1;
    case coEmail:
      O.Email = T;
      return 1;
    case coQueryPath:
      O.Path = T;
      return 1;
    case coTimeout:
      if (Value < 1) return 0;
      O.Timeout = Value;
      return 1;
    default:
      return 0;
  }
}

uint32_t CDDBGetServerList(CddbServerList* List) {
  const uint32_t Room = List ? List->Count : 0;
  if (List) List->Count = 0;
  TServer S;
  if (!FindServer(S)) return 0;
  std::lock_guard<std::mutex> L(TalkLock());
  TConnPtr C = Connection(S);
  if (!C) return 0;
  if (!cddb_sites(C.get())) {
    // "No site information" is an answer; the error number stays clear for
    // it, while a failed talk sets one.
    return cddb_errno(C.get()) == CDDB_ERR_OK ? 1 : 0;
  }
  if (!List || !List->Servers) return 1;
  for (const cddb_site_t* Site = cddb_first_site(C.get()); Site && List->Count < Room;
       Site = cddb_next_site(C.get())) {
    CddbServer& E = List->Servers[List->Count++];
    std::memset(&E, 0, sizeof E);
    const char* Address = nullptr;
    unsigned Port = 0;
    cddb_site_get_address(Site, &Address, &Port);
    SetCdField(E.Host, sizeof E.Host, Text(Address));
    E.Port = static_cast<int32_t>(Port);
    const char* Path = nullptr;
    cddb_site_get_query_path(Site, &Path);
    SetCdField(E.Path, sizeof E.Path, Text(Path));
    const char* Description = nullptr;
    cddb_site_get_description(Site, &Description);
    SetCdField(E.Location, sizeof E.Location, Text(Description));
  }
  return 1;
}

uint32_t CDDBQuery(TCDHandle Handle, CddbQueryResults* Results) {
  if (!Results) return 0;
  const uint32_t Room = Results->Matches ? Results->Count : 0;
  Results->Count = 0;
  TableOfContents Toc;
  if (!CDHandleToc(Handle, Toc)) return 0;
  TalkLock();  // sets libcddb up before its first use
  const int Tracks = Toc.LastTrack - Toc.FirstTrack + 1;

  TDiscPtr Disc(cddb_disc_new());
  for (int K = 0; K < Tracks; ++K) {
    cddb_track_t* T = cddb_track_new();
    cddb_track_set_frame_offset(T, TocAddress(Toc.Entries[K]) + 150);
    cddb_disc_add_track(Disc.get(), T);
  }
  cddb_disc_set_length(Disc.get(),
                       static_cast<unsigned>((TocAddress(Toc.Entries[Tracks]) + 150) / 75));
  cddb_disc_calc_discid(Disc.get());
  const uint32_t DiscId = cddb_disc_get_discid(Disc.get());

  TServer S;
  if (!FindServer(S)) return 0;
  std::vector<TFound> Found;
  {
    std::lock_guard<std::mutex> L(TalkLock());
    TConnPtr C = Connection(S);
    if (!C) return 0;
    const int N = cddb_query(C.get(), Disc.get());
    if (N < 0) return 0;
    // The disc now holds the first match; the others follow one by one.
    for (int I = 0; I < N; ++I) {
      if (I > 0 && !cddb_query_next(C.get(), Disc.get())) break;
      TFound F;
      F.Category = Text(cddb_disc_get_category_str(Disc.get()));
      F.DiscId = cddb_disc_get_discid(Disc.get());
      F.Artist = Text(cddb_disc_get_artist(Disc.get()));
      F.Title = Text(cddb_disc_get_title(Disc.get()));
      F.Exact = F.DiscId == DiscId;
      Found.push_back(std::move(F));
    }
  }

  // Exact matches first, in the server's order; an inexact one only when
  // its record has the disc's number of tracks.
  std::vector<TFound> Taken;
  for (const TFound& F : Found)
    if (F.Exact) Taken.push_back(F);
  for (const TFound& F : Found) {
    if (F.Exact) continue;
    const TDiscPtr Record = ReadRecord(S, F.Category, F.DiscId);
    if (Record && cddb_disc_get_track_count(Record.get()) == Tracks) Taken.push_back(F);
  }
  Results->Count = static_cast<uint32_t>(Taken.size());
  for (uint32_t I = 0; I < Room && I < Taken.size(); ++I) PutMatch(Results->Matches[I], Taken[I]);
  return 1;
}

uint32_t CDDBGetDiskInfo(const CddbMatch* Match, char* Buffer, int Size) {
  if (!Buffer || Size <= 0) return 0;
  Buffer[0] = 0;
  if (!Match) return 0;
  TMatchRecord Rec;
  std::memcpy(&Rec, Match->Record, sizeof Rec);
  const std::string Category = CdFieldText(Rec.Category, sizeof Rec.Category);
  if (Category.empty() || Rec.DiscId == 0) return 0;
  TServer S;
  if (!FindServer(S)) return 0;
  const TDiscPtr Record = ReadRecord(S, Category, Rec.DiscId);
  if (!Record) return 0;
  const std::string R = RecordText(Record.get());
  const size_t N = Utf8PrefixLength(R, static_cast<size_t>(Size) - 1);
  std::memcpy(Buffer, R.data(), N);
  Buffer[N] = 0;
  return 1;
}
