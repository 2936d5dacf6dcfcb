// velmora-cli convert between every pair of file types, and the saved
// settings of "convert --settings", checked with ffprobe, ffmpeg, flac and
// oggenc on short real files.
//
// The program is copied with its libraries into a scratch folder and run from
// there: it looks for Settings.ini beside itself, so the tests' settings files
// never reach the build's own folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {

const char* const Types[] = {"wav", "mp3", "ogg", "flac", "ape"};
constexpr double Seconds = 1.2;

class CliConvert : public ::testing::Test {
 protected:
  static int Sh(const std::string& CommandLine, std::string* Out = nullptr,
                std::string* Err = nullptr) {
    return testing_support::Run(CommandLine, Out, Err);
  }
  void SetUp() override {
    for (const char* T : {"sox", "lame", "oggenc", "flac", "ffprobe", "ffmpeg"})
      if (!HaveTool(T)) GTEST_SKIP() << T << " is needed";
    namespace fs = std::filesystem;
    fs::create_directory(Dir.Path("prog"));
    for (const auto& E : fs::directory_iterator(BinDir())) {
      const std::string Name = E.path().filename().string();
      if (Name == "velmora-cli" || E.path().extension() == ".so")
        fs::copy_file(E.path(), Dir.Path("prog/" + Name));
    }
    ASSERT_TRUE(FileExists(Dir.Path("prog/velmora-cli")));
  }

  int Cli(const std::string& Args, std::string* Err = nullptr) {
    std::string Out, E;
    const int Rc = Sh(Quote(Dir.Path("prog/velmora-cli")) + " " + Args, &Out, &E);
    if (Err) *Err = E;
    return Rc;
  }
  // Converts In to Out (names in the scratch folder) and expects success.
  void Convert(const std::string& In, const std::string& Out, const std::string& Options = "") {
    std::string Err;
    ASSERT_EQ(
        0, Cli("convert " + Quote(Dir.Path(In)) + " " + Quote(Dir.Path(Out)) + " " + Options, &Err))
        << In << " -> " << Out << ": " << Err;
    EXPECT_EQ(std::string::npos, Err.find("error")) << Err;
  }
  void WriteSettings(const std::string& Text) {
    std::ofstream(Dir.Path("prog/Settings.ini"), std::ios::binary) << Text;
  }

  // The source "src.<type>": stereo 32 kHz tones, made by the reference
  // encoders (APE by Velmora's own encoder).
  std::string Source(const std::string& Type) {
    const std::string Name = "src." + Type, Path = Dir.Path(Name), Wav = Dir.Path("src.wav");
    if (FileExists(Path)) return Name;
    if (Type != "wav") Source("wav");
    if (Type == "wav") {
      EXPECT_EQ(0, Sh("sox -n -r 32000 -c 2 -b 16 " + Quote(Wav) + " synth " +
                      std::to_string(Seconds) + " sine 300 sine 500"));
    } else if (Type == "mp3") {
      EXPECT_EQ(0, Sh("lame --quiet " + Quote(Wav) + " " + Quote(Path)));
    } else if (Type == "ogg") {
      EXPECT_EQ(0, Sh("oggenc -Q " + Quote(Wav) + " -o " + Quote(Path)));
    } else if (Type == "flac") {
      EXPECT_EQ(0, Sh("flac -s " + Quote(Wav) + " -o " + Quote(Path)));
    } else if (Type == "ape") {
      Convert("src.wav", Name);
    }
    return Name;
  }
  // Two nearly equal channels of noise: the FLAC encoder codes them as side
  // channels whenever it may.
  std::string CorrelatedWav() {
    const std::string Name = "corr.wav";
    if (!FileExists(Dir.Path(Name))) {
      EXPECT_EQ(0, Sh("sox -n -r 44100 -c 2 -b 16 " + Quote(Dir.Path(Name)) + " synth " +
                      std::to_string(Seconds) + " pinknoise remix 1 1v0.9"));
    }
    return Name;
  }

