// The ten converters of the first five pages, driven the way a user drives
// them: the "..." buttons are answered through the dialog provider, "Convert
// it" starts the job, the test waits until the pages are enabled again, and
// the written file is checked with the reference tools (ffprobe, ffmpeg, flac,
// oggdec, madplay, mpg123).
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "app/PathSelector.h"
#include "codecs/ACS_LAME.h"
#include "tests/app/support/AppTestSupport.h"
#include "tests/app/support/ConverterPanels.h"

using app_testing::WindowTest;
using testing_support::HaveTool;
using testing_support::Quote;
using testing_support::ReadPcm16Wav;
using testing_support::TempDir;

namespace {

// Runs a command line; fails the test with its error output when it fails.
void Tool(const std::string& CommandLine) {
  std::string Err;
  const int Rc = testing_support::Run(CommandLine, nullptr, &Err);
  ASSERT_EQ(Rc, 0) << CommandLine << "\n" << Err;
}

// What ffprobe says of a file's first audio stream and its tags.
struct TProbe {
  std::string Codec;
  int Rate = 0;
  int Channels = 0;
  long long BitRate = 0;
  std::map<std::string, std::string> Tags;  // names in lower case
};

TProbe Probe(const std::string& File) {
  std::string Out;
  testing_support::Run(
      "ffprobe -v error -select_streams a:0 -show_entries "
      "stream=codec_name,sample_rate,channels,bit_rate:format_tags -of default=nw=1 " +
          Quote(File),
      &Out);
  TProbe P;
  std::istringstream In(Out);
  std::string Line;
  while (std::getline(In, Line)) {
    const size_t Eq = Line.find('=');
    if (Eq == std::string::npos) continue;
    const std::string Key = Line.substr(0, Eq), Value = Line.substr(Eq + 1);
    if (Key == "codec_name")
      P.Codec = Value;
    else if (Key == "sample_rate")
      P.Rate = std::atoi(Value.c_str());
    else if (Key == "channels")
      P.Channels = std::atoi(Value.c_str());
    else if (Key == "bit_rate")
      P.BitRate = std::atoll(Value.c_str());
    else if (Key.rfind("TAG:", 0) == 0) {
      std::string Name = Key.substr(4);
      std::transform(Name.begin(), Name.end(), Name.begin(), ::tolower);
      P.Tags[Name] = Value;
    }
  }
  return P;
}

// Decoded 16-bit PCM of a file, made by a reference decoder.
struct TPcm {
  std::vector<int16_t> Samples;  // interleaved
  int Channels = 0;
  int Rate = 0;
  long long Frames() const {
    return Channels ? static_cast<long long>(Samples.size()) / Channels : 0;
  }
};

enum TDecoder { dcWav, dcFfmpeg, dcFlac, dcOggdec, dcMadplay, dcMpg123 };

TPcm Decode(const std::string& File, TDecoder How, const TempDir& Scratch) {
  static int Count = 0;
  const std::string Wav = Scratch.Path("decoded" + std::to_string(++Count) + ".wav");
  std::string Line;
  switch (How) {
    case dcWav:
      break;
    case dcFfmpeg:
      Line = "ffmpeg -v error -y -i " + Quote(File) + " -c:a pcm_s16le " + Quote(Wav);
      break;
    case dcFlac:
      Line = "flac -d -s -f -o " + Quote(Wav) + " " + Quote(File);
      break;
    case dcOggdec:
      Line = "oggdec -Q -b 16 -o " + Quote(Wav) + " " + Quote(File);
      break;
    case dcMadplay:
      Line = "madplay -Q -b 16 -o wave:" + Quote(Wav) + " " + Quote(File);
      break;
    case dcMpg123:
      Line = "mpg123 -q -w " + Quote(Wav) + " " + Quote(File);
      break;
  }
  TPcm P;
  if (!Line.empty()) {
    Tool(Line);
    if (::testing::Test::HasFatalFailure()) return P;
  }
  P.Samples = ReadPcm16Wav(How == dcWav ? File : Wav, &P.Channels, &P.Rate);
  return P;
}

// Samples, sample size, rate and channels of a WAV file as its header says.
struct TWavFormat {
  int Channels = 0, Rate = 0, Bits = 0;
};

TWavFormat WavFormat(const std::string& File) {
  const std::vector<uint8_t> B = testing_support::ReadFileBytes(File);
  TWavFormat F;
  // RIFF, size, WAVE, then chunks; "fmt " carries the format.
  for (size_t P = 12; P + 8 <= B.size();) {
    const uint32_t Size = B[P + 4] | B[P + 5] << 8 | B[P + 6] << 16 | uint32_t(B[P + 7]) << 24;
    if (std::equal(B.begin() + P, B.begin() + P + 4, "fmt ") && P + 24 <= B.size()) {
      F.Channels = B[P + 10] | B[P + 11] << 8;
      F.Rate = B[P + 12] | B[P + 13] << 8 | B[P + 14] << 16 | B[P + 15] << 24;
      F.Bits = B[P + 22] | B[P + 23] << 8;
      break;
    }
    P += 8 + Size + (Size & 1);
  }
  return F;
}

// The fields of the ID3 version 1 block at the end of an MP3 file; empty
// when there is none.
std::map<std::string, std::string> Id3v1(const std::string& File) {
  const std::vector<uint8_t> B = testing_support::ReadFileBytes(File);
  std::map<std::string, std::string> F;
  if (B.size() < 128) return F;
  const char* T = reinterpret_cast<const char*>(B.data() + B.size() - 128);
  if (std::string(T, 3) != "TAG") return F;
  auto Field = [&](int At, int Size) {
    std::string V(T + At, static_cast<size_t>(Size));
    V.resize(std::strlen(V.c_str()));
    while (!V.empty() && V.back() == ' ') V.pop_back();
    return V;
  };
  F["title"] = Field(3, 30);
  F["artist"] = Field(33, 30);
  F["album"] = Field(63, 30);
  F["year"] = Field(93, 4);
  F["comment"] = Field(97, 28);
  return F;
}

// The compression level written in an APE file's header.
int ApeCompressionLevel(const std::string& File) {
  const std::vector<uint8_t> B = testing_support::ReadFileBytes(File);
  if (B.size() < 64 || !std::equal(B.begin(), B.begin() + 4, "MAC ")) return -1;
  auto U16 = [&](size_t P) { return B[P] | B[P + 1] << 8; };
  const int Version = U16(4);
  if (Version < 3980) return U16(6);
  const uint32_t DescriptorBytes = B[8] | B[9] << 8 | B[10] << 16 | uint32_t(B[11]) << 24;
  return DescriptorBytes + 2 <= B.size() ? U16(DescriptorBytes) : -1;
}

// The input files, each made by the reference encoders the first time a test
// of the suite needs it (ctest runs every test in a process of its own).
enum TInput {
  inWav,
  inMp3,
  inOgg,
  inFlac,
  inApe,
  inMonoWav,
  inMonoOgg,
  inMonoFlac,
  inMonoApe,
  inLongWav,
  inCount
};
constexpr long long kWavFrames = 110250;  // inWav: 2.5 s, 44.1 kHz stereo
constexpr long long kMonoFrames = 44100;  // inMonoWav: 2 s, 22050 Hz mono

struct TInputs {
  std::unique_ptr<TempDir> Dir;
  std::string Skip;
  std::string Made[inCount];
};
TInputs Inputs;

// The name of an input file, made now if need be; throws when a tool fails.
const std::string& In(TInput I) {
  std::string& Name = Inputs.Made[I];
  if (!Name.empty()) return Name;
  if (!Inputs.Dir) Inputs.Dir = std::make_unique<TempDir>();
  const char* const Names[inCount] = {"chord.wav", "chord.mp3", "chord.ogg", "chord.flac",
                                      "chord.ape", "mono.wav",  "mono.ogg",  "mono.flac",
                                      "mono.ape",  "long.wav"};
  const std::string Target = Inputs.Dir->Path(Names[I]);
  const std::string Cli = Quote(testing_support::BinDir() + "/velmora-cli");
  const TInput Wav = I < inMonoWav ? inWav : inMonoWav;
  std::string Line;
  switch (I) {
    case inWav:
      // A chord per channel with some noise and a tremolo, so that the lossy
      // encoders have something to do.
      Line = "sox -n -r 44100 -c 2 -b 16 " + Quote(Target) +
             " synth 2.5 pluck C3 pluck E3 synth 2.5 sine mix 440 synth 2.5 pinknoise mix"
             " tremolo 6 30 gain -6";
      break;
    case inMonoWav:
      Line = "sox -n -r 22050 -c 1 -b 16 " + Quote(Target) +
             " synth 2 sine 300 synth 2 whitenoise mix gain -8";
      break;
    case inLongWav:
      Line = "sox -n -r 44100 -c 2 -b 16 " + Quote(Target) +
             " synth 30 sine 220 sine 330 synth 30 pinknoise mix gain -6";
      break;
    case inMp3:
      Line = "lame --quiet -b 128 " + Quote(In(Wav)) + " " + Quote(Target);
      break;
    case inOgg:
    case inMonoOgg:
      Line = "oggenc -Q -q 3 -o " + Quote(Target) + " " + Quote(In(Wav));
      break;
    case inFlac:
    case inMonoFlac:
      Line = "flac -s -f -o " + Quote(Target) + " " + Quote(In(Wav));
      break;
    case inApe:
    case inMonoApe:
      Line = Cli + " convert " + Quote(In(Wav)) + " " + Quote(Target) + " >/dev/null";
      break;
    case inCount:
      break;
  }
  std::string Err;
  if (testing_support::Run(Line, nullptr, &Err) != 0)
    throw std::runtime_error("making an input failed: " + Line + "\n" + Err);
  if (I == inWav || I == inMonoWav) {
    int Channels = 0;
    const long long Samples = static_cast<long long>(ReadPcm16Wav(Target, &Channels).size());
    if (Samples != (I == inWav ? 2 * kWavFrames : kMonoFrames))
      throw std::runtime_error("sox made " + Target + " with " + std::to_string(Samples) +
                               " samples");
  }
  Name = Target;
  return Name;
}

std::string MissingTool() {
  for (const char* T : {"sox", "lame", "oggenc", "oggdec", "ogginfo", "flac", "ffprobe", "ffmpeg",
                        "madplay", "mpg123"})
    if (!HaveTool(T)) return std::string(T) + " is needed to make and check the converters' files";
  const std::string Cli = testing_support::BinDir() + "/velmora-cli";
  if (!QFileInfo::exists(QString::fromStdString(Cli)))
    return "velmora-cli is not built (" + Cli + ")";
  return "";
}

// One converter as the window shows it.
struct TFlowView {
  const char* Name;
  int Page;
  TPathSelector* Source;
  TPathSelector* Output;
  QPushButton* Button;
  QProgressBar* Bar;
  QString Status;       // while it runs
  QString Description;  // its page's, once it ended
};

// What a run looked like from the window.
struct TRunTrace {
  QString StatusAtStart;
  bool DisabledAtStart = false, BarShownAtStart = false;
  // (status line, bar position) at every bar change and every status change.
  std::vector<std::pair<QString, int>> Steps;
  bool Ended = false;
};

class ConverterFlows : public WindowTest {
 protected:
  static void SetUpTestSuite() { Inputs.Skip = MissingTool(); }
  static void TearDownTestSuite() { Inputs = TInputs(); }

