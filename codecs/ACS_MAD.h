// The MP3 decoder component: turns a whole MP3 file or stream into a 16-bit
// PCM WAV file or stream with libmad, on a worker thread of its own per run.
// It is neither a source nor a sink of the stream engine.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "engine/ACS_Classes.h"
#include "engine/Component.h"
#include "engine/JobCompletion.h"
#include "platform/Streams.h"
#include "wave/RiffChunks.h"

using TMADDoneEvent = std::function<void(TComponent* Sender, bool Success)>;
using TMADProgressEvent = std::function<void(TComponent* Sender)>;

class TMADThread;

// Decodes InputFile (or the stream given to SetInputStream) into OutputFile
// (or the stream given to SetOutputStream) as a RIFF WAVE file: a 44-byte
// header with the channel count and sample rate of the first audio frame, then
// interleaved 16-bit samples. Every frame is converted to the first frame's
// channel count. Damaged frames are skipped; an encoder's information frame
// at the start (a "Xing" or "Info" frame: silence that carries the stream's
// length) is not audio and is skipped as well.
//
// A file output is written under a part name beside it and put in its place
// when the run ends (see TReplacementFile), after a stop or a failure too,
// with its header patched; a run that decodes no frame leaves an existing file
// as it was.
//
// The header is written before the first samples with sizes estimated from
// the input's size and the first frame's bit rate. When decoding ends on a
// stream that can seek, both sizes are patched to the bytes really written;
// a memory stream, sized from the estimate while decoding, is cut to the real
// length. A file or other stream that can seek turns into the 64-bit form
// ("RF64" with a "ds64" chunk) when its sizes outgrow the 32-bit fields, the
// samples written so far moving up once to make room, as the WAV writer
// does; a shorter one stays a plain RIFF file. A memory stream goes on past
// 4 GB with both sizes all ones, which the WAV reader takes as "to the end".
// A stream that cannot seek holds at most 4 GB of samples: a longer decoding
// fails there ("The decoded sound is longer than a WAV file can hold")
// rather than cut the sound short.
//
// The constructor raises "libmad.so.0 library could not be loaded." when the
// decoder library is missing.
class TMP3ToWav : public TComponent {
 public:
  explicit TMP3ToWav(TComponent* AOwner);

  const std::string& InputFile() const { return FInputFile; }
  void SetInputFile(const std::string& Value) { FInputFile = Value; }
  const std::string& OutputFile() const { return FOutputFile; }
  void SetOutputFile(const std::string& Value) { FOutputFile = Value; }

  // Read from S (from its current position to its end) instead of InputFile;
  // null returns to InputFile. S is not owned.
  void SetInputStream(TStream* S);
  // Write to S instead of OutputFile; null returns to OutputFile. A memory
  // stream receives the WAV image from its start; any other stream from its
  // current position. S is not owned.
  void SetOutputStream(TStream* S);

  // Starts decoding on a new worker and returns at once. Raises "Component is
  // buisy." while a run is in progress (including from inside OnDone),
  // "Neither input stream not file name is assigned." / "Neither output stream
  // not file name is assigned." when there is nothing to read or write, and the
  // file error when a file cannot be opened or created.
  void Run();

  // Blocks until the run going on at the time of the call has ended and its
  // OnDone has returned, at most Bound when given. True when it has, or no run
  // was going on, or the component is being destroyed (then it must not be
  // touched again); false when the bound passed first, or when called from
  // inside OnDone (on the worker), where waiting for oneself would never end.
  // A run started from OnDone is a new run: call again to wait for it.
  bool WaitForEnd(std::optional<std::chrono::milliseconds> Bound = std::nullopt) {
    return FJobEnd.Wait(Bound);
  }

  // Tests lower the most a 32-bit size field is taken to hold (bytes), so
  // that a short decoding reaches it; the next Run uses it.
  void SetSizeFieldLimit(int64_t Value) {
    if (Value > 36) FSizeLimit = std::min(Value, MaxSizeField);
  }

  // Percent of the estimated output written so far (it can pass 100 or stop
  // short of it, as the estimate is rough); 0 when no run is in progress.
  int Progress() const;

  // Raised on the worker thread once per run, after the files are closed.
  // Success is true when at least one frame was decoded and nothing failed;
  // false when no frame could be decoded. A failure (a read or write error,
  // no memory) goes to OnThreadException instead when that is assigned, and
  // otherwise ends here with Success = false as well.
  TMADDoneEvent OnDone;
  // Raised on the worker thread, in place of OnDone, when the run failed
  // part-way; the exception carries the reason ("Cannot write to "x". No
  // space left on device"). The output has a true header for what it holds.
  TThreadExceptionEvent OnThreadException;
  // Raised on the worker thread when the rounded percentage changes.
  TMADProgressEvent OnProgress;

 protected:
  ~TMP3ToWav() override;
  // Asks a running worker to stop at the next frame and waits for it.
  void BeforeDestruction() override;

 private:
  // The clean-up call of the worker: closes the files that Run opened.
  void CloseRunFiles();
  // Waits for the worker to end and forgets it.
  void ReleaseWorker();

  std::string FInputFile;
  std::string FOutputFile;
  TStream* FInputStream = nullptr;
  bool FInputStreamAssigned = false;
  TStream* FOutputStream = nullptr;
  bool FOutputStreamAssigned = false;
  int64_t FSizeLimit = MaxSizeField;

  // Set by Run on the caller's thread, closed by the worker's clean-up call
  // (Run never touches them while a worker runs).
  std::unique_ptr<TFileStream> FRunInput;
  std::unique_ptr<TFileStream> FRunOutput;

  // The current worker; shared with its thread, which keeps its own state
  // alive when the component is destroyed from inside OnDone.
  std::shared_ptr<TMADThread> FWorker;
  // Begun by Run, ended by the worker after OnDone, closed by destruction.
  TJobCompletion FJobEnd;
};
