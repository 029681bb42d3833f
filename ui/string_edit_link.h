#pragma once
// TStringEditLink: the in-place editor of the sharing list's rights columns,
// a drop-down of exactly "Allow" and "Deny".
//
// It starts at "Allow" whatever the cell shows, opens its list at once,
// and: Enter stores the choice (the list saves it) and moves the focus to
// the next row; Escape leaves the cell as it was; leaving the editor
// otherwise stores the choice. One editor widget per edit, released by the
// view when the edit ends.
//
// REQUIRES: UI thread only.

#include <QStyledItemDelegate>

class QAbstractItemView;
class QComboBox;

class TStringEditLink : public QStyledItemDelegate {
  Q_OBJECT
 public:
  explicit TStringEditLink(QAbstractItemView* tree);

  // PrepareEdit and BeginEdit: the hidden drop-down, then shown open.
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  // The drop-down does not start at the cell's value.
  void setEditorData(QWidget* editor, const QModelIndex& index) const override;
  // EndEdit: the drop-down's text becomes the cell's new text.
  void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;
  // SetBounds: the cell, its right edge at the column's.
  void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Enter ends the edit and moves down; Escape cancels it. True when the key
  // was one of those.
  bool EditKeyDown(QComboBox* edit, int key);

  QAbstractItemView* FTree;
};
