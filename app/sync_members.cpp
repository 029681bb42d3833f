// The controller's synchronisation members: each hands its work to the class
// that does it, so the names stay where a reader of the controller looks.
#include "app/main_form.h"
#include "sync/echo_guard.h"
#include "sync/incoming/importer.h"
#include "sync/incoming/mail_intake.h"
#include "sync/outgoing/exporter.h"
#include "sync/outgoing/packer.h"
#include "sync/outgoing/resync.h"
#include "ui/folder_tree.h"
#include "ui/share_invitation.h"
#include "ui/sharing_editor.h"

void TMainForm::SaveFolderSettings(const QString& entryId) {
  SharingList->SaveFolderSettings(entryId);
}

QString TMainForm::FolderKey(const QString& folderEntryId) const { return Identity.FolderKey(folderEntryId); }

QString TMainForm::ItemKey(const QString& folderEntryId, const QString& itemEntryId) const {
  return Identity.ItemKey(folderEntryId, itemEntryId);
}

QString TMainForm::StoreOwnerAddress(const outlook::RdoStore& store) const {
  return ::StoreOwnerAddress(RSession, store);
}

void TMainForm::ExportItem(const outlook::RdoMail& message) { aExporter->ExportItem(message); }

void TMainForm::RecordDeletion(const QString& itemEntryId, const QString& folderEntryId, const QString& user) {
  aExporter->RecordDeletion(itemEntryId, folderEntryId, user);
}

void TMainForm::zTimerTimer() { aPacker->zTimerTimer(); }

void TMainForm::zZipRequestImage(int volume, const QString& volumeFileName) {
  aPacker->zZipRequestImage(volume, volumeFileName);
}

int TMainForm::CountFiles(const QString& directory, const QString& mask) {
  return Packer::CountFiles(directory, mask);
}

bool TMainForm::IsObjectActive(const QString& progId) { return Packer::IsObjectActive(progId); }

void TMainForm::ExecuteSendReceiveButton(const outlook::OutlookNameSpace& nameSpace) {
  Packer::ExecuteSendReceiveButton(nameSpace);
}

void TMainForm::zTimerSupTimer() { aMailIntake->zTimerSupTimer(); }

void TMainForm::ProcessUpdateMail(const outlook::RdoMail& message) { aMailIntake->ProcessUpdateMail(message); }

void TMainForm::ImportPackage(const QString& packageDir) { aImporter->ImportPackage(packageDir); }

bool TMainForm::Importing() const { return aImporter->Importing(); }

void TMainForm::zTimer2Timer() { aEchoGuard->Expire(); }

outlook::RdoFolder TMainForm::AcceptShare(const QString& user, const QString& folderName, int defaultItemType,
                                          const QString& folderKey) {
  return aShareInvitation->AcceptShare(user, folderName, defaultItemType, folderKey);
}

namespace {

// The resync's view of the progress window the dialogs made.
class ResyncWindow : public Resync::Progress {
 public:
  explicit ResyncWindow(std::unique_ptr<ProgressWindow> window) : window_(std::move(window)) {}
  void Show(int maximum, const QString& text) override { window_->Show(maximum, text); }
  void StepIt() override { window_->StepIt(); }
  bool Canceled() const override { return window_->Canceled(); }
  void Hide() override { window_->Hide(); }

 private:
  std::unique_ptr<ProgressWindow> window_;
};

}  // namespace

void TMainForm::ResyncButtonClick() {
  if (aResync->Running()) return;
  const VstNode* node = FoldersTree->FocusedNode();
  if (!node || !node->Checked) {
    aDialogs.ShowMessage(this, QStringLiteral("Please highlight folder to Resync first."));
    return;
  }
  // Copies: the tree may be refilled while the resync yields.
  const QString folderEntryId = node->Data.EntryID;
  const QString storeId = node->Data.StoreID;
  ResyncWindow window(aDialogs.CreateProgress(this, QStringLiteral("Exporting Items")));
  aResync->Run(folderEntryId, storeId, window);
}
