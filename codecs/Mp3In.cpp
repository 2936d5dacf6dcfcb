#include "codecs/Mp3In.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "codecs/MAD.h"
#include "codecs/MpegFrame.h"

namespace {

// Input is read in pieces of this size; a frame is a few hundred bytes.
constexpr size_t ReadSize = 128 * 1024;
// Less than this ahead of the next frame, and the buffer is topped up before
// the frame is decoded: a free-format frame measures itself against the next
// header, which must be there.
constexpr size_t LookAhead = 32 * 1024;

}  // namespace

// libmad fed from a stream a piece at a time, with the outcome of feeding it
// the whole stream at once as the MP3 decoder component does: the same frames
// are found, skipped and decoded. libmad keeps the bit reservoir apart from the
// input, so the input can move; what it cannot tell is a piece's end from the
// data's end, so the zeros it needs behind the last frame (MAD_BUFFER_GUARD)
// go only behind the true end, and whether it was in step with the frames
// (the sync flag, which every new buffer sets) is carried over.
class TMadFrames {
 public:
  explicit TMadFrames(TStream& In) : FIn(In), FBuf(ReadSize + MAD_BUFFER_GUARD) {
    const TMADEntryPoints& M = MAD();
    M.mad_stream_init(&FStream);
    M.mad_frame_init(&FFrame);
    M.mad_synth_init(&FSynth);
    FHeader = mad_header{};
    // The decoder component's stream starts in step, at the first byte.
    Refill(1);
  }
  ~TMadFrames() {
    MAD().mad_frame_finish(&FFrame);
    MAD().mad_stream_finish(&FStream);
  }
  TMadFrames(const TMadFrames&) = delete;
  TMadFrames& operator=(const TMadFrames&) = delete;

  // The next frame that decodes: with Full, decoded and synthesised (Pcm);
  // otherwise its header only (Header). False at the end of the data.
  bool Next(bool Full) {
    const TMADEntryPoints& M = MAD();
    for (;;) {
      if (!FEof && static_cast<size_t>(FStream.bufend - FStream.next_frame) < LookAhead)
        Refill(FStream.sync);
      const int Sync = FStream.sync;
      const int R =
          Full ? M.mad_frame_decode(&FFrame, &FStream) : M.mad_header_decode(&FHeader, &FStream);
      if (R == 0) {
        if (Full) {
          M.mad_synth_frame(&FSynth, &FFrame);
          FHeader = FFrame.header;
        }
        return true;
      }
      // A damaged frame, or bytes that are not a frame: passed over.
      if (MAD_RECOVERABLE(FStream.error)) continue;
      if (FStream.error == MAD_ERROR_BUFLEN && !FEof) {
        // The call left next_frame where the same call goes on with more
        // data, but it dropped the sync flag it began with.
        Refill(Sync);
        continue;
      }
      if (FStream.error == MAD_ERROR_NOMEM) throw std::bad_alloc();
      return false;
    }
  }

  const mad_header& Header() const { return FHeader; }
  const mad_pcm& Pcm() const { return FSynth.pcm; }
  // The sample frames of the last frame as the decoder counts them.
  int Length() const { return std::min(32 * static_cast<int>(MAD_NSBSAMPLES(&FHeader)), 1152); }

  // The last frame carries an encoder's information tag (see IsXingFrame).
  bool IsXing() const {
    const mad_stream& St = FStream;
    TMpegFrameHeader F;
    return St.this_frame && St.next_frame > St.this_frame &&
           ParseMpegFrameHeader(St.this_frame, F) &&
           IsXingFrame(St.this_frame, static_cast<size_t>(St.next_frame - St.this_frame), F);
  }

 private:
  // Moves what is left from next_frame to the front, reads up to a full
  // buffer behind it and hands libmad the lot, in step or not as Sync says.
  void Refill(int Sync) {
    uint8_t* Base = FBuf.data();
    size_t Keep = 0;
    if (FStream.buffer) {
      Keep = FFill - static_cast<size_t>(FStream.next_frame - Base);
      std::memmove(Base, FStream.next_frame, Keep);
    }
    FFill = Keep;
    // What libmad left unread never fills the buffer: there is room behind it.
    if (FFill + LookAhead > FBuf.size() - MAD_BUFFER_GUARD) {
      FBuf.resize(FFill + ReadSize + MAD_BUFFER_GUARD);
      Base = FBuf.data();
    }
    const size_t Room = FBuf.size() - MAD_BUFFER_GUARD;
    while (FFill < Room) {
      const int64_t N = FIn.Read(Base + FFill, static_cast<int64_t>(Room - FFill));
      if (N <= 0) {
        FEof = true;
        break;
      }
      FFill += static_cast<size_t>(N);
    }
    size_t Length = FFill;
    if (FEof) {
      // WATCHOUT: libmad decodes a frame only once it sees the next frame's
      // start or MAD_BUFFER_GUARD bytes behind it: zeros behind the true end.
      std::memset(Base + FFill, 0, MAD_BUFFER_GUARD);
      Length += MAD_BUFFER_GUARD;
    }
    MAD().mad_stream_buffer(&FStream, Base, Length);
    FStream.sync = Sync;
  }

