// Recovery of interrupted updates: a drive laid out as each phase of an
// update leaves it (journal, bundles, backups with markers), the rule that
// applies, its message, the folders, the journal and the log afterwards;
// hostile journals; and the background recoveries of the window.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"
#include "UpdateTestSupport.h"
#include "common/TestSupport.h"

#include <QTest>

using namespace ConfigTest;
using namespace UpdateTest;

namespace {

const QString kId = QStringLiteral("20240501123456");

QString logOf(const QString& usbRoot)
{
    return QDir(productOf(usbRoot)).filePath(QStringLiteral("update-log-%1.jsonl").arg(kId));
}

QJsonObject journalOf(const QString& usbRoot)
{
    return QJsonDocument::fromJson(KavendruTest::readWholeFile(updateJournalPath(usbRoot))).object();
}

// The journal an update at that phase writes, its folders under the root
// named (the mount of the run that started it).
QJsonObject journalFor(const QString& namedRoot, const QString& phase, const QString& version)
{
    const QDir product(productOf(namedRoot));
    return QJsonObject{{"schemaVersion", 1},
                       {"app", "Kavendru"},
                       {"id", kId},
                       {"startedAt", QDateTime::currentDateTimeUtc().addSecs(-5).toString(Qt::ISODateWithMs)},
                       {"phase", phase},
                       {"version", version},
                       {"packageSha256", QString(64, QLatin1Char('a'))},
                       {"workRoot", product.filePath(".update-20240501123456000")},
                       {"windowsPath", product.filePath("windows")},
                       {"linuxPath", product.filePath("linux")},
                       {"windowsBackup", product.filePath("windows.backup-" + kId)},
                       {"linuxBackup", product.filePath("linux.backup-" + kId)}};
}

// "W=new WB=old L=old" and so on: the four folders and their markers; a
// folder not named is absent.
bool layOut(const QString& usbRoot, const QString& layout)
{
    const QDir product(productOf(usbRoot));
    for (const char* name : {"windows", "linux"})
        QDir(product.filePath(QLatin1String(name))).removeRecursively();
    const QHash<QString, QString> folders{{"W", "windows"},
                                          {"L", "linux"},
                                          {"WB", "windows.backup-" + kId},
                                          {"LB", "linux.backup-" + kId}};
    for (const QString& item : layout.split(' ', Qt::SkipEmptyParts)) {
        const QString key = item.section('=', 0, 0);
        const QByteArray marker = item.section('=', 1).toUtf8();
        const QString bundle = key.startsWith('W') ? "windows" : "linux";
        const QString folder = product.filePath(folders.value(key));
        if (!KavendruTest::writeWholeFile(QDir(folder).filePath("marker.txt"), marker)
            && !(QDir().mkpath(folder) && KavendruTest::writeWholeFile(QDir(folder).filePath("marker.txt"), marker)))
            return false;
        if (!KavendruTest::writeWholeFile(QDir(folder).filePath(bundle == "windows" ? "Kavendru.exe" : "Kavendru"),
                                          marker))
            return false;
    }
    return true;
}

// The same notation read back from the drive.
QString layoutOf(const QString& usbRoot)
{
    const QDir product(productOf(usbRoot));
    QStringList parts;
    const QList<QPair<QString, QString>> folders{{"W", "windows"},
                                                 {"WB", "windows.backup-" + kId},
                                                 {"L", "linux"},
                                                 {"LB", "linux.backup-" + kId}};
    for (const auto& [key, name] : folders) {
        const QString folder = product.filePath(name);
        if (QFileInfo(folder).isDir())
            parts.append(key + "=" + QString::fromUtf8(bundleMarker(folder)));
    }
    return parts.join(' ');
}

} // namespace

class UpdateRecoveryTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        dir = KavendruTest::makeTempDir();
        root = dir->filePath(QStringLiteral("PENDRIVE"));
        QVERIFY(QDir().mkpath(productOf(root)));
        drives = std::make_shared<QList<UsbDevice>>(QList<UsbDevice>{mountedDrive(root)});
    }

    void rules_data()
    {
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("installed");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("journalAfter"); // "gone" or its phase
        QTest::addColumn<QString>("logLine");

        const QString complete = QStringLiteral("Uma atualização interrompida foi concluída com segurança.");
        const QString staged = QStringLiteral("Uma atualização interrompida antes da promoção foi descartada; o staging "
                                              "foi preservado para diagnóstico.");
        const QString rolledBack = QStringLiteral("Uma atualização interrompida foi revertida com segurança; os "
                                                  "arquivos de diagnóstico foram preservados.");
        const QString earlier = QStringLiteral("Uma atualização anterior já havia sido revertida; os arquivos de "
                                               "diagnóstico foram preservados.");
        // The rows of what each failing step leaves behind.
        QTest::newRow("staged: discarded") << "staged" << "1.0.6" << "1.0.5" << "W=old L=old" << "W=old L=old"
                                           << staged << "gone" << "recovered-staged";
        QTest::newRow("promoting-windows, moved back") << "promoting-windows" << "1.0.6" << "1.0.5" << "W=old L=old"
                                                       << "W=old L=old" << rolledBack << "rolled-back"
                                                       << "recovered-rollback";
        QTest::newRow("promoting-windows, not moved back") << "promoting-windows" << "1.0.6" << "1.0.5"
                                                           << "WB=old L=old" << "W=old L=old" << rolledBack
                                                           << "rolled-back" << "recovered-rollback";
        QTest::newRow("promoting-windows, promoted") << "promoting-windows" << "1.0.6" << "1.0.5"
                                                     << "W=new WB=old L=old" << "W=old L=old" << rolledBack
                                                     << "rolled-back" << "recovered-rollback";
        QTest::newRow("windows-promoted") << "windows-promoted" << "1.0.6" << "1.0.5" << "W=new WB=old L=old"
                                          << "W=old L=old" << rolledBack << "rolled-back" << "recovered-rollback";
        QTest::newRow("rolled-back: left alone") << "rolled-back" << "1.0.6" << "1.0.5" << "W=old L=old LB=old"
                                                 << "W=old L=old LB=old" << earlier << "rolled-back" << "";
        QTest::newRow("promoting-linux") << "promoting-linux" << "1.0.6" << "1.0.5" << "W=new WB=old L=new LB=old"
                                         << "W=old L=old" << rolledBack << "rolled-back" << "recovered-rollback";
        QTest::newRow("bundles-promoted") << "bundles-promoted" << "1.0.6" << "1.0.5" << "W=new WB=old L=new LB=old"
                                          << "W=old L=old" << rolledBack << "rolled-back" << "recovered-rollback";
        QTest::newRow("bundles-promoted, state new") << "bundles-promoted" << "1.0.6" << "1.0.6"
                                                     << "W=new WB=old L=new LB=old" << "W=new L=new" << complete
                                                     << "gone" << "recovered-complete";
        QTest::newRow("state-written, backups partly gone") << "state-written" << "1.0.6" << "1.0.6"
                                                            << "W=new L=new LB=old" << "W=new L=new" << complete
                                                            << "gone" << "recovered-complete";
        QTest::newRow("state-written, backups gone") << "state-written" << "1.0.6" << "1.0.6" << "W=new L=new"
                                                     << "W=new L=new" << complete << "gone" << "recovered-complete";
        // Edge cases of the rules.
        QTest::newRow("staged of the installed version") << "staged" << "1.0.6" << "1.0.6" << "W=old L=old"
                                                         << "W=old L=old" << complete << "gone"
                                                         << "recovered-complete";
        QTest::newRow("empty version is never installed") << "staged" << "" << "" << "W=old L=old" << "W=old L=old"
                                                          << staged << "gone" << "recovered-staged";
        QTest::newRow("unknown phase rolls back") << "sabe-se-la" << "1.0.6" << "1.0.5" << "W=new WB=old L=old"
                                                  << "W=old L=old" << rolledBack << "rolled-back"
                                                  << "recovered-rollback";
        // At "state-written" the new bundles are whole: finished forward,
        // also when the state file no longer tells.
        QTest::newRow("state-written, state file unreadable") << "state-written" << "1.0.6" << ""
                                                              << "W=new WB=old L=new LB=old" << "W=new L=new"
                                                              << complete << "gone" << "recovered-complete";
    }

    void rules()
    {
        QFETCH(QString, phase);
        QFETCH(QString, version);
        QFETCH(QString, installed);
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(QString, message);
        QFETCH(QString, journalAfter);
        QFETCH(QString, logLine);
        QVERIFY(layOut(root, before));
        QString error;
        if (!installed.isEmpty())
            QVERIFY(writeUpdateState(root, installed, QString(), &error));
        const QString work = QDir(productOf(root)).filePath(".update-20240501123456000/extracted");
        QVERIFY(QDir().mkpath(work));
        const QJsonObject journal = journalFor(root, phase, version);
        QVERIFY(writeUpdateJournal(root, journal, nullptr));

        QString got;
        QVERIFY2(recoverInterruptedUpdate(root, &got, &error), qPrintable(error));
        QCOMPARE(got, message);
        QCOMPARE(layoutOf(root), after);
        if (journalAfter == QLatin1String("gone")) {
            QVERIFY(!QFileInfo::exists(updateJournalPath(root)));
        } else {
            const QJsonObject left = journalOf(root);
            QCOMPARE(left.value("phase").toString(), journalAfter);
            for (const char* key : {"id", "startedAt", "version", "windowsPath", "linuxBackup", "workRoot"})
                QCOMPARE(left.value(QLatin1String(key)), journal.value(QLatin1String(key)));
        }
        const QStringList phases = logPhases(logOf(root));
        QCOMPARE(phases, logLine.isEmpty() ? QStringList() : QStringList({logLine}));
        if (logLine == QLatin1String("recovered-rollback"))
            QVERIFY(KavendruTest::readWholeFile(logOf(root)).contains("\"elapsedMs\""));
        if (logLine == QLatin1String("recovered-complete") || logLine == QLatin1String("recovered-staged"))
            QVERIFY(!KavendruTest::readWholeFile(logOf(root)).contains("\"elapsedMs\""));
        // The work folder stays for diagnosis.
        QVERIFY(QFileInfo(work).isDir());
        // A second recovery agrees with the first.
        QString again;
        QVERIFY(recoverInterruptedUpdate(root, &again, &error));
        QCOMPARE(layoutOf(root), after);
    }

    void noJournal()
    {
        QVERIFY(layOut(root, "W=old L=old"));
        QString message = QStringLiteral("intocado");
        QString error;
        QVERIFY(recoverInterruptedUpdate(root, &message, &error));
        QCOMPARE(message, QStringLiteral("intocado"));
        QCOMPARE(layoutOf(root), QStringLiteral("W=old L=old"));
    }

    // Nothing is deleted or rewritten: the drive stays as found.
    void journalsNotActedOn_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("error");
        const QString unreadable = QStringLiteral("Não foi possível ler o journal de atualização pendente.");
        const QString invalid = QStringLiteral("O journal de atualização pendente é inválido e foi preservado para "
                                               "diagnóstico.");
        QTest::newRow("journal is a folder") << "folder" << unreadable;
        QTest::newRow("journal is a link") << "link" << unreadable;
        QTest::newRow("journal over 1 MiB") << "big" << unreadable;
        QTest::newRow("not JSON") << "garbage" << invalid;
        QTest::newRow("schema as text") << "schema text" << invalid;
        QTest::newRow("another app") << "app" << invalid;
        QTest::newRow("id not 14 digits") << "id" << unreadable;
        QTest::newRow("id with a path") << "id path" << unreadable;
        QTest::newRow("id with a line break") << "id newline" << unreadable;
        QTest::newRow("backup outside the drive") << "outside" << unreadable;
        QTest::newRow("backup of another name") << "other name" << unreadable;
        QTest::newRow("bundle folder of another name") << "bundle name" << unreadable;
        QTest::newRow("folder missing") << "missing key" << unreadable;
        QTest::newRow("product folder is a link") << "linked product" << "A pasta Kavendru da unidade é um link "
                                                                         "simbólico: %1";
    }

    void journalsNotActedOn()
    {
        QFETCH(QString, situation);
        QFETCH(QString, error);
        QVERIFY(layOut(root, "W=new WB=old L=new LB=old"));
        // What a hostile journal would have the recovery reach.
        const QString victim = dir->filePath("victim");
        QVERIFY(QDir().mkpath(QDir(victim).filePath("windows.backup-" + kId)));
        QVERIFY(KavendruTest::writeWholeFile(QDir(victim).filePath("windows.backup-" + kId + "/x"), "x"));
        QJsonObject journal = journalFor(root, "bundles-promoted", "1.0.6");
        const QString journalPath = updateJournalPath(root);
        QByteArray bytes;
        if (situation == QLatin1String("garbage"))
            bytes = "{ isto não é json";
        if (situation == QLatin1String("big"))
            bytes = QJsonDocument(QJsonObject{{"schemaVersion", 1}, {"app", "Kavendru"}, {"pad", QString(1 << 20, 'p')}})
                        .toJson();
        if (situation == QLatin1String("schema text"))
            journal["schemaVersion"] = "1";
        if (situation == QLatin1String("app"))
            journal["app"] = "kavendru";
        if (situation == QLatin1String("id"))
            journal["id"] = "2024050112345";
        if (situation == QLatin1String("id path"))
            journal["id"] = "../../../victim";
        // Folders named after that id, as an update of it would name them.
        if (situation == QLatin1String("id newline")) {
            journal["id"] = kId + "\n";
            journal["windowsBackup"] = QDir(productOf(root)).filePath("windows.backup-" + kId + "\n");
            journal["linuxBackup"] = QDir(productOf(root)).filePath("linux.backup-" + kId + "\n");
        }
        if (situation == QLatin1String("outside"))
            journal["windowsBackup"] = QDir(victim).filePath("windows.backup-" + kId) + "/..";
        if (situation == QLatin1String("other name"))
            journal["windowsBackup"] = QDir(productOf(root)).filePath("windows.backup-20240501000000");
        if (situation == QLatin1String("bundle name"))
            journal["linuxPath"] = QDir(productOf(root)).filePath("Linux");
        if (situation == QLatin1String("missing key"))
            journal.remove("linuxBackup");
        if (bytes.isEmpty())
            bytes = QJsonDocument(journal).toJson();
        if (situation == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(journalPath));
        } else if (situation == QLatin1String("link")) {
            QVERIFY(KavendruTest::writeWholeFile(dir->filePath("journal.json"), bytes));
            QVERIFY(QFile::link(dir->filePath("journal.json"), journalPath));
        } else if (situation == QLatin1String("linked product")) {
            QVERIFY(KavendruTest::writeWholeFile(journalPath, bytes));
            QVERIFY(QDir().rename(productOf(root), QDir(victim).filePath("Kavendru")));
            QVERIFY(QFile::link(QDir(victim).filePath("Kavendru"), productOf(root)));
        } else {
            QVERIFY(KavendruTest::writeWholeFile(journalPath, bytes));
        }
        const QStringList before = treeOf(dir->path());
        const QByteArray journalBefore = KavendruTest::readWholeFile(journalPath);

        QString message;
        QString got;
        QVERIFY(!recoverInterruptedUpdate(root, &message, &got));
        QCOMPARE(got, QString(error).replace("%1", productOf(root)));
        QCOMPARE(treeOf(dir->path()), before);
        QCOMPARE(KavendruTest::readWholeFile(journalPath), journalBefore);
    }

    // The vault program may run from the bundle folders the recovery would
    // move or delete: the drive stays as it is until a later refresh.
    void vaultProgramRunning_data()
    {
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QString>("installed");
        QTest::addColumn<QString>("layout");
        QTest::newRow("rollback") << "windows-promoted" << "1.0.5" << "W=new WB=old L=old";
        QTest::newRow("finish forward") << "state-written" << "1.0.6" << "W=new WB=old L=new LB=old";
        QTest::newRow("discard staging") << "staged" << "1.0.5" << "W=old L=old";
    }

    void vaultProgramRunning()
    {
        QFETCH(QString, phase);
        QFETCH(QString, installed);
        QFETCH(QString, layout);
        QVERIFY(layOut(root, layout));
        QString error;
        QVERIFY(writeUpdateState(root, installed, QString(), &error));
        QVERIFY(writeUpdateJournal(root, journalFor(root, phase, "1.0.6"), nullptr));
        const QByteArray journal = KavendruTest::readWholeFile(updateJournalPath(root));
        const QString deferred = QStringLiteral("O Kavendru está em execução: a atualização pendente em %1 foi mantida "
                                                "e será recuperada quando a lista for atualizada com o Kavendru "
                                                "fechado.")
                                     .arg(root);
        QVERIFY(QDir().mkpath(dir->filePath("bin")));
        auto vault = std::make_unique<NamedProcess>(dir->filePath("bin"), QStringLiteral("Kavendru"));
        QVERIFY(vault->running());
        const QStringList withProgram = treeOf(dir->path());

        QString message;
        QVERIFY2(recoverInterruptedUpdate(root, &message, &error), qPrintable(error));
        QCOMPARE(message, deferred);
        QCOMPARE(treeOf(dir->path()), withProgram);
        QCOMPARE(KavendruTest::readWholeFile(updateJournalPath(root)), journal);

        // In the window: no failure, the log says so, and a refresh once the
        // program has ended recovers.
        *drives = {mountedDrive(root)};
        const auto window = makeWindow();
        QTRY_COMPARE_WITH_TIMEOUT(window->pendingRecoveryCount, 0, 30000);
        QCOMPARE(lines(window->log->toPlainText()).last(), deferred);
        QVERIFY(window->failedRecoveryRoots.isEmpty());
        QCOMPARE(KavendruTest::readWholeFile(updateJournalPath(root)), journal);
        vault.reset();
        window->refreshButton->click();
        QTRY_COMPARE_WITH_TIMEOUT(window->pendingRecoveryCount, 0, 30000);
        QVERIFY(lines(window->log->toPlainText()).last() != deferred);
        QCOMPARE(layoutOf(root), phase == QLatin1String("state-written") ? QStringLiteral("W=new L=new")
                                                                            : QStringLiteral("W=old L=old"));
    }

    // The folders are the current mount's, whatever mount wrote the journal.
    void journalOfAnotherMount()
    {
        QVERIFY(layOut(root, "W=new WB=old L=new LB=old"));
        QVERIFY(writeUpdateJournal(root, journalFor(QStringLiteral("/media/outro/USB"), "promoting-linux", "1.0.6"),
                                   nullptr));
        QString message;
        QString error;
        QVERIFY2(recoverInterruptedUpdate(root, &message, &error), qPrintable(error));
        QCOMPARE(layoutOf(root), QStringLiteral("W=old L=old"));
        QCOMPARE(journalOf(root).value("phase").toString(), QStringLiteral("rolled-back"));
        QCOMPARE(journalOf(root).value("windowsPath").toString(), QStringLiteral("/media/outro/USB/Kavendru/windows"));
    }

    // A restoration that fails leaves the journal at its phase, for the next
    // run: "rolled-back" is written only once both bundles are back.
    void restorationFails_data()
    {
        QTest::addColumn<QString>("pinned");
        QTest::addColumn<QString>("after");
        // The new bundle may be partly gone; its old one waits in the backup.
        QTest::newRow("Windows") << "windows" << "W= WB=old L=new LB=old";
        QTest::newRow("Linux, after Windows") << "linux" << "W=old L= LB=old";
    }

    void restorationFails()
    {
        QFETCH(QString, pinned);
        QFETCH(QString, after);
        if (!KavendruTest::inPrivateMountNamespace())
            QSKIP("needs root for a mount point");
        QVERIFY(layOut(root, "W=new WB=old L=new LB=old"));
        // A mount inside the new bundle keeps it from being removed.
        KavendruTest::ScopedTmpfs mount(QDir(productOf(root)).filePath(pinned + "/preso"), 1 << 20);
        QVERIFY(mount.isMounted());
        QVERIFY(writeUpdateJournal(root, journalFor(root, "bundles-promoted", "1.0.6"), nullptr));
        QString message;
        QString error;
        QVERIFY(!recoverInterruptedUpdate(root, &message, &error));
        QCOMPARE(error, QStringLiteral("Não foi possível remover: %1").arg(QDir(productOf(root)).filePath(pinned)));
        QCOMPARE(layoutOf(root), after);
        QCOMPARE(journalOf(root).value("phase").toString(), QStringLiteral("bundles-promoted"));
        QCOMPARE(logPhases(logOf(root)), QStringList());
    }

    void windowRecoversInTheBackground()
    {
        QVERIFY(layOut(root, "W=new WB=old L=old"));
        QVERIFY(writeUpdateJournal(root, journalFor(root, "windows-promoted", "1.0.6"), nullptr));
        const QString other = dir->filePath("OUTRA");
        QVERIFY(QDir().mkpath(productOf(other)));
        QVERIFY(writeUpdateJournal(other, journalFor(other, "staged", "1.0.6"), nullptr));
        const QString clean = dir->filePath("LIMPA");
        QVERIFY(QDir().mkpath(productOf(clean)));
        *drives = {mountedDrive(root), mountedDrive(other), mountedDrive(clean),
                   unmountedDrive(QStringLiteral("/dev/sdd1"))};
        const auto window = makeWindow();
        QCOMPARE(window->pendingRecoveryCount, 2);
        QCOMPARE(window->runningRecoveryRoots, QSet<QString>({root, other}));
        QVERIFY(!window->checkUpdatesButton->isEnabled());
        QVERIFY(!window->checkUpdatesAction->isEnabled());
        // While they run, a refresh starts no second one.
        window->refreshButton->click();
        QCOMPARE(window->pendingRecoveryCount, 2);

        QTRY_COMPARE_WITH_TIMEOUT(window->pendingRecoveryCount, 0, 30000);
        QVERIFY(window->checkUpdatesButton->isEnabled());
        QVERIFY(window->checkUpdatesAction->isEnabled());
        QVERIFY(window->runningRecoveryRoots.isEmpty());
        QVERIFY(window->failedRecoveryRoots.isEmpty());
        const QStringList log = lines(window->log->toPlainText());
        QCOMPARE(log.filter("Recuperando atualização pendente em").size(), 2);
        QVERIFY(log.contains(QStringLiteral("Recuperando atualização pendente em %1...").arg(root)));
        QVERIFY(log.contains(QStringLiteral("Uma atualização interrompida foi revertida com segurança; os arquivos de "
                                            "diagnóstico foram preservados.")));
        QVERIFY(log.contains(QStringLiteral("Uma atualização interrompida antes da promoção foi descartada; o staging "
                                            "foi preservado para diagnóstico.")));
        QCOMPARE(layoutOf(root), QStringLiteral("W=old L=old"));

        // A rolled-back journal is recovered again at every refresh.
        window->refreshButton->click();
        QCOMPARE(window->runningRecoveryRoots, QSet<QString>({root}));
        QTRY_COMPARE_WITH_TIMEOUT(window->pendingRecoveryCount, 0, 30000);
        QCOMPARE(lines(window->log->toPlainText()).last(),
                 QStringLiteral("Uma atualização anterior já havia sido revertida; os arquivos de diagnóstico foram "
                                "preservados."));
    }

    void failedRecoveryWarnsAndBlocks()
    {
        QVERIFY(layOut(root, "W=old L=old"));
        QVERIFY(KavendruTest::writeWholeFile(updateJournalPath(root), "{quebrado"));
        ModalDriver driver;
        driver.answerBox(QStringLiteral("OK"));
        const auto window = makeWindow();
        QTRY_COMPARE_WITH_TIMEOUT(driver.boxes().size(), 1, 30000);
        const QString error = QStringLiteral("O journal de atualização pendente é inválido e foi preservado para "
                                             "diagnóstico.");
        QCOMPARE(driver.boxes().first().icon, QMessageBox::Warning);
        QCOMPARE(driver.boxes().first().title, QStringLiteral("Kavendru - Gerenciador"));
        QCOMPARE(driver.boxes().first().text,
                 QStringLiteral("A recuperação automática de uma atualização pendente falhou em %1. A unidade foi "
                                "preservada e nenhuma nova atualização será iniciada.\n\n%2")
                     .arg(root, error));
        QTRY_COMPARE(window->pendingRecoveryCount, 0);
        QCOMPARE(lines(window->log->toPlainText()).last(),
                 QStringLiteral("Atualização pendente não recuperada em %1: %2").arg(root, error));
        QCOMPARE(window->failedRecoveryRoots, QSet<QString>({root}));
        QVERIFY(window->checkUpdatesButton->isEnabled());

        // No second try in this run, and no update of that drive.
        window->refreshButton->click();
        QCOMPARE(window->pendingRecoveryCount, 0);
        QCOMPARE(lines(window->log->toPlainText()).last(), QStringLiteral("1 unidade(s) USB detectada(s)."));
        driver.answerBox(QStringLiteral("OK"));
        window->checkUpdatesButton->click();
        QCOMPARE(driver.boxes().size(), 2);
        QCOMPARE(driver.boxes().last().text,
                 QStringLiteral("Há uma atualização pendente que não pôde ser recuperada com segurança. Nenhuma nova "
                                "atualização será iniciada para esta unidade."));
        QCOMPARE(KavendruTest::readWholeFile(updateJournalPath(root)), QByteArray("{quebrado"));
    }

    // The drive of a running check or update is left to it.
    void driveOfARunningUpdateIsSkipped()
    {
        QVERIFY(layOut(root, "W=new WB=old L=old"));
        QVERIFY(writeUpdateJournal(root, journalFor(root, "windows-promoted", "1.0.6"), nullptr));
        *drives = {};
        const auto window = makeWindow();
        *drives = {mountedDrive(root)};
        window->activeUpdateRoot = root;
        window->refreshButton->click();
        QCOMPARE(window->pendingRecoveryCount, 0);
        // Nor is it prepared meanwhile.
        const QString source = QDir(QCoreApplication::applicationDirPath()).filePath("bundles/linux-x64/Kavendru");
        QVERIFY(QDir().mkpath(QFileInfo(source).absolutePath()));
        QVERIFY(KavendruTest::writeWholeFile(source, "ELF"));
        window->linuxSource.executablePath = source;
        window->linuxSource.runtimeDirectory = QFileInfo(source).absolutePath();
        ModalDriver driver;
        driver.answerBox(QStringLiteral("OK"));
        window->prepareButton->click();
        QCOMPARE(driver.boxes().size(), 1);
        QCOMPARE(driver.boxes().first().text, QStringLiteral("Aguarde a atualização ou a recuperação em andamento "
                                                             "nesta unidade terminar antes de prepará-la."));
        QVERIFY(QDir(QFileInfo(source).absolutePath()).removeRecursively());
        window->activeUpdateRoot.clear();
        window->refreshButton->click();
        QCOMPARE(window->pendingRecoveryCount, 1);
        // An update ending meanwhile does not enable the controls.
        window->activeUpdateRoot = QStringLiteral("/outra");
        QTRY_COMPARE_WITH_TIMEOUT(window->pendingRecoveryCount, 0, 30000);
        QVERIFY(!window->checkUpdatesButton->isEnabled());
        QVERIFY(!window->checkUpdatesAction->isEnabled());
    }

    void journalGoneBeforeTheTask()
    {
        *drives = {};
        const auto window = makeWindow();
        window->recoverPendingUpdateInBackground(root);
        QTRY_COMPARE_WITH_TIMEOUT(window->pendingRecoveryCount, 0, 30000);
        QCOMPARE(lines(window->log->toPlainText()).last(),
                 QStringLiteral("Atualização pendente verificada em %1.").arg(root));
    }

private:
    std::unique_ptr<ConfigWindow> makeWindow()
    {
        return std::make_unique<ConfigWindow>(std::make_unique<FakeDeviceManager>(drives));
    }

    std::unique_ptr<QTemporaryDir> dir;
    QString root;
    std::shared_ptr<QList<UsbDevice>> drives;
};

KAVENDRU_UPDATE_TEST_MAIN(UpdateRecoveryTest)

#include "tst_updaterecovery.moc"
