#pragma once

#include <QString>
#include <QStringList>

// The base folders of the XDG base directory rules. Values that are empty or not absolute are
// ignored, as the rules ask, and the defaults below the home folder take their place.
QString xdgDataHome();
QString xdgConfigHome();
QStringList xdgConfigDirs();
