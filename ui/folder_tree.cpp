#include "ui/folder_tree.h"

#include <QGuiApplication>
#include <QTreeView>
#include <functional>

#include "storage/md5.h"
#include "storage/string_list.h"
#include "storage/xml_storage.h"
#include "ui/dialogs.h"
#include "ui/outlook_images.h"

namespace {

const QString kCheckingMessage =
    QStringLiteral("To share a folder, select folder and click \"Add\" to add an email to share the folder with");

QString CheckedKey(const QString& prefix, const QString& entryId) {
  return prefix + QStringLiteral("\\CheckedFolders-") + GetMD5(entryId);
}

// Depth first: a node's children before its next sibling.
void Walk(VstNode* node, const std::function<void(VstNode*)>& visit) {
  for (auto& child : node->Children) {
    visit(child.get());
    Walk(child.get(), visit);
  }
}

}  // namespace

FolderTree::FolderTree(const outlook::RdoSession& session, FormStorage& config, Dialogs& dialogs, QWidget* parent)
    : QObject(parent), session_(session), config_(config), dialogs_(dialogs) {
  view_ = new QTreeView(parent);
  view_->setObjectName(QStringLiteral("FoldersVST"));
  view_->setHeaderHidden(true);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  model_ = new VstModel({}, view_);
  model_->SetImages(OutlookImages());
  model_->checking = [this](VstNode* node, bool checked) { return FoldersVSTChecking(node, checked); };
  view_->setModel(model_);
  connect(view_, &QTreeView::expanded, this, [this](const QModelIndex& index) {
    if (!FoldersVSTExpanding(model_->NodeOf(index))) view_->collapse(index);
  });
  connect(view_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) { emit FocusChanged(model_->NodeOf(current)); });
}

void FolderTree::LoadStores(const outlook::RdoStores& stores) {
  const int n = stores.Count();
  for (int k = 1; k <= n; ++k) {
    // One store at a time: a failure keeps its node as far as it was filled.
    try {
      const outlook::RdoStore store = stores.Item(k);
      VstNode* node = model_->AddChild(model_->Root(), TTreeData(), false);
      node->Data.Subject = store.Name();
      node->Data.EntryID = store.EntryID();
      node->StoreEntryID = node->Data.EntryID;
      node->Data.StoreID = QString::fromLatin1(kMarker);
      model_->NodeChanged(node);
      const int kind = store.StoreKind();
      if (kind == 1 || kind == 2) {
        // A store that cannot be read now keeps its placeholder and is
        // tried again when the user expands it.
        if (!FoldersVSTExpanding(node)) continue;
        view_->expand(model_->IndexOf(node));
        node->HasCheckBox = true;
        const outlook::RdoFolder top = store.IPMRootFolder();
        node->Data.EntryID = top.EntryID();
        node->Data.StoreID = top.StoreID();
        model_->NodeChanged(node);
        // Saves key the marks by the top folder from now on.
        ReadCheckedNodes(node, QStringLiteral("FoldersVST"));
      } else {
        AddPlaceholder(node);
      }
    } catch (...) {
      // Logged by the exception hook; the next store goes on.
    }
  }
}

void FolderTree::AddPlaceholder(VstNode* node) { model_->AddChild(node, TTreeData(), false); }

VstNode* FolderTree::AddFolder(VstNode* parent, const outlook::RdoFolder& folder) {
  VstNode* node = model_->AddChild(parent, TTreeData(), true);
  node->Data.DefaultItemType = quint8(folder.DefaultItemType());
  node->Data.Subject = folder.Name();
  node->Data.EntryID = folder.EntryID();
  node->Data.StoreID = folder.StoreID();
  model_->NodeChanged(node);
  return node;
}

void FolderTree::LoadRCAFolders(VstNode* node, const outlook::RdoFolders& folders) {
  outlook::RdoFolder folder;
  try {
    folder = folders.GetFirst();
  } catch (...) {
    return;
  }
  while (!folder.IsNull()) {
    // Outside the folder's guard: a folder whose type cannot be read ends
    // the whole load.
    if (folder.DefaultItemType() == 1) {
      try {
        VstNode* child = AddFolder(node, folder);
        LoadRFolders(child, folder.Folders());
      } catch (...) {
        // The node stays as far as it was filled.
      }
    }
    try {
      folder = folders.GetNext();
    } catch (...) {
      return;
    }
  }
}

