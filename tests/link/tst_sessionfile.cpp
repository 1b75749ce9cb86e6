// A session's gap mark: the time the line was gone, as its reader gives it back and as a reader
// that only joins chunks passes over it.

#include "link/sessionfile.h"

#include <QBuffer>
#include <QtEndian>
#include <QtTest>

namespace {

QByteArray record(char direction, qint64 timeUs, const QByteArray &bytes)
{
    QByteArray head(SessionFile::recordHeadSize, Qt::Uninitialized);
    head[0] = direction;
    qToLittleEndian<quint64>(quint64(timeUs), head.data() + 1);
    qToLittleEndian<quint32>(quint32(bytes.size()), head.data() + 9);
    return head + bytes;
}

// "M@10:abc", "gap 20-5000", "V@7:" for each record.
QString described(const SessionFile::Record &r)
{
    if (r.gap)
        return QStringLiteral("gap %1-%2").arg(r.timeUs).arg(r.gapEndUs);
    return QStringLiteral("%1@%2:%3")
        .arg(QChar(r.direction))
        .arg(r.timeUs)
        .arg(QString::fromLatin1(r.bytes));
}

const QByteArray header = "envtool session 1\n";

} // namespace

class TestSessionFile : public QObject
{
    Q_OBJECT

private slots:
    void gapIsWrittenAsTwoEmptyModuleRecords();
    void gapsAreRead_data();
    void gapsAreRead();
};

// The layout every reader of sessions already takes: a module record of no bytes, then another.
void TestSessionFile::gapIsWrittenAsTwoEmptyModuleRecords()
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    SessionFile writer(&buffer);
    QVERIFY(writer.writeHeader());
    QVERIFY(writer.write(SessionFile::FromModule, 10, "abc", 3));
    QVERIFY(writer.write(SessionFile::FromModule, 15, "", 0)); // nothing: it would be half a gap
    QVERIFY(writer.writeGap(20, 5000));
    QVERIFY(writer.write(SessionFile::FromModule, 5100, "def", 3));
    QCOMPARE(buffer.data(),
             header + record('M', 10, "abc") + record('M', 20, "") + record('M', 5000, "")
                 + record('M', 5100, "def"));

    buffer.close();
    buffer.open(QIODevice::ReadOnly);
    QByteArray module;
    QString error;
    QVERIFY(SessionFile::readModuleBytes(&buffer, "s", &module, &error));
    QCOMPARE(module, QByteArray("abcdef"));
}

void TestSessionFile::gapsAreRead_data()
{
    QTest::addColumn<QByteArray>("records");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("error");

    const QByteArray gap = record('M', 20, "") + record('M', 5000, "");
    QTest::newRow("between chunks") << record('V', 5, "x") + gap + record('M', 5100, "def")
                                    << QStringList {"V@5:x", "gap 20-5000", "M@5100:def"} << "";
    QTest::newRow("at the end") << record('M', 10, "a") + gap
                                << QStringList {"M@10:a", "gap 20-5000"} << "";
    QTest::newRow("two in a row") << gap + gap << QStringList {"gap 20-5000", "gap 20-5000"} << "";
    QTest::newRow("an empty record alone")
        << record('M', 20, "") + record('M', 30, "b") << QStringList {"M@20:", "M@30:b"} << "";
    QTest::newRow("an empty record last") << record('M', 20, "") << QStringList {"M@20:"} << "";
    QTest::newRow("an end before its start")
        << record('M', 20, "") + record('M', 10, "") << QStringList {"M@20:", "M@10:"} << "";
    QTest::newRow("empty viewer records")
        << record('V', 20, "") + record('V', 30, "") << QStringList {"V@20:", "V@30:"} << "";
    // A session cut off inside a gap is damage after what came before.
    QTest::newRow("cut inside a gap")
        << record('M', 10, "a") + gap.left(20) << QStringList {"M@10:a", "M@20:"}
        << "truncated record at byte 45";
}

// From a file and from the same bytes handed in one at a time: the same records and damage.
void TestSessionFile::gapsAreRead()
{
    QFETCH(QByteArray, records);
    QFETCH(QStringList, expected);
    QFETCH(QString, error);
    QByteArray file = header + records;

    QBuffer buffer(&file);
    buffer.open(QIODevice::ReadOnly);
    SessionFile whole(&buffer);
    QVERIFY(whole.readHeader());
    QStringList got;
    SessionFile::Record r;
    while (whole.next(&r))
        got << described(r);
    QCOMPARE(got, expected);
    QCOMPARE(whole.error(), error);

    SessionFile pieces;
    got.clear();
    for (char byte : file) {
        pieces.append(QByteArray(1, byte));
        while (pieces.next(&r))
            got << described(r);
    }
    pieces.endInput();
    while (pieces.next(&r))
        got << described(r);
    QCOMPARE(got, expected);
    QCOMPARE(pieces.error(), error);
}

QTEST_GUILESS_MAIN(TestSessionFile)
#include "tst_sessionfile.moc"
