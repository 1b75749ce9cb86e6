#pragma once

#include "records/record.h"

// qcReadRecordLine as QJsonDocument reads a line: the reference for the reader.
QcRecordLine jsonDocumentRecordLine(const QByteArray &line);
