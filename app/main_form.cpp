#include "app/main_form.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/about_form.h"
#include "app/app_icon.h"
#include "app/exception_hook.h"
#include "app/product.h"
#include "app/single_instance.h"
#include "platform/system.h"
#include "sync/echo_guard.h"
#include "sync/incoming/importer.h"
#include "sync/incoming/mail_intake.h"
#include "sync/outgoing/exporter.h"
#include "sync/outgoing/packer.h"
#include "sync/outgoing/resync.h"
#include "sync/update_mail.h"
#include "ui/check_email.h"
#include "ui/folder_tree.h"
#include "ui/share_invitation.h"
#include "ui/sharing_editor.h"

namespace {

const QColor kCaptionColor(96, 141, 187);

const QString kStartHint = QStringLiteral(
    "To sync follow these example steps : <b>1) </b>Select folder in \"Sync Folder\". <b>2) </b>Click \"Add\" to "
    "add a user. <b>3) </b>Click \"Resync All\" to send all old items. Skip this step if you only want to sync new "
    "items. <b>4) </b>Modify access rights if needed.");

QIcon ThemeIcon(const char* name, QStyle::StandardPixmap fallback) {
  return QIcon::fromTheme(QString::fromLatin1(name), QApplication::style()->standardIcon(fallback));
}

QString Rect4(int a, int b, int c, int d) { return QStringLiteral("%1,%2,%3,%4").arg(a).arg(b).arg(c).arg(d); }

}  // namespace

namespace {

// The messaging library reports what it passes over (a calendar file it
// cannot read, a mail the server refused) as warnings with its own prefix;
// they go into the program's log as well as where they went before.
constexpr char kLibraryPrefix[] = "vasnik: ";
LogFile* gLibraryLog = nullptr;
QtMessageHandler gPreviousHandler = nullptr;

void ForwardLibraryMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (gPreviousHandler) gPreviousHandler(type, context, message);
  if ((type != QtWarningMsg && type != QtCriticalMsg) || !message.startsWith(QLatin1String(kLibraryPrefix))) return;
  const QString line = message.mid(int(sizeof kLibraryPrefix) - 1);
  // The log belongs to the UI thread.
  QMetaObject::invokeMethod(qApp, [line] {
    if (gLibraryLog) gLibraryLog->Add(QStringLiteral("Messaging library: ") + line);
  }, Qt::QueuedConnection);
}

}  // namespace

QString FormatDateTime(const QDateTime& time) { return LogFile::FormatTime(time, QLocale::system()); }

void CreateConfigFiles(const QString& directory, LogFile& log, XmlStorage& config) {
  QDir().mkpath(directory);
  log.SetFileName(directory + QStringLiteral("/error.log"));
  log.SetAutoSave(true);
  config.SetFileName(directory + QStringLiteral("/config.xml"));
}

// ---------------------------------------------------------------------------
// Construction

TMainForm::TMainForm(const QStringList& arguments, QWidget* parent) : QMainWindow(parent), arguments_(arguments) {
  setObjectName(QStringLiteral("MainForm"));
  CreateComponents();

  // The guard runs once the components exist and before any start-up work.
  aAppInstances = new AppInstances(this);
  if (!aAppInstances->Register(arguments_)) {
    secondInstance_ = true;
    return;
  }
  connect(aAppInstances, &AppInstances::InstanceCreated, this,
          [this](qint64 pid, const QStringList&) { aAppInstancesInstanceCreated(pid); });
  FormCreate();
}

TMainForm::~TMainForm() {
  if (created_ && !destroyed_) FormDestroy();
  // The members are destroyed after this body: aXMLStorage writes
  // "config.xml" then, after every other shut-down step.
}

