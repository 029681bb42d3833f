#pragma once
// Every change the store makes on disk goes through these functions, so that
// one place knows the store's own writes (a later event layer can tell them
// apart from those of other programs) and every item write is atomic.
//
// Contract:
// - WriteAtomically writes the bytes to a temporary path that never looks
//   like an item (Maildir's tmp/, or a dot-file beside a vdir item), flushes
//   them to disk and renames the temporary file over the final path, so a
//   reader sees either the old file or the whole new one.
// - MoveFile renames; across file systems it copies and removes.
// - Failures throw StoreError naming the path and the system's reason; a
//   failed write removes its temporary file.
// - The observer, when set, is told after each successful change.
// - Batches: between BeginBatch and the matching EndBatch, WriteAtomically
//   and WriteFile leave out their flush to disk; EndBatch flushes the file systems the
//   batch wrote to, once each, and only then returns. A batch gives up
//   nothing a crash could take: each file still appears whole or not at all,
//   and the writer learns at EndBatch that everything is on disk, before it
//   lets go of what it would need to write it again. Batches nest; only the
//   outermost EndBatch flushes. EndBatch(false) ends a batch without the
//   flush: what it wrote is flushed by the next EndBatch that flushes (a
//   writer that gives up the batch between its writes, so that others'
//   writes in between stay durable one by one, flushes all of them once).
//   In a batch, a write of the bytes the final
//   file already holds changes nothing (and tells the observer nothing).
//
// REQUIRES: one thread (the UI thread).

#include <QByteArray>
#include <QSettings>
#include <QString>

#include <functional>

namespace vasnik::files {

enum class Change { Written, Moved, Removed };

// path: the file that now exists (or was removed); from: the old path of a
// move, otherwise empty.
using Observer = std::function<void(Change change, const QString& path, const QString& from)>;
void SetObserver(Observer observer);

void BeginBatch();
// Throws StoreError when a file system could not be flushed; the batch is
// closed either way.
void EndBatch(bool flush = true);
bool InBatch();

void WriteAtomically(const QString& tempPath, const QString& finalPath, const QByteArray& data);
// Writes a file that is not an item (metadata, an attachment saved for the
// program, a message file): through a temporary file in the same directory.
void WriteFile(const QString& path, const QByteArray& data);
void MoveFile(const QString& from, const QString& to);
// Tells the observer that the item file written at to is the one removed
// from from, rewritten in another form: a move, not a new item. Touches no
// file; call it after both changes.
void NoteMoved(const QString& from, const QString& to);
void RemoveFile(const QString& path);
QByteArray ReadFile(const QString& path);
// Creates the directory and its missing parents.
void EnsureDirectory(const QString& path);
// Rewrites a small INI metadata file (QSettings format) with what fill puts
// into the emptied settings; QSettings replaces the file atomically.
void WriteSettings(const QString& path, const std::function<void(QSettings& settings)>& fill);

}  // namespace vasnik::files
