// INI files the way the program uses them: sections in square brackets, one
// key=value per line, section and key names compared without regard to case,
// texts kept as UTF-8 bytes.
#pragma once

#include <memory>
#include <optional>
#include <string>

// A file read once, when it is made (language files).
class TIniSnapshot {
 public:
  // A missing or unreadable file gives an empty snapshot (Loaded() false).
  explicit TIniSnapshot(const std::string& Path);
  ~TIniSnapshot();
  TIniSnapshot(const TIniSnapshot&) = delete;
  TIniSnapshot& operator=(const TIniSnapshot&) = delete;

  bool Loaded() const { return FLoaded; }
  bool HasSection(const std::string& Section) const;
  std::optional<std::string> Read(const std::string& Section, const std::string& Key) const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
  bool FLoaded = false;
};

// A file read from disk at every read and written to disk at every write, so
// a read always sees the last saved value (Settings.ini).
class TIniFile {
 public:
  explicit TIniFile(std::string Path) : FPath(std::move(Path)) {}
  const std::string& Path() const { return FPath; }

  // The value of Key, or nothing when the file, the section or the key is
  // missing or the file cannot be read.
  std::optional<std::string> Read(const std::string& Section, const std::string& Key) const;

  // Stores one key at once, keeping every other section, key and comment:
  // the file is read, changed and written to a temporary file beside it,
  // which then replaces it. Raises std::runtime_error naming the file and the
  // reason when the file exists but cannot be read, is read-only, or the
  // folder cannot be written; the file is then left as it was.
  void Write(const std::string& Section, const std::string& Key, const std::string& Value);

 private:
  std::string FPath;
};
