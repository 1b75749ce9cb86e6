#pragma once

#include "records/record.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The last frame of the capture `run` kept, painted as the window of its rules' program paints
// it, as PNG bytes, for the report's failed runs. The capture is opened as qcOpenRecordCapture
// opens it (in `capturesFolder` or one of `givenPaths`) and read as a stream, so that memory stays
// flat whatever its size. Empty when there is none: then `unavailable` says why, unless the
// capture simply holds no frame.
QByteArray lastFrameOfCapture(const QcRecord &run, const QString &capturesFolder,
                              const QStringList &givenPaths, QString *unavailable);
