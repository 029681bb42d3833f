#pragma once
#include <QIcon>

// The program's icon (window, tray, About window), drawn in code so that it
// needs no resource files.
QIcon AppIcon();
