// The window base class whose texts and font can come from a language file
// (see LangMgr.h). The file's section named after the window's class holds
// "Caption" (the title) and "<object name>.<property>" keys, where property
// is Caption, Text or Hint:
//   Caption: the text of a button, check box, radio button or label, the
//            title of a group box, the tab text of a page;
//   Text:    the text of a line edit, path box, editable combo box or memo;
//   Hint:    the tool tip of any control.
// A property whose current value is "-" is never changed.
#pragma once

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "app/LangMgr.h"

class TIniSnapshot;

class TLangForm : public QWidget, public ILangForm {
  Q_OBJECT

 public:
  // Manager: the manager this window registers with (null: none; the window
  // keeps its built-in texts).
  explicit TLangForm(TLangMgr* Manager, QWidget* Parent = nullptr);
  ~TLangForm() override;

  void LoadLanguage() override;
  std::string Translate(const std::string& Key, const std::string& Default) override;
  std::string TranslateFmt(const std::string& Key, const std::string& Default,
                           const std::vector<TFmtArg>& Args) override;

  // The text property Name ("Caption", "Text", "Hint") of Object; false when
  // that kind of object has no such property.
  static bool GetLangText(QObject* Object, const std::string& Name, QString& Value);
  static bool SetLangText(QObject* Object, const std::string& Name, const QString& Value);

 protected:
  // Registers with the manager and applies its current language file. A
  // derived window calls this at the end of its constructor, once all its
  // controls exist.
  void InitLanguage();
  // Font, title, then every named control's Caption, Text and Hint, in
  // creation order, from the open language file.
  void ApplyLanguage();
  // The language file's section for this window: the class name.
  std::string LangSection() const;

 private:
  TLangMgr* FManager;
  bool FRegistered = false;
  std::unique_ptr<TIniSnapshot> FLangFile;  // open for the window's life
};