  std::string Probe(const std::string& Entries, const std::string& Name) {
    std::string Out;
    Sh("ffprobe -v error -show_entries " + Entries + " -of default=nw=1:nk=1 " +
           Quote(Dir.Path(Name)),
       &Out);
    while (!Out.empty() && Out.back() == '\n') Out.pop_back();
    return Out;
  }
  // Every sample of Name as ffmpeg decodes it, as 32-bit words.
  std::string DecodedSamples(const std::string& Name) {
    std::string Out;
    EXPECT_EQ(0, Sh("ffmpeg -v error -i " + Quote(Dir.Path(Name)) + " -f s32le -", &Out));
    return Out;
  }
  // The nominal bit rate oggenc writes at quality Q (0 to 10) for the source.
  std::string OggencNominal(int Q) {
    const std::string Name = "oggenc" + std::to_string(Q) + ".ogg";
    EXPECT_EQ(0, Sh("oggenc -Q -q " + std::to_string(Q) + " " + Quote(Dir.Path(Source("wav"))) +
                    " -o " + Quote(Dir.Path(Name))));
    return Probe("stream=bit_rate", Name);
  }
  // The compression level stored in an APE file's header.
  int ApeLevel(const std::string& Name) {
    const std::vector<uint8_t> B = ReadFileBytes(Dir.Path(Name));
    if (B.size() < 64 || std::string(B.begin(), B.begin() + 4) != "MAC ") return -1;
    const auto Le16 = [&B](size_t I) { return B[I] | B[I + 1] << 8; };
    if (Le16(4) < 3980) return Le16(6);
    const size_t Header = B[8] | B[9] << 8 | B[10] << 16 | static_cast<size_t>(B[11]) << 24;
    return Header + 2 <= B.size() ? Le16(Header) : -1;
  }
  // How many frames of a FLAC file use each channel assignment
  // ("INDEPENDENT", "LEFT_SIDE", ...), and their block sizes, as the reference
  // decoder's analysis reports them.
  std::map<std::string, int> FlacFrames(const std::string& Name, std::map<int, int>* BlockSizes) {
    const std::string Ana = Dir.Path(Name + ".ana");
    EXPECT_EQ(0, Sh("flac -s -f -a -o " + Quote(Ana) + " " + Quote(Dir.Path(Name))));
    std::map<std::string, int> R;
    std::ifstream In(Ana);
    for (std::string Line; std::getline(In, Line);) {
      if (Line.rfind("frame=", 0) != 0) continue;
      const auto A = Line.find("channel_assignment=");
      if (A != std::string::npos) {
        const auto E = Line.find_first_of(" \t", A);
        ++R[Line.substr(A + 19, E == std::string::npos ? E : E - A - 19)];
      }
      const auto S = Line.find("blocksize=");
      if (BlockSizes && S != std::string::npos) ++(*BlockSizes)[std::stoi(Line.substr(S + 10))];
    }
    return R;
  }
  int SideFrames(const std::string& FlacName) {
    int N = 0;
    for (const auto& [Kind, Count] : FlacFrames(FlacName, nullptr))
      if (Kind != "INDEPENDENT") N += Count;
    return N;
  }

  TempDir Dir;
};

TEST_F(CliConvert, EveryTypeConvertsToEveryType) {
  const std::map<std::string, std::string> Codec = {
      {"wav", "pcm_s16le"}, {"mp3", "mp3"}, {"ogg", "vorbis"}, {"flac", "flac"}, {"ape", "ape"}};
  for (const char* In : Types) {
    const std::string Src = Source(In);
    for (const char* Out : Types) {
      SCOPED_TRACE(std::string(In) + " -> " + Out);
      const std::string Name = std::string("from_") + In + "." + Out;
      Convert(Src, Name);
      // One probe for both: the stream's lines, then the duration.
      std::string D = Probe("stream=codec_name,sample_rate,channels:format=duration", Name);
      const auto Cut = D.rfind('\n');
      ASSERT_NE(std::string::npos, Cut) << D;
      EXPECT_EQ(Codec.at(Out) + "\n32000\n2", D.substr(0, Cut));
      D.erase(0, Cut + 1);
      // An MP3 stream carries the encoder's delay and padding: up to a few
      // frames more than the source.
      if (std::string(In) == "mp3" || std::string(Out) == "mp3") {
        EXPECT_GE(std::stod(D), Seconds - 0.001);
        EXPECT_LE(std::stod(D), Seconds + 0.15);
      } else {
        EXPECT_NEAR(Seconds, std::stod(D), 0.001);
      }
    }
  }
}

