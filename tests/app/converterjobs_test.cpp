// The converter pages' guards and failures: paths not chosen, the output
// name's extension, locked and existing outputs, sources that cannot be read,
// decoders that find nothing to decode, and jobs that cannot start. Every
// one must leave the page usable again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "app/PathSelector.h"
#include "tests/app/support/AppTestSupport.h"
#include "tests/app/support/ConverterPanels.h"

using app_testing::TFileHolder;
using app_testing::WindowTest;
using testing_support::Quote;
using testing_support::ReadFileBytes;
using testing_support::ReadPcm16Wav;
using testing_support::WriteFileBytes;

namespace {

using TPanel = app_testing::TConverterPanel;

class ConverterJobs : public WindowTest {
 protected:
  TPanel Panel(const char* Name) { return app_testing::ConverterPanel(Form(), Name); }
  TFileDialogRequest Answer(const std::string& Name) {
    TFileDialogRequest R;
    R.FileName = QString::fromStdString(Name);
    return R;
  }
  // Chooses the source and the output through the dialogs, as a user does.
  void Choose(const TPanel& P, const std::string& Source, const std::string& Output) {
    TMainForm& F = *Window;
    F.PageControl->setCurrentIndex(P.Page);
    if (!Source.empty()) {
      Dialogs->OpenAnswers.push_back(Answer(Source));
      P.Source->Button()->click();
    }
    if (!Output.empty()) {
      Dialogs->SaveAnswers.push_back(Answer(Output));
      P.Output->Button()->click();
    }
  }
  // Clicks "Convert it" and waits for the page to come back.
  ::testing::AssertionResult ConvertAndWait(const TPanel& P) {
    TMainForm& F = *Window;
    P.Button->click();
    QElapsedTimer T;
    T.start();
    while (!F.PageControl->isEnabled() && T.elapsed() < 60000)
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    // Late events of the job (none should remain) get their turn too.
    Settle();
    if (!F.PageControl->isEnabled()) return ::testing::AssertionFailure() << "page still disabled";
    return ::testing::AssertionSuccess();
  }
  // The page is idle: enabled, bar hidden at 0, the page's description shown.
  void ExpectIdle(const TPanel& P) {
    TMainForm& F = *Window;
    EXPECT_TRUE(F.PageControl->isEnabled()) << P.Name;
    EXPECT_FALSE(P.Bar->isVisible()) << P.Name;
    EXPECT_EQ(P.Bar->value(), 0) << P.Name;
    EXPECT_EQ(F.StatusText(), QLatin1String(P.Description)) << P.Name;
  }
  std::string MakeWav(const std::string& Name, double Seconds = 0.5) {
    const std::string Path = Dir.Path(Name);
    const int Frames = static_cast<int>(44100 * Seconds);
    const auto S = testing_support::MakeSignal16(Frames, 2, 44100);
    testing_support::WritePcmWav(Path, S.data(), S.size() * 2, 2, 44100, 16);
    return Path;
  }
  std::string MakeGarbage(const std::string& Name) {
    std::vector<uint8_t> Bytes(20000);
    uint32_t X = 12345;
    for (auto& B : Bytes) {
      X = X * 1103515245u + 12345u;
      B = static_cast<uint8_t>(X >> 24);
    }
    // Nothing in it may look like an MP3 frame's sync word.
    for (size_t I = 0; I + 1 < Bytes.size(); ++I)
      if (Bytes[I] == 0xFF) Bytes[I] = 0x7F;
    WriteFileBytes(Dir.Path(Name), Bytes);
    return Dir.Path(Name);
  }
};

}  // namespace

