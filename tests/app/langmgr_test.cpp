// Language files: finding and choosing them, the window taking its texts and
// font from one, and the formatting of translated texts.
#include "app/LangMgr.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/app/support/AppTestSupport.h"
#include "tests/app/support/ConverterPanels.h"

using app_testing::NamedChild;
using app_testing::WindowTest;
using testing_support::TempDir;

namespace {

void WriteText(const std::string& Name, const std::string& Text) { std::ofstream(Name) << Text; }

// A program folder with a program "velmora" and a choice file beside it.
struct TProgramFolder {
  TempDir Dir;
  std::string Program() const { return Dir.Path("velmora"); }
  std::string Choice() const { return Dir.Path("LangManager.ini"); }
  TProgramFolder() {
    WriteText(Program(),
              "\x7f"
              "ELF not really");
  }
};

// Sets an environment variable for the life of the object.
struct TEnv {
  std::string Name;
  std::string Old;
  bool Had;
  TEnv(const char* N, const char* V) : Name(N), Had(::getenv(N) != nullptr) {
    if (Had) Old = ::getenv(N);
    if (V)
      ::setenv(N, V, 1);
    else
      ::unsetenv(N);
  }
  ~TEnv() {
    if (Had)
      ::setenv(Name.c_str(), Old.c_str(), 1);
    else
      ::unsetenv(Name.c_str());
  }
};

}  // namespace

TEST(LangMgr, LocaleNamesGiveThreeLetterCodes) {
  EXPECT_EQ(LanguageCodeOfLocale("en_US.UTF-8"), "ENU");
  EXPECT_EQ(LanguageCodeOfLocale("en_GB"), "ENG");
  EXPECT_EQ(LanguageCodeOfLocale("zh_CN.UTF-8"), "CHS");
  EXPECT_EQ(LanguageCodeOfLocale("zh_TW.Big5"), "CHT");
  EXPECT_EQ(LanguageCodeOfLocale("de_AT.UTF-8@euro"), "DEA");
  EXPECT_EQ(LanguageCodeOfLocale("pt_BR"), "PTB");
  EXPECT_EQ(LanguageCodeOfLocale("fr_SN"), "FRA");  // unlisted territory: the language's code
  EXPECT_EQ(LanguageCodeOfLocale("C"), "ENU");
  EXPECT_EQ(LanguageCodeOfLocale("POSIX"), "ENU");
  EXPECT_EQ(LanguageCodeOfLocale("C.UTF-8"), "ENU");
  EXPECT_EQ(LanguageCodeOfLocale(""), "ENU");
  EXPECT_EQ(LanguageCodeOfLocale("xx_YY"), "ENU");
}

TEST(LangMgr, CurrentCodeTakesLcAllThenLcMessagesThenLang) {
  TEnv A("LC_ALL", "zh_TW.UTF-8"), M("LC_MESSAGES", "ja_JP.UTF-8"), L("LANG", "ko_KR.UTF-8");
  EXPECT_EQ(CurrentLanguageCode(), "CHT");
  ::unsetenv("LC_ALL");
  EXPECT_EQ(CurrentLanguageCode(), "JPN");
  ::setenv("LC_MESSAGES", "", 1);
  EXPECT_EQ(CurrentLanguageCode(), "KOR");
}

TEST(LangMgr, ChoiceFileFollowsXdgConfigHome) {
  TEnv X("XDG_CONFIG_HOME", "/somewhere/config");
  EXPECT_EQ(LanguageChoiceFile(), "/somewhere/config/Brisklane/LangManager.ini");
}