void TMainForm::CreateComponents() {
  setWindowTitle(product::kCaption);
  setWindowIcon(AppIcon());
  setFont(QFont(QStringLiteral("Tahoma"), 8));
  resize(600, 480);
  setMinimumSize(600, 480);

  zTimer = new QTimer(this);
  zTimer->setInterval(10000);
  connect(zTimer, &QTimer::timeout, this, [this] { Trap([this] { zTimerTimer(); }); });
  zTimerSup = new QTimer(this);
  zTimerSup->setInterval(20000);
  connect(zTimerSup, &QTimer::timeout, this, [this] { Trap([this] { zTimerSupTimer(); }); });
  zTimerSup->start();  // on from creation, never switched
  zTimer2 = new QTimer(this);
  zTimer2->setInterval(1000);
  connect(zTimer2, &QTimer::timeout, this, [this] { Trap([this] { zTimer2Timer(); }); });
  zSaveTimer = new QTimer(this);
  zSaveTimer->setSingleShot(true);
  connect(zSaveTimer, &QTimer::timeout, this, [this] {
    // An import writes its rows when it ends, before its package goes:
    // rewriting the growing file meanwhile buys nothing.
    if (aImporter && aImporter->Importing()) {
      zSaveTimer->start(kSaveDelayMs);
      return;
    }
    Trap([this] { SaveNow(); });
  });

  // Help menu.
  bMenu = new QMenu(this);
  connect(bMenu->addAction(QStringLiteral("Lintrove on the Web")), &QAction::triggered, this,
          [this] { Trap([this] { WebClick(); }); });
  connect(bMenu->addAction(QStringLiteral("Help")), &QAction::triggered, this, [this] { Trap([this] { HelpClick(); }); });
  bMenu->addSeparator();
  connect(bMenu->addAction(QStringLiteral("Send Error Report...")), &QAction::triggered, this,
          [this] { Trap([this] { SendErrorReportClick(); }); });
  connect(bMenu->addAction(QStringLiteral("About...")), &QAction::triggered, this,
          [this] { Trap([this] { AboutClick(); }); });

  // Context menu of both lists.
  bPopup = new QMenu(this);
  connect(bPopup->addAction(QStringLiteral("Add User")), &QAction::triggered, this,
          [this] { Trap([this] { AddButtonClick(); }); });
  QAction* removeUser = bPopup->addAction(QStringLiteral("Remove User"));
  connect(removeUser, &QAction::triggered, this, [this] { Trap([this] { RemoveButtonClick(); }); });

  // Lists: they read the session and the configuration through references
  // to the members, which are bound later in FormCreate.
  FoldersTree = new FolderTree(RSession, aFormStorage, aDialogs, this);
  SharingList = new SharingEditor(*FoldersTree, RSession, aFormStorage, MonitoredFolders, aDialogs, *this, this);
  FoldersVST = FoldersTree->FoldersVST();
  ItemsVST = SharingList->ItemsVST();
  for (QTreeView* list : {FoldersVST, ItemsVST}) {
    QPalette palette = list->palette();
    palette.setColor(QPalette::Highlight, kCaptionColor);
    palette.setColor(QPalette::HighlightedText, Qt::white);
    list->setPalette(palette);
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list, &QWidget::customContextMenuRequested, this,
            [this, list](const QPoint& pos) { bPopup->popup(list->viewport()->mapToGlobal(pos)); });
  }

  FoldersPanel = CreatePanel(QStringLiteral("Sync Folders"), FoldersVST, nullptr);
  FoldersPanel->setObjectName(QStringLiteral("FoldersPanel"));
  ItemsPanel = CreatePanel(QStringLiteral("Folder Settings"), ItemsVST, &ItemsPanelCaption);
  ItemsPanel->setObjectName(QStringLiteral("ItemsPanel"));
  Splitter = new QSplitter(Qt::Horizontal);
  Splitter->addWidget(FoldersPanel);
  Splitter->addWidget(ItemsPanel);
  Splitter->setStretchFactor(1, 1);
  Splitter->setChildrenCollapsible(false);
  Splitter->setSizes({240, 360});

  Hints = new QLabel;
  Hints->setObjectName(QStringLiteral("Hints"));
  Hints->setTextFormat(Qt::RichText);
  Hints->setWordWrap(true);
  // 32 pixels high, or as high as its text needs where the font is wider
  // than the one the layout was drawn for.
  Hints->setMinimumHeight(32);
  Hints->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
  Hints->setContentsMargins(4, 0, 4, 0);

  auto* central = new QWidget;
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(CreateToolBar());
  connect(AddButton, &QToolButton::clicked, this, [this] { Trap([this] { AddButtonClick(); }); });
  connect(RemoveButton, &QToolButton::clicked, this, [this] { Trap([this] { RemoveButtonClick(); }); });
  // Remove acts only on the entries of a loaded folder.
  connect(SharingList, &SharingEditor::LoadedChanged, this, [this, removeUser](bool loaded) {
    RemoveButton->setEnabled(loaded);
    removeUser->setEnabled(loaded);
  });
  RemoveButton->setEnabled(false);
  removeUser->setEnabled(false);
  layout->addWidget(Splitter, 1);
  layout->addWidget(Hints);
  setCentralWidget(central);

  StatusPanel = new QLabel;
  StatusPanel->setObjectName(QStringLiteral("StatusPanel"));
  statusBar()->addWidget(StatusPanel, 1);
  statusBar()->setSizeGripEnabled(true);

  // Tray icon and its menu.
  bTrayMenu = new QMenu(this);
  HideShowItem = bTrayMenu->addAction(QStringLiteral("Hide/Show Lintrove"));
  QFont bold = HideShowItem->font();
  bold.setBold(true);
  HideShowItem->setFont(bold);
  bTrayMenu->addSeparator();
  Exit1 = bTrayMenu->addAction(QStringLiteral("Exit"));
  connect(HideShowItem, &QAction::triggered, this, [this] { Trap([this] { HideShowItemClick(); }); });
  connect(Exit1, &QAction::triggered, this, [this] { Trap([this] { Exit1Click(); }); });
  TrayIcon = new QSystemTrayIcon(AppIcon(), this);
  TrayIcon->setToolTip(product::kAppName);
  TrayIcon->setContextMenu(bTrayMenu);
  connect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) Trap([this] { TrayIconDblClick(); });
  });
  TrayIcon->show();

  CreateSyncComponents();
}