  void SetUp() override {
    if (!Inputs.Skip.empty()) GTEST_SKIP() << Inputs.Skip;
  }

  enum TFlow {
    MP3ToWav,
    WavToMp3,
    MP3ToOgg,
    OggToMp3,
    WavToOgg,
    OggToWav,
    WavToFlac,
    FlacToWav,
    WavToApe,
    ApeToWav
  };

  // TFlow follows the panels' page order.
  TFlowView View(TFlow F) {
    TMainForm& W = Form();
    const app_testing::TConverterPanel P = app_testing::ConverterPanels(W)[F];
    return {P.Name,
            P.Page,
            P.Source,
            P.Output,
            P.Button,
            P.Bar,
            QString::fromLatin1(P.Status),
            QString::fromLatin1(P.Description)};
  }

  // Picks a file through a "..." button and its dialog.
  void Browse(TPathSelector* Box, const std::string& Name, bool Save) {
    TFileDialogRequest Answer;
    Answer.FileName = QString::fromStdString(Name);
    (Save ? Dialogs->SaveAnswers : Dialogs->OpenAnswers).push_back(Answer);
    Box->Button()->click();
    ASSERT_TRUE((Save ? Dialogs->SaveAnswers : Dialogs->OpenAnswers).empty())
        << "the \"...\" button did not open its dialog";
  }

