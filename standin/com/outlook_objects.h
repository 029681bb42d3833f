#pragma once
// Outlook's automation object, as the stand-in library offers it: while a
// session is logged on, a running "Outlook.Application" sits in the COM
// runtime's running-object table, so that the program finds it the way it
// finds Outlook (CLSIDFromProgID + GetActiveObject) and can ask it to send
// and receive. Members are listed in doc/vasnik_module.md.
//
// Application: GetNameSpace("MAPI"), Version (the profile's OutlookVersion),
// ActiveExplorer. NameSpace: Logon, Logoff (neither touches the library's
// session: the program logs Outlook's namespace on and off around every
// Send/Receive, and its own session must go on), Offline (the profile's),
// Application, SendAndReceive. Explorer: CommandBars. CommandBars:
// FindControl(type, id, ...) gives the Send/Receive button for the id of
// the version the profile reports (5488 in 10.x, 7095 in 11.x), else
// Nothing; other versions have no button. The button's Execute
// and the namespace's SendAndReceive both start a run over the Outbox and
// return at once (transport.h); while the profile is offline they do
// nothing.
//
// REQUIRES: the UI thread, like the engine.

#include <oaidl.h>

#include <memory>

#include "standin/com/rdo_objects.h"

namespace vasnik {
class Transport;
}

namespace vasnik::com {

// One logged-on session's mail transport and its running Outlook object.
// Made right after the session logged on, destroyed before it logs off.
class RunningOutlook {
 public:
  // Starts the transport (throws StoreError when the profile's transport
  // settings are bad) and registers the application object strongly under
  // the class of "Outlook.Application". A failed registration is logged;
  // the transport works all the same.
  explicit RunningOutlook(SessionPtr session);
  // Revokes the registration and shuts the transport down (a run in flight
  // is cut within about a second); objects that still hold it find it
  // stopped.
  ~RunningOutlook();
  RunningOutlook(const RunningOutlook&) = delete;
  RunningOutlook& operator=(const RunningOutlook&) = delete;

  const std::shared_ptr<Transport>& GetTransport() const { return transport_; }

 private:
  std::shared_ptr<Transport> transport_;
  DWORD cookie_ = 0;
  bool registered_ = false;
};

// A fresh application object holding one reference, which the caller owns.
IDispatch* NewOutlookApplication(SessionPtr session, std::shared_ptr<Transport> transport);

}  // namespace vasnik::com
