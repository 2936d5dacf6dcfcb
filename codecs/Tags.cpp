#include "codecs/Tags.h"

#include <taglib/apefile.h>
#include <taglib/apeitem.h>
#include <taglib/apetag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tpropertymap.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "codecs/CodecRegistry.h"

namespace {

// The APEv2 item of a front cover: a file name, a NUL, the image.
const char* const kApeCover = "COVER ART (FRONT)";

std::string Utf8(const TagLib::String& S) { return S.to8Bit(true); }
TagLib::String FromUtf8(const std::string& S) { return TagLib::String(S, TagLib::String::UTF8); }
TagLib::ByteVector Bytes(const std::vector<uint8_t>& V) {
  return TagLib::ByteVector(reinterpret_cast<const char*>(V.data()),
                            static_cast<unsigned int>(V.size()));
}
std::vector<uint8_t> Vector(const TagLib::ByteVector& B) {
  return std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(B.data()),
                              reinterpret_cast<const uint8_t*>(B.data()) + B.size());
}

// What an image file's first bytes say it is ("" when neither).
std::string SniffMime(const TagLib::ByteVector& B) {
  if (B.size() >= 3 && static_cast<uint8_t>(B[0]) == 0xFF && static_cast<uint8_t>(B[1]) == 0xD8)
    return "image/jpeg";
  if (B.startsWith(TagLib::ByteVector("\x89PNG", 4))) return "image/png";
  return "";
}

void FieldsFrom(const TagLib::PropertyMap& P, TAudioTags& T) {
  for (const std::string& Name : TagFieldNames()) {
    const auto It = P.find(TagLib::String(Name));
    if (It == P.end() || It->second.isEmpty()) continue;
    const std::string Value = Utf8(It->second.toString("; "));
    if (!Value.empty()) T.Fields.emplace_back(Name, Value);
  }
}

// Fields of T that P lacks go into P; true when any did.
bool AddMissing(TagLib::PropertyMap& P, const TAudioTags& T) {
  bool Changed = false;
  for (const auto& [Name, Value] : T.Fields) {
    const auto It = P.find(TagLib::String(Name));
    if (It != P.end() && !It->second.isEmpty() && !It->second.front().isEmpty()) continue;
    P.replace(TagLib::String(Name), TagLib::StringList(FromUtf8(Value)));
    Changed = true;
  }
  return Changed;
}

// The front cover among FLAC pictures (the first picture when none says so).
void CoverFrom(const TagLib::List<TagLib::FLAC::Picture*>& Pictures, TAudioTags& T) {
  const TagLib::FLAC::Picture* Best = nullptr;
  for (const TagLib::FLAC::Picture* P : Pictures) {
    if (P->type() == TagLib::FLAC::Picture::FrontCover) {
      Best = P;
      break;
    }
    if (!Best) Best = P;
  }
  if (!Best || Best->data().isEmpty()) return;
  T.Cover = Vector(Best->data());
  T.CoverMime = Utf8(Best->mimeType());
  if (T.CoverMime.empty()) T.CoverMime = SniffMime(Best->data());
}

TagLib::FLAC::Picture* FlacCover(const TAudioTags& T) {
  auto* P = new TagLib::FLAC::Picture;
  P->setType(TagLib::FLAC::Picture::FrontCover);
  P->setMimeType(FromUtf8(T.CoverMime));
  P->setData(Bytes(T.Cover));
  return P;
}

bool IsRf64(const std::string& File) {
  char Magic[4] = {};
  std::FILE* F = std::fopen(File.c_str(), "rb");
  if (!F) return false;
  const bool Read = std::fread(Magic, 1, 4, F) == 4;
  std::fclose(F);
  return Read && (std::memcmp(Magic, "RF64", 4) == 0 || std::memcmp(Magic, "BW64", 4) == 0);
}

}  // namespace

std::string TAudioTags::Get(const std::string& Name) const {
  for (const auto& [N, V] : Fields)
    if (N == Name) return V;
  return "";
}

void TAudioTags::Set(const std::string& Name, const std::string& Value) {
  for (auto& [N, V] : Fields)
    if (N == Name) {
      V = Value;
      return;
    }
  Fields.emplace_back(Name, Value);
}

const std::vector<std::string>& TagFieldNames() {
  static const std::vector<std::string> Names = {"TITLE",       "ARTIST", "ALBUM",
                                                 "ALBUMARTIST", "DATE",   "TRACKNUMBER",
                                                 "DISCNUMBER",  "GENRE",  "COMMENT"};
  return Names;
}

