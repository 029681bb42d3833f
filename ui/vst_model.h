#pragma once
// VstModel: the item model of both lists of the main window, a tree of
// VstNode records over TTreeData.
//
// The program builds and changes the tree through the members below; the
// view changes it only through setData, which hands every attempt to the
// list's callbacks: a check-box change goes to `checking` (which may refuse
// it) and then `checked`, an edited cell's text to `newText`. The callbacks
// are the owning list's handlers; the model decides nothing itself.
//
// REQUIRES: UI thread only.

#include <QAbstractItemModel>
#include <QIcon>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

#include "ui/tree_data.h"

struct VstNode {
  TTreeData Data;
  VstNode* Parent = nullptr;
  std::vector<std::unique_ptr<VstNode>> Children;
  bool HasCheckBox = false;
  bool Checked = false;
  // A store node's own entry identifier, kept after Data.EntryID is replaced
  // by its top folder's.
  QString StoreEntryID;

  ~VstNode() { VSTFreeNode(Data); }
  int Row() const;
};

class VstModel : public QAbstractItemModel {
  Q_OBJECT
 public:
  // headers empty: one column and no header text (the folder tree), whose
  // texts and images are asked for column -1.
  explicit VstModel(QStringList headers, QObject* parent = nullptr);
  ~VstModel() override;

  VstNode* Root() { return &root_; }
  VstNode* NodeOf(const QModelIndex& index) const;
  QModelIndex IndexOf(const VstNode* node, int column = 0) const;

  // Appends a child; returns it.
  VstNode* AddChild(VstNode* parent, const TTreeData& data, bool checkBox);
  void DeleteChildren(VstNode* node);
  void DeleteNode(VstNode* node);
  void Clear() { DeleteChildren(&root_); }
  // Repaints a node after its record or mark changed.
  void NodeChanged(VstNode* node);
  // Sets the mark of this node alone, as the program decides it.
  void SetChecked(VstNode* node, bool checked);
  // Stable sort of the top-level rows by a column, ascending or descending.
  void SortRows(int column, bool ascending);

  void SetImages(std::vector<QIcon> images) { images_ = std::move(images); }
  // Columns whose cells may be edited in place.
  void SetEditableColumns(std::vector<int> columns) { editable_ = std::move(columns); }

  std::function<bool(VstNode*, bool checked)> checking;
  std::function<void(VstNode*)> checked;
  std::function<void(VstNode*, int column, const QString&)> newText;

  // QAbstractItemModel
  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  // The column the record callbacks are asked for.
  int RecordColumn(int column) const { return headers_.isEmpty() ? -1 : column; }

  QStringList headers_;
  VstNode root_;
  std::vector<QIcon> images_;
  std::vector<int> editable_;
};