TEST_F(ConverterJobs, ConvertBeforeBothPathsAreChosenShowsTheFlowsMessageAndStartsNothing) {
  const std::string Wav = MakeWav("in.wav");
  TMainForm& F = ShownForm();
  for (const TPanel& P : app_testing::ConverterPanels(F)) {
    Dialogs->Messages.clear();
    F.PageControl->setCurrentIndex(P.Page);
    const QString Status = F.StatusText();
    P.Button->click();  // nothing chosen
    Settle();
    ASSERT_EQ(Dialogs->Messages, QStringList{QLatin1String(P.EmptyMessage)}) << P.Name;
    EXPECT_TRUE(F.PageControl->isEnabled()) << P.Name;
    EXPECT_FALSE(P.Bar->isVisible()) << P.Name;
    EXPECT_EQ(F.StatusText(), Status) << P.Name;
  }
  // Only the output chosen: still the message, and no file appears.
  const TPanel& P = Panel("WavToFlac");
  Choose(P, "", Dir.Path("only.flac"));
  Dialogs->Messages.clear();
  P.Button->click();
  Settle();
  EXPECT_EQ(Dialogs->Messages,
            QStringList{QStringLiteral("Please select wav and flac file first!")});
  EXPECT_FALSE(std::filesystem::exists(Dir.Path("only.flac")));
}

TEST_F(ConverterJobs, DialogsOfferTheFlowsFiltersAndForceTheOutputExtension) {
  TMainForm& F = ShownForm();
  for (const TPanel& P : app_testing::ConverterPanels(F)) {
    Dialogs->OpenAsked.clear();
    Dialogs->SaveAsked.clear();
    F.OpenDialog.FileName = QStringLiteral("left over");
    F.SaveDialog.FileName = QStringLiteral("left over");
    Choose(P, Dir.Path("a") + P.Extension, Dir.Path("song"));
    ASSERT_EQ(Dialogs->OpenAsked.size(), 1u) << P.Name;
    ASSERT_EQ(Dialogs->SaveAsked.size(), 1u) << P.Name;
    EXPECT_EQ(Dialogs->OpenAsked[0].Filter, QLatin1String(P.SourceFilter)) << P.Name;
    EXPECT_EQ(Dialogs->SaveAsked[0].Filter, QLatin1String(P.OutputFilter)) << P.Name;
    // The shared dialogs start without a name.
    EXPECT_TRUE(Dialogs->OpenAsked[0].FileName.isEmpty()) << P.Name;
    EXPECT_TRUE(Dialogs->SaveAsked[0].FileName.isEmpty()) << P.Name;
    EXPECT_EQ(P.Output->Text(), QString::fromStdString(Dir.Path("song") + P.Extension)) << P.Name;
    EXPECT_EQ(P.Source->Text(), QString::fromStdString(Dir.Path("a") + P.Extension)) << P.Name;
  }
  // The texts as users know them (the loop above takes them from the window's
  // table), among them the one filter that is spelt in lower case.
  const TPanel Ape = Panel("ApeToWav");
  Choose(Ape, Dir.Path("a.ape"), Dir.Path("b"));
  EXPECT_EQ(Dialogs->OpenAsked.back().Filter, QStringLiteral("ape file|*.ape"));
  EXPECT_EQ(Dialogs->SaveAsked.back().Filter, QStringLiteral("Wave file|*.wav"));
  EXPECT_EQ(Ape.Output->Text(), QString::fromStdString(Dir.Path("b.wav")));
  // An extension in other case is kept; another extension gets the flow's
  // appended; a dot in a folder name is not an extension.
  const struct {
    const char* Panel;
    std::string Chosen, Shown;
  } Cases[] = {
      {"OggToWav", Dir.Path("SONG.WAV"), Dir.Path("SONG.WAV")},
      {"FlacToWav", Dir.Path(".wav"), Dir.Path(".wav")},
      {"WavToMp3", Dir.Path("x.wav"), Dir.Path("x.wav.mp3")},
      {"WavToMp3", Dir.Path("x.Mp3"), Dir.Path("x.Mp3")},
      {"WavToFlac", Dir.Path("album.v2/track"), Dir.Path("album.v2/track.flac")},
      {"WavToApe", Dir.Path("x.ape.wav"), Dir.Path("x.ape.wav.ape")},
  };
  for (const auto& C : Cases) {
    const TPanel& P = Panel(C.Panel);
    Choose(P, "", C.Chosen);
    EXPECT_EQ(P.Output->Text(), QString::fromStdString(C.Shown)) << C.Chosen;
  }
  // Cancelling changes nothing.
  const TPanel& P = Panel("WavToMp3");
  const QString Before = P.Output->Text();
  P.Output->Button()->click();  // no answer queued: cancelled
  P.Source->Button()->click();
  EXPECT_EQ(P.Output->Text(), Before);
  EXPECT_EQ(P.Source->Text(), QString::fromStdString(Dir.Path("a.mp3")));
}

