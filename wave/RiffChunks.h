// The bytes of a RIFF WAVE file, for the reader, the writer and the MP3
// decoder: little-endian fields, chunk names, the walk over the chunks at the
// start of a file, and the canonical 44-byte PCM header.
#pragma once

#include <cstdint>

#include "platform/Streams.h"

// ---------------------------------------------------------------- fields

inline uint16_t GetLe16(const uint8_t* P) { return static_cast<uint16_t>(P[0] | P[1] << 8); }

inline uint32_t GetLe32(const uint8_t* P) {
  return static_cast<uint32_t>(P[0]) | static_cast<uint32_t>(P[1]) << 8 |
         static_cast<uint32_t>(P[2]) << 16 | static_cast<uint32_t>(P[3]) << 24;
}

// A 24-bit PCM sample (three little-endian bytes), sign-extended.
inline int32_t GetLe24Signed(const uint8_t* P) {
  return static_cast<int32_t>(static_cast<uint32_t>(P[0]) << 8 | static_cast<uint32_t>(P[1]) << 16 |
                              static_cast<uint32_t>(P[2]) << 24) >>
         8;
}

inline void PutLe24(uint8_t* P, uint32_t V) {
  P[0] = static_cast<uint8_t>(V);
  P[1] = static_cast<uint8_t>(V >> 8);
  P[2] = static_cast<uint8_t>(V >> 16);
}

inline void PutLe16(uint8_t* P, uint32_t V) {
  P[0] = static_cast<uint8_t>(V);
  P[1] = static_cast<uint8_t>(V >> 8);
}

inline void PutLe32(uint8_t* P, uint32_t V) {
  for (int I = 0; I < 4; ++I) P[I] = static_cast<uint8_t>(V >> (8 * I));
}

// A size field holds 32 bits: a negative value is written as 0, anything
// larger than the field as the largest value.
uint32_t SizeField(int64_t V);

// Writes a 32-bit field at Offset of S (a header patched once the sizes are
// known). Raises what the stream raises.
void WriteLe32At(TStream& S, int64_t Offset, uint32_t V);

// ---------------------------------------------------------------- chunks

// Chunk names match when each byte is equal or differs by exactly 32, which
// makes letter case irrelevant ("data", "DATA"); it also lets a space match a
// zero byte.
bool SameChunkName(const uint8_t* P, const char* Name);

// ---------------------------------------------------------------- 64-bit forms

// A 32-bit size field holds at most this; a larger file is written in the
// 64-bit form ("RF64", or "BW64" as some writers name it): its size fields
// then hold all ones and a "ds64" chunk, the first after "WAVE", holds the
// sizes in 64 bits.
constexpr int64_t MaxSizeField = 0xFFFFFFFFll;

// The "ds64" chunk as this program writes it: header and a 28-byte body of
// RIFF size, "data" size, sample count (64 bits each) and an empty table.
constexpr int Ds64ChunkSize = 36;

struct TDs64 {
  uint64_t RiffSize = 0;
  uint64_t DataSize = 0;
  uint64_t SampleCount = 0;  // frames (the count a "fact" chunk would hold)
};

// Writes the whole chunk (Ds64ChunkSize bytes) at P.
void PutDs64Chunk(uint8_t* P, const TDs64& D);
// Writes the three sizes into a "ds64" body at P (24 bytes).
void PutDs64Sizes(uint8_t* P, const TDs64& D);
// Reads the sizes of a "ds64" body of Size bytes; false when it is too short
// to hold them.
bool GetDs64(const uint8_t* Body, uint32_t Size, TDs64& D);

// The "data" chunk of a file must lie near its start: the reader and the
// writer look at no chunk header beyond the first this many bytes.
constexpr int64_t WaveHeaderScanLimit = 8192;

// One chunk header met by a TChunkWalk. Offsets count from the start of the
// bytes the walk was given.
struct TChunk {
  const uint8_t* Name = nullptr;  // four bytes
  uint32_t Size = 0;              // the body size as stored
  int64_t At = 0;                 // the header
  int64_t Body = 0;               // the body, At + 8
};

