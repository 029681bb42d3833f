#pragma once
// TMainForm: the controller. It owns every piece of shared state for the whole
// run — the storages, the lists, the timers, the windows' lists — and the
// classes that do the synchronisation work on that state.
//
// Every operation of the synchronisation keeps its name here as a member of a
// few lines that hands the work to its class: export to Exporter, packing
// and mailing to Packer, the intake to MailIntake, the import to Importer,
// the echo guard to EchoGuard (all in sync/), folder and item keys to
// FolderIdentity (storage/). The members' bodies are in app/: the shell in
// main_form.cpp, the session in session.cpp, the routing of store events in
// store_events.cpp, the forwarders in sync_members.cpp. doc/program_map.md
// follows one change through them.
//
// REQUIRES: a QApplication exists; every member runs on the main thread.

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

#include "app/log_file.h"
#include "outlook/com_events.h"
#include "outlook/messaging.h"
#include "storage/folder_identity.h"
#include "storage/sharing.h"
#include "storage/string_list.h"
#include "storage/xml_storage.h"
#include "sync/sync_host.h"
#include "ui/dialogs.h"
#include "ui/lists_host.h"

class QAction;
class QDateTime;
class QLabel;
class QMenu;
class QSplitter;
class QSystemTrayIcon;
class QTimer;
class QToolButton;
class QTreeView;
class FolderTree;
class SharingEditor;
struct VstNode;
class QWidget;
class AppInstances;
class EchoGuard;
class Exporter;
class Importer;
class MailIntake;
class Packer;
class Resync;
class ShareInvitation;
class TAboutForm;
struct RaisedException;

class TMainForm : public QMainWindow, private SyncHost, private ListsHost {
  Q_OBJECT
 public:
  // Builds the components, runs the single-instance guard and, for the first
  // copy, FormCreate. Check IsSecondInstance() and Terminated() afterwards.
  explicit TMainForm(const QStringList& arguments, QWidget* parent = nullptr);
  ~TMainForm() override;

  // Another copy already runs: this one has notified it and must end with
  // exit code 0 without any start-up work.
  bool IsSecondInstance() const { return secondInstance_; }
  // Start-up failed; the program ends.
  bool Terminated() const { return terminated_; }

  void SetAboutForm(TAboutForm* about) { aboutForm_ = about; }
  // The hidden application window; closing it ends the program.
  void SetBackgroundForm(QWidget* background) { backgroundForm_ = background; }

  // Runs one unit of work of an event or timer handler: whatever it raises
  // (already logged by the exception hook) goes to aAppEventsException.
  void Trap(const std::function<void()>& handler);

  // ---- Application shell -------------------------------------------------
  void FormCreate();
  void FormShow();
  void FormClose();
  void FormDestroy();
  void Exit1Click();
  void HideShowItemClick();
  void TrayIconDblClick();
  void aAppInstancesInstanceCreated(qint64 processId);
  void aAppEventsException(const std::exception* e);
  void zTimer2Timer();
  void SendButtonClick();
  void WebClick();
  void HelpClick();
  void AboutClick();
  void SendErrorReportClick();
  void LogException(const RaisedException& e);

  // ---- Messaging session (app/session.cpp) --------------------------------
  // Where the messaging library is loaded from: "Varnel/vasnik" under the
  // common files if that file exists, else under the application data.
  static QString LibraryLocation();
  // Loads the library, creates and logs on the session, reads OfficeVersion.
  // Throws whatever fails.
  void OpenSession();
  // Logs off (when logged on) and releases the session; never throws.
  void CloseSession();

  // ---- Store events (app/store_events.cpp) --------------------------------
  // Attaches one event sink to every store of the session, in store order.
  // The entry of a store whose sink cannot be made stays empty; a sink that
  // could not connect stays in its entry and delivers nothing. Never throws.
  void StartStoreEvents();
  // The sinks' OnEvent handler: a created, changed, copied-in or moved-in
  // message of a monitored folder is exported, a deleted or moved-out one
  // recorded as deleted, and a created update mail, in any folder, goes to
  // ProcessUpdateMail. Sender is the store that raised the event; ID is
  // not used. Never throws: a failure ends the handling of this one event.
  void HandleStoreEvent(const outlook::Variant& Sender, const QString& Event, int ID,
                        const outlook::TVariantArray& Params);
  // One sink per store of the session (an empty entry where it failed);
  // filled by StartStoreEvents, freed in FormDestroy.
  std::vector<std::unique_ptr<outlook::TComEvents>> REvents;

