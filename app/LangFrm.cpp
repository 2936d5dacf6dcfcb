#include "app/LangFrm.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QTabWidget>
#include <functional>

#include "app/DialogProvider.h"
#include "app/IniFile.h"
#include "app/PathSelector.h"

TLangForm::TLangForm(TLangMgr* Manager, QWidget* Parent) : QWidget(Parent), FManager(Manager) {}

TLangForm::~TLangForm() {
  if (FRegistered && FManager) FManager->UnregisterForm(this);
  FLangFile.reset();
}

void TLangForm::InitLanguage() {
  if (!FManager) return;
  FManager->RegisterForm(this);
  FRegistered = true;
  LoadLanguage();
}

void TLangForm::LoadLanguage() {
  FLangFile.reset();
  if (!FManager) return;
  const std::string File = FManager->CurrentLanguageFile();
  if (File.empty()) return;
  auto Ini = std::make_unique<TIniSnapshot>(File);
  if (!Ini->Loaded()) return;
  FLangFile = std::move(Ini);
  ApplyLanguage();
}

std::string TLangForm::LangSection() const { return metaObject()->className(); }

std::string TLangForm::Translate(const std::string& Key, const std::string& Default) {
  if (!FLangFile) return Default;
  return FLangFile->Read(LangSection(), Key).value_or(Default);
}

std::string TLangForm::TranslateFmt(const std::string& Key, const std::string& Default,
                                    const std::vector<TFmtArg>& Args) {
  const std::string T = Translate(Key, Default);
  std::string Out;
  return FormatText(T, Args, Out) ? Out : T;
}

namespace {

// The tab widget and index of a page, when Object is one.
QTabWidget* TabOf(QObject* Object, int& Index) {
  auto* W = qobject_cast<QWidget*>(Object);
  auto* Stack = W ? qobject_cast<QStackedWidget*>(W->parentWidget()) : nullptr;
  auto* Tabs = Stack ? qobject_cast<QTabWidget*>(Stack->parentWidget()) : nullptr;
  Index = Tabs ? Tabs->indexOf(W) : -1;
  return Index >= 0 ? Tabs : nullptr;
}

// A label shows what the language file says, never markup that happens to be
// in it (a label left to choose would take "<b>Mix</b>" for markup).
void SetPlainLabel(QLabel* Label, const QString& Text) {
  Label->setTextFormat(Qt::PlainText);
  Label->setText(Text);
}

}  // namespace

bool TLangForm::GetLangText(QObject* O, const std::string& Name, QString& Value) {
  if (Name == "Caption") {
    int Index;
    if (auto* B = qobject_cast<QAbstractButton*>(O)) return Value = B->text(), true;
    if (auto* L = qobject_cast<QLabel*>(O)) return Value = L->text(), true;
    if (auto* G = qobject_cast<QGroupBox*>(O)) return Value = G->title(), true;
    if (auto* T = TabOf(O, Index)) return Value = T->tabText(Index), true;
    return false;
  }
  if (Name == "Text") {
    if (auto* P = qobject_cast<TPathSelector*>(O)) return Value = P->Text(), true;
    if (auto* E = qobject_cast<QLineEdit*>(O)) {
      // The edits inside path boxes and combo boxes belong to those.
      if (qobject_cast<TPathSelector*>(E->parent()) || qobject_cast<QComboBox*>(E->parent()))
        return false;
      return Value = E->text(), true;
    }
    if (auto* C = qobject_cast<QComboBox*>(O); C && C->isEditable())
      return Value = C->currentText(), true;
    if (auto* M = qobject_cast<QPlainTextEdit*>(O)) return Value = M->toPlainText(), true;
    return false;
  }
  if (Name == "Hint") {
    if (auto* W = qobject_cast<QWidget*>(O)) return Value = W->toolTip(), true;
  }
  return false;
}

bool TLangForm::SetLangText(QObject* O, const std::string& Name, const QString& Value) {
  QString Old;
  if (!GetLangText(O, Name, Old)) return false;
  if (Name == "Caption") {
    int Index;
    if (auto* B = qobject_cast<QAbstractButton*>(O))
      B->setText(Value);
    else if (auto* L = qobject_cast<QLabel*>(O))
      SetPlainLabel(L, Value);
    else if (auto* G = qobject_cast<QGroupBox*>(O))
      G->setTitle(Value);
    else if (auto* T = TabOf(O, Index))
      T->setTabText(Index, Value);
  } else if (Name == "Text") {
    if (auto* P = qobject_cast<TPathSelector*>(O))
      P->SetText(Value);
    else if (auto* E = qobject_cast<QLineEdit*>(O))
      E->setText(Value);
    else if (auto* C = qobject_cast<QComboBox*>(O))
      C->setEditText(Value);
    else if (auto* M = qobject_cast<QPlainTextEdit*>(O))
      M->setPlainText(Value);
  } else {
    qobject_cast<QWidget*>(O)->setToolTip(PlainToolTip(Value));
  }
  return true;
}

void TLangForm::ApplyLanguage() {
  if (!FLangFile) return;
  // Qt has no per-font character set: text is Unicode throughout, so the
  // file's Charset has nothing to change.
  QFont F = font();
  if (const auto Name = FLangFile->Read("General", "FontName"); Name && !Name->empty())
    F.setFamily(QString::fromStdString(*Name));
  if (const auto Size = FLangFile->Read("General", "FontSize")) {
    bool Ok = false;
    const int Points = QString::fromStdString(*Size).trimmed().toInt(&Ok);
    if (Ok && Points > 0) F.setPointSize(Points);
  }
  setFont(F);

  setWindowTitle(QString::fromStdString(Translate("Caption", windowTitle().toStdString())));

  // Every named control, parents before their children, each parent's
  // children in the order they were made.
  std::function<void(QObject*)> Walk = [&](QObject* Parent) {
    for (QObject* O : Parent->children()) {
      const QString Name = O->objectName();
      if (!Name.isEmpty() && !Name.startsWith(QLatin1String("qt_"))) {
        for (const char* Prop : {"Caption", "Text", "Hint"}) {
          QString Current;
          if (!GetLangText(O, Prop, Current) || Current == QLatin1String("-")) continue;
          const std::string Key = Name.toStdString() + "." + Prop;
          const QString Text = QString::fromStdString(Translate(Key, Current.toStdString()));
          if (Text != Current) SetLangText(O, Prop, Text);
        }
      }
      Walk(O);
    }
  };
  Walk(this);
}
