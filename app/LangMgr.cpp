#include "app/LangMgr.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <system_error>

#include "app/IniFile.h"

TLangMgr* LanguageManager = nullptr;

namespace {

std::string Lower(std::string S) {
  for (char& C : S) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return S;
}

// Language files larger than this are not language files (a stray binary
// such as velmora.debug would otherwise be parsed).
constexpr std::uintmax_t kMaxLanguageFileBytes = 4u << 20;

}  // namespace

// ---------------------------------------------------------------- formatting

bool FormatText(const std::string& Format, const std::vector<TFmtArg>& Args, std::string& Out) {
  std::string R;
  size_t Next = 0;
  for (size_t I = 0; I < Format.size(); ++I) {
    const char C = Format[I];
    if (C != '%') {
      R += C;
      continue;
    }
    if (I + 1 < Format.size() && Format[I + 1] == '%') {
      R += '%';
      ++I;
      continue;
    }
    // %[flags][width][.precision]conversion; a '*' width is not offered.
    size_t J = I + 1;
    while (J < Format.size() && std::strchr("-+ #0", Format[J])) ++J;
    while (J < Format.size() && std::isdigit(static_cast<unsigned char>(Format[J]))) ++J;
    if (J < Format.size() && Format[J] == '.') {
      ++J;
      while (J < Format.size() && std::isdigit(static_cast<unsigned char>(Format[J]))) ++J;
    }
    if (J >= Format.size() || J - I > 16) return false;
    const char Conv = Format[J];
    const std::string Spec = Format.substr(I, J - I);  // without the conversion
    if (Next >= Args.size()) return false;
    const TFmtArg& A = Args[Next++];
    char Buf[512];
    int N = -1;
    switch (Conv) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X': {
        const long long* V = std::get_if<long long>(&A);
        if (!V) return false;
        const std::string F = Spec + "ll" + Conv;
        N = std::snprintf(Buf, sizeof Buf, F.c_str(), *V);
        break;
      }
      case 'f':
      case 'e':
      case 'E':
      case 'g':
      case 'G': {
        double V;
        if (const double* D = std::get_if<double>(&A))
          V = *D;
        else if (const long long* L = std::get_if<long long>(&A))
          V = static_cast<double>(*L);
        else
          return false;
        const std::string F = Spec + Conv;
        N = std::snprintf(Buf, sizeof Buf, F.c_str(), V);
        break;
      }
      case 's': {
        const std::string* S = std::get_if<std::string>(&A);
        if (!S) return false;
        if (Spec == "%") {
          R += *S;
          N = 0;
          Buf[0] = 0;
        } else {
          const std::string F = Spec + 's';
          N = std::snprintf(Buf, sizeof Buf, F.c_str(), S->c_str());
        }
        break;
      }
      default:
        return false;
    }
    if (N < 0 || N >= static_cast<int>(sizeof Buf)) return false;
    R += Buf;
    I = J;
  }
  Out = std::move(R);
  return true;
}

// ---------------------------------------------------------------- locale codes

std::string LanguageCodeOfLocale(const std::string& LocaleName) {
  // language_TERRITORY, without the code set and modifier.
  std::string Name = LocaleName.substr(0, LocaleName.find_first_of(".@"));
  if (Name.empty() || Name == "C" || Name == "POSIX") return "ENU";
  static const std::map<std::string, std::string> kByLocale = {
      {"ar_SA", "ARA"}, {"ar_EG", "ARE"}, {"bg_BG", "BGR"}, {"ca_ES", "CAT"}, {"cs_CZ", "CSY"},
      {"da_DK", "DAN"}, {"de_AT", "DEA"}, {"de_CH", "DES"}, {"de_DE", "DEU"}, {"de_LI", "DEC"},
      {"de_LU", "DEL"}, {"el_GR", "ELL"}, {"en_AU", "ENA"}, {"en_CA", "ENC"}, {"en_GB", "ENG"},
      {"en_IE", "ENI"}, {"en_NZ", "ENZ"}, {"en_US", "ENU"}, {"en_ZA", "ENS"}, {"es_AR", "ESS"},
      {"es_CO", "ESO"}, {"es_ES", "ESN"}, {"es_MX", "ESM"}, {"et_EE", "ETI"}, {"eu_ES", "EUQ"},
      {"fi_FI", "FIN"}, {"fr_BE", "FRB"}, {"fr_CA", "FRC"}, {"fr_CH", "FRS"}, {"fr_FR", "FRA"},
      {"fr_LU", "FRL"}, {"he_IL", "HEB"}, {"hi_IN", "HIN"}, {"hr_HR", "HRV"}, {"hu_HU", "HUN"},
      {"id_ID", "IND"}, {"is_IS", "ISL"}, {"it_CH", "ITS"}, {"it_IT", "ITA"}, {"ja_JP", "JPN"},
      {"ko_KR", "KOR"}, {"lt_LT", "LTH"}, {"lv_LV", "LVI"}, {"ms_MY", "MSL"}, {"nb_NO", "NOR"},
      {"nl_BE", "NLB"}, {"nl_NL", "NLD"}, {"nn_NO", "NON"}, {"pl_PL", "PLK"}, {"pt_BR", "PTB"},
      {"pt_PT", "PTG"}, {"ro_RO", "ROM"}, {"ru_RU", "RUS"}, {"sk_SK", "SKY"}, {"sl_SI", "SLV"},
      {"sr_RS", "SRB"}, {"sv_FI", "SVF"}, {"sv_SE", "SVE"}, {"th_TH", "THA"}, {"tr_TR", "TRK"},
      {"uk_UA", "UKR"}, {"vi_VN", "VIT"}, {"zh_CN", "CHS"}, {"zh_HK", "ZHH"}, {"zh_MO", "ZHM"},
      {"zh_SG", "ZHI"}, {"zh_TW", "CHT"},
  };
  if (auto It = kByLocale.find(Name); It != kByLocale.end()) return It->second;
  static const std::map<std::string, std::string> kByLanguage = {
      {"ar", "ARA"}, {"bg", "BGR"}, {"ca", "CAT"}, {"cs", "CSY"}, {"da", "DAN"}, {"de", "DEU"},
      {"el", "ELL"}, {"en", "ENU"}, {"es", "ESN"}, {"et", "ETI"}, {"eu", "EUQ"}, {"fi", "FIN"},
      {"fr", "FRA"}, {"he", "HEB"}, {"hi", "HIN"}, {"hr", "HRV"}, {"hu", "HUN"}, {"id", "IND"},
      {"is", "ISL"}, {"it", "ITA"}, {"ja", "JPN"}, {"ko", "KOR"}, {"lt", "LTH"}, {"lv", "LVI"},
      {"ms", "MSL"}, {"nb", "NOR"}, {"nl", "NLD"}, {"nn", "NON"}, {"pl", "PLK"}, {"pt", "PTB"},
      {"ro", "ROM"}, {"ru", "RUS"}, {"sk", "SKY"}, {"sl", "SLV"}, {"sr", "SRB"}, {"sv", "SVE"},
      {"th", "THA"}, {"tr", "TRK"}, {"uk", "UKR"}, {"vi", "VIT"}, {"zh", "CHS"},
  };
  const std::string Lang = Name.substr(0, Name.find('_'));
  if (auto It = kByLanguage.find(Lang); It != kByLanguage.end()) return It->second;
  return "ENU";
}

