#include "platform/CdAccess.h"

#include <cdio/cdio.h>
#include <cdio/logging.h>
#include <cdio/paranoia/cdda.h>
#include <cdio/paranoia/paranoia.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "platform/CdText.h"
#include "platform/CueSheetCheck.h"

namespace {

constexpr uint8_t kSystemDrive = 0, kNamedDrive = 1;

struct TCdioFree {
  void operator()(CdIo_t* P) const { cdio_destroy(P); }
};
using TCdioPtr = std::unique_ptr<CdIo_t, TCdioFree>;

// libcdio-paranoia over an open drive: made at the first checked read,
// freed before the drive.
struct TParanoia {
  cdrom_drive_t* Drive = nullptr;
  cdrom_paranoia_t* Paranoia = nullptr;
  lsn_t Next = -1;  // the sector the next read delivers
  TParanoia() = default;
  TParanoia(const TParanoia&) = delete;
  TParanoia& operator=(const TParanoia&) = delete;
  ~TParanoia() {
    if (Paranoia) cdio_paranoia_free(Paranoia);
    if (Drive) cdio_cddap_close_no_free_cdio(Drive);
  }
};

struct TOpenDrive {
  // Declared after Cdio, so that it is destroyed first.
  TCdioPtr Cdio;
  std::unique_ptr<TParanoia> Checked;
  bool HasToc = false;
  TableOfContents Toc{};
  int32_t LeadOut = 0;
};

// Everything the layer keeps. Made once and never destroyed: a lookup
// thread may still use the layer while the program ends.
struct TState {
  std::mutex Lock;
  std::function<std::vector<std::string>()> Lister;  // null: libcdio's
  std::vector<std::string> Named;                    // paths named by the user
  std::vector<std::string> Listed[2];                // per group, as the last GetCDList saw it
  std::map<TCDHandle, TOpenDrive> Open;
  TCDHandle LastHandle = 0;
};

TState& State() {
  static TState* S = [] {
    // libcdio reports to stderr unless told otherwise; its failures are the
    // results of the calls here.
    cdio_log_set_handler([](cdio_log_level_t, const char*) {});
    return new TState;
  }();
  return *S;
}

bool IsCueSheet(const std::string& Path) {
  if (Path.size() < 4) return false;
  std::string Ext = Path.substr(Path.size() - 4);
  std::transform(Ext.begin(), Ext.end(), Ext.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  return Ext == ".cue";
}

TCdioPtr OpenPath(const std::string& Path) {
  if (!IsCueSheet(Path)) return TCdioPtr(cdio_open(Path.c_str(), DRIVER_DEVICE));
  if (!CueSheetFileProblem(Path).empty()) return nullptr;
  return TCdioPtr(cdio_open(Path.c_str(), DRIVER_BINCUE));
}

std::vector<std::string> SystemDevices(TState& S) {
  if (S.Lister) return S.Lister();
  std::vector<std::string> R;
  char** Devices = cdio_get_devices(DRIVER_DEVICE);
  if (!Devices) return R;
  for (char** D = Devices; *D; ++D) R.emplace_back(*D);
  cdio_free_device_list(Devices);
  return R;
}

// "Vendor Model Revision", or the path when the drive does not say.
std::string DriveName(const std::string& Path) {
  TCdioPtr P = OpenPath(Path);
  cdio_hwinfo_t Hw{};
  if (P && cdio_get_hwinfo(P.get(), &Hw)) {
    std::string Name;
    const auto Add = [&Name](const char* Part, size_t Size) {
      std::string T(Part, strnlen(Part, Size));
      while (!T.empty() && T.back() == ' ') T.pop_back();
      if (!T.empty()) Name += (Name.empty() ? "" : " ") + T;
    };
    Add(Hw.psz_vendor, sizeof Hw.psz_vendor);
    Add(Hw.psz_model, sizeof Hw.psz_model);
    Add(Hw.psz_revision, sizeof Hw.psz_revision);
    if (!Name.empty()) return Name + " (" + Path + ")";
  }
  return Path;
}

// A path shown in a 64-byte field keeps its end, where the file name is.
std::string PathName(const std::string& Path) {
  constexpr size_t kRoom = sizeof(DriveEntry::Id) - 1;
  if (Path.size() <= kRoom) return Path;
  const std::string Dots = "...";
  size_t From = Path.size() - (kRoom - Dots.size());
  while (From < Path.size() && (static_cast<unsigned char>(Path[From]) & 0xC0) == 0x80) ++From;
  return Dots + Path.substr(From);
}

void PutAddress(TocEntry& E, int32_t Lba) {
  const auto U = static_cast<uint32_t>(Lba);
  E.Address[0] = static_cast<uint8_t>(U >> 24);
  E.Address[1] = static_cast<uint8_t>(U >> 16);
  E.Address[2] = static_cast<uint8_t>(U >> 8);
  E.Address[3] = static_cast<uint8_t>(U);
}

// The control nibble of a track, as the disc's subchannel carries it.
uint8_t Control(CdIo_t* P, track_t T) {
  uint8_t C = 0;
  const track_format_t F = cdio_get_track_format(P, T);
  if (F != TRACK_FORMAT_AUDIO && F != TRACK_FORMAT_ERROR) C |= 0x04;
  if (cdio_get_track_copy_permit(P, T) == CDIO_TRACK_FLAG_TRUE) C |= 0x02;
  if (cdio_get_track_preemphasis(P, T) == CDIO_TRACK_FLAG_TRUE) C |= 0x01;
  if (cdio_get_track_channels(P, T) == 4) C |= 0x08;
  return C;
}

// Reads and checks the table; false when there is none or it is not sane.
bool BuildToc(CdIo_t* P, TableOfContents& Toc, int32_t& LeadOut) {
  Toc = TableOfContents{};
  const track_t First = cdio_get_first_track_num(P);
  const track_t Last = cdio_get_last_track_num(P);
  if (First == CDIO_INVALID_TRACK || Last == CDIO_INVALID_TRACK) return false;
  if (First < 1 || First > Last || Last > 99) return false;
  int32_t Previous = -1;
  int K = 0;
  for (track_t T = First; T <= Last; ++T, ++K) {
    const lsn_t Lsn = cdio_get_track_lsn(P, T);
    if (Lsn == CDIO_INVALID_LSN || Lsn < 0 || (K > 0 && Lsn <= Previous)) return false;
    TocEntry& E = Toc.Entries[K];
    E.AdrControl = static_cast<uint8_t>(0x10 | Control(P, T));
    E.TrackNumber = T;
    PutAddress(E, Lsn);
    Previous = Lsn;
  }
  const lsn_t End = cdio_get_track_lsn(P, CDIO_CDROM_LEADOUT_TRACK);
  if (End == CDIO_INVALID_LSN || End <= Previous) return false;
  TocEntry& Out = Toc.Entries[K];
  Out.AdrControl = Toc.Entries[K - 1].AdrControl;
  Out.TrackNumber = kLeadOutTrack;
  PutAddress(Out, End);
  Toc.FirstTrack = First;
  Toc.LastTrack = Last;
  Toc.Length = static_cast<uint16_t>(2 + 8 * (K + 1));
  LeadOut = End;
  return true;
}

}  // namespace

int32_t TocAddress(const TocEntry& E) {
  return static_cast<int32_t>(static_cast<uint32_t>(E.Address[0]) << 24 |
                              static_cast<uint32_t>(E.Address[1]) << 16 |
                              static_cast<uint32_t>(E.Address[2]) << 8 | E.Address[3]);
}

uint32_t GetCDList(DriveList* List) {
  if (!List) return 0;
  TState& S = State();
  std::lock_guard<std::mutex> L(S.Lock);
  const uint8_t Max = std::min<uint8_t>(List->Max, 8);
  List->Count = 0;
  std::memset(List->Drives, 0, sizeof List->Drives);
  S.Listed[kSystemDrive] = SystemDevices(S);
  S.Listed[kNamedDrive] = S.Named;
  for (uint8_t Group : {kSystemDrive, kNamedDrive}) {
    const auto& Paths = S.Listed[Group];
    for (size_t I = 0; I < Paths.size() && List->Count < Max && I < 256; ++I) {
      DriveEntry& E = List->Drives[List->Count++];
      E.HostAdapter = Group;
      E.Target = static_cast<uint8_t>(I);
      E.Lun = 0;
      SetCdField(E.Id, sizeof E.Id,
                 Group == kSystemDrive ? DriveName(Paths[I]) : PathName(Paths[I]));
    }
  }
  return List->Count;
}

std::string CDDrivePath(const DriveEntry& Entry) {
  TState& S = State();
  std::lock_guard<std::mutex> L(S.Lock);
  if (Entry.HostAdapter > kNamedDrive || Entry.Lun != 0) return {};
  const auto& Paths = S.Listed[Entry.HostAdapter];
  return Entry.Target < Paths.size() ? Paths[Entry.Target] : std::string();
}

TCDHandle GetCDHandle(const DriveOpenRequest* Request) {
  if (!Request) return 0;
  const std::string Path = [Request] {
    DriveEntry E{};
    E.HostAdapter = Request->HostAdapter;
    E.Target = Request->Target;
    E.Lun = Request->Lun;
    return CDDrivePath(E);
  }();
  if (Path.empty()) return 0;
  // Opening a drive can take a while; the table is not held meanwhile.
  TCdioPtr P = OpenPath(Path);
  if (!P) return 0;
  TState& S = State();
  std::lock_guard<std::mutex> L(S.Lock);
  const TCDHandle H = ++S.LastHandle;
  S.Open[H].Cdio = std::move(P);
  return H;
}

uint32_t CloseCDHandle(TCDHandle Handle) {
  TState& S = State();
  TCdioPtr Closing;
  {
    std::lock_guard<std::mutex> L(S.Lock);
    const auto It = S.Open.find(Handle);
    if (It == S.Open.end()) return 0;
    Closing = std::move(It->second.Cdio);
    S.Open.erase(It);
  }
  return 1;
}

uint32_t ModifyCDParms(TCDHandle Handle, int Parameter, uint32_t Value) {
  TState& S = State();
  std::lock_guard<std::mutex> L(S.Lock);
  if (!S.Open.count(Handle)) return 0;
  return Parameter == kCdParmAddressMode && Value == 0 ? 1 : 0;
}

uint32_t ReadTOC(TCDHandle Handle, TableOfContents* Toc) {
  if (!Toc) return 0;
  TState& S = State();
  std::lock_guard<std::mutex> L(S.Lock);
  const auto It = S.Open.find(Handle);
  *Toc = TableOfContents{};
  if (It == S.Open.end()) return 0;
  TOpenDrive& D = It->second;
  D.HasToc = BuildToc(D.Cdio.get(), D.Toc, D.LeadOut);
  if (!D.HasToc) return 0;
  *Toc = D.Toc;
  return 1;
}

bool CDHandleToc(TCDHandle Handle, TableOfContents& Toc) {
  TState& S = State();
  std::lock_guard<std::mutex> L(S.Lock);
  const auto It = S.Open.find(Handle);
  if (It == S.Open.end() || !It->second.HasToc) return false;
  Toc = It->second.Toc;
  return true;
}

uint32_t ReadCDAudioLBA(TCDHandle Handle, TrackBuffer* Buffer) {
  if (!Buffer) return 0;
  const int32_t Room = std::max(Buffer->MaxLen, 0) / kCdFrameBytes;
  const int32_t Frames = std::clamp(Buffer->NumFrames, 0, Room);
  const int32_t Start = Buffer->StartFrame;
  uint8_t* Data = TrackBufferData(Buffer);
  Buffer->NumFrames = Frames;
  Buffer->Len = Frames * kCdFrameBytes;
  Buffer->StartOffset = 0;
  std::memset(Data, 0, static_cast<size_t>(Buffer->Len));

  bool Complete = Frames > 0;
  TState& S = State();
  std::lock_guard<std::mutex> L(S.Lock);
  const auto It = S.Open.find(Handle);
  if (It == S.Open.end()) {
    Complete = false;
  } else if (Frames > 0) {
    TOpenDrive& D = It->second;
    // Without a table read on this handle, the disc's end is asked for now.
    const int32_t End =
        D.HasToc ? D.LeadOut : cdio_get_track_lsn(D.Cdio.get(), CDIO_CDROM_LEADOUT_TRACK);
    // WATCHOUT: a read that runs past the lead-out succeeds and leaves the
    // buffer's tail as it was: only sectors inside the disc are asked for.
    const int32_t From = std::max(Start, 0);
    const int32_t To = std::min<int64_t>(int64_t{Start} + Frames, End);
    if (From != Start || To != Start + Frames || End == CDIO_INVALID_LSN) Complete = false;
    if (To > From &&
        cdio_read_audio_sectors(D.Cdio.get(), Data + int64_t{From - Start} * kCdFrameBytes, From,
                                static_cast<uint32_t>(To - From)) != DRIVER_OP_SUCCESS) {
      std::memset(Data, 0, static_cast<size_t>(Buffer->Len));
      Complete = false;
    }
  }
  Buffer->Status = Complete ? 0 : 1;
  return Complete ? 1 : 0;
}

namespace {

// What paranoia's call-back saw during one read on this thread (the
// call-back has no user pointer; reads run under the layer's lock).
struct TParanoiaEvents {
  int Repairs = 0;
  bool Failed = false;
};
thread_local TParanoiaEvents* GParanoiaEvents = nullptr;

void ParanoiaCallback(long, paranoia_cb_mode_t Mode) {
  TParanoiaEvents* E = GParanoiaEvents;
  if (!E) return;
  switch (Mode) {
    // Paranoia reads ahead of the sectors asked for, so a read error is not
    // yet a failure; a sector given up after its retries is.
    case PARANOIA_CB_SKIP:
      E->Failed = true;
      break;
    case PARANOIA_CB_FIXUP_EDGE:
    case PARANOIA_CB_FIXUP_ATOM:
    case PARANOIA_CB_FIXUP_DROPPED:
    case PARANOIA_CB_FIXUP_DUPED:
    case PARANOIA_CB_DRIFT:
    case PARANOIA_CB_SCRATCH:
    case PARANOIA_CB_REPAIR:
      ++E->Repairs;
      break;
    default:
      break;
  }
}

}  // namespace

uint32_t ReadCDAudioChecked(TCDHandle Handle, TrackBuffer* Buffer, int MaxRetries, int* Repairs) {
  if (Repairs) *Repairs = 0;
  if (!Buffer) return 0;
  // WATCHOUT: paranoia spends minutes on a sector that cannot be read at
  // all; such a sector is found by a plain read first and fails at once.
  const TrackBuffer Asked = *Buffer;
  if (ReadCDAudioLBA(Handle, Buffer) != 1) return 0;
  *Buffer = Asked;
  const int32_t Room = std::max(Buffer->MaxLen, 0) / kCdFrameBytes;
  const int32_t Frames = std::clamp(Buffer->NumFrames, 0, Room);
  const int32_t Start = Buffer->StartFrame;
  uint8_t* Data = TrackBufferData(Buffer);
  Buffer->NumFrames = Frames;
  Buffer->Len = Frames * kCdFrameBytes;
  Buffer->StartOffset = 0;
  Buffer->Status = 1;
  std::memset(Data, 0, static_cast<size_t>(Buffer->Len));

  TState& S = State();
  std::lock_guard<std::mutex> L(S.Lock);
  const auto It = S.Open.find(Handle);
  if (It == S.Open.end() || Frames <= 0) return 0;
  TOpenDrive& D = It->second;
  const int32_t End =
      D.HasToc ? D.LeadOut : cdio_get_track_lsn(D.Cdio.get(), CDIO_CDROM_LEADOUT_TRACK);
  if (Start < 0 || End == CDIO_INVALID_LSN || int64_t{Start} + Frames > End) return 0;
  if (!D.Checked) {
    auto P = std::make_unique<TParanoia>();
    P->Drive = cdio_cddap_identify_cdio(D.Cdio.get(), CDDA_MESSAGE_FORGETIT, nullptr);
    if (!P->Drive) return 0;
    // WATCHOUT: left to guess, paranoia decides the byte order from the
    // disc's samples, and a disc whose sectors cannot all be read makes it
    // guess wrong; libcdio delivers audio little-endian.
    P->Drive->bigendianp = 0;
    if (cdio_cddap_open(P->Drive) != 0) return 0;
    P->Paranoia = cdio_paranoia_init(P->Drive);
    if (!P->Paranoia) return 0;
    // Every check, but a sector that cannot be read is given up (and the
    // read fails) instead of being retried for ever.
    cdio_paranoia_modeset(P->Paranoia, PARANOIA_MODE_FULL ^ PARANOIA_MODE_NEVERSKIP);
    D.Checked = std::move(P);
  }
  TParanoia& P = *D.Checked;
  if (P.Next != Start) {
    cdio_paranoia_seek(P.Paranoia, Start, SEEK_SET);
    P.Next = Start;
  }
  TParanoiaEvents Events;
  GParanoiaEvents = &Events;
  bool Ok = true;
  for (int32_t I = 0; I < Frames && Ok; ++I) {
    const int16_t* Sector =
        cdio_paranoia_read_limited(P.Paranoia, ParanoiaCallback, std::max(MaxRetries, 1));
    ++P.Next;
    if (!Sector || Events.Failed) {
      Ok = false;
      break;
    }
    // Paranoia hands out host-order samples: little-endian here, as on the
    // disc.
    std::memcpy(Data + int64_t{I} * kCdFrameBytes, Sector, kCdFrameBytes);
  }
  GParanoiaEvents = nullptr;
  if (Repairs) *Repairs = Events.Repairs;
  if (!Ok) {
    // Paranoia's state after a failure is not to be trusted: the next read
    // starts afresh.
    D.Checked.reset();
    std::memset(Data, 0, static_cast<size_t>(Buffer->Len));
    return 0;
  }
  Buffer->Status = 0;
  return 1;
}

void TTrackBufferFree::operator()(TrackBuffer* B) const { std::free(B); }

TTrackBufferPtr NewTrackBuffer(int Frames) {
  const size_t Bytes = static_cast<size_t>(std::max(Frames, 0)) * kCdFrameBytes;
  auto* B = static_cast<TrackBuffer*>(std::calloc(1, sizeof(TrackBuffer) + Bytes));
  if (!B) throw std::bad_alloc();
  B->MaxLen = static_cast<int32_t>(Bytes);
  return TTrackBufferPtr(B);
}

bool AddCDDrive(const std::string& Path) {
  struct stat St;
  if (Path.empty() || ::stat(Path.c_str(), &St) != 0) return false;
  TState& S = State();
  std::lock_guard<std::mutex> L(S.Lock);
  if (std::find(S.Named.begin(), S.Named.end(), Path) == S.Named.end()) S.Named.push_back(Path);
  return true;
}

std::string CDDriveProblem(const std::string& Path) {
  return IsCueSheet(Path) ? CueSheetFileProblem(Path) : std::string();
}

void ForgetCDDrives() {
  TState& S = State();
  std::lock_guard<std::mutex> L(S.Lock);
  S.Named.clear();
}

void SetCDDeviceLister(std::function<std::vector<std::string>()> Lister) {
  TState& S = State();
  std::lock_guard<std::mutex> L(S.Lock);
  S.Lister = std::move(Lister);
}
