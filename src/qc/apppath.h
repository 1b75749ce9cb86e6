#pragma once

#include <QString>

// The program's path as it came in the first command-line argument, decoded as UTF-8. The entry
// point assigns it once before any window exists; the quality check finds its plan beside it.
extern QString appPath;