void FolderTree::LoadRFolders(VstNode* node, const outlook::RdoFolders& folders) {
  outlook::RdoFolder folder;
  try {
    folder = folders.GetFirst();
  } catch (...) {
    return;
  }
  while (!folder.IsNull()) {
    try {
      VstNode* child = AddFolder(node, folder);
      LoadRFolders(child, folder.Folders());
    } catch (...) {
      // This folder's node stays partly filled, its subtree unloaded.
    }
    try {
      folder = folders.GetNext();
    } catch (...) {
      return;
    }
  }
}

bool FolderTree::FoldersVSTExpanding(VstNode* node) {
  if (!node || node->Data.StoreID != QLatin1String(kMarker) || node == loading_) return true;
  QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  loading_ = node;
  bool loaded = false;
  try {
    model_->DeleteChildren(node);
    const outlook::RdoStore store = session_.GetStoreFromID(node->Data.EntryID);
    LoadRCAFolders(node, store.IPMRootFolder().Folders());
    ReadCheckedNodes(node, QStringLiteral("FoldersVST"));
    node->Data.StoreID.clear();
    loaded = true;
  } catch (...) {
    // Logged by the hook. The marker stays; what was added goes, and the
    // placeholder comes back so that the node can be expanded again.
    model_->DeleteChildren(node);
    AddPlaceholder(node);
  }
  loading_ = nullptr;
  QGuiApplication::restoreOverrideCursor();
  return loaded;
}

bool FolderTree::FoldersVSTChecking(VstNode* /*node*/, bool /*checked*/) {
  dialogs_.ShowMessage(view_->window(), kCheckingMessage);
  return false;
}

void FolderTree::ReadCheckedNodes(VstNode* top, const QString& prefix) {
  if (!top) return;
  // An empty value reads as a missing one: either sends the restore to the
  // store's own key, which saves keep equal.
  QString text = config_.ReadString(CheckedKey(prefix, top->Data.EntryID), QString());
  if (text.isEmpty() && !top->StoreEntryID.isEmpty() && top->StoreEntryID != top->Data.EntryID)
    text = config_.ReadString(CheckedKey(prefix, top->StoreEntryID), QString());
  StringList digests(true);
  digests.SetCommaText(text);
  if (digests.IsEmpty()) return;
  view_->setUpdatesEnabled(false);
  Walk(top, [&](VstNode* node) {
    if (node->Data.EntryID.isEmpty() || !digests.Contains(GetMD5(node->Data.EntryID))) return;
    model_->SetChecked(node, true);
    view_->expand(model_->IndexOf(node->Parent));
  });
  view_->setUpdatesEnabled(true);
}

void FolderTree::WriteCheckedNodes(const QString& prefix) {
  for (auto& top : model_->Root()->Children) {
    // Never loaded in this run: its stored marks stay as they were.
    if (top->Data.StoreID == QLatin1String(kMarker)) continue;
    StringList digests(true);
    Walk(top.get(), [&](VstNode* node) {
      if (!node->Data.EntryID.isEmpty() && node->Checked) digests.Add(GetMD5(node->Data.EntryID));
    });
    config_.WriteString(CheckedKey(prefix, top->Data.EntryID), digests.CommaText());
    // An empty value reads as a missing one, so the store's own key, which
    // the restore falls back to, must not keep marks cleared since.
    if (!top->StoreEntryID.isEmpty() && top->StoreEntryID != top->Data.EntryID)
      config_.WriteString(CheckedKey(prefix, top->StoreEntryID), digests.CommaText());
  }
}

VstNode* FolderTree::FocusedNode() const { return model_->NodeOf(view_->currentIndex()); }

VstNode* FolderTree::FirstTopLevelNode() const {
  auto& tops = model_->Root()->Children;
  return tops.empty() ? nullptr : tops.front().get();
}

VstNode* FolderTree::FindFolder(const QString& entryId) const {
  VstNode* found = nullptr;
  Walk(model_->Root(), [&](VstNode* node) {
    if (!found && !IsTopLevel(node) && node->Data.EntryID.compare(entryId, Qt::CaseInsensitive) == 0) found = node;
  });
  return found;
}