TEST_F(CliConvert, LosslessChainsKeepEverySample) {
  const std::string Wav = Source("wav");
  const std::vector<int16_t> Original = ReadPcm16Wav(Dir.Path(Wav));
  ASSERT_EQ(static_cast<size_t>(Seconds * 32000) * 2, Original.size());
  // Through Velmora's own encoders and back.
  Convert(Wav, "a.flac");
  Convert("a.flac", "a.wav");
  EXPECT_EQ(Original, ReadPcm16Wav(Dir.Path("a.wav")));
  Convert(Wav, "b.ape");
  Convert("b.ape", "b.wav");
  EXPECT_EQ(Original, ReadPcm16Wav(Dir.Path("b.wav")));
  // Between the two lossless types and onto themselves, read by ffmpeg.
  const std::string Reference = DecodedSamples(Wav);
  ASSERT_FALSE(Reference.empty());
  for (const auto& [In, Out] :
       std::vector<std::pair<std::string, std::string>>{{Source("flac"), "c.ape"},
                                                        {Source("ape"), "d.flac"},
                                                        {Source("flac"), "e.flac"},
                                                        {Source("ape"), "f.ape"},
                                                        {Wav, "g.wav"}}) {
    Convert(In, Out);
    EXPECT_TRUE(Reference == DecodedSamples(Out)) << In << " -> " << Out;
  }
  // An 8-bit mono source stays 8-bit mono through FLAC and APE.
  ASSERT_EQ(
      0, Sh("sox -n -r 11025 -c 1 -b 8 " + Quote(Dir.Path("small.wav")) + " synth 0.7 sine 440"));
  Convert("small.wav", "small.flac");
  Convert("small.flac", "small.ape");
  Convert("small.ape", "small2.wav");
  EXPECT_EQ("pcm_u8\n11025\n1", Probe("stream=codec_name,sample_rate,channels", "small2.wav"));
  EXPECT_TRUE(DecodedSamples("small.wav") == DecodedSamples("small2.wav"));
}

TEST_F(CliConvert, WithoutSettingsTheSinksTakeTheSettingsPageDefaults) {
  // A settings file is there, but only --settings reads it.
  WriteSettings(
      "[Mp3]\nBitRate=320\n[Ogg]\nCompression=0.9\n[Ape]\nCompression=1000\n"
      "[Flac]\nMidSideStereo=0\n");
  const std::string Wav = Source("wav");
  Convert(Wav, "d.mp3");
  EXPECT_EQ("128000", Probe("stream=bit_rate", "d.mp3"));
  Convert(Wav, "d.ogg");
  EXPECT_EQ(OggencNominal(5), Probe("stream=bit_rate", "d.ogg"));
  Convert(Wav, "d.ape");
  EXPECT_EQ(2000, ApeLevel("d.ape"));
  Convert(CorrelatedWav(), "d.flac");
  std::map<int, int> Blocks;
  const auto Frames = FlacFrames("d.flac", &Blocks);
  EXPECT_EQ(0, Frames.count("INDEPENDENT"));
  ASSERT_FALSE(Blocks.empty());
  // Every frame but the last holds 4608 samples.
  EXPECT_GE(Blocks[4608], 10);
  int Others = 0;
  for (const auto& [Size, Count] : Blocks) Others += Size == 4608 ? 0 : Count;
  EXPECT_LE(Others, 1);
  // An MP3 source goes to Ogg through memory with the same default.
  Convert(Source("mp3"), "m.ogg");
  EXPECT_EQ(OggencNominal(5), Probe("stream=bit_rate", "m.ogg"));
}

TEST_F(CliConvert, SettingsFileBesideTheProgramIsApplied) {
  const std::string Wav = Source("wav");
  // Without a file, --settings gives the defaults.
  Convert(Wav, "n.mp3", "--settings");
  EXPECT_EQ("128000", Probe("stream=bit_rate", "n.mp3"));
  Convert(Wav, "n.ape", "--settings");
  EXPECT_EQ(2000, ApeLevel("n.ape"));

  WriteSettings(
      "[Wave]\nSampleRate=11025\nChannels=1\n[Mp3]\nBitRate=192\n[Ogg]\nCompression=0.1\n"
      "[Ape]\nCompression=4000\n[Flac]\nMidSideStereo=0\n");
  Convert(Wav, "s.mp3", "--settings");
  EXPECT_EQ("192000", Probe("stream=bit_rate", "s.mp3"));
  Convert(Source("flac"), "s.ogg", "--settings");
  EXPECT_EQ(OggencNominal(1), Probe("stream=bit_rate", "s.ogg"));
  Convert(Source("mp3"), "m.ogg", "--settings");
  EXPECT_EQ(OggencNominal(1), Probe("stream=bit_rate", "m.ogg"));
  Convert(Source("ogg"), "s.ape", "--settings");
  EXPECT_EQ(4000, ApeLevel("s.ape"));
  Convert(CorrelatedWav(), "s.flac", "--settings");
  EXPECT_EQ(0, SideFrames("s.flac"));
  // The capture settings do not touch a WAV output: it keeps the source's format.
  Convert(Source("ape"), "s.wav", "--settings");
  EXPECT_EQ("pcm_s16le\n32000\n2", Probe("stream=codec_name,sample_rate,channels", "s.wav"));
  // The output is still lossless at the other level.
  Convert(Wav, "s2.ape", "--settings");
  EXPECT_EQ(4000, ApeLevel("s2.ape"));
  Convert("s2.ape", "s2.wav");
  EXPECT_EQ(ReadPcm16Wav(Dir.Path(Wav)), ReadPcm16Wav(Dir.Path("s2.wav")));
}