void TMainForm::CreateSyncComponents() {
  SyncHost& host = *this;
  aEchoGuard = std::make_unique<EchoGuard>(UpdatedItems, zTimer2);
  aExporter = std::make_unique<Exporter>(Sync, Identity, *aEchoGuard, zTimer, host);
  aPacker = std::make_unique<Packer>(Sync, Identity, zTimer, host, update_mail::Body(product::kWebUrl));
  aImporter = std::make_unique<Importer>(Sync, Identity, *aEchoGuard, host);
  aMailIntake = std::make_unique<MailIntake>(Sync, *aImporter, host);
  aResync = std::make_unique<Resync>(Sync, Identity, zTimer, host);
  aShareInvitation = std::make_unique<ShareInvitation>(RSession, *FoldersTree, *SharingList, Identity, aFormStorage,
                                                       MonitoredFolders, aDialogs, static_cast<ListsHost&>(*this), this);
}

QWidget* TMainForm::CreateToolBar() {
  auto* bar = new QFrame;
  bar->setObjectName(QStringLiteral("ToolBar"));
  bar->setFixedHeight(81);
  bar->setFrameShape(QFrame::StyledPanel);
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(4, 2, 4, 2);

  auto button = [this](const QString& text, const QIcon& icon) {
    auto* b = new QToolButton;
    b->setText(text);
    b->setIcon(icon);
    b->setIconSize(QSize(32, 32));
    b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    b->setAutoRaise(true);
    b->setMinimumWidth(64);
    return b;
  };
  auto group = [row](const QString& caption, std::initializer_list<QToolButton*> buttons) {
    auto* box = new QWidget;
    auto* v = new QVBoxLayout(box);
    v->setContentsMargins(2, 0, 2, 0);
    v->setSpacing(0);
    auto* h = new QHBoxLayout;
    h->setSpacing(2);
    for (QToolButton* b : buttons) h->addWidget(b);
    v->addLayout(h, 1);
    auto* label = new QLabel(caption);
    label->setAlignment(Qt::AlignCenter);
    label->setEnabled(false);
    v->addWidget(label);
    if (row->count() > 0) {
      auto* line = new QFrame;
      line->setFrameShape(QFrame::VLine);
      line->setFrameShadow(QFrame::Sunken);
      row->addWidget(line);
    }
    row->addWidget(box);
  };

  AddButton = button(QStringLiteral("Add"), ThemeIcon("list-add", QStyle::SP_FileDialogNewFolder));
  AddButton->setObjectName(QStringLiteral("AddButton"));
  RemoveButton = button(QStringLiteral("Remove"), ThemeIcon("list-remove", QStyle::SP_TrashIcon));
  RemoveButton->setObjectName(QStringLiteral("RemoveButton"));
  SendButton = button(QStringLiteral("Send Receive"), ThemeIcon("mail-send-receive", QStyle::SP_BrowserReload));
  SendButton->setObjectName(QStringLiteral("SendButton"));
  ResyncButton = button(QStringLiteral("Resync All"), ThemeIcon("view-refresh", QStyle::SP_DialogResetButton));
  ResyncButton->setObjectName(QStringLiteral("ResyncButton"));
  HelpButton = button(QStringLiteral("Help"), ThemeIcon("help-browser", QStyle::SP_DialogHelpButton));
  HelpButton->setObjectName(QStringLiteral("HelpButton"));
  HelpButton->setMenu(bMenu);
  HelpButton->setPopupMode(QToolButton::InstantPopup);
  connect(SendButton, &QToolButton::clicked, this, [this] { Trap([this] { SendButtonClick(); }); });
  connect(ResyncButton, &QToolButton::clicked, this, [this] { Trap([this] { ResyncButtonClick(); }); });

  group(QStringLiteral("User Management"), {AddButton, RemoveButton});
  group(QStringLiteral("Synchronization"), {SendButton, ResyncButton});
  group(QStringLiteral("Help"), {HelpButton});
  row->addStretch(1);
  return bar;
}

