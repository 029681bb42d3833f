#include "standin/store/item.h"

#include "standin/store/constants.h"
#include "standin/store/file_ops.h"
#include "standin/store/folder.h"
#include "standin/store/ical_codec.h"
#include "standin/store/mime_codec.h"
#include "standin/store/session.h"
#include "standin/store/store.h"
#include "standin/store/store_error.h"

#include <QDateTime>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QUuid>

#include <sys/stat.h>
#include <QFile>

namespace vasnik {

namespace {
void RequireFormat(int format) {
  if (format != kMessageFileFormat)
    throw StoreError(QStringLiteral("message-file format %1 is not supported (only %2)")
                         .arg(format)
                         .arg(kMessageFileFormat));
}

// The content as the message-file form writes it.
ItemContent ForMessageFile(const ItemContent& content) {
  ItemContent out = content;
  if (out.IsCalendar()) out.icalendar = ical::Synced(out, false);
  return out;
}
}  // namespace

ItemContent ReadMessageFile(const QString& path) {
  // A program reads a message file for its class and then imports it: the
  // file read last is kept, and read again only when it changed.
  struct Last {
    QString path;
    struct stat info {};
    ItemContent content;
  };
  static Last last;
  const QString absolute = QFileInfo(path).absoluteFilePath();
  struct stat info {};
  const bool known = ::stat(QFile::encodeName(absolute).constData(), &info) == 0;
  if (known && absolute == last.path && info.st_dev == last.info.st_dev && info.st_ino == last.info.st_ino &&
      info.st_size == last.info.st_size && info.st_mtim.tv_sec == last.info.st_mtim.tv_sec &&
      info.st_mtim.tv_nsec == last.info.st_mtim.tv_nsec)
    return last.content;
  ItemContent content = mime::Read(files::ReadFile(path), true, path);
  if (known) last = {absolute, info, content};
  return content;
}

std::shared_ptr<Item> Item::InFolder(std::shared_ptr<Folder> folder, QString base, ItemContent content) {
  std::shared_ptr<Item> item(new Item());
  item->folder_ = std::move(folder);
  item->base_ = std::move(base);
  item->content_ = std::move(content);
  return item;
}

std::shared_ptr<Item> Item::OfMessageFile(QString path, ItemContent content) {
  std::shared_ptr<Item> item(new Item());
  item->messageFilePath_ = std::move(path);
  item->content_ = std::move(content);
  return item;
}

QString Item::EntryID() const {
  return folder_ && !base_.isEmpty() ? folder_->ItemEntryId(base_) : QString();
}

QString Item::MessageClass() const { return content_.messageClass; }
QString Item::Subject() const { return content_.subject; }
void Item::SetSubject(const QString& subject) { content_.subject = subject; }
QString Item::Body() const { return content_.body; }
void Item::SetBody(const QString& body) { content_.body = body; }
QString Item::SenderName() const { return content_.senderName; }
QString Item::SenderAddress() const { return content_.senderAddress; }
void Item::SetSenderAddress(const QString& address) { content_.senderAddress = address; }
std::shared_ptr<Folder> Item::Parent() const { return folder_; }
std::shared_ptr<Store> Item::GetStore() const { return folder_ ? folder_->GetStore() : nullptr; }
QString Item::MessageFilePath() const { return messageFilePath_; }

Item::FileState Item::StoredState() const {
  const QString path = !messageFilePath_.isEmpty() ? messageFilePath_
                       : folder_ && !base_.isEmpty() ? folder_->Locate(base_)
                                                     : QString();
  struct stat st {};
  if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0) return {};
  return {qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, qint64(st.st_size)};
}

void Item::RequireStored(const char* operation) const {
  if (deleted_)
    throw StoreError(QStringLiteral("cannot %1 the item \"%2\": it has been deleted")
                         .arg(QLatin1String(operation), content_.subject));
}

void Item::Save() {
  RequireStored("save");
  if (!messageFilePath_.isEmpty()) {
    files::WriteFile(messageFilePath_, mime::Write(ForMessageFile(content_), true));
    return;
  }
  base_ = folder_->WriteItem(base_, &content_);
}

void Item::Delete(int flag) {
  RequireStored("delete");
  if (flag != kDeleteSoft && flag != kDeleteMoveToDeleted && flag != kDeleteHard)
    throw StoreError(QStringLiteral("%1 is not a delete flag (0, 1 or 2)").arg(flag));
  if (!messageFilePath_.isEmpty()) {
    files::RemoveFile(messageFilePath_);
  } else if (!base_.isEmpty()) {
    std::shared_ptr<Store> store = folder_->GetStore();
    if (flag == kDeleteSoft) {
      folder_->SoftRemoveItem(base_);
    } else if (flag == kDeleteHard) {
      folder_->RemoveItem(base_);
    } else {
      std::shared_ptr<Folder> deletedItems = store->GetDefaultFolder(kFolderDeletedItems);
      if (deletedItems == folder_)
        folder_->RemoveItem(base_);  // deleting in Deleted Items deletes for good
      else
        folder_->MoveItemTo(base_, deletedItems);
    }
  }
  deleted_ = true;
}

void Item::SaveAs(const QString& path, int format) {
  RequireFormat(format);
  files::WriteFile(QFileInfo(path).absoluteFilePath(), mime::Write(ForMessageFile(content_), true));
}

