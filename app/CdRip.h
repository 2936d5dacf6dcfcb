// Ripping the tracks of a disc, without the window: one track into a WAV
// file with every read checked, the names the files get, the checksums of
// the rip log, the cue sheet of a single-file rip, and the whole job (one
// file per track, or all tracks joined into one file, either as WAV or MP3).
// The window runs the job on a worker thread; the command-line tool runs it
// on its own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/CdAccess.h"

class TWaveIn;
class TWaveOut;
class TAudioMixer;
class TMP3Out;

// ---- file names

// The longest file name a job writes, in bytes (suffix and extension
// included).
constexpr size_t kRipNameMax = 250;

// The track name of a row: its "Track Name" text with the first
// " - Audio Track" (compared without regard to case) removed.
std::string RipTrackName(const std::string& RowName);

// Title as the stem of a file name: "/", NUL and control characters become
// "_"; a stem that is empty or dots only becomes "Track-NN" (TrackNumber
// with two digits).
std::string RipSafeStem(const std::string& Title, int TrackNumber);

// The names a job has given, so that no two of its files share one. Take
// returns Stem + Extension cut to kRipNameMax bytes on a UTF-8 boundary, or,
// when the job already gave that name, Stem + " (2)" + Extension (then 3,
// ...). Names are compared exactly.
class TRipNames {
 public:
  std::string Take(const std::string& Stem, const std::string& Extension);

 private:
  std::set<std::string> FUsed;
};

// Path with its extension (the part of the last path element from its last
// '.') replaced by Extension; Extension is appended when there is none.
std::string ReplaceExtension(const std::string& Path, const std::string& Extension);

// ---- checksums of ripped audio

// CRC-32 (the zlib polynomial, reflected, starting from ~0 and inverted at
// the end) of the audio bytes, and the AccurateRip track checksums v1 and v2:
// every stereo frame read as one little-endian 32-bit word S with 1-based
// position m; v1 sums m * S, v2 sums the high and the low 32 bits of the
// 64-bit product m * S, both modulo 2^32. The first track of a disc counts
// only positions m >= 5 * 588, the last only m <= N - 5 * 588 (N frames).
class TRipChecksums {
 public:
  // Frames: the stereo frames the track will have; First, Last: whether it
  // is the first or the last audio track of the disc.
  TRipChecksums(int64_t Frames, bool First, bool Last);
  // The next Size bytes of the track (any split; Size need not be a
  // multiple of 4).
  void Add(const uint8_t* Data, size_t Size);
  uint32_t Crc32() const { return ~FCrc; }
  uint32_t AccurateRipV1() const { return FV1; }
  uint32_t AccurateRipV2() const { return FV2; }

 private:
  uint32_t FCrc = 0xFFFFFFFFu;
  uint32_t FV1 = 0, FV2 = 0;
  int64_t FPosition = 0;  // frames counted so far
  int64_t FFrom, FTo;     // positions that count
  uint8_t FPart[4] = {};
  size_t FPartSize = 0;
};

// ---- one track

// Read attempts of a chunk before the track is given up, and, with checked
// reads, the re-reads of each sector within one attempt.
constexpr int kRipReadAttempts = 4;
constexpr int kRipSectorRetries = 20;
// Frames asked for per read.
constexpr int kRipChunkFrames = 25;

struct TRipTrackResult {
  bool Ok = false;
  std::string Error;   // when not Ok: "Read error", "Data track", a write error
  int64_t Frames = 0;  // frames written
  uint32_t Crc32 = 0, ArV1 = 0, ArV2 = 0;
  int Retries = 0;       // reads that had to be repeated
  bool Checked = false;  // every sector was read twice with equal results
};

// Reads entry K of Toc (as read from Handle) into a new WAV file File: the
// 44-byte header, then the sectors from the entry's address, Frames of
// them (clamped to the lead-out). Every read is checked: a read that fails
// or delivers a buffer that does not add up is repeated, up to
// kRipReadAttempts times, and then fails the track. Checked reads go through
// ReadCDAudioChecked (each sector verified), others through ReadCDAudioLBA.
// A failed track leaves no
// file. Progress gets the percentage read (0 ... 100) on the calling thread.
// A data track is refused. Replaces any file File.
TRipTrackResult RipCdTrack(TCDHandle Handle, const TableOfContents& Toc, int K, int32_t Frames,
                           const std::string& File, bool Checked,
                           const std::function<void(int)>& Progress);