  // ---- The two lists (ui/) -------------------------------------------------
  // Each forwards to the list that does the work: FoldersTree for the
  // folder tree FoldersVST, SharingList for the sharing list ItemsVST.
  void LoadStores(const outlook::RdoStores& stores);
  bool FoldersVSTExpanding(VstNode* node);
  bool FoldersVSTChecking(VstNode* node, bool checked);
  void FoldersVSTFocusChanged(VstNode* node);
  void AddButtonClick();
  void RemoveButtonClick();
  static bool CheckEmail(const QString& address);
  void ReadCheckedNodes(VstNode* top, const QString& prefix);
  void WriteCheckedNodes(const QString& prefix);
  void ReadColumnWidth();
  void WriteColumnWidth();
  // Every modal dialog of the lists goes here; tests put theirs in.
  void SetDialogs(Dialogs* dialogs) { aDialogs.SetTarget(dialogs ? dialogs : &qtDialogs_); }

  // Shows a text in the status bar's one panel.
  void SetStatusText(const QString& text) override;
  QString StatusText() const;
  QString HintText() const;
  void SetHintText(const QString& text) override;
  // The settings panel's caption ("Folder Settings - " + path once a folder
  // is focused).
  QString ItemsPanelCaptionText() const override;
  void SetItemsPanelCaptionText(const QString& text) override;

  // ---- Configuration and folder identity (storage/) -----------------------
  // The members from here to the end of the intake forward to the classes
  // that do the work; their bodies are in app/sync_members.cpp.
  // Writes the "SharedFolders" section of a folder from the rows of ItemsVST,
  // in displayed order, and the settings panel's caption.
  void SaveFolderSettings(const QString& entryId);
  // The folder key: "END\Folders\" + folder id in user.uxm, else GetMD5 of it.
  QString FolderKey(const QString& folderEntryId) const;
  // The item key: folder id + "\" + item id in user.uxm, else GetMD5 of the item id.
  QString ItemKey(const QString& folderEntryId, const QString& itemEntryId) const;
  // The address a store's changes are sent under ("User" of info.xml).
  // Throws when the store does not answer.
  QString StoreOwnerAddress(const outlook::RdoStore& store) const;

  // ---- Change capture (Exporter) --------------------------------------------
  // A created or changed item of a monitored folder: its message file and
  // description into the folder's exchange directory, the mapping rows,
  // and the send timer armed. Update mails, "Dummy" items and the import's
  // own writes are skipped.
  void ExportItem(const outlook::RdoMail& message);
  // A deleted item of a monitored folder that another computer knows: its
  // key into "DeletedItems", its mapping rows removed, the timer armed.
  void RecordDeletion(const QString& itemEntryId, const QString& folderEntryId, const QString& user);

  // ---- Packing and mailing (Packer) -----------------------------------------
  // The packing pass, zTimer's handler.
  void zTimerTimer();
  // The archive writer completed volume n (from 1).
  void zZipRequestImage(int volume, const QString& volumeFileName);
  // Files (not directories, hidden ones included) in the directory matching the mask.
  static int CountFiles(const QString& directory, const QString& mask);
  static bool IsObjectActive(const QString& progId);
  void ExecuteSendReceiveButton(const outlook::OutlookNameSpace& nameSpace);

  // ---- Full resync (Resync) -------------------------------------------------
  // "Resync All": every item of the focused shared folder into its exchange
  // directory, with the progress window "Exporting Items" open and the main
  // window usable; the next packing pass sends the whole folder.
  void ResyncButtonClick();

  // ---- Update-mail intake and import (MailIntake, Importer) ----------------
  // zTimerSup's handler: every update mail in the default Inbox goes through
  // ProcessUpdateMail; the first failure ends the tick. While an import runs
  // a tick does nothing: the mails wait in the Inbox for the next one.
  void zTimerSupTimer();
  // Takes one update mail: its attachments into InboxDir, the mail deleted,
  // and once every volume of its package is there the package unpacked and
  // imported. The program's own outgoing mails and mails in Deleted Items are
  // left alone. A mail handed over while an import runs is remembered and
  // taken right after that import. Throws only when the guards, or reading
  // the identifiers of a mail to remember, fail.
  void ProcessUpdateMail(const outlook::RdoMail& message);
  // Applies the unpacked package directory D (InboxDir + folder key) to the
  // local folder mapped to its key, as far as the sender's rights on that
  // folder allow, then removes D. Never throws.
  void ImportPackage(const QString& packageDir);
  // The invitation (ShareInvitation): a package of a folder key that no
  // folder is mapped to yet. Asks the user, lets them pick the folder that
  // receives it and shares that folder back with the sender; null when the
  // user declines or cancels.
  outlook::RdoFolder AcceptShare(const QString& user, const QString& folderName, int defaultItemType,
                                 const QString& folderKey) override;
  // Whether an import is in progress (it yields to the message loop).
  bool Importing() const;

