#include "qc/apppath.h"

QString appPath;
