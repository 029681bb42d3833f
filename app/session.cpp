// The controller's messaging session: opened at start-up, closed at shut-down.
#include <QFileInfo>

#include "app/main_form.h"
#include "outlook/redemption_loader.h"
#include "platform/system.h"

QString TMainForm::LibraryLocation() {
  // The shared copy under the common files wins; the per-user location is
  // taken without looking, so a missing file fails in the loader with its path.
  const QString name = QStringLiteral("/Varnel/vasnik") + platform::ModuleSuffix();
  const QString common = platform::CommonFilesDir() + name;
  if (QFileInfo::exists(common)) return common;
  return platform::AppDataDir() + name;
}

void TMainForm::OpenSession() {
  outlook::TRedemptionLoader& loader = outlook::LoaderInstance();
  loader.SetDllLocation32Bit(LibraryLocation());
  RSession = outlook::RdoSession(loader.new_RDOSession());
  RSession.Logon();
  OfficeVersion = RSession.OutlookVersion();
}

void TMainForm::CloseSession() {
  try {
    // The library has no other closing call worth making when the session
    // is not logged on: releasing it is enough.
    if (!RSession.IsNull() && RSession.LoggedOn()) RSession.Logoff();
  } catch (...) {
    // Logged by the hook; the session is released whatever happens.
  }
  RSession = outlook::RdoSession();
}