TEST_F(CliConvert, OptionsGivenWinOverTheSettingsFile) {
  WriteSettings(
      "[Mp3]\nBitRate=192\n[Ogg]\nCompression=0.1\n[Ape]\nCompression=4000\n"
      "[Flac]\nMidSideStereo=0\n");
  const std::string Wav = Source("wav");
  Convert(Wav, "o.mp3", "--settings --bitrate 320");
  EXPECT_EQ("320000", Probe("stream=bit_rate", "o.mp3"));
  Convert(Source("mp3"), "m.mp3", "--bitrate 64 --settings");
  EXPECT_EQ("64000", Probe("stream=bit_rate", "m.mp3"));
  Convert(Wav, "o.ogg", "--settings --quality 0.9");
  EXPECT_EQ(OggencNominal(9), Probe("stream=bit_rate", "o.ogg"));
  Convert(Wav, "o.ape", "--settings --level 1000");
  EXPECT_EQ(1000, ApeLevel("o.ape"));
  Convert(CorrelatedWav(), "o.flac", "--settings --mid-side 1");
  EXPECT_GT(SideFrames("o.flac"), 0);
  // An option for another type changes nothing here: the file's value stays.
  Convert(Wav, "k.mp3", "--settings --level 1000");
  EXPECT_EQ("192000", Probe("stream=bit_rate", "k.mp3"));
  // A wrong value is refused before anything is written, file or not.
  std::string Err;
  EXPECT_EQ(1, Cli("convert " + Quote(Dir.Path(Wav)) + " " + Quote(Dir.Path("bad.ape")) +
                       " --settings --level 2500",
                   &Err));
  EXPECT_NE(std::string::npos, Err.find("Runtime error: Option --level needs")) << Err;
  EXPECT_FALSE(FileExists(Dir.Path("bad.ape")));
  EXPECT_EQ(1, Cli("convert " + Quote(Dir.Path(Source("mp3"))) + " " + Quote(Dir.Path("bad.ogg")) +
                       " --settings --quality loud",
                   &Err));
  EXPECT_NE(std::string::npos, Err.find("Runtime error: Option --quality needs a number")) << Err;
  EXPECT_FALSE(FileExists(Dir.Path("bad.ogg")));
}

TEST_F(CliConvert, HandEditedGarbageFallsBackToTheDefaults) {
  WriteSettings(
      "[Mp3]\nBitRate=fast\n[Ogg]\nCompression=0.x\n[Ape]\nCompression=lots\n"
      "[Flac]\nMidSideStereo=maybe\n");
  const std::string Wav = Source("wav");
  Convert(Wav, "g.mp3", "--settings");
  EXPECT_EQ("128000", Probe("stream=bit_rate", "g.mp3"));
  Convert(Wav, "g.ogg", "--settings");
  EXPECT_EQ(OggencNominal(5), Probe("stream=bit_rate", "g.ogg"));
  Convert(Wav, "g.ape", "--settings");
  EXPECT_EQ(2000, ApeLevel("g.ape"));
  Convert(CorrelatedWav(), "g.flac", "--settings");
  EXPECT_GT(SideFrames("g.flac"), 0);
  // Numbers the encoders do not offer: the MP3 default and the APE writer's
  // own fallback. A comma is read as the decimal point.
  WriteSettings("[Mp3]\nBitRate=100\n[Ogg]\nCompression=0,1\n[Ape]\nCompression=2500\n");
  Convert(Wav, "h.mp3", "--settings");
  EXPECT_EQ("128000", Probe("stream=bit_rate", "h.mp3"));
  Convert(Wav, "h.ogg", "--settings");
  EXPECT_EQ(OggencNominal(1), Probe("stream=bit_rate", "h.ogg"));
  Convert(Wav, "h.ape", "--settings");
  EXPECT_EQ(2000, ApeLevel("h.ape"));
}

