// File lock tests against files other processes hold, starting a program on
// a file, the folder dialog, saved-name extensions and the dialog filters.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "app/AudioFns.h"
#include "app/DialogProvider.h"
#include "app/FileLocks.h"
#include "tests/app/support/AppTestSupport.h"

using testing_support::TempDir;

namespace {

void WriteText(const std::string& Name, const std::string& Text) { std::ofstream(Name) << Text; }

std::string ReadText(const std::string& Name) {
  std::ifstream In(Name);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

// Another process that holds File open (read-only) until the object goes;
// with Lock it also takes an exclusive flock on it.
class THolder {
 public:
  THolder(const std::string& File, bool Lock) {
    int P[2];
    if (::pipe(P) != 0) throw std::runtime_error("pipe");
    FPid = ::fork();
    if (FPid == 0) {
      // Only async-signal-safe calls between fork and _exit.
      ::close(P[0]);
      const int Fd = ::open(File.c_str(), O_RDONLY);
      if (Fd < 0 || (Lock && ::flock(Fd, LOCK_EX) != 0)) ::_exit(1);
      const char Ready = 1;
      if (::write(P[1], &Ready, 1) != 1) ::_exit(1);
      for (;;) ::pause();
    }
    ::close(P[1]);
    char Ready = 0;
    FReady = ::read(P[0], &Ready, 1) == 1;
    ::close(P[0]);
  }
  ~THolder() { Release(); }
  bool Ready() const { return FReady; }
  void Release() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
      FPid = -1;
    }
  }

 private:
  pid_t FPid = -1;
  bool FReady = false;
};

