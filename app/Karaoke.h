// What the Record--Mix page and `velmora-cli karaoke` share, without Qt: the
// check of the background song, the working files and their lock, the
// checks on the output's name, and the voice's delay through the sound
// server taken off before the mix.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/ACS_Classes.h"

// The two working files of a karaoke run, in Folder (with a trailing '/').
struct TKaraokeWorkFiles {
  std::string Record;   // the voice recorded in mix-after mode
  std::string Convert;  // an MP3 song decoded to WAV
  static TKaraokeWorkFiles In(const std::string& Folder);
};
inline constexpr char kRecordWorkFile[] = "TEMP_RECORD_WAVE.wav";
inline constexpr char kConvertWorkFile[] = "TEMP_CONVERT_WAVE.wav";

// A line of a lyric file and the time it is sung at, in seconds.
struct TLyricLine {
  double Seconds = 0;
  std::string Text;
};
// The lines of a lyric file's Text: "[mm:ss.xx]text" lines, where several
// time tags on one line give it several times; lines without a time tag come
// first, at 0; other tags ("[ar:Name]") are left out. A time tag is minutes
// (up to six digits), ':' and seconds (up to six digits, then a fraction);
// what follows the seconds inside the brackets is not read ("[mm:ss:xx]").
// Sorted by time, lines of equal times in the file's order.
std::vector<TLyricLine> ParseLyrics(const std::string& Text);

// A background song as the mix will read it.
struct TKaraokeSong {
  bool Usable = false;
  std::string Reason;  // why not, when not Usable
  bool Mp3 = false;    // decoded to the convert file before mixing
  int Rate = 0;
  int Channels = 0;
  int Seconds = 0;
};
// Checks Name: an existing ".mp3" or ".wav" (without regard to case) whose
// length can be read, of one or two channels. Never raises.
TKaraokeSong ProbeKaraokeSong(const std::string& Name);

// True when A and B name the same file: the same device and inode when both
// exist, else the same absolute path once "." and ".." are resolved.
bool SameFile(const std::string& A, const std::string& B);

// Why Output cannot be written by a run over Song with Work: empty when it
// can. The output may be neither the song nor a working file.
std::string KaraokeOutputProblem(const std::string& Song, const std::string& Output,
                                 const TKaraokeWorkFiles& Work);

// An advisory lock (flock) on each working file for the length of a run, so
// that two runs (two windows, a window and the command line) never write
// over each other's files. The files are created empty when missing; a
// file's content is never touched. Release (or destruction) lets them go.
class TWorkFileLock {
 public:
  TWorkFileLock() = default;
  ~TWorkFileLock() { Release(); }
  TWorkFileLock(const TWorkFileLock&) = delete;
  TWorkFileLock& operator=(const TWorkFileLock&) = delete;

  // True when every file is now held by this lock; false (holding none) when
  // another run holds one of them or one cannot be opened.
  bool Acquire(const TKaraokeWorkFiles& Files);
  void Release();
  bool Held() const { return !FFds.empty(); }

 private:
  std::vector<int> FFds;
};

// Moves its input in time by whole sample frames: a positive shift drops
// that many frames from the start, a negative one puts that many frames of
// silence before it. A voice recording is put back in step with the song it
// was sung to this way. The shift may be set until Init; an input shorter
// than a positive shift gives nothing.
class TLeadTrim : public TACSConverter {
 public:
  explicit TLeadTrim(TComponent* AOwner) : TACSConverter(AOwner) {}

  int InBitsPerSample() override;
  int InChannels() override;
  int InSampleRate() override;
  void Init() override;
  int GetData(void* Buffer, int BufferSize) override;
  void Flush() override;

  int64_t ShiftFrames() const { return FShiftFrames; }
  void SetShiftFrames(int64_t Value) { FShiftFrames = Value; }

 private:
  TACSInput* CheckedInput() const;

  int64_t FShiftFrames = 0;
  // The job's bytes still to drop, and of silence still to give (worker).
  int64_t FToSkip = 0;
  int64_t FToPad = 0;
  uint8_t FSilence = 0;  // 128 for 8-bit sound
};

// The voice's delay through the sound server, measured while the song plays
// and the voice is recorded: from the clocks of the song's playback stream
// and of the recording (ReadStreamClocks), the distance between the moment
// a sample of the song is heard and the moment what is sung to it reaches
// the recording, in the recording's time. Sample() reads the clocks once;
// the figures are medians over the samples taken.
struct TKaraokeLatency {
  void Sample();
  bool Measured() const { return !FOffsets.empty(); }
  size_t Readings() const { return FOffsets.size(); }
  // Median playback and capture latencies (microseconds), -1 unmeasured,
  // and the parts of them spent in the devices themselves.
  int64_t PlaybackUs = -1;
  int64_t CaptureUs = -1;
  int64_t PlaybackDeviceUs = -1;
  int64_t CaptureDeviceUs = -1;
  // How much later the voice sits in the recording than the song sample it
  // was sung to (microseconds; negative: earlier); 0 unmeasured.
  int64_t OffsetUs() const;
  // The same in frames at Rate, rounded: the shift for TLeadTrim.
  int64_t ShiftFrames(int Rate) const;
  void Clear();

 private:
  std::vector<int64_t> FOffsets, FPlayback, FCapture, FPlaybackDevice, FCaptureDevice;
};

// Samples a TKaraokeLatency every 50 ms on a thread of its own until End
// (or destruction); the figures are read after End, or meanwhile through
// OffsetUs.
class TKaraokeLatencyProbe {
 public:
  explicit TKaraokeLatencyProbe(TKaraokeLatency& Into);
  ~TKaraokeLatencyProbe();
  TKaraokeLatencyProbe(const TKaraokeLatencyProbe&) = delete;
  TKaraokeLatencyProbe& operator=(const TKaraokeLatencyProbe&) = delete;
  void End();
  // The offset measured so far; false while there is none. Any thread.
  bool OffsetUs(int64_t& Us) const;

 private:
  struct TState;
  std::unique_ptr<TState> FState;
};