QWidget* TMainForm::CreatePanel(const QString& caption, QWidget* content, QLabel** captionLabel) {
  auto* panel = new QWidget;
  auto* v = new QVBoxLayout(panel);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(0);
  auto* band = new QLabel(caption);
  band->setAutoFillBackground(true);
  QPalette palette = band->palette();
  palette.setColor(QPalette::Window, kCaptionColor);
  palette.setColor(QPalette::WindowText, Qt::white);
  band->setPalette(palette);
  QFont font = band->font();
  font.setBold(true);
  band->setFont(font);
  band->setContentsMargins(6, 3, 6, 3);
  v->addWidget(band);
  v->addWidget(content, 1);
  if (captionLabel) *captionLabel = band;
  return panel;
}

// ---------------------------------------------------------------------------
// Start-up

void TMainForm::FormCreate() {
  AppName = product::kAppName;
  SetExceptionNotifier([this](const RaisedException& e) { LogException(e); });
  created_ = true;  // from here on FormDestroy must run, if only to unregister

  DataDir = platform::AppDataDir() + QStringLiteral("/Varnel/") + AppName;
  gLibraryLog = &aLogFile;
  gPreviousHandler = qInstallMessageHandler(ForwardLibraryMessages);
  try {
    CreateConfigFiles(DataDir, aLogFile, aXMLStorage);
  } catch (const XmlStorageError& e) {
    SettingsDamaged(DataDir + QStringLiteral("/config.xml"), e.what());
  }

  try {
    OpenSession();
  } catch (...) {
    // Logged by the hook. Under the companion's file name the companion takes
    // over silently; otherwise the user is told. Either way the program ends
    // here: no tree, no directories, no lists, no event sinks.
    RSession = outlook::RdoSession();
    const QString running = QFileInfo(platform::ExecutablePath()).fileName();
    if (running == QStringLiteral("Hollin") + platform::ExecutableSuffix())
      platform::ShellOpen(QStringLiteral("Hollin-bit") + platform::ExecutableSuffix());
    else
      QMessageBox::critical(this, AppName, QStringLiteral("Microsoft Office Outlook is not available."));
    terminated_ = true;
    return;
  }

  FoldersVST->setUpdatesEnabled(false);
  Trap([this] { LoadStores(RSession.Stores()); });
  FoldersVST->setUpdatesEnabled(true);

  InboxDir = DataDir + QStringLiteral("/Inbox/");
  OutboxDir = DataDir + QStringLiteral("/Outbox/");
  QDir().mkpath(InboxDir);
  QDir().mkpath(OutboxDir);

  try {
    zEXML.SetFileName(DataDir + QStringLiteral("/user.uxm"));
  } catch (const XmlStorageError& e) {
    SettingsDamaged(DataDir + QStringLiteral("/user.uxm"), e.what());
  }
  if (!DamagedSettings.isEmpty()) {
    // Which folders are shared, with whom, and under which keys is not
    // known: a package taken now could go to the wrong folder or under
    // the wrong rights, and a change could go out under the wrong key.
    // Update mails wait in the Inbox; nothing is written over the files.
    aMailIntake->SetHeld(true);
    aExporter->SetHeld(true);
    aPacker->SetHeld(true);
    SetStatusText(QStringLiteral("Sharing is paused: %1 could not be read (see error.log)")
                      .arg(QFileInfo(DamagedSettings.first()).fileName()));
  }

  MonitoredFolders.Clear();
  UpdatedItems.Clear();
  DeletedItems.Clear();
  ZipFileList.Clear();
  aXMLStorage.SetOnChange([this] {
    configDirty_ = true;
    ScheduleSave();
  });
  zEXML.SetOnChange([this] {
    userDataDirty_ = true;
    ScheduleSave();
  });

  FirstShow = true;
  FormShow();

  // What an earlier run left unfinished in the Inbox directory, once the
  // session is open and the store events come in.
  Trap([this] { aMailIntake->FinishLeftovers(); });
  Trap([this] { aPacker->FinishLeftovers(); });
  // Changes made to the shared folders while the program was not running.
  for (const QString& folder : MonitoredFolders.Items()) Trap([&] { aExporter->CatchUp(folder); });

  if (arguments_.value(1) == QStringLiteral("gui")) show();
}

