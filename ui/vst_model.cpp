#include "ui/vst_model.h"

#include <algorithm>

int VstNode::Row() const {
  if (!Parent) return 0;
  const auto& siblings = Parent->Children;
  for (size_t i = 0; i < siblings.size(); ++i)
    if (siblings[i].get() == this) return int(i);
  return -1;
}

VstModel::VstModel(QStringList headers, QObject* parent) : QAbstractItemModel(parent), headers_(std::move(headers)) {}

VstModel::~VstModel() = default;

VstNode* VstModel::NodeOf(const QModelIndex& index) const {
  return index.isValid() ? static_cast<VstNode*>(index.internalPointer()) : nullptr;
}

QModelIndex VstModel::IndexOf(const VstNode* node, int column) const {
  if (!node || node == &root_) return {};
  return createIndex(node->Row(), column, const_cast<VstNode*>(node));
}

VstNode* VstModel::AddChild(VstNode* parent, const TTreeData& data, bool checkBox) {
  const int row = int(parent->Children.size());
  beginInsertRows(IndexOf(parent), row, row);
  auto node = std::make_unique<VstNode>();
  node->Data = data;
  node->Parent = parent;
  node->HasCheckBox = checkBox;
  VstNode* raw = node.get();
  parent->Children.push_back(std::move(node));
  endInsertRows();
  return raw;
}

void VstModel::DeleteChildren(VstNode* node) {
  if (node->Children.empty()) return;
  beginRemoveRows(IndexOf(node), 0, int(node->Children.size()) - 1);
  node->Children.clear();
  endRemoveRows();
}

void VstModel::DeleteNode(VstNode* node) {
  VstNode* parent = node->Parent;
  const int row = node->Row();
  beginRemoveRows(IndexOf(parent), row, row);
  parent->Children.erase(parent->Children.begin() + row);
  endRemoveRows();
}

void VstModel::NodeChanged(VstNode* node) {
  emit dataChanged(IndexOf(node, 0), IndexOf(node, columnCount() - 1));
}

void VstModel::SetChecked(VstNode* node, bool checked) {
  node->Checked = checked;
  emit dataChanged(IndexOf(node, 0), IndexOf(node, 0), {Qt::CheckStateRole});
}

void VstModel::SortRows(int column, bool ascending) {
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList before = persistentIndexList();
  std::vector<VstNode*> nodes;
  for (const QModelIndex& i : before) nodes.push_back(NodeOf(i));
  auto& rows = root_.Children;
  std::stable_sort(rows.begin(), rows.end(), [&](const auto& a, const auto& b) {
    const int c = FVSTCompareNodes(a->Data, b->Data, column);
    return ascending ? c < 0 : c > 0;
  });
  QModelIndexList after;
  for (int i = 0; i < before.size(); ++i) after.append(IndexOf(nodes[size_t(i)], before[i].column()));
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

QModelIndex VstModel::index(int row, int column, const QModelIndex& parent) const {
  const VstNode* p = parent.isValid() ? NodeOf(parent) : &root_;
  if (row < 0 || column < 0 || column >= columnCount() || size_t(row) >= p->Children.size()) return {};
  return createIndex(row, column, p->Children[size_t(row)].get());
}

QModelIndex VstModel::parent(const QModelIndex& child) const {
  const VstNode* node = NodeOf(child);
  return node ? IndexOf(node->Parent) : QModelIndex();
}

int VstModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  const VstNode* p = parent.isValid() ? NodeOf(parent) : &root_;
  return int(p->Children.size());
}

int VstModel::columnCount(const QModelIndex&) const { return std::max<int>(1, int(headers_.size())); }

QVariant VstModel::data(const QModelIndex& index, int role) const {
  const VstNode* node = NodeOf(index);
  if (!node) return {};
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      return VSTGetText(node->Data, RecordColumn(index.column()));
    case Qt::DecorationRole: {
      if (images_.empty()) return {};
      const int image = FVSTGetImageIndex(node->Data, RecordColumn(index.column()));
      if (image < 0 || size_t(image) >= images_.size()) return {};
      return images_[size_t(image)];
    }
    case Qt::CheckStateRole:
      if (index.column() != 0 || !node->HasCheckBox) return {};
      return node->Checked ? Qt::Checked : Qt::Unchecked;
    default:
      return {};
  }
}

bool VstModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  VstNode* node = NodeOf(index);
  if (!node) return false;
  if (role == Qt::CheckStateRole) {
    if (index.column() != 0 || !node->HasCheckBox) return false;
    const bool state = value.toInt() == Qt::Checked;
    if (checking && !checking(node, state)) return false;
    SetChecked(node, state);
    if (checked) checked(node);
    return true;
  }
  if (role == Qt::EditRole) {
    if (newText) newText(node, index.column(), value.toString());
    NodeChanged(node);
    return true;
  }
  return false;
}

Qt::ItemFlags VstModel::flags(const QModelIndex& index) const {
  const VstNode* node = NodeOf(index);
  if (!node) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == 0 && node->HasCheckBox) f |= Qt::ItemIsUserCheckable;
  if (std::find(editable_.begin(), editable_.end(), index.column()) != editable_.end()) f |= Qt::ItemIsEditable;
  return f;
}

QVariant VstModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section < headers_.size()) return headers_[section];
  return {};
}
