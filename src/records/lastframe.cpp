#include "records/lastframe.h"

#include "common/deliverable.h"
#include "link/sessionfile.h"
#include "render/framerenderer.h"

#include <QBuffer>
#include <QImage>

QByteArray lastFrameOfCapture(const QcRecord &run)
{
    QByteArray bytes;
    QString error;
    const std::optional<Deliverable> program = deliverableNamed(run.rules);
    if (!run.capture || !program
        || !SessionFile::readModuleBytes(run.capture->path, &bytes, &error))
        return QByteArray();
    const QImage image = renderFrame(bytes, *program);
    QByteArray png;
    QBuffer buffer(&png);
    if (image.isNull() || !buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG"))
        return QByteArray();
    return png;
}
