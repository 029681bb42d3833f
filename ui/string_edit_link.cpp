#include "ui/string_edit_link.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QTimer>

TStringEditLink::TStringEditLink(QAbstractItemView* tree) : QStyledItemDelegate(tree), FTree(tree) {}

QWidget* TStringEditLink::createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const {
  auto* edit = new QComboBox(parent);
  edit->setObjectName(QStringLiteral("FEdit"));
  edit->addItems({QStringLiteral("Allow"), QStringLiteral("Deny")});
  edit->setEditable(false);
  edit->setCurrentIndex(0);
  auto* self = const_cast<TStringEditLink*>(this);
  edit->installEventFilter(self);
  edit->view()->installEventFilter(self);
  // A choice made with the mouse in the open list ends the edit too.
  connect(edit, &QComboBox::activated, self, [self, edit] {
    emit self->commitData(edit);
    emit self->closeEditor(edit, QAbstractItemDelegate::NoHint);
  });
  QTimer::singleShot(0, edit, [edit] {
    if (edit->isVisible()) edit->showPopup();
  });
  return edit;
}

void TStringEditLink::setEditorData(QWidget*, const QModelIndex&) const {}

void TStringEditLink::setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const {
  if (auto* edit = qobject_cast<QComboBox*>(editor)) model->setData(index, edit->currentText(), Qt::EditRole);
}

void TStringEditLink::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                           const QModelIndex& index) const {
  QRect r = option.rect;
  const QRect cell = FTree->visualRect(index);
  if (cell.isValid()) r.setRight(cell.right());
  editor->setGeometry(r);
}

bool TStringEditLink::EditKeyDown(QComboBox* edit, int key) {
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    // The row below gets the focus once the edit has ended.
    QCoreApplication::postEvent(FTree, new QKeyEvent(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier));
    if (edit->view()->isVisible()) {
      edit->setCurrentIndex(edit->view()->currentIndex().row());
      edit->hidePopup();
    }
    emit commitData(edit);
    emit closeEditor(edit, QAbstractItemDelegate::NoHint);
    FTree->setFocus();
    return true;
  }
  if (key == Qt::Key_Escape) {
    if (edit->view()->isVisible()) edit->hidePopup();
    emit closeEditor(edit, QAbstractItemDelegate::RevertModelCache);
    FTree->setFocus();
    return true;
  }
  return false;
}

bool TStringEditLink::eventFilter(QObject* watched, QEvent* event) {
  QComboBox* edit = qobject_cast<QComboBox*>(watched);
  if (!edit) {
    // The open list of entries: its combo box is the editor.
    for (QObject* o = watched; o && !edit; o = o->parent()) edit = qobject_cast<QComboBox*>(o);
    if (!edit) return false;
    if (event->type() == QEvent::KeyPress && EditKeyDown(edit, static_cast<QKeyEvent*>(event)->key())) return true;
    return false;
  }
  if (event->type() == QEvent::KeyPress && EditKeyDown(edit, static_cast<QKeyEvent*>(event)->key())) return true;
  return QStyledItemDelegate::eventFilter(watched, event);
}