  // Called with each new bar position while a conversion runs.
  std::function<void(int)> OnBarChange;

  // Clicks "Convert it" and pumps events until the pages are enabled again.
  TRunTrace Convert(const TFlowView& V) {
    TMainForm& W = Form();
    TRunTrace T;
    const auto Link = QObject::connect(V.Bar, &QProgressBar::valueChanged, [&](int Value) {
      T.Steps.emplace_back(W.StatusText(), Value);
      if (OnBarChange) OnBarChange(Value);
    });
    V.Button->click();
    T.StatusAtStart = W.StatusText();
    T.DisabledAtStart = !W.PageControl->isEnabled();
    T.BarShownAtStart = V.Bar->isVisible();
    T.Steps.emplace_back(T.StatusAtStart, V.Bar->value());
    QElapsedTimer Clock;
    Clock.start();
    while (!W.PageControl->isEnabled() && Clock.elapsed() < 60000) {
      QApplication::processEvents(QEventLoop::AllEvents, 10);
      if (W.StatusText() != T.Steps.back().first)
        T.Steps.emplace_back(W.StatusText(), V.Bar->value());
    }
    T.Ended = W.PageControl->isEnabled();
    // Anything still queued (a late progress report) would show now.
    Settle();
    QObject::disconnect(Link);
    return T;
  }

