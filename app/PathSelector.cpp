#include "app/PathSelector.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QToolButton>

#include "app/DialogProvider.h"

TPathSelector::TPathSelector(const QString& What, QWidget* Parent)
    : QWidget(Parent), FEdit(new QLineEdit(this)), FButton(new QToolButton(this)) {
  auto* L = new QHBoxLayout(this);
  L->setContentsMargins(0, 0, 0, 0);
  L->setSpacing(2);
  L->addWidget(FEdit, 1);
  L->addWidget(FButton);
  FEdit->setReadOnly(true);
  // Paths dropped on the box are the page's to place (DropTargets.h), not
  // text for the box.
  FEdit->setAcceptDrops(false);
  FEdit->setAccessibleName(What);
  FButton->setText(QStringLiteral("..."));
  FButton->setAccessibleName(tr("Browse: %1").arg(What));
  FButton->setFocusPolicy(Qt::StrongFocus);
  setFocusProxy(FEdit);
  connect(FButton, &QToolButton::clicked, this, &TPathSelector::BrowseClicked);
}

QString TPathSelector::Text() const { return FEdit->text(); }

void TPathSelector::SetText(const QString& Value) {
  FEdit->setText(Value);
  // Long paths show their end (the file name) and the whole path as a tip.
  FEdit->setCursorPosition(static_cast<int>(Value.size()));
  FEdit->setToolTip(PlainToolTip(Value));
}

bool TPathSelector::ReadOnly() const { return FEdit->isReadOnly(); }
void TPathSelector::SetReadOnly(bool Value) { FEdit->setReadOnly(Value); }