  TStream& FIn;
  std::vector<uint8_t> FBuf;
  size_t FFill = 0;  // bytes of input in FBuf
  bool FEof = false;
  mad_stream FStream{};
  mad_frame FFrame{};
  mad_synth FSynth{};
  mad_header FHeader{};
};

// ---------------------------------------------------------------- TMP3In

TMP3In::TMP3In(TComponent* AOwner) : TFramedFileIn(CheckMad(AOwner)) {}

TMP3In::~TMP3In() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  Release();
  FOpened = 0;
}

void TMP3In::Release() {
  FFrames.reset();
  ReleaseSource();
}

void TMP3In::OpenFile() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (FOpened == 0) {
    OpenSource();
    FValid = false;
    FBPS = FSR = FChan = 0;
    FTotalSamples = 0;
    FSize = 0;
    FEndOfFile = false;
    try {
      Scan();
      Rewind();
    } catch (...) {
      Release();
      throw;
    }
  }
  ++FOpened;
}

void TMP3In::CloseFile() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (FOpened == 1) Release();
  if (FOpened > 0) --FOpened;
}

void TMP3In::Scan() {
  FSource->SetPosition(0);
  TMadFrames F(*FSource);
  bool First = true;
  while (F.Next(true)) {
    if (std::exchange(First, false) && F.IsXing()) continue;
    const mad_pcm& P = F.Pcm();
    FSR = static_cast<int>(P.samplerate);
    FChan = P.channels == 2 ? 2 : 1;
    FBPS = 16;
    FValid = true;
    // The rest is counted from the headers, without decoding.
    int64_t Frames = F.Length();
    while (F.Next(false)) Frames += F.Length();
    FTotalSamples = Frames;
    FSize = Frames * FChan * 2;
    return;
  }
}

void TMP3In::Rewind() {
  FFrames.reset();
  FFrameBytes = FReadIndex = 0;
  FFirstFrameSeen = false;
  FEndOfFile = false;
  FSource->SetPosition(0);
  FFrames = std::make_unique<TMadFrames>(*FSource);
}

bool TMP3In::DecodeFrame() {
  FFrameBytes = FReadIndex = 0;
  for (;;) {
    if (!FFrames->Next(true)) return false;
    if (!std::exchange(FFirstFrameSeen, true) && FFrames->IsXing()) continue;
    const mad_pcm& P = FFrames->Pcm();
    const int N = FFrames->Length();
    FFrame.resize(static_cast<size_t>(1152) * FChan);
    MadPcmTo16(P, N, FChan, FFrame.data());
    FFrameBytes = static_cast<size_t>(N) * FChan * 2;
    return true;
  }
}

void TMP3In::Init() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  const bool WasOpen = FOpened > 0;
  TACSFileIn::Init();
  FEndOfFile = false;
  // A file held open from before may have been read from: start over.
  if (WasOpen && FStartSample == 0) Rewind();
}

void TMP3In::Reset() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  TACSFileIn::Reset();
  // The count is forced to 0: whatever it was, the decoder goes with it.
  Release();
}

bool TMP3In::Seek(int64_t SampleNumber) {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (!FSource || !FValid || SampleNumber < 0) return false;
  Rewind();
  const size_t FrameBytes = static_cast<size_t>(FChan) * 2;
  int64_t Left = SampleNumber;
  while (DecodeFrame()) {
    const int64_t InFrame = static_cast<int64_t>(FFrameBytes / FrameBytes);
    if (Left < InFrame) {
      FReadIndex = static_cast<size_t>(Left) * FrameBytes;
      return true;
    }
    Left -= InFrame;
  }
  FEndOfFile = true;
  return Left == 0;
}
