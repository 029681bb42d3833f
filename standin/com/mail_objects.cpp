// RDOMail, RDOAttachments, RDOAttachment, RDORecipients and RDORecipient.

#include "standin/com/dispatch_object.h"
#include "standin/com/rdo_objects.h"

#include <algorithm>
#include <climits>

#include <QDateTime>
#include <QTimeZone>

#include "outlook/member_names.h"
#include "outlook/redemption_ids.h"
#include "standin/store/constants.h"
#include "standin/store/folder.h"
#include "standin/store/item.h"
#include "standin/store/mime_codec.h"
#include "standin/store/store.h"
#include "standin/store/store_error.h"

namespace vasnik::com {

namespace n = outlook::names;
namespace ids = outlook::ids;

QString NamedPropertyName(const QString& dasl) {
  if (dasl.contains(QStringLiteral("/proptag/"), Qt::CaseInsensitive) ||
      dasl.contains(QStringLiteral("/mapi/id/"), Qt::CaseInsensitive))
    throw StoreError(QStringLiteral("the property \"%1\" is not supported (only named text properties)").arg(dasl));
  const QString name = dasl.mid(dasl.lastIndexOf(u'/') + 1);
  if (name.isEmpty()) throw StoreError(QStringLiteral("\"%1\" names no property").arg(dasl));
  return name;
}

namespace {

constexpr double kUnixEpochOleDays = 25569.0;

// The header field a DASL name of the internet-headers property set names
// ("return-path"), or "" for any other name.
QString HeaderFieldName(const QString& dasl) {
  const QString prefix = QString::fromUtf16(n::kInternetHeadersDaslPrefix);
  if (!dasl.startsWith(prefix, Qt::CaseInsensitive)) return {};
  return dasl.mid(prefix.size());
}

// Any item. Subject and Body are written to the copy in memory and reach
// the disk with Save, as the engine's setters do. UnRead is kept by this
// object only: the engine has no read state.
//
// Fields(dasl) is the named text property the DASL name ends in; one that
// was never set reads as "". A property written here is local-only: it
// marks the program's own mails (the update mails) and the transport never
// sends it. A DASL name of the internet-headers property set reads and
// writes the mail's header field of that name instead (the Return-Path a
// server wrote at delivery, say).
//
// SenderEmailAddress and SentOn (the Date field) may be written, as on the
// library they stand in for: a message made in a folder then looks received.
class MailObject final : public DispatchObject {
 public:
  MailObject(SessionPtr session, std::shared_ptr<Item> item)
      : DispatchObject(Members()), session_(std::move(session)), item_(std::move(item)) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<MailObject>()
            .Add(n::kEntryID, 0, [](MailObject& self, const Args&) { return ComValue::Text(self.item_->EntryID()); })
            .Add(
                n::kSubject, 0, [](MailObject& self, const Args&) { return ComValue::Text(self.item_->Subject()); },
                [](MailObject& self, const Args& args) { self.item_->SetSubject(args.ValueText()); })
            .Add(n::kMessageClass, 0,
                 [](MailObject& self, const Args&) { return ComValue::Text(self.item_->MessageClass()); })
            // The file's own time and size: any writer of the file changes them.
            .Add(n::kLastModificationTime, 0,
                 [](MailObject& self, const Args&) {
                   const double seconds = double(self.item_->StoredState().modifiedNs) / 1e9;
                   return ComValue::Date(kUnixEpochOleDays + seconds / 86400.0);
                 })
            .Add(n::kSize, 0,
                 [](MailObject& self, const Args&) {
                   return ComValue::Int(int(std::min<qint64>(self.item_->StoredState().size, INT_MAX)));
                 })
            .Add(
                n::kSenderEmailAddress, 0,
                [](MailObject& self, const Args&) { return ComValue::Text(self.item_->SenderAddress()); },
                [](MailObject& self, const Args& args) { self.item_->SetSenderAddress(args.ValueText()); })
            // The mail's Date field; a mail without one (or with one that
            // does not parse) answers the date Outlook reports for "none".
            .Add(
                n::kSentOn, 0,
                [](MailObject& self, const Args&) {
                  const QDateTime sent = mime::ParseDate(self.item_->Header(QStringLiteral("Date")));
                  if (!sent.isValid()) return ComValue::Date(n::kNoDate);
                  return ComValue::Date(kUnixEpochOleDays + double(sent.toMSecsSinceEpoch()) / 86400000.0);
                },
                [](MailObject& self, const Args& args) {
                  const qint64 ms = qRound64((args.ValueDate() - kUnixEpochOleDays) * 86400000.0);
                  self.item_->SetHeader(QStringLiteral("Date"),
                                        mime::FormatDate(QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc())));
                })
            .Add(
                n::kBody, 0, [](MailObject& self, const Args&) { return ComValue::Text(self.item_->Body()); },
                [](MailObject& self, const Args& args) { self.item_->SetBody(args.ValueText()); })
            .Add(
                n::kUnRead, 0, [](MailObject& self, const Args&) { return ComValue::Bool(self.unread_); },
                [](MailObject& self, const Args& args) { self.unread_ = args.ValueBool(); })
            .Add(n::kParent, 0,
                 [](MailObject& self, const Args&) {
                   auto folder = self.item_->Parent();
                   return folder ? ComValue::Object(NewFolder(self.session_, std::move(folder))) : ComValue::Nothing();
                 })
            .Add(n::kStore, 0,
                 [](MailObject& self, const Args&) {
                   auto store = self.item_->GetStore();
                   return store ? ComValue::Object(NewStore(self.session_, std::move(store))) : ComValue::Nothing();
                 })
            .Add(n::kSave, 0,
                 [](MailObject& self, const Args&) {
                   self.item_->Save();
                   return ComValue();
                 })
            // Flags omitted: 0, out of the folder without a copy in Deleted Items.
            .Add(n::kDelete, 1,
                 [](MailObject& self, const Args& args) {
                   self.item_->Delete(args.Int(0, kDeleteSoft));
                   return ComValue();
                 })
            .Add(n::kSaveAs, 2,
                 [](MailObject& self, const Args& args) {
                   self.item_->SaveAs(args.Text(0), args.Int(1, ids::olMSG));
                   return ComValue();
                 })
            .Add(n::kImport, 2,
                 [](MailObject& self, const Args& args) {
                   self.item_->Import(args.Text(0), args.Int(1, ids::olMSG));
                   return ComValue();
                 })
            .Add(n::kAttachments, 0,
                 [](MailObject& self, const Args&) {
                   return ComValue::Object(NewAttachments(self.session_, self.item_));
                 })
            .Add(n::kRecipients, 0,
                 [](MailObject& self, const Args&) { return ComValue::Object(NewRecipients(self.session_, self.item_)); })
            .Add(
                n::kFields, 1,
                [](MailObject& self, const Args& args) {
                  const QString dasl = args.Text(0);
                  if (const QString field = HeaderFieldName(dasl); !field.isEmpty())
                    return ComValue::Text(self.item_->Header(field));
                  return ComValue::Text(self.item_->Property(NamedPropertyName(dasl)).value_or(QString()));
                },
                [](MailObject& self, const Args& args) {
                  const QString dasl = args.Text(0);
                  if (const QString field = HeaderFieldName(dasl); !field.isEmpty())
                    self.item_->SetHeader(field, args.ValueText());
                  else
                    self.item_->SetProperty(NamedPropertyName(dasl), args.ValueText(), /*localOnly=*/true);
                })
            .Add(n::kSend, 0,
                 [](MailObject& self, const Args&) {
                   self.item_->Send();
                   return ComValue();
                 })
            .Build();
    return table;
  }