  // A whole run as a user does it, with the checks every flow shares.
  TRunTrace RunFlow(TFlow F, const std::string& Source, const std::string& Output) {
    TMainForm& W = ShownForm();
    const TFlowView V = View(F);
    W.PageControl->setCurrentIndex(V.Page);
    Browse(V.Source, Source, false);
    Browse(V.Output, Output, true);
    return ConvertAndCheck(V, Source, Output);
  }

  TRunTrace ConvertAndCheck(const TFlowView& V, const std::string& Source,
                            const std::string& Output) {
    TMainForm& W = Form();
    const TRunTrace T = Convert(V);
    EXPECT_TRUE(T.Ended) << V.Name << ": the pages were still disabled after 60 s";
    EXPECT_EQ(T.StatusAtStart, V.Status) << V.Name;
    // Every progress report came while the status line showed the job (the
    // MP3-to-Ogg flow has two stages and its own test).
    if (V.Status != "Preparing...")
      for (const auto& [Status, Value] : T.Steps) {
        if (Value > 0) {
          EXPECT_EQ(Status, V.Status) << V.Name << " at " << Value << "%";
        }
      }
    EXPECT_TRUE(T.DisabledAtStart) << V.Name << ": the pages stayed enabled while it ran";
    EXPECT_TRUE(T.BarShownAtStart) << V.Name << ": the progress bar was not shown";
    EXPECT_EQ(W.StatusText(), V.Description) << V.Name;
    EXPECT_TRUE(W.PageControl->isEnabled()) << V.Name;
    EXPECT_TRUE(V.Bar->isHidden()) << V.Name;
    EXPECT_EQ(V.Bar->value(), 0) << V.Name;
    EXPECT_TRUE(Dialogs->Messages.isEmpty())
        << V.Name << ": " << Dialogs->Messages.join("; ").toStdString();
    EXPECT_EQ(V.Source->Text().toStdString(), Source) << V.Name;
    EXPECT_EQ(V.Output->Text().toStdString(), Output) << V.Name;
    EXPECT_TRUE(QFileInfo(QString::fromStdString(Output)).size() > 0) << V.Name << ": no output";
    return T;
  }

  std::string Out(const std::string& Name) const { return Dir.Path(Name); }

