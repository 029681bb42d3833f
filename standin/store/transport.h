#pragma once
// The mail transport of the stand-in library: submits the mails that Send
// queued in the Outbox folders of a session's stores, over SMTP, to the
// server the profile names for each store (smtp_client.h). Settings, wire
// form and guarantees are in doc/vasnik_transport.md.
//
// Queue. The Outbox is a Maildir and is the queue: every item file in its
// cur/ or new/ waits to be submitted — whoever put it there. A run takes
// them in file-name order (the order they were queued in). A mail the
// server accepted moves, file and all, to the store's Sent Items (the
// session's default Sent Items for a store without one), so it keeps every
// local property there. A mail that was not accepted stays in the Outbox
// and a log line (store_error.h LogLine) says why; the next run tries it
// again. Runs happen on SubmitQueue (the namespace's Send/Receive) and on a
// periodic retry timer.
//
// In the background. SubmitQueue only starts a run and returns at once: the
// UI thread reads the queued mails into their wire form, then a worker
// thread talks SMTP. What the server's answers change in the store — the
// move into Sent Items, the log lines — is handed back to the UI thread
// through its event loop (the engine and its store events are
// single-threaded). A SubmitQueue during a run is remembered and starts one
// more run when this one ends, so a mail queued meanwhile is not left to the
// retry timer.
//
// Exactly once. A mail the server accepted is recorded in the Outbox's
// journal (".vasnik-submitted", one base name a line) by the worker, before
// it is moved; a mail in the journal is never submitted again, only moved.
// A run holds a lock file in the Outbox (".vasnik-submit.lock") from its
// start to its end, so two processes on one profile never submit one queue
// at the same time, and one transport runs one run at a time. The one
// window SMTP itself leaves open — the connection breaks after the server
// took the data but before its answer arrived — can still give a second
// copy; it never loses one.
//
// What goes out (WireMail): the mail form of the item without its
// local-only named properties (the field "Varnel" among them) and without
// a Bcc field, each attachment named by its display name, CR LF
// throughout.
//
// Bounded. Each attempt is bounded by the server's connect and transfer
// timeouts, and a run stops at the first failure of the connection itself,
// so a dead server costs one connect timeout per run, not one per mail.
// Shutdown (at Logoff, or when the transport goes) cuts the transfer in
// flight within about a second and waits for the worker; what the server
// had accepted by then is journalled and moved before it returns.
//
// Offline. While the profile says Offline=true nothing is submitted, by
// SubmitQueue or by the timer; the mails wait.
//
// REQUIRES: the UI thread, with its event loop running for a run to end;
// the session stays logged on until Shutdown.

#include "standin/store/item_content.h"
#include "standin/store/smtp_client.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>

class QObject;
class QTimer;

namespace vasnik {

class Folder;
class Session;
class Store;
struct ProfileSettings;

// The transport's part of profile.ini: [SMTP] and the SMTP* keys of the
// [Store<N>] sections.
struct TransportSettings {
  int retrySeconds = 60;  // the periodic retry; 0 turns it off
  SmtpServer defaults;    // [SMTP]
  // Stores with a server of their own (SMTPHost in their section), by
  // section name. A store's own server takes none of the [SMTP] connection
  // keys, so credentials never go to a server they were not written for.
  std::map<QString, SmtpServer> stores;

  const SmtpServer& ForStore(const QString& section) const;
};

// Reads the settings from <profile directory>/profile.ini. Throws
// StoreError naming the file and the key for a value out of range (Port,
// Security, RetrySeconds, the timeouts).
TransportSettings LoadTransportSettings(const ProfileSettings& profile);

// A mail as it goes over the wire.
struct WireMail {
  QString sender;          // MAIL FROM
  QStringList recipients;  // RCPT TO: To, Cc and Bcc, in the item's order
  QByteArray data;         // the message, CR LF throughout, ending in CR LF
};

// The wire form of a queued item. fallbackSender: the envelope sender and
// From of a mail that has none. Throws StoreError when the mail has no
// recipient or a recipient's address is not an SMTP address.
WireMail MakeWireMail(const ItemContent& queued, const QString& fallbackSender,
                      const QString& fallbackSenderName = {});

// Line ends as SMTP wants them: CR LF stays, a lone LF or CR becomes CR LF,
// and the text ends with CR LF.
QByteArray ToCrLf(const QByteArray& text);

class Transport {
 public:
  // Reads the settings (LoadTransportSettings; throws StoreError) and, when
  // a Qt application object exists, starts the periodic retry.
  // REQUIRES: session logged on.
  explicit Transport(std::shared_ptr<Session> session);
  // Shutdown.
  ~Transport();
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  const TransportSettings& Settings() const { return settings_; }

  struct Result {
    int submitted = 0;  // accepted by the server in this run
    int failed = 0;     // tried and not accepted (they wait)
    int waiting = 0;    // still in the Outboxes after the run
  };
  // Starts one run over the Outbox of every store of the session and
  // returns at once; true when a run started or will follow the one going
  // on. Does nothing while offline (LastResult then counts what waits).
  // Failures of single mails are logged, not thrown; throws StoreError
  // only when the session has logged off.
  bool SubmitQueue();
  // A run is going on (its worker, or its answers not yet applied).
  bool Running() const { return run_ != nullptr || again_; }
  // What the last finished run did.
  const Result& LastResult() const { return last_; }
  // The mails queued in the Outboxes now (journalled ones included).
  int QueuedCount() const;
  // Stops the retry timer, cuts a run in flight (about a second at most),
  // applies what it achieved and refuses further runs. Called at Logoff;
  // idempotent.
  void Shutdown();

 private:
  struct Outbox {
    std::shared_ptr<Store> store;
    std::shared_ptr<Folder> folder;
    QString storeSection;
  };
  struct Run;
  std::vector<Outbox> Outboxes() const;
  void PrepareOutbox(const Outbox& outbox, Run* run);
  void MoveToSent(const Outbox& outbox, const QString& path);
  void ApplyEvents();
  void FinishRun();
  void OnTimer();

  std::shared_ptr<Session> session_;
  TransportSettings settings_;
  std::unique_ptr<QTimer> timer_;
  std::unique_ptr<QObject> context_;  // receives the worker's notices on the UI thread
  std::shared_ptr<Run> run_;
  Result last_;
  bool again_ = false;
  bool stopped_ = false;
};

}  // namespace vasnik
