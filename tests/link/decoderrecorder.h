#pragma once

#include "link/streamdecoder.h"

#include <QStringList>

// Writes down everything a decoder reports, one line per event, so whole runs compare as lists:
// "P x y column", "F byte index", "E samples...".
class DecoderRecorder : public DecoderSink
{
public:
    void pointDecoded(qint16 x, qint16 y, int column) override
    {
        events << QStringLiteral("P %1 %2 %3").arg(x).arg(y).arg(column);
    }
    void flagByteDecoded(quint8 byte, int index) override
    {
        events << QStringLiteral("F %1 %2").arg(byte).arg(index);
    }
    void frameEnded(const QList<short> &frame) override
    {
        QString line = QStringLiteral("E");
        for (short sample : frame)
            line += QLatin1Char(' ') + QString::number(sample);
        events << line;
        kept << frame;
    }

    QStringList events;
    QList<QList<short>> kept; // copies of every frame, shared with the decoder when it ended
};
