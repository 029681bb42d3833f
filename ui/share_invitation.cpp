#include "ui/share_invitation.h"

#include <QTreeView>
#include <stdexcept>

#include "storage/folder_identity.h"
#include "storage/sharing.h"
#include "storage/string_list.h"
#include "ui/dialogs.h"
#include "ui/folder_tree.h"
#include "ui/lists_host.h"
#include "ui/sharing_editor.h"

namespace {

const QString kTreeSection = QStringLiteral("FoldersVST");

}  // namespace

outlook::RdoFolder ShareInvitation::AcceptShare(const QString& user, const QString& folderName, int defaultItemType,
                                                const QString& folderKey) {
  try {
    if (!dialogs_.Confirm(window_, user + QStringLiteral(" would like to share ") + folderName +
                                       QStringLiteral(" folder with you.\r\nDo you accept?")))
      return {};
    dialogs_.ShowMessage(window_, QStringLiteral("Please select folder to save ") + folderName +
                                      QStringLiteral(" to.\r\nYou can also create a new folder to save it to."));
    const outlook::RdoFolder folder = dialogs_.PickFolder(session_, defaultItemType);
    if (folder.IsNull()) return {};

    const QString f = folder.EntryID();
    const QString s = folder.StoreID();
    identity_.MapFolder(folderKey, f, s);

    RefillTree(s);
    const SharingRow sender{true, user};  // every right "Allow"
    if (VstNode* node = folders_.FindFolder(f)) {
      // The focus change fills the list with the folder's own entries.
      folders_.FoldersVST()->setCurrentIndex(folders_.Model().IndexOf(node));
      // A section that could not be read stays as it is: writing the list
      // now would replace its entries with the sender's alone.
      if (!sharing_.Loaded() || folders_.FocusedNode() != node) throw std::runtime_error("sharing list not loaded");
      sharing_.AppendRow(sender);
      folders_.SetChecked(node, true);
      monitoredFolders_.Add(f);
      host_.ScheduleSave();
      sharing_.SaveFolderSettings(f);
    } else {
      // A folder the tree does not show (not below a calendar) is shared
      // all the same, so that changes travel both ways.
      std::vector<SharingRow> rows = ReadSharingRows(config_, f);
      rows.push_back(sender);
      monitoredFolders_.Add(f);
      host_.ScheduleSave();
      WriteSharingRows(config_, f, QStringLiteral("Folder Settings - ") + folder.FolderPath(), rows);
    }
    return folder;
  } catch (...) {
    // Logged by the exception hook; the package is not imported.
    return {};
  }
}

void ShareInvitation::RefillTree(const QString& storeId) {
  folders_.WriteCheckedNodes(kTreeSection);
  QTreeView* view = folders_.FoldersVST();
  view->setUpdatesEnabled(false);
  try {
    folders_.Clear();
    folders_.LoadStores(session_.Stores());
  } catch (...) {
    view->setUpdatesEnabled(true);
    throw;
  }
  view->setUpdatesEnabled(true);
  folders_.ReadCheckedNodes(folders_.FirstTopLevelNode(), kTreeSection);
  for (auto& top : folders_.Model().Root()->Children) {
    const bool sameStore = top->Data.EntryID.compare(storeId, Qt::CaseInsensitive) == 0 ||
                           top->StoreEntryID.compare(storeId, Qt::CaseInsensitive) == 0;
    if (sameStore) view->expand(folders_.Model().IndexOf(top.get()));
  }
}