TEST_F(CliConvert, WritingOverTheSourceIsRefusedForEveryType) {
  for (const char* T : Types) {
    SCOPED_TRACE(T);
    const std::string Src = Source(T);
    const std::vector<uint8_t> Before = ReadFileBytes(Dir.Path(Src));
    std::string Err;
    // Also when the same file is named another way.
    EXPECT_EQ(1, Cli("convert " + Quote(Dir.Path(Src)) + " " + Quote(Dir.Path("prog/../" + Src)) +
                         " --settings",
                     &Err));
    EXPECT_NE(std::string::npos, Err.find("Input and output are the same file")) << Err;
    EXPECT_EQ(Before, ReadFileBytes(Dir.Path(Src)));
  }
}

TEST_F(CliConvert, ASourceThatCannotDeliverAudioFailsTheJobAndLeavesTheOutputAsItWas) {
  // Both used to come out as an empty file and a zero exit status.
  WriteFileBytes(Dir.Path("text.wav"), std::vector<uint8_t>(4000, 'x'));
  // Three channels: no writer takes them.
  ASSERT_EQ(0,
            Sh("sox -n -r 8000 -c 3 -b 16 " + Quote(Dir.Path("3ch.wav")) + " synth 0.3 sine 300"));
  ASSERT_EQ(0, Sh("flac -s --channel-map=none " + Quote(Dir.Path("3ch.wav")) + " -o " +
                  Quote(Dir.Path("3ch.flac"))));
  const std::vector<uint8_t> Old = {'o', 'l', 'd'};
  for (const auto& [In, Type] : {std::pair{"text.wav", "WAV"}, std::pair{"3ch.flac", "FLAC"}})
    for (const char* T : Types) {
      SCOPED_TRACE(std::string(In) + " to " + T);
      const std::string Out = Dir.Path(std::string("out.") + T);
      WriteFileBytes(Out, Old);
      std::string Err;
      EXPECT_EQ(1, Cli("convert " + Quote(Dir.Path(In)) + " " + Quote(Out), &Err));
      EXPECT_NE(std::string::npos, Err.find("Runtime error: " + Dir.Path(In) +
                                            ": not a valid or supported " + Type + " file"))
          << Err;
      EXPECT_EQ(Old, ReadFileBytes(Out));
    }
}

}  // namespace

// On a terminal the job's line is redrawn in place; in a pipe, or asked for
// with --progress=lines, one percent a line. Either way a finished job says
// its speed once.
TEST_F(CliConvert, ProgressIsDrawnInPlaceOnATerminalAndOneLineAPercentElsewhere) {
  if (!HaveTool("script")) GTEST_SKIP() << "script is needed for a terminal";
  ASSERT_EQ(0,
            Sh("sox -n -r 44100 -c 2 -b 16 " + Quote(Dir.Path("five.wav")) + " synth 5 sine 440"));
  const std::string Job = Quote(Dir.Path("prog/velmora-cli")) + " convert " +
                          Quote(Dir.Path("five.wav")) + " " + Quote(Dir.Path("five.flac"));
  const std::regex Speed("0:05 of audio in [0-9.]+ s: [0-9.]+\xc3\x97 real time");
  // The lines of Text split at carriage returns as well.
  const auto Pieces = [](std::string Text) {
    std::replace(Text.begin(), Text.end(), '\r', '\n');
    std::vector<std::string> R;
    std::istringstream In(Text);
    for (std::string L; std::getline(In, L);)
      if (!L.empty()) R.push_back(L);
    return R;
  };
  const auto IsPercent = [](const std::string& L) {
    return !L.empty() && L.find_first_not_of("0123456789") == std::string::npos;
  };

  std::string Out, Err;
  ASSERT_EQ(0, Sh(Job, &Out, &Err)) << Err;
  std::vector<std::string> Lines = Pieces(Err);
  ASSERT_GE(Lines.size(), 3u) << Err;
  EXPECT_TRUE(std::regex_match(Lines.back(), Speed)) << Err;
  int Last = -1;
  for (size_t I = 0; I + 1 < Lines.size(); ++I) {
    ASSERT_TRUE(IsPercent(Lines[I])) << Err;
    EXPECT_GT(std::stoi(Lines[I]), Last) << Err;
    Last = std::stoi(Lines[I]);
  }
  EXPECT_EQ(Last, 100);

  // script runs the job on a terminal of its own and copies what it shows.
  EXPECT_EQ(0, Sh("script -qec " + Quote(Job) + " /dev/null", &Out, &Err)) << Out;
  Lines = Pieces(Out);
  EXPECT_NE(std::string::npos, Out.find("\r[")) << Out;
  EXPECT_NE(std::string::npos, Out.find("] 100%")) << Out;
  EXPECT_TRUE(std::none_of(Lines.begin(), Lines.end(), IsPercent)) << Out;
  ASSERT_FALSE(Lines.empty());
  EXPECT_TRUE(std::regex_match(Lines.back(), Speed)) << Out;

  EXPECT_EQ(0, Sh("script -qec " + Quote(Job + " --progress=lines") + " /dev/null", &Out, &Err));
  EXPECT_EQ(std::string::npos, Out.find("\r[")) << Out;
  Lines = Pieces(Out);
  EXPECT_GE(std::count_if(Lines.begin(), Lines.end(), IsPercent), 2) << Out;

  EXPECT_EQ(1, Cli("convert " + Quote(Dir.Path("five.wav")) + " " + Quote(Dir.Path("x.flac")) +
                       " --progress=fast",
                   &Err));
  EXPECT_EQ(Err, "Runtime error: Option --progress must be lines or line\n");
}