void Item::Import(const QString& path, int format) {
  RequireFormat(format);
  RequireStored("import into");
  ItemContent imported = ReadMessageFile(path);
  imported.messageClass = content_.messageClass;
  if (!imported.IsCalendar() && content_.IsCalendar()) imported.icalendar = content_.icalendar;
  content_ = std::move(imported);
}

void Item::Send() {
  RequireStored("send");
  if (!folder_) throw StoreError(QStringLiteral("an item of a message file cannot be sent"));
  if (content_.recipients.empty())
    throw StoreError(QStringLiteral("the message \"%1\" has no recipients").arg(content_.subject));
  std::shared_ptr<Store> store = folder_->GetStore();
  std::shared_ptr<Folder> outbox;
  try {
    outbox = store->GetDefaultFolder(kFolderOutbox);
  } catch (const StoreError&) {
    outbox = store->GetSession()->GetDefaultFolder(kFolderOutbox);
  }
  content_.senderAddress = store->SenderAddress();
  content_.senderName = store->GetSession()->CurrentUserName();
  content_.SetHeader(QStringLiteral("Date"), mime::FormatDate(QDateTime::currentDateTime()));
  if (content_.Header(QStringLiteral("Message-ID")).isEmpty()) {
    QString domain = content_.senderAddress.section(u'@', 1);
    if (domain.isEmpty()) domain = QStringLiteral("localhost");
    content_.SetHeader(QStringLiteral("Message-ID"),
                       u'<' + QUuid::createUuid().toString(QUuid::WithoutBraces) + u'@' + domain + u'>');
  }
  // The queued copy is written before the old file goes, so a failure never
  // loses the message.
  const QString queued = outbox->WriteItem(QString(), &content_);
  if (!base_.isEmpty()) folder_->RemoveItem(base_);
  folder_ = outbox;
  base_ = queued;
}

int Item::AttachmentCount() const { return int(content_.attachments.size()); }

const Attachment& Item::CheckedAttachment(int index) const {
  if (index < 1 || index > AttachmentCount())
    throw StoreError(QStringLiteral("there is no attachment %1 (the item has %2)")
                         .arg(index)
                         .arg(AttachmentCount()));
  return content_.attachments[index - 1];
}

const Attachment& Item::AttachmentAt(int index) const { return CheckedAttachment(index); }

int Item::AddAttachment(const QString& sourcePath, const QString& displayName) {
  Attachment attachment;
  attachment.data = files::ReadFile(sourcePath);
  attachment.fileName = QFileInfo(sourcePath).fileName();
  attachment.displayName = displayName.isEmpty() ? attachment.fileName : displayName;
  attachment.mimeType =
      QMimeDatabase().mimeTypeForFileNameAndData(attachment.fileName, attachment.data).name().toLower();
  content_.attachments.push_back(std::move(attachment));
  return AttachmentCount();
}

void Item::RemoveAttachment(int index) {
  CheckedAttachment(index);
  content_.attachments.erase(content_.attachments.begin() + (index - 1));
}

void Item::SaveAttachment(int index, const QString& path) const {
  files::WriteFile(QFileInfo(path).absoluteFilePath(), CheckedAttachment(index).data);
}

int Item::RecipientCount() const { return int(content_.recipients.size()); }

const Recipient& Item::RecipientAt(int index) const {
  if (index < 1 || index > RecipientCount())
    throw StoreError(QStringLiteral("there is no recipient %1 (the item has %2)")
                         .arg(index)
                         .arg(RecipientCount()));
  return content_.recipients[index - 1];
}

int Item::AddRecipient(const QString& address, int type) {
  if (type != kRecipientTo && type != kRecipientCc && type != kRecipientBcc)
    throw StoreError(QStringLiteral("%1 is not a recipient type (1 To, 2 Cc, 3 Bcc)").arg(type));
  Recipient recipient = mime::ParseRecipient(address);
  recipient.type = type;
  content_.recipients.push_back(std::move(recipient));
  return RecipientCount();
}

void Item::RemoveRecipient(int index) {
  RecipientAt(index);
  content_.recipients.erase(content_.recipients.begin() + (index - 1));
}

bool Item::ResolveAll() {
  bool all = true;
  for (Recipient& recipient : content_.recipients) {
    recipient.resolved = mime::IsSmtpAddress(recipient.address);
    all = all && recipient.resolved;
  }
  return all;
}

std::optional<QString> Item::Property(const QString& name) const {
  const NamedProperty* property = content_.FindProperty(name);
  if (!property) return std::nullopt;
  return property->value;
}

void Item::SetProperty(const QString& name, const QString& value, bool localOnly) {
  if (name.isEmpty()) throw StoreError(QStringLiteral("a named property needs a name"));
  content_.SetProperty(name, value, localOnly);
}

std::optional<QDateTime> Item::Start() const {
  return content_.IsCalendar() ? ical::Start(content_.icalendar) : std::nullopt;
}

std::optional<QDateTime> Item::End() const {
  return content_.IsCalendar() ? ical::End(content_.icalendar) : std::nullopt;
}

void Item::SetStart(const QDateTime& start) {
  if (!content_.IsCalendar())
    throw StoreError(QStringLiteral("the item \"%1\" is not a calendar item").arg(content_.subject));
  content_.icalendar = ical::WithTimes(content_.icalendar, start, std::nullopt);
}

void Item::SetEnd(const QDateTime& end) {
  if (!content_.IsCalendar())
    throw StoreError(QStringLiteral("the item \"%1\" is not a calendar item").arg(content_.subject));
  content_.icalendar = ical::WithTimes(content_.icalendar, std::nullopt, end);
}

}  // namespace vasnik
