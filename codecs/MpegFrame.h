// MPEG audio frame headers read straight from the bytes, without decoding:
// what the file information probe and the decoder's check for an encoder
// information frame need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct TMpegFrameHeader {
  int Version = 0;         // 10 = MPEG-1, 20 = MPEG-2, 25 = MPEG-2.5
  int Layer = 0;           // 1, 2 or 3
  int BitRate = 0;         // bit/s; 0 = free format
  int SampleRate = 0;      // Hz
  int Channels = 0;        // 1 or 2
  bool Protected = false;  // a 16-bit CRC follows the header
  bool Padding = false;
  int FrameBytes = 0;       // whole frame with header; 0 for free format
  int SamplesPerFrame = 0;  // per channel
};

// Reads the four header bytes at P; false when they are not a usable header
// (no sync, a reserved version, layer, bit rate or sample rate).
bool ParseMpegFrameHeader(const uint8_t* P, TMpegFrameHeader& H);

// Bytes taken by an ID3 version 2 tag at the start of P (header, body and
// footer), 0 when P does not start with one.
size_t Id3v2TagSize(const uint8_t* P, size_t Len);

// The offset of the first frame of P whose successor, right behind it, is a
// frame of the same version, layer and sample rate (or that ends exactly at
// the end of P); -1 when there is none. Free-format frames are not found.
int64_t FindFirstMpegFrame(const uint8_t* P, size_t Len, TMpegFrameHeader& H);

// True when the frame at P (Len bytes, all of it) carries an encoder's
// "Xing" or "Info" tag where its side information ends: a frame of silence
// that holds the length of the stream rather than audio.
bool IsXingFrame(const uint8_t* P, size_t Len, const TMpegFrameHeader& H);

// The first frame of the file Name, past any ID3 version 2 tag, looked for in
// the first 256 KB behind the tag. False when the file has none (or cannot be
// read).
bool ProbeMpegFile(const std::string& Name, TMpegFrameHeader& H);
