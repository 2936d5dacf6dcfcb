// velmora-cli batch: folders of files of every kind converted into another
// folder, with failures told and the batch going on, skipping what is up to
// date, never replacing a source, and Ctrl+C leaving only whole files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "tests/support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class CliBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* T : {"sox", "lame", "flac"})
      if (!HaveTool(T)) GTEST_SKIP() << T << " is needed";
  }
  static int Sh(const std::string& Cmd, std::string* Out = nullptr, std::string* Err = nullptr) {
    return testing_support::Run(Cmd, Out, Err);
  }
  int Batch(const std::string& Args, std::string* Err) {
    std::string Out;
    return Sh(Quote(BinDir() + "/velmora-cli") + " batch " + Args, &Out, Err);
  }
  void Tone(const std::string& Name, const std::string& Format, double Seconds, int Hz) {
    fs::create_directories(fs::path(Dir.Path(Name)).parent_path());
    ASSERT_EQ(0, Sh("sox -n " + Format + " " + Quote(Dir.Path(Name)) + " synth " +
                    std::to_string(Seconds) + " sine " + std::to_string(Hz)));
  }
  // Every file below Folder, relative to it.
  std::set<std::string> Listing(const std::string& Folder) {
    std::set<std::string> R;
    for (const auto& E : fs::recursive_directory_iterator(Dir.Path(Folder)))
      if (E.is_regular_file()) R.insert(fs::relative(E.path(), Dir.Path(Folder)).string());
    return R;
  }
  // The PCM data of an audio file as sox decodes it.
  std::string Samples(const std::string& Name) {
    std::string Out;
    EXPECT_EQ(0, Sh("sox " + Quote(Dir.Path(Name)) + " -t raw - | md5sum", &Out));
    return Out;
  }
  TempDir Dir;
};