// The frame count of entry K of Toc as the listing gives it.
int32_t RipTrackFrames(const TableOfContents& Toc, int K);
// The CDDB disc ID of Toc.
uint32_t RipCddbDiscId(const TableOfContents& Toc);

// ---- the job

struct TRipTrackRequest {
  int Entry = 0;      // index into the table of contents
  std::string Name;   // the track name (RipTrackName of the row)
  std::string Title;  // the track's own title for tags and cue sheets ("": none)
};

struct TRipRequest {
  TCDHandle Handle = 0;
  TableOfContents Toc{};                 // as listed: the job is refused when the disc changed
  std::string Drive;                     // the drive's name, for the log
  std::vector<TRipTrackRequest> Tracks;  // the checked rows, in order
  // One file per track into Folder, or, when SingleFile is set, all tracks
  // joined into SingleFile (its extension as the type chosen).
  std::string Folder;
  std::string SingleFile;
  bool Mp3 = false;
  bool Checked = true;  // ReadCDAudioChecked
  // Tags of MP3 files; an empty Title takes each track's own.
  std::string Album, Artist, Year, Title, Comment;
};

// The engine components a job uses (not owned); their events are the job's
// while it runs.
struct TRipComponents {
  TWaveIn* WaveIn1 = nullptr;
  TWaveIn* WaveIn2 = nullptr;
  TAudioMixer* Mixer = nullptr;  // WaveIn1 then WaveIn2, amConcatenate
  TWaveOut* WaveOut = nullptr;   // reads Mixer
  TWaveIn* FinalWaveIn = nullptr;
  TMP3Out* Mp3Out = nullptr;  // reads FinalWaveIn
  // Applied to Mp3Out before each encoding (the saved bit rate).
  std::function<void(TMP3Out*)> ApplyMp3Settings;
};

// Everything a job reports, on the job's thread.
struct TRipEvents {
  std::function<void(const std::string&)> Status;
  std::function<void(int)> Progress;
  std::function<void(int Entry)> TrackStarted;
  std::function<void(int Entry)> TrackFailed;
};

struct TRipTrackReport {
  int TrackNumber = 0;
  std::string File;  // as written ("" when nothing was)
  TRipTrackResult Result;
};

struct TRipOutcome {
  bool Refused = false;  // nothing was done; Message says why
  std::string Message;   // the last status: "Rip done." ...
  bool Stopped = false;
  int Done = 0, Failed = 0;
  std::vector<TRipTrackReport> Tracks;
  std::vector<std::string> Files;  // every file written, the log and cue sheet included
  std::string LogFile, CueFile;
};

// The status texts of a job.
extern const char* const kRipDone;
extern const char* const kRipStopped;
extern const char* const kRipDiscChanged;
extern const char* const kRipReadError;

// Runs the job to its end on the calling thread. Stop (any thread) ends it
// after the stage in progress.
class TRipJob {
 public:
  TRipJob(TRipComponents Components, TRipRequest Request, TRipEvents Events);
  TRipOutcome Run();
  void Stop() { FStop = true; }
  bool StopRequested() const { return FStop; }

 private:
  bool RunSink(bool Mp3, std::string& Error);
  void Say(const std::string& Text);
  TRipComponents FC;
  TRipRequest FR;
  TRipEvents FE;
  std::atomic<bool> FStop{false};
};

// The text of a cue sheet for File holding the tracks at the given frame
// offsets; Titles[i] names track i ("" leaves TITLE out).
struct TCueTrack {
  int64_t Offset = 0;  // frames from the file's start
  std::string Title, Performer;
};
std::string RipCueSheet(const std::string& File, bool Mp3, const std::string& Album,
                        const std::string& Artist, const std::vector<TCueTrack>& Tracks);
// "mm:ss:ff" of Frames.
std::string CueTime(int64_t Frames);
