#pragma once

// The picture of a failed run in the report, painted by render's code.

#include <QByteArray>

struct QcRecord;

// The last frame of the capture `run` kept, painted by its rules' program, as PNG bytes; empty
// when it kept none or it cannot be read. For the report's failed runs.
QByteArray lastFrameOfCapture(const QcRecord &run);
