#pragma once
// The fixed texts of the update mail, the one message both sides of a share
// exchange, and of the import's marks on the items it creates.

#include <QString>

namespace update_mail {

// The subject every update mail carries; the intake searches the Inbox by it.
inline const QString kSubject = QStringLiteral("Pendrix Update Email");

// The subject of the placeholder item that imports of earlier versions saved
// before its content; such an item is never exported.
inline const QString kDummySubject = QStringLiteral("Dummy");

// The local-only named property that marks the program's own outgoing update
// mails (drafts and sent copies) and the received ones it has taken.
inline const QString kMarkerProperty = QStringLiteral("Varnel");
inline const QString kOutgoing = QStringLiteral("Outgoing");

// The local-only named property in which an imported item carries its item
// key, so that a repeated import recognises the items it added.
inline const QString kItemKeyProperty = QStringLiteral("VarnelItemKey");

// The body, for a reader without the program; webUrl is the product's site.
inline QString Body(const QString& webUrl) {
  return QStringLiteral("This is an automatically generated message by Pendrix software (") + webUrl +
         QStringLiteral("). It carries Outlook data from other computer. To read it install Pendrix on your "
                        "computer. \r\nOnce it is read, it should be deleted automatically. If it does not get "
                        "deleted, make sure that it arrives to your default inbox.");
}

}  // namespace update_mail
