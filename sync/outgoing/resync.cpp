#include "sync/outgoing/resync.h"

#include <QCoreApplication>
#include <QDir>

#include <vector>

#include "outlook/redemption_ids.h"
#include "storage/folder_identity.h"
#include "storage/package_info.h"
#include "sync/echo_guard.h"
#include "sync/outgoing/exporter.h"
#include "sync/sync_host.h"

namespace {

// A library batch around one write, ended without its flush.
struct UnflushedWrite {
  explicit UnflushedWrite(const outlook::RdoSession& s) : session(s), batch(s.BeginBatch()) {}
  ~UnflushedWrite() {
    if (!batch) return;
    try {
      session.EndBatchUnflushed();
    } catch (const std::exception&) {
      // Nothing is flushed here: nothing can fail but the call itself.
    }
  }
  const outlook::RdoSession& session;
  const bool batch;
};

}  // namespace

void Resync::Run(const QString& folderEntryId, const QString& storeId, Progress& progress) {
  if (running_) return;
  running_ = true;
  struct Done {
    bool& running;
    ~Done() { running = false; }
  } done{running_};
  const QString& f = folderEntryId;
  const QString k = identity_.FolderKey(f);
  RequirePlainKey(k);
  const QString dir = state_.outboxDir + k + u'/';
  QDir().mkpath(dir);

  const outlook::RdoFolder folder = state_.session.GetFolderFromID(f, storeId);
  const outlook::RdoItems items = folder.Items();
  progress.Show(items.Count(), QStringLiteral("Exporting ") + folder.Name() + QStringLiteral(" items."));

  const int n = items.Count();
  // The states are recorded once the message files are on disk (below): a
  // state row says "sent", and one that reached the disk before its file
  // would keep the start-up catch-up from sending the item again.
  struct Exported {
    QString e, itemKey, stateBefore, state;
  };
  std::vector<Exported> exported;
  exported.reserve(size_t(n));
  bool unflushed = false;
  outlook::RdoMail last;  // the item fetched last; null when that fetch failed
  bool canceled = false;
  for (int i = 1; i <= n; ++i) {
    QCoreApplication::processEvents();
    if (progress.Canceled()) {
      canceled = true;
      break;
    }
    last = outlook::RdoMail();
    try {
      const outlook::RdoMail item = items.Item(i);
      last = item;
      const QString e = item.EntryID();
      const QString itemKey = identity_.ItemKey(f, e);
      RequirePlainKey(itemKey);
      {
        // The file's flush waits for the one after the loop. The batch is
        // not held across the yield above, where other writers' files must
        // stay durable one by one.
        UnflushedWrite write(state_.session);
        unflushed = unflushed || write.batch;
        item.SaveAs(dir + itemKey + QStringLiteral(".msg"), outlook::ids::olMSG);
      }
      identity_.MapItem(f, itemKey, e);
      // As an export would: the start-up catch-up finds it unchanged.
      exported.push_back({e, itemKey, identity_.StateOf(f, e), CurrentState(item).ToText()});
      progress.StepIt();
    } catch (const std::exception&) {
      // This item is skipped (logged by the hook); the others go on.
    }
  }
  progress.Hide();

  bool durable = true;
  if (unflushed) {
    try {
      // One flush for every file written above.
      state_.session.BeginBatch();
      state_.session.EndBatch();
    } catch (const std::exception&) {
      durable = false;  // no state recorded: the catch-up sends them again
    }
  }
  if (durable) {
    for (const Exported& x : exported) {
      // An export or a deletion while the loop yielded has the last word.
      if (identity_.StateOf(f, x.e) != x.stateBefore || identity_.ItemOfKey(f, x.itemKey) != x.e) continue;
      identity_.RecordState(f, x.e, x.state);
    }
  }

  identity_.MapFolder(k, f, storeId);
  // Every item has its state now, but for those that failed: those the
  // catch-up sends. After a Cancel the rest are left for the catch-up to
  // note as they are.
  if (!canceled && !identity_.HasBaseline(f)) identity_.MarkBaseline(f);
  if (last.IsNull()) return;

  // The description is bound only here, never across the loop's yields.
  const QString user = UpdateSenderAddress(state_.session);
  WritePackageItemInfo(state_.packageInfo, dir, user, folder.Name(), folder.DefaultItemType());
  EnableTimer(sendTimer_);
  host_.SetStatusTextWithTime(QStringLiteral("Items last exported on "));
}
