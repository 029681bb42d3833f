#pragma once
// The folder picker: a modal dialog with the profile's stores and folders in
// a tree, OK, Cancel and "New Folder...", which creates a subfolder of the
// selected folder.
//
// The default item type given to the picker is the type of the folders that
// "New Folder..." creates, and selects the matching default folder at the
// start (the Calendar for 1); any folder can be chosen. A store's top node
// cannot be chosen (it is not a folder the program can share) but can hold
// a new folder.
//
// Kept apart from the engine so the engine needs no widgets. Tests drive the
// dialog object directly (QT_QPA_PLATFORM=offscreen): SelectFolder,
// CreateFolder and SetNamePrompt are the seam.
//
// REQUIRES: the UI thread, a QApplication, a logged-on session.

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>

class QDialogButtonBox;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace vasnik {

class Folder;
class Session;

class FolderPickerDialog : public QDialog {
  Q_OBJECT

 public:
  FolderPickerDialog(std::shared_ptr<Session> session, int defaultItemType, QWidget* parent = nullptr);

  QTreeWidget* Tree() const { return tree_; }
  QPushButton* NewFolderButton() const { return newFolderButton_; }
  QPushButton* OkButton() const;

  // The folder of the selected node; null for a store's top node or nothing.
  std::shared_ptr<Folder> SelectedFolder() const;
  // Selects the node of that folder (store top nodes included); false when
  // the tree has none.
  bool SelectFolder(const QString& entryId);
  // What "New Folder..." does once it has a name: a subfolder of the
  // selected node with the picker's default item type, shown and selected.
  // Throws StoreError (name taken, nothing selected, ...).
  std::shared_ptr<Folder> CreateFolder(const QString& name);
  // Replaces the prompt for the new folder's name (a QInputDialog); an empty
  // answer cancels.
  void SetNamePrompt(std::function<QString(QWidget* parent)> prompt);

 private:
  void Fill();
  void AddFolders(QTreeWidgetItem* node, const std::shared_ptr<Folder>& folder);
  void NewFolderClicked();
  void UpdateButtons();
  QTreeWidgetItem* FindNode(const QString& entryId) const;

  std::shared_ptr<Session> session_;
  int defaultItemType_;
  QTreeWidget* tree_ = nullptr;
  QPushButton* newFolderButton_ = nullptr;
  QDialogButtonBox* buttons_ = nullptr;
  std::function<QString(QWidget*)> prompt_;
};

// Shows the picker modally; the chosen folder, or null when cancelled.
std::shared_ptr<Folder> PickFolder(const std::shared_ptr<Session>& session, int defaultItemType,
                                   QWidget* parent = nullptr);

}  // namespace vasnik