TEST_F(ConverterJobs, ChosenNamesReachTheComponents) {
  TMainForm& F = ShownForm();
  Choose(Panel("WavToMp3"), Dir.Path("w.wav"), Dir.Path("m"));
  EXPECT_EQ(F.WavToMp3_WaveIn->FileName(), Dir.Path("w.wav"));
  Choose(Panel("Mp3ToWav"), Dir.Path("m.mp3"), Dir.Path("w"));
  EXPECT_EQ(F.MP3ToWav->InputFile(), Dir.Path("m.mp3"));
  EXPECT_EQ(F.MP3ToWav->OutputFile(), Dir.Path("w.wav"));
  Choose(Panel("ApeToWav"), Dir.Path("a.ape"), Dir.Path("b.wav"));
  EXPECT_EQ(F.ApeToWav_ApeIn->FileName(), Dir.Path("a.ape"));
  EXPECT_EQ(F.ApeToWav_WavOut->FileName(), Dir.Path("b.wav"));
}

TEST_F(ConverterJobs, OutputHeldOpenByAnotherProcessIsNotTouched) {
  const std::string Wav = MakeWav("in.wav");
  const std::string Out = Dir.Path("held.flac");
  WriteFileBytes(Out, {'k', 'e', 'e', 'p'});
  ShownForm();
  const TPanel& P = Panel("WavToFlac");
  Choose(P, Wav, Out);
  {
    TFileHolder Holder(Out);
    ASSERT_TRUE(Holder.Opened());
    Dialogs->Messages.clear();
    P.Button->click();
    Settle();
    EXPECT_EQ(Dialogs->Messages,
              QStringList{QStringLiteral(
                  "Input/Output file locked by the other programme, please unlock it first!")});
    ExpectIdle(P);
    EXPECT_EQ(ReadFileBytes(Out), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  }
  // A held source is refused as well (MP3 to Ogg reads its names from the boxes).
  const TPanel& M = Panel("Mp3ToOgg");
  const std::string Mp3 = MakeGarbage("held.mp3");
  Choose(M, Mp3, Dir.Path("o.ogg"));
  TFileHolder Holder(Mp3);
  ASSERT_TRUE(Holder.Opened());
  Dialogs->Messages.clear();
  M.Button->click();
  Settle();
  EXPECT_EQ(Dialogs->Messages.size(), 1);
  ExpectIdle(M);
  EXPECT_FALSE(std::filesystem::exists(Dir.Path("o.ogg")));
}

TEST_F(ConverterJobs, ExistingOutputIsReplacedWithoutAskingAndTheJobRunsAgain) {
  if (!testing_support::HaveTool("flac")) GTEST_SKIP() << "flac is not installed";
  const std::string Wav = MakeWav("in.wav", 1.0);
  const std::string Out = Dir.Path("out.flac");
  WriteFileBytes(Out, std::vector<uint8_t>(300000, 0x55));
  ShownForm();
  const TPanel& P = Panel("WavToFlac");
  Choose(P, Wav, Out);
  for (int Round = 0; Round < 2; ++Round) {
    ASSERT_TRUE(ConvertAndWait(P)) << Round;
    EXPECT_TRUE(Dialogs->Messages.isEmpty())
        << Dialogs->Messages.join(QLatin1Char('\n')).toStdString();
    ExpectIdle(P);
    // The boxes keep the names, so "Convert it" works again at once.
    EXPECT_EQ(P.Source->Text(), QString::fromStdString(Wav));
    EXPECT_EQ(P.Output->Text(), QString::fromStdString(Out));
    const std::string Back = Dir.Path("back.wav");
    std::string Err;
    ASSERT_EQ(
        testing_support::Run("flac -s -d -f -o " + Quote(Back) + " " + Quote(Out), nullptr, &Err),
        0)
        << Err;
    EXPECT_EQ(ReadPcm16Wav(Back), ReadPcm16Wav(Wav)) << Round;
  }
}

TEST_F(ConverterJobs, SourceThatIsNotOfItsFormatFailsWithRuntimeErrorAndThePageComesBack) {
  ShownForm();
  const std::string Junk = MakeGarbage("junk.bin");
  for (const char* Name : {"WavToMp3", "OggToMp3", "WavToOgg", "OggToWav", "WavToFlac", "FlacToWav",
                           "WavToApe", "ApeToWav"}) {
    const TPanel& P = Panel(Name);
    // The source's extension is the one its dialog offers.
    const std::string In =
        Dir.Path(std::string(Name) + "_in") +
        QString::fromLatin1(P.SourceFilter).section(QLatin1Char('*'), 1).toStdString();
    std::filesystem::copy_file(Junk, In, std::filesystem::copy_options::overwrite_existing);
    const std::string Out = Dir.Path(std::string(Name) + "_out") + P.Extension;
    Choose(P, In, Out);
    Dialogs->Messages.clear();
    ASSERT_TRUE(ConvertAndWait(P)) << Name;
    ASSERT_EQ(Dialogs->Messages.size(), 1) << Name;
    EXPECT_TRUE(Dialogs->Messages[0].startsWith(QStringLiteral("Runtime error: "))) << Name;
    EXPECT_GT(Dialogs->Messages[0].size(), 15) << Name;  // the reason follows
    ExpectIdle(P);
  }
  // A FLAC file of a kind the reader does not take (3 channels) is named in
  // the message; it used to come out as an empty WAV file and no message.
  if (testing_support::HaveTool("flac") && testing_support::HaveTool("sox")) {
    const std::string Wav3 = Dir.Path("3ch.wav"), Flac3 = Dir.Path("3ch.flac");
    ASSERT_EQ(testing_support::Run("sox -n -r 8000 -c 3 -b 16 " + Quote(Wav3) +
                                   " synth 0.3 sine 300 && flac -s --channel-map=none " +
                                   Quote(Wav3) + " -o " + Quote(Flac3)),
              0);
    const TPanel& P = Panel("FlacToWav");
    Choose(P, Flac3, Dir.Path("3out.wav"));
    Dialogs->Messages.clear();
    ASSERT_TRUE(ConvertAndWait(P));
    ASSERT_EQ(Dialogs->Messages.size(), 1);
    EXPECT_EQ(Dialogs->Messages[0], QString::fromStdString("Runtime error: " + Flac3 +
                                                           ": not a valid or supported FLAC file"));
    EXPECT_FALSE(std::filesystem::exists(Dir.Path("3out.wav")));
    ExpectIdle(P);
  }
  // The pages still convert after the failures.
  if (testing_support::HaveTool("flac")) {
    const TPanel& P = Panel("WavToFlac");
    Choose(P, MakeWav("good.wav"), Dir.Path("good.flac"));
    Dialogs->Messages.clear();
    ASSERT_TRUE(ConvertAndWait(P));
    EXPECT_TRUE(Dialogs->Messages.isEmpty());
    EXPECT_EQ(testing_support::Run("flac -s -t " + Quote(Dir.Path("good.flac"))), 0);
    // A 24-bit file is taken and stays 24-bit.
    const std::string Wav24 = Dir.Path("24.wav");
    ASSERT_EQ(
        testing_support::Run("sox -n -r 8000 -c 2 -b 24 " + Quote(Wav24) + " synth 0.3 sine 300"),
        0);
    Choose(P, Wav24, Dir.Path("24.flac"));
    ASSERT_TRUE(ConvertAndWait(P));
    EXPECT_TRUE(Dialogs->Messages.isEmpty());
    std::string Bits;
    testing_support::Run("metaflac --show-bps " + Quote(Dir.Path("24.flac")), &Bits);
    EXPECT_EQ(Bits, "24\n");
  }
}

TEST_F(ConverterJobs, DecoderThatFindsNoFrameStillBringsThePageBack) {
  TMainForm& F = ShownForm();
  const std::string Junk = MakeGarbage("junk.mp3");
  // MP3 to WAV: nothing to say; no output is made (no header can be written
  // without a frame to take the format from).
  const TPanel& P = Panel("Mp3ToWav");
  Choose(P, Junk, Dir.Path("empty.wav"));
  ASSERT_TRUE(ConvertAndWait(P));
  EXPECT_TRUE(Dialogs->Messages.isEmpty());
  ExpectIdle(P);
  EXPECT_FALSE(std::filesystem::exists(Dir.Path("empty.wav")));

  // MP3 to Ogg: the second stage meets an empty image, fails, and says why;
  // the memory image is released and the page is idle.
  const TPanel& M = Panel("Mp3ToOgg");
  Choose(M, Junk, Dir.Path("empty.ogg"));
  ASSERT_TRUE(ConvertAndWait(M));
  ASSERT_EQ(Dialogs->Messages.size(), 1);
  EXPECT_TRUE(Dialogs->Messages[0].startsWith(QStringLiteral("Runtime error: ")));
  ExpectIdle(M);
  EXPECT_EQ(F.Mp3ToVob_WavStream, nullptr);
}

TEST_F(ConverterJobs, JobThatCannotStartShowsRuntimeErrorAndThePageComesBack) {
  TMainForm& F = ShownForm();
  const std::string Wav = MakeWav("in.wav");
  if (!testing_support::HaveTool("lame")) GTEST_SKIP() << "lame is not installed";
  const std::string Mp3 = Dir.Path("in.mp3");
  ASSERT_EQ(testing_support::Run("lame --quiet " + Quote(Wav) + " " + Quote(Mp3)), 0);
  const std::string Nowhere = Dir.Path("no such folder/out");
  // The decoder raises out of Run when its output cannot be created; the
  // sinks report it from their failure handler (for MP3 to Ogg, once the
  // decoding into memory is over). Every one ends idle with the reason.
  for (const char* Name :
       {"Mp3ToWav", "Mp3ToOgg", "WavToMp3", "WavToOgg", "WavToFlac", "WavToApe"}) {
    const TPanel& P = Panel(Name);
    const std::string In = P.SourceFilter[0] == 'M' ? Mp3 : Wav;
    Choose(P, In, Nowhere);
    Dialogs->Messages.clear();
    ASSERT_TRUE(ConvertAndWait(P)) << Name;
    ASSERT_EQ(Dialogs->Messages.size(), 1) << Name;
    const QString& M = Dialogs->Messages[0];
    EXPECT_TRUE(M.startsWith(QStringLiteral("Runtime error: "))) << Name;
    // The reason follows, naming the file.
    EXPECT_TRUE(M.contains(QStringLiteral("no such folder"))) << Name << ": " << M.toStdString();
    ExpectIdle(P);
  }
  EXPECT_FALSE(std::filesystem::exists(Dir.Path("no such folder")));
  EXPECT_EQ(F.Mp3ToVob_WavStream, nullptr);
}

namespace {

// A source whose reading fails, as a damaged disk's does.
class TUnreadableStream : public TMemoryStream {
 public:
  int64_t Read(void*, int64_t) override {
    throw EReadError("Cannot read from \"song.mp3\". Input/output error");
  }
};

// Files written by this process may grow to Bytes while the object lives;
// writes past it fail with "File too large", as on a full disk.
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(rlim_t Bytes) {
    getrlimit(RLIMIT_FSIZE, &FOld);
    FOldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit R{Bytes, FOld.rlim_max};
    setrlimit(RLIMIT_FSIZE, &R);
  }
  ~TFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &FOld);
    signal(SIGXFSZ, FOldHandler);
  }

 private:
  rlimit FOld{};
  sighandler_t FOldHandler = SIG_DFL;
};

}  // namespace