  SessionPtr session_;
  std::shared_ptr<Item> item_;
  bool unread_ = false;
};

// Add(Source, Type, Position, DisplayName): only attachments by value (type
// 1, the default) exist here; the position is accepted and not used (the
// new attachment comes last).
class AttachmentsObject final : public DispatchObject {
 public:
  AttachmentsObject(SessionPtr session, std::shared_ptr<Item> item)
      : DispatchObject(Members()), session_(std::move(session)), item_(std::move(item)) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<AttachmentsObject>()
            .Add(n::kCount, 0,
                 [](AttachmentsObject& self, const Args&) { return ComValue::Int(self.item_->AttachmentCount()); })
            .AddDefault(n::kItem, 1,
                        [](AttachmentsObject& self, const Args& args) {
                          const int index = args.Int(0);
                          self.item_->AttachmentAt(index);  // fails here for a position out of range
                          return ComValue::Object(NewAttachment(self.session_, self.item_, index));
                        })
            .Add(n::kAdd, 4,
                 [](AttachmentsObject& self, const Args& args) {
                   const QString source = args.Text(0);
                   const int type = args.Int(1, ids::olByValue);
                   if (type != ids::olByValue)
                     throw StoreError(
                         QStringLiteral("attachment type %1 is not supported (only 1, by value)").arg(type));
                   const int index = self.item_->AddAttachment(source, args.Text(3, {}));
                   return ComValue::Object(NewAttachment(self.session_, self.item_, index));
                 })
            .Build();
    return table;
  }

  SessionPtr session_;
  std::shared_ptr<Item> item_;
};

