#include "common/TestSupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

// The real detector, QStorageInfo and all, over a real mount: a loop-mounted
// ext4 image made to look like a USB stick (see e2e_usb_loop.sh).
class LinuxDetectionEndToEndTest : public QObject {
    Q_OBJECT

private slots:
    void loopDiskSeenAsUsbStick()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to mount in a namespace of its own");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());

        QProcess script;
        script.start(QStringLiteral("bash"), {QStringLiteral(KAVENDRU_E2E_SCRIPT), QStringLiteral(KAVENDRU_DETECT_PROBE), dir.path()});
        QVERIFY(script.waitForFinished(120000));
        const QByteArray errors = script.readAllStandardError();
        QCOMPARE(script.exitStatus(), QProcess::NormalExit);
        if (script.exitCode() == 77)
            QSKIP(qPrintable("cannot loop-mount here: " + QString::fromUtf8(errors).trimmed()));
        QVERIFY2(script.exitCode() == 0, errors.constData());

        const QStringList lines =
            QString::fromUtf8(script.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY2(!lines.isEmpty() && lines.first().startsWith(QLatin1String("device=/dev/loop")), errors.constData());
        const QString device = lines.first().mid(7);
        const QString root = QStringLiteral("/media/kvdprobe/MY DISK");
        const QStringList expected = {device + QLatin1Char(':') + root, device, QStringLiteral("MY DISK"), root,
                                      QStringLiteral("ext4"), QStringLiteral("removable"), QStringLiteral("mounted")};
        QCOMPARE(lines.mid(1), QStringList{expected.join(QLatin1Char('\t'))});

        // Nothing is left attached to the image.
        QProcess losetup;
        losetup.start(QStringLiteral("losetup"), {QStringLiteral("-n"), QStringLiteral("-O"), QStringLiteral("NAME"),
                                                  QStringLiteral("-j"), dir.filePath(QStringLiteral("disk.img"))});
        QVERIFY(losetup.waitForFinished(30000));
        QCOMPARE(losetup.readAllStandardOutput().trimmed(), QByteArray());
    }
};

KAVENDRU_TEST_MAIN(LinuxDetectionEndToEndTest)
#include "tst_linuxdetection_e2e.moc"
