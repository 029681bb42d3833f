#pragma once
// The product's fixed names and addresses.

#include <QString>

namespace product {

inline const QString kAppName = QStringLiteral("Lintrove");
inline const QString kCaption = QStringLiteral("Lintrove - share Outlook folders and calendars by e-mail");
inline const QString kWebUrl = QStringLiteral("https://lintrove.example/");
inline const QString kHelpUrl = QStringLiteral("https://lintrove.example/help/");
inline const QString kSupportAddress = QStringLiteral("support@lintrove.example");

// major.minor.release of this build.
QString Version();

}  // namespace product