std::string CurrentLanguageCode() {
  for (const char* Var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* V = std::getenv(Var);
    if (V && *V) return LanguageCodeOfLocale(V);
  }
  return "ENU";
}

std::string LanguageChoiceFile() {
  std::string Base;
  const char* X = std::getenv("XDG_CONFIG_HOME");
  if (X && *X == '/') {
    Base = X;
  } else {
    const char* Home = std::getenv("HOME");
    Base = std::string(Home && *Home ? Home : "/tmp") + "/.config";
  }
  return Base + "/Brisklane/LangManager.ini";
}

// ---------------------------------------------------------------- the manager

TLangMgr::TLangMgr(const std::string& ProgramPath, const std::string& ChoiceFile,
                   const std::string& LocaleCode) {
  namespace fs = std::filesystem;
  const fs::path Program(ProgramPath);
  const std::string Stem = Program.stem().string();
  const std::string ProgramName = Program.filename().string();

  std::error_code Ec;
  for (fs::directory_iterator It(Program.parent_path(), Ec), End; !Ec && It != End;
       It.increment(Ec)) {
    const std::string Name = It->path().filename().string();
    // "<stem>.*": the stem, a point, anything.
    if (Name.size() <= Stem.size() + 1 || Name.compare(0, Stem.size(), Stem) != 0 ||
        Name[Stem.size()] != '.' || Name == ProgramName)
      continue;
    std::error_code Ec2;
    if (!It->is_regular_file(Ec2) || It->file_size(Ec2) > kMaxLanguageFileBytes || Ec2) continue;
    const std::string Path = (Program.parent_path() / Name).string();
    TIniSnapshot Ini(Path);
    if (!Ini.HasSection("General")) continue;
    FItems.push_back({Ini.Read("General", "Language").value_or("<Unknown>"), Path});
  }

  FWanted = TIniFile(ChoiceFile).Read("LangManager", ProgramName).value_or("");
  if (FWanted.empty()) FWanted = "." + LocaleCode;

  const std::string Wanted = Lower(FWanted);
  for (size_t I = 0; I < FItems.size(); ++I) {
    if (Lower(fs::path(FItems[I].FileName).extension().string()) == Wanted) {
      FCurrentIndex = static_cast<int>(I);
      break;
    }
  }
}

void TLangMgr::Free(TLangMgr*& M) {
  if (!M) return;
  M->FItems.clear();
  M->FCurrentIndex = -1;
  if (!M->FForms.empty()) throw std::runtime_error("unsafe free of Language Manager!");
  delete M;
  M = nullptr;
}

void TLangMgr::RegisterForm(ILangForm* Form) {
  if (Form && std::find(FForms.begin(), FForms.end(), Form) == FForms.end()) FForms.push_back(Form);
}

void TLangMgr::UnregisterForm(ILangForm* Form) {
  FForms.erase(std::remove(FForms.begin(), FForms.end(), Form), FForms.end());
}

std::string TLangMgr::CurrentLanguageFile() const {
  if (FCurrentIndex < 0 || FCurrentIndex >= static_cast<int>(FItems.size())) return {};
  return FItems[static_cast<size_t>(FCurrentIndex)].FileName;
}

void InitLanguageManager() {
  if (LanguageManager) return;
  std::error_code Ec;
  const auto Exe = std::filesystem::read_symlink("/proc/self/exe", Ec);
  LanguageManager = new TLangMgr(Ec ? std::string("./velmora") : Exe.string(), LanguageChoiceFile(),
                                 CurrentLanguageCode());
}

void FinalizeLanguageManager() { TLangMgr::Free(LanguageManager); }
