// The tags of an audio file (titles, names, numbers and the front cover), read
// from and written to every type through TagLib: ID3v2 in MP3 files, Vorbis
// comments in Ogg Vorbis and FLAC files (with FLAC's PICTURE blocks and
// Vorbis's METADATA_BLOCK_PICTURE), APEv2 in APE files, and the RIFF INFO
// list in WAV files (which hold no cover here).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct TAudioTags {
  // By the names of the common tag vocabulary: "TITLE", "ARTIST", "ALBUM",
  // "ALBUMARTIST", "DATE", "TRACKNUMBER", "DISCNUMBER", "GENRE", "COMMENT",
  // in that order, only those with a value.
  std::vector<std::pair<std::string, std::string>> Fields;
  std::vector<uint8_t> Cover;  // the front cover's image file, or empty
  std::string CoverMime;       // "image/jpeg", "image/png", ...

  bool Empty() const { return Fields.empty() && Cover.empty(); }
  // The value of Name, or "".
  std::string Get(const std::string& Name) const;
  void Set(const std::string& Name, const std::string& Value);
};

// The field names carried, in order.
const std::vector<std::string>& TagFieldNames();

// The tags of File; empty when it has none or cannot be read as its
// extension says.
TAudioTags ReadTags(const std::string& File);

// Gives File the fields and cover of Tags that it does not have yet: what the
// writer already put there (the options of the job) stays. An MP3 file gets
// an ID3v2.4 tag, and an ID3 version 1 tag it has is left as it is. A WAV
// file of 64-bit sizes is left alone. "" when done (or nothing was to do),
// otherwise why not.
std::string AddMissingTags(const std::string& File, const TAudioTags& Tags);
