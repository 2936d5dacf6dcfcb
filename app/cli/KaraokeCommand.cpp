// velmora-cli karaoke: the Record--Mix page without its window. The song
// plays while the microphone is recorded until the recording holds the whole
// song as heard (or its first given seconds), then the song (decoded first
// when it is an MP3) and the voice are mixed into the output; or the sound
// card's own mix is recorded straight into the output.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>

#include "app/Karaoke.h"
#include "app/cli/CliCommon.h"
#include "app/cli/RecordingParts.h"
#include "codecs/ACS_LAME.h"
#include "codecs/ACS_MAD.h"
#include "devices/XaudioPlayer.h"
#include "engine/ACS_AudioMix.h"
#include "platform/ProgramFolder.h"
#include "platform/Streams.h"
#include "wave/ACS_Wave.h"

namespace {

const char* const kUsage =
    "Usage: velmora-cli karaoke SONG OUT [--seconds N] [--stereo-mix] [--lyrics FILE] "
    "[--background-volume 0-255] [--mic-output PERCENT] [--mic-record PERCENT] "
    "[--no-latency-compensation]";

std::vector<TLyricLine> ReadLyrics(const std::string& Name) {
  std::ifstream In(Name, std::ios::binary);
  if (!In) throw EACSException("Cannot open the lyric file " + Name);
  return ParseLyrics(std::string(std::istreambuf_iterator<char>(In), {}));
}

// Prints each lyric line to stdout when the recording reaches its time.
class TLyricPrinter {
 public:
  TLyricPrinter(std::vector<TLyricLine> Lines, TAudioIn& In)
      : FLines(std::move(Lines)), FIn(In), FThread([this] { Execute(); }) {}
  ~TLyricPrinter() { End(); }
  void End() {
    FStop = true;
    if (FThread.joinable()) FThread.join();
  }