TEST_F(CliBatch, EveryAudioFileBelowTheFoldersIsConvertedKeepingItsFolderAndFailuresAreTold) {
  Tone("in/a/one.wav", "-r 44100 -c 2 -b 16", 1.5, 440);
  Tone("in/a/deep/two.wav", "-r 22050 -c 1 -b 16", 0.7, 330);
  Tone("in/b/three.wav", "-r 48000 -c 2 -b 16", 1.0, 550);
  ASSERT_EQ(0, Sh("flac -s " + Quote(Dir.Path("in/b/three.wav")) + " -o " +
                  Quote(Dir.Path("in/b/four.flac"))));
  ASSERT_EQ(0, Sh("metaflac --set-tag=TITLE=Four " + Quote(Dir.Path("in/b/four.flac"))));
  std::ofstream(Dir.Path("in/b/broken.wav")) << "RIFF but nothing else";
  std::ofstream(Dir.Path("in/b/notes.txt")) << "not audio";
  // The output folder inside the input: what a batch writes is never read
  // again as a source.
  const std::string Out = Dir.Path("in/out");
  std::string Err;
  EXPECT_EQ(1, Batch(Quote(Dir.Path("in")) + " --to flac --out " + Quote(Out) + " -j 2", &Err));
  const std::set<std::string> Made = {"a/one.flac", "a/deep/two.flac", "b/three.flac",
                                      "b/four.flac"};
  EXPECT_EQ(Listing("in/out"), Made) << Err;
  EXPECT_EQ(Samples("in/out/a/one.flac"), Samples("in/a/one.wav"));
  EXPECT_EQ(Samples("in/out/a/deep/two.flac"), Samples("in/a/deep/two.wav"));
  EXPECT_EQ(Samples("in/out/b/four.flac"), Samples("in/b/three.wav"));
  EXPECT_NE(std::string::npos, Err.find("4 converted, 0 skipped, 1 failed.\nFailed:\n  " +
                                        Dir.Path("in/b/broken.wav") + ": "))
      << Err;
  std::string Info;
  Sh(Quote(BinDir() + "/velmora-cli") + " info " + Quote(Dir.Path("in/out/b/four.flac")), &Info);
  EXPECT_NE(std::string::npos, Info.find("\ntag.title=Four\n")) << Info;
  // Lines, not a drawn line, into a pipe; the speed said once.
  EXPECT_NE(std::string::npos, Err.find("\n100\n")) << Err;
  EXPECT_EQ(std::string::npos, Err.find('\r')) << Err;

  // Again with --skip-existing: nothing newer than its output is redone,
  // and a source touched since is.
  const auto Before = fs::last_write_time(Dir.Path("in/out/a/one.flac"));
  fs::last_write_time(
      Dir.Path("in/b/three.wav"),
      fs::last_write_time(Dir.Path("in/out/b/three.flac")) + std::chrono::seconds(5));
  EXPECT_EQ(1, Batch(Quote(Dir.Path("in")) + " --to flac --out " + Quote(Out) + " --skip-existing",
                     &Err));
  EXPECT_NE(std::string::npos, Err.find("1 converted, 3 skipped, 1 failed.")) << Err;
  EXPECT_EQ(Before, fs::last_write_time(Dir.Path("in/out/a/one.flac")));

  // Files named outright go to the top of the output folder; an MP3 source
  // and MP3 options reach the writer.
  ASSERT_EQ(0, Sh("lame --quiet " + Quote(Dir.Path("in/a/one.wav")) + " " +
                  Quote(Dir.Path("in/five.mp3"))));
  EXPECT_EQ(0, Batch(Quote(Dir.Path("in/five.mp3")) + " " + Quote(Dir.Path("in/a/one.wav")) +
                         " --to MP3 --bitrate 96 --out " + Quote(Dir.Path("top")),
                     &Err))
      << Err;
  EXPECT_EQ(Listing("top"), (std::set<std::string>{"five.mp3", "one.mp3"}));
  EXPECT_NE(std::string::npos, Err.find("2 converted, 0 skipped, 0 failed.")) << Err;

  // Arguments that make no batch.
  EXPECT_EQ(1, Batch(Quote(Dir.Path("in")) + " --to aiff --out " + Quote(Out), &Err));
  EXPECT_EQ(Err, "Runtime error: Option --to: cannot write this type of file: aiff\n");
  EXPECT_EQ(1, Batch(Quote(Dir.Path("in")) + " --to wav --out " + Quote(Out) + " --append", &Err));
  EXPECT_EQ(Err, "Runtime error: Unknown option --append\n");
  EXPECT_EQ(1, Batch(Quote(Dir.Path("in/b")) + " --to wav --out " + Quote(Out) + " -j 0", &Err));
  EXPECT_EQ(Err, "Runtime error: Option -j must be between 1 and 64\n");
}

// A source is never written over: not by its own output, not by the output
// of another file of the batch.
TEST_F(CliBatch, NoOutputTakesThePlaceOfASource) {
  Tone("mixed/song.wav", "-r 44100 -c 2 -b 16", 0.5, 440);
  Tone("mixed/other.wav", "-r 44100 -c 2 -b 16", 0.5, 660);
  ASSERT_EQ(0, Sh("flac -s " + Quote(Dir.Path("mixed/other.wav")) + " -o " +
                  Quote(Dir.Path("mixed/song.flac"))));
  const auto Flac = ReadFileBytes(Dir.Path("mixed/song.flac"));
  std::string Err;
  EXPECT_EQ(1,
            Batch(Quote(Dir.Path("mixed")) + " --to flac --out " + Quote(Dir.Path("mixed")), &Err));
  EXPECT_EQ(Flac, ReadFileBytes(Dir.Path("mixed/song.flac")));
  EXPECT_NE(std::string::npos, Err.find("Input and output are the same file")) << Err;
  EXPECT_NE(std::string::npos, Err.find("is one of the files being converted")) << Err;
  EXPECT_NE(std::string::npos, Err.find("1 converted, 0 skipped, 2 failed.")) << Err;
  EXPECT_EQ(Listing("mixed"),
            (std::set<std::string>{"song.wav", "other.wav", "song.flac", "other.flac"}));
}

