// The CdRipper page's rows from a table of contents and the track titles of
// CDDB disc records.
#include "app/RipUtility.h"

#include <gtest/gtest.h>

namespace {

struct TTrack {
  int Start;
  uint8_t Control;
};

// A table whose first track is First, with these tracks and the lead-out.
TableOfContents Toc(int First, const std::vector<TTrack>& Tracks, int LeadOut) {
  TableOfContents T{};
  T.FirstTrack = static_cast<uint8_t>(First);
  T.LastTrack = static_cast<uint8_t>(First + Tracks.size() - 1);
  auto Put = [&T](size_t K, int Start, uint8_t AdrControl, uint8_t Number) {
    TocEntry& E = T.Entries[K];
    E.AdrControl = AdrControl;
    E.TrackNumber = Number;
    E.Address[0] = static_cast<uint8_t>(Start >> 24);
    E.Address[1] = static_cast<uint8_t>(Start >> 16);
    E.Address[2] = static_cast<uint8_t>(Start >> 8);
    E.Address[3] = static_cast<uint8_t>(Start);
  };
  for (size_t K = 0; K < Tracks.size(); ++K)
    Put(K, Tracks[K].Start, static_cast<uint8_t>(0x10 | Tracks[K].Control),
        static_cast<uint8_t>(First + K));
  Put(Tracks.size(), LeadOut, 0x10, kLeadOutTrack);
  return T;
}

TEST(CdTrackRows, OnlyTheDataBitMakesADataTrack) {
  // Pre-emphasis, copy permission and four channels in any mix: audio.
  for (uint8_t C : {0x0, 0x1, 0x2, 0x3, 0x8, 0x9, 0xa, 0xb})
    EXPECT_FALSE(IsDataTrack(static_cast<uint8_t>(0x10 | C))) << int(C);
  for (uint8_t C : {0x4, 0x5, 0x6, 0x7, 0xc})
    EXPECT_TRUE(IsDataTrack(static_cast<uint8_t>(0x10 | C))) << int(C);
  const auto Rows = CdTrackRows(Toc(1, {{0, 0x01}, {100, 0x03}, {200, 0x08}, {300, 0x06}}, 400));
  EXPECT_EQ(Rows[0].Type, "Audio Track");
  EXPECT_EQ(Rows[1].Type, "Audio Track");
  EXPECT_EQ(Rows[2].Type, "Audio Track");
  EXPECT_EQ(Rows[3].Type, "Data Track");
}

TEST(CdTrackRows, EnhancedCdLastAudioTrackEndsBeforeTheSessionGap) {
  const auto Rows = CdTrackRows(Toc(1, {{0, 0}, {400, 0}, {400 + 600 + 11400, 0x04}}, 12700));
  ASSERT_EQ(Rows.size(), 3u);
  EXPECT_EQ(Rows[0].Frames, 400);
  EXPECT_EQ(Rows[1].Frames, 600);
  EXPECT_EQ(Rows[1].FramesText, "600");
  EXPECT_EQ(Rows[2].Frames, 300);
  // A data track that is not the last, or comes first, is no second session.
  const auto Mixed = CdTrackRows(Toc(1, {{0, 0x04}, {12000, 0}}, 13000));
  EXPECT_EQ(Mixed[0].Frames, 12000);
  EXPECT_EQ(Mixed[1].Frames, 1000);
  const auto Middle = CdTrackRows(Toc(1, {{0, 0}, {12000, 0x04}, {13000, 0}}, 14000));
  EXPECT_EQ(Middle[0].Frames, 12000);
}

TEST(CdTrackRows, RowsCountFromTheFirstTrack) {
  const auto Rows = CdTrackRows(Toc(3, {{0, 0}, {100, 0}}, 250));
  ASSERT_EQ(Rows.size(), 2u);
  EXPECT_EQ(Rows[0].Number, "03");
  EXPECT_EQ(Rows[0].TrackNumber, 3);
  EXPECT_EQ(Rows[1].Name, "Track-04  - Audio Track");
  EXPECT_EQ(Rows[1].Frames, 150);
  // The texts of the disc images' rows are checked on the page; the widths:
  EXPECT_EQ(CdPlayTime(4500 * 61 + 75 * 7 + 74), "61:07,74");
  EXPECT_EQ(CdSizeText(450000), " 1009.37 M");
  // A table that is not sane gives no rows rather than rows read past it.
  TableOfContents Bad{};
  Bad.FirstTrack = Bad.LastTrack = 255;
  EXPECT_TRUE(CdTrackRows(Bad).empty());
}

TEST(CddbTrackTitle, TheKeyIsAnchoredAtTheLineStart) {
  const std::string Record =
      "# xmcd\rDISCID=01020304\rDTITLE=Band / TITLE0=not a track\r"
      "EXTD=see TTITLE0=nor this\rTTITLE0=First\rTTITLE1=Second\rTTITLE10=Eleventh\r"
      "TTITLE11=Twelfth\rEXTT0=TTITLE1=again not\rPLAYORDER=\r";
  EXPECT_EQ(CddbTrackTitle(1, 1, Record), "First");
  EXPECT_EQ(CddbTrackTitle(2, 1, Record), "Second");
  EXPECT_EQ(CddbTrackTitle(11, 1, Record), "Eleventh");
  EXPECT_EQ(CddbTrackTitle(12, 1, Record), "Twelfth");
  EXPECT_EQ(CddbTrackTitle(3, 1, Record), "") << "no line for it";
}

TEST(CddbTrackTitle, RepeatedKeysGoOnAndAnyLineEndEndsALine) {
  const std::string Record =
      "TTITLE0=A very long ti\r\nTTITLE0=tle in two lines\nTTITLE1=Plain\r"
      "TTITLE2=\rTTITLE3=Last";
  EXPECT_EQ(CddbTrackTitle(1, 1, Record), "A very long title in two lines");
  EXPECT_EQ(CddbTrackTitle(2, 1, Record), "Plain");
  EXPECT_EQ(CddbTrackTitle(3, 1, Record), "");
  EXPECT_EQ(CddbTrackTitle(4, 1, Record), "Last") << "the text's end ends the last line";
}

TEST(CddbTrackTitle, TracksCountFromTheDiscsFirstTrack) {
  const std::string Record = "TTITLE0=Fifth track\rTTITLE1=Sixth track\rTTITLE4=Not this\r";
  EXPECT_EQ(CddbTrackTitle(5, 5, Record), "Fifth track");
  EXPECT_EQ(CddbTrackTitle(6, 5, Record), "Sixth track");
}

}  // namespace
