// The MP3 line of the file-type table: TMP3Out writes, TMP3ToWav decodes, and
// the information probe reads the first frame header without decoding.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "codecs/ACS_LAME.h"
#include "codecs/ACS_MAD.h"
#include "codecs/CodecRegistry.h"
#include "codecs/MpegFrame.h"
#include "platform/Streams.h"

namespace {

// The length of an MP3 file in sample frames, read from its headers without
// decoding: the frame count of an encoder's information frame when the first
// frame is one, otherwise the audio bytes (the file less its tags) at the
// first frame's bit rate. 0 when the file has no frame or cannot be read.
int64_t Mp3Samples(const std::string& File, TMpegFrameHeader& H) {
  try {
    TFileStream F(File, TFileMode::fmOpenRead);
    const int64_t FileSize = F.Size();
    std::vector<uint8_t> Buf(256 * 1024);
    int64_t Got = F.Read(Buf.data(), static_cast<int64_t>(Buf.size()));
    const int64_t Tag = static_cast<int64_t>(Id3v2TagSize(Buf.data(), static_cast<size_t>(Got)));
    if (Tag > 0) {
      F.Seek(Tag, TSeekOrigin::soBeginning);
      Got = F.Read(Buf.data(), static_cast<int64_t>(Buf.size()));
    }
    const int64_t First = FindFirstMpegFrame(Buf.data(), static_cast<size_t>(Got), H);
    if (First < 0 || H.SampleRate <= 0) return 0;
    const uint8_t* P = Buf.data() + First;
    const size_t Room = static_cast<size_t>(Got - First);
    if (IsXingFrame(P, std::min(Room, static_cast<size_t>(H.FrameBytes)), H)) {
      // "Xing"/"Info", then big-endian flags; bit 0: a frame count follows.
      const size_t Side =
          H.Version == 10 ? (H.Channels == 1 ? 17 : 32) : (H.Channels == 1 ? 9 : 17);
      const size_t At = 4 + (H.Protected ? 2 : 0) + Side + 4;
      if (At + 8 <= Room && (P[At + 3] & 1)) {
        const uint32_t Frames = (uint32_t(P[At + 4]) << 24) | (uint32_t(P[At + 5]) << 16) |
                                (uint32_t(P[At + 6]) << 8) | P[At + 7];
        if (Frames > 0) return static_cast<int64_t>(Frames) * H.SamplesPerFrame;
      }
    }
    if (H.BitRate <= 0) return 0;
    int64_t Audio = FileSize - Tag - First;
    if (FileSize >= 128) {
      char Last[3] = {};
      F.Seek(FileSize - 128, TSeekOrigin::soBeginning);
      if (F.Read(Last, 3) == 3 && std::memcmp(Last, "TAG", 3) == 0) Audio -= 128;
    }
    if (Audio <= 0) return 0;
    return Audio * 8 * H.SampleRate / H.BitRate;
  } catch (const EStreamError&) {
    return 0;
  }
}

bool DecodeMp3(const std::string& File, const std::string& WavFile, TStream* WavStream,
               const std::function<bool(int Percent)>& Poll) {
  // Declared before the decoder: written by its events until it is gone.
  bool Success = false;
  std::string Failure;

  TOwned<TMP3ToWav> Decoder(new TMP3ToWav(nullptr));
  Decoder->SetInputFile(File);
  if (WavFile.empty())
    Decoder->SetOutputStream(WavStream);
  else
    Decoder->SetOutputFile(WavFile);
  Decoder->OnDone = [&Success](TComponent*, bool S) { Success = S; };
  Decoder->OnThreadException = [&Failure](TComponent*, const std::exception& E) {
    Failure = E.what();
    if (Failure.empty()) Failure = "Decoding failed.";
  };
  Decoder->Run();
  while (!Decoder->WaitForEnd(std::chrono::milliseconds(50))) {
    if (Poll && !Poll(Decoder->Progress())) {
      // Destroying the decoder stops it at the next frame and waits for its
      // end, which still closes the output under a true header.
      Decoder.reset();
      break;
    }
  }
  // A read or write error is not "nothing to decode": its reason is the message.
  if (!Failure.empty()) throw std::runtime_error(Failure);
  return Success;
}

}  // namespace

TCodecEntry Mp3Entry() {
  TCodecEntry E;
  E.Extension = ".mp3";
  E.ValueOptions = {"--bitrate", "--title", "--artist", "--album",
                    "--year",    "--track", "--comment"};
  E.SetSinkOptions = [](TACSOutput* Sink, const TJobOptions& O) {
    auto* Out = static_cast<TMP3Out*>(Sink);
    if (O.Has("--bitrate")) {
      TMP3BitRate Rate = TMP3BitRate::br128;
      const long long Kbps = O.Int("--bitrate", 128);
      if (Kbps < 0 || Kbps > 1000 || !MP3BitRateFromKbps(static_cast<int>(Kbps), Rate))
        throw EACSException(
            "Option --bitrate needs one of 8 16 24 32 40 48 56 64 80 96 112 128 144 160 192 224 "
            "256 320");
      Out->SetBitRate(Rate);
    }
    if (O.Has("--title")) Out->Id3TagTitle = O.Text("--title");
    if (O.Has("--artist")) Out->Id3TagArtist = O.Text("--artist");
    if (O.Has("--album")) Out->Id3TagAlbum = O.Text("--album");
    if (O.Has("--year")) Out->Id3TagYear = O.Text("--year");
    if (O.Has("--track")) Out->Id3TagTrack = O.Text("--track");
    if (O.Has("--comment")) Out->Id3TagComment = O.Text("--comment");
  };
  E.MakeSink = [Set = E.SetSinkOptions](TComponent* Owner, const std::string& File,
                                        const TJobOptions& O) {
    auto* Out = new TMP3Out(Owner);
    Out->SetFileName(File);
    Out->SetBitRate(TMP3BitRate::br128);
    Set(Out, O);
    return static_cast<TACSOutput*>(Out);
  };
  E.DecodeToWav = DecodeMp3;
  E.Info = [](const std::string& File) {
    TFileInfo I;
    TMpegFrameHeader H;
    if (!ProbeMpegFile(File, H)) return I;
    I.Valid = true;
    I.Channels = H.Channels;
    I.Rate = H.SampleRate;
    I.Bits = 16;
    TMpegFrameHeader First;
    I.Samples = Mp3Samples(File, First);
    I.Bytes = I.Samples * I.Channels * 2;
    I.Seconds = static_cast<int>(std::min<int64_t>(I.Samples / I.Rate, INT32_MAX));
    return I;
  };
  return E;
}
