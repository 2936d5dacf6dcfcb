// The MP3 line of the file-type table: TMP3Out writes, TMP3In reads as a
// source, TMP3ToWav decodes into a WAV image, and TMPEGAudio tells the format
// and play time without decoding.
#include <algorithm>
#include <chrono>
#include <climits>
#include <stdexcept>
#include <string>

#include "codecs/ACS_LAME.h"
#include "codecs/ACS_MAD.h"
#include "codecs/CodecRegistry.h"
#include "codecs/MPEGAudio.h"
#include "codecs/Mp3In.h"

namespace {

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
  E.MakeSource = [](TComponent* Owner, const std::string& File, const TJobOptions&) -> TACSInput* {
    auto* In = new TMP3In(Owner);
    In->SetFileName(File);
    return In;
  };
  E.DecodeToWav = DecodeMp3;
  E.Info = [](const std::string& File) {
    TFileInfo I;
    TMPEGAudio Probe;
    // Nobody is there to ask: a file that cannot be read is simply not valid.
    Probe.OnError = [](const std::string&) { return static_cast<int>(mpaIgnore); };
    Probe.SetAutoRead(false);
    Probe.SetFileName(File);
    if (Probe.Read() != 0 || !Probe.Valid()) return I;
    const TMpegInfo& M = Probe.Info();
    I.Valid = true;
    I.Channels = M.ChannelMode == 3 ? 1 : 2;
    I.Rate = M.SampleRate;
    I.Bits = 16;
    I.Samples = Probe.SampleFrames();
    I.Bytes = I.Samples * I.Channels * 2;
    I.Seconds = M.Duration;
    I.Extra.emplace_back("bitrate", std::to_string(Probe.AverageBitRate()));
    I.Extra.emplace_back("vbr", M.BitRate == -1 ? "1" : "0");
    if (M.Header == "TAG") {
      I.Extra.emplace_back("title", M.Title);
      I.Extra.emplace_back("artist", M.Artist);
      I.Extra.emplace_back("album", M.Album);
      I.Extra.emplace_back("year", M.Year);
      I.Extra.emplace_back("comment", M.Comment);
      I.Extra.emplace_back("track", std::to_string(M.Track));
      I.Extra.emplace_back("genre", std::to_string(M.Genre));
    }
    return I;
  };
  return E;
}
