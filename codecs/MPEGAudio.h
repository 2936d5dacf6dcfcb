// MPEG audio file information without decoding: the format of the first pair
// of frames, the play time (from the frame count of a "Xing" header, or from
// the size and bit rate of a constant-rate file) and the ID3 version 1 tag.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The answers of the error prompt, numbered as the message box numbers its
// buttons.
enum TMpegPromptAnswer : int { mpaCancel = 2, mpaRetry = 4, mpaIgnore = 5 };

// Asked when a read fails, with the file's full path; answers with a
// TMpegPromptAnswer. The prompt runs on the thread that reads.
using TMpegErrorPrompt = std::function<int(const std::string& FileName)>;

// The prompt every new probe starts with. A program with a window installs one
// that shows "Error openning file: " + path with Cancel, Retry and Ignore;
// without one (the command line, tests, an empty function) a failed read is
// answered with Ignore, without asking anyone.
void SetMpegErrorPrompt(TMpegErrorPrompt Prompt);
TMpegErrorPrompt MpegErrorPrompt();

// What one read found. Texts are UTF-8 and hold at most the number of
// characters (not bytes) given.
struct TMpegInfo {
  std::string Header = "BAD";       // "TAG" when the file ends with an ID3 version 1 tag
  std::string Title = "[notag]";    // 30; the file's name without a tag
  std::string Artist = "[notag]";   // 30
  std::string Album = "[notag]";    // 30
  std::string Year = "    ";        // 4
  std::string Comment = "[notag]";  // 30
  int Genre = 255;                  // the tag's genre number
  int Track = 0;                    // the tag's track number; 0 when it has none
  int64_t Duration = 0;             // play time, whole seconds
  int64_t FileLength = 0;           // bytes
  int Version = 0;                  // 1 = MPEG-1, 2 = MPEG-2, 3 = MPEG-2.5, 0 = none found
  int Layer = 0;                    // 1, 2 or 3; 0 = none found
  int SampleRate = 0;               // Hz
  int BitRate = 0;                  // kbit/s; -1 for a file with a Xing header
  int ChannelMode = 0;              // 0 stereo, 1 joint stereo, 2 dual channel, 3 mono
  int ErrorProtection = 0;          // 1 when the frames carry a CRC
  int Padding = 0;                  // the padding bit of the header read
  int Copyright = 0;                // header bit 3, as read
  int Original = 0;                 // header bit 2, as read
  int FrameLength = 0;              // bytes per frame; the average for a Xing file
  std::string FileName;             // the full path, never shortened
  int64_t FileDate = 0;             // modification time, seconds since 1970
  uint32_t FileAttr = 0;            // the file's mode bits
  std::string VolumeLabel;          // empty: paths here name no drive
};

// A play time split for display.
struct TMpegTime {
  int64_t Hours = 0;
  int Minutes = 0;
  int Seconds = 0;
};

// The probe. Made and freed by its caller around one file; nothing is kept
// open between calls. Reads in buffers on the calling thread: it never runs
// an event loop.
//
// A file is accepted at the first frame header (past any ID3 version 2 tag,
// skipped by its declared size) that is followed, right behind its frame, by a
// header of the same version, layer and sample rate. The search gives up after
// ScanLimit bytes. A "Xing" header in the first frame gives the frame count
// and so the play time of a variable-rate file; otherwise the play time is the
// audio's bytes (the file less the tags in front and at the end) over the bit
// rate, rounded down.
//
// A read fails (-1, then the error prompt) when the file is missing or
// unreadable, holds no accepted pair of headers, or has a Xing header without
// a frame count. A file of 5 bytes or less is not looked at and reads as 0
// with nothing found.
class TMPEGAudio {
 public:
  // Bytes searched for the first frame unless SetScanLimit says otherwise.
  static constexpr int64_t DefaultScanLimit = 4 << 20;

  TMPEGAudio();

  const std::string& FileName() const { return FInfo.FileName; }
  // Stores Path and reads it at once when AutoRead is on (it is after
  // creation).
  void SetFileName(const std::string& Path);
  bool AutoRead() const { return FAutoRead; }
  void SetAutoRead(bool Value) { FAutoRead = Value; }
  // Bytes past the start of the search (after any ID3 version 2 tag) after
  // which it gives up; 0 searches the whole file.
  int64_t ScanLimit() const { return FScanLimit; }
  void SetScanLimit(int64_t Value) { FScanLimit = Value; }

  // Reads FileName: 0 on success; after a failure, the prompt's answer (a
  // Retry reads again), or -1 when OnError is empty.
  int Read();

  const TMpegInfo& Info() const { return FInfo; }
  int64_t Duration() const { return FInfo.Duration; }
  TMpegTime DurationTime() const;
  // True when a pair of frame headers was accepted.
  bool Valid() const { return FInfo.Layer > 0; }
  // Where the first frame starts; -1 when none was accepted.
  int64_t FirstFramePos() const { return FFirstFrame; }
  // Samples per channel in one frame of the accepted stream; 0 when none.
  int SamplesPerFrame() const { return FSamplesPerFrame; }
  // Average bit rate in kbit/s, rounded: the header's for a constant-rate
  // file, the audio's bytes over the play time for a Xing file.
  int AverageBitRate() const;
  // The play time in samples per channel: the frame count of a Xing header
  // or of a constant-rate stream's "Info" frame, or else the audio's bytes at
  // the bit rate (rounded down); 0 when nothing valid.
  int64_t SampleFrames() const;

  // Asked after a failed read; starts as MpegErrorPrompt().
  TMpegErrorPrompt OnError;

 private:
  // One read without the prompt: 0 or -1.
  int ReadOnce();
  // Clears everything but the file name.
  void ResetRecord();

  TMpegInfo FInfo;
  bool FAutoRead = true;
  int64_t FScanLimit = DefaultScanLimit;
  int64_t FFirstFrame = -1;
  int FSamplesPerFrame = 0;
  int64_t FAudioBytes = 0;  // from the first frame to the ID3 version 1 tag or the end
  int64_t FXingFrames = 0;
  int64_t FInfoFrames = 0;  // an "Info" frame's count; the stream stays constant-rate
};