bool WaitForFile(const std::string& Name) {
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < Until) {
    struct stat St {};
    if (::stat(Name.c_str(), &St) == 0 && St.st_size > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it finish writing
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

TEST(FileLocks, MissingAndFreeFilesAreNotLocked) {
  TempDir D;
  EXPECT_FALSE(IsFileLocked(D.Path("missing.wav")));
  EXPECT_FALSE(IsFileLocked(D.Path("no/such/folder/x.wav")));
  WriteText(D.Path("free.wav"), "data");
  EXPECT_FALSE(IsFileLocked(D.Path("free.wav")));
  EXPECT_EQ(ReadText(D.Path("free.wav")), "data");  // the test leaves the file alone
  EXPECT_TRUE(IsInputFileAndOutputFileUnLocked(D.Path("missing.wav"), D.Path("free.wav")));
  EXPECT_TRUE(IsInputFileAndOutputFileUnLocked(D.Path("missing.wav"), D.Path("missing2.wav")));
}

TEST(FileLocks, ReadOnlyFilesAndFoldersCountAsLocked) {
  TempDir D;
  WriteText(D.Path("ro.wav"), "data");
  ASSERT_EQ(::chmod(D.Path("ro.wav").c_str(), 0444), 0);
  EXPECT_TRUE(IsFileLocked(D.Path("ro.wav")));
  EXPECT_TRUE(IsFileLocked(D.Dir()));
  EXPECT_FALSE(IsInputFileAndOutputFileUnLocked(D.Path("ro.wav"), D.Path("out.wav")));
  EXPECT_FALSE(IsInputFileAndOutputFileUnLocked(D.Path("in.wav"), D.Path("ro.wav")));
}

TEST(FileLocks, FileAnotherProcessReadsIsLockedUntilItLetsGo) {
  TempDir D;
  const std::string F = D.Path("held.wav");
  WriteText(F, "data");
  THolder H(F, false);
  ASSERT_TRUE(H.Ready());
  EXPECT_TRUE(IsFileLocked(F));
  EXPECT_TRUE(FileOpenByOtherProcess(F));
  EXPECT_FALSE(IsInputFileAndOutputFileUnLocked(F, D.Path("out.wav")));
  EXPECT_FALSE(IsInputFileAndOutputFileUnLocked(D.Path("in.wav"), F));
  H.Release();
  EXPECT_FALSE(IsFileLocked(F));
  EXPECT_FALSE(FileOpenByOtherProcess(F));
}

TEST(FileLocks, FileUnderAnotherProcesssLockIsLocked) {
  TempDir D;
  const std::string F = D.Path("locked.wav");
  WriteText(F, "data");
  THolder H(F, true);
  ASSERT_TRUE(H.Ready());
  EXPECT_TRUE(IsFileLocked(F));
}

TEST(FileLocks, FileThisProgramHasOpenIsLocked) {
  TempDir D;
  const std::string F = D.Path("mine.wav");
  WriteText(F, "data");
  const int Fd = ::open(F.c_str(), O_RDONLY);
  ASSERT_GE(Fd, 0);
  EXPECT_TRUE(IsFileLocked(F));
  EXPECT_FALSE(FileOpenByOtherProcess(F));
  ::close(Fd);
  EXPECT_FALSE(IsFileLocked(F));
}

TEST(LaunchWithFile, PassesAFileNameWithBlanksAndShellCharactersAsOneArgument) {
  TempDir D;
  const std::string Script = D.Path("player");
  const std::string Report = D.Path("report.txt");
  WriteText(Script, "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$1\" > \"$0.tmp\" && mv \"$0.tmp\" " +
                        testing_support::Quote(Report) + "\n");
  ASSERT_EQ(::chmod(Script.c_str(), 0755), 0);
  const std::string Name = D.Path("my song; $(touch pwned) `id` 'q' \"dq\" & *.wav");
  EXPECT_GT(LaunchWithFile(Script, Name), 31);
  ASSERT_TRUE(WaitForFile(Report));
  EXPECT_EQ(ReadText(Report), "1\n" + Name + "\n");
  EXPECT_FALSE(std::ifstream(D.Path("pwned")).good());
  EXPECT_FALSE(std::ifstream("pwned").good());
}

TEST(LaunchWithFile, ReportsMissingAndUnstartablePrograms) {
  TempDir D;
  EXPECT_EQ(LaunchWithFile(D.Path("no-such-player"), "x.wav"), 2);
  EXPECT_EQ(LaunchWithFile("", "x.wav"), 2);
  WriteText(D.Path("not-executable"), "#!/bin/sh\n");
  EXPECT_EQ(LaunchWithFile(D.Path("not-executable"), "x.wav"), 3);
  EXPECT_GT(LaunchWithFile("true", "x.wav"), 31);  // a bare name is looked for on the PATH
}

TEST(SelectFolder, StartsFromAnExistingFolderOnlyAndKeepsItOnCancel) {
  TempDir D;
  auto Fake = std::make_unique<app_testing::TFakeDialogs>();
  app_testing::TFakeDialogs& Dialogs = *Fake;
  TAppDataModule Data(std::move(Fake));

  QString Folder = QString::fromStdString(D.Dir());
  Dialogs.FolderAnswers.push_back(QStringLiteral("/chosen"));
  EXPECT_TRUE(SelectFolder(QStringLiteral("Save to"), QString(), Folder));
  EXPECT_EQ(Folder, QStringLiteral("/chosen"));
  ASSERT_EQ(Dialogs.FolderAsked.size(), 1u);
  EXPECT_EQ(Dialogs.FolderAsked[0].Caption, QStringLiteral("Save to"));
  EXPECT_EQ(Dialogs.FolderAsked[0].Folder, QString::fromStdString(D.Dir()));

  Folder = QString::fromStdString(D.Path("gone"));
  Dialogs.FolderAnswers.push_back(std::nullopt);
  EXPECT_FALSE(SelectFolder(QStringLiteral("Save to"), QStringLiteral("/root"), Folder));
  EXPECT_TRUE(Folder.isEmpty());
  ASSERT_EQ(Dialogs.FolderAsked.size(), 2u);
  EXPECT_TRUE(Dialogs.FolderAsked[1].Folder.isEmpty());
  EXPECT_EQ(Dialogs.FolderAsked[1].Root, QStringLiteral("/root"));

  Folder = QString::fromStdString(D.Dir());
  EXPECT_FALSE(SelectFolder(QStringLiteral("Save to"), QString(), Folder));  // cancelled
  EXPECT_EQ(Folder, QString::fromStdString(D.Dir()));
}

TEST(FileNames, SavedNamesGetTheirExtensionUnlessTheyHaveIt) {
  const std::pair<const char*, const char*> Cases[] = {
      {"song", "song.wav"},
      {"SONG.WAV", "SONG.WAV"},
      {"x.mp3", "x.mp3.wav"},
      {"x.wav.mp3", "x.wav.mp3.wav"},
      {"x.", "x..wav"},
      // A name that is only the extension already has it.
      {".wav", ".wav"},
      {"/music/.WAV", "/music/.WAV"},
      // A point in a folder's name is not the file's extension.
      {"/music/my.band/take", "/music/my.band/take.wav"},
      {"/music/my.wav/take", "/music/my.wav/take.wav"},
  };
  for (const auto& [Chosen, Saved] : Cases)
    EXPECT_EQ(WithExtension(QString::fromUtf8(Chosen), QStringLiteral(".wav")),
              QString::fromUtf8(Saved))
        << Chosen;
  EXPECT_EQ(WithExtension(QStringLiteral("/music/take.Mp3"), QStringLiteral(".mp3")),
            QStringLiteral("/music/take.Mp3"));
}

TEST(Dialogs, FiltersBecomeQtNameFiltersAndAnswersComeBack) {
  EXPECT_EQ(QtNameFilters(QStringLiteral("Wave file|*.wav|Mp3 file|*.mp3")),
            QStringList({"Wave file (*.wav)", "Mp3 file (*.mp3)"}));
  EXPECT_EQ(QtNameFilters(QStringLiteral("Lyric file|*.txt;*.lrc")),
            QStringList({"Lyric file (*.txt *.lrc)"}));
  EXPECT_EQ(QtNameFilters(QStringLiteral("Broken|")), QStringList());

  auto Fake = std::make_unique<app_testing::TFakeDialogs>();
  app_testing::TFakeDialogs& Dialogs = *Fake;
  TAppDataModule Data(std::move(Fake));
  TFileDialog Save(TFileDialog::fdSave, nullptr);
  Save.Filter = QStringLiteral("Wave file|*.wav|Mp3 file|*.mp3");
  Save.FileName = QString();
  TFileDialogRequest Answer;
  Answer.FileName = QStringLiteral("/tmp/take");
  Answer.FilterIndex = 2;
  Dialogs.SaveAnswers.push_back(Answer);
  ASSERT_TRUE(Save.Execute());
  EXPECT_EQ(Save.FileName, QStringLiteral("/tmp/take"));
  EXPECT_EQ(Save.FilterIndex, 2);
  ASSERT_EQ(Dialogs.SaveAsked.size(), 1u);
  EXPECT_EQ(Dialogs.SaveAsked[0].Filter, Save.Filter);
  EXPECT_FALSE(Save.Execute());  // cancelled: the last choice stays
  EXPECT_EQ(Save.FileName, QStringLiteral("/tmp/take"));

  Data.SkinMessage(QStringLiteral("Please select wav and mp3 file first!"));
  EXPECT_EQ(Dialogs.Messages, QStringList({"Please select wav and mp3 file first!"}));
}
