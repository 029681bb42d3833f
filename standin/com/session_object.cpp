// RDOSession: the object the class factory makes, and the way into the rest.

#include "standin/com/dispatch_object.h"
#include "standin/com/outlook_objects.h"
#include "standin/com/rdo_objects.h"

#include <QApplication>

#include "outlook/member_names.h"
#include "outlook/redemption_ids.h"
#include "standin/store/file_ops.h"
#include "standin/store/folder_picker.h"
#include "standin/store/item.h"
#include "standin/store/session.h"
#include "standin/store/store_error.h"

namespace vasnik::com {

namespace n = outlook::names;

namespace {

constexpr IID kSessionInterfaces[] = {outlook::ids::IID_IRDOSession};

ComValue FolderOrNothing(const SessionPtr& session, std::shared_ptr<Folder> folder) {
  return folder ? ComValue::Object(NewFolder(session, std::move(folder))) : ComValue::Nothing();
}

// Logon's arguments (profile name, password, show dialog, new session,
// parent window, no MAPI) are all accepted and none is used: the profile is
// the one the environment selects ($VASNIK_PROFILE or the default location).
//
// While the session is logged on, its mail transport runs and the running
// "Outlook.Application" object is registered (outlook_objects.h); both go at
// Logoff, or when this object goes.
class SessionObject final : public DispatchObject {
 public:
  SessionObject() : DispatchObject(Members(), kSessionInterfaces), session_(Session::Create()) {}
  // Batches the program left open are still made durable.
  ~SessionObject() override {
    if (batches_ == 0 && unflushed_) {
      files::BeginBatch();
      batches_ = 1;
    }
    for (; batches_ > 0; --batches_) {
      try {
        files::EndBatch();
      } catch (const StoreError&) {
      }
    }
  }

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<SessionObject>()
            .Add(n::kLogon, 6,
                 [](SessionObject& self, const Args&) {
                   self.session_->Logon();
                   self.StartOutlook();
                   return ComValue();
                 })
            .Add(n::kLoggedOn, 0,
                 [](SessionObject& self, const Args&) { return ComValue::Bool(self.session_->LoggedOn()); })
            .Add(n::kLogoff, 0,
                 [](SessionObject& self, const Args&) {
                   self.outlook_.reset();
                   self.session_->Logoff();
                   return ComValue();
                 })
            .Add(n::kOutlookVersion, 0,
                 [](SessionObject& self, const Args&) { return ComValue::Text(self.session_->OutlookVersion()); })
            .Add(n::kStores, 0,
                 [](SessionObject& self, const Args&) {
                   self.session_->StoreCount();  // fails here, not later, when logged off
                   return ComValue::Object(NewStores(self.session_));
                 })
            .Add(n::kGetDefaultFolder, 1,
                 [](SessionObject& self, const Args& args) {
                   return FolderOrNothing(self.session_, self.session_->GetDefaultFolder(args.Int(0)));
                 })
            // (EntryID, StoreID, Flags): the flags are accepted and not used.
            .Add(n::kGetFolderFromID, 3,
                 [](SessionObject& self, const Args& args) {
                   return FolderOrNothing(self.session_,
                                          self.session_->GetFolderFromID(args.Text(0), args.Text(1, {})));
                 })
            .Add(n::kGetMessageFromID, 3,
                 [](SessionObject& self, const Args& args) {
                   return ComValue::Object(
                       NewMail(self.session_, self.session_->GetMessageFromID(args.Text(0), args.Text(1, {}))));
                 })
            .Add(n::kGetStoreFromID, 2,
                 [](SessionObject& self, const Args& args) {
                   return ComValue::Object(NewStore(self.session_, self.session_->GetStoreFromID(args.Text(0))));
                 })
            .Add(n::kGetMessageFromMsgFile, 2,
                 [](SessionObject& self, const Args& args) {
                   return ComValue::Object(NewMail(
                       self.session_, self.session_->GetMessageFromMsgFile(args.Text(0), args.Bool(1, false))));
                 })
            .Add(n::kCurrentUser, 0,
                 [](SessionObject& self, const Args&) {
                   return ComValue::Object(NewAddressEntry(self.session_->CurrentUserName(),
                                                           self.session_->CurrentUserSmtpAddress()));
                 })
            // Four arguments the picker does not use, then the default item
            // type (omitted: mail). Nothing when the user cancels.
            .Add(n::kPickFolder, 5,
                 [](SessionObject& self, const Args& args) {
                   const int itemType = args.Int(4, 0);
                   if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
                     throw StoreError(QStringLiteral("the folder picker needs the program's QApplication"));
                   return FolderOrNothing(self.session_, PickFolder(self.session_, itemType));
                 })
            // Item writes between the two are made durable together at the end.
            .Add(n::kBeginBatch, 0,
                 [](SessionObject& self, const Args&) {
                   self.session_->StoreCount();  // logged on
                   files::BeginBatch();
                   ++self.batches_;
                   return ComValue();
                 })
            // EndBatch(False) leaves the flush to the next EndBatch.
            .Add(n::kEndBatch, 1,
                 [](SessionObject& self, const Args& args) {
                   if (self.batches_ == 0) throw StoreError(QStringLiteral("EndBatch without BeginBatch"));
                   --self.batches_;
                   const bool flush = args.Bool(0, true);
                   if (!flush) self.unflushed_ = true;
                   files::EndBatch(flush);
                   if (flush && self.batches_ == 0) self.unflushed_ = false;
                   return ComValue();
                 })
            .Build();
    return table;
  }

  // A transport whose settings are bad fails the log-on, as a bad profile does.
  void StartOutlook() {
    if (outlook_) return;
    try {
      outlook_ = std::make_unique<RunningOutlook>(session_);
    } catch (...) {
      session_->Logoff();
      throw;
    }
  }

  SessionPtr session_;
  int batches_ = 0;  // opened here and not yet ended
  bool unflushed_ = false;  // a batch ended without its flush since the last flush
  std::unique_ptr<RunningOutlook> outlook_;  // declared last: revoked first
};

}  // namespace

IDispatch* NewSession() { return new SessionObject(); }

}  // namespace vasnik::com
