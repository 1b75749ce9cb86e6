#pragma once

#include "records/record.h"

#include <QByteArray>

// The last frame of the capture `run` kept, painted as the window of its rules' program paints
// it, as PNG bytes; empty when it kept none or the capture cannot be read. For the report's
// failed runs.
QByteArray lastFrameOfCapture(const QcRecord &run);
