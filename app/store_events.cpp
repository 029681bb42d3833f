// The routing of store events: one event sink per message store, and every
// event sent to the export, the deletion record or the update-mail intake.
// Which of them it goes to is the controller's decision: the sinks see
// every folder of every store, and MonitoredFolders, as it is when the event
// is handled, is the only filter.
#include <algorithm>

#include "app/main_form.h"
#include "sync/outgoing/exporter.h"
#include "sync/update_mail.h"

namespace {

// An event argument as text; a position the event does not carry is empty.
QString Param(const outlook::TVariantArray& params, size_t index) {
  return index < params.size() ? params[index].ToString() : QString();
}

}  // namespace

void TMainForm::StartStoreEvents() {
  REvents.clear();
  outlook::RdoStores stores;
  int count = 0;
  try {
    stores = RSession.Stores();
    count = std::max(stores.Count(), 0);
  } catch (...) {
    // Logged by the exception hook. Start-up goes on without store events
    // rather than end here.
    return;
  }
  REvents.resize(size_t(count));

  for (int i = 1; i <= count; ++i) {
    try {
      const outlook::RdoStore store = stores.Item(i);
      std::unique_ptr<outlook::TComEvents>& sink = REvents[size_t(i - 1)];
      sink = std::make_unique<outlook::TComEvents>(outlook::Variant(store.Dispatch()));
      sink->SetSinked(true);
      sink->SetOnEvent([this](const outlook::Variant& sender, const QString& event, int id,
                              outlook::TVariantArray& params) { HandleStoreEvent(sender, event, id, params); });
    } catch (...) {
      // Logged by the hook; this store keeps an empty entry and delivers no
      // events, the others are not affected.
    }
  }
}

void TMainForm::HandleStoreEvent(const outlook::Variant& Sender, const QString& Event, int /*ID*/,
                                 const outlook::TVariantArray& Params) {
  // A failure ends the handling of this one event: the library never sees an
  // error, and the hook has logged it.
  try {
    const outlook::RdoStore store(Sender.ToDispatch());
    const auto open = [&](const QString& entryId) { return RSession.GetMessageFromID(entryId, store.EntryID()); };

    if (Event == u"OnMessageCreatedEx") {
      const outlook::RdoMail message = open(Param(Params, 0));
      // An update mail is taken wherever it arrives, shared folder or not.
      if (message.Subject() == update_mail::kSubject) {
        ProcessUpdateMail(message);
        return;
      }
      if (MonitoredFolders.Contains(Param(Params, 1))) ExportItem(message);
    } else if (Event == u"OnMessageCopied") {
      // The event names only the copy: its folder decides.
      const outlook::RdoMail message = open(Param(Params, 0));
      if (MonitoredFolders.Contains(message.Parent().EntryID())) ExportItem(message);
    } else if (Event == u"OnMessageDeletedEx") {
      const QString folder = Param(Params, 1);
      if (MonitoredFolders.Contains(folder)) RecordDeletion(Param(Params, 0), folder, ::UpdateSenderAddress(RSession));
    } else if (Event == u"OnMessageModifiedEx") {
      // Tested before the message is opened: changes outside the shared
      // folders cost nothing.
      if (MonitoredFolders.Contains(Param(Params, 1))) ExportItem(open(Param(Params, 0)));
    } else if (Event == u"OnMessageMoved3") {
      // The folder left loses the item under the identifier it had there,
      // then the folder entered gets it as new; both may be shared.
      QString old = Param(Params, 3);
      if (old.isEmpty()) old = Param(Params, 0);
      const QString left = Param(Params, 1);
      if (MonitoredFolders.Contains(left)) RecordDeletion(old, left, ::UpdateSenderAddress(RSession));
      if (MonitoredFolders.Contains(Param(Params, 2))) ExportItem(open(Param(Params, 0)));
    }
  } catch (...) {
  }
}
