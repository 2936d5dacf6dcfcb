// Settings.ini: defaults, the Settings page filled and saved, hand-edited
// files, failures, and the settings reaching the engine components (up to a
// real MP3 encoding at the saved bit rate).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QComboBox>
#include <QPushButton>
#include <atomic>
#include <chrono>
#include <clocale>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/IniFile.h"
#include "app/IniSettings.h"
#include "tests/app/support/AppTestSupport.h"

using app_testing::WindowTest;
using testing_support::TempDir;

namespace {

std::string ReadText(const std::string& Name) {
  std::ifstream In(Name);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

void WriteText(const std::string& Name, const std::string& Text) { std::ofstream(Name) << Text; }

QStringList PageChoices(TMainForm& F) {
  QStringList R;
  for (QComboBox* C :
       {F.WaveSampleRate, F.WaveBitsPerSample, F.WaveChannels, F.Mp3Quality, F.Mp3SampleRate,
        F.Mp3Channels, F.Mp3BitRate, F.OggCompression, F.OggNominalBitrate, F.FlacMidSideStereo,
        F.FlacLooseMidSideStereo, F.ApeCompression})
    R << C->currentText();
  return R;
}

void Choose(QComboBox* C, const char* Text) {
  const int I = C->findText(QLatin1String(Text));
  ASSERT_GE(I, 0) << Text;
  C->setCurrentIndex(I);
}

}  // namespace

TEST(IniSettings, ReadsDefaultsWhileClosedOrWithoutFile) {
  CloseSettings();
  EXPECT_EQ(ReadWaveSampleRate(), 44100);
  EXPECT_EQ(ReadApeCompression(), 2000);
  TempDir D;
  OpenSettings(D.Path("Settings.ini"));
  EXPECT_EQ(ReadWaveSampleRate(), 44100);
  EXPECT_EQ(ReadWaveBitsPerSample(), 16);
  EXPECT_EQ(ReadWaveChannels(), 2);
  EXPECT_EQ(ReadMp3Quality(), 5);
  EXPECT_EQ(ReadMp3SampleRate(), 48);
  EXPECT_EQ(ReadMp3Channels(), 0);
  EXPECT_EQ(ReadMp3BitRate(), 128);
  EXPECT_DOUBLE_EQ(ReadOggCompression(), 0.5);
  EXPECT_EQ(ReadOggNominalBitrate(), 128);
  EXPECT_TRUE(ReadFlacMidSideStereo());
  EXPECT_FALSE(ReadFlacLooseMidSideStereo());
  EXPECT_EQ(ReadCddbServer(), "gnudb.gnudb.org");
  EXPECT_EQ(ReadCddbEmail(), "anonymous@localhost");
  CloseSettings();
}

TEST(IniSettings, WritesGoToDiskAtOnceKeepingTheRestOfTheFile) {
  TempDir D;
  const std::string F = D.Path("Settings.ini");
  WriteText(F, "; kept comment\n[Other]\nkey=value\n[wave]\nsamplerate=22050\n");
  OpenSettings(F);
  EXPECT_EQ(ReadWaveSampleRate(), 22050);  // names compare without regard to case
  WriteWaveChannels(1);
  WriteOggCompression(0.7);
  WriteCddbServer("127.0.0.1:8880");
  const std::string T = ReadText(F);
  EXPECT_NE(T.find("; kept comment"), std::string::npos);
  EXPECT_NE(T.find("key=value"), std::string::npos);
  EXPECT_NE(T.find("samplerate=22050"), std::string::npos);
  EXPECT_NE(T.find("Channels=1"), std::string::npos);
  EXPECT_NE(T.find("Compression=0.7"), std::string::npos);
  EXPECT_EQ(TIniFile(F).Read("Cddb", "Server").value_or(""), "127.0.0.1:8880");
  EXPECT_EQ(ReadCddbServer(), "127.0.0.1:8880");
  // A change made by hand while the file is open is what the next read sees.
  WriteText(F, "[Wave]\nChannels=2\n");
  EXPECT_EQ(ReadWaveChannels(), 2);
  CloseSettings();
}

TEST(IniSettings, NumbersAndDecimalsConvertWithoutTheLocale) {
  int I = 0;
  double X = 0;
  EXPECT_TRUE(ParseSettingInt(" 48000 ", I));
  EXPECT_EQ(I, 48000);
  EXPECT_TRUE(ParseSettingInt("-1", I));
  EXPECT_EQ(I, -1);
  EXPECT_FALSE(ParseSettingInt("", I));
  EXPECT_FALSE(ParseSettingInt("12abc", I));
  EXPECT_FALSE(ParseSettingInt("99999999999", I));
  EXPECT_TRUE(ParseSettingDecimal("0.3", X));
  EXPECT_DOUBLE_EQ(X, 0.3);
  EXPECT_TRUE(ParseSettingDecimal("0,6", X));
  EXPECT_DOUBLE_EQ(X, 0.6);
  EXPECT_FALSE(ParseSettingDecimal("0,6,1", X));
  EXPECT_FALSE(ParseSettingDecimal("nan", X));
  EXPECT_EQ(DecimalText(0.5), "0.5");
  EXPECT_EQ(DecimalText(0.1), "0.1");
  // Where the C library's separator is a comma, the file still gets a point.
  const std::string Old = std::setlocale(LC_NUMERIC, nullptr);
  bool Comma = false;
  for (const char* L : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8"})
    if (std::setlocale(LC_NUMERIC, L)) {
      Comma = true;
      break;
    }
  if (Comma) {
    EXPECT_EQ(DecimalText(0.3), "0.3");
    EXPECT_TRUE(ParseSettingDecimal("0.3", X));
    EXPECT_DOUBLE_EQ(X, 0.3);
  }
  std::setlocale(LC_NUMERIC, Old.c_str());
}

TEST(IniSettings, Mp3BitRateFromKbpsCoversTheSavedRates) {
  using enum TMP3BitRate;
  const std::pair<int, TMP3BitRate> Table[] = {{64, br64},   {96, br96},   {128, br128},
                                               {144, br144}, {160, br160}, {192, br192},
                                               {224, br224}, {256, br256}, {320, br320}};
  for (const auto& [Kbps, Rate] : Table) EXPECT_EQ(Mp3BitRateFromKbps(Kbps), Rate) << Kbps;
  EXPECT_EQ(Mp3BitRateFromKbps(333), br128);
}

TEST_F(WindowTest, SettingsPageShowsDefaultsWithoutAFile) {
  TMainForm& F = Form();
  const QStringList Defaults = {"44100", "16",  "Stereo", "5",    "48",    "Stereo",
                                "128",   "0.5", "128",    "True", "False", "NORMAL"};
  EXPECT_EQ(PageChoices(F), Defaults);  // before the file is read
  F.show();
  Settle();
  EXPECT_EQ(PageChoices(F), Defaults);
  // A job gets the defaults too: quality 0.5, not the writer's own 0.2.
  ApplyOggSettings(F.WavToOgg_OggOut);
  EXPECT_FLOAT_EQ(F.WavToOgg_OggOut->Compression(), 0.5f);
}

TEST_F(WindowTest, SavedSettingsComeBackInTheNextWindow) {
  {
    TMainForm& F = ShownForm();
    Choose(F.WaveSampleRate, "22050");
    Choose(F.WaveBitsPerSample, "8");
    Choose(F.WaveChannels, "Mono");
    Choose(F.Mp3Quality, "2");
    Choose(F.Mp3SampleRate, "32");
    Choose(F.Mp3Channels, "Joint_Stereo");
    Choose(F.Mp3BitRate, "320");
    Choose(F.OggCompression, "0.3");
    Choose(F.OggNominalBitrate, "499");
    Choose(F.FlacMidSideStereo, "False");
    Choose(F.FlacLooseMidSideStereo, "True");
    Choose(F.ApeCompression, "EXTRA_HIGH");
    F.SaveSetting->click();
    EXPECT_TRUE(Dialogs->Messages.isEmpty());
    F.close();
    Window.reset();
  }
  TIniFile Ini(SettingsFile());
  EXPECT_EQ(Ini.Read("Wave", "Channels").value_or(""), "1");
  EXPECT_EQ(Ini.Read("Ape", "Compression").value_or(""), "4000");
  EXPECT_EQ(Ini.Read("Mp3", "Channels").value_or(""), "1");
  EXPECT_EQ(Ini.Read("Ogg", "Compression").value_or(""), "0.3");
  EXPECT_EQ(Ini.Read("Flac", "MidSideStereo").value_or(""), "0");
  EXPECT_EQ(Ini.Read("Flac", "LooseMidSideStereo").value_or(""), "1");
  TMainForm& G = ShownForm();
  EXPECT_EQ(PageChoices(G), QStringList({"22050", "8", "Mono", "2", "32", "Joint_Stereo", "320",
                                         "0.3", "499", "False", "True", "EXTRA_HIGH"}));
}

TEST_F(WindowTest, HandEditedFileShowsWhatMatchesAndJobsStillGetItsValues) {
  WriteText(SettingsFile(),
            "[Wave]\nSampleRate=48000\nChannels=1\n[Mp3]\nBitRate=fast\nChannels=7\n"
            "[Ogg]\nCompression=0,3\n[Flac]\nMidSideStereo=0\nLooseMidSideStereo=1\n"
            "[Ape]\nCompression=2500\n");
  TMainForm& F = ShownForm();
  EXPECT_EQ(F.WaveSampleRate->currentIndex(), -1);  // 48000 is not offered
  EXPECT_EQ(F.WaveChannels->currentText(), QStringLiteral("Mono"));
  EXPECT_EQ(F.Mp3BitRate->currentText(), QStringLiteral("128"));  // not a number: the default
  EXPECT_EQ(F.Mp3Channels->currentIndex(), -1);
  EXPECT_EQ(F.OggCompression->currentText(), QStringLiteral("0.3"));
  EXPECT_EQ(F.FlacMidSideStereo->currentText(), QStringLiteral("False"));
  EXPECT_EQ(F.FlacLooseMidSideStereo->currentText(), QStringLiteral("True"));
  EXPECT_EQ(F.ApeCompression->currentText(), QStringLiteral("NORMAL"));  // 2.5 rounds to 2

  // The capture source records at 48000 Hz all the same.
  ApplyWaveSettings(F.Recorder_AudioIn);
  EXPECT_EQ(F.Recorder_AudioIn->InSampleRate(), 48000);
  EXPECT_EQ(F.Recorder_AudioIn->InChannels(), 1);
  EXPECT_EQ(F.Recorder_AudioIn->InBitsPerSample(), 16);
  // Loose mid-side turns mid-side on as well.
  ApplyFlacSettings(F.WavToFlac_FlacOut);
  EXPECT_TRUE(F.WavToFlac_FlacOut->EnableMidSideStereo());
  EXPECT_TRUE(F.WavToFlac_FlacOut->EnableLooseMidSideStereo());
  ApplyApeSettings(F.WavToApe_ApeOut);
  EXPECT_EQ(F.WavToApe_ApeOut->CompressionLevel(), 2000);
  // A decimal comma is read as a point.
  ApplyOggSettings(F.WavToOgg_OggOut);
  EXPECT_FLOAT_EQ(F.WavToOgg_OggOut->Compression(), 0.3f);

  WriteText(SettingsFile(), "[Ape]\nCompression=3500\n");
  F.FillSettingsPage();
  EXPECT_EQ(F.ApeCompression->currentText(), QStringLiteral("EXTRA_HIGH"));  // 3.5 rounds to 4
  ApplyApeSettings(F.WavToApe_ApeOut);
  EXPECT_EQ(F.WavToApe_ApeOut->CompressionLevel(), 2000);
  WriteText(SettingsFile(), "[Ape]\nCompression=4000\n");
  ApplyApeSettings(F.WavToApe_ApeOut);
  EXPECT_EQ(F.WavToApe_ApeOut->CompressionLevel(), 4000);
}

TEST_F(WindowTest, SaveStopsAtAChoiceWithoutSelection) {
  TMainForm& F = ShownForm();
  F.WaveChannels->setCurrentIndex(-1);  // saved by item number: counts as -1
  F.Mp3BitRate->setCurrentIndex(-1);    // saved by text: does not convert
  F.SaveSetting->click();
  ASSERT_EQ(Dialogs->Messages.size(), 1);
  EXPECT_EQ(Dialogs->Messages[0], QStringLiteral("'' is not a valid integer value"));
  TIniFile Ini(SettingsFile());
  EXPECT_EQ(Ini.Read("Wave", "Channels").value_or(""), "0");
  EXPECT_EQ(Ini.Read("Mp3", "SampleRate").value_or(""), "48");  // the step before
  EXPECT_FALSE(Ini.Read("Mp3", "BitRate").has_value());
  EXPECT_FALSE(Ini.Read("Ogg", "Compression").has_value());
  EXPECT_FALSE(Ini.Read("Ape", "Compression").has_value());
}

TEST_F(WindowTest, SaveIntoAReadOnlyFileShowsTheErrorAndChangesNothing) {
  WriteText(SettingsFile(), "[Wave]\nSampleRate=11025\n");
  ASSERT_EQ(::chmod(SettingsFile().c_str(), 0444), 0);
  TMainForm& F = ShownForm();
  EXPECT_EQ(F.WaveSampleRate->currentText(), QStringLiteral("11025"));
  Choose(F.WaveSampleRate, "44100");
  F.SaveSetting->click();
  ASSERT_EQ(Dialogs->Messages.size(), 1);
  EXPECT_TRUE(Dialogs->Messages[0].contains(QString::fromStdString(SettingsFile())))
      << Dialogs->Messages[0].toStdString();
  EXPECT_EQ(ReadText(SettingsFile()), "[Wave]\nSampleRate=11025\n");
}

TEST_F(WindowTest, UnsavedChoicesDoNotReachTheNextJob) {
  TMainForm& F = ShownForm();
  Choose(F.Mp3BitRate, "320");
  F.SaveSetting->click();
  ApplyMp3Settings(F.WavToMp3_MP3Out);
  EXPECT_EQ(F.WavToMp3_MP3Out->BitRate(), TMP3BitRate::br320);
  Choose(F.Mp3BitRate, "64");  // not saved
  ApplyMp3Settings(F.WavToMp3_MP3Out);
  EXPECT_EQ(F.WavToMp3_MP3Out->BitRate(), TMP3BitRate::br320);
}

// The saved bit rate reaches a real encoding: the window's WAV-to-MP3 chain
// writes a file that ffprobe reads as 320 kbit/s (and 128 without a file).
TEST_F(WindowTest, SavedBitRateReachesARealEncoding) {
  if (!testing_support::HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
  TMainForm& F = ShownForm();
  const auto Pcm = testing_support::MakeSignal16(44100 * 2, 2, 44100);
  testing_support::WritePcmWav(Dir.Path("in.wav"), Pcm.data(), Pcm.size() * 2, 2, 44100, 16);
  auto Encode = [&](const std::string& Out) {
    std::atomic<bool> Done{false};
    std::string Error;
    F.WavToMp3_MP3Out->OnDone = [&](TComponent*) { Done = true; };
    F.WavToMp3_MP3Out->OnThreadException = [&](TComponent*, const std::exception& E) {
      Error = E.what();
      Done = true;
    };
    F.WavToMp3_WaveIn->SetFileName(Dir.Path("in.wav"));
    F.WavToMp3_MP3Out->SetFileName(Dir.Path(Out));
    ApplyMp3Settings(F.WavToMp3_MP3Out);
    F.WavToMp3_MP3Out->Run();
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!Done && std::chrono::steady_clock::now() < Until)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(Done);
    EXPECT_EQ(Error, "");
    std::string Rate;
    testing_support::Run(
        "ffprobe -v error -select_streams a:0 -show_entries stream=bit_rate "
        "-of default=nw=1:nk=1 " +
            testing_support::Quote(Dir.Path(Out)),
        &Rate);
    return Rate.substr(0, Rate.find('\n'));
  };
  EXPECT_EQ(Encode("default.mp3"), "128000");
  Choose(F.Mp3BitRate, "320");
  F.SaveSetting->click();
  EXPECT_EQ(Encode("saved.mp3"), "320000");
}