void TMainForm::FormShow() {
  if (!FirstShow) return;
  Trap([this] { ReadCheckedNodes(FoldersTree->FirstTopLevelNode(), QStringLiteral("FoldersVST")); });
  Trap([this] { ReadColumnWidth(); });
  MonitoredFolders.SetCommaText(aFormStorage.ReadString(QStringLiteral("MonitoredFolders"), QString()));
  monitoredLoaded_ = true;
  StartStoreEvents();
  Hints->setText(kStartHint);
  FirstShow = false;
}

void TMainForm::showEvent(QShowEvent* event) {
  FormShow();
  if (!placementRestored_) {
    placementRestored_ = true;
    RestoreWindowPlacement();
  }
  QMainWindow::showEvent(event);
}

// ---------------------------------------------------------------------------
// Closing and shut-down

void TMainForm::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();  // hides the window; the program keeps running in the tray
}

void TMainForm::FormClose() {
  aFormStorage.WriteString(QStringLiteral("MonitoredFolders"), MonitoredFolders.CommaText());
  WriteColumnWidth();
  WriteCheckedNodes(QStringLiteral("FoldersVST"));
  if (placementRestored_) SaveWindowPlacement();
}

void TMainForm::Exit1Click() {
  if (isVisible())
    close();
  else
    FormClose();
  if (backgroundForm_)
    backgroundForm_->close();
  else
    QCoreApplication::quit();
}

void TMainForm::SettingsDamaged(const QString& file, const char* why) {
  DamagedSettings.append(file);
  const QString copy = file + QStringLiteral(".damaged");
  if (!QFile::exists(copy)) QFile::copy(file, copy);
  aLogFile.Add(QStringLiteral("The settings file \"%1\" could not be read (%2). A copy lies at \"%3\". Until it is "
                              "repaired and the program started again, update mails wait in the Inbox, changes are "
                              "not sent, and nothing is written to the settings.")
                   .arg(file, QString::fromUtf8(why), copy));
}