// Ctrl+C in the middle: status 130, and every file under an output's name
// is whole; nothing hidden is left behind.
TEST_F(CliBatch, CtrlCLeavesOnlyWholeFilesUnderTheirNames) {
  for (int I = 0; I < 4; ++I)
    Tone("long/t" + std::to_string(I) + ".wav", "-r 44100 -c 2 -b 16", 120, 300 + 50 * I);
  const std::string Program = BinDir() + "/velmora-cli";
  const std::string ErrFile = Dir.Path("stderr.txt");
  const std::string In = Dir.Path("long"), Out = Dir.Path("out");
  std::vector<const char*> Argv = {Program.c_str(), "batch",     In.c_str(), "--to", "mp3",
                                   "--out",         Out.c_str(), "-j",       "2",    nullptr};
  const pid_t Pid = ::fork();
  if (Pid == 0) {
    const int Fd = ::open(ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(Fd, 2);
    ::execv(Program.c_str(), const_cast<char* const*>(Argv.data()));
    ::_exit(127);
  }
  // Once a percent is out, the conversions are under way.
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < Until) {
    std::ifstream E(ErrFile);
    std::string Line;
    if (std::getline(E, Line) && !E.eof()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(Pid, SIGINT);
  int Status = 0;
  ASSERT_EQ(Pid, ::waitpid(Pid, &Status, 0));
  const auto B = ReadFileBytes(ErrFile);
  const std::string Err(B.begin(), B.end());
  ASSERT_TRUE(WIFEXITED(Status));
  EXPECT_EQ(130, WEXITSTATUS(Status)) << Err;
  EXPECT_NE(std::string::npos, Err.find("Stopped: ")) << Err;
  if (!fs::exists(Out)) return;
  for (const std::string& F : Listing("out")) {
    EXPECT_NE(F[0], '.') << F << " was left behind";
    std::string Seconds;
    Sh("soxi -D " + Quote(Dir.Path("out/" + F)), &Seconds);
    EXPECT_NEAR(std::atof(Seconds.c_str()), 120.0, 0.1) << F << " is not whole";
  }
}

// A tree of every type, tagged by the reference tools (some with a cover),
// into each of the five types: the folders are kept, lossless outputs of
// lossless sources hold the source's samples, lossy ones its length, and
// the tags and cover read back as another program reads them.
TEST_F(CliBatch, ATreeOfEveryTypeGoesIntoEachTypeWithItsAudioAndTags) {
  for (const char* T : {"oggenc", "metaflac", "ffmpeg", "ffprobe", "convert"})
    if (!HaveTool(T)) GTEST_SKIP() << T << " is needed";
  ASSERT_EQ(0, Sh("convert -size 16x16 xc:blue " + Quote(Dir.Path("cover.jpg"))));
  const std::string Tags = "--tt 'Song' --ta 'Band' --tl 'Disc' --ty 2021 --tn 4 --tg Rock";
  struct TSource {
    std::string Name;  // below "tree/"
    bool Lossless, Cover;
  };
  const std::vector<TSource> Sources = {{"w1.wav", true, false},      {"a/w2.wav", true, false},
                                        {"a/f1.flac", true, true},    {"a/b/f2.flac", true, false},
                                        {"b/m1.mp3", false, true},    {"b/m2.mp3", false, false},
                                        {"b/c/o1.ogg", false, false}, {"o2.ogg", false, false},
                                        {"c/p1.ape", true, true},     {"c/p2.ape", true, false}};
  int N = 0;
  for (const TSource& S : Sources) {
    const std::string Path = Dir.Path("tree/" + S.Name), Ext = fs::path(S.Name).extension();
    const std::string Wav = Dir.Path("src" + std::to_string(N) + ".wav");
    Tone("src" + std::to_string(N) + ".wav", N % 2 ? "-r 22050 -c 1 -b 16" : "-r 44100 -c 2 -b 16",
         0.4 + 0.1 * N, 300 + 40 * N);
    ++N;
    fs::create_directories(fs::path(Path).parent_path());
    const std::string Meta = "-metadata title=Song -metadata artist=Band -metadata album=Disc ";
    if (Ext == ".wav") {
      ASSERT_EQ(0, Sh("ffmpeg -v error -i " + Quote(Wav) + " " + Meta + Quote(Path)));
    } else if (Ext == ".flac" || Ext == ".ape") {
      const std::string Flac = Ext == ".flac" ? Path : Path + ".flac";
      ASSERT_EQ(0, Sh("flac -s " + Quote(Wav) + " -o " + Quote(Flac)));
      ASSERT_EQ(0, Sh("metaflac --set-tag=TITLE=Song --set-tag=ARTIST=Band --set-tag=ALBUM=Disc " +
                      std::string(S.Cover ? "--import-picture-from='3|image/jpeg|||" +
                                                Dir.Path("cover.jpg") + "' "
                                          : "") +
                      Quote(Flac)));
      if (Ext == ".ape") {
        std::string Err;
        ASSERT_EQ(
            0, Sh(Quote(BinDir() + "/velmora-cli") + " convert " + Quote(Flac) + " " + Quote(Path),
                  nullptr, &Err))
            << Err;
        fs::remove(Flac);
      }
    } else if (Ext == ".mp3") {
      ASSERT_EQ(0, Sh("lame --quiet " + Tags +
                      (S.Cover ? " --ti " + Quote(Dir.Path("cover.jpg")) : std::string()) + " " +
                      Quote(Wav) + " " + Quote(Path)));
    } else {
      ASSERT_EQ(0, Sh("oggenc -Q -t Song -a Band -l Disc " + Quote(Wav) + " -o " + Quote(Path)));
    }
  }
  std::ofstream(Dir.Path("tree/a/b/damaged.flac")) << "fLaC and then nothing";

  // What ffprobe says of a file: "duration=", "title=", "attached_pic=" ...
  const auto Probe = [&](const std::string& File) {
    std::string Out;
    Sh("ffprobe -v error -show_entries format=duration:format_tags=title,artist,album:stream_tags="
       "title,artist,album:stream_disposition=attached_pic -of default=nw=1 " +
           Quote(File),
       &Out);
    for (char& C : Out) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    return Out;
  };
  const auto Seconds = [](const std::string& Probed) {
    const size_t At = Probed.find("duration=");
    return At == std::string::npos ? -1.0 : std::atof(Probed.c_str() + At + 9);
  };
  const auto Pcm = [&](const std::string& File) {
    std::string Out;
    Sh("ffmpeg -v error -i " + Quote(File) + " -map 0:a -f s16le - | md5sum", &Out);
    return Out;
  };

  for (const char* T : {"wav", "mp3", "ogg", "flac", "ape"}) {
    SCOPED_TRACE(T);
    const std::string Out = Dir.Path(std::string("to-") + T);
    std::string Err;
    EXPECT_EQ(1, Batch(Quote(Dir.Path("tree")) + " --to " + T + " --out " + Quote(Out), &Err));
    EXPECT_NE(std::string::npos, Err.find("10 converted, 0 skipped, 1 failed.\nFailed:\n  " +
                                          Dir.Path("tree/a/b/damaged.flac") + ": "))
        << Err;
    const bool LosslessTarget = std::string(T) != "mp3" && std::string(T) != "ogg";
    for (const TSource& S : Sources) {
      SCOPED_TRACE(S.Name);
      const std::string In = Dir.Path("tree/" + S.Name);
      const std::string Made =
          (fs::path(Out) / fs::path(S.Name).parent_path() / fs::path(S.Name).stem()).string() +
          "." + T;
      ASSERT_TRUE(fs::exists(Made));
      const std::string From = Probe(In), To = Probe(Made);
      if (S.Lossless && LosslessTarget)
        EXPECT_EQ(Pcm(Made), Pcm(In));
      else
        EXPECT_NEAR(Seconds(To), Seconds(From), 0.1) << From << To;
      for (const char* Tag : {"title=song", "artist=band", "album=disc"})
        EXPECT_NE(std::string::npos, To.find(Tag)) << To;
      EXPECT_EQ(S.Cover && std::string(T) != "wav", To.find("attached_pic=1") != std::string::npos)
          << To;
    }
  }
}

}  // namespace
