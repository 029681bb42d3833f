#pragma once
// The hierarchical key/value storage over one XML file.
//
// A storage holds a document (a tree of named elements with text values) in
// memory and addresses its values by backslash-separated paths such as
// "SharedFolders\" + entry id + "\UserCount". Every read and write works on
// the document in memory; the file is written as a whole by Flush() (and by
// the destructor). The byte layout of the file and the path rules are
// written down in doc/xml_storage_format.md (rules R1, R2, ...).
//
// REQUIRES: one thread only (the UI thread); no operation locks.

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <functional>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

class QFile;

// Thrown by XmlStorage::SetFileName when the bound file cannot be read or
// does not parse. The storage stays bound to the file and holds what was read
// up to the fault.
class XmlStorageError : public std::runtime_error {
 public:
  explicit XmlStorageError(const QString& message);
};

// One storage instance, bound to at most one file.
//
// Contract:
// - Paths: "\" separates components, each naming an element below the root.
//   Names are looked up without regard to the case of ASCII letters and are
//   made valid element names first (see the format document).
// - Reads never fail: a missing value yields the caller's default.
// - A file whose permission bits allow no write is read-only: writes and
//   deletes are ignored and Flush does nothing.
// - Flush never throws. It replaces the file atomically (temporary file in the
//   same directory, synced, renamed over the old one); when that fails the old
//   file keeps its content and the document stays in memory.
// - A file that did not parse is copied to "<file>.damaged" before the first
//   Flush over it, so the partial document never silently replaces it.
// - Cost: a read or write is O(path length) whatever the number of siblings;
//   loading and Flush are linear in the size of the document.
class XmlStorage {
 public:
  // rootName: the name of the root element of a new document
  // ("Configuration", "Info").
  explicit XmlStorage(QString rootName);
  // Flushes (this is how a configuration is saved at exit).
  ~XmlStorage();

  XmlStorage(const XmlStorage&) = delete;
  XmlStorage& operator=(const XmlStorage&) = delete;

  // Binds the storage to a file and loads it. A name without extension gets
  // ".xml". The same name again does nothing. An empty name unbinds and
  // empties the document. A missing file gives an empty root element; an
  // existing one replaces the whole document, root name included. The
  // document in memory is not written before it is replaced.
  // Throws XmlStorageError when the file cannot be read or does not parse.
  void SetFileName(const QString& fileName);
  QString FileName() const;

  QString ReadString(const QString& path, const QString& def) const;
  void WriteString(const QString& path, const QString& value);
  // The default when the value is missing; -1 when it is not a decimal int.
  int ReadInteger(const QString& path, int def) const;
  void WriteInteger(const QString& path, int value);
  // Removes the value element; the key elements above it stay.
  void DeleteValue(const QString& path);

  // Writes the document to the bound file. Does nothing without a file or for
  // a read-only file; failures are swallowed (the old file stays intact).
  // Returns false when the file could not be written (nothing is raised);
  // true when it was written or there was nothing it may write.
  bool Flush();
  // True when the file was read-only when it was bound.
  bool IsReadOnly() const;

  // Called after every change that reaches the document (a write that creates
  // an element or changes a value, a delete that removes one), so an owner can
  // schedule a debounced write to disk. Loading is not a change. May be empty.
  void SetOnChange(std::function<void()> callback);

  // The exact bytes Flush would write.
  QByteArray Serialize() const;

  struct Node;  // an element of the document; defined in xml_document.h

 private:
  struct Declaration {
    // version, encoding and standalone, in the order they are written.
    std::vector<std::pair<QString, QString>> attributes;
    bool loadedUtf16 = false;     // the file was read as UTF-16 ...
    bool loadedBigEndian = false;  // ... in this byte order
  };

  void ResetDocument();
  // Replaces the document with the file's content. Returns an error message
  // ("" when the whole file was read); the document then holds what was read.
  QString Load(QFile& file);
  // Resolves a path; with create, missing elements are appended. Returns the
  // value element or null.
  Node* Resolve(QStringView path, bool create, bool* created) const;
  void Changed();

  QString rootName_;
  QString fileName_;
  std::unique_ptr<Node, void (*)(Node*)> root_;
  Declaration declaration_;
  bool readOnly_ = false;
  bool damaged_ = false;  // the bound file did not load; keep it aside first
  std::function<void()> onChange_;
};

// A view of an XmlStorage that puts a fixed prefix ("MainForm\") in front of
// every path. Holds a reference: the storage must outlive the view.
class FormStorage {
 public:
  FormStorage(XmlStorage& storage, QString prefix);

  const QString& Prefix() const { return prefix_; }

  QString ReadString(const QString& path, const QString& def) const;
  void WriteString(const QString& path, const QString& value);
  int ReadInteger(const QString& path, int def) const;
  void WriteInteger(const QString& path, int value);

 private:
  XmlStorage& storage_;
  QString prefix_;
};