TEST_F(ConverterJobs, DecodingThatFailsPartWayShowsTheReasonAndStopsTheFlow) {
  if (!testing_support::HaveTool("lame")) GTEST_SKIP() << "lame is not installed";
  TMainForm& F = ShownForm();
  const std::string Wav = MakeWav("in.wav", 3.0);
  const std::string Mp3 = Dir.Path("in.mp3");
  ASSERT_EQ(testing_support::Run("lame --quiet -b 128 " + Quote(Wav) + " " + Quote(Mp3)), 0);

  // MP3 to WAV into a disk that fills up after 100 KB of the 520 KB.
  const TPanel& P = Panel("Mp3ToWav");
  Choose(P, Mp3, Dir.Path("full.wav"));
  Dialogs->Messages.clear();
  {
    TFileSizeLimit Limit(100000);
    ASSERT_TRUE(ConvertAndWait(P));
  }
  ASSERT_EQ(Dialogs->Messages.size(), 1);
  EXPECT_TRUE(Dialogs->Messages[0].startsWith(QStringLiteral("Runtime error: ")));
  EXPECT_TRUE(Dialogs->Messages[0].contains(QString::fromUtf8(std::strerror(EFBIG))))
      << Dialogs->Messages[0].toStdString();
  ExpectIdle(P);

  // MP3 to Ogg with a source that cannot be read: the reason is shown and
  // nothing is encoded.
  const TPanel& M = Panel("Mp3ToOgg");
  const std::string Ogg = Dir.Path("never.ogg");
  Choose(M, Mp3, Ogg);
  TUnreadableStream Unreadable;
  const std::vector<uint8_t> Bytes = ReadFileBytes(Mp3);
  Unreadable.WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
  Unreadable.SetPosition(0);
  F.MP3ToVob->SetInputStream(&Unreadable);
  Dialogs->Messages.clear();
  ASSERT_TRUE(ConvertAndWait(M));
  F.MP3ToVob->SetInputStream(nullptr);
  ASSERT_EQ(Dialogs->Messages.size(), 1);
  EXPECT_EQ(Dialogs->Messages[0],
            QStringLiteral("Runtime error: Cannot read from \"song.mp3\". Input/output error"));
  ExpectIdle(M);
  EXPECT_FALSE(std::filesystem::exists(Ogg));
  EXPECT_EQ(F.Mp3ToVob_WavStream, nullptr);

  // The same flow still converts a readable source.
  Dialogs->Messages.clear();
  ASSERT_TRUE(ConvertAndWait(M));
  EXPECT_TRUE(Dialogs->Messages.isEmpty())
      << Dialogs->Messages.join(QLatin1Char('\n')).toStdString();
  EXPECT_GT(std::filesystem::file_size(Ogg), 1000u);

  // Each run makes its own writer; the one before it goes, worker and all.
  ASSERT_NE(F.Mp3ToVob_VobOut, nullptr);
  TComponent* Owner = F.Mp3ToVob_VobOut->Owner();
  const int Components = Owner->ComponentCount();
  ASSERT_TRUE(ConvertAndWait(M));
  EXPECT_EQ(Owner->ComponentCount(), Components);
}

