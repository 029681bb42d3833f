#include "standin/store/folder_picker.h"

#include "standin/store/constants.h"
#include "standin/store/folder.h"
#include "standin/store/session.h"
#include "standin/store/store.h"
#include "standin/store/store_error.h"

#include <QDialogButtonBox>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace vasnik {

namespace {
constexpr int kEntryIdRole = Qt::UserRole;
constexpr int kIsStoreRole = Qt::UserRole + 1;

int DefaultFolderKindFor(int itemType) {
  switch (itemType) {
    case kItemAppointment: return kFolderCalendar;
    case kItemContact: return kFolderContacts;
    case kItemTask: return kFolderTasks;
    default: return kFolderInbox;
  }
}
}  // namespace

FolderPickerDialog::FolderPickerDialog(std::shared_ptr<Session> session, int defaultItemType,
                                       QWidget* parent)
    : QDialog(parent), session_(std::move(session)), defaultItemType_(defaultItemType) {
  setWindowTitle(tr("Select Folder"));
  tree_ = new QTreeWidget(this);
  tree_->setHeaderHidden(true);
  tree_->setColumnCount(1);
  newFolderButton_ = new QPushButton(tr("New Folder..."), this);
  buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons_->addButton(newFolderButton_, QDialogButtonBox::ActionRole);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tree_);
  layout->addWidget(buttons_);
  resize(360, 420);

  prompt_ = [](QWidget* owner) {
    return QInputDialog::getText(owner, tr("New Folder"), tr("Name of the new folder:"));
  };
  connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(newFolderButton_, &QPushButton::clicked, this, &FolderPickerDialog::NewFolderClicked);
  connect(tree_, &QTreeWidget::currentItemChanged, this, &FolderPickerDialog::UpdateButtons);
  connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this] {
    if (SelectedFolder()) accept();
  });

  Fill();
  try {
    SelectFolder(session_->GetDefaultFolder(DefaultFolderKindFor(defaultItemType_))->EntryID());
  } catch (const StoreError&) {
    // No such default folder: nothing is preselected.
  }
  UpdateButtons();
}

QPushButton* FolderPickerDialog::OkButton() const { return buttons_->button(QDialogButtonBox::Ok); }

void FolderPickerDialog::Fill() {
  tree_->clear();
  for (int i = 1; i <= session_->StoreCount(); ++i) {
    try {
      std::shared_ptr<Store> store = session_->StoreAt(i);
      auto* node = new QTreeWidgetItem(tree_, {store->Name()});
      std::shared_ptr<Folder> root = store->RootFolder();
      node->setData(0, kEntryIdRole, root->EntryID());
      node->setData(0, kIsStoreRole, true);
      AddFolders(node, root);
      node->setExpanded(true);
    } catch (const StoreError& error) {
      LogLine(QStringLiteral("folder picker: %1").arg(error.Message()));
    }
  }
}

void FolderPickerDialog::AddFolders(QTreeWidgetItem* node, const std::shared_ptr<Folder>& folder) {
  for (const std::shared_ptr<Folder>& sub : folder->Folders()) {
    auto* child = new QTreeWidgetItem(node, {sub->Name()});
    child->setData(0, kEntryIdRole, sub->EntryID());
    child->setData(0, kIsStoreRole, false);
    AddFolders(child, sub);
  }
}

QTreeWidgetItem* FolderPickerDialog::FindNode(const QString& entryId) const {
  for (QTreeWidgetItemIterator it(tree_); *it; ++it)
    if ((*it)->data(0, kEntryIdRole).toString() == entryId) return *it;
  return nullptr;
}

bool FolderPickerDialog::SelectFolder(const QString& entryId) {
  QTreeWidgetItem* node = FindNode(entryId);
  if (!node) return false;
  tree_->setCurrentItem(node);
  return true;
}

std::shared_ptr<Folder> FolderPickerDialog::SelectedFolder() const {
  QTreeWidgetItem* node = tree_->currentItem();
  if (!node || node->data(0, kIsStoreRole).toBool()) return nullptr;
  try {
    return session_->GetFolderFromID(node->data(0, kEntryIdRole).toString());
  } catch (const StoreError&) {
    return nullptr;  // removed behind the dialog's back
  }
}

std::shared_ptr<Folder> FolderPickerDialog::CreateFolder(const QString& name) {
  QTreeWidgetItem* node = tree_->currentItem();
  if (!node) throw StoreError(QStringLiteral("select the folder that is to hold the new folder"));
  std::shared_ptr<Folder> parent = session_->GetFolderFromID(node->data(0, kEntryIdRole).toString());
  std::shared_ptr<Folder> folder = parent->CreateFolder(name, defaultItemType_);
  auto* child = new QTreeWidgetItem(node, {folder->Name()});
  child->setData(0, kEntryIdRole, folder->EntryID());
  child->setData(0, kIsStoreRole, false);
  node->setExpanded(true);
  tree_->setCurrentItem(child);
  return folder;
}

void FolderPickerDialog::SetNamePrompt(std::function<QString(QWidget*)> prompt) {
  prompt_ = std::move(prompt);
}

void FolderPickerDialog::NewFolderClicked() {
  const QString name = prompt_ ? prompt_(this).trimmed() : QString();
  if (name.isEmpty()) return;
  try {
    CreateFolder(name);
  } catch (const StoreError& error) {
    QMessageBox::warning(this, tr("New Folder"), error.Message());
  }
}

void FolderPickerDialog::UpdateButtons() {
  OkButton()->setEnabled(SelectedFolder() != nullptr);
  newFolderButton_->setEnabled(tree_->currentItem() != nullptr);
}

std::shared_ptr<Folder> PickFolder(const std::shared_ptr<Session>& session, int defaultItemType,
                                   QWidget* parent) {
  FolderPickerDialog dialog(session, defaultItemType, parent);
  if (dialog.exec() != QDialog::Accepted) return nullptr;
  return dialog.SelectedFolder();
}

}  // namespace vasnik