// One attachment, by its position in the item.
class AttachmentObject final : public DispatchObject {
 public:
  AttachmentObject(SessionPtr session, std::shared_ptr<Item> item, int index)
      : DispatchObject(Members()), session_(std::move(session)), item_(std::move(item)), index_(index) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<AttachmentObject>()
            .Add(n::kFileName, 0,
                 [](AttachmentObject& self, const Args&) {
                   return ComValue::Text(self.item_->AttachmentAt(self.index_).fileName);
                 })
            .Add(u"DisplayName", 0,
                 [](AttachmentObject& self, const Args&) {
                   return ComValue::Text(self.item_->AttachmentAt(self.index_).displayName);
                 })
            .Add(n::kSaveAsFile, 1,
                 [](AttachmentObject& self, const Args& args) {
                   self.item_->SaveAttachment(self.index_, args.Text(0));
                   return ComValue();
                 })
            .Build();
    return table;
  }

  SessionPtr session_;
  std::shared_ptr<Item> item_;
  int index_;
};

// Add(Name) adds a To recipient ("addr@example.org" or
// "Name <addr@example.org>"); ResolveAll answers whether every recipient has
// an SMTP address.
class RecipientsObject final : public DispatchObject {
 public:
  RecipientsObject(SessionPtr session, std::shared_ptr<Item> item)
      : DispatchObject(Members()), session_(std::move(session)), item_(std::move(item)) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<RecipientsObject>()
            .Add(n::kCount, 0,
                 [](RecipientsObject& self, const Args&) { return ComValue::Int(self.item_->RecipientCount()); })
            .AddDefault(n::kItem, 1,
                        [](RecipientsObject& self, const Args& args) {
                          const int index = args.Int(0);
                          self.item_->RecipientAt(index);  // fails here for a position out of range
                          return ComValue::Object(NewRecipient(self.session_, self.item_, index));
                        })
            .Add(n::kAdd, 1,
                 [](RecipientsObject& self, const Args& args) {
                   const int index = self.item_->AddRecipient(args.Text(0));
                   return ComValue::Object(NewRecipient(self.session_, self.item_, index));
                 })
            .Add(n::kResolveAll, 0,
                 [](RecipientsObject& self, const Args&) { return ComValue::Bool(self.item_->ResolveAll()); })
            .Build();
    return table;
  }

  SessionPtr session_;
  std::shared_ptr<Item> item_;
};

// One recipient, by its position in the item. Type: 1 To, 2 Cc, 3 Bcc.
class RecipientObject final : public DispatchObject {
 public:
  RecipientObject(SessionPtr session, std::shared_ptr<Item> item, int index)
      : DispatchObject(Members()), session_(std::move(session)), item_(std::move(item)), index_(index) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<RecipientObject>()
            .Add(n::kName, 0,
                 [](RecipientObject& self, const Args&) {
                   return ComValue::Text(self.item_->RecipientAt(self.index_).name);
                 })
            .Add(u"Address", 0,
                 [](RecipientObject& self, const Args&) {
                   return ComValue::Text(self.item_->RecipientAt(self.index_).address);
                 })
            .Add(u"Type", 0,
                 [](RecipientObject& self, const Args&) {
                   return ComValue::Int(self.item_->RecipientAt(self.index_).type);
                 })
            .Build();
    return table;
  }

  SessionPtr session_;
  std::shared_ptr<Item> item_;
  int index_;
};

}  // namespace

IDispatch* NewMail(SessionPtr session, std::shared_ptr<Item> item) {
  return new MailObject(std::move(session), std::move(item));
}
IDispatch* NewAttachments(SessionPtr session, std::shared_ptr<Item> item) {
  return new AttachmentsObject(std::move(session), std::move(item));
}
IDispatch* NewAttachment(SessionPtr session, std::shared_ptr<Item> item, int index) {
  return new AttachmentObject(std::move(session), std::move(item), index);
}
IDispatch* NewRecipients(SessionPtr session, std::shared_ptr<Item> item) {
  return new RecipientsObject(std::move(session), std::move(item));
}
IDispatch* NewRecipient(SessionPtr session, std::shared_ptr<Item> item, int index) {
  return new RecipientObject(std::move(session), std::move(item), index);
}

}  // namespace vasnik::com
