// The controller's synchronisation members: each hands its work to the class
// that does it, so the names stay where a reader of the controller looks.
#include "app/main_form.h"
#include "sync/echo_guard.h"
#include "sync/incoming/importer.h"
#include "sync/incoming/mail_intake.h"
#include "sync/outgoing/exporter.h"
#include "sync/outgoing/packer.h"
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

outlook::RdoFolder TMainForm::AcceptShare(const QString& user, const QString& /*folderName*/,
                                          int /*defaultItemType*/, const QString& folderKey) {
  // No folder receives a package of an unknown key: it is treated as a
  // declined invitation.
  aLogFile.Add(QStringLiteral("A package of the folder \"%1\" from \"%2\" has no local folder; it is not imported")
                   .arg(folderKey, user));
  return outlook::RdoFolder();
}