 private:
  void Execute() {
    size_t Next = 0;
    while (!FStop && Next < FLines.size()) {
      const int64_t PerSecond =
          int64_t{FIn.InSampleRate()} * FIn.InChannels() * FIn.InBitsPerSample() / 8;
      const double Seconds =
          PerSecond > 0 ? static_cast<double>(FIn.Position()) / static_cast<double>(PerSecond) : 0;
      while (Next < FLines.size() && FLines[Next].Seconds <= Seconds) {
        std::printf("%s\n", FLines[Next++].Text.c_str());
        std::fflush(stdout);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  std::vector<TLyricLine> FLines;
  TAudioIn& FIn;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

// The song on the player library of the program's folder, stopped and
// closed when the object goes.
class TSongPlayer {
 public:
  explicit TSongPlayer(const std::string& Song) : FPlayer(new TXaudioPlayer(nullptr)) {
    FPlayer->SetXaudioPath(ProgramFolder() + "libAudioPlayer.so");
    int R = FPlayer->OpenInput(Song);
    if (R == XA_SUCCESS) R = FPlayer->PlayInput();
    if (R != XA_SUCCESS)
      throw EACSException("Cannot play \"" + Song + "\": " + FPlayer->ErrorString(R));
  }
  ~TSongPlayer() {
    try {
      FPlayer->StopInput();
      FPlayer->CloseInput();
    } catch (const std::exception&) {
      // The player is going with the object.
    }
  }
  TSongPlayer(const TSongPlayer&) = delete;
  TSongPlayer& operator=(const TSongPlayer&) = delete;

 private:
  TOwned<TXaudioPlayer> FPlayer;
};

void SetMixedMp3Tags(TMP3Out& Out) {
  Out.Id3TagTitle = "Recorded-Mixed mp3.";
  Out.Id3TagArtist = "Velmora";
  Out.Id3TagAlbum = "Unknown";
  Out.Id3TagYear = "Unknown";
  Out.Id3TagComment = "Recorded-Mixed by Velmora!";
}

// Decodes the MP3 song to the convert file; "" on success, else why not.
std::string DecodeSong(const std::string& Song, const std::string& Convert) {
  // Never mix what an earlier run left there.
  if (std::remove(Convert.c_str()) != 0 && errno != ENOENT)
    return "Cannot delete \"" + Convert + "\". " + std::strerror(errno);
  TOwned<TMP3ToWav> Decoder(new TMP3ToWav(nullptr));
  Decoder->SetInputFile(Song);
  Decoder->SetOutputFile(Convert);
  // Written on the decoder's worker, read once WaitForEnd has returned.
  bool Decoded = false;
  std::string Error;
  Decoder->OnDone = [&](TComponent*, bool Success) { Decoded = Success; };
  Decoder->OnThreadException = [&](TComponent*, const std::exception& E) { Error = E.what(); };
  Decoder->Run();
  Decoder->WaitForEnd();
  if (!Error.empty()) return Error;
  if (!Decoded) return "The background music could not be decoded: " + Song;
  return {};
}

// How long past the asked stretch a recording waits for the song's clock.
constexpr int64_t kClockWaitUs = 3000000;

// A song heard later than this after the recording started is taken as
// never heard: the recording then ends this long past the asked stretch.
constexpr int kLongestSongDelaySeconds = 30;

// Whether a recording of RecordedUs holds the song's first WantedUs. The
// song reaches the recording later than the recording started, by the
// player's start and the server's latencies: the offset the probe measures.
// Until the offset is known the song may not be heard yet; with none known
// a while after the asked stretch, the song has no clock to tell it and the
// stretch is taken as it stands.
bool TakeComplete(int64_t RecordedUs, int64_t WantedUs, const TKaraokeLatencyProbe& Probe) {
  if (RecordedUs < WantedUs) return false;
  int64_t OffsetUs = 0;
  if (Probe.OffsetUs(OffsetUs))
    return RecordedUs >=
           WantedUs + std::clamp<int64_t>(OffsetUs, 0, int64_t{kLongestSongDelaySeconds} * 1000000);
  return RecordedUs >= WantedUs + kClockWaitUs;
}

}  // namespace

int CmdKaraoke(const std::vector<std::string>& Args) {
  const TCliArgs A = ParseArgs(
      Args, {"--seconds", "--lyrics", "--background-volume", "--mic-output", "--mic-record"},
      {"--stereo-mix", "--no-latency-compensation"});
  if (A.Positional.size() != 2) throw EACSException(kUsage);
  const std::string& SongName = A.Positional[0];
  const std::string& OutName = A.Positional[1];
  const TJobOptions& O = A.Options;
  const bool Stereo = O.Has("--stereo-mix");
  const int Background = IntOption(O, "--background-volume", 255, 0, 255);
  const int MicOutput = IntOption(O, "--mic-output", 100, 0, 100);
  const int MicRecord = IntOption(O, "--mic-record", 100, 0, 100);
  const TCodecEntry* OutCodec = FindCodecFor(OutName);
  if (!OutCodec || !OutCodec->MakeSink)
    throw EACSException("Cannot write this type of file: " + OutName);

  // A take is never recorded against a song that cannot be mixed.
  const TKaraokeSong Song = ProbeKaraokeSong(SongName);
  if (!Song.Usable) return ReportError(Song.Reason);
  const std::string Record = WritableProgramFile(kRecordWorkFile, false);
  const TKaraokeWorkFiles Work =
      TKaraokeWorkFiles::In(Record.substr(0, Record.size() - std::strlen(kRecordWorkFile)));
  if (const std::string Problem = KaraokeOutputProblem(SongName, OutName, Work); !Problem.empty())
    return ReportError(Problem);
  TWorkFileLock Lock;
  if (!Lock.Acquire(Work))
    return ReportError(
        "Input/Output file locked by the other programme, please unlock it first! (the working "
        "files in " +
        Work.Record.substr(0, Work.Record.size() - std::strlen(kRecordWorkFile)) + ")");
  // The song's length, whole seconds rounded up, unless a time is given.
  const int Seconds = IntOption(O, "--seconds", std::max(Song.Seconds, 1), 1, 24 * 3600);
  std::vector<TLyricLine> Lyrics;
  if (O.Has("--lyrics")) Lyrics = ReadLyrics(O.Text("--lyrics"));

  // The recording: the voice in the song's rate and channels, 16 bits (or
  // the stereo mix, in the same format, straight into the output).
  TOwned<TComponent> Job(new TComponent(nullptr));
  auto* In = new TAudioIn(Job.get());
  In->SetInSampleRate(Song.Rate);
  In->SetInBitsPerSample(16);
  In->SetInChannels(Song.Channels);
  // The recording runs until it holds the asked stretch of the song (see
  // below); the limit only stops a recording whose song is never heard.
  In->SetRecTime(Seconds + kLongestSongDelaySeconds + 1);
  In->SetBaseChannel(0);
  auto* Meter = new TSoundIndicator(Job.get());
  Meter->SetInput(In);
  TACSOutput* Sink = nullptr;
  if (Stereo) {
    Sink = OutCodec->MakeSink(Job.get(), OutName, O);
  } else {
    auto* W = new TWaveOut(Job.get());
    W->SetFileName(Work.Record);
    W->SetFileMode(foRewrite);
    W->SetWavType(wtPCM);
    Sink = W;
  }
  Sink->SetInput(Meter);

  std::optional<TMicRoute> Route;
  Route.emplace(MicOutput, MicRecord, Stereo);
  if (Stereo && Route->Lines().StereoMix < 0)
    return ReportError("The sound card has no \"Stereo Mix\" line to record.");
  std::fprintf(stderr, "Recording %d seconds%s...\n", Seconds,
               Stereo ? " of the stereo mix" : " of the microphone");
  int Rc = 0;
  TKaraokeLatency Latency;
  {
    std::optional<TSongPlayer> Player;
    try {
      Player.emplace(SongName);
    } catch (const std::exception& E) {
      return ReportError(E.what());
    }
    std::optional<TLyricPrinter> Printer;
    if (!Lyrics.empty()) Printer.emplace(std::move(Lyrics), *In);
    TLevelMeter Levels(*Meter, *In, ::isatty(STDERR_FILENO) == 1);
    TKaraokeLatencyProbe Probe(Latency);
    const int64_t BytesPerSecond = int64_t{Song.Rate} * Song.Channels * 2;
    Rc = RunSinkJob(
        *Sink, false,
        [&] {
          Probe.End();
          Levels.End();
          if (Printer) Printer->End();
        },
        {}, false,
        [&] {
          return TakeComplete(In->Position() * 1000000 / BytesPerSecond, int64_t{Seconds} * 1000000,
                              Probe);
        });
  }
  Route.reset();
  if (Rc != 0 || Stereo) return Rc;

  // The mix.
  std::string SourceName = SongName;
  if (Song.Mp3) {
    std::fprintf(stderr, "Record done, preparing...\n");
    if (const std::string Error = DecodeSong(SongName, Work.Convert); !Error.empty())
      return ReportError(Error);
    SourceName = Work.Convert;
    std::fprintf(stderr, "Data prepared, now mixing...\n");
  } else {
    std::fprintf(stderr, "Record done, mixing...\n");
  }
  const int64_t Shift = O.Has("--no-latency-compensation") ? 0 : Latency.ShiftFrames(Song.Rate);
  if (Latency.Measured())
    std::fprintf(stderr,
                 "Voice delay: %.1f ms (playback latency %.1f ms, %.1f ms of it in the device; "
                 "capture latency %.1f ms, %.1f ms of it in the device); "
                 "voice moved %.1f ms %s\n",
                 static_cast<double>(Latency.OffsetUs()) / 1000.0,
                 static_cast<double>(Latency.PlaybackUs) / 1000.0,
                 static_cast<double>(Latency.PlaybackDeviceUs) / 1000.0,
                 static_cast<double>(Latency.CaptureUs) / 1000.0,
                 static_cast<double>(Latency.CaptureDeviceUs) / 1000.0,
                 static_cast<double>(std::llabs(Shift)) * 1000.0 / Song.Rate,
                 Shift < 0 ? "later" : "earlier");
  TOwned<TComponent> MixJob(new TComponent(nullptr));
  auto* SongIn = new TWaveIn(MixJob.get());
  SongIn->SetFileName(SourceName);
  auto* VoiceIn = new TWaveIn(MixJob.get());
  VoiceIn->SetFileName(Work.Record);
  auto* Trim = new TLeadTrim(MixJob.get());
  Trim->SetInput(VoiceIn);
  Trim->SetShiftFrames(Shift);
  auto* Mixer = new TAudioMixer(MixJob.get());
  Mixer->SetInput1(SongIn);
  Mixer->SetInput2(Trim);
  // The mix lasts as long as the song: a voice moved later, or recorded
  // into the last whole block past the song's end, never lengthens it.
  Mixer->SetMode(amRTMix);
  Mixer->SetVolume1(static_cast<uint8_t>(Background));
  Mixer->SetVolume2(255);
  TACSOutput* MixSink = OutCodec->MakeSink(MixJob.get(), OutName, O);
  if (auto* Mp3 = dynamic_cast<TMP3Out*>(MixSink)) SetMixedMp3Tags(*Mp3);
  MixSink->SetInput(Mixer);
  Rc = RunSinkJob(*MixSink, true);
  if (Rc == 0) std::fprintf(stderr, "Mixing done!\n");
  return Rc;
}
