#include "ui/sharing_editor.h"

#include <QHeaderView>
#include <QTreeView>

#include "storage/string_list.h"
#include "storage/xml_storage.h"
#include "ui/check_email.h"
#include "ui/dialogs.h"
#include "ui/folder_tree.h"
#include "ui/guard.h"
#include "ui/lists_host.h"
#include "ui/string_edit_link.h"

const QString SharingEditor::kRightsHint = QStringLiteral(
    "Modify access rights if needed. <b>Modify </b>allows to modify/delete existing items. <b>Read </b>allows to "
    "read items. <b>Write </b>allows to write new items.");

namespace {

constexpr int kDesignWidths[] = {184, 50, 50, 50};

QString ColumnWidthKey(int column) { return QStringLiteral("ItemsVST\\Column%1Width").arg(column); }

}  // namespace

SharingEditor::SharingEditor(FolderTree& folders, const outlook::RdoSession& session, FormStorage& config,
                             StringList& monitoredFolders, Dialogs& dialogs, ListsHost& host, QWidget* parent)
    : QObject(parent),
      folders_(folders),
      session_(session),
      config_(config),
      monitoredFolders_(monitoredFolders),
      dialogs_(dialogs),
      host_(host) {
  view_ = new QTreeView(parent);
  view_->setObjectName(QStringLiteral("ItemsVST"));
  view_->setRootIsDecorated(false);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setSelectionMode(QAbstractItemView::SingleSelection);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->setAllColumnsShowFocus(false);
  model_ = new VstModel({QStringLiteral("User email"), QStringLiteral("Modify"), QStringLiteral("Read"),
                         QStringLiteral("Write")},
                        view_);
  model_->SetEditableColumns({1, 2, 3});
  model_->checking = [this](VstNode*, bool) { return loaded_; };
  model_->checked = [this](VstNode* row) { Guarded([&] { ItemsVSTChecked(row); }); };
  model_->newText = [this](VstNode* row, int column, const QString& text) {
    Guarded([&] { ItemsVSTNewText(row, column, text); });
  };
  view_->setModel(model_);
  for (int c = 0; c < 4; ++c) {
    view_->header()->resizeSection(c, kDesignWidths[c]);
    if (QAbstractItemDelegate* editor = ItemsVSTCreateEditor(c)) view_->setItemDelegateForColumn(c, editor);
  }
  view_->header()->setStretchLastSection(false);
  view_->header()->setSectionsClickable(true);
  view_->header()->setSectionsMovable(true);
  view_->header()->setSortIndicatorShown(false);
  connect(view_->header(), &QHeaderView::sectionClicked, this, [this](int c) { Guarded([&] { ItemsVSTHeaderClick(c); }); });
  connect(view_, &QAbstractItemView::clicked, this, [this](const QModelIndex& i) {
    Guarded([&] { ItemsVSTColumnClick(i.column()); });
  });
  connect(&folders_, &FolderTree::FocusChanged, this, [this](VstNode* node) {
    Guarded([&] { FoldersVSTFocusChanged(node); });
  });
  SetLoaded(false);
}

void SharingEditor::SetLoaded(bool loaded) {
  loaded_ = loaded;
  emit LoadedChanged(loaded);
}

VstNode* SharingEditor::LoadedFolder() const {
  VstNode* f = folders_.FocusedNode();
  return loaded_ && f && !folders_.IsTopLevel(f) ? f : nullptr;
}

void SharingEditor::FoldersVSTFocusChanged(VstNode* node) {
  // Whatever happens below, the rows shown are no longer the entries of a
  // folder that the actions could write back.
  SetLoaded(false);
  model_->Clear();
  if (!node || folders_.IsTopLevel(node)) {
    host_.SetItemsPanelCaptionText(QString());
    return;
  }
  const outlook::RdoFolder folder = session_.GetFolderFromID(node->Data.EntryID, node->Data.StoreID);
  host_.SetItemsPanelCaptionText(QStringLiteral("Folder Settings - ") + folder.FolderPath());
  // An unreadable section (edited outside) leaves the list empty and not
  // loaded, so that no action writes a part of it back.
  for (const SharingRow& row : ReadSharingRows(config_, node->Data.EntryID)) AppendRow(row);
  SetLoaded(true);
}

