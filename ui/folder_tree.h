#pragma once
// FolderTree: the folder tree FoldersVST — the profile's stores and, below
// each, the calendar folders with their whole subtrees; a check mark on
// every folder that is shared; and the saving and restoring of those marks.
//
// Stores of kind 1 and 2 are loaded while the tree is filled; the others get
// a placeholder child and are loaded on their first expansion, once. A
// failed expansion leaves the placeholder, so the next one tries again. The
// user cannot change a check mark: the program sets them as folders become
// and stop being shared.
//
// The tree reads the session and the configuration through the references
// it is given; both must outlive it. The view is made as a child of the
// given parent and owns the model.
//
// REQUIRES: UI thread only.

#include <QObject>
#include <QString>

#include "outlook/messaging.h"
#include "ui/vst_model.h"

class Dialogs;
class FormStorage;
class QTreeView;
class QWidget;

class FolderTree : public QObject {
  Q_OBJECT
 public:
  static constexpr char kMarker[] = "EX";

  FolderTree(const outlook::RdoSession& session, FormStorage& config, Dialogs& dialogs, QWidget* parent);

  QTreeView* FoldersVST() const { return view_; }
  VstModel& Model() const { return *model_; }

  // Fills the empty tree with one node per store, in the collection's order.
  void LoadStores(const outlook::RdoStores& stores);
  // The calendars of a store's top level below node, each with its subtree.
  void LoadRCAFolders(VstNode* node, const outlook::RdoFolders& folders);
  // Every folder of the collection below node, with all its subfolders.
  void LoadRFolders(VstNode* node, const outlook::RdoFolders& folders);
  // Loads a store's folders on its first expansion; false when that failed
  // (the node must not open). Never throws.
  bool FoldersVSTExpanding(VstNode* node);
  // A check-box change by the user: refused, with the reason shown.
  bool FoldersVSTChecking(VstNode* node, bool checked);

  // Restores the marks below one top-level node from prefix +
  // "\CheckedFolders-" + GetMD5(its EntryID), falling back to the key of the
  // store's own EntryID when that key was never written.
  void ReadCheckedNodes(VstNode* top, const QString& prefix);
  // Saves the marks of every top-level node whose folders are loaded, under
  // its EntryID and, for a store whose node now carries its top folder's,
  // under the store's own as well.
  void WriteCheckedNodes(const QString& prefix);

  VstNode* FocusedNode() const;
  VstNode* FirstTopLevelNode() const;
  bool IsTopLevel(const VstNode* node) const { return node && node->Parent == model_->Root(); }
  // Marks or clears one node and repaints it.
  void SetChecked(VstNode* node, bool checked) { model_->SetChecked(node, checked); }
  // The first folder node with this EntryID (letter case ignored), or null.
  VstNode* FindFolder(const QString& entryId) const;
  void Clear() { model_->Clear(); }

 signals:
  // The focused node changed; null when none is focused.
  void FocusChanged(VstNode* node);

 private:
  VstNode* AddFolder(VstNode* parent, const outlook::RdoFolder& folder);
  void AddPlaceholder(VstNode* node);

  const outlook::RdoSession& session_;
  FormStorage& config_;
  Dialogs& dialogs_;
  QTreeView* view_;
  VstModel* model_;
  // The store being loaded: its expansion by the restore is not a new load.
  VstNode* loading_ = nullptr;
};
