// Byte streams: an abstract stream, a file stream over a POSIX descriptor and a
// growable memory stream. Positions and sizes are 64-bit byte counts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Exceptions.h"

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;

  // Reads at most Count bytes at the current position; returns how many were
  // read (0 at the end). Raises EReadError only for a real I/O failure.
  virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  // Writes Count bytes; returns how many were written. Raises EWriteError on
  // failure (disk full, I/O error).
  virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
  // Moves the position and returns the new one.
  virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;
  virtual int64_t Size();
  // Cuts or extends the stream; the position is clamped to the new size.
  virtual void SetSize(int64_t NewSize) = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t Pos) { Seek(Pos, TSeekOrigin::soBeginning); }

  // Reads exactly Count bytes or raises EReadError ("Stream read error").
  void ReadBuffer(void* Buffer, int64_t Count);
  // Writes exactly Count bytes or raises EWriteError ("Stream write error").
  void WriteBuffer(const void* Buffer, int64_t Count);
  // Copies Count bytes (all from position 0 when Count is 0) from Source.
  int64_t CopyFrom(TStream& Source, int64_t Count);
};

// How a file stream opens its file.
enum class TFileMode {
  fmCreate,         // create or truncate, read-write
  fmOpenRead,       // existing file, read only, shared with other readers
  fmOpenReadWrite,  // existing file, read-write, exclusive (advisory lock)
};

class TFileStream : public TStream {
 public:
  // Raises EFCreateError / EFOpenError with the reason when the file cannot be
  // created or opened, or (read-write) when another process holds its lock.
  TFileStream(const std::string& FileName, TFileMode Mode);
  ~TFileStream() override;

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Size() override;
  void SetSize(int64_t NewSize) override;

  const std::string& FileName() const { return FFileName; }
  int Handle() const { return FHandle; }

 protected:
  // Takes over Handle, an open descriptor; FileName is the name messages use.
  TFileStream(std::string FileName, int Handle) : FFileName(std::move(FileName)), FHandle(Handle) {}

 private:
  std::string FFileName;
  int FHandle = -1;
};

// A new output file that takes the place of its target only when it is
// finished. It is written under a hidden name beside the target,
// ".<name>.velmora-part", and Commit renames it over the target: until then an
// existing target stays as it was, and a process killed mid-way leaves only
// the part file. Destroyed without Commit, the part file goes. Messages name
// the target. New files get 0666 less the umask; an existing target's
// permissions pass to the file that replaces it.
class TReplacementFile : public TFileStream {
 public:
  // Raises EFCreateError when the part file cannot be created, or when the
  // target (a link's target) is a device, pipe or socket, which a renamed
  // file would take the place of.
  explicit TReplacementFile(const std::string& Target);
  ~TReplacementFile() override;

  // The name written to until Commit.
  const std::string& PartName() const { return FPartName; }
  bool Committed() const { return FCommitted; }
  // Forces the data to disk and renames the part file over the target. Raises
  // EWriteError with the reason (a full disk may only show here); the part
  // file is then removed and the target left alone.
  void Commit();
  // Removes the part file; the target stays as it was.
  void Abandon();

 private:
  TReplacementFile(const std::string& Target, const std::string& RealTarget);

  std::string FRealTarget;  // the target with a symbolic link followed
  std::string FPartName;
  bool FCommitted = false;
  bool FAbandoned = false;
};

// The part file name TReplacementFile uses for Target.
std::string PartFileName(const std::string& Target);

// The bytes live in one block of the C heap that grows with realloc: a large
// block (glibc maps those of 32 MB and more on their own) is moved by
// remapping its pages, never copied, so a stream grown to N bytes keeps about
// N bytes resident rather than the old block and the new one side by side.
// Room reserved beyond what was written costs no memory until it is written.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  ~TMemoryStream() override;

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Size() override { return static_cast<int64_t>(FSize); }
  void SetSize(int64_t NewSize) override;

  void Clear();
  uint8_t* Memory() { return FData; }
  const uint8_t* Memory() const { return FData; }
  void LoadFromFile(const std::string& FileName);
  void SaveToFile(const std::string& FileName);

 private:
  // Makes room for at least Needed bytes; raises std::bad_alloc.
  void Reserve(size_t Needed, size_t Wanted);

  uint8_t* FData = nullptr;  // FCapacity bytes; only the first FSize count
  size_t FCapacity = 0;
  size_t FSize = 0;
  size_t FPosition = 0;
};

// A memory stream that moves to a temporary file once it would pass a
// threshold: a write or SetSize that would take it past Threshold bytes first
// copies what it holds into a new file in Folder (created when missing) and
// frees the memory; from then on the file is the stream. The file is removed
// when the stream is destroyed. Creating or writing the file raises what a
// file stream raises. Memory() is empty once the stream has moved.
class TSpillStream : public TMemoryStream {
 public:
  TSpillStream(std::string Folder, int64_t Threshold);
  ~TSpillStream() override;

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Size() override;
  void SetSize(int64_t NewSize) override;

  // The file the stream has moved to; empty while it is in memory.
  const std::string& FileName() const { return FFileName; }

 private:
  void MoveToFile();

  std::string FFolder;
  int64_t FThreshold;
  std::string FFileName;
  std::unique_ptr<TFileStream> FFile;
};

// True when Name exists as a regular file (or anything stat() accepts).
bool FileExists(const std::string& Name);
