// The ten converter panels of pages 1 to 5 as a user meets them, read from
// the window's own table (TMainForm::ConverterPages), their widgets found by
// object name, in page order (each page's left panel, then its right one).
#pragma once

#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/MainForm.h"
#include "app/PathSelector.h"

namespace app_testing {

struct TConverterPanel {
  const char* Name;
  int Page;
  TPathSelector* Source;
  TPathSelector* Output;
  QPushButton* Button;
  QProgressBar* Bar;
  const char* Status;  // while it runs (MP3 to Ogg: its first stage)
  const char* EmptyMessage;
  const char* SourceFilter;
  const char* OutputFilter;
  const char* Extension;
  const char* Description;  // the page's, once a job ended
};

// The window's child of type T named Name; fails (throws) when there is none,
// so a renamed control shows as such.
template <class T>
T* NamedChild(const QObject& Parent, const char* Name) {
  T* C = Parent.findChild<T*>(QLatin1String(Name));
  if (!C) throw std::logic_error(std::string("no control named ") + Name);
  return C;
}

inline std::vector<TConverterPanel> ConverterPanels(const TMainForm& F) {
  std::vector<TConverterPanel> R;
  for (const TMainForm::TConverterPageSpec& P : TMainForm::ConverterPages) {
    const int Page = F.PageControl->indexOf(NamedChild<QWidget>(F, P.Sheet));
    for (const TMainForm::TConverterSpec& C : P.Converters)
      R.push_back({C.Name, Page, NamedChild<TPathSelector>(F, C.SourceBox),
                   NamedChild<TPathSelector>(F, C.OutputBox), NamedChild<QPushButton>(F, C.Button),
                   NamedChild<QProgressBar>(F, P.Bar), C.Status, C.EmptyMessage, C.SourceFilter,
                   C.OutputFilter, C.Extension, P.Description});
  }
  return R;
}

inline TConverterPanel ConverterPanel(const TMainForm& F, const std::string& Name) {
  for (const TConverterPanel& P : ConverterPanels(F))
    if (Name == P.Name) return P;
  throw std::logic_error("no converter panel " + Name);
}

}  // namespace app_testing
