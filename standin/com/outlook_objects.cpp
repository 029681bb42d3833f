// Outlook.Application, its NameSpace, Explorer, CommandBars and the
// Send/Receive button, over the engine's session and mail transport.

#include "standin/com/outlook_objects.h"

#include <objbase.h>
#include <oleauto.h>

#include "outlook/member_names.h"
#include "standin/com/dispatch_object.h"
#include "standin/store/session.h"
#include "standin/store/store_error.h"
#include "standin/store/transport.h"

namespace vasnik::com {

namespace n = outlook::names;

namespace {

using TransportPtr = std::shared_ptr<Transport>;

// The control type of a button (msoControlButton).
constexpr int kButtonType = 1;

// The command-bar id of "Send/Receive" in the Outlook version the profile
// reports: 5488 in 2002 (10), 7095 in 2003 (11). Each version answers only
// its own id, so that a caller asking for the other one finds nothing, as
// it would in that Outlook; other versions have no such button here.
int SendReceiveId(const QString& outlookVersion) {
  const QString major = outlookVersion.section(u'.', 0, 0);
  if (major == u"10") return 5488;
  if (major == u"11") return 7095;
  return 0;
}

// Send/Receive: sending is starting a run over the Outbox (it returns at
// once); receiving needs nothing, since the mail server delivers straight
// into the Inbox Maildir.
void SendAndReceive(const SessionPtr& session, const TransportPtr& transport) {
  session->Profile();  // fails here, with the engine's words, once logged off
  transport->SubmitQueue();
}

class ControlObject final : public DispatchObject {
 public:
  ControlObject(SessionPtr session, TransportPtr transport, int id)
      : DispatchObject(Members()), session_(std::move(session)), transport_(std::move(transport)), id_(id) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table = MemberTable::Builder<ControlObject>()
                                          .Add(n::kExecute, 0,
                                               [](ControlObject& self, const Args&) {
                                                 SendAndReceive(self.session_, self.transport_);
                                                 return ComValue();
                                               })
                                          .Add(u"Id", 0,
                                               [](ControlObject& self, const Args&) {
                                                 return ComValue::Int(self.id_);
                                               })
                                          .Build();
    return table;
  }

  SessionPtr session_;
  TransportPtr transport_;
  int id_;
};

// FindControl(Type, Id, Tag, Visible): only the Send/Receive button of the
// profile's version exists.
class CommandBarsObject final : public DispatchObject {
 public:
  CommandBarsObject(SessionPtr session, TransportPtr transport)
      : DispatchObject(Members()), session_(std::move(session)), transport_(std::move(transport)) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<CommandBarsObject>()
            .Add(n::kFindControl, 4,
                 [](CommandBarsObject& self, const Args& args) {
                   if (args.Given(0) && args.Int(0) != kButtonType) return ComValue::Nothing();
                   if (!args.Given(1)) return ComValue::Nothing();
                   const int id = args.Int(1);
                   if (id == 0 || id != SendReceiveId(self.session_->OutlookVersion())) return ComValue::Nothing();
                   return ComValue::Object(new ControlObject(self.session_, self.transport_, id));
                 })
            .Build();
    return table;
  }

  SessionPtr session_;
  TransportPtr transport_;
};

class ExplorerObject final : public DispatchObject {
 public:
  ExplorerObject(SessionPtr session, TransportPtr transport)
      : DispatchObject(Members()), session_(std::move(session)), transport_(std::move(transport)) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<ExplorerObject>()
            .Add(n::kCommandBars, 0,
                 [](ExplorerObject& self, const Args&) {
                   return ComValue::Object(new CommandBarsObject(self.session_, self.transport_));
                 })
            .Build();
    return table;
  }

  SessionPtr session_;
  TransportPtr transport_;
};

// Logon's arguments (profile, password, show dialog, new session) are
// accepted and unused; Logon and Logoff leave the library's session as it
// is.
class NameSpaceObject final : public DispatchObject {
 public:
  NameSpaceObject(SessionPtr session, TransportPtr transport)
      : DispatchObject(Members()), session_(std::move(session)), transport_(std::move(transport)) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<NameSpaceObject>()
            .Add(n::kLogon, 4, [](NameSpaceObject&, const Args&) { return ComValue(); })
            .Add(n::kLogoff, 0, [](NameSpaceObject&, const Args&) { return ComValue(); })
            .Add(n::kOffline, 0,
                 [](NameSpaceObject& self, const Args&) { return ComValue::Bool(self.session_->Offline()); })
            .Add(n::kApplication, 0,
                 [](NameSpaceObject& self, const Args&) {
                   return ComValue::Object(NewOutlookApplication(self.session_, self.transport_));
                 })
            // (ShowProgressDialog): there is no dialog; the run goes on in the
            // background after the call returns.
            .Add(n::kSendAndReceive, 1,
                 [](NameSpaceObject& self, const Args&) {
                   SendAndReceive(self.session_, self.transport_);
                   return ComValue();
                 })
            .Add(u"Type", 0, [](NameSpaceObject&, const Args&) { return ComValue::Text(QStringLiteral("MAPI")); })
            .Build();
    return table;
  }

  SessionPtr session_;
  TransportPtr transport_;
};

class ApplicationObject final : public DispatchObject {
 public:
  ApplicationObject(SessionPtr session, TransportPtr transport)
      : DispatchObject(Members()), session_(std::move(session)), transport_(std::move(transport)) {}

 private:
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTable::Builder<ApplicationObject>()
            .Add(n::kGetNameSpace, 1,
                 [](ApplicationObject& self, const Args& args) {
                   const QString type = args.Text(0);
                   if (type.compare(u"MAPI", Qt::CaseInsensitive) != 0)
                     throw StoreError(QStringLiteral("there is no namespace of type \"%1\" (only \"MAPI\")").arg(type));
                   return ComValue::Object(new NameSpaceObject(self.session_, self.transport_));
                 })
            .Add(n::kVersion, 0,
                 [](ApplicationObject& self, const Args&) { return ComValue::Text(self.session_->OutlookVersion()); })
            .Add(n::kActiveExplorer, 0,
                 [](ApplicationObject& self, const Args&) {
                   return ComValue::Object(new ExplorerObject(self.session_, self.transport_));
                 })
            .Add(u"Name", 0,
                 [](ApplicationObject&, const Args&) { return ComValue::Text(QStringLiteral("Outlook")); })
            .Build();
    return table;
  }

  SessionPtr session_;
  TransportPtr transport_;
};

}  // namespace

IDispatch* NewOutlookApplication(SessionPtr session, std::shared_ptr<Transport> transport) {
  return new ApplicationObject(std::move(session), std::move(transport));
}

RunningOutlook::RunningOutlook(SessionPtr session) : transport_(std::make_shared<Transport>(session)) {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(n::kOutlookProgID, &clsid);
  if (SUCCEEDED(hr)) {
    IDispatch* application = NewOutlookApplication(std::move(session), transport_);
    // The table holds its own reference until the revocation.
    hr = RegisterActiveObject(application, clsid, ACTIVEOBJECT_STRONG, &cookie_);
    application->Release();
    registered_ = SUCCEEDED(hr);
  }
  if (!registered_)
    LogLine(QStringLiteral("\"Outlook.Application\" could not be registered as running (status 0x%1)")
                .arg(quint32(hr), 8, 16, QLatin1Char('0')));
}

RunningOutlook::~RunningOutlook() {
  if (registered_) RevokeActiveObject(cookie_, nullptr);
  // An object the program still holds keeps the transport, but no run may
  // outlive the session it moves mail in.
  transport_->Shutdown();
}

}  // namespace vasnik::com
