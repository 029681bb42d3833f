#pragma once
// OutlookImages: the folder tree's eight 16 x 16 icons, icon n for the
// default item type n: 0 mail folder, 1 calendar, 2 contacts, 3 tasks,
// 4 journal, 5 notes, 6 post folder, 7 distribution list.
//
// They are drawn here rather than loaded, so they travel with the program
// and look the same on every desktop.
//
// REQUIRES: a QGuiApplication exists.

#include <QIcon>
#include <vector>

std::vector<QIcon> OutlookImages();
