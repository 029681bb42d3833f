#pragma once
// SharingEditor: the sharing list ItemsVST — one row per sharing entry of
// the folder focused in the folder tree — and the actions on it: Add,
// Remove, ticking an entry on and off, editing its rights in place, sorting
// by a column. Every change is written at once by SaveFolderSettings; the
// first entry makes the folder shared (check mark, MonitoredFolders), the
// removal of the last one stops sharing it.
//
// The list is the one copy of the focused folder's entries. While no folder
// is loaded (a store or nothing focused, or the folder could not be read)
// the list is empty or incomplete and nothing is written: Add, Remove,
// ticks and edits do nothing. Loaded() tells which state holds.
//
// The references given must outlive the editor. The view is made as a child
// of the given parent and owns the model and the rights editor.
//
// REQUIRES: UI thread only.

#include <QObject>
#include <QString>
#include <vector>

#include "outlook/messaging.h"
#include "storage/sharing.h"
#include "ui/vst_model.h"

class Dialogs;
class FolderTree;
class FormStorage;
class ListsHost;
class QAbstractItemDelegate;
class QTreeView;
class QWidget;
class StringList;

class SharingEditor : public QObject {
  Q_OBJECT
 public:
  static const QString kRightsHint;

  SharingEditor(FolderTree& folders, const outlook::RdoSession& session, FormStorage& config,
                StringList& monitoredFolders, Dialogs& dialogs, ListsHost& host, QWidget* parent);

  QTreeView* ItemsVST() const { return view_; }
  VstModel& Model() const { return *model_; }
  bool Loaded() const { return loaded_; }

  // The folder tree's focus moved: that folder's entries fill the list.
  void FoldersVSTFocusChanged(VstNode* node);
  void AddButtonClick();
  void RemoveButtonClick();
  // A click in a cell: a rights cell of the focused row opens its editor.
  void ItemsVSTColumnClick(int column);
  // The in-place editor of a column: the rights drop-down for 1 to 3.
  QAbstractItemDelegate* ItemsVSTCreateEditor(int column);
  void ItemsVSTNewText(VstNode* row, int column, const QString& text);
  void ItemsVSTChecked(VstNode* row);
  void ItemsVSTHeaderClick(int column) { FVSTHeaderClick(column); }
  // Stable sort by the column in the one current direction, then the
  // direction flips.
  void FVSTHeaderClick(int column);

  // Writes the folder's section from the rows, in displayed order.
  void SaveFolderSettings(const QString& entryId);
  // The rows as entries, in displayed order.
  std::vector<SharingRow> Rows() const;
  // Appends a row for the entry; returns it.
  VstNode* AppendRow(const SharingRow& row);

  // Column widths: "ItemsVST\Column<i>Width", the current width by default.
  void ReadColumnWidth();
  void WriteColumnWidth();

 signals:
  // Whether a folder's entries are loaded, so that Remove can act.
  void LoadedChanged(bool loaded);

 private:
  void SetLoaded(bool loaded);
  // The focused folder whose entries the list holds; null when none is.
  VstNode* LoadedFolder() const;

  FolderTree& folders_;
  const outlook::RdoSession& session_;
  FormStorage& config_;
  StringList& monitoredFolders_;
  Dialogs& dialogs_;
  ListsHost& host_;
  QTreeView* view_;
  VstModel* model_;
  QAbstractItemDelegate* rightsEditor_ = nullptr;
  bool loaded_ = false;
  bool ascending_ = true;
};
