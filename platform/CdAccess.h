// The CD drives and the discs in them, over libcdio: the drive list, drive
// handles, the table of contents and audio sector reads, with fixed record
// layouts. Besides the system's drives, the list holds drives that the user
// names: a disc image (a .cue sheet with its .bin of raw 2352-byte sectors)
// or a device node.
//
// Addresses are logical block addresses: sector 0 is the first sector of the
// program area (00:02:00 on the disc), 75 sectors a second, 2352 bytes each.
//
// Every function may be called from any thread; one lock keeps the drive
// table and the open drives consistent. A handle stays valid until it is
// closed; handles are never reused, so a closed one is refused, not mistaken
// for another drive.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#pragma pack(push, 1)

// One drive of the list, 121 bytes. HostAdapter, Target and Lun identify it
// to GetCDHandle (0 for the system's drives and 1 for the named ones, the
// number within that group, 0).
struct DriveEntry {
  uint8_t HostAdapter;
  uint8_t Target;
  uint8_t Lun;
  uint8_t Reserved;
  char Id[65];  // UTF-8, zero-terminated: vendor, model and revision, or the path
  uint8_t Info[52];
};

// Filled by GetCDList: the caller sets Max (at most 8).
struct DriveList {
  uint8_t Max;
  uint8_t Count;
  DriveEntry Drives[8];
};

// Passed to GetCDHandle, 12 bytes.
struct DriveOpenRequest {
  uint8_t Size;     // 12
  uint8_t Version;  // 1
  uint8_t HostAdapter;
  uint8_t Target;
  uint8_t Lun;
  uint8_t Reserved[7];
};

// One track of the table of contents, 8 bytes.
struct TocEntry {
  uint8_t Reserved1;
  // ADR 1 in the high nibble; the control nibble: bit 2 data track, bit 1
  // copy permitted, bit 0 pre-emphasis, bit 3 four channels.
  uint8_t AdrControl;
  uint8_t TrackNumber;  // 0xAA for the lead-out
  uint8_t Reserved2;
  uint8_t Address[4];  // logical block address, big-endian
};

// Filled by ReadTOC: entry k is track FirstTrack + k; the entry after the
// last track is the lead-out.
struct TableOfContents {
  uint16_t Length;  // bytes after this field: 2 + 8 per entry
  uint8_t FirstTrack;
  uint8_t LastTrack;
  TocEntry Entries[100];
};

// The header of an audio read buffer; the data area follows it at once
// (TrackBufferData). All fields are in and out of ReadCDAudioLBA.
struct TrackBuffer {
  int32_t StartFrame;   // in: the first sector to read
  int32_t NumFrames;    // in: sectors wanted; out: sectors delivered
  int32_t MaxLen;       // in: bytes of room in the data area
  int32_t Len;          // out: valid bytes
  int32_t Status;       // out: 0 when every sector was read from the disc
  int32_t StartOffset;  // out: where the valid bytes start in the data area
};

#pragma pack(pop)

static_assert(sizeof(DriveEntry) == 121);
static_assert(sizeof(DriveList) == 2 + 8 * 121);
static_assert(sizeof(DriveOpenRequest) == 12);
static_assert(sizeof(TocEntry) == 8);
static_assert(sizeof(TrackBuffer) == 24);

using TCDHandle = uint32_t;

constexpr int kCdFrameBytes = 2352;
constexpr uint8_t kLeadOutTrack = 0xAA;
// ModifyCDParms: how addresses are given; 0 = logical block addresses, the
// only mode there is.
constexpr int kCdParmAddressMode = 36;

// Lists up to List->Max (at most 8) drives: the system's, then the named
// ones. Returns the number listed (also in List->Count).
uint32_t GetCDList(DriveList* List);
// Opens the drive of the request (as listed by the last GetCDList); 0 when
// there is no such drive or it cannot be opened.
TCDHandle GetCDHandle(const DriveOpenRequest* Request);
// 1 when Handle was open.
uint32_t CloseCDHandle(TCDHandle Handle);
// 1 when the parameter is known and the value allowed (only
// kCdParmAddressMode = 0 is), else 0.
uint32_t ModifyCDParms(TCDHandle Handle, int Parameter, uint32_t Value);
// Reads and checks the disc's table of contents: 1 on success; 0 (Toc
// zeroed) when there is no disc, or when its table is not sane: track
// numbers must satisfy 1 <= first <= last <= 99, start addresses must rise,
// and the lead-out must lie after the last track's start.
uint32_t ReadTOC(TCDHandle Handle, TableOfContents* Toc);
// Reads Buffer->NumFrames sectors of raw audio from Buffer->StartFrame into
// the data area (no more than Buffer->MaxLen / 2352 of them). Delivers
// NumFrames sectors (Len = NumFrames * 2352 from StartOffset 0) either way,
// so a reader that walks a track always moves on: sectors outside the disc
// (before 0 or from the lead-out on) or that the drive could not read are
// zeros, and then Status is 1 and the result 0; 1 when all were read.
uint32_t ReadCDAudioLBA(TCDHandle Handle, TrackBuffer* Buffer);

// Reads as ReadCDAudioLBA does, through libcdio-paranoia: each sector is
// read until reads of it agree (jitter between reads is corrected), with at
// most MaxRetries re-reads per sector. Sectors that a plain read cannot
// deliver fail at once. 1 (and Status 0) when every sector was
// verified; 0 (Status 1, the data area zeroed) when a sector could not be
// read alike or lies outside the disc. Repairs, when given, counts the
// corrections paranoia had to make.
uint32_t ReadCDAudioChecked(TCDHandle Handle, TrackBuffer* Buffer, int MaxRetries, int* Repairs);

// The data area of Buffer.
inline uint8_t* TrackBufferData(TrackBuffer* Buffer) {
  return reinterpret_cast<uint8_t*>(Buffer + 1);
}
// A zeroed buffer with room for Frames sectors (MaxLen set).
struct TTrackBufferFree {
  void operator()(TrackBuffer* B) const;
};
using TTrackBufferPtr = std::unique_ptr<TrackBuffer, TTrackBufferFree>;
TTrackBufferPtr NewTrackBuffer(int Frames);

// ---- named drives and the drive list's source

// Adds a drive by path: a .cue disc image (compared without regard to case)
// or a device node. False when Path names nothing. A path already named is
// not added twice. Named drives are kept until ForgetCDDrives.
bool AddCDDrive(const std::string& Path);
// Why the drive at Path will not be opened though it exists: a cue sheet
// that the image driver cannot be trusted with ("" for a sheet that can be
// read, and for device nodes).
std::string CDDriveProblem(const std::string& Path);
void ForgetCDDrives();
// The path of a listed drive ("" when the entry is not one of the last list).
std::string CDDrivePath(const DriveEntry& Entry);
// Where the system's drives come from: Lister returns their device paths.
// Without one (the default, or after passing nullptr), libcdio finds them.
void SetCDDeviceLister(std::function<std::vector<std::string>()> Lister);

// The table of contents that ReadTOC last read on Handle; false when Handle
// is not open or no table was read on it.
bool CDHandleToc(TCDHandle Handle, TableOfContents& Toc);

// The start address of TOC entry Index (big-endian on the record).
int32_t TocAddress(const TocEntry& Entry);
