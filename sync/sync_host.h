#pragma once
// What the synchronisation classes share with the controller that owns them:
// the state they work on (SyncState, references to the controller's fields)
// and the few things only the controller can do (SyncHost).
//
// Everything here is borrowed: the controller owns it for the whole run and
// outlives every class that holds these references.
//
// REQUIRES: UI thread only.

#include <QString>
#include <functional>

#include "outlook/messaging.h"

class FormStorage;
class QTimer;
class StringList;
class XmlStorage;

struct SyncState {
  outlook::RdoSession& session;  // RSession
  FormStorage& config;           // aFormStorage: the sharing sections
  XmlStorage& userData;          // zEXML: "user.uxm"
  XmlStorage& packageInfo;       // zOXML: one "info.xml" at a time, never across a yield
  StringList& monitoredFolders;  // MonitoredFolders
  StringList& zipFileList;       // ZipFileList
  const QString& inboxDir;       // InboxDir, with a trailing "/"
  const QString& outboxDir;      // OutboxDir, with a trailing "/"
};

class SyncHost {
 public:
  virtual ~SyncHost() = default;
  // The status bar shows the text followed by the current date and time in
  // the user's format ("Items last exported on " + ...).
  virtual void SetStatusTextWithTime(const QString& text) = 0;
  virtual void SetStatusText(const QString& text) = 0;
  // Writes the settings and the mapping rows to disk now.
  virtual void SaveNow() = 0;
  // One line in the program's log.
  virtual void Log(const QString& line) = 0;
  // Runs the work on a later pass of the message loop, trapped like a handler.
  virtual void RunLater(std::function<void()> work) = 0;
  // The local folder that is to receive a package of a folder key no folder
  // is mapped to yet; null when there is none (the invitation declined).
  virtual outlook::RdoFolder AcceptShare(const QString& user, const QString& folderName, int defaultItemType,
                                         const QString& folderKey) = 0;
};

// Starts a timer that does not run; one that runs keeps its interval going,
// so a burst of requests leads to one tick.
void EnableTimer(QTimer* timer);