  // ---- Persistence ---------------------------------------------------------
  // config.xml and user.uxm reach the disk 100 ms after changes pause (one
  // write for a burst, at least one every 2 s while it lasts; a failed write
  // is retried), so a crash loses no sharing setting or mapping row.
  // Every code path that changes MonitoredFolders calls ScheduleSave too.
  void ScheduleSave() override;
  bool SavePending() const;
  void SaveNow() override;

  // ---- State (owned for the whole run) ------------------------------------
  outlook::RdoSession RSession;
  bool FirstShow = false;
  QString InboxDir;
  QString OutboxDir;
  StringList MonitoredFolders{true};
  StringList UpdatedItems{false};
  StringList DeletedItems{true};
  StringList ZipFileList{true};
  QString AppName;
  QString OfficeVersion;
  QString DataDir;
  // The settings files ("config.xml", "user.uxm") that could not be read at
  // start. While any is listed, update mails wait in the Inbox, changes are
  // not exported, and neither file is written.
  QStringList DamagedSettings;

  // ---- Components --------------------------------------------------------
  LogFile aLogFile;
  XmlStorage aXMLStorage{QStringLiteral("Configuration")};
  FormStorage aFormStorage{aXMLStorage, QStringLiteral("MainForm\\")};
  XmlStorage zEXML{QStringLiteral("Info")};
  XmlStorage zOXML{QStringLiteral("Info")};
  QTimer* zTimer = nullptr;
  QTimer* zTimerSup = nullptr;
  QTimer* zTimer2 = nullptr;
  QTimer* zSaveTimer = nullptr;
  QSystemTrayIcon* TrayIcon = nullptr;
  QMenu* bTrayMenu = nullptr;
  QMenu* bMenu = nullptr;
  QMenu* bPopup = nullptr;
  AppInstances* aAppInstances = nullptr;
  QtDialogs qtDialogs_{QStringLiteral("Lintrove")};
  DialogsSwitch aDialogs{&qtDialogs_};
  FolderTree* FoldersTree = nullptr;
  SharingEditor* SharingList = nullptr;
  QTreeView* FoldersVST = nullptr;
  QTreeView* ItemsVST = nullptr;
  QWidget* FoldersPanel = nullptr;
  QWidget* ItemsPanel = nullptr;
  QLabel* ItemsPanelCaption = nullptr;
  QSplitter* Splitter = nullptr;
  QLabel* Hints = nullptr;
  QLabel* StatusPanel = nullptr;
  QToolButton* AddButton = nullptr;
  QToolButton* RemoveButton = nullptr;
  QToolButton* SendButton = nullptr;
  QToolButton* ResyncButton = nullptr;
  QToolButton* HelpButton = nullptr;
  QAction* HideShowItem = nullptr;
  QAction* Exit1 = nullptr;

  // ---- Synchronisation (sync/), working on the state above ----------------
  FolderIdentity Identity{zEXML};
  SyncState Sync{RSession, aFormStorage, zEXML, zOXML, MonitoredFolders, ZipFileList, InboxDir, OutboxDir};
  std::unique_ptr<EchoGuard> aEchoGuard;
  std::unique_ptr<Exporter> aExporter;
  std::unique_ptr<Packer> aPacker;
  std::unique_ptr<Importer> aImporter;
  std::unique_ptr<MailIntake> aMailIntake;
  std::unique_ptr<Resync> aResync;
  std::unique_ptr<ShareInvitation> aShareInvitation;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void CreateComponents();
  // The synchronisation classes, once the timers exist.
  void CreateSyncComponents();
  // SyncHost
  void SetStatusTextWithTime(const QString& text) override;
  void Log(const QString& line) override;
  void RunLater(std::function<void()> work) override;
  QWidget* CreateToolBar();
  QWidget* CreatePanel(const QString& caption, QWidget* content, QLabel** captionLabel);
  void SaveWindowPlacement();
  void RestoreWindowPlacement();
  // Logs a settings file that could not be read and keeps a copy of it.
  void SettingsDamaged(const QString& file, const char* why);

  QStringList arguments_;
  TAboutForm* aboutForm_ = nullptr;
  QWidget* backgroundForm_ = nullptr;
  bool secondInstance_ = false;
  bool terminated_ = false;
  bool created_ = false;
  bool destroyed_ = false;
  bool placementRestored_ = false;
  bool monitoredLoaded_ = false;
  static constexpr int kSaveDelayMs = 100;
  static constexpr int kMaxSaveDelayMs = 2000;
  static constexpr int kSaveRetryMs = 5000;
  QElapsedTimer saveBurst_;
  bool configDirty_ = false;
  bool userDataDirty_ = false;
};

// Date and time in the user's short date and long time format, the time
// left out at exactly midnight.
QString FormatDateTime(const QDateTime& time);

// Creates the data directory and binds the log and the configuration to their
// files in it ("error.log" loaded when it exists, automatic saving on).
void CreateConfigFiles(const QString& directory, LogFile& log, XmlStorage& config);
