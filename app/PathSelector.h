// A path box with a browse button ("..."): the box shows a chosen file's
// path; the button asks the page to run a dialog. Read-only unless the page
// lets the user type a path.
#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

class TPathSelector : public QWidget {
  Q_OBJECT

 public:
  // What, the text of the label that goes with the box, names the box and the
  // button for screen readers.
  TPathSelector(const QString& What, QWidget* Parent);

  QString Text() const;
  void SetText(const QString& Value);
  bool ReadOnly() const;
  void SetReadOnly(bool Value);

  QLineEdit* Edit() const { return FEdit; }
  QToolButton* Button() const { return FButton; }

 Q_SIGNALS:
  // The browse button was pressed.
  void BrowseClicked();

 private:
  QLineEdit* FEdit;
  QToolButton* FButton;
};
