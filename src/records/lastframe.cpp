#include "records/lastframe.h"

#include "common/deliverable.h"
#include "link/sessionfile.h"
#include "records/capturefile.h"
#include "render/framerenderer.h"

#include <QBuffer>
#include <QFile>
#include <QImage>

QByteArray lastFrameOfCapture(const QcRecord &run, const QString &capturesFolder,
                              const QStringList &givenPaths, QString *unavailable)
{
    unavailable->clear();
    const std::optional<Deliverable> program = deliverableNamed(run.rules);
    if (!program) {
        *unavailable = QStringLiteral("no program has the rules %1").arg(run.rules);
        return QByteArray();
    }
    QcCaptureEvidence capture = qcOpenRecordCapture(run, capturesFolder, givenPaths);
    if (!capture.file) {
        *unavailable = capture.unavailable;
        return QByteArray();
    }
    QFile &file = *capture.file;
    const ModuleByteStream stream = [&](const std::function<bool(const char *, qsizetype)> &take) {
        if (!file.seek(0))
            return false;
        SessionFile reader(&file);
        SessionFile::Record record;
        if (!reader.readHeader())
            return false;
        // Damage ends the frames as it ends a replay: what came before it still counts.
        while (reader.next(&record))
            if (record.direction == SessionFile::FromModule
                && !take(record.bytes.constData(), record.bytes.size()))
                break;
        return true;
    };
    const QImage image = renderFrame(stream, *program);
    QByteArray png;
    QBuffer buffer(&png);
    if (image.isNull() || !buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG"))
        return QByteArray();
    return png;
}