void TMainForm::FormDestroy() {
  destroyed_ = true;
  zSaveTimer->stop();
  aXMLStorage.SetOnChange(nullptr);
  zEXML.SetOnChange(nullptr);
  MonitoredFolders.Clear();
  UpdatedItems.Clear();
  DeletedItems.Clear();
  ZipFileList.Clear();
  REvents.clear();  // each sink disconnects itself from its store
  if (placementRestored_) SaveWindowPlacement();
  if (DamagedSettings.isEmpty())
    zEXML.Flush();
  else
    aXMLStorage.SetFileName(QString());  // unbound: never written over what it could not read
  zEXML.SetFileName(QString());
  CloseSession();
  qInstallMessageHandler(gPreviousHandler);
  gLibraryLog = nullptr;
  ClearExceptionNotifier();
}

// ---------------------------------------------------------------------------
// Persistence between orderly exits

void TMainForm::ScheduleSave() {
  if (destroyed_) return;
  // Written once changes have paused for a moment, so a burst is one write;
  // a burst that goes on is still written at least every two seconds.
  if (!zSaveTimer->isActive()) saveBurst_.start();
  if (saveBurst_.elapsed() < kMaxSaveDelayMs) zSaveTimer->start(kSaveDelayMs);
}

bool TMainForm::SavePending() const { return zSaveTimer->isActive(); }

void TMainForm::SaveNow() {
  zSaveTimer->stop();
  if (!DamagedSettings.isEmpty()) return;
  // The document on disk is the one an orderly exit would write: the list
  // of monitored folders, the column widths and the check marks as the next
  // close would save them.
  if (monitoredLoaded_) {
    aFormStorage.WriteString(QStringLiteral("MonitoredFolders"), MonitoredFolders.CommaText());
    WriteColumnWidth();
    WriteCheckedNodes(QStringLiteral("FoldersVST"));
  }
  zSaveTimer->stop();  // the write above needs no second save
  if (configDirty_ && aXMLStorage.Flush()) configDirty_ = false;
  if (userDataDirty_ && zEXML.Flush()) userDataDirty_ = false;
  // A file that could not be written (a full disk, say) is tried again.
  if ((configDirty_ || userDataDirty_) && !destroyed_) {
    saveBurst_.start();
    zSaveTimer->start(kSaveRetryMs);
  }
}

// ---------------------------------------------------------------------------
// Window placement: kept in the configuration under the main window's section.

void TMainForm::SaveWindowPlacement() {
  const QRect r = normalGeometry().isValid() ? normalGeometry() : geometry();
  const QSize desktop = screen() ? screen()->size() : QSize();
  const QString size = QStringLiteral("(%1x%2)").arg(desktop.width()).arg(desktop.height());
  const int showCmd = isMaximized() ? 3 : isMinimized() ? 2 : 1;
  aFormStorage.WriteInteger(QStringLiteral("FormVersion"), 0);
  aFormStorage.WriteInteger(QStringLiteral("ShowCmd"), showCmd);
  aFormStorage.WriteInteger(QStringLiteral("Flags"), 0);
  aFormStorage.WriteInteger(QStringLiteral("PixelsPerInch"), logicalDpiY());
  const QString minMax = Rect4(-1, -1, -1, -1);
  const QString norm = Rect4(r.left(), r.top(), r.left() + r.width(), r.top() + r.height());
  aFormStorage.WriteString(QStringLiteral("MinMaxPos"), minMax);
  aFormStorage.WriteString(QStringLiteral("MinMaxPos") + size, minMax);
  aFormStorage.WriteString(QStringLiteral("NormPos"), norm);
  aFormStorage.WriteString(QStringLiteral("NormPos") + size, norm);
  aFormStorage.WriteInteger(QStringLiteral("FoldersPanel_Width"), FoldersPanel->width());
}

