// The window's Ogg Vorbis components (their header cannot meet the MP3
// encoder's, so they have a test file of their own): start values and the
// saved quality.
#include <gtest/gtest.h>

#include <fstream>

#include "app/IniSettings.h"
#include "codecs/ACS_Vorbis.h"
#include "tests/app/support/AppTestSupport.h"

using app_testing::WindowTest;

TEST_F(WindowTest, VorbisWriterStartsWithItsPageValuesAndTakesTheSavedQuality) {
  TMainForm& F = ShownForm();
  TVorbisOut* Out = F.WavToOgg_OggOut;
  EXPECT_FLOAT_EQ(Out->Compression(), 0.2f);
  EXPECT_EQ(Out->DesiredNominalBitrate(), brAutoSelect);
  EXPECT_EQ(Out->DesiredMaximumBitrate(), brAutoSelect);
  EXPECT_EQ(Out->MinimumBitrate(), brAutoSelect);
  EXPECT_EQ(Out->Serial(), 0);
  EXPECT_EQ(Out->Input(), F.WavToOgg_WaveIn);
  EXPECT_EQ(F.OggToWav_WavOut->Input(), static_cast<TACSInput*>(F.OggToWav_OggIn));

  ApplyOggSettings(Out);
  EXPECT_FLOAT_EQ(Out->Compression(), 0.5f);  // no file: the default
  std::ofstream(SettingsFile()) << "[Ogg]\nCompression=0,8\n";
  ApplyOggSettings(Out);
  EXPECT_FLOAT_EQ(Out->Compression(), 0.8f);
}