// A walk over the RIFF WAVE form in the first bytes of a stream.
//
// FindForm looks for "RIFF" (or "RF64" or "BW64"), and then for "WAVE" from 8 bytes after it, one
// byte at a time, so that junk in front of the form is passed over. Find then
// walks the chunks by their stored sizes: the next chunk starts right after
// the body, with no pad byte after an odd size. A chunk header is looked at
// only while its 8 bytes lie in the given bytes and it starts at or before
// LastStart; a name is looked for by FindForm only there too. Nothing past
// the given bytes is ever read.
class TChunkWalk {
 public:
  TChunkWalk(const uint8_t* Head, int64_t Len, int64_t LastStart)
      : FHead(Head), FLen(Len), FLastStart(LastStart) {}

  // False when "RIFF" or "WAVE" is not there. Only the first form name
  // counts, whichever of the three it is.
  bool FindForm();
  // The form found is a 64-bit one: its sizes lie in a "ds64" chunk.
  bool Wide() const { return FWide; }
  // Where "RIFF" was found (its size field follows it).
  int64_t RiffAt() const { return FRiff; }
  // Just past "WAVE": where the first chunk starts; -1 before FindForm.
  int64_t FormEnd() const { return FForm; }
  // Moves to the next chunk named Name, passing over the others and over the
  // chunk the previous Find stopped at; false when the walk runs out first.
  bool Find(const char* Name, TChunk& C);

 private:
  int64_t Slide(int64_t From, const char* const* Names, int Count) const;

  const uint8_t* FHead;
  int64_t FLen;
  int64_t FLastStart;
  int64_t FRiff = -1;
  int64_t FForm = -1;
  int64_t FNext = -1;  // the next chunk header to look at; -1 before FindForm
  bool FWide = false;
};

// ---------------------------------------------------------------- PCM header

// The canonical PCM header: "RIFF", "WAVE", a 16-byte "fmt " chunk and the
// "data" chunk header, with the sample data right after it.
constexpr int PcmHeaderSize = 44;
constexpr int64_t PcmRiffSizeAt = 4;   // the RIFF size: data bytes + 36
constexpr int64_t PcmDataSizeAt = 40;  // the "data" size

// Fills Header (PcmHeaderSize bytes) for DataBytes of PCM; a negative
// DataBytes stands for an unknown length, and both size fields then hold all
// ones until the writer knows better.
void PutPcmHeader(uint8_t* Header, int Channels, int Rate, int Bits, int64_t DataBytes);

// ---------------------------------------------------------------- writing

// Where the size fields of a WAVE file being written lie, and the change to
// the 64-bit form when it outgrows them. Offsets count from the start of the
// stream. The writer keeps the samples at the end of the stream and its
// position there while it writes.
class TWaveSizes {
 public:
  int64_t RiffSizeOffset = PcmRiffSizeAt;  // the RIFF size field
  int64_t FormEnd = 12;                    // just past "WAVE"
  int64_t Ds64Offset = -1;                 // the "ds64" chunk; -1 = a plain file
  int64_t JunkOffset = -1;                 // a "JUNK" chunk with room to become one
  int64_t DataSizeOffset = PcmDataSizeAt;  // the "data" size field
  int64_t DataStart = PcmHeaderSize;       // the first sample
  int64_t FactOffset = -1;                 // the sample count of a "fact" chunk; -1 = none
  // Moving the samples up failed halfway: the file cannot be made true.
  bool HeaderLost = false;

  // The fields of a canonical PCM header (PutPcmHeader) written at Offset.
  static TWaveSizes PcmAt(int64_t Offset);

  // Turns the file into the 64-bit form when Bytes more (written at the
  // stream's position, its end), or a count of Frames, would take it past
  // Limit, the most a 32-bit field is taken to hold. A "JUNK" chunk right
  // after "WAVE" only changes its name; otherwise everything after "WAVE"
  // moves up to make room for a "ds64" chunk. Returns how far the samples
  // moved (0 or Ds64ChunkSize); the stream is left at the end of the samples.
  // Raises what the stream raises.
  int64_t MakeRoom(TStream& S, int64_t Bytes, int64_t Frames, int64_t Limit);

  // Writes the sizes of a file of Length bytes holding Frames frames. A
  // 64-bit form whose sizes stayed within Limit (room kept for a length that
  // never came) becomes a plain file again, the "ds64" chunk a "JUNK" one.
  // A plain file states sizes past its fields as all ones.
  void Patch(TStream& S, int64_t Length, int64_t Frames, int64_t Limit);
};
