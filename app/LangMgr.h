// Language files: INI files beside the program, named like the program with
// another extension (velmora.chs, velmora.enu, ...), that replace the texts
// and font of a window. The manager lists them once at start and knows which
// one the user wants; windows derived from TLangForm read it.
#pragma once

#include <string>
#include <variant>
#include <vector>

// One argument of TranslateFmt: a whole number, a real number or a text.
using TFmtArg = std::variant<long long, double, std::string>;

// Formats Format the way printf does, taking the arguments in order:
// %d %i %u %x %X take whole numbers, %f %e %g %E %G real numbers (a whole
// number is accepted too), %s texts; flags, width and precision are allowed,
// "%%" is a percent sign. False (Out untouched) when a conversion is unknown,
// an argument is missing or of the wrong kind. Extra arguments are ignored.
bool FormatText(const std::string& Format, const std::vector<TFmtArg>& Args, std::string& Out);

// One language file found beside the program.
struct TLangItem {
  std::string Name;      // its General/Language value, "<Unknown>" when missing
  std::string FileName;  // full path
};

// The language side of a window, as the manager's registered list holds it.
class ILangForm {
 public:
  // Re-reads the current language file and applies it.
  virtual void LoadLanguage() = 0;
  // The value of Key in the window's section, or Default.
  virtual std::string Translate(const std::string& Key, const std::string& Default) = 0;
  // Translate, then FormatText with Args; the translated text unformatted when
  // formatting fails.
  virtual std::string TranslateFmt(const std::string& Key, const std::string& Default,
                                   const std::vector<TFmtArg>& Args) = 0;

 protected:
  ~ILangForm() = default;
};

class TLangMgr {
 public:
  // Lists the language files of ProgramPath (every "<program>.<ext>" beside it
  // with a [General] section, in the order the folder lists them) and chooses
  // the first whose extension equals the wanted one, without regard to case.
  // The wanted extension is the value named after the program's file name in
  // section [LangManager] of ChoiceFile; when that is missing or empty it is
  // "." + LocaleCode (ENU, CHS, ...).
  TLangMgr(const std::string& ProgramPath, const std::string& ChoiceFile,
           const std::string& LocaleCode);
  TLangMgr(const TLangMgr&) = delete;
  TLangMgr& operator=(const TLangMgr&) = delete;
  ~TLangMgr() = default;

  // Frees the items, then raises std::runtime_error("unsafe free of Language
  // Manager!") while a window is still registered (the manager then stays);
  // otherwise deletes M and sets it to null.
  static void Free(TLangMgr*& M);

  void RegisterForm(ILangForm* Form);
  void UnregisterForm(ILangForm* Form);
  int RegisteredCount() const { return static_cast<int>(FForms.size()); }

  // The chosen file's path, or "" when none was chosen.
  std::string CurrentLanguageFile() const;
  int CurrentIndex() const { return FCurrentIndex; }
  const std::vector<TLangItem>& Items() const { return FItems; }
  const std::string& WantedExtension() const { return FWanted; }

 private:
  int FCurrentIndex = -1;
  std::vector<TLangItem> FItems;
  std::vector<ILangForm*> FForms;  // not owned
  std::string FWanted;
};

// The process-wide manager: made by InitLanguageManager before any window
// exists, freed by FinalizeLanguageManager after the last one is gone. Null
// outside that span; windows then keep their built-in texts.
extern TLangMgr* LanguageManager;
void InitLanguageManager();
void FinalizeLanguageManager();

// The file that stands in for the per-user language choice:
// $XDG_CONFIG_HOME/Brisklane/LangManager.ini (~/.config when unset).
std::string LanguageChoiceFile();

// The three-letter language code of a POSIX locale name ("zh_CN.UTF-8" gives
// CHS, "en_GB" ENG); "C", "POSIX", empty and unknown names give ENU. A known
// language in an unlisted territory gives that language's main code.
std::string LanguageCodeOfLocale(const std::string& LocaleName);
// The code of the current locale: the first set of LC_ALL, LC_MESSAGES, LANG.
std::string CurrentLanguageCode();