TAudioTags ReadTags(const std::string& File) {
  TAudioTags T;
  const std::string Ext = LowerExtension(File);
  const char* Name = File.c_str();
  if (Ext == ".mp3") {
    TagLib::MPEG::File F(Name, false);
    if (!F.isValid()) return T;
    FieldsFrom(F.properties(), T);
    if (TagLib::ID3v2::Tag* V2 = F.hasID3v2Tag() ? F.ID3v2Tag() : nullptr) {
      const TagLib::ID3v2::AttachedPictureFrame* Best = nullptr;
      for (TagLib::ID3v2::Frame* Frame : V2->frameList("APIC")) {
        auto* Pic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(Frame);
        if (!Pic) continue;
        if (Pic->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover) {
          Best = Pic;
          break;
        }
        if (!Best) Best = Pic;
      }
      if (Best && !Best->picture().isEmpty()) {
        T.Cover = Vector(Best->picture());
        T.CoverMime = Utf8(Best->mimeType());
        if (T.CoverMime.empty()) T.CoverMime = SniffMime(Best->picture());
      }
    }
  } else if (Ext == ".flac") {
    TagLib::FLAC::File F(Name, false);
    if (!F.isValid()) return T;
    FieldsFrom(F.properties(), T);
    CoverFrom(F.pictureList(), T);
  } else if (Ext == ".ogg") {
    TagLib::Ogg::Vorbis::File F(Name, false);
    if (!F.isValid()) return T;
    FieldsFrom(F.properties(), T);
    if (F.tag()) CoverFrom(F.tag()->pictureList(), T);
  } else if (Ext == ".ape") {
    TagLib::APE::File F(Name, false);
    if (!F.isValid()) return T;
    FieldsFrom(F.properties(), T);
    if (TagLib::APE::Tag* Ape = F.hasAPETag() ? F.APETag() : nullptr) {
      const auto It = Ape->itemListMap().find(kApeCover);
      if (It != Ape->itemListMap().end()) {
        const TagLib::ByteVector Value = It->second.binaryData();
        const int Nul = Value.find('\0');
        if (Nul >= 0 && static_cast<unsigned int>(Nul) + 1 < Value.size()) {
          const TagLib::ByteVector Image = Value.mid(static_cast<unsigned int>(Nul) + 1);
          T.CoverMime = SniffMime(Image);
          if (!T.CoverMime.empty()) T.Cover = Vector(Image);
        }
      }
    }
  } else if (Ext == ".wav") {
    if (IsRf64(File)) return T;
    TagLib::RIFF::WAV::File F(Name, false);
    if (!F.isValid()) return T;
    FieldsFrom(F.properties(), T);
  }
  return T;
}

std::string AddMissingTags(const std::string& File, const TAudioTags& Tags) {
  if (Tags.Empty()) return "";
  const std::string Ext = LowerExtension(File);
  const char* Name = File.c_str();
  const bool Cover = !Tags.Cover.empty() && !Tags.CoverMime.empty();
  const std::string Failed = File + ": the tags could not be written";
  if (Ext == ".mp3") {
    TagLib::MPEG::File F(Name, false);
    if (!F.isValid()) return Failed;
    // What the encoder wrote (its ID3 version 1 tag) counts as there.
    TagLib::PropertyMap P = F.properties();
    AddMissing(P, Tags);
    TagLib::ID3v2::Tag* V2 = F.ID3v2Tag(true);
    V2->setProperties(P);
    if (Cover && V2->frameList("APIC").isEmpty()) {
      auto* Pic = new TagLib::ID3v2::AttachedPictureFrame;
      Pic->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
      Pic->setMimeType(FromUtf8(Tags.CoverMime));
      Pic->setPicture(Bytes(Tags.Cover));
      V2->addFrame(Pic);
    }
    return F.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, TagLib::ID3v2::v4,
                  TagLib::File::DoNotDuplicate)
               ? ""
               : Failed;
  }
  if (Ext == ".flac") {
    TagLib::FLAC::File F(Name, false);
    if (!F.isValid()) return Failed;
    TagLib::PropertyMap P = F.properties();
    if (AddMissing(P, Tags)) F.setProperties(P);
    if (Cover && F.pictureList().isEmpty()) F.addPicture(FlacCover(Tags));
    return F.save() ? "" : Failed;
  }
  if (Ext == ".ogg") {
    TagLib::Ogg::Vorbis::File F(Name, false);
    if (!F.isValid() || !F.tag()) return Failed;
    TagLib::PropertyMap P = F.properties();
    if (AddMissing(P, Tags)) F.setProperties(P);
    if (Cover && F.tag()->pictureList().isEmpty()) F.tag()->addPicture(FlacCover(Tags));
    return F.save() ? "" : Failed;
  }
  if (Ext == ".ape") {
    TagLib::APE::File F(Name, false);
    if (!F.isValid()) return Failed;
    TagLib::PropertyMap P = F.properties();
    TagLib::APE::Tag* Ape = F.APETag(true);
    if (AddMissing(P, Tags)) Ape->setProperties(P);
    if (Cover && !Ape->itemListMap().contains(kApeCover)) {
      const std::string Named = Tags.CoverMime == "image/png" ? "cover.png" : "cover.jpg";
      TagLib::ByteVector Value(Named.c_str(), static_cast<unsigned int>(Named.size() + 1));
      Value.append(Bytes(Tags.Cover));
      Ape->setItem(kApeCover, TagLib::APE::Item(kApeCover, Value, true));
    }
    return F.save() ? "" : Failed;
  }
  if (Ext == ".wav") {
    // The RIFF INFO list; a file of 64-bit sizes is beyond the library.
    if (IsRf64(File)) return "";
    TagLib::RIFF::WAV::File F(Name, false);
    if (!F.isValid()) return Failed;
    TagLib::PropertyMap P = F.properties();
    if (!AddMissing(P, Tags)) return "";
    F.InfoTag()->setProperties(P);
    return F.save(TagLib::RIFF::WAV::File::Info, TagLib::File::StripNone) ? "" : Failed;
  }
  return "";
}
