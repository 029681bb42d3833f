#include "storage/sharing.h"

#include "storage/xml_storage.h"

namespace {

const QString kAllow = QStringLiteral("Allow");

QString UserKey(const QString& entryId, int i, const char* name) {
  return SharedFolderKey(entryId, QStringLiteral("User%1\\%2").arg(i).arg(QLatin1String(name)));
}

int ReadCount(const FormStorage& config, const QString& entryId) {
  const QString text = config.ReadString(SharedFolderKey(entryId, QStringLiteral("UserCount")), QStringLiteral("0"));
  bool ok = false;
  const int n = text.toInt(&ok);
  if (!ok) throw SharingFormatError(("'" + text + "' is not a valid integer value").toStdString());
  return n;
}

}  // namespace

bool ParseBoolean(const QString& text) {
  bool isNumber = false;
  const qlonglong n = text.toLongLong(&isNumber);
  if (isNumber) return n != 0;
  if (text.compare(QStringLiteral("True"), Qt::CaseInsensitive) == 0) return true;
  if (text.compare(QStringLiteral("False"), Qt::CaseInsensitive) == 0) return false;
  throw SharingFormatError(("'" + text + "' is not a valid boolean value").toStdString());
}

QString SharedFolderKey(const QString& entryId, const QString& rest) {
  return QStringLiteral("SharedFolders\\") + entryId + u'\\' + rest;
}

void WriteSharingRows(FormStorage& config, const QString& entryId, const QString& caption,
                      const std::vector<SharingRow>& rows) {
  config.WriteString(SharedFolderKey(entryId, QStringLiteral("FolderPath")), caption);
  config.WriteInteger(SharedFolderKey(entryId, QStringLiteral("UserCount")), static_cast<int>(rows.size()));
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    const SharingRow& row = rows[static_cast<size_t>(i)];
    config.WriteString(UserKey(entryId, i, "Enabled"), row.enabled ? QStringLiteral("True") : QStringLiteral("False"));
    config.WriteString(UserKey(entryId, i, "Email"), row.email);
    config.WriteString(UserKey(entryId, i, "Modify"), row.modify);
    config.WriteString(UserKey(entryId, i, "Read"), row.read);
    config.WriteString(UserKey(entryId, i, "Write"), row.write);
  }
}

std::vector<SharingRow> ReadSharingRows(const FormStorage& config, const QString& entryId) {
  std::vector<SharingRow> rows;
  const int n = ReadCount(config, entryId);
  for (int i = 0; i < n; ++i) {
    SharingRow row;
    row.enabled = ParseBoolean(config.ReadString(UserKey(entryId, i, "Enabled"), QStringLiteral("False")));
    row.email = config.ReadString(UserKey(entryId, i, "Email"), QString());
    row.modify = config.ReadString(UserKey(entryId, i, "Modify"), QString());
    row.read = config.ReadString(UserKey(entryId, i, "Read"), QString());
    row.write = config.ReadString(UserKey(entryId, i, "Write"), QString());
    rows.push_back(row);
  }
  return rows;
}

QStringList ReadRecipients(const FormStorage& config, const QString& entryId) {
  QStringList recipients;
  const int n = ReadCount(config, entryId);
  for (int i = 0; i < n; ++i) {
    if (config.ReadString(UserKey(entryId, i, "Enabled"), QString()) != QStringLiteral("True")) continue;
    if (config.ReadString(UserKey(entryId, i, "Read"), QString()) != kAllow) continue;
    recipients << config.ReadString(UserKey(entryId, i, "Email"), QString());
  }
  return recipients;
}

std::optional<ImportRights> FindImportRights(const FormStorage& config, const QString& entryId,
                                             const QString& sender) {
  const int n = ReadCount(config, entryId);
  for (int i = 0; i < n; ++i) {
    if (!ParseBoolean(config.ReadString(UserKey(entryId, i, "Enabled"), QStringLiteral("True")))) continue;
    if (config.ReadString(UserKey(entryId, i, "Email"), QString()) != sender) continue;
    return ImportRights{config.ReadString(UserKey(entryId, i, "Modify"), QString()) == kAllow,
                        config.ReadString(UserKey(entryId, i, "Write"), QString()) == kAllow};
  }
  return std::nullopt;
}
