// The drive list and drive preparation as a user goes through them: the
// rows, the default choice, the refusals in their order, the question, the
// progress dialog, the outcome in the log and boxes, and the drive
// afterwards.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"
#include "UpdateTestSupport.h"
#include "common/TestSupport.h"

#include <QTest>

using namespace ConfigTest;

namespace {

const QString kPrepared = QStringLiteral("USB preparado com estrutura portatil Kavendru.");

QString toolFolder()
{
    return QCoreApplication::applicationDirPath();
}

bool makeFile(const QString& path, const QByteArray& data = "k")
{
    return QDir().mkpath(QFileInfo(path).absolutePath()) && KavendruTest::writeWholeFile(path, data);
}

// Ready-made bundles beside the tool, as a release build leaves them.
bool makeSources(bool windows, bool linux)
{
    const QDir tool(toolFolder());
    bool ok = true;
    if (windows) {
        for (const char* name : {"Kavendru.exe", "Qt6Core.dll", "platforms/qwindows.dll", "vcruntime140.dll",
                                 "vcruntime140_1.dll", "msvcp140.dll"})
            ok = ok && makeFile(tool.filePath(QStringLiteral("bundles/windows-x64/") + QLatin1String(name)));
    }
    if (linux) {
        for (const char* name : {"Kavendru", "qt.conf", "lib/libQt6Core.so.6"})
            ok = ok && makeFile(tool.filePath(QStringLiteral("bundles/linux-x64/") + QLatin1String(name)));
    }
    return ok;
}


// Prepares the selected drive as a user who answers "Sim" and then OK;
// gives back the boxes seen.
QList<SeenBox> prepareConfirmed(ConfigWindow* window, QAction* through = nullptr)
{
    ModalDriver driver;
    driver.answerBox(QStringLiteral("Sim"));
    driver.answerBox(QStringLiteral("OK"));
    if (through)
        through->trigger();
    else
        window->prepareButton->click();
    return driver.boxes();
}

} // namespace

class ConfigDrivesTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        QDir(QDir(toolFolder()).filePath(QStringLiteral("bundles"))).removeRecursively();
        dir = KavendruTest::makeTempDir();
        root = dir->filePath(QStringLiteral("PENDRIVE"));
        QVERIFY(QDir().mkpath(root));
        drives = std::make_shared<QList<UsbDevice>>();
    }

    void cleanupTestCase() { QDir(QDir(toolFolder()).filePath(QStringLiteral("bundles"))).removeRecursively(); }

    void driveList_data()
    {
        QTest::addColumn<QList<UsbDevice>>("found");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("current");
        QTest::addColumn<QString>("logLine");

        QTest::newRow("none") << QList<UsbDevice>() << QStringList() << -1
                              << QStringLiteral("Nenhuma unidade USB detectada.");
        QTest::newRow("one mounted")
            << QList<UsbDevice>{mountedDrive(QStringLiteral("/media/usuario/PENDRIVE"), QStringLiteral("PENDRIVE"))}
            << QStringList{QStringLiteral("PENDRIVE (/media/usuario/PENDRIVE)")} << 0
            << QStringLiteral("1 unidade(s) USB detectada(s).");
        QTest::newRow("two mounted, one not: none chosen")
            << QList<UsbDevice>{mountedDrive(QStringLiteral("/media/usuario/A"), QStringLiteral("A")),
                                unmountedDrive(QStringLiteral("/dev/sdc1"), QStringLiteral("C")),
                                mountedDrive(QStringLiteral("/media/usuario/B"), QStringLiteral("B"))}
            << QStringList{QStringLiteral("A (/media/usuario/A)"), QStringLiteral("C (/dev/sdc1) | não montado"),
                           QStringLiteral("B (/media/usuario/B)")}
            << -1 << QStringLiteral("3 unidade(s) USB detectada(s).");
        QTest::newRow("the one mounted among others")
            << QList<UsbDevice>{unmountedDrive(QStringLiteral("/dev/sdb1"), QStringLiteral("PENDRIVE")),
                                mountedDrive(QStringLiteral("/media/usuario/3A1F-0C2B")),
                                unmountedDrive(QString())}
            << QStringList{QStringLiteral("PENDRIVE (/dev/sdb1) | não montado"),
                           QStringLiteral("/media/usuario/3A1F-0C2B (/media/usuario/3A1F-0C2B)"),
                           QStringLiteral("não montado (não montado) | não montado")}
            << 1 << QStringLiteral("3 unidade(s) USB detectada(s).");
        QTest::newRow("mounted without a folder is not usable")
            << QList<UsbDevice>{mountedDrive(QString(), QStringLiteral("SEM"))} << QStringList{QStringLiteral("SEM ()")}
            << -1 << QStringLiteral("1 unidade(s) USB detectada(s).");
    }

    void driveList()
    {
        QFETCH(QList<UsbDevice>, found);
        QFETCH(QStringList, rows);
        QFETCH(int, current);
        QFETCH(QString, logLine);
        // The window starts with another list; the refresh replaces it.
        *drives = {mountedDrive(QStringLiteral("/media/usuario/ANTIGA"), QStringLiteral("ANTIGA"))};
        const auto window = makeWindow();
        *drives = found;
        window->refreshButton->click();

        QStringList shown;
        for (int i = 0; i < window->deviceCombo->count(); ++i)
            shown.append(window->deviceCombo->itemText(i));
        QCOMPARE(shown, rows);
        QCOMPARE(window->deviceCombo->currentIndex(), current);
        const QStringList log = lines(window->log->toPlainText());
        QCOMPARE(log.size(), 4);
        QCOMPARE(log.at(2), QStringLiteral("1 unidade(s) USB detectada(s)."));
        QCOMPARE(log.last(), logLine);
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QMessageBox::Icon>("icon");
        QTest::addColumn<QString>("text");
        QTest::newRow("no bundle source comes first")
            << "no source" << QMessageBox::Warning
            << QStringLiteral("Compile pelo menos um bundle do Kavendru antes de preparar a unidade.");
        QTest::newRow("no drive chosen") << "no selection" << QMessageBox::Information
                                         << QStringLiteral("Selecione uma unidade USB primeiro.");
        QTest::newRow("drive not mounted")
            << "unmounted" << QMessageBox::Information
            << QStringLiteral("Monte a unidade USB no gerenciador de arquivos e atualize a lista antes de preparar.");
        QTest::newRow("a recovery runs on that drive")
            << "recovery" << QMessageBox::Information
            << QStringLiteral("Aguarde a atualização ou a recuperação em andamento nesta unidade terminar antes de "
                              "prepará-la.");
        // A later recovery would put the backups back over the new bundles.
        QTest::newRow("a pending update on the drive")
            << "pending" << QMessageBox::Information
            << QStringLiteral("Há uma atualização pendente nesta unidade. Atualize a lista para recuperá-la antes de "
                              "preparar a unidade.");
        QTest::newRow("an unreadable journal on the drive")
            << "unreadable journal" << QMessageBox::Information
            << QStringLiteral("Há uma atualização pendente nesta unidade. Atualize a lista para recuperá-la antes de "
                              "preparar a unidade.");
        QTest::newRow("the vault program runs") << "vault runs" << QMessageBox::Warning
                                                << QStringLiteral("Feche o Kavendru antes de preparar a unidade USB.");
        QTest::newRow("answered Não") << "no" << QMessageBox::Question
                                      << QStringLiteral("Preparar a estrutura Kavendru em %1?\n\nA unidade não será "
                                                        "formatada. Arquivos existentes do bundle Kavendru podem ser "
                                                        "substituídos.");
        QTest::newRow("a drive named like markup")
            << "markup" << QMessageBox::Question
            << QStringLiteral("Preparar a estrutura Kavendru em %1?\n\nA unidade não será formatada. Arquivos "
                              "existentes do bundle Kavendru podem ser substituídos.");
        QTest::newRow("Escape is Não") << "escape" << QMessageBox::Question
                                       << QStringLiteral("Preparar a estrutura Kavendru em %1?\n\nA unidade não será "
                                                         "formatada. Arquivos existentes do bundle Kavendru podem ser "
                                                         "substituídos.");
    }

    void refusals()
    {
        QFETCH(QString, situation);
        QFETCH(QMessageBox::Icon, icon);
        QFETCH(QString, text);
        if (situation != QLatin1String("no source"))
            QVERIFY(makeSources(true, true));
        const QString other = dir->filePath(QStringLiteral("OUTRA"));
        // A drive's label names its folder: the drive chooses it.
        if (situation == QLatin1String("markup")) {
            root = dir->filePath(QStringLiteral("<h1>PEN"));
            QVERIFY(QDir().mkpath(root));
        }
        if (situation == QLatin1String("no selection"))
            *drives = {mountedDrive(root), mountedDrive(other)};
        else if (situation == QLatin1String("no source"))
            *drives = {};
        else
            *drives = {mountedDrive(root), unmountedDrive(QStringLiteral("/dev/sdc1"), QStringLiteral("C"))};
        const auto window = makeWindow();
        if (situation == QLatin1String("unmounted"))
            window->deviceCombo->setCurrentIndex(1);
        if (situation == QLatin1String("recovery")) {
            window->runningRecoveryRoots.insert(other);
            window->runningRecoveryRoots.insert(root);
        }
        // Journals that came after the drive list was filled, so no recovery
        // took them up.
        if (situation == QLatin1String("pending")) {
            QVERIFY(QDir().mkpath(QDir(root).filePath(QStringLiteral("Kavendru"))));
            QVERIFY(KavendruTest::writeWholeFile(updateJournalPath(root),
                                                 R"({"schemaVersion":1,"app":"Kavendru","phase":"promoting-linux"})"));
        }
        if (situation == QLatin1String("unreadable journal")) {
            QVERIFY(QDir().mkpath(QDir(root).filePath(QStringLiteral("Kavendru"))));
            QVERIFY(KavendruTest::writeWholeFile(updateJournalPath(root), "{nao"));
        }
        std::unique_ptr<UpdateTest::NamedProcess> vault;
        if (situation == QLatin1String("vault runs")) {
            QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("bin"))));
            vault = std::make_unique<UpdateTest::NamedProcess>(dir->filePath(QStringLiteral("bin")),
                                                               QStringLiteral("Kavendru"));
            QVERIFY(vault->running());
        }
        const QString logBefore = window->log->toPlainText();
        const QStringList treeBefore = treeOf(root);
        const QByteArray journalBefore = KavendruTest::readWholeFile(updateJournalPath(root));

        ModalDriver driver;
        driver.answerBox(situation == QLatin1String("escape") ? QStringLiteral("<Escape>") : QStringLiteral("Não"));
        window->prepareButton->click();
        QCOMPARE(driver.boxes().size(), 1);
        const SeenBox& box = driver.boxes().first();
        QCOMPARE(box.icon, icon);
        QCOMPARE(box.text, icon == QMessageBox::Question ? text.arg(root) : text);
        QCOMPARE(box.shown, box.text);
        if (icon == QMessageBox::Question) {
            QCOMPARE(box.title, QStringLiteral("Preparar unidade USB"));
            QCOMPARE(box.defaultButton, QStringLiteral("Não"));
        } else {
            QCOMPARE(box.title, QStringLiteral("Kavendru - Gerenciador"));
            QCOMPARE(box.buttons, QStringList({QStringLiteral("OK")}));
        }
        QCOMPARE(window->log->toPlainText(), logBefore);
        QCOMPARE(treeOf(root), treeBefore);
        QCOMPARE(KavendruTest::readWholeFile(updateJournalPath(root)), journalBefore);
        QVERIFY(!treeBefore.contains(QStringLiteral("Kavendru/update-state.json")));
    }

    // An update that was rolled back is done with.
    void rolledBackJournalDoesNotStopIt()
    {
        QVERIFY(makeSources(true, true));
        *drives = {mountedDrive(root)};
        const auto window = makeWindow();
        QVERIFY(QDir().mkpath(QDir(root).filePath(QStringLiteral("Kavendru"))));
        const QByteArray journal = R"({"schemaVersion":1,"app":"Kavendru","phase":"rolled-back"})";
        QVERIFY(KavendruTest::writeWholeFile(updateJournalPath(root), journal));
        const QList<SeenBox> boxes = prepareConfirmed(window.get());
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes.at(1).text, kPrepared);
        QCOMPARE(installedBundleVersion(root), QStringLiteral("1.0.5"));
        QCOMPARE(KavendruTest::readWholeFile(updateJournalPath(root)), journal);
    }

    void recoveryOnAnotherDriveDoesNotStopIt()
    {
        QVERIFY(makeSources(true, true));
        *drives = {mountedDrive(root)};
        const auto window = makeWindow();
        window->runningRecoveryRoots.insert(dir->filePath(QStringLiteral("OUTRA")));
        const QList<SeenBox> boxes = prepareConfirmed(window.get(), window->prepareDriveAction);
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes.at(1).text, kPrepared);
    }

    void preparesTheDrive()
    {
        QVERIFY(makeSources(true, true));
        *drives = {mountedDrive(root, QStringLiteral("PENDRIVE"))};
        const auto window = makeWindow();
        ProgressWatcher progress(window.get());
        const QList<SeenBox> boxes = prepareConfirmed(window.get());

        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes.at(1).title, QStringLiteral("Kavendru - Gerenciador"));
        QCOMPARE(boxes.at(1).icon, QMessageBox::Information);
        QCOMPARE(boxes.at(1).text, kPrepared);

        QStringList labels;
        QList<int> values;
        for (const ProgressState& state : progress.states()) {
            labels.append(state.label);
            values.append(state.value);
            QCOMPARE(state.maximum, 7);
        }
        QCOMPARE(labels, QStringList({QStringLiteral("Validando unidade USB..."),
                                      QStringLiteral("Criando estrutura de pastas..."),
                                      QStringLiteral("Copiando bundle Windows..."),
                                      QStringLiteral("Copiando bundle Linux..."),
                                      QStringLiteral("Criando inicializador Windows..."),
                                      QStringLiteral("Criando arquivos auxiliares..."),
                                      QStringLiteral("Preparacao concluida.")}));
        QCOMPARE(values.mid(0, 6), QList<int>({0, 1, 2, 3, 5, 6}));
        QVERIFY(!window->findChild<QProgressDialog*>());

        const QStringList log = lines(window->log->toPlainText());
        QCOMPARE(log.mid(log.size() - 2),
                 QStringList({QStringLiteral("Unidade preparada: %1").arg(root),
                              QStringLiteral("Estado de atualização registrado: %1").arg(updateStatePath(root))}));
        for (const char* name : {"Kavendru-Windows.bat", "Kavendru-Linux.sh", "Kavendru/README.txt",
                                 "Kavendru/windows/Kavendru.exe", "Kavendru/windows/platforms/qwindows.dll",
                                 "Kavendru/linux/Kavendru", "Kavendru/linux/qt.conf",
                                 "Kavendru/linux/lib/libQt6Core.so.6", "Kavendru/update-state.json"})
            QVERIFY2(QFileInfo(QDir(root).filePath(QLatin1String(name))).isFile(), name);
        const QJsonObject state =
            QJsonDocument::fromJson(KavendruTest::readWholeFile(updateStatePath(root))).object();
        QCOMPARE(state.value(QStringLiteral("installedVersion")).toString(), QStringLiteral("1.0.5"));
        QVERIFY(!state.contains(QStringLiteral("lastPackageSha256")));
        QCOMPARE(installedBundleVersion(root), QStringLiteral("1.0.5"));
        // Preparation leaves the drive list as it was.
        QCOMPARE(window->deviceCombo->count(), 1);
        QCOMPARE(window->deviceCombo->currentIndex(), 0);
    }

    void onlyTheLinuxSource()
    {
        QVERIFY(makeSources(false, true));
        *drives = {mountedDrive(root)};
        const auto window = makeWindow();
        const QList<SeenBox> boxes = prepareConfirmed(window.get());
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes.at(1).text, kPrepared);
        QCOMPARE(treeOf(QDir(root).filePath(QStringLiteral("Kavendru/windows"))), QStringList());
        QVERIFY(QFileInfo(QDir(root).filePath(QStringLiteral("Kavendru/linux/Kavendru"))).isFile());
        const QJsonObject bundles = QJsonDocument::fromJson(KavendruTest::readWholeFile(updateStatePath(root)))
                                        .object()
                                        .value(QStringLiteral("bundles"))
                                        .toObject();
        QCOMPARE(bundles.keys(), QStringList({QStringLiteral("linux-x64"), QStringLiteral("windows-x64")}));
    }

    // The dialog stays while the drive is written: Escape or its close
    // button would give the window back for a second task on the drive.
    void progressDialogCannotBeDismissed()
    {
        QVERIFY(makeSources(true, true));
        *drives = {mountedDrive(root)};
        const auto window = makeWindow();
        ProgressWatcher progress(window.get());
        int tries = 0;
        bool stayed = true;
        progress.whileVisible([&](QProgressDialog* dialog) {
            if (tries++ > 0)
                return;
            QTest::keyClick(dialog, Qt::Key_Escape);
            stayed = stayed && dialog->isVisible() && !dialog->wasCanceled();
            dialog->close();
            stayed = stayed && dialog->isVisible() && !dialog->wasCanceled();
        });
        const QList<SeenBox> boxes = prepareConfirmed(window.get());
        QVERIFY(tries > 0);
        QVERIFY(stayed);
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes.at(1).text, kPrepared);
    }

    void failedPreparation_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("message");
        QTest::newRow("product folder is a file") << "file" << "Nao foi possivel criar a pasta: %1/Kavendru";
        QTest::newRow("drive gone since the refresh") << "gone" << "Unidade USB invalida.";
    }

    void failedPreparation()
    {
        QFETCH(QString, situation);
        QFETCH(QString, message);
        message = message.contains(QLatin1String("%1")) ? message.arg(root) : message;
        QVERIFY(makeSources(true, true));
        *drives = {mountedDrive(root)};
        const auto window = makeWindow();
        if (situation == QLatin1String("file"))
            QVERIFY(makeFile(QDir(root).filePath(QStringLiteral("Kavendru"))));
        else
            QVERIFY(QDir(root).removeRecursively());
        const QList<SeenBox> boxes = prepareConfirmed(window.get());
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes.at(1).icon, QMessageBox::Warning);
        QCOMPARE(boxes.at(1).text, message);
        QCOMPARE(lines(window->log->toPlainText()).last(), QStringLiteral("Falha: %1").arg(message));
        QVERIFY(!QFileInfo::exists(updateStatePath(root)));
    }

    // A state file that cannot be written is a warning in the log; the
    // preparation itself succeeded and says so.
    void stateFileRefusedAfterPreparation()
    {
        QVERIFY(makeSources(true, true));
        *drives = {mountedDrive(root)};
        const QString elsewhere = dir->filePath(QStringLiteral("alheio.json"));
        QVERIFY(KavendruTest::writeWholeFile(elsewhere, "alheio"));
        QVERIFY(QDir().mkpath(QDir(root).filePath(QStringLiteral("Kavendru"))));
        QVERIFY(QFile::link(elsewhere, updateStatePath(root)));
        const auto window = makeWindow();
        const QList<SeenBox> boxes = prepareConfirmed(window.get());
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes.at(1).text, kPrepared);
        QCOMPARE(lines(window->log->toPlainText()).last(),
                 QStringLiteral("Aviso: O arquivo de estado da atualização é um link simbólico: %1")
                     .arg(updateStatePath(root)));
        QCOMPARE(KavendruTest::readWholeFile(elsewhere), QByteArray("alheio"));
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

KAVENDRU_UPDATE_TEST_MAIN(ConfigDrivesTest)

#include "tst_configdrives.moc"