  // The five tags a converter page gives its MP3s, as ffprobe and the raw
  // ID3 version 1 block show them.
  static void ExpectConvertedTags(const std::string& Mp3, TMP3Out* Encoder) {
    std::map<std::string, std::string> T = Probe(Mp3).Tags;
    EXPECT_EQ(T["title"], "Converted mp3.");
    EXPECT_EQ(T["artist"], "Velmora");
    EXPECT_EQ(T["album"], "Unknown");
    EXPECT_EQ(T["comment"], "Converted by Velmora!");
    EXPECT_EQ(T.count("track"), 0u);
    std::map<std::string, std::string> V1 = Id3v1(Mp3);
    ASSERT_FALSE(V1.empty()) << "no ID3 version 1 block";
    EXPECT_EQ(V1["title"], "Converted mp3.");
    EXPECT_EQ(V1["artist"], "Velmora");
    EXPECT_EQ(V1["album"], "Unknown");
    EXPECT_EQ(V1["comment"], "Converted by Velmora!");
    // The window hands the encoder the year "Unknown"; the encoder library's
    // version 1 tag holds a year only as a number, so the file's year field
    // stays blank (and ffprobe reports no date).
    EXPECT_EQ(Encoder->Id3TagYear, "Unknown");
    EXPECT_EQ(Encoder->Id3TagTrack, "");
    EXPECT_EQ(V1["year"], "");
    EXPECT_EQ(T.count("date"), 0u);
  }
};

// Lossy outputs: one MP3 frame is 1152 samples. The encoder adds its delay
// (576 samples plus the decoder's 529) and pads the last frame; a decoder that
// reads the encoder's gapless header removes both.
constexpr long long kMp3Frame = 1152;

// ---------------------------------------------------------------- lossless

TEST_F(ConverterFlows, WavToFlacKeepsEverySample) {
  const std::string Flac = Out("chord.flac");
  RunFlow(WavToFlac, In(inWav), Flac);
  const TProbe P = Probe(Flac);
  EXPECT_EQ(P.Codec, "flac");
  EXPECT_EQ(P.Rate, 44100);
  EXPECT_EQ(P.Channels, 2);
  const TPcm Got = Decode(Flac, dcFlac, Dir), Want = Decode(In(inWav), dcWav, Dir);
  EXPECT_EQ(Got.Frames(), kWavFrames);
  EXPECT_TRUE(Got.Samples == Want.Samples) << "flac -d does not give the source's samples back";
  Tool("flac -t -s " + Quote(Flac));
}

TEST_F(ConverterFlows, FlacToWavGivesTheDecodersSamples) {
  const std::string Wav = Out("fromflac.wav");
  RunFlow(FlacToWav, In(inFlac), Wav);
  const TWavFormat F = WavFormat(Wav);
  EXPECT_EQ(F.Rate, 44100);
  EXPECT_EQ(F.Channels, 2);
  EXPECT_EQ(F.Bits, 16);
  const TPcm Got = Decode(Wav, dcWav, Dir), Want = Decode(In(inFlac), dcFlac, Dir);
  EXPECT_EQ(Got.Frames(), Want.Frames());
  EXPECT_TRUE(Got.Samples == Want.Samples);
  EXPECT_EQ(Probe(Wav).Codec, "pcm_s16le");
}

TEST_F(ConverterFlows, WavToApeAndBackKeepEverySample) {
  const std::string Ape = Out("chord.ape");
  RunFlow(WavToApe, In(inWav), Ape);
  const TProbe P = Probe(Ape);
  EXPECT_EQ(P.Codec, "ape");
  EXPECT_EQ(P.Rate, 44100);
  EXPECT_EQ(P.Channels, 2);
  EXPECT_EQ(ApeCompressionLevel(Ape), 2000);  // no saved setting: NORMAL
  const TPcm Source = Decode(In(inWav), dcWav, Dir);
  // FFmpeg's decoder is independent of ours.
  EXPECT_TRUE(Decode(Ape, dcFfmpeg, Dir).Samples == Source.Samples);

  // Back on the other panel of the same page, from the file just made.
  const std::string Wav = Out("fromape.wav");
  const TFlowView V = View(ApeToWav);
  Browse(V.Source, Ape, false);
  Browse(V.Output, Wav, true);
  ConvertAndCheck(V, Ape, Wav);
  const TPcm Back = Decode(Wav, dcWav, Dir);
  EXPECT_EQ(Back.Rate, 44100);
  EXPECT_EQ(Back.Channels, 2);
  EXPECT_TRUE(Back.Samples == Source.Samples) << "APE to WAV does not give the source back";
}

TEST_F(ConverterFlows, ApeToWavFromTheCommandLineEncoder) {
  const std::string Wav = Out("fromcliape.wav");
  RunFlow(ApeToWav, In(inApe), Wav);
  const TPcm Back = Decode(Wav, dcWav, Dir);
  EXPECT_EQ(Back.Rate, 44100);
  EXPECT_EQ(Back.Channels, 2);
  EXPECT_TRUE(Back.Samples == Decode(In(inWav), dcWav, Dir).Samples);
}

// ---------------------------------------------------------------- Vorbis

TEST_F(ConverterFlows, OggToWavMatchesOggdec) {
  const std::string Wav = Out("fromogg.wav");
  RunFlow(OggToWav, In(inOgg), Wav);
  const TPcm Got = Decode(Wav, dcWav, Dir), Want = Decode(In(inOgg), dcOggdec, Dir);
  EXPECT_EQ(Got.Rate, 44100);
  EXPECT_EQ(Got.Channels, 2);
  EXPECT_EQ(Got.Frames(), Want.Frames());
  EXPECT_EQ(Got.Frames(), kWavFrames);  // Vorbis ends where the source ended
  // Both decode with the same library to 16 bits; allow one step of rounding.
  ASSERT_EQ(Got.Samples.size(), Want.Samples.size());
  int Worst = 0;
  for (size_t I = 0; I < Got.Samples.size(); ++I)
    Worst = std::max(Worst, std::abs(Got.Samples[I] - Want.Samples[I]));
  EXPECT_LE(Worst, 1);
}

TEST_F(ConverterFlows, WavToOggIsVorbisOfTheSourcesLength) {
  const std::string Ogg = Out("chord.ogg");
  RunFlow(WavToOgg, In(inWav), Ogg);
  const TProbe P = Probe(Ogg);
  EXPECT_EQ(P.Codec, "vorbis");
  EXPECT_EQ(P.Rate, 44100);
  EXPECT_EQ(P.Channels, 2);
  Tool("ogginfo -q " + Quote(Ogg));
  EXPECT_EQ(Decode(Ogg, dcOggdec, Dir).Frames(), kWavFrames);
}

// ---------------------------------------------------------------- MP3

TEST_F(ConverterFlows, Mp3ToWavHasTheReferenceDecodersLength) {
  const std::string Wav = Out("frommp3.wav");
  RunFlow(MP3ToWav, In(inMp3), Wav);
  const TPcm Got = Decode(Wav, dcWav, Dir);
  EXPECT_EQ(Got.Rate, 44100);
  EXPECT_EQ(Got.Channels, 2);
  // madplay decodes every frame, as ours does; mpg123 drops the encoder's
  // delay and padding that lame's header names, so it gives the source's length.
  const TPcm Mad = Decode(In(inMp3), dcMadplay, Dir), Mpg = Decode(In(inMp3), dcMpg123, Dir);
  EXPECT_EQ(Mpg.Frames(), kWavFrames);
  EXPECT_EQ(Got.Frames(), Mad.Frames());
  EXPECT_EQ(Got.Frames() % kMp3Frame, 0);
}

TEST_F(ConverterFlows, WavToMp3CarriesTagsAndConvertsAgainAtOnce) {
  const std::string Mp3 = Out("chord.mp3");
  RunFlow(WavToMp3, In(inWav), Mp3);
  TProbe P = Probe(Mp3);
  EXPECT_EQ(P.Codec, "mp3");
  EXPECT_EQ(P.Rate, 44100);
  EXPECT_EQ(P.Channels, 2);
  EXPECT_EQ(P.BitRate, 128000);  // the default without a settings file
  ExpectConvertedTags(Mp3, Form().WavToMp3_MP3Out);
  const long long Frames = Decode(Mp3, dcFfmpeg, Dir).Frames();
  EXPECT_GE(Frames, kWavFrames);
  EXPECT_LE(Frames, kWavFrames + 2 * kMp3Frame);

  // The same click again, nothing re-chosen: the file is written anew.
  ASSERT_TRUE(QFile::remove(QString::fromStdString(Mp3)));
  ConvertAndCheck(View(WavToMp3), In(inWav), Mp3);
  P = Probe(Mp3);
  EXPECT_EQ(P.Codec, "mp3");
  EXPECT_EQ(P.Tags["title"], "Converted mp3.");
  EXPECT_EQ(Decode(Mp3, dcFfmpeg, Dir).Frames(), Frames);
}

TEST_F(ConverterFlows, OggToMp3CarriesTheSameTags) {
  const std::string Mp3 = Out("fromogg.mp3");
  RunFlow(OggToMp3, In(inOgg), Mp3);
  TProbe P = Probe(Mp3);
  EXPECT_EQ(P.Codec, "mp3");
  EXPECT_EQ(P.Rate, 44100);
  EXPECT_EQ(P.Channels, 2);
  ExpectConvertedTags(Mp3, Form().OggToMp3_MP3Out);
  const long long Frames = Decode(Mp3, dcFfmpeg, Dir).Frames();
  EXPECT_GE(Frames, kWavFrames);
  EXPECT_LE(Frames, kWavFrames + 2 * kMp3Frame);
}

TEST_F(ConverterFlows, Mp3ToOggDecodesThenEncodesWithTheBarRestarting) {
  const std::string Ogg = Out("frommp3.ogg");
  const TRunTrace T = RunFlow(MP3ToOgg, In(inMp3), Ogg);
  const QString Preparing = "Preparing...", Encoding = "Converting to ogg vorbis...";
  std::ostringstream Seen;
  for (const auto& [S, V] : T.Steps) Seen << "(" << S.toStdString() << ", " << V << ") ";
  SCOPED_TRACE(Seen.str());
  RecordProperty("steps", Seen.str());
  // Shape: decoding with the bar rising, then encoding from 0 with the bar
  // rising again, then the page's description.
  ASSERT_GE(T.Steps.size(), 4u);
  size_t I = 0;
  int Last = -1;
  for (; I < T.Steps.size() && T.Steps[I].first == Preparing; ++I) {
    EXPECT_GE(T.Steps[I].second, Last);
    Last = T.Steps[I].second;
  }
  EXPECT_GT(Last, 0) << "no decoding progress was shown";
  ASSERT_LT(I, T.Steps.size());
  EXPECT_EQ(T.Steps[I], std::make_pair(Encoding, 0)) << "the bar did not restart from 0";
  int Top = 0;
  for (Last = 0, ++I; I < T.Steps.size() && T.Steps[I].first == Encoding; ++I) {
    // The completion sets the bar back to 0 before the description comes.
    if (T.Steps[I].second == 0 && I + 1 == T.Steps.size()) break;
    if (T.Steps[I].second == 0 && I + 1 < T.Steps.size() && T.Steps[I + 1].first != Encoding) break;
    EXPECT_GE(T.Steps[I].second, Last);
    Last = T.Steps[I].second;
    Top = std::max(Top, Last);
  }
  EXPECT_GT(Top, 0) << "no encoding progress was shown";
  for (; I < T.Steps.size(); ++I) {
    EXPECT_TRUE(T.Steps[I].first == Encoding || T.Steps[I].first == View(MP3ToOgg).Description);
    EXPECT_EQ(T.Steps[I].second, 0);
  }

  const TProbe P = Probe(Ogg);
  EXPECT_EQ(P.Codec, "vorbis");
  EXPECT_EQ(P.Rate, 44100);
  EXPECT_EQ(P.Channels, 2);
  Tool("ogginfo -q " + Quote(Ogg));
  // The decoder hands over every decoded frame, encoder delay and padding
  // included, as madplay does: the Ogg is exactly that long, which is the
  // source plus less than two MP3 frames.
  const long long Frames = Decode(Ogg, dcOggdec, Dir).Frames();
  EXPECT_EQ(Frames, Decode(In(inMp3), dcMadplay, Dir).Frames());
  EXPECT_GE(Frames, kWavFrames);
  EXPECT_LE(Frames, kWavFrames + 2 * kMp3Frame);
}

// ---------------------------------------------------------------- settings

TEST_F(ConverterFlows, Mp3BitRateComesFromTheSavedSettingsOnly) {
  std::ofstream(SettingsFile()) << "[Mp3]\nBitRate=192\n";
  const std::string Mp3 = Out("saved.mp3");
  RunFlow(WavToMp3, In(inWav), Mp3);
  EXPECT_EQ(Probe(Mp3).BitRate, 192000);

  TMainForm& W = Form();
  W.Mp3BitRate->setCurrentIndex(W.Mp3BitRate->findText("320"));
  ASSERT_EQ(W.Mp3BitRate->currentText(), "320");
  ConvertAndCheck(View(WavToMp3), In(inWav), Mp3);
  EXPECT_EQ(Probe(Mp3).BitRate, 192000) << "an unsaved choice reached the encoder";

  W.SaveSetting->click();
  ConvertAndCheck(View(WavToMp3), In(inWav), Mp3);
  EXPECT_EQ(Probe(Mp3).BitRate, 320000) << "the saved choice did not reach the encoder";
}

TEST_F(ConverterFlows, OggCompressionChangesTheNominalBitRate) {
  std::ofstream(SettingsFile()) << "[Ogg]\nCompression=0.1\n";
  const std::string Low = Out("low.ogg"), High = Out("high.ogg");
  RunFlow(WavToOgg, In(inWav), Low);
  TMainForm& W = Form();
  W.OggCompression->setCurrentIndex(W.OggCompression->findText("0.9"));
  ASSERT_EQ(W.OggCompression->currentText(), "0.9");
  W.SaveSetting->click();
  W.PageControl->setCurrentIndex(View(WavToOgg).Page);
  Browse(View(WavToOgg).Output, High, true);
  ConvertAndCheck(View(WavToOgg), In(inWav), High);
  const TProbe L = Probe(Low), H = Probe(High);
  RecordProperty("nominal_bit_rates",
                 std::to_string(L.BitRate) + " at 0.1, " + std::to_string(H.BitRate) + " at 0.9");
  EXPECT_GT(L.BitRate, 0);
  EXPECT_GT(H.BitRate, 2 * L.BitRate) << L.BitRate << " vs " << H.BitRate;
  EXPECT_GT(QFileInfo(QString::fromStdString(High)).size(),
            QFileInfo(QString::fromStdString(Low)).size());
}

TEST_F(ConverterFlows, ApeCompressionComesFromTheSavedSettings) {
  std::ofstream(SettingsFile()) << "[Ape]\nCompression=4000\n";
  const std::string Ape = Out("extra.ape");
  RunFlow(WavToApe, In(inWav), Ape);
  EXPECT_EQ(ApeCompressionLevel(Ape), 4000);
  EXPECT_TRUE(Decode(Ape, dcFfmpeg, Dir).Samples == Decode(In(inWav), dcWav, Dir).Samples);
}

TEST_F(ConverterFlows, WavOutputsKeepTheSourcesFormatWhateverTheWaveSettings) {
  TMainForm& W = ShownForm();
  // Saved Wave settings that differ from the source in every field.
  W.WaveSampleRate->setCurrentIndex(W.WaveSampleRate->findText("44100"));
  W.WaveBitsPerSample->setCurrentIndex(W.WaveBitsPerSample->findText("8"));
  W.WaveChannels->setCurrentIndex(W.WaveChannels->findText("Stereo"));
  W.SaveSetting->click();
  ASSERT_TRUE(Dialogs->Messages.isEmpty());

  const std::tuple<TFlow, std::string, std::string> Runs[] = {
      {OggToWav, In(inMonoOgg), Out("monoogg.wav")},
      {FlacToWav, In(inMonoFlac), Out("monoflac.wav")},
      {ApeToWav, In(inMonoApe), Out("monoape.wav")},
  };
  for (const auto& [F, Source, Wav] : Runs) {
    RunFlow(F, Source, Wav);
    const TWavFormat Got = WavFormat(Wav);
    EXPECT_EQ(Got.Rate, 22050) << View(F).Name;
    EXPECT_EQ(Got.Channels, 1) << View(F).Name;
    EXPECT_EQ(Got.Bits, 16) << View(F).Name;
    EXPECT_EQ(Decode(Wav, dcWav, Dir).Frames(), kMonoFrames) << View(F).Name;
  }
  // The lossless ones give the samples back.
  const TPcm Source = Decode(In(inMonoWav), dcWav, Dir);
  EXPECT_TRUE(Decode(Out("monoflac.wav"), dcWav, Dir).Samples == Source.Samples);
  EXPECT_TRUE(Decode(Out("monoape.wav"), dcWav, Dir).Samples == Source.Samples);
}

// ---------------------------------------------------------------- picture

TEST_F(ConverterFlows, PictureOfAConversionInProgress) {
  TMainForm& W = ShownForm();
  const TFlowView V = View(WavToMp3);
  W.PageControl->setCurrentIndex(V.Page);
  const std::string Mp3 = Out("long.mp3");
  Browse(V.Source, In(inLongWav), false);
  Browse(V.Output, Mp3, true);

  const QString Folder = QString::fromUtf8(VELMORA_BIN_DIR "/../screenshots");
  ASSERT_TRUE(QDir().mkpath(Folder));
  const QString Png = Folder + "/conversion_in_progress.png";
  QFile::remove(Png);
  bool Taken = false, Saved = false, BarShown = false, TabsEnabled = true;
  int Value = -1;
  QString Status;
  OnBarChange = [&](int V2) {
    // A quarter of the way, so that the bar visibly shows progress.
    if (Taken || V2 < 25 || V2 >= 100) return;
    Taken = true;
    Value = V.Bar->value();
    BarShown = V.Bar->isVisible();
    Status = W.StatusText();
    TabsEnabled = W.PageControl->tabBar()->isEnabled();
    Saved = W.grab().save(Png, "PNG");
  };
  ConvertAndCheck(V, In(inLongWav), Mp3);
  OnBarChange = nullptr;
  ASSERT_TRUE(Taken) << "no progress between 0 and 100 was shown";
  EXPECT_TRUE(Saved) << Png.toStdString();
  EXPECT_TRUE(BarShown);
  EXPECT_GT(Value, 0);
  EXPECT_LT(Value, 100);
  EXPECT_EQ(Status, V.Status);
  EXPECT_FALSE(TabsEnabled);
  const QImage Picture(Png);
  EXPECT_EQ(Picture.size(), W.size() * W.devicePixelRatio());
}

}  // namespace
