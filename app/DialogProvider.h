// Every message box and every file or folder dialog of the program goes
// through one provider, so that tests can answer them. The program installs
// TQtDialogProvider, which shows Qt's own dialogs.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// What an open or save dialog is asked and answers.
struct TFileDialogRequest {
  QString Title;
  // "Description|*.ext|Other|*.a;*.b": pairs of a description and patterns.
  QString Filter;
  // In: the 1-based filter shown first. Out: the filter the user chose.
  int FilterIndex = 1;
  // In: the name shown at first (empty: none). Out: the chosen file's path.
  QString FileName;
  // The folder the dialog opens in (empty: the dialog's own choice).
  QString Folder;
};

// The buttons of an error prompt.
enum class TPromptAnswer { Cancel, Retry, Ignore };

class TDialogProvider {
 public:
  virtual ~TDialogProvider() = default;

  // A modal box with Text, shown as plain text, and one OK button, centred on
  // the screen.
  virtual void ShowMessage(QWidget* Parent, const QString& Text) = 0;
  // A modal error box with Text and the buttons Cancel, Retry and Ignore;
  // the button chosen (closing the box is Cancel).
  virtual TPromptAnswer AskErrorAction(QWidget* Parent, const QString& Text) = 0;
  // An open dialog for an existing file; true when the user confirmed.
  virtual bool ExecuteOpen(QWidget* Parent, TFileDialogRequest& Request) = 0;
  // A save dialog; it never asks before an existing file is chosen. True when
  // the user confirmed.
  virtual bool ExecuteSave(QWidget* Parent, TFileDialogRequest& Request) = 0;
  // A folder dialog titled Caption, starting at Folder when it is not empty,
  // else at Root (else the home folder). True and Folder := the choice when
  // the user confirmed.
  virtual bool BrowseFolder(QWidget* Parent, const QString& Caption, const QString& Root,
                            QString& Folder) = 0;
  // Opens a local document (the help page) in the desktop's browser; false
  // when nothing could be started.
  virtual bool OpenDocument(const QString& Path) = 0;
};

// Qt's dialogs, modal to the whole program.
class TQtDialogProvider : public TDialogProvider {
 public:
  void ShowMessage(QWidget* Parent, const QString& Text) override;
  TPromptAnswer AskErrorAction(QWidget* Parent, const QString& Text) override;
  bool ExecuteOpen(QWidget* Parent, TFileDialogRequest& Request) override;
  bool ExecuteSave(QWidget* Parent, TFileDialogRequest& Request) override;
  bool BrowseFolder(QWidget* Parent, const QString& Caption, const QString& Root,
                    QString& Folder) override;
  bool OpenDocument(const QString& Path) override;
};

// "Wave file|*.wav|Lyric file|*.txt;*.lrc" as Qt's name filters:
// "Wave file (*.wav)", "Lyric file (*.txt *.lrc)". A description without
// patterns is dropped.
QStringList QtNameFilters(const QString& Filter);
// Every pattern of such a filter, in order: "*.wav", "*.txt", "*.lrc".
QStringList FilterPatterns(const QString& Filter);

// The folders the window's dialogs last used, one per box (named by its
// object name), kept in the settings file. LastFolder is "" when none is
// known; RememberFolder keeps Folder quietly (a settings file that cannot be
// written costs only the convenience).
QString LastFolder(const QString& Box);
void RememberFolder(const QString& Box, const QString& Folder);
// The folder of the file Path names.
QString FolderOf(const QString& Path);

// Text as a tool tip that shows it as it is. Qt shows a tip that looks like
// markup as rich text, and a tip can be a path ("<b>x</b>.wav" is a file
// name); such a text comes back escaped and wrapped so that every character
// shows, any other text unchanged.
QString PlainToolTip(const QString& Text);

// One of the window's two shared file dialogs (open or save). Pages set its
// filter and clear its file name before each use.
class TFileDialog {
 public:
  enum TKind { fdOpen, fdSave };
  TFileDialog(TKind Kind, QWidget* Parent) : FKind(Kind), FParent(Parent) {}

  QString FileName;
  QString Filter;
  int FilterIndex = 1;
  QString Title;

  // Runs the dialog through the program's provider; on confirmation FileName
  // and FilterIndex hold the choice. True when the user confirmed. Given the
  // name of the box it fills, the dialog opens in the folder last used for
  // that box, and a confirmed choice's folder is remembered for it.
  bool Execute(const QString& Box = QString());

 private:
  TKind FKind;
  QWidget* FParent;
};
