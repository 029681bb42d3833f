#pragma once
// Update mails as a sending peer makes them, for intake tests: packages
// written with the real description writer and the real split-archive
// writer, their list files, and the raw mails a server delivers (with the
// From, Date and Return-Path a test chooses — a forger's, say).

#include <QDateTime>
#include <QDir>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <utility>
#include <vector>

#include "storage/package_info.h"
#include "storage/xml_storage.h"
#include "sync/outgoing/split_zip_writer.h"
#include "tests/support/files.h"

inline const QString kUpdateSubject = QStringLiteral("Pendrix Update Email");

// One update mail's attachments, in order: file names and contents.
struct Attachments {
  QStringList names;
  QList<QByteArray> data;
  void Add(const QString& name, const QByteArray& bytes) {
    names << name;
    data << bytes;
  }
};

// What a package holds: message files by item key, and deleted item keys.
struct PackageContent {
  std::vector<std::pair<QString, QByteArray>> items;
  QStringList deleted;
};

// The package of folder key `key` declaring `user` as its sender, as the
// sending side packs it: one mail per volume, each with the list file first.
inline std::vector<Attachments> BuildPackage(const QString& key, const QString& user, const PackageContent& content,
                                             qint64 volumeSize = 1048576) {
  QTemporaryDir work;
  const QString exchange = work.path() + "/" + key + "/";
  QDir().mkpath(exchange);
  XmlStorage info(QStringLiteral("Info"));
  for (const auto& [itemKey, bytes] : content.items) {
    WriteAll(exchange + itemKey + ".msg", bytes);
    WritePackageItemInfo(info, exchange, user, QStringLiteral("Calendar"), 1);
  }
  for (const QString& itemKey : content.deleted) WritePackageDeletion(info, exchange, user, itemKey);
  const QStringList segments =
      outgoing::WriteSplitZip(exchange, key, work.path() + "/" + key, {volumeSize, Z_DEFAULT_COMPRESSION});
  QByteArray list;
  for (const QString& name : segments) list += name.toUtf8() + "\r\n";
  std::vector<Attachments> mails;
  for (const QString& name : segments) {
    Attachments a;
    a.Add(key + ".txt", list);
    a.Add(name, ReadAll(work.path() + "/" + name));
    mails.push_back(a);
  }
  return mails;
}

// The envelope of a delivered mail; empty fields are left out.
struct MailHeaders {
  QString from = QStringLiteral("partner@x.org");
  QDateTime date;
  QString returnPath;  // what a server writes from the SMTP envelope
  QString subject = kUpdateSubject;
};

// A mail as a server delivers it: MIME with one base64 part per attachment,
// the file names as given (also names the library would never write).
inline QByteArray RawMail(const Attachments& a, const MailHeaders& h = {}) {
  QByteArray mail;
  if (!h.returnPath.isEmpty()) mail += "Return-Path: <" + h.returnPath.toUtf8() + ">\r\n";
  if (!h.from.isEmpty()) mail += "From: " + h.from.toUtf8() + "\r\n";
  if (h.date.isValid()) mail += "Date: " + h.date.toString(Qt::RFC2822Date).toUtf8() + "\r\n";
  mail += "To: me@localhost\r\nSubject: " + h.subject.toUtf8() + "\r\nMessage-ID: <" +
          QByteArray::number(QRandomGenerator::global()->generate64()) +
          "@x.org>\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"=-b0und4ry\"\r\n\r\n"
          "--=-b0und4ry\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nAn update.\r\n";
  for (int i = 0; i < a.names.size(); ++i) {
    const QByteArray name = a.names[i].toUtf8();
    mail += "--=-b0und4ry\r\nContent-Type: application/octet-stream; name=\"" + name +
            "\"\r\nContent-Disposition: attachment; filename=\"" + name +
            "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    const QByteArray encoded = a.data[i].toBase64();
    for (qsizetype at = 0; at < encoded.size(); at += 76) mail += encoded.mid(at, 76) + "\r\n";
  }
  return mail + "--=-b0und4ry--\r\n";
}
