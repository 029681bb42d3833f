#pragma once
// Item: one message of a folder (mail, appointment, post, ...) or of a
// message file.
//
// An item object holds the item's content in memory. Setters change only
// that copy; Save writes it (atomically, over the same file, so the entry
// identifier stays); Import replaces it. Delete, Send and Save act on disk
// at once. After Delete the object still answers from memory (the program
// reads an attachment's name after deleting its mail) but every operation
// on disk throws StoreError.
//
// REQUIRES: the UI thread; see session.h for lifetimes.

#include "standin/store/item_content.h"

#include <QDateTime>
#include <QString>

#include <memory>
#include <optional>

namespace vasnik {

class Folder;
class Session;
class Store;

class Item : public std::enable_shared_from_this<Item> {
 public:
  // Empty until the first Save of a new item, and for a message file.
  QString EntryID() const;
  QString MessageClass() const;
  QString Subject() const;
  void SetSubject(const QString& subject);
  QString Body() const;
  void SetBody(const QString& body);
  QString SenderName() const;
  QString SenderAddress() const;
  void SetSenderAddress(const QString& address);
  // A header field the store keeps without interpreting it (Date,
  // Return-Path, ...), letter case ignored; "" when the item has none.
  QString Header(const QString& name) const { return content_.Header(name); }
  void SetHeader(const QString& name, const QString& value) { content_.SetHeader(name, value); }
  // Null for an item of a message file.
  std::shared_ptr<Folder> Parent() const;
  // Null for an item of a message file; throws StoreError after Logoff.
  std::shared_ptr<Store> GetStore() const;
  // The message file an item was read from; empty for a folder's item.
  QString MessageFilePath() const;
  bool IsDeleted() const { return deleted_; }
  // The stored file's state: its modification time (nanoseconds since the
  // Unix epoch) and size; {0, -1} for an item that is not stored or gone.
  // Every write of the item changes it, whoever writes the file.
  struct FileState {
    qint64 modifiedNs = 0;
    qint64 size = -1;
  };
  FileState StoredState() const;
  const ItemContent& Content() const { return content_; }

  void Save();
  // flag: constants.h DeleteFlag. 0 takes the item out of its folder without
  // a copy in Deleted Items (it waits in the store's recoverable-items
  // directory for 14 days); 1 moves it to the store's Deleted Items (an item
  // already there is deleted for good); 2 deletes it for good. An item of a
  // message file deletes the file. Throws StoreError for another flag.
  void Delete(int flag);
  // Writes the item as it is in memory to path in the given format (only 3,
  // the message file, exists); replaces an existing file.
  void SaveAs(const QString& path, int format);
  // Replaces the content in memory with a message file's (format 3): all but
  // the message class, which stays the item's own. A calendar item given a
  // file without iCalendar text keeps its event, with the new subject and
  // body. Save writes the result.
  void Import(const QString& path, int format);
  // Queues the item in its store's Outbox (the transport sends it later):
  // sets the sender from the store's account and a Date and Message-ID, and
  // moves the item there; the object then is the Outbox item. Throws
  // StoreError without recipients or for a message file.
  void Send();

  // Attachments; index is 1-based.
  int AttachmentCount() const;
  const Attachment& AttachmentAt(int index) const;
  // Attaches a copy of the file (by value). displayName empty: the file's
  // name. Returns the new attachment's index.
  int AddAttachment(const QString& sourcePath, const QString& displayName = {});
  void RemoveAttachment(int index);
  // Writes the attachment's bytes to path, replacing a file there.
  void SaveAttachment(int index, const QString& path) const;

  // Recipients; index is 1-based.
  int RecipientCount() const;
  const Recipient& RecipientAt(int index) const;
  // "addr@example.org" or "Name <addr@example.org>", as a To recipient.
  int AddRecipient(const QString& address, int type = kRecipientTo);
  void RemoveRecipient(int index);
  // Marks every recipient with an SMTP address resolved; true when all are.
  bool ResolveAll();

  // Named text properties (local-only unless said otherwise).
  std::optional<QString> Property(const QString& name) const;
  void SetProperty(const QString& name, const QString& value, bool localOnly = true);

  // Calendar items: the whole iCalendar text and the event's times.
  bool IsCalendarItem() const { return content_.IsCalendar(); }
  QByteArray ICalendar() const { return content_.icalendar; }
  std::optional<QDateTime> Start() const;
  std::optional<QDateTime> End() const;
  // Throw StoreError for an item without iCalendar text.
  void SetStart(const QDateTime& start);
  void SetEnd(const QDateTime& end);

 private:
  friend class Folder;
  friend class Session;

  Item() = default;
  static std::shared_ptr<Item> InFolder(std::shared_ptr<Folder> folder, QString base,
                                        ItemContent content);
  static std::shared_ptr<Item> OfMessageFile(QString path, ItemContent content);
  void RequireStored(const char* operation) const;
  const Attachment& CheckedAttachment(int index) const;

  std::shared_ptr<Folder> folder_;
  QString base_;             // empty: not yet saved
  QString messageFilePath_;  // set for an item of a message file
  ItemContent content_;
  bool deleted_ = false;
};

// Reads a message file (format 3) into content; throws StoreError.
ItemContent ReadMessageFile(const QString& path);

}  // namespace vasnik
