// The update itself: a package from a local HTTPS server downloaded,
// checked, extracted, validated and promoted under the journal; what each
// failure leaves on the drive, hostile packages included.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"
#include "UpdateTestSupport.h"
#include "common/TestSupport.h"

#include <QTest>

#include <csignal>
#include <sys/resource.h>

using namespace ConfigTest;
using namespace UpdateTest;

namespace {

// The product folder's entries that an update may leave, by kind.
QStringList leftovers(const QString& usbRoot)
{
    return QDir(productOf(usbRoot))
        .entryList({QStringLiteral(".update-*"), QStringLiteral("*.backup-*"), QStringLiteral("update-journal.json")},
                   QDir::AllEntries | QDir::Hidden | QDir::System);
}

QString onlyLog(const QString& usbRoot)
{
    const QStringList logs = QDir(productOf(usbRoot)).entryList({QStringLiteral("update-log-*.jsonl")}, QDir::Files);
    return logs.size() == 1 ? QDir(productOf(usbRoot)).filePath(logs.first()) : QString();
}

QJsonObject journalOf(const QString& usbRoot)
{
    return QJsonDocument::fromJson(KavendruTest::readWholeFile(updateJournalPath(usbRoot))).object();
}

class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const QByteArray& value)
        : name(name)
    {
        qputenv(name, value);
    }
    ~ScopedEnvironment() { qunsetenv(name); }

private:
    const char* name;
};

} // namespace

class UpdateApplyTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        server = std::make_unique<HttpsServer>();
        QVERIFY2(server->isRunning(), qPrintable(server->failure()));
    }

    void init()
    {
        dir = KavendruTest::makeTempDir();
        root = dir->filePath(QStringLiteral("PENDRIVE"));
        QVERIFY(makePreparedDrive(root, "old", QStringLiteral("1.0.5")));
        QVERIFY(KavendruTest::writeWholeFile(QDir(productOf(root)).filePath("README.txt"), "leia"));
    }

    void appliesTheUpdate_data()
    {
        QTest::addColumn<bool>("sizeKnown");
        QTest::newRow("size announced") << true;
        // A negative size tells none: the download is capped as without one.
        QTest::newRow("size -1") << false;
    }

    void appliesTheUpdate()
    {
        QFETCH(bool, sizeKnown);
        UpdateManifest manifest = publish(QStringLiteral("good.zip"), packageEntries("new"));
        if (!sizeKnown)
            manifest.size = -1;
        const UpdateApplyResult result = applyUpdatePackage(root, manifest);
        QVERIFY2(result.success, qPrintable(result.error));
        QCOMPARE(result.version, QStringLiteral("1.0.6"));
        QCOMPARE(result.error, QString());

        QCOMPARE(bundleMarker(QDir(productOf(root)).filePath("windows")), QByteArray("new"));
        QCOMPARE(bundleMarker(QDir(productOf(root)).filePath("linux")), QByteArray("new"));
        QCOMPARE(KavendruTest::readWholeFile(QDir(productOf(root)).filePath("README.txt")), QByteArray("leia"));
        QCOMPARE(leftovers(root), QStringList());
        const QJsonObject state = QJsonDocument::fromJson(KavendruTest::readWholeFile(updateStatePath(root))).object();
        QCOMPARE(state.value("installedVersion").toString(), QStringLiteral("1.0.6"));
        QCOMPARE(state.value("lastPackageSha256").toString(), manifest.sha256);
        QCOMPARE(logPhases(onlyLog(root)),
                 QStringList({"staged", "promoting-windows", "windows-promoted", "promoting-linux", "bundles-promoted",
                              "state-written", "completed"}));
    }

    void driveWithoutALinuxBundle()
    {
        QVERIFY(QDir(QDir(productOf(root)).filePath("linux")).removeRecursively());
        const UpdateApplyResult result = applyUpdatePackage(root, publish("nolinux.zip", packageEntries("new")));
        QVERIFY2(result.success, qPrintable(result.error));
        QCOMPARE(bundleMarker(QDir(productOf(root)).filePath("linux")), QByteArray("new"));
        QCOMPARE(leftovers(root), QStringList());
    }

    // Each stops before the journal: the drive is as it was.
    void refusedBeforeTheJournal_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("error");
        QTest::newRow("package smaller than announced")
            << "short" << "Tamanho do pacote divergente. Esperado: %2 bytes. Recebido: %1 bytes.";
        QTest::newRow("package larger than announced") << "long" << "Resposta acima de %2 bytes ao acessar: %3";
        QTest::newRow("announced 0") << "zero" << "Resposta acima de 0 bytes ao acessar: %3";
        QTest::newRow("announced 2^63 or more") << "huge" << "Tamanho do pacote inválido no manifesto.";
        // Three times it is past 2^63.
        QTest::newRow("announced 2^62") << "2^62" << "Espaço livre insuficiente na unidade USB para preparar a "
                                                     "atualização com segurança.";
        QTest::newRow("version of 65 characters") << "long version" << "Manifesto com version inválida.";
        QTest::newRow("link at the work folder's name") << "work link" << "Não foi possível criar área temporária "
                                                                          "na unidade USB.";
        QTest::newRow("wrong hash") << "hash" << "Hash SHA-256 divergente. O pacote não será aplicado.";
        QTest::newRow("plain http") << "http" << "O pacote de atualização precisa ser baixado por HTTPS: %3";
        QTest::newRow("404") << "404" << "*File not found";
        QTest::newRow("missing entry") << "missing entry"
                                       << "Pacote sem arquivo obrigatório: %4/Kavendru/linux/lib/libssl.so.3";
        QTest::newRow("link entry") << "link" << "Pacote contém link simbólico: %4/Kavendru/linux/lib/libssl.so.3";
        QTest::newRow("files through a linked folder") << "link folder" << "*Falha ao extrair ZIP: ";
        QTest::newRow("link to a folder outside") << "outside link"
                                                  << "Pacote contém link simbólico: %4/Kavendru/windows/extra";
        QTest::newRow("absolute name") << "absolute" << "*Falha ao extrair ZIP: ";
        QTest::newRow("garbage") << "garbage" << "*Falha ao extrair ZIP: ";
        QTest::newRow("pending journal") << "pending" << "Há uma atualização pendente nesta unidade. Atualize a "
                                                         "lista para recuperá-la antes de iniciar outra atualização.";
        QTest::newRow("vault program started meanwhile") << "vault" << "Feche o Kavendru antes de atualizar os bundles "
                                                                       "da unidade USB.";
        QTest::newRow("product folder is a link") << "linked product" << "A pasta Kavendru da unidade é um link "
                                                                         "simbólico: %5";
    }

    void refusedBeforeTheJournal()
    {
        QFETCH(QString, situation);
        QFETCH(QString, error);
        QList<ZipEntry> entries = packageEntries("new");
        if (situation == QLatin1String("missing entry"))
            entries.removeIf([](const ZipEntry& e) { return e.name.endsWith("libssl.so.3"); });
        if (situation == QLatin1String("outside link"))
            entries.append({"Kavendru/windows/extra", dir->path().toUtf8(), true});
        if (situation == QLatin1String("link")) {
            entries.removeIf([](const ZipEntry& e) { return e.name.endsWith("libssl.so.3"); });
            entries.append({"Kavendru/linux/lib/libssl.so.3", "/etc/hostname", true});
        }
        if (situation == QLatin1String("link folder")) {
            entries.removeIf([](const ZipEntry& e) { return e.name.contains("/lib/"); });
            entries.append({"Kavendru/linux/lib", dir->path().toUtf8(), true});
            entries.append({"Kavendru/linux/lib/libssl.so.3", "x", false});
        }
        if (situation == QLatin1String("absolute"))
            entries.append({dir->filePath("absoluto.txt"), "x", false});
        if (situation == QLatin1String("pending"))
            QVERIFY(KavendruTest::writeWholeFile(updateJournalPath(root),
                                                 R"({"schemaVersion":1,"app":"Kavendru","phase":"promoting-linux"})"));
        if (situation == QLatin1String("linked product")) {
            QVERIFY(QDir().rename(productOf(root), dir->filePath("real")));
            QVERIFY(QFile::link(dir->filePath("real"), productOf(root)));
        }
        const QString name = QStringLiteral("refused-%1.zip")
                                 .arg(QString(QTest::currentDataTag()).replace(QRegularExpression("[^A-Za-z0-9]"), "-"));
        UpdateManifest manifest = publish(name, entries);
        const qint64 realSize = manifest.size;
        if (situation == QLatin1String("garbage")) {
            const QByteArray junk = QByteArray("PK\x03\x04 isto não é um zip") + QByteArray(3000, '\x7f');
            QVERIFY(KavendruTest::writeWholeFile(QDir(server->folder()).filePath(name), junk));
            manifest.size = junk.size();
            manifest.sha256 = QString::fromLatin1(sha256Hex(junk));
        }
        if (situation == QLatin1String("short"))
            manifest.size = realSize + 1;
        if (situation == QLatin1String("long"))
            manifest.size = realSize - 1;
        if (situation == QLatin1String("zero"))
            manifest.size = 0;
        if (situation == QLatin1String("huge"))
            manifest.size = kInvalidPackageSize;
        if (situation == QLatin1String("2^62"))
            manifest.size = qint64(1) << 62;
        if (situation == QLatin1String("long version"))
            manifest.version = QStringLiteral("1.") + QString(63, QLatin1Char('0'));
        if (situation == QLatin1String("hash"))
            manifest.sha256 = QString(64, QLatin1Char('0'));
        if (situation == QLatin1String("http"))
            manifest.packageUrl.replace("https://", "http://");
        if (situation == QLatin1String("404"))
            manifest.packageUrl += QStringLiteral(".nada");
        std::unique_ptr<QProcess> vault;
        if (situation == QLatin1String("vault")) {
            QVERIFY(QFile::copy("/bin/sleep", dir->filePath("Kavendru")));
            vault = std::make_unique<QProcess>();
            vault->start(dir->filePath("Kavendru"), {"60"});
            QVERIFY(vault->waitForStarted());
        }
        if (situation == QLatin1String("work link"))
            QVERIFY(QDir().mkpath(dir->filePath("alheia")));
        QStringList before = treeOf(dir->path());
        // The work folder's name is the time of its making: links at every
        // name of the next seconds, to a folder the update must not write to.
        if (situation == QLatin1String("work link")) {
            const QDateTime now = QDateTime::currentDateTimeUtc();
            for (int second = 0; second < 20; ++second) {
                const QString stem = ".update-" + now.addSecs(second).toString("yyyyMMddHHmmss");
                for (int ms = second == 0 ? now.time().msec() : 0; ms < 1000; ++ms) {
                    const QString name = stem + QString::asprintf("%03d", ms);
                    QVERIFY(QFile::link(dir->filePath("alheia"), QDir(productOf(root)).filePath(name)));
                    before.append("PENDRIVE/Kavendru/" + name);
                }
            }
            before.sort();
        }

        const UpdateApplyResult result = applyUpdatePackage(root, manifest);
        if (vault) {
            vault->kill();
            vault->waitForFinished();
        }
        QVERIFY(!result.success);
        QCOMPARE(result.version, manifest.version);
        const QString expected = QString(error)
                                     .replace("%1", QString::number(realSize))
                                     .replace("%2", QString::number(manifest.size))
                                     .replace("%3", manifest.packageUrl)
                                     .replace("%5", productOf(root));
        if (expected.startsWith('*'))
            QVERIFY2(result.error.contains(expected.mid(1)), qPrintable(result.error));
        else if (expected.contains("%4"))
            QVERIFY2(QRegularExpression("^" + QRegularExpression::escape(expected.section("%4", 0, 0))
                                        + QRegularExpression::escape(productOf(root)) + "/\\.update-\\d{17}/extracted"
                                        + QRegularExpression::escape(expected.section("%4", 1)) + "$")
                         .match(result.error)
                         .hasMatch(),
                     qPrintable(result.error));
        else
            QCOMPARE(result.error, expected);
        // Nothing was written anywhere: no work folder, journal or log.
        QCOMPARE(treeOf(dir->path()), before);
    }

    // unzip strips "../": such a name lands inside the extraction, which
    // goes with the work folder.
    void dotDotNamesStayInside()
    {
        QList<ZipEntry> entries = packageEntries("new");
        entries.append({"Kavendru/../../../../../../../../fora.txt", "x", false});
        entries.append({"../windows/fora.txt", "x", false});
        const UpdateApplyResult result = applyUpdatePackage(root, publish("dotdot.zip", entries));
        QVERIFY2(result.success, qPrintable(result.error));
        QVERIFY(!treeOf(dir->path()).join(' ').contains("fora.txt"));
        QVERIFY(!QFileInfo::exists(QDir(KavendruTest::baseTempPath()).filePath("fora.txt")));
        QCOMPARE(bundleMarker(QDir(productOf(root)).filePath("windows")), QByteArray("new"));
    }

    void notEnoughRoom()
    {
        if (!KavendruTest::inPrivateMountNamespace())
            QSKIP("needs root for a small tmpfs");
        const UpdateManifest manifest = publish("room.zip", packageEntries(QByteArray(200 * 1024, 'n')));
        KavendruTest::ScopedTmpfs drive(dir->filePath("SMALL"), 3 * manifest.size - 8192);
        QVERIFY(drive.isMounted());
        QVERIFY(makePreparedDrive(drive.path(), "old", "1.0.5"));
        const QStringList before = treeOf(drive.path());
        const UpdateApplyResult result = applyUpdatePackage(drive.path(), manifest);
        QCOMPARE(result.error,
                 QStringLiteral("Espaço livre insuficiente na unidade USB para preparar a atualização com segurança."));
        QCOMPARE(treeOf(drive.path()), before);
    }

    void injectedFailures_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QByteArray>("windows");
        QTest::addColumn<QByteArray>("linux");
        QTest::addColumn<QString>("installed");
        QTest::newRow("windows-promoted") << QByteArray("windows-promoted") << "windows-promoted" << QByteArray("new")
                                          << QByteArray("old") << "1.0.5";
        QTest::newRow("bundles-promoted") << QByteArray("bundles-promoted") << "bundles-promoted" << QByteArray("new")
                                          << QByteArray("new") << "1.0.5";
        QTest::newRow("state-written, with blanks") << QByteArray(" state-written ") << "state-written"
                                                    << QByteArray("new") << QByteArray("new") << "1.0.6";
        QTest::newRow("staged has no effect") << QByteArray("staged") << "" << QByteArray("new") << QByteArray("new")
                                              << "1.0.6";
        QTest::newRow("completed has no effect") << QByteArray("completed") << "" << QByteArray("new")
                                                 << QByteArray("new") << "1.0.6";
    }

    void injectedFailures()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, phase);
        QFETCH(QByteArray, windows);
        QFETCH(QByteArray, linux);
        QFETCH(QString, installed);
        const UpdateManifest manifest = publish("inject.zip", packageEntries("new"));
        ScopedEnvironment environment("KAVENDRU_TEST_FAIL_UPDATE_PHASE", value);
        const UpdateApplyResult result = applyUpdatePackage(root, manifest);
        QCOMPARE(bundleMarker(QDir(productOf(root)).filePath("windows")), windows);
        QCOMPARE(bundleMarker(QDir(productOf(root)).filePath("linux")), linux);
        QCOMPARE(installedBundleVersion(root), installed);
        if (phase.isEmpty()) {
            QVERIFY2(result.success, qPrintable(result.error));
            return;
        }
        QVERIFY(!result.success);
        QCOMPARE(result.error, QStringLiteral("Falha de teste injetada na fase: %1").arg(phase));
        QCOMPARE(journalOf(root).value("phase").toString(), phase);
        QCOMPARE(logPhases(onlyLog(root)).last(), phase);
        // The work folder goes; the journal and the backups stay for the recovery.
        QVERIFY(leftovers(root).filter(".update-").isEmpty());
        QVERIFY(leftovers(root).contains("update-journal.json"));

        // The recovery makes the drive all old, or all new once the state
        // file names the new version.
        QString message;
        QString recoveryError;
        QVERIFY2(recoverInterruptedUpdate(root, &message, &recoveryError), qPrintable(recoveryError));
        const QByteArray after = installed == QLatin1String("1.0.6") ? "new" : "old";
        QCOMPARE(bundleMarker(QDir(productOf(root)).filePath("windows")), after);
        QCOMPARE(bundleMarker(QDir(productOf(root)).filePath("linux")), after);
        QCOMPARE(installedBundleVersion(root), installed);
        QVERIFY(leftovers(root).filter(".backup-").isEmpty());
        if (after == "new") {
            QCOMPARE(message, QStringLiteral("Uma atualização interrompida foi concluída com segurança."));
            QCOMPARE(leftovers(root), QStringList());
            QCOMPARE(logPhases(onlyLog(root)).last(), QStringLiteral("recovered-complete"));
        } else {
            QCOMPARE(journalOf(root).value("phase").toString(), QStringLiteral("rolled-back"));
            QCOMPARE(logPhases(onlyLog(root)).last(), QStringLiteral("recovered-rollback"));
        }
    }

    // A bundle folder that cannot be moved (a mount point) stops its promotion.
    void promotionFails_data()
    {
        QTest::addColumn<QString>("bundle");
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QString>("lastLog");
        QTest::newRow("Windows") << "windows" << "promoting-windows" << "failed";
        QTest::newRow("Linux: Windows is put back") << "linux" << "rolled-back" << "rolled-back";
    }

    void promotionFails()
    {
        QFETCH(QString, bundle);
        QFETCH(QString, phase);
        QFETCH(QString, lastLog);
        if (!KavendruTest::inPrivateMountNamespace())
            QSKIP("needs root for a mount point");
        const QString pinned = QDir(productOf(root)).filePath(bundle);
        QVERIFY(QDir(pinned).removeRecursively());
        KavendruTest::ScopedTmpfs mount(pinned, 1 << 20);
        QVERIFY(mount.isMounted());
        QVERIFY(KavendruTest::writeWholeFile(QDir(pinned).filePath("marker.txt"), "old"));

        const UpdateApplyResult result = applyUpdatePackage(root, publish("pinned.zip", packageEntries("new")));
        QVERIFY(!result.success);
        QCOMPARE(result.error, QStringLiteral("Não foi possível criar backup de: %1").arg(pinned));
        QCOMPARE(bundleMarker(QDir(productOf(root)).filePath("windows")), QByteArray("old"));
        QCOMPARE(bundleMarker(QDir(productOf(root)).filePath("linux")), QByteArray("old"));
        QCOMPARE(journalOf(root).value("phase").toString(), phase);
        QCOMPARE(logPhases(onlyLog(root)).last(), lastLog);
        QCOMPARE(leftovers(root), QStringList({"update-journal.json"}));
        QCOMPARE(installedBundleVersion(root), QStringLiteral("1.0.5"));
    }

    void stateFileCannotBeWritten()
    {
        const QString state = updateStatePath(root);
        QVERIFY(QFile::remove(state));
        QVERIFY(QFile::link(dir->filePath("estado-fora.json"), state));
        const UpdateApplyResult result = applyUpdatePackage(root, publish("state.zip", packageEntries("new")));
        QVERIFY(!result.success);
        QCOMPARE(result.error, QStringLiteral("O arquivo de estado da atualização é um link simbólico: %1").arg(state));
        QCOMPARE(journalOf(root).value("phase").toString(), QStringLiteral("bundles-promoted"));
        QCOMPARE(logPhases(onlyLog(root)).last(), QStringLiteral("failed"));
        QVERIFY(!QFileInfo::exists(dir->filePath("estado-fora.json")));
    }

    // The journal of an update names its transaction and the folders.
    void journalContents()
    {
        const UpdateManifest manifest = publish("journal.zip", packageEntries("new"));
        ScopedEnvironment environment("KAVENDRU_TEST_FAIL_UPDATE_PHASE", "windows-promoted");
        QVERIFY(!applyUpdatePackage(root, manifest).success);
        const QJsonObject journal = journalOf(root);
        const QString id = journal.value("id").toString();
        QVERIFY(QRegularExpression("^\\d{14}$").match(id).hasMatch());
        QCOMPARE(onlyLog(root), QDir(productOf(root)).filePath("update-log-" + id + ".jsonl"));
        QCOMPARE(journal.value("version").toString(), QStringLiteral("1.0.6"));
        QCOMPARE(journal.value("packageSha256").toString(), manifest.sha256);
        QCOMPARE(journal.value("windowsPath").toString(), QDir(productOf(root)).filePath("windows"));
        QCOMPARE(journal.value("linuxPath").toString(), QDir(productOf(root)).filePath("linux"));
        QCOMPARE(journal.value("windowsBackup").toString(), QDir(productOf(root)).filePath("windows.backup-" + id));
        QCOMPARE(journal.value("linuxBackup").toString(), QDir(productOf(root)).filePath("linux.backup-" + id));
        QVERIFY(QRegularExpression("/Kavendru/\\.update-\\d{17}$").match(journal.value("workRoot").toString()).hasMatch());
        QVERIFY(QDateTime::fromString(journal.value("startedAt").toString(), Qt::ISODateWithMs).isValid());
        QCOMPARE(bundleMarker(journal.value("windowsBackup").toString()), QByteArray("old"));
    }

    // unzip past its time-out is ended and waited for before the work
    // folder goes: nothing writes into the folder once extraction returns.
    void extractionPastItsTimeOutIsEnded()
    {
        const QString bin = dir->filePath("bin");
        const QString folder = dir->filePath("extracted");
        const QString pidFile = dir->filePath("unzip.pid");
        QVERIFY(QDir().mkpath(bin) && QDir().mkpath(folder));
        QVERIFY(KavendruTest::writeWholeFile(QDir(bin).filePath("unzip"),
                                             "#!/bin/sh\necho $$ > '" + pidFile.toUtf8()
                                                 + "'\ntrap '' TERM\nwhile :; do : > \"$5/parte\"; sleep 0.05; done\n"));
        QVERIFY(QFile::setPermissions(QDir(bin).filePath("unzip"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin) + ':' + path);
        QString error;
        const bool extracted = extractPackage(dir->filePath("pacote.zip"), folder, 500, &error);
        qputenv("PATH", path);
        QVERIFY(!extracted);
        QCOMPARE(error, QStringLiteral("Falha ao extrair ZIP: "));
        const pid_t pid = pid_t(KavendruTest::readWholeFile(pidFile).trimmed().toLongLong());
        QVERIFY(pid > 0);
        // Gone from the process table: killed and reaped.
        QCOMPARE(::kill(pid, 0), -1);
        QCOMPARE(errno, ESRCH);
    }

    // A folder of the package that cannot be listed could hide a link. As
    // root only a lack of descriptors keeps a folder from being listed.
    void unlistableFolderIsRefused()
    {
        const QString folder = dir->filePath("extracted");
        QVERIFY(QDir().mkpath(QDir(folder).filePath("Kavendru/linux/lib")));
        QVERIFY(QFile::link("/etc/hostname", QDir(folder).filePath("Kavendru/linux/lib/libssl.so.3")));
        const QString expected = QStringLiteral("Não foi possível ler a pasta do pacote: %1").arg(folder);
        const int code = KavendruTest::runInChild([&] {
            const struct rlimit none = {0, 0};
            if (::setrlimit(RLIMIT_NOFILE, &none) != 0)
                return 2;
            QString error;
            if (packageHoldsOnlyItsOwnFiles(folder, &error))
                return 1;
            return error == expected ? 0 : 3;
        });
        QCOMPARE(code, 0);
    }

    void removeDirectoryNeverFollowsLinks()
    {
        const QString kept = dir->filePath("kept");
        QVERIFY(KavendruTest::writeWholeFile(QDir(kept).filePath("x"), "x") || (QDir().mkpath(kept)
                && KavendruTest::writeWholeFile(QDir(kept).filePath("x"), "x")));
        const QString link = dir->filePath("link");
        QVERIFY(QFile::link(kept, link));
        QVERIFY(removeDirectory(link, nullptr));
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(treeOf(kept), QStringList({"x"}));
        // The working folder stays whatever an empty path means.
        const QString working = QDir::currentPath();
        QVERIFY(QDir::setCurrent(kept));
        QVERIFY(removeDirectory(QString(), nullptr));
        QVERIFY(QDir::setCurrent(working));
        QCOMPARE(treeOf(kept), QStringList({"x"}));
        QVERIFY(removeDirectory(dir->filePath("nada"), nullptr));
        QVERIFY(removeDirectory(kept, nullptr));
        QVERIFY(!QFileInfo::exists(kept));
    }

private:
    UpdateManifest publish(const QString& name, const QList<ZipEntry>& entries)
    {
        const QString path = QDir(server->folder()).filePath(name);
        QString error;
        if (!writeZip(path, entries, &error))
            qWarning("%s", qPrintable(error));
        const QByteArray bytes = KavendruTest::readWholeFile(path);
        UpdateManifest manifest;
        manifest.version = QStringLiteral("1.0.6");
        manifest.packageUrl = server->url(name).toString();
        manifest.sha256 = QString::fromLatin1(sha256Hex(bytes));
        manifest.size = bytes.size();
        return manifest;
    }

    std::unique_ptr<HttpsServer> server;
    std::unique_ptr<QTemporaryDir> dir;
    QString root;
};

KAVENDRU_UPDATE_TEST_MAIN(UpdateApplyTest)

#include "tst_updateapply.moc"
