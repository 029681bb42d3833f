#include "standin/store/profile.h"

#include "standin/store/constants.h"
#include "standin/store/file_ops.h"
#include "standin/store/store_error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>

#include <algorithm>
#include <pwd.h>
#include <unistd.h>

namespace vasnik {

namespace {

const QString kIniName = QStringLiteral("profile.ini");

QString LoginName() {
  QString name = qEnvironmentVariable("USER");
  if (name.isEmpty()) {
    if (const passwd* entry = ::getpwuid(::getuid())) name = QString::fromLocal8Bit(entry->pw_name);
  }
  name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
  return name.isEmpty() ? QStringLiteral("user") : name;
}

void WriteDefaultProfile(const QString& iniPath) {
  QSettings ini(iniPath, QSettings::IniFormat);
  ini.beginGroup(QStringLiteral("Profile"));
  ini.setValue(QStringLiteral("UserAddress"), DefaultUserAddress());
  ini.setValue(QStringLiteral("UserName"), LoginName());
  ini.setValue(QStringLiteral("Offline"), false);
  ini.endGroup();
  ini.beginGroup(QStringLiteral("Store1"));
  ini.setValue(QStringLiteral("Name"), QStringLiteral("Personal Folders"));
  ini.setValue(QStringLiteral("Kind"), kStorePstUnicode);
  ini.setValue(QStringLiteral("AccountType"), kAccountPop3);
  ini.setValue(QStringLiteral("Directory"), QStringLiteral("stores/personal"));
  ini.endGroup();
  ini.sync();
  if (ini.status() != QSettings::NoError)
    throw StoreError(QStringLiteral("cannot create the profile file %1").arg(iniPath));
}

// A value as text. QSettings reads an unquoted value with commas as a list;
// a hand-written "Name=Archive, 2024" means the text.
QString Text(const QSettings& ini, const QString& key, const QString& def = {}) {
  const QVariant value = ini.value(key);
  if (!value.isValid()) return def;
  if (value.typeId() == QMetaType::QStringList) return value.toStringList().join(QStringLiteral(", "));
  return value.toString().trimmed();
}

[[noreturn]] void Bad(const QString& iniPath, const QString& what) {
  throw StoreError(QStringLiteral("the profile %1 cannot be used: %2").arg(iniPath, what));
}

int IntegerIn(const QSettings& ini, const QString& iniPath, const QString& key, int def, int low,
              int high) {
  const QVariant value = ini.value(key);
  if (!value.isValid() || value.toString().trimmed().isEmpty()) return def;
  bool ok = false;
  const int number = value.toString().trimmed().toInt(&ok);
  if (!ok || number < low || number > high)
    Bad(iniPath, QStringLiteral("%1=%2 is not a number from %3 to %4")
                     .arg(key, value.toString())
                     .arg(low)
                     .arg(high));
  return number;
}

}  // namespace

QString DefaultProfileDirectory() {
  const QString fromEnvironment = qEnvironmentVariable("VASNIK_PROFILE");
  if (!fromEnvironment.isEmpty()) return QDir(fromEnvironment).absolutePath();
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
         QStringLiteral("/vasnik/profile");
}

QString DefaultUserAddress() { return LoginName() + QStringLiteral("@localhost"); }

ProfileSettings LoadProfile(const QString& directory) {
  ProfileSettings profile;
  profile.directory = QDir(directory).absolutePath();
  const QFileInfo dirInfo(profile.directory);
  if (dirInfo.exists() && !dirInfo.isDir())
    throw StoreError(QStringLiteral("the profile directory %1 is not a directory").arg(profile.directory));
  files::EnsureDirectory(profile.directory);
  const QString iniPath = profile.directory + u'/' + kIniName;
  if (!QFileInfo::exists(iniPath)) WriteDefaultProfile(iniPath);

  QFile probe(iniPath);
  if (!QFileInfo(iniPath).isFile() || !probe.open(QIODevice::ReadOnly))
    Bad(iniPath, QStringLiteral("it cannot be read (%1)").arg(probe.errorString()));
  probe.close();
  QSettings ini(iniPath, QSettings::IniFormat);
  if (ini.status() != QSettings::NoError) Bad(iniPath, QStringLiteral("it is not a valid INI file"));

  ini.beginGroup(QStringLiteral("Profile"));
  profile.userAddress = Text(ini, QStringLiteral("UserAddress"));
  if (profile.userAddress.isEmpty()) profile.userAddress = DefaultUserAddress();
  profile.userName = Text(ini, QStringLiteral("UserName"));
  if (profile.userName.isEmpty()) profile.userName = profile.userAddress.section(u'@', 0, 0);
  const QString offline = Text(ini, QStringLiteral("Offline"), QStringLiteral("false"));
  if (offline.compare(u"true", Qt::CaseInsensitive) != 0 &&
      offline.compare(u"false", Qt::CaseInsensitive) != 0)
    Bad(iniPath, QStringLiteral("Offline=%1 is neither true nor false").arg(offline));
  profile.offline = offline.compare(u"true", Qt::CaseInsensitive) == 0;
  profile.outlookVersion =
      Text(ini, QStringLiteral("OutlookVersion"), QStringLiteral("16.0.0.0"));
  const QString defaultStore = Text(ini, QStringLiteral("DefaultStore"));
  ini.endGroup();

  static const QRegularExpression storeSection(QStringLiteral("^Store([1-9][0-9]{0,5})$"),
                                               QRegularExpression::CaseInsensitiveOption);
  std::vector<std::pair<int, QString>> sections;
  for (const QString& group : ini.childGroups()) {
    const auto match = storeSection.match(group);
    if (match.hasMatch()) sections.emplace_back(match.captured(1).toInt(), group);
  }
  std::sort(sections.begin(), sections.end());
  if (sections.empty())
    Bad(iniPath, QStringLiteral("it names no store (sections [Store1], [Store2], ...)"));

  for (const auto& [number, section] : sections) {
    StoreSettings store;
    store.section = section;
    ini.beginGroup(section);
    const QString where = u'[' + section + QStringLiteral("] ");
    store.name = Text(ini, QStringLiteral("Name"), section);
    if (store.name.isEmpty()) store.name = section;
    store.kind = IntegerIn(ini, iniPath, QStringLiteral("Kind"), kStorePstUnicode, kStorePstAnsi,
                           kStorePublicFolders);
    const QString account = Text(ini, QStringLiteral("AccountType"));
    if (account.compare(u"none", Qt::CaseInsensitive) == 0) {
      store.accountType.reset();
    } else {
      const bool exchange = store.kind >= kStorePrimaryExchange;
      store.accountType = IntegerIn(ini, iniPath, QStringLiteral("AccountType"),
                                    exchange ? kAccountExchange : kAccountPop3, kAccountPop3,
                                    kAccountOther);
    }
    store.accountAddress = Text(ini, QStringLiteral("AccountAddress"));
    if (store.accountAddress.isEmpty()) store.accountAddress = profile.userAddress;
    store.ownerAddress = Text(ini, QStringLiteral("OwnerAddress"));
    if (store.ownerAddress.isEmpty()) store.ownerAddress = store.accountAddress;
    QString dir = Text(ini, QStringLiteral("Directory"));
    if (dir.isEmpty()) dir = QStringLiteral("stores/") + section.toLower();
    store.directory = QDir::cleanPath(QDir(profile.directory).absoluteFilePath(dir));
    ini.endGroup();
    for (const StoreSettings& other : profile.stores)
      if (other.directory == store.directory)
        Bad(iniPath, where + QStringLiteral("uses the directory of [%1]").arg(other.section));
    profile.stores.push_back(store);
    if (section.compare(defaultStore, Qt::CaseInsensitive) == 0)
      profile.defaultStore = int(profile.stores.size()) - 1;
  }
  if (!defaultStore.isEmpty() &&
      profile.stores[profile.defaultStore].section.compare(defaultStore, Qt::CaseInsensitive) != 0)
    Bad(iniPath, QStringLiteral("DefaultStore=%1 names no store section").arg(defaultStore));
  return profile;
}

}  // namespace vasnik