TEST(LangMgr, ListsOnlyProgramFilesWithGeneralAndTakesTheChosenExtension) {
  TProgramFolder P;
  WriteText(P.Dir.Path("velmora.chs"), "[General]\nLanguage=Chinese\n");
  WriteText(P.Dir.Path("velmora.enu"), "[general]\nFontSize=9\n");
  WriteText(P.Dir.Path("velmora.txt"), "[TMainForm]\nCaption=x\n");  // no General section
  WriteText(P.Dir.Path("other.deu"), "[General]\nLanguage=Deutsch\n");
  WriteText(P.Choice(), "[LangManager]\nvelmora=.CHS\n");
  TLangMgr M(P.Program(), P.Choice(), "ENU");
  ASSERT_EQ(M.Items().size(), 2u);
  EXPECT_EQ(M.WantedExtension(), ".CHS");
  EXPECT_EQ(M.CurrentLanguageFile(), P.Dir.Path("velmora.chs"));
  for (const TLangItem& I : M.Items()) {
    if (I.FileName == P.Dir.Path("velmora.chs")) {
      EXPECT_EQ(I.Name, "Chinese");
    } else {
      EXPECT_EQ(I.FileName, P.Dir.Path("velmora.enu"));
      EXPECT_EQ(I.Name, "<Unknown>");
    }
  }
}

TEST(LangMgr, WithoutAChoiceTheLocaleDecides) {
  TProgramFolder P;
  WriteText(P.Dir.Path("velmora.chs"), "[General]\n");
  WriteText(P.Dir.Path("velmora.ENU"), "[General]\n");
  {
    TLangMgr M(P.Program(), P.Choice(), "ENU");  // no choice file at all
    EXPECT_EQ(M.CurrentLanguageFile(), P.Dir.Path("velmora.ENU"));
  }
  WriteText(P.Choice(), "[LangManager]\nvelmora=\nother=.chs\n");  // empty value
  {
    TLangMgr M(P.Program(), P.Choice(), "ENU");
    EXPECT_EQ(M.CurrentLanguageFile(), P.Dir.Path("velmora.ENU"));
  }
  {
    TLangMgr M(P.Program(), P.Choice(), "DEU");  // nothing matches
    EXPECT_EQ(M.CurrentIndex(), -1);
    EXPECT_EQ(M.CurrentLanguageFile(), "");
  }
}

TEST(LangMgr, FreeingWhileAWindowIsRegisteredRaises) {
  TProgramFolder P;
  struct TForm : ILangForm {
    void LoadLanguage() override {}
    std::string Translate(const std::string&, const std::string& D) override { return D; }
    std::string TranslateFmt(const std::string&, const std::string& D,
                             const std::vector<TFmtArg>&) override {
      return D;
    }
  } Form;
  auto* M = new TLangMgr(P.Program(), P.Choice(), "ENU");
  M->RegisterForm(&Form);
  M->RegisterForm(&Form);
  EXPECT_EQ(M->RegisteredCount(), 1);
  try {
    TLangMgr::Free(M);
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& E) {
    EXPECT_STREQ(E.what(), "unsafe free of Language Manager!");
  }
  ASSERT_NE(M, nullptr);
  M->UnregisterForm(&Form);
  TLangMgr::Free(M);
  EXPECT_EQ(M, nullptr);
}

TEST(LangMgr, FormatTextFormatsLikePrintfAndRefusesMismatches) {
  std::string Out;
  ASSERT_TRUE(FormatText("%d:%.2d %s %5.2f%%", {7LL, 5LL, std::string("left"), 2.5}, Out));
  EXPECT_EQ(Out, "7:05 left  2.50%");
  ASSERT_TRUE(FormatText("%x", {255LL, 1LL}, Out));  // extra arguments are ignored
  EXPECT_EQ(Out, "ff");
  Out = "unchanged";
  EXPECT_FALSE(FormatText("%d %d", {1LL}, Out));
  EXPECT_FALSE(FormatText("%d", {std::string("one")}, Out));
  EXPECT_FALSE(FormatText("%s", {1LL}, Out));
  EXPECT_FALSE(FormatText("%n", {1LL}, Out));
  EXPECT_FALSE(FormatText("%", {}, Out));
  EXPECT_EQ(Out, "unchanged");
}

class LanguageWindowTest : public WindowTest {
 protected:
  TProgramFolder P;
  std::unique_ptr<TLangMgr> Manager;

