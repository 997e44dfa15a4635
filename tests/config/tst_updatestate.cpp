// The drive's update state file: its path, what is written, links on the
// drive, a full drive, and reading the installed version back.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"
#include "common/TestSupport.h"

#include <QJsonArray>
#include <QTest>

#include <sys/stat.h>

using namespace ConfigTest;

namespace {

QJsonObject readState(const QString& usbRoot)
{
    return QJsonDocument::fromJson(KavendruTest::readWholeFile(updateStatePath(usbRoot))).object();
}

QStringList keysOf(const QJsonObject& object)
{
    QStringList keys = object.keys();
    keys.sort();
    return keys;
}

} // namespace

class UpdateStateTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        dir = KavendruTest::makeTempDir();
        QVERIFY(dir->isValid());
        root = dir->filePath(QStringLiteral("USB"));
        QVERIFY(QDir().mkpath(root));
    }

    void pathOnTheDrive()
    {
        QCOMPARE(updateStatePath(QStringLiteral("/media/ana/USB")),
                 QStringLiteral("/media/ana/USB/Kavendru/update-state.json"));
        QCOMPARE(updateStatePath(QStringLiteral("/media/ana/USB/")),
                 QStringLiteral("/media/ana/USB/Kavendru/update-state.json"));
        QVERIFY(!QFileInfo::exists(QDir(root).filePath(QStringLiteral("Kavendru"))));
    }

    void writtenAfterPreparation()
    {
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        QString error = QStringLiteral("intocado");
        // The product folder does not exist yet: it is made.
        QVERIFY(writeUpdateState(root, QStringLiteral("1.0.5"), QString(), &error));
        QCOMPARE(error, QStringLiteral("intocado"));

        const QByteArray bytes = KavendruTest::readWholeFile(updateStatePath(root));
        const QJsonObject state = QJsonDocument::fromJson(bytes).object();
        QCOMPARE(keysOf(state), QStringList({QStringLiteral("app"), QStringLiteral("bundles"),
                                             QStringLiteral("installedAt"), QStringLiteral("installedVersion"),
                                             QStringLiteral("schemaVersion"),
                                             QStringLiteral("updatedByConfigVersion")}));
        QCOMPARE(state.value(QStringLiteral("schemaVersion")), QJsonValue(1));
        QCOMPARE(state.value(QStringLiteral("app")), QJsonValue(QStringLiteral("Kavendru")));
        QCOMPARE(state.value(QStringLiteral("installedVersion")), QJsonValue(QStringLiteral("1.0.5")));
        QCOMPARE(state.value(QStringLiteral("updatedByConfigVersion")), QJsonValue(QStringLiteral("1.0.5")));
        const QJsonObject bundles{
            {QStringLiteral("linux-x64"),
             QJsonObject{{QStringLiteral("entryPoint"), QStringLiteral("Kavendru")},
                         {QStringLiteral("path"), QStringLiteral("Kavendru/linux")}}},
            {QStringLiteral("windows-x64"),
             QJsonObject{{QStringLiteral("entryPoint"), QStringLiteral("Kavendru.exe")},
                         {QStringLiteral("path"), QStringLiteral("Kavendru/windows")}}}};
        QCOMPARE(state.value(QStringLiteral("bundles")).toObject(), bundles);

        const QString installedAt = state.value(QStringLiteral("installedAt")).toString();
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"))
                     .match(installedAt)
                     .hasMatch(),
                 qPrintable(installedAt));
        const QDateTime at = QDateTime::fromString(installedAt, Qt::ISODate);
        QVERIFY(at >= before && at <= QDateTime::currentDateTimeUtc());

        // Indented as Qt writes it, keys in order, four spaces a level.
        QCOMPARE(bytes, QJsonDocument(state).toJson(QJsonDocument::Indented));
        QVERIFY(bytes.startsWith("{\n    \"app\": \"Kavendru\",\n    \"bundles\": {\n        \"linux-x64\": {\n"));
    }

    void digestAndReplacement()
    {
        QString error;
        const QString digest(64, QLatin1Char('a'));
        QVERIFY(writeUpdateState(root, QStringLiteral("1.0.6"), digest, &error));
        QJsonObject first = readState(root);
        QCOMPARE(first.value(QStringLiteral("lastPackageSha256")), QJsonValue(digest));
        QCOMPARE(first.value(QStringLiteral("installedVersion")), QJsonValue(QStringLiteral("1.0.6")));

        QTest::qWait(1100);
        QVERIFY(writeUpdateState(root, QStringLiteral("1.0.5"), QString(), &error));
        const QJsonObject second = readState(root);
        QVERIFY(!second.contains(QStringLiteral("lastPackageSha256")));
        QCOMPARE(second.value(QStringLiteral("installedVersion")), QJsonValue(QStringLiteral("1.0.5")));
        QVERIFY(QDateTime::fromString(second.value(QStringLiteral("installedAt")).toString(), Qt::ISODate)
                > QDateTime::fromString(first.value(QStringLiteral("installedAt")).toString(), Qt::ISODate));
        // Only the state file: no save file left behind.
        QCOMPARE(QDir(QDir(root).filePath(QStringLiteral("Kavendru"))).entryList(QDir::AllEntries | QDir::Hidden
                                                                                 | QDir::NoDotAndDotDot),
                 QStringList({QStringLiteral("update-state.json")}));
    }

    void linksOnTheDriveAreRefused_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("message");
        QTest::newRow("product folder") << "Kavendru" << "elsewhere"
                                        << "A pasta Kavendru da unidade é um link simbólico: %1";
        QTest::newRow("state file") << "Kavendru/update-state.json" << "elsewhere/update-state.json"
                                    << "O arquivo de estado da atualização é um link simbólico: %1";
        QTest::newRow("state file, dangling") << "Kavendru/update-state.json" << "elsewhere/missing.json"
                                              << "O arquivo de estado da atualização é um link simbólico: %1";
    }

    void linksOnTheDriveAreRefused()
    {
        QFETCH(QString, link);
        QFETCH(QString, target);
        QFETCH(QString, message);
        const QString elsewhere = dir->filePath(QStringLiteral("elsewhere"));
        QVERIFY(QDir().mkpath(elsewhere));
        if (link != QLatin1String("Kavendru"))
            QVERIFY(QDir().mkpath(QDir(root).filePath(QStringLiteral("Kavendru"))));
        const QString existing = QDir(elsewhere).filePath(QStringLiteral("update-state.json"));
        QVERIFY(KavendruTest::writeWholeFile(existing, "antigo"));
        const QString linkPath = QDir(root).filePath(link);
        QVERIFY(QFile::link(dir->filePath(target), linkPath));

        QString error;
        QVERIFY(!writeUpdateState(root, QStringLiteral("1.0.5"), QString(), &error));
        QCOMPARE(error, message.arg(QFileInfo(linkPath).absoluteFilePath()));
        QCOMPARE(KavendruTest::readWholeFile(existing), QByteArray("antigo"));
        QCOMPARE(QDir(elsewhere).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({QStringLiteral("update-state.json")}));
        QVERIFY(QFileInfo(linkPath).isSymLink());
    }

    void productFolderCannotBeMade()
    {
        QVERIFY(KavendruTest::writeWholeFile(QDir(root).filePath(QStringLiteral("Kavendru")), "um arquivo"));
        QString error;
        QVERIFY(!writeUpdateState(root, QStringLiteral("1.0.5"), QString(), &error));
        QCOMPARE(error, QStringLiteral("Não foi possível criar a pasta de estado da atualização."));
    }

    void stateFileCannotBeOpened()
    {
        QVERIFY(QDir().mkpath(updateStatePath(root)));
        QString error;
        QVERIFY(!writeUpdateState(root, QStringLiteral("1.0.5"), QString(), &error));
        QCOMPARE(error, QStringLiteral("Não foi possível abrir o arquivo de estado: %1").arg(updateStatePath(root)));
    }

    // The write lands in Qt's buffer and fails only when flushed: a commit
    // without that check would replace the old file with an empty one.
    void fullDriveKeepsTheOldFile()
    {
        if (!KavendruTest::inPrivateMountNamespace())
            QSKIP("needs root for a tmpfs of its own");
        const QString mountPoint = dir->filePath(QStringLiteral("cheio"));
        KavendruTest::ScopedTmpfs tmpfs(mountPoint, 64 * 1024);
        QVERIFY(tmpfs.isMounted());
        QString error;
        QVERIFY(writeUpdateState(mountPoint, QStringLiteral("1.0.4"), QString(), &error));
        const QByteArray old = KavendruTest::readWholeFile(updateStatePath(mountPoint));

        QFile filler(QDir(mountPoint).filePath(QStringLiteral("enchimento")));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        filler.close();

        QVERIFY(!writeUpdateState(mountPoint, QStringLiteral("1.0.5"), QString(64, QLatin1Char('b')), &error));
        QCOMPARE(error, QStringLiteral("Não foi possível gravar o arquivo de estado: %1").arg(updateStatePath(mountPoint)));
        QCOMPARE(KavendruTest::readWholeFile(updateStatePath(mountPoint)), old);
        QCOMPARE(QDir(QDir(mountPoint).filePath(QStringLiteral("Kavendru")))
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({QStringLiteral("update-state.json")}));
    }

    void installedVersion_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("version");
        QTest::newRow("as written") << QByteArray() << "1.0.5";
        QTest::newRow("schema not looked at")
            << QByteArray(R"({"app": "Kavendru", "installedVersion": "2.0.0", "schemaVersion": 7})") << "2.0.0";
        QTest::newRow("another app") << QByteArray(R"({"app": "Outro", "installedVersion": "2.0.0"})") << "";
        QTest::newRow("app in another case") << QByteArray(R"({"app": "kavendru", "installedVersion": "2.0.0"})")
                                             << "";
        QTest::newRow("no app") << QByteArray(R"({"installedVersion": "2.0.0"})") << "";
        QTest::newRow("version as a number") << QByteArray(R"({"app": "Kavendru", "installedVersion": 2})") << "";
        QTest::newRow("no version") << QByteArray(R"({"app": "Kavendru"})") << "";
        QTest::newRow("an array") << QByteArray(R"([{"app": "Kavendru", "installedVersion": "2.0.0"}])") << "";
        QTest::newRow("not json") << QByteArray("\x00\xff garbage", 10) << "";
        QTest::newRow("empty") << QByteArray("") << "";
        // A state file is a few hundred bytes; megabytes of it are not ours.
        QTest::newRow("over a mebibyte")
            << QByteArray(R"({"app": "Kavendru", "installedVersion": "2.0.0", "pad": ")") + QByteArray(1 << 20, 'p')
                   + QByteArray(R"("})")
            << "";
    }

    void installedVersion()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, version);
        QString error;
        QVERIFY(writeUpdateState(root, QStringLiteral("1.0.5"), QString(), &error));
        if (!content.isNull())
            QVERIFY(KavendruTest::writeWholeFile(updateStatePath(root), content));
        QCOMPARE(installedBundleVersion(root), version);
    }

    void installedVersionWithoutARegularFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("no file") << "none";
        QTest::newRow("no product folder") << "no folder";
        QTest::newRow("a folder") << "folder";
        // Opening a fifo waits for a writer that never comes.
        QTest::newRow("a fifo") << "fifo";
        QTest::newRow("a link to a fifo") << "link to fifo";
    }

    void installedVersionWithoutARegularFile()
    {
        QFETCH(QString, kind);
        const QString path = updateStatePath(root);
        if (kind != QLatin1String("no folder"))
            QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(path));
        const QString fifo = kind == QLatin1String("fifo") ? path : dir->filePath(QStringLiteral("fifo"));
        if (kind.contains(QLatin1String("fifo")))
            QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        if (kind == QLatin1String("link to fifo"))
            QVERIFY(QFile::link(fifo, path));
        QCOMPARE(installedBundleVersion(root), QString());
    }

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString root;
};

KAVENDRU_CONFIG_TEST_MAIN(UpdateStateTest)

#include "tst_updatestate.moc"