// Tags and the front cover of a FLAC file reach every type, as another
// program reads them, and come back from every type; the tag options given
// win; the audio is untouched by them.
TEST_F(CliConvert, TagsAndTheFrontCoverCarryOverBetweenTheTypes) {
  if (!HaveTool("metaflac") || !HaveTool("convert"))
    GTEST_SKIP() << "metaflac and convert are needed";
  ASSERT_EQ(0, Sh("convert -size 16x16 xc:red " + Quote(Dir.Path("cover.jpg"))));
  const std::string Flac = Quote(Dir.Path(Source("flac")));
  ASSERT_EQ(0, Sh("metaflac --set-tag='TITLE=H\xc3\xa9llo' --set-tag=ARTIST=Someone "
                  "--set-tag=ALBUM=Record --set-tag=ALBUMARTIST=Various --set-tag=DATE=2024 "
                  "--set-tag=TRACKNUMBER=3 --set-tag=DISCNUMBER=2 --set-tag=GENRE=Jazz "
                  "--set-tag=COMMENT=Fine --import-picture-from='3|image/jpeg|||" +
                  Dir.Path("cover.jpg") + "' " + Flac));
  // What ffprobe finds: "name=value" lines of the tags, and whether a
  // picture stream is attached.
  const auto Tags = [&](const std::string& File) {
    std::string Out;
    Sh("ffprobe -v error -show_entries format_tags:stream_tags:stream_disposition=attached_pic "
       "-of default=nw=1 " +
           Quote(Dir.Path(File)),
       &Out);
    std::transform(Out.begin(), Out.end(), Out.begin(),
                   [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
    return Out;
  };
  const std::vector<std::string> Common = {"title=h\xc3\xa9llo", "artist=someone", "album=record",
                                           "genre=jazz", "comment=fine"};
  for (const char* T : {"mp3", "ogg", "ape", "wav", "flac"}) {
    SCOPED_TRACE(T);
    const std::string Out = std::string("tagged.") + T;
    Convert(Source("flac"), Out);
    const std::string Found = Tags(Out);
    for (const std::string& F : Common) EXPECT_NE(std::string::npos, Found.find(F)) << Found;
    const bool Wav = std::string(T) == "wav";  // RIFF INFO: no album artist, disc or cover
    EXPECT_EQ(!Wav, Found.find("attached_pic=1") != std::string::npos) << Found;
    EXPECT_EQ(!Wav, Found.find("=various") != std::string::npos) << Found;
    // And back: the tags written are read again.
    Convert(Out, std::string("again-") + T + ".flac");
    const std::string Again = Tags(std::string("again-") + T + ".flac");
    for (const std::string& F : Common) EXPECT_NE(std::string::npos, Again.find(F)) << Again;
    EXPECT_EQ(!Wav, Again.find("attached_pic=1") != std::string::npos) << Again;
  }
  std::string Pcm1, Pcm2;
  Sh("sox " + Quote(Dir.Path("tagged.wav")) + " -t raw - | md5sum", &Pcm1);
  Sh("sox " + Flac + " -t raw - | md5sum", &Pcm2);
  EXPECT_EQ(Pcm1, Pcm2);

  // Options given win; the MP3 file has an ID3v2.4 tag first and keeps the
  // encoder's version 1 tag last.
  Convert(Source("flac"), "given.mp3", "--title Given --track 7");
  const std::string Given = Tags("given.mp3");
  EXPECT_NE(std::string::npos, Given.find("title=given")) << Given;
  EXPECT_NE(std::string::npos, Given.find("track=7")) << Given;
  EXPECT_NE(std::string::npos, Given.find("artist=someone")) << Given;
  const std::vector<uint8_t> Mp3 = ReadFileBytes(Dir.Path("given.mp3"));
  ASSERT_GT(Mp3.size(), 128u);
  EXPECT_EQ(std::string(Mp3.begin(), Mp3.begin() + 4), std::string("ID3\x04", 4));
  EXPECT_EQ(std::string(Mp3.end() - 128, Mp3.end() - 125), "TAG");
  std::string Info;
  ASSERT_EQ(
      0, Sh(Quote(Dir.Path("prog/velmora-cli")) + " info " + Quote(Dir.Path("given.mp3")), &Info));
  EXPECT_NE(std::string::npos, Info.find("\ntag.title=Given\n")) << Info;
  EXPECT_NE(std::string::npos, Info.find("\ntag.cover=image/jpeg, ")) << Info;
}

// 24-bit WAV (in its extensible form, as sox writes it), FLAC and APE stay
// 24-bit and exact through the lossless types; MP3 and Ogg encode every bit,
// so that a tone below the last bit of 16 is still there.
TEST_F(CliConvert, TwentyFourBitSourcesStayExactAndEncodeFromEveryBit) {
  ASSERT_EQ(0, Sh("sox -n -r 48000 -c 2 -b 24 " + Quote(Dir.Path("w24.wav")) +
                  " synth 1 sine 1000 sine 1500 gain -2"));
  ASSERT_EQ(0, Sh("flac -s " + Quote(Dir.Path("w24.wav")) + " -o " + Quote(Dir.Path("f24.flac"))));
  Convert("w24.wav", "a24.ape");
  // The samples as ffmpeg decodes them, in 32 bits.
  const auto Samples = [&](const std::string& Name) {
    std::string Out;
    EXPECT_EQ(0, Sh("ffmpeg -v error -i " + Quote(Dir.Path(Name)) + " -f s32le - | md5sum", &Out));
    return Out;
  };
  const std::string Want = Samples("w24.wav");
  for (const char* In : {"w24.wav", "f24.flac", "a24.ape"})
    for (const char* T : {"wav", "flac", "ape"}) {
      SCOPED_TRACE(std::string(In) + " to " + T);
      const std::string Out = std::string("out24-") + In + "." + T;
      Convert(In, Out);
      const std::string Bits = Probe("stream=bits_per_raw_sample,bits_per_sample", Out);
      EXPECT_NE(std::string::npos, Bits.find("24")) << Bits;
      EXPECT_EQ(Samples(Out), Want);
    }

  // -110 dBFS: a 16-bit path would give silence or a step of one bit.
  ASSERT_EQ(0, Sh("sox -n -r 44100 -c 2 -b 24 " + Quote(Dir.Path("quiet.wav")) +
                  " synth 2 sine 1000 gain -110"));
  for (const char* T : {"mp3", "ogg"}) {
    SCOPED_TRACE(T);
    const std::string Out = std::string("quiet.") + T;
    Convert("quiet.wav", Out);
    std::string Stats;
    Sh("ffmpeg -v error -i " + Quote(Dir.Path(Out)) +
           " -c:a pcm_f32le -f wav - | sox -t wav - -n stats 2>&1 | grep 'RMS lev dB'",
       &Stats);
    ASSERT_NE(std::string::npos, Stats.find_first_of("-0123456789")) << Stats;
    const double Rms = std::atof(Stats.substr(Stats.find_first_of("-0123456789")).c_str());
    EXPECT_GT(Rms, -117.0) << Stats;
    EXPECT_LT(Rms, -109.0) << Stats;
  }
}
