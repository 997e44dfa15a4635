// The update journal and the transaction log on the drive: what is written,
// what the caller keeps, links on the drive, a full drive, and the elapsed
// time that log lines carry.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"
#include "UpdateTestSupport.h"
#include "common/TestSupport.h"

#include <QRegularExpression>
#include <QTest>

using namespace ConfigTest;

namespace {

QJsonObject readJson(const QString& path)
{
    return QJsonDocument::fromJson(KavendruTest::readWholeFile(path)).object();
}

QString logPath(const QString& usbRoot, const QString& id)
{
    return QDir(usbRoot).filePath(QStringLiteral("Kavendru/update-log-%1.jsonl").arg(id));
}

QList<QJsonObject> logLines(const QString& path)
{
    QList<QJsonObject> lines;
    const QByteArray content = KavendruTest::readWholeFile(path);
    for (const QByteArray& line : content.split('\n')) {
        if (!line.isEmpty())
            lines.append(QJsonDocument::fromJson(line).object());
    }
    return lines;
}

const QRegularExpression kUtcWithMs(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"));

} // namespace

class UpdateJournalTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        dir = KavendruTest::makeTempDir();
        root = dir->filePath(QStringLiteral("USB"));
        QVERIFY(QDir().mkpath(QDir(root).filePath(QStringLiteral("Kavendru"))));
    }

    void journalIsWrittenWhole()
    {
        QCOMPARE(updateJournalPath(QStringLiteral("/media/ana/USB")),
                 QStringLiteral("/media/ana/USB/Kavendru/update-journal.json"));
        QJsonObject journal{{"id", "20240501123456"}, {"phase", "staged"}, {"schemaVersion", 7}, {"app", "outro"}};
        const QJsonObject before = journal;
        QString error = QStringLiteral("intocado");
        QVERIFY(writeUpdateJournal(root, journal, &error));
        QCOMPARE(error, QStringLiteral("intocado"));
        QCOMPARE(journal, before);

        const QByteArray bytes = KavendruTest::readWholeFile(updateJournalPath(root));
        QVERIFY2(bytes.contains("\n    \"app\""), bytes.constData());
        const QJsonObject written = readJson(updateJournalPath(root));
        QCOMPARE(written.value("schemaVersion").toInt(), 1);
        QCOMPARE(written.value("app").toString(), QStringLiteral("Kavendru"));
        QCOMPARE(written.value("phase").toString(), QStringLiteral("staged"));
        QCOMPARE(written.value("id").toString(), QStringLiteral("20240501123456"));
        QVERIFY(kUtcWithMs.match(written.value("updatedAt").toString()).hasMatch());

        journal.insert("phase", "windows-promoted");
        QVERIFY(writeUpdateJournal(root, journal, nullptr));
        QCOMPARE(readJson(updateJournalPath(root)).value("phase").toString(), QStringLiteral("windows-promoted"));
        QCOMPARE(QDir(QDir(root).filePath("Kavendru")).entryList(QDir::Files | QDir::Hidden),
                 QStringList({QStringLiteral("update-journal.json")}));
    }

    // Nothing is written through a link, and a journal already there stays.
    void journalRefused_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::newRow("no product folder") << "missing";
        QTest::newRow("product folder is a link") << "linked folder";
        QTest::newRow("journal is a link") << "linked journal";
        QTest::newRow("journal is a folder") << "folder";
    }

    void journalRefused()
    {
        QFETCH(QString, situation);
        const QString product = QDir(root).filePath(QStringLiteral("Kavendru"));
        const QString elsewhere = dir->filePath(QStringLiteral("elsewhere"));
        QVERIFY(QDir().mkpath(elsewhere));
        const QString outside = QDir(elsewhere).filePath(QStringLiteral("update-journal.json"));
        QVERIFY(KavendruTest::writeWholeFile(outside, "antes"));
        if (situation == QLatin1String("missing"))
            QVERIFY(QDir(product).removeRecursively());
        if (situation == QLatin1String("linked folder")) {
            QVERIFY(QDir(product).removeRecursively());
            QVERIFY(QFile::link(elsewhere, product));
        }
        if (situation == QLatin1String("linked journal"))
            QVERIFY(QFile::link(outside, updateJournalPath(root)));
        if (situation == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(updateJournalPath(root)));

        QString error;
        QVERIFY(!writeUpdateJournal(root, QJsonObject{{"phase", "staged"}}, &error));
        QCOMPARE(error, QStringLiteral("Não foi possível registrar a transação de atualização: %1")
                            .arg(updateJournalPath(root)));
        QCOMPARE(KavendruTest::readWholeFile(outside), QByteArray("antes"));
        QCOMPARE(treeOf(elsewhere), QStringList({QStringLiteral("update-journal.json")}));
    }

    void fullDriveKeepsTheJournal()
    {
        if (!KavendruTest::inPrivateMountNamespace())
            QSKIP("needs root for a small tmpfs");
        KavendruTest::ScopedTmpfs drive(dir->filePath(QStringLiteral("FULL")), 64 * 1024);
        QVERIFY(drive.isMounted());
        QVERIFY(QDir().mkpath(QDir(drive.path()).filePath(QStringLiteral("Kavendru"))));
        QVERIFY(writeUpdateJournal(drive.path(), QJsonObject{{"phase", "staged"}}, nullptr));
        const QByteArray before = KavendruTest::readWholeFile(updateJournalPath(drive.path()));
        QFile filler(QDir(drive.path()).filePath(QStringLiteral("filler")));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(4096, 'x')) == 4096 && filler.flush()) {
        }
        filler.close();

        QString error;
        QVERIFY(!writeUpdateJournal(drive.path(), QJsonObject{{"phase", "windows-promoted"}, {"big", QString(8192, 'b')}},
                                    &error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(KavendruTest::readWholeFile(updateJournalPath(drive.path())), before);

        QVERIFY(!appendUpdateTransactionLog(drive.path(), QStringLiteral("20240501123456"), "staged",
                                            QString(8192, 'd'), &error));
        QCOMPARE(error, QStringLiteral("Não foi possível registrar o log da transação: %1")
                            .arg(logPath(drive.path(), QStringLiteral("20240501123456"))));
    }

    void logLinesAndElapsedTime()
    {
        const QString id = QStringLiteral("20240501123456");
        // No journal: no elapsed time.
        QString error = QStringLiteral("intocado");
        QVERIFY(appendUpdateTransactionLog(root, id, "completed", "Transação concluída e backups removidos.", &error));
        QCOMPARE(error, QStringLiteral("intocado"));
        // A journal of any transaction whose start reads: elapsed from there.
        const QDateTime started = QDateTime::currentDateTimeUtc().addMSecs(-1500);
        QVERIFY(writeUpdateJournal(root, QJsonObject{{"id", "19990101000000"}, {"startedAt", started.toString(Qt::ISODateWithMs)}},
                                   nullptr));
        QVERIFY(appendUpdateTransactionLog(root, id, "rolled-back", "Bundles restaurados a partir dos backups.", nullptr));
        // A start that is no time.
        QVERIFY(writeUpdateJournal(root, QJsonObject{{"startedAt", "ontem"}}, nullptr));
        QVERIFY(appendUpdateTransactionLog(root, id, "staged", "x", nullptr));
        QVERIFY(KavendruTest::writeWholeFile(updateJournalPath(root), "{quebrado"));
        QVERIFY(appendUpdateTransactionLog(root, id, "staged", "y", nullptr));

        const QByteArray content = KavendruTest::readWholeFile(logPath(root, id));
        QCOMPARE(content.count('\n'), 4);
        QVERIFY(content.endsWith('\n'));
        QVERIFY(!content.contains("\n\n") && !content.contains(": "));
        const QList<QJsonObject> lines = logLines(logPath(root, id));
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.at(0).keys(), QStringList({"detail", "phase", "timestamp", "transactionId"}));
        QCOMPARE(lines.at(0).value("phase").toString(), QStringLiteral("completed"));
        QCOMPARE(lines.at(0).value("detail").toString(), QStringLiteral("Transação concluída e backups removidos."));
        QCOMPARE(lines.at(0).value("transactionId").toString(), id);
        QVERIFY(kUtcWithMs.match(lines.at(0).value("timestamp").toString()).hasMatch());
        QVERIFY(lines.at(1).contains("elapsedMs"));
        const qint64 elapsed = lines.at(1).value("elapsedMs").toInteger();
        QVERIFY2(elapsed >= 1500 && elapsed < 60000, qPrintable(QString::number(elapsed)));
        QVERIFY(!lines.at(2).contains("elapsedMs"));
        QVERIFY(!lines.at(3).contains("elapsedMs"));
        // The journal is never changed by the log.
        QCOMPARE(KavendruTest::readWholeFile(updateJournalPath(root)), QByteArray("{quebrado"));
    }

    void logRefusesLinks_data()
    {
        QTest::addColumn<bool>("linkedFolder");
        QTest::newRow("log is a link") << false;
        QTest::newRow("product folder is a link") << true;
    }

    void logRefusesLinks()
    {
        QFETCH(bool, linkedFolder);
        const QString id = QStringLiteral("20240501123456");
        const QString elsewhere = dir->filePath(QStringLiteral("elsewhere"));
        QVERIFY(QDir().mkpath(elsewhere));
        const QString outside = QDir(elsewhere).filePath(QStringLiteral("update-log-%1.jsonl").arg(id));
        QVERIFY(KavendruTest::writeWholeFile(outside, "antes"));
        if (linkedFolder) {
            QVERIFY(QDir(QDir(root).filePath("Kavendru")).removeRecursively());
            QVERIFY(QFile::link(elsewhere, QDir(root).filePath("Kavendru")));
        } else {
            QVERIFY(QFile::link(outside, logPath(root, id)));
        }
        QString error;
        QVERIFY(!appendUpdateTransactionLog(root, id, "staged", "Pacote validado e pronto para promoção.", &error));
        QCOMPARE(error, QStringLiteral("Não foi possível registrar o log da transação: %1").arg(logPath(root, id)));
        QCOMPARE(KavendruTest::readWholeFile(outside), QByteArray("antes"));
    }

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString root;
};

KAVENDRU_CONFIG_TEST_MAIN(UpdateJournalTest)

#include "tst_updatejournal.moc"