  void UseLanguage(const std::string& Text) {
    WriteText(P.Dir.Path("velmora.tst"), Text);
    WriteText(P.Choice(), "[LangManager]\nvelmora=.tst\n");
    Manager = std::make_unique<TLangMgr>(P.Program(), P.Choice(), "ENU");
    Languages = Manager.get();
  }
  ~LanguageWindowTest() override {
    if (Window) Window->close();
    Window.reset();
  }
};

TEST_F(LanguageWindowTest, LanguageFileRenamesTitleCaptionsAndHintsButNotDashes) {
  UseLanguage(
      "[General]\nLanguage=Test\nFontName=Velmora Test Sans\nFontSize=13\n"
      "[TMainForm]\nCaption=Velmora (test)\nMp32Wav_Btn.Caption=Go\n"
      "Mp32Wav_Btn.Hint=Starts the conversion\nSeCustomTabSheet6.Caption=Mixing\n"
      "Panel1.Caption=MP3 in, WAV out\nAlbum.Text=Unknown album\nRecord_Btn.Caption=Rec\n"
      "StereoMixVolumeBar.Hint=Level of the card's own mix\nNoSuchControl.Caption=x\n");
  TMainForm& F = Form();
  EXPECT_EQ(Manager->RegisteredCount(), 1);
  EXPECT_EQ(F.windowTitle(), QStringLiteral("Velmora (test)"));
  EXPECT_EQ(NamedChild<QPushButton>(F, "Mp32Wav_Btn")->text(), QStringLiteral("Go"));
  EXPECT_EQ(NamedChild<QPushButton>(F, "Mp32Wav_Btn")->toolTip(),
            QStringLiteral("Starts the conversion"));
  EXPECT_EQ(F.PageControl->tabText(5), QStringLiteral("Mixing"));
  EXPECT_EQ(F.findChild<QGroupBox*>(QStringLiteral("Panel1"))->title(),
            QStringLiteral("MP3 in, WAV out"));
  EXPECT_EQ(F.Album->text(), QStringLiteral("Unknown album"));
  EXPECT_EQ(F.StereoMixVolumeBar->toolTip(), QStringLiteral("Level of the card's own mix"));
  EXPECT_EQ(NamedChild<QPushButton>(F, "Wav2Mp3_Btn")->text(),
            QStringLiteral("Con&vert it"));  // no key: unchanged
  EXPECT_EQ(F.font().family(), QStringLiteral("Velmora Test Sans"));
  EXPECT_EQ(F.font().pointSize(), 13);
  EXPECT_EQ(F.Translate("Mp32Wav_Btn.Caption", "x"), "Go");
  EXPECT_EQ(F.Translate("Missing", "fallback"), "fallback");

  // A text that reads "-" is never replaced.
  F.Record_Btn->setText(QStringLiteral("-"));
  F.LoadLanguage();
  EXPECT_EQ(F.Record_Btn->text(), QStringLiteral("-"));
  EXPECT_EQ(NamedChild<QPushButton>(F, "Mp32Wav_Btn")->text(), QStringLiteral("Go"));

  Window.reset();
  EXPECT_EQ(Manager->RegisteredCount(), 0);
}

TEST_F(LanguageWindowTest, TranslateFmtFallsBackToTheUnformattedText) {
  UseLanguage("[General]\n[TMainForm]\nTracks=%d tracks on %s\nBroken=%d of %d\n");
  TMainForm& F = Form();
  EXPECT_EQ(F.TranslateFmt("Tracks", "", {12LL, std::string("disc")}), "12 tracks on disc");
  EXPECT_EQ(F.TranslateFmt("Broken", "", {1LL}), "%d of %d");
  EXPECT_EQ(F.TranslateFmt("Missing", "Total tracks: %d", {3LL}), "Total tracks: 3");
}

TEST_F(WindowTest, WithoutLanguageFileTheWindowKeepsItsTexts) {
  TMainForm& F = Form();
  EXPECT_EQ(F.Translate("Caption", "default"), "default");
  EXPECT_EQ(F.windowTitle(), QStringLiteral("Velmora v1.2"));
}