void SharingEditor::AddButtonClick() {
  VstNode* f = folders_.FocusedNode();
  if (!f || folders_.IsTopLevel(f)) {
    dialogs_.ShowMessage(view_->window(), QStringLiteral("You can not share top Outlook folder. Select a subfolder to share."));
  } else if (loaded_) {
    const QString entryId = f->Data.EntryID;
    const std::optional<QString> address =
        dialogs_.InputQuery(view_->window(), QStringLiteral("Add User"),
                            QStringLiteral("Add email address to share the ") + f->Data.Subject + QStringLiteral(" with"),
                            QString());
    // While the prompt was open the tree may have been refilled or the
    // focus moved: the entry goes only to the folder it was typed for.
    f = LoadedFolder();
    if (address && CheckEmail(*address) && f && f->Data.EntryID == entryId) {
      SharingRow row;
      row.email = *address;
      AppendRow(row);
      folders_.SetChecked(f, true);
      monitoredFolders_.Add(entryId);
      host_.ScheduleSave();
      SaveFolderSettings(entryId);
    }
  }
  host_.SetHintText(kRightsHint);
}

void SharingEditor::RemoveButtonClick() {
  VstNode* f = LoadedFolder();
  VstNode* r = model_->NodeOf(view_->currentIndex());
  if (!f || !r) return;
  model_->DeleteNode(r);
  SaveFolderSettings(f->Data.EntryID);
  if (model_->Root()->Children.empty()) {
    folders_.SetChecked(f, false);
    monitoredFolders_.Remove(f->Data.EntryID);
    host_.ScheduleSave();
  }
}

void SharingEditor::ItemsVSTColumnClick(int column) {
  const QModelIndex current = view_->currentIndex();
  if (loaded_ && current.isValid() && column >= 1 && column <= 3) view_->edit(current.siblingAtColumn(column));
  host_.SetHintText(kRightsHint);
}

QAbstractItemDelegate* SharingEditor::ItemsVSTCreateEditor(int column) {
  if (column < 1 || column > 3) return nullptr;
  if (!rightsEditor_) rightsEditor_ = new TStringEditLink(view_);
  return rightsEditor_;
}

void SharingEditor::ItemsVSTNewText(VstNode* row, int column, const QString& text) {
  switch (column) {
    case 1: row->Data.Folder = text; break;
    case 2: row->Data.EntryID = text; break;
    case 3: row->Data.Restore = text; break;
    default: break;  // the address is not changed in place
  }
  if (VstNode* f = LoadedFolder()) SaveFolderSettings(f->Data.EntryID);
}

void SharingEditor::ItemsVSTChecked(VstNode* /*row*/) {
  if (VstNode* f = LoadedFolder()) SaveFolderSettings(f->Data.EntryID);
}

void SharingEditor::FVSTHeaderClick(int column) {
  model_->SortRows(column, ascending_);
  ascending_ = !ascending_;
}

void SharingEditor::SaveFolderSettings(const QString& entryId) {
  WriteSharingRows(config_, entryId, host_.ItemsPanelCaptionText(), Rows());
}

std::vector<SharingRow> SharingEditor::Rows() const {
  std::vector<SharingRow> rows;
  for (const auto& node : model_->Root()->Children)
    rows.push_back(SharingRow{node->Checked, node->Data.Subject, node->Data.Folder, node->Data.EntryID,
                              node->Data.Restore});
  return rows;
}

VstNode* SharingEditor::AppendRow(const SharingRow& row) {
  TTreeData data;
  data.Subject = row.email;
  data.Folder = row.modify;
  data.EntryID = row.read;
  data.Restore = row.write;
  VstNode* node = model_->AddChild(model_->Root(), data, true);
  model_->SetChecked(node, row.enabled);
  return node;
}

void SharingEditor::ReadColumnWidth() {
  QHeaderView* header = view_->header();
  for (int c = 0; c < model_->columnCount(); ++c)
    header->resizeSection(c, config_.ReadInteger(ColumnWidthKey(c), header->sectionSize(c)));
}

void SharingEditor::WriteColumnWidth() {
  QHeaderView* header = view_->header();
  for (int c = 0; c < model_->columnCount(); ++c) config_.WriteInteger(ColumnWidthKey(c), header->sectionSize(c));
}