void TMainForm::RestoreWindowPlacement() {
  const QStringList norm = aFormStorage.ReadString(QStringLiteral("NormPos"), QString()).split(u',');
  if (norm.size() == 4) {
    bool ok[4];
    const int l = norm[0].toInt(&ok[0]), t = norm[1].toInt(&ok[1]), r = norm[2].toInt(&ok[2]),
              b = norm[3].toInt(&ok[3]);
    if (ok[0] && ok[1] && ok[2] && ok[3] && r > l && b > t) setGeometry(l, t, r - l, b - t);
  }
  const int panel = aFormStorage.ReadInteger(QStringLiteral("FoldersPanel_Width"), -1);
  if (panel > 0) {
    const int total = Splitter->width() > 0 ? Splitter->width() : width();
    Splitter->setSizes({panel, std::max(1, total - panel)});
  }
  if (aFormStorage.ReadInteger(QStringLiteral("ShowCmd"), 1) == 3)
    QTimer::singleShot(0, this, [this] { setWindowState(windowState() | Qt::WindowMaximized); });
}

// ---------------------------------------------------------------------------
// Small handlers

void TMainForm::HideShowItemClick() {
  if (isVisible())
    close();
  else
    show();
}

void TMainForm::TrayIconDblClick() { HideShowItemClick(); }

void TMainForm::aAppInstancesInstanceCreated(qint64 /*processId*/) {
  show();
  raise();
  activateWindow();
}

void TMainForm::aAppEventsException(const std::exception* /*e*/) {
  // Deliberately empty: the exception hook has logged it, and the program
  // never shows an error dialog of its own.
}

void TMainForm::SendButtonClick() { EnableTimer(zTimer); }

void TMainForm::WebClick() { platform::ShellOpen(product::kWebUrl); }

void TMainForm::HelpClick() { platform::ShellOpen(product::kHelpUrl); }

void TMainForm::AboutClick() {
  if (aboutForm_) aboutForm_->exec();
}

void TMainForm::SendErrorReportClick() {
  if (aboutForm_) aboutForm_->SendErrorReportButtonClick();
}

void TMainForm::LogException(const RaisedException& e) { ::LogException(aLogFile, e); }

void TMainForm::SetStatusText(const QString& text) { StatusPanel->setText(text); }

void TMainForm::SetStatusTextWithTime(const QString& text) {
  SetStatusText(text + FormatDateTime(QDateTime::currentDateTime()));
}

void TMainForm::Log(const QString& line) { aLogFile.Add(line); }

void TMainForm::RunLater(std::function<void()> work) {
  QTimer::singleShot(0, this, [this, work = std::move(work)] { Trap(work); });
}

QString TMainForm::StatusText() const { return StatusPanel->text(); }

QString TMainForm::HintText() const { return Hints->text(); }

void TMainForm::SetHintText(const QString& text) { Hints->setText(text); }

QString TMainForm::ItemsPanelCaptionText() const { return ItemsPanelCaption->text(); }

void TMainForm::SetItemsPanelCaptionText(const QString& text) { ItemsPanelCaption->setText(text); }

void TMainForm::Trap(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    aAppEventsException(&e);
  } catch (...) {
    aAppEventsException(nullptr);
  }
}

// ---------------------------------------------------------------------------
// The two lists: the work is done in ui/.

void TMainForm::LoadStores(const outlook::RdoStores& stores) { FoldersTree->LoadStores(stores); }

bool TMainForm::FoldersVSTExpanding(VstNode* node) { return FoldersTree->FoldersVSTExpanding(node); }

bool TMainForm::FoldersVSTChecking(VstNode* node, bool checked) { return FoldersTree->FoldersVSTChecking(node, checked); }

void TMainForm::FoldersVSTFocusChanged(VstNode* node) { SharingList->FoldersVSTFocusChanged(node); }

void TMainForm::AddButtonClick() { SharingList->AddButtonClick(); }

void TMainForm::RemoveButtonClick() { SharingList->RemoveButtonClick(); }

bool TMainForm::CheckEmail(const QString& address) { return ::CheckEmail(address); }

void TMainForm::ReadCheckedNodes(VstNode* top, const QString& prefix) { FoldersTree->ReadCheckedNodes(top, prefix); }

void TMainForm::WriteCheckedNodes(const QString& prefix) { FoldersTree->WriteCheckedNodes(prefix); }

void TMainForm::ReadColumnWidth() { SharingList->ReadColumnWidth(); }

void TMainForm::WriteColumnWidth() { SharingList->WriteColumnWidth(); }