namespace {

// The names in a folder; none when it does not exist.
std::vector<std::string> FilesIn(const std::string& Folder) {
  std::vector<std::string> Names;
  std::error_code Ec;
  for (const auto& E : std::filesystem::directory_iterator(Folder, Ec))
    Names.push_back(E.path().filename().string());
  return Names;
}

}  // namespace

TEST_F(ConverterJobs, Mp3ToOggImagePastTheLimitGoesToACacheFileThatIsAlwaysRemoved) {
  if (!testing_support::HaveTool("lame") || !testing_support::HaveTool("ffmpeg"))
    GTEST_SKIP() << "lame and ffmpeg are needed";
  TMainForm& F = ShownForm();
  const std::string Wav = MakeWav("in.wav", 3.0);
  const std::string Mp3 = Dir.Path("in.mp3");
  ASSERT_EQ(testing_support::Run("lame --quiet -b 128 " + Quote(Wav) + " " + Quote(Mp3)), 0);
  const std::string Cache = Dir.Path("cache");
  const TPanel& M = Panel("Mp3ToOgg");
  auto Decoded = [&](const std::string& Ogg) {
    std::string Out;
    EXPECT_EQ(0, testing_support::Run("ffmpeg -v error -i " + Quote(Ogg) + " -f s16le -", &Out));
    return Out;
  };

  // The 530 KB image of 3 seconds stays in memory under the usual limit:
  // nothing is made in the cache folder.
  EXPECT_EQ(F.Mp3ToVobImageLimit, 64ll << 20);
  Choose(M, Mp3, Dir.Path("memory.ogg"));
  ASSERT_TRUE(ConvertAndWait(M));
  EXPECT_TRUE(Dialogs->Messages.isEmpty());
  EXPECT_FALSE(std::filesystem::exists(Cache));

  // Past a limit of 64 KB it goes to a file there (the folder is made for
  // it), which is gone once the run is over; the Ogg file is the same sound.
  F.Mp3ToVobImageLimit = 64 << 10;
  Choose(M, Mp3, Dir.Path("file.ogg"));
  ASSERT_TRUE(ConvertAndWait(M));
  EXPECT_TRUE(Dialogs->Messages.isEmpty());
  ExpectIdle(M);
  EXPECT_TRUE(std::filesystem::is_directory(Cache));
  EXPECT_EQ(FilesIn(Cache), std::vector<std::string>{});
  const std::string Sound = Decoded(Dir.Path("memory.ogg"));
  EXPECT_GT(Sound.size(), 500000u);
  EXPECT_EQ(Decoded(Dir.Path("file.ogg")), Sound);

  // A second stage that fails (no folder for the output) removes it too.
  std::filesystem::remove_all(Cache);
  Choose(M, Mp3, Dir.Path("no such folder/out.ogg"));
  ASSERT_TRUE(ConvertAndWait(M));
  ASSERT_EQ(Dialogs->Messages.size(), 1);
  EXPECT_TRUE(std::filesystem::is_directory(Cache));
  EXPECT_EQ(FilesIn(Cache), std::vector<std::string>{});
  EXPECT_EQ(F.Mp3ToVob_WavStream, nullptr);
}

TEST_F(ConverterJobs, Mp3ToOggImageFileGoesWhenTheWindowClosesMidRun) {
  if (!testing_support::HaveTool("lame")) GTEST_SKIP() << "lame is needed";
  TMainForm& F = ShownForm();
  // 20 minutes: one 4-second MP3's frames 300 times over.
  const std::string Wav = MakeWav("tone.wav", 4.0);
  ASSERT_EQ(
      testing_support::Run("lame --quiet -b 32 " + Quote(Wav) + " " + Quote(Dir.Path("t.mp3"))), 0);
  const auto One = ReadFileBytes(Dir.Path("t.mp3"));
  std::vector<uint8_t> Long;
  for (int I = 0; I < 300; ++I) Long.insert(Long.end(), One.begin(), One.end());
  WriteFileBytes(Dir.Path("long.mp3"), Long);
  const std::string Cache = Dir.Path("cache");
  F.Mp3ToVobImageLimit = 64 << 10;
  const TPanel& M = Panel("Mp3ToOgg");
  Choose(M, Dir.Path("long.mp3"), Dir.Path("long.ogg"));
  M.Button->click();
  // The image file appears as soon as decoding begins.
  QElapsedTimer T;
  T.start();
  while (FilesIn(Cache).empty() && T.elapsed() < 30000)
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  ASSERT_EQ(FilesIn(Cache).size(), 1u);
  Window->close();
  Window.reset();
  EXPECT_EQ(FilesIn(Cache), std::vector<std::string>{});
}
