// The operations of the main window on an unlocked vault, driven the way a
// user drives them: menus and context actions, the real dialogs, the files
// in the vault and on the drive afterwards.
#include "MainWindowTestSupport.h"

#include "core/VaultManager.h"
#include "ui/AboutDialog.h"
#include "ui/OperationProgressDialog.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QScopeGuard>
#include <QStatusBar>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

using namespace KavendruTest;
using Kavendru::UI::MainWindow;

namespace {

const QString kPassword = kTestPassword;

// What the vault holds, read through the core with its password.
struct VaultContent {
    QStringList files;
    QStringList folders;
    bool opened = false;
};

VaultContent readVault(const QString& container, const QString& password = kPassword)
{
    VaultContent content;
    Kavendru::Core::VaultManager vault;
    content.opened = vault.unlockVault(container, password.toUtf8());
    if (!content.opened)
        return content;
    const auto index = vault.fileIndex();
    for (const auto& entry : index.entries())
        content.files.append(entry.vaultPath);
    for (const auto& folder : index.directories())
        content.folders.append(folder.path);
    content.files.sort();
    content.folders.sort();
    vault.lockVault();
    return content;
}

QByteArray exportedContent(const QString& container, const QString& vaultPath)
{
    Kavendru::Core::VaultManager vault;
    if (!vault.unlockVault(container, kPassword.toUtf8()))
        return QByteArray("<locked>");
    const auto dir = makeTempDir();
    const QString out = dir->filePath(QStringLiteral("out"));
    const bool exported = vault.exportFile(vaultPath, out);
    vault.lockVault();
    return exported ? readWholeFile(out) : QByteArray("<missing>");
}

// A drive folder with a vault in its root and the window unlocked on it.
struct UnlockedVault : VaultOnDrive {
    bool setUp(const QList<QPair<QString, QByteArray>>& files = {}, const QStringList& folders = {},
               const QString& driveRoot = QString(), const QList<UsbDevice>& otherDrives = {})
    {
        return VaultOnDrive::setUp(files, folders, QStringLiteral("kavendru.susb"), driveRoot, otherDrives) && unlock();
    }
    QString status() { return window()->statusBar()->currentMessage(); }
    // A host file outside the drive, to import.
    QString hostFile(const QString& relativePath, const QByteArray& content)
    {
        const QString path = dir->filePath(QStringLiteral("host/") + relativePath);
        QDir().mkpath(QFileInfo(path).absolutePath());
        return writeWholeFile(path, content) ? path : QString();
    }
    void enter(const QString& folder) { doubleClickRow(window(), rowNamed(window(), folder)); }
};

// The next "Mover arquivo" dialog: records the folders it offers, picks
// the one given (the first when empty) and presses "Mover".
void answerMoveDialog(ModalDriver& driver, QStringList* offered, const QString& choice = QString())
{
    driver.onNext([offered, choice](QWidget* widget) {
        auto* combo = widget->findChild<QComboBox*>();
        if (!combo || widget->windowTitle() != QLatin1String("Mover arquivo"))
            return false;
        for (int i = 0; i < combo->count(); ++i)
            offered->append(combo->itemText(i));
        if (!choice.isEmpty())
            combo->setCurrentIndex(combo->findText(choice));
        widget->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        return true;
    });
}

// Catches what the window hands to the desktop for opening.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    explicit UrlCatcher(const QString& scheme) : scheme(scheme)
    {
        QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler(scheme); }
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }

private:
    QString scheme;
};

} // namespace

class TestVaultOperations : public QObject {
    Q_OBJECT

private slots:
    // ---- Import ----

    void importCounts_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("files");
        QTest::newRow("one file") << QStringList{"novo.txt"} << QStringList{} << "Arquivo importado com sucesso."
                                  << QStringList{"a.txt", "novo.txt"};
        QTest::newRow("two of three, one declined")
            << QStringList{"b.txt", "a.txt", "c.txt"} << QStringList{"Não"} << "2 arquivos importados com sucesso."
            << QStringList{"a.txt", "b.txt", "c.txt"};
        QTest::newRow("every replacement declined")
            << QStringList{"a.txt"} << QStringList{"Não"} << "0 arquivos importados com sucesso." << QStringList{"a.txt"};
        QTest::newRow("replacement across a letter case")
            << QStringList{"A.TXT"} << QStringList{"Sim"} << "Arquivo importado com sucesso." << QStringList{"A.TXT"};
    }

    void importCounts()
    {
        QFETCH(QStringList, names);
        QFETCH(QStringList, answers);
        QFETCH(QString, status);
        QFETCH(QStringList, files);
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray("antigo")}}));
        QStringList paths;
        for (const QString& name : names)
            paths.append(vault.hostFile(name, "novo " + name.toUtf8()));
        vault.driver.answerFiles(paths);
        for (const QString& answer : answers)
            vault.driver.answerBox(answer);
        vault.trigger(QStringLiteral("Importar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.unexpected(), 0);
        QCOMPARE(vault.status(), status);
        for (const QString& answer : answers) {
            Q_UNUSED(answer);
            QCOMPARE(vault.driver.boxes().first().title, QStringLiteral("Substituir arquivo"));
        }
        QCOMPARE(tableNames(vault.window()), files);
        QVERIFY(vault.driver.boxes().isEmpty() || vault.driver.boxes().first().defaultButton == QStringLiteral("Não"));

        vault.trigger(QStringLiteral("Bloquear"));
        QCOMPARE(readVault(vault.container).files, files);
        if (files == QStringList{QStringLiteral("A.TXT")})
            QCOMPARE(exportedContent(vault.container, QStringLiteral("A.TXT")), QByteArray("novo A.TXT"));
    }

    // Two host files of one name: the second asks to replace the first.
    void sameNameTwiceInOneSelection()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp());
        const QString first = vault.hostFile(QStringLiteral("um/nota.txt"), "primeira");
        const QString second = vault.hostFile(QStringLiteral("dois/nota.txt"), "segunda");
        vault.driver.answerFiles({first, second});
        vault.driver.answerBox(QStringLiteral("Sim"));
        vault.trigger(QStringLiteral("Importar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxTexts(),
                 QStringList{QStringLiteral("nota.txt já existe no cofre. Deseja substituir o arquivo protegido?")});
        QCOMPARE(vault.status(), QStringLiteral("2 arquivos importados com sucesso."));
        vault.trigger(QStringLiteral("Bloquear"));
        QCOMPARE(exportedContent(vault.container, QStringLiteral("nota.txt")), QByteArray("segunda"));
    }

    void importIntoTheFolderShown()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({}, {QStringLiteral("Docs")}));
        vault.enter(QStringLiteral("Docs"));
        vault.driver.answerFiles({vault.hostFile(QStringLiteral("x.txt"), "x")});
        vault.trigger(QStringLiteral("Importar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(tableNames(vault.window()), (QStringList{"..", "x.txt"}));
        vault.trigger(QStringLiteral("Bloquear"));
        QCOMPARE(readVault(vault.container).files, QStringList{QStringLiteral("Docs/x.txt")});
    }

    // What cannot become a file of the vault is skipped, reported and not
    // counted; the rest goes on.
    void importSkipsWhatCannotBeImported()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({}, {QStringLiteral("Fotos")}));
        const QString folderName = vault.hostFile(QStringLiteral("fotos"), "um arquivo chamado fotos");
        const QString fine = vault.hostFile(QStringLiteral("ok.txt"), "ok");
        vault.driver.answerFiles({folderName, fine});
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Importar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxTexts(), QStringList{QStringLiteral("Não foi possível importar fotos.")});
        QCOMPARE(vault.status(), QStringLiteral("Arquivo importado com sucesso."));

        // The open container as its own source, picked through a link.
        const QString link = vault.dir->filePath(QStringLiteral("host/atalho.susb"));
        QVERIFY(QFile::link(vault.container, link));
        const QByteArray before = readWholeFile(vault.container);
        vault.driver.answerFiles({link});
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Importar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxTexts().last(), QStringLiteral("Não foi possível importar atalho.susb."));
        QCOMPARE(vault.status(), QStringLiteral("0 arquivos importados com sucesso."));
        vault.trigger(QStringLiteral("Bloquear"));
        QCOMPARE(readVault(vault.container).files, QStringList{QStringLiteral("ok.txt")});
        QCOMPARE(readVault(vault.container).folders, QStringList{QStringLiteral("Fotos")});
    }

    void importOfAVanishedFile()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp());
        const QString path = vault.hostFile(QStringLiteral("some.txt"), "x");
        vault.driver.answerFiles({path}, ModalDriver::FileAnswer::AsTheUser, [path] { QFile::remove(path); });
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Importar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxes().value(0).title, QStringLiteral("Importar arquivos"));
        QCOMPARE(vault.driver.boxTexts(),
                 QStringList{QStringLiteral("O arquivo some.txt não está disponível para importação.")});
        QVERIFY(tableNames(vault.window()).isEmpty());
    }

    // The container's folder is gone from under the unlocked vault: its
    // free space cannot be known, and nothing is imported.
    void importOnAnUnreadableVolume()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp());
        const QString file = vault.hostFile(QStringLiteral("a.txt"), "x");
        QVERIFY(QDir().rename(vault.root, vault.dir->filePath(QStringLiteral("PEN-fora"))));
        vault.driver.answerFiles({file});
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Importar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxTexts(),
                 QStringList{QStringLiteral("Não foi possível verificar o espaço livre da unidade do container.")});
    }

    // The free-space rule at its edge, on a drive of its own: the largest
    // selection that fits asks about the little space left; one byte more
    // does not fit.
    void spaceRuleAtItsBoundaries()
    {
        if (!inPrivateMountNamespace())
            QSKIP("needs root for a tmpfs of its own");
        const auto mountDir = makeTempDir();
        const QString mountPoint = mountDir->filePath(QStringLiteral("PEN"));
        ScopedTmpfs tmpfs(mountPoint, 64 * 1024 * 1024);
        QVERIFY(tmpfs.isMounted());
        UnlockedVault vault;
        QVERIFY(vault.setUp({}, {}, mountPoint));

        const qint64 available = QStorageInfo(mountPoint).bytesAvailable();
        const auto needed = [](qint64 total) { return static_cast<qint64>(static_cast<double>(total) * 1.05) + 16777216; };
        qint64 fits = static_cast<qint64>(static_cast<double>(available - 16777216) / 1.05) + 2;
        while (needed(fits) > available)
            --fits;
        QVERIFY(needed(fits + 1) > available);

        const QString big = vault.hostFile(QStringLiteral("grande.bin"), QByteArray());
        QFile file(big);
        QVERIFY(file.resize(fits));
        vault.driver.answerFiles({big});
        vault.driver.answerBox(QStringLiteral("Não"));
        vault.trigger(QStringLiteral("Importar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxes().value(0).title, QStringLiteral("Espaço livre reduzido"));
        QCOMPARE(vault.driver.boxes().value(0).defaultButton, QStringLiteral("Não"));

        QVERIFY(file.resize(fits + 1));
        vault.driver.answerFiles({big});
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Importar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxes().value(1).title, QStringLiteral("Espaço insuficiente"));
        QVERIFY(vault.driver.boxes().value(1).text.startsWith(
            QStringLiteral("Não há espaço livre suficiente na unidade do container.")));
        QVERIFY(tableNames(vault.window()).isEmpty());
        QCOMPARE(vault.driver.unexpected(), 0);
    }

    // After unlocking, a double-click on another drive chooses its
    // container; the import still measures the drive of the open vault.
    void importMeasuresTheOpenVaultsDrive()
    {
        if (!inPrivateMountNamespace())
            QSKIP("needs root for a tmpfs of its own");
        const auto mountDir = makeTempDir();
        const QString small = mountDir->filePath(QStringLiteral("PEQUENO"));
        ScopedTmpfs tmpfs(small, 32 * 1024 * 1024);
        QVERIFY(tmpfs.isMounted());
        const auto otherDir = makeTempDir();
        const QString other = otherDir->filePath(QStringLiteral("OUTRO"));
        QVERIFY(QDir().mkpath(other));
        QVERIFY(writeVaultWithFiles(QDir(other).filePath(QStringLiteral("kavendru.susb")), kPassword.toUtf8(), {}));
        UnlockedVault vault;
        QVERIFY(vault.setUp({}, {}, small, {mountedDrive(other, QStringLiteral("OUTRO"), QStringLiteral("/dev/sdc1"))}));
        const int otherRow = [&] {
            for (int i = 0; i < driveList(vault.window())->count(); ++i) {
                if (driveList(vault.window())->item(i)->text().contains(QStringLiteral("OUTRO")))
                    return i;
            }
            return -1;
        }();
        QVERIFY(otherRow >= 0);
        QListWidget* list = driveList(vault.window());
        list->setCurrentRow(otherRow);
        emit list->itemDoubleClicked(list->item(otherRow));
        QCOMPARE(vault.driver.unexpected(), 0);

        const QString big = vault.hostFile(QStringLiteral("grande.bin"), QByteArray());
        QFile file(big);
        QVERIFY(file.resize(24 * 1024 * 1024));
        vault.driver.answerFiles({big});
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Importar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxes().last().title, QStringLiteral("Espaço insuficiente"));
    }

    // While an import runs behind its dialog, neither Escape, nor closing
    // the dialog or the window, nor another action stops or disturbs it.
    void importCannotBeInterrupted()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp());
        const QString big = vault.hostFile(QStringLiteral("grande.bin"), QByteArray(80 * 1024 * 1024, 'g'));
        vault.driver.answerFiles({big});
        int attempts = 0;
        QStringList titles;
        vault.driver.onNext([&](QWidget* widget) {
            auto* progress = qobject_cast<QProgressDialog*>(widget);
            if (!progress)
                return false;
            titles.append(progress->windowTitle());
            QTest::keyClick(progress, Qt::Key_Escape);
            progress->close();
            vault.window()->close();
            windowAction(vault.window(), QStringLiteral("Bloquear"))->trigger();
            windowAction(vault.window(), QStringLiteral("Sair"))->trigger();
            ++attempts;
            return progress->isVisible();
        });
        vault.trigger(QStringLiteral("Importar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(attempts, 1);
        QCOMPARE(titles, QStringList{QStringLiteral("Importar arquivos")});
        QCOMPARE(vault.driver.unexpected(), 0);
        QVERIFY(vault.window()->isVisible());
        QCOMPARE(vault.status(), QStringLiteral("Arquivo importado com sucesso."));
        QVERIFY(windowAction(vault.window(), QStringLiteral("Bloquear"))->isEnabled());
        vault.trigger(QStringLiteral("Bloquear"));
        QCOMPARE(readVault(vault.container).files, QStringList{QStringLiteral("grande.bin")});
    }

    void backupOfAVanishedContainer()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp());
        vault.trigger(QStringLiteral("Bloquear"));
        QVERIFY(QFile::remove(vault.container));
        const qsizetype dialogsBefore = vault.driver.fileDialogStarts().size();
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Fazer backup..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxTexts(), QStringList{QStringLiteral("O arquivo do container não foi encontrado.")});
        QCOMPARE(vault.driver.fileDialogStarts().size(), dialogsBefore);
    }

    // ---- File operations ----

    // No file row current: a folder row, the ".." row or nothing. The
    // handlers act on the current row only and say nothing otherwise.
    void fileHandlersSilentWithoutAFileRow_data()
    {
        QTest::addColumn<QString>("row");
        QTest::newRow("no row") << QString();
        QTest::newRow("folder row") << "Docs";
        QTest::newRow("parent row") << "..";
    }

    void fileHandlersSilentWithoutAFileRow()
    {
        QFETCH(QString, row);
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("Docs/a.txt"), QByteArray("a")}}, {QStringLiteral("Docs")}));
        if (row == QLatin1String(".."))
            vault.enter(QStringLiteral("Docs"));
        if (!row.isEmpty())
            QVERIFY(vault.selectRow(row));
        const QByteArray before = readWholeFile(vault.container);
        Kavendru::UI::MainWindowTestAccess::runFileHandlers(*vault.window());
        QTest::qWait(50);
        QVERIFY(vault.driver.boxes().isEmpty());
        QCOMPARE(vault.driver.unexpected(), 0);
        QCOMPARE(readWholeFile(vault.container), before);
    }

    void renameRefusals_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("message");
        QTest::newRow("letter case only") << "A.txt" << "Já existe um item com esse nome nesta pasta.";
        QTest::newRow("a folder's name") << "docs" << "Já existe um item com esse nome nesta pasta.";
        QTest::newRow("a slash") << "x/y.txt"
                                 << "Use um nome de arquivo simples, sem barras, pontos isolados ou caminho relativo.";
        QTest::newRow("a backslash") << "x\\y.txt"
                                     << "Use um nome de arquivo simples, sem barras, pontos isolados ou caminho relativo.";
        QTest::newRow("two dots") << ".."
                                  << "Use um nome de arquivo simples, sem barras, pontos isolados ou caminho relativo.";
        QTest::newRow("same name with spaces") << "  a.txt  " << QString();
        QTest::newRow("only spaces") << "   " << QString();
    }

    void renameRefusals()
    {
        QFETCH(QString, answer);
        QFETCH(QString, message);
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray("a")}, {QStringLiteral("b.txt"), QByteArray("b")}},
                            {QStringLiteral("Docs")}));
        const QByteArray before = readWholeFile(vault.container);
        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        vault.driver.answerPassword(answer);
        if (!message.isEmpty())
            vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Renomear arquivo..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.promptTitles().mid(1), QStringList{QStringLiteral("Renomear arquivo")});
        QCOMPARE(vault.driver.boxTexts(), message.isEmpty() ? QStringList() : QStringList{message});
        QCOMPARE(readWholeFile(vault.container), before);
    }

    void renameAndMoveSucceed()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray("a")}}, {QStringLiteral("Docs")}));
        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        vault.driver.answerPassword(QStringLiteral("  nota.txt "));
        vault.trigger(QStringLiteral("Renomear arquivo..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.status(), QStringLiteral("Arquivo renomeado."));
        QCOMPARE(tableNames(vault.window()), (QStringList{"Docs", "nota.txt"}));

        QVERIFY(vault.selectRow(QStringLiteral("nota.txt")));
        QStringList offered;
        answerMoveDialog(vault.driver, &offered);
        vault.trigger(QStringLiteral("Mover para pasta..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(offered, QStringList{QStringLiteral("Docs")});
        QCOMPARE(vault.status(), QStringLiteral("Arquivo movido."));
        vault.trigger(QStringLiteral("Bloquear"));
        QCOMPARE(readVault(vault.container).files, QStringList{QStringLiteral("Docs/nota.txt")});
    }

    // From Docs: "Raiz" first, then every other folder at any depth in
    // case-insensitive order; a clash in the destination is refused.
    void moveOffersEveryOtherFolderAndRefusesAClash()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("Docs/a.txt"), QByteArray("a")}, {QStringLiteral("fotos/A.TXT"), QByteArray("b")}},
                            {QStringLiteral("Videos"), QStringLiteral("Docs"), QStringLiteral("Docs/Antigos"),
                             QStringLiteral("fotos"), QStringLiteral("Arquivos")}));
        vault.enter(QStringLiteral("Docs"));
        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        QStringList offered;
        answerMoveDialog(vault.driver, &offered, QStringLiteral("fotos"));
        vault.driver.answerBox(QStringLiteral("OK"));
        const QByteArray before = readWholeFile(vault.container);
        vault.trigger(QStringLiteral("Mover para pasta..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(offered, (QStringList{"Raiz", "Arquivos", "Docs/Antigos", "fotos", "Videos"}));
        QCOMPARE(vault.driver.boxTexts(),
                 QStringList{QStringLiteral("Já existe um item com esse nome na pasta de destino.")});
        QCOMPARE(readWholeFile(vault.container), before);
    }

    // The only folder holds the file: the root is still another place.
    void moveOutOfTheOnlyFolder()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("Docs/a.txt"), QByteArray("a")}}, {QStringLiteral("Docs")}));
        vault.enter(QStringLiteral("Docs"));
        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        QStringList offered;
        answerMoveDialog(vault.driver, &offered);
        vault.trigger(QStringLiteral("Mover para pasta..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(offered, QStringList{QStringLiteral("Raiz")});
        QCOMPARE(tableNames(vault.window()), QStringList{QStringLiteral("..")});
        vault.trigger(QStringLiteral("Bloquear"));
        QCOMPARE(readVault(vault.container).files, QStringList{QStringLiteral("a.txt")});
    }

    // A file open for editing may be deleted, but not moved or renamed; the
    // refusals name the lock as the way out, and the deleted file does not
    // come back at lock.
    void fileOpenForEditing()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray("a")}, {QStringLiteral("b.txt"), QByteArray("b")}},
                            {QStringLiteral("Docs")}));
        UrlCatcher catcher(QStringLiteral("file"));
        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        vault.trigger(QStringLiteral("Abrir"));
        QCOMPARE(catcher.urls.size(), 1);
        QVERIFY(catcher.urls.first().isLocalFile());
        const QString copy = catcher.urls.first().toLocalFile();
        QCOMPARE(readWholeFile(copy), QByteArray("a"));
        QCOMPARE(vault.status(), QStringLiteral("Arquivo aberto para edição."));
        QVERIFY(writeWholeFile(copy, "a editado"));

        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        vault.driver.answerPassword(QStringLiteral("c.txt"));
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Renomear arquivo..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxTexts().last(),
                 QStringLiteral("Não foi possível renomear o arquivo. Se ele estiver aberto para edição, bloqueie o "
                                "cofre com Bloquear: a cópia aberta é gravada de volta no cofre. Depois desbloqueie o "
                                "cofre e tente novamente."));

        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        QStringList offered;
        answerMoveDialog(vault.driver, &offered);
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Mover para pasta..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxTexts().last(),
                 QStringLiteral("Não foi possível mover o arquivo. Se ele estiver aberto para edição, bloqueie o "
                                "cofre com Bloquear: a cópia aberta é gravada de volta no cofre. Depois desbloqueie o "
                                "cofre e tente novamente."));

        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        vault.driver.answerBox(QStringLiteral("Sim"));
        vault.trigger(QStringLiteral("Excluir..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxTexts().last(),
                 QStringLiteral("Excluir a.txt removerá o arquivo da lista do cofre.\n\nOs dados físicos só serão "
                                "liberados do container após executar Compactar cofre.\n\nO arquivo está aberto para "
                                "edição: a cópia aberta será apagada deste computador e as alterações feitas nela não "
                                "voltarão ao cofre."));
        QCOMPARE(vault.status(), QStringLiteral("Arquivo excluído do cofre."));
        QCOMPARE(tableNames(vault.window()), (QStringList{"Docs", "b.txt"}));
        QVERIFY(!QFileInfo::exists(copy));

        vault.trigger(QStringLiteral("Bloquear"));
        QCOMPARE(readVault(vault.container).files, QStringList{QStringLiteral("b.txt")});
    }

    // A folder with an open file inside keeps its name until the lock.
    void folderWithAnOpenFileKeepsItsName()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("Docs/a.txt"), QByteArray("a")}}, {QStringLiteral("Docs")}));
        UrlCatcher catcher(QStringLiteral("file"));
        vault.enter(QStringLiteral("Docs"));
        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        vault.trigger(QStringLiteral("Abrir"));
        QCOMPARE(catcher.urls.size(), 1);
        vault.enter(QStringLiteral(".."));
        QVERIFY(vault.selectRow(QStringLiteral("Docs")));
        vault.driver.answerPassword(QStringLiteral("Papeis"));
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Renomear pasta..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxTexts(),
                 QStringList{QStringLiteral("Não foi possível renomear a pasta. Se houver arquivos dela abertos para "
                                            "edição, bloqueie o cofre com Bloquear: as cópias abertas são gravadas de "
                                            "volta no cofre. Depois desbloqueie o cofre e tente novamente.")});
        vault.trigger(QStringLiteral("Bloquear"));
        QCOMPARE(readVault(vault.container).files, QStringList{QStringLiteral("Docs/a.txt")});
    }

    // Importing over a file open for editing is refused before the replace
    // question; the lock writes the edited copy back, and after it the
    // import goes ahead.
    void importOverAFileOpenForEditing()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray("antigo")}}));
        UrlCatcher catcher(QStringLiteral("file"));
        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        vault.trigger(QStringLiteral("Abrir"));
        QCOMPARE(catcher.urls.size(), 1);
        QVERIFY(writeWholeFile(catcher.urls.first().toLocalFile(), "editado"));

        const QString host = vault.hostFile(QStringLiteral("A.TXT"), "importado");
        vault.driver.answerFiles({host});
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Importar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.unexpected(), 0);
        QCOMPARE(vault.driver.boxes().size(), 1);
        QCOMPARE(vault.driver.boxes().first().title, QStringLiteral("Substituir arquivo"));
        QCOMPARE(vault.driver.boxes().first().icon, QMessageBox::Warning);
        QCOMPARE(vault.driver.boxes().first().text,
                 QStringLiteral("A.TXT está aberto para edição e não pode ser substituído agora.\n\nBloqueie o cofre "
                                "com Bloquear: a cópia aberta é gravada de volta no cofre primeiro. Depois desbloqueie "
                                "o cofre e importe o arquivo de novo."));
        QCOMPARE(vault.status(), QStringLiteral("0 arquivos importados com sucesso."));

        vault.trigger(QStringLiteral("Bloquear"));
        QCOMPARE(exportedContent(vault.container, QStringLiteral("a.txt")), QByteArray("editado"));

        vault.driver.answerPassword(kPassword);
        vault.trigger(QStringLiteral("Desbloquear"));
        vault.driver.answerFiles({host});
        vault.driver.answerBox(QStringLiteral("Sim"));
        vault.trigger(QStringLiteral("Importar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.status(), QStringLiteral("Arquivo importado com sucesso."));
        vault.trigger(QStringLiteral("Bloquear"));
        QCOMPARE(exportedContent(vault.container, QStringLiteral("A.TXT")), QByteArray("importado"));
    }

    // Opened, overwritten at once with as many bytes, locked: twenty times
    // over, every edit reaches the vault.
    void sameSizeEditAtOnceReachesTheVault()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray("versao 00")}}));
        UrlCatcher catcher(QStringLiteral("file"));
        for (int run = 1; run <= 20; ++run) {
            QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
            vault.trigger(QStringLiteral("Abrir"));
            QCOMPARE(catcher.urls.size(), run);
            const QByteArray content = QStringLiteral("versao %1").arg(run, 2, 10, QLatin1Char('0')).toUtf8();
            {
                QFile copy(catcher.urls.last().toLocalFile());
                QVERIFY(copy.open(QIODevice::ReadWrite));
                QCOMPARE(copy.write(content), qint64(content.size()));
                QVERIFY(copy.flush());
            }
            vault.trigger(QStringLiteral("Bloquear"));
            QCOMPARE(vault.status(), QStringLiteral("Cofre bloqueado."));
            QVERIFY2(exportedContent(vault.container, QStringLiteral("a.txt")) == content, qPrintable(content));
            vault.driver.answerPassword(kPassword);
            vault.trigger(QStringLiteral("Desbloquear"));
            QVERIFY(vault.driver.allHandled());
        }
    }

    void openWithoutADesktopApplication()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray("a")}}));
        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Abrir"));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxTexts(),
                 QStringList{QStringLiteral("Não foi possível abrir o arquivo no aplicativo padrão.")});
        QCOMPARE(vault.status(), QStringLiteral("Falha ao abrir o arquivo."));
    }

    void deleteAsksFirst()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray("a")}}));
        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        vault.driver.answerBox(QStringLiteral("<Escape>"));
        vault.trigger(QStringLiteral("Excluir..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxes().value(0).title, QStringLiteral("Excluir arquivo"));
        QCOMPARE(vault.driver.boxes().value(0).defaultButton, QStringLiteral("Não"));
        QCOMPARE(tableNames(vault.window()), QStringList{QStringLiteral("a.txt")});
    }

    void exportWritesTheDecryptedCopy()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray("conteúdo")}}));
        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        const QString destination = vault.dir->filePath(QStringLiteral("exportado.txt"));
        vault.driver.answerBox(QStringLiteral("Continuar"));
        vault.driver.answerFile(destination, ModalDriver::FileAnswer::ReplaceWithoutAsking);
        vault.trigger(QStringLiteral("Exportar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxes().value(0).defaultButton, QStringLiteral("Cancelar"));
        QCOMPARE(QFileInfo(vault.driver.fileDialogStarts().last()).fileName(), QStringLiteral("a.txt"));
        QCOMPARE(readWholeFile(destination), QByteArray("conteúdo"));
        QCOMPARE(vault.status(), QStringLiteral("Arquivo exportado com sucesso."));
    }

    // Started from a stick, the program's working folder is its own folder
    // there. The export proposes the user's documents folder (or the home
    // folder without one) instead; the stick is still taken when the user
    // picks it.
    void exportProposesTheDocumentsFolder_data()
    {
        QTest::addColumn<QString>("documents");
        QTest::addColumn<QByteArray>("userDirs");
        QTest::addColumn<QString>("proposedFolder");
        QTest::newRow("Documents") << "Documents" << QByteArray() << "Documents";
        QTest::newRow("named by the desktop")
            << "Documentos" << QByteArray("XDG_DOCUMENTS_DIR=\"$HOME/Documentos\"\n") << "Documentos";
        QTest::newRow("no documents folder") << QString() << QByteArray() << QString();
    }

    void exportProposesTheDocumentsFolder()
    {
        QFETCH(QString, documents);
        QFETCH(QByteArray, userDirs);
        QFETCH(QString, proposedFolder);
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray("conteúdo")}}));
        const QDir home = QDir::home();
        const QString userDirsFile = home.filePath(QStringLiteral(".config/user-dirs.dirs"));
        const QString programFolder = QDir(vault.root).filePath(QStringLiteral("Kavendru/linux"));
        const QString previous = QDir::currentPath();
        const auto restore = qScopeGuard([&] {
            QDir::setCurrent(previous);
            QFile::remove(userDirsFile);
            if (!documents.isEmpty())
                QDir(home.filePath(documents)).removeRecursively();
        });
        QVERIFY(QDir().mkpath(programFolder));
        QVERIFY(QDir::setCurrent(programFolder));
        if (!documents.isEmpty())
            QVERIFY(home.mkpath(documents));
        if (!userDirs.isEmpty())
            QVERIFY(home.mkpath(QStringLiteral(".config")) && writeWholeFile(userDirsFile, userDirs));

        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        vault.driver.answerBox(QStringLiteral("Continuar"));
        vault.driver.answerFile(QString());
        vault.trigger(QStringLiteral("Exportar..."));
        QVERIFY(vault.driver.allHandled());
        const QString proposed = vault.driver.fileDialogStarts().last();
        QCOMPARE(proposed, QDir(home.filePath(proposedFolder)).filePath(QStringLiteral("a.txt")));
        QVERIFY(!proposed.startsWith(vault.root));

        const QString onTheStick = QDir(programFolder).filePath(QStringLiteral("a.txt"));
        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        vault.driver.answerBox(QStringLiteral("Continuar"));
        vault.driver.answerFile(onTheStick);
        vault.trigger(QStringLiteral("Exportar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxes().last().title, QStringLiteral("Exportar arquivo"));
        QCOMPARE(readWholeFile(onTheStick), QByteArray("conteúdo"));
        QCOMPARE(vault.status(), QStringLiteral("Arquivo exportado com sucesso."));
        QCOMPARE(vault.driver.unexpected(), 0);
    }

    // The decrypted copy written over the open container would destroy the
    // vault, whichever name leads there.
    void exportRefusesTheContainer_data()
    {
        QTest::addColumn<bool>("throughLink");
        QTest::newRow("plain path") << false;
        QTest::newRow("symlink") << true;
    }

    void exportRefusesTheContainer()
    {
        QFETCH(bool, throughLink);
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray("a")}}));
        QString destination = vault.container;
        if (throughLink) {
            destination = vault.dir->filePath(QStringLiteral("atalho.susb"));
            QVERIFY(QFile::link(vault.container, destination));
        }
        const QByteArray before = readWholeFile(vault.container);
        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        vault.driver.answerBox(QStringLiteral("Continuar"));
        vault.driver.answerFile(destination, ModalDriver::FileAnswer::ReplaceWithoutAsking);
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Exportar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxes().last().title, QStringLiteral("Exportar arquivo"));
        QCOMPARE(vault.driver.boxes().last().text, QStringLiteral("Escolha um destino diferente do container original."));
        QCOMPARE(readWholeFile(vault.container), before);
    }

    // ---- Folder operations ----

    void createFolder_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("folders");
        const QString invalid = QStringLiteral("Use um nome de pasta simples, sem barras, pontos isolados ou caminho relativo.");
        QTest::newRow("new folder") << " Cartas " << QString() << QStringList{"Cartas", "Docs"};
        QTest::newRow("three dots") << "..." << QString() << QStringList{"...", "Docs"};
        QTest::newRow("leading dot") << ".config" << QString() << QStringList{".config", "Docs"};
        QTest::newRow("a file's name in another case")
            << "Fotos" << "Já existe um item com esse nome nesta pasta." << QStringList{"Docs"};
        QTest::newRow("a folder's name in another case")
            << "DOCS" << "Já existe um item com esse nome nesta pasta." << QStringList{"Docs"};
        QTest::newRow("one dot") << "." << invalid << QStringList{"Docs"};
        QTest::newRow("two dots") << ".." << invalid << QStringList{"Docs"};
        QTest::newRow("a path") << "a/b" << invalid << QStringList{"Docs"};
        QTest::newRow("only spaces") << "  " << QString() << QStringList{"Docs"};
    }

    void createFolder()
    {
        QFETCH(QString, answer);
        QFETCH(QString, message);
        QFETCH(QStringList, folders);
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("fotos"), QByteArray("f")}}, {QStringLiteral("Docs")}));
        vault.driver.answerPassword(answer);
        if (!message.isEmpty())
            vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Nova pasta..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.promptTitles().mid(1), QStringList{QStringLiteral("Nova pasta")});
        QCOMPARE(vault.driver.boxTexts(), message.isEmpty() ? QStringList() : QStringList{message});
        vault.trigger(QStringLiteral("Bloquear"));
        QCOMPARE(readVault(vault.container).folders, folders);
    }

    void renameFolder_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("files");
        QTest::newRow("moves what is inside") << "Papeis" << QString() << QStringList{"Papeis/a.txt"};
        QTest::newRow("letter case only") << "docs" << "Já existe um item com esse nome nesta pasta."
                                          << QStringList{"Docs/a.txt"};
        QTest::newRow("same name with spaces") << " Docs " << QString() << QStringList{"Docs/a.txt"};
    }

    void renameFolder()
    {
        QFETCH(QString, answer);
        QFETCH(QString, message);
        QFETCH(QStringList, files);
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("Docs/a.txt"), QByteArray("a")}}, {QStringLiteral("Docs")}));
        QVERIFY(vault.selectRow(QStringLiteral("Docs")));
        vault.driver.answerPassword(answer);
        if (!message.isEmpty())
            vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Renomear pasta..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxTexts(), message.isEmpty() ? QStringList() : QStringList{message});
        vault.trigger(QStringLiteral("Bloquear"));
        QCOMPARE(readVault(vault.container).files, files);
    }

    void deleteFolderAsksThenWarnsWhenNotEmpty()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("Docs/a.txt"), QByteArray("a")}}, {QStringLiteral("Docs"), QStringLiteral("Vazia")}));
        QVERIFY(vault.selectRow(QStringLiteral("Docs")));
        vault.driver.answerBox(QStringLiteral("Sim"));
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Excluir pasta vazia"));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxTexts(), (QStringList{QStringLiteral("Excluir a pasta vazia Docs?"),
                                                        QStringLiteral("A pasta não está vazia ou não pode ser excluída.")}));

        QVERIFY(vault.selectRow(QStringLiteral("Vazia")));
        vault.driver.answerBox(QStringLiteral("Sim"));
        vault.trigger(QStringLiteral("Excluir pasta vazia"));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.status(), QStringLiteral("Pasta excluída."));
        QCOMPARE(tableNames(vault.window()), QStringList{QStringLiteral("Docs")});
    }

    // The ".." row is no folder to rename or delete, even when a handler is
    // reached with it current.
    void parentRowGuards()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({}, {QStringLiteral("Docs"), QStringLiteral("Docs/Sub")}));
        vault.enter(QStringLiteral("Docs"));
        QVERIFY(vault.selectRow(QStringLiteral("..")));
        QVERIFY(!windowAction(vault.window(), QStringLiteral("Renomear pasta..."))->isEnabled());
        QVERIFY(!windowAction(vault.window(), QStringLiteral("Excluir pasta vazia"))->isEnabled());
        const QByteArray before = readWholeFile(vault.container);
        Kavendru::UI::MainWindowTestAccess::runFolderHandlers(*vault.window());
        QTest::qWait(50);
        QVERIFY(vault.driver.boxes().isEmpty());
        QCOMPARE(vault.driver.promptTitles().size(), 1);
        QCOMPARE(readWholeFile(vault.container), before);
    }

    // ---- Compaction and backup ----

    void compactionWithProgress()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray(300000, 'a')}, {QStringLiteral("b.txt"), QByteArray(200, 'b')}}));
        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        vault.driver.answerBox(QStringLiteral("Sim"));
        vault.trigger(QStringLiteral("Excluir..."));
        const qint64 before = QFileInfo(vault.container).size();

        QStringList titles;
        vault.driver.answerBox(QStringLiteral("Sim"));
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Compactar cofre..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxes().value(1).title, QStringLiteral("Compactar cofre"));
        QCOMPARE(vault.driver.boxes().value(1).defaultButton, QStringLiteral("Não"));
        QCOMPARE(vault.driver.boxes().value(2).text, QStringLiteral("Cofre compactado com sucesso."));
        QCOMPARE(vault.status(), QStringLiteral("Cofre compactado com sucesso."));
        QVERIFY(QFileInfo(vault.container).size() < before);
        QCOMPARE(tableNames(vault.window()), QStringList{QStringLiteral("b.txt")});
        vault.trigger(QStringLiteral("Bloquear"));
        QCOMPARE(exportedContent(vault.container, QStringLiteral("b.txt")), QByteArray(200, 'b'));
    }

    void backupCopiesTheLockedContainer()
    {
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray("a")}}));
        vault.trigger(QStringLiteral("Bloquear"));
        const QString destination = vault.dir->filePath(QStringLiteral("copia.susb"));
        vault.driver.answerFile(destination, ModalDriver::FileAnswer::ReplaceWithoutAsking);
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Fazer backup..."));
        QVERIFY(vault.driver.allHandled());
        const QFileInfo proposed(vault.driver.fileDialogStarts().last());
        QVERIFY(proposed.fileName().startsWith(QStringLiteral("kavendru_backup_")));
        QVERIFY(proposed.fileName().endsWith(QStringLiteral(".susb")));
        QCOMPARE(proposed.absolutePath(), QDir::homePath());
        QCOMPARE(vault.driver.boxes().value(0).title, QStringLiteral("Fazer backup"));
        QVERIFY(vault.driver.boxes().value(0).text.startsWith(QStringLiteral("Backup concluído com sucesso.")));
        QCOMPARE(vault.status(), QStringLiteral("Backup do container concluído."));
        QCOMPARE(readWholeFile(destination), readWholeFile(vault.container));
        QCOMPARE(readVault(destination).files, QStringList{QStringLiteral("a.txt")});
    }

    // The container under any of its names is refused before anything is
    // opened, and its bytes stay as they were.
    void backupRefusesTheContainer_data()
    {
        QTest::addColumn<QString>("spelling");
        QTest::newRow("plain path") << "plain";
        QTest::newRow("symlink") << "link";
        QTest::newRow("dot segments") << "dots";
    }

    void backupRefusesTheContainer()
    {
        QFETCH(QString, spelling);
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray("a")}}));
        vault.trigger(QStringLiteral("Bloquear"));
        QString destination = vault.container;
        if (spelling == QLatin1String("link")) {
            destination = vault.dir->filePath(QStringLiteral("atalho.susb"));
            QVERIFY(QFile::link(vault.container, destination));
        } else if (spelling == QLatin1String("dots")) {
            destination = vault.root + QStringLiteral("/./../PEN/kavendru.susb");
        }
        const QByteArray before = readWholeFile(vault.container);
        vault.driver.answerFile(destination, ModalDriver::FileAnswer::ReplaceWithoutAsking);
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Fazer backup..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxTexts(), QStringList{QStringLiteral("Escolha um destino diferente do container original.")});
        QCOMPARE(readWholeFile(vault.container), before);
    }

    // The drive of the backup fills up: the earlier backup stays.
    void failedBackupKeepsTheEarlierOne()
    {
        if (!inPrivateMountNamespace())
            QSKIP("needs root for a tmpfs of its own");
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray(4 * 1024 * 1024, 'a')}}));
        vault.trigger(QStringLiteral("Bloquear"));
        const QString mountPoint = vault.dir->filePath(QStringLiteral("BACKUP"));
        ScopedTmpfs tmpfs(mountPoint, 16 * 1024 * 1024);
        QVERIFY(tmpfs.isMounted());
        const QString destination = QDir(mountPoint).filePath(QStringLiteral("copia.susb"));
        const QByteArray earlier(8 * 1024 * 1024, 'e');
        QVERIFY(writeWholeFile(destination, earlier));
        vault.driver.answerFile(destination, ModalDriver::FileAnswer::ReplaceWithoutAsking);
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Fazer backup..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.boxTexts(), QStringList{QStringLiteral("Não foi possível concluir o backup.")});
        QCOMPARE(vault.status(), QStringLiteral("Falha ao fazer backup do container."));
        QCOMPARE(readWholeFile(destination), earlier);
    }

    // ---- Password change ----

    void passwordChange_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<bool>("changed");
        QTest::newRow("right current password") << kPassword << true;
        QTest::newRow("wrong current password") << "senha-errada-123" << false;
    }

    void passwordChange()
    {
        QFETCH(QString, current);
        QFETCH(bool, changed);
        UnlockedVault vault;
        QVERIFY(vault.setUp({{QStringLiteral("a.txt"), QByteArray("a")}}));
        vault.trigger(QStringLiteral("Bloquear"));
        const QString newPassword = QStringLiteral("nova-senha-segura");
        vault.driver.onNext([&](QWidget* widget) {
            if (widget->windowTitle() != QLatin1String("Alterar senha do cofre"))
                return false;
            const QList<QLineEdit*> edits = widget->findChildren<QLineEdit*>();
            if (edits.size() != 3)
                return false;
            edits.at(0)->setText(current);
            edits.at(1)->setText(newPassword);
            edits.at(2)->setText(newPassword);
            findButton(widget, QStringLiteral("Alterar"))->click();
            return true;
        });
        vault.driver.answerBox(QStringLiteral("OK"));
        vault.trigger(QStringLiteral("Alterar senha..."));
        QVERIFY(vault.driver.allHandled());
        if (changed) {
            QCOMPARE(vault.driver.boxTexts(), QStringList{QStringLiteral("Senha alterada com sucesso.")});
            QCOMPARE(vault.status(), QStringLiteral("Senha alterada com sucesso."));
        } else {
            QCOMPARE(vault.driver.boxTexts(),
                     QStringList{QStringLiteral(
                         "Não foi possível alterar a senha. Verifique a senha atual e tente novamente.")});
            QCOMPARE(vault.status(), QStringLiteral("Falha ao alterar a senha."));
        }
        QCOMPARE(readVault(vault.container, kPassword).opened, !changed);
        const VaultContent withNew = readVault(vault.container, newPassword);
        QCOMPARE(withNew.opened, changed);
        if (changed)
            QCOMPARE(withNew.files, QStringList{QStringLiteral("a.txt")});
    }

    // ---- Names as typed ----

    // Names of files, folders, containers and drives are the user's or the
    // drive's: wherever one is shown, it reads as typed, never as markup.
    void namesAreShownAsTyped_data()
    {
        QTest::addColumn<QString>("place");
        for (const char* place :
             {"import: replace question", "import: refused file", "import: vanished file", "import: open file",
              "export: confirmation",
              "delete: confirmation", "move: dialog", "folder: delete question", "line above the table",
              "container label", "container tool tip", "drive-root box", "creation: replace question",
              "progress label"})
            QTest::newRow(place) << QString::fromLatin1(place);
    }

    void namesAreShownAsTyped()
    {
        QFETCH(QString, place);
        const QString file = QStringLiteral("<h1>nota.txt");
        const QString folder = QStringLiteral("<b>docs");
        const QString container = QStringLiteral("<h1>cofre.susb");
        QString literal;
        QString shown;
        const auto firstBoxShown = [](const ModalDriver& driver) { return driver.boxes().value(0).shown; };

        if (place.startsWith(QLatin1String("import: "))) {
            UnlockedVault vault;
            QVERIFY(vault.setUp({{file, QByteArray("antigo")}}, {folder}));
            const bool refused = place.endsWith(QLatin1String("refused file"));
            literal = refused ? folder : file;
            UrlCatcher catcher(QStringLiteral("file"));
            if (place.endsWith(QLatin1String("open file"))) {
                QVERIFY(vault.selectRow(file));
                vault.trigger(QStringLiteral("Abrir"));
                QCOMPARE(catcher.urls.size(), 1);
            }
            const QString host = vault.hostFile(literal, "novo");
            std::function<void()> afterAccept;
            if (place.endsWith(QLatin1String("vanished file")))
                afterAccept = [host] { QFile::remove(host); };
            vault.driver.answerFiles({host}, ModalDriver::FileAnswer::AsTheUser, afterAccept);
            const bool question = place.endsWith(QLatin1String("question"));
            vault.driver.answerBox(question ? QStringLiteral("Não") : QStringLiteral("OK"));
            vault.trigger(QStringLiteral("Importar..."));
            QVERIFY(vault.driver.allHandled());
            shown = firstBoxShown(vault.driver);
        } else if (place == QLatin1String("export: confirmation") || place == QLatin1String("delete: confirmation")) {
            UnlockedVault vault;
            QVERIFY(vault.setUp({{file, QByteArray("a")}}));
            QVERIFY(vault.selectRow(file));
            vault.driver.answerBox(QStringLiteral("<Escape>"));
            const bool exporting = place.startsWith(QLatin1String("export"));
            vault.trigger(exporting ? QStringLiteral("Exportar...") : QStringLiteral("Excluir..."));
            QVERIFY(vault.driver.allHandled());
            literal = file;
            shown = firstBoxShown(vault.driver);
        } else if (place == QLatin1String("move: dialog")) {
            UnlockedVault vault;
            QVERIFY(vault.setUp({{file, QByteArray("a")}}, {QStringLiteral("Docs")}));
            QVERIFY(vault.selectRow(file));
            vault.driver.onNext([&shown](QWidget* widget) {
                if (widget->windowTitle() != QLatin1String("Mover arquivo"))
                    return false;
                for (const QLabel* label : widget->findChildren<QLabel*>())
                    shown += shownText(label);
                static_cast<QDialog*>(widget)->reject();
                return true;
            });
            vault.trigger(QStringLiteral("Mover para pasta..."));
            QVERIFY(vault.driver.allHandled());
            literal = file;
        } else if (place == QLatin1String("folder: delete question")
                   || place == QLatin1String("line above the table")) {
            UnlockedVault vault;
            QVERIFY(vault.setUp({}, {folder}));
            literal = folder;
            if (place.startsWith(QLatin1String("folder"))) {
                QVERIFY(vault.selectRow(folder));
                vault.driver.answerBox(QStringLiteral("Não"));
                vault.trigger(QStringLiteral("Excluir pasta vazia"));
                QVERIFY(vault.driver.allHandled());
                shown = firstBoxShown(vault.driver);
            } else {
                vault.enter(folder);
                shown = shownText(labelStartingWith(vault.window(), QStringLiteral("Arquivos protegidos")));
            }
        } else if (place.startsWith(QLatin1String("container "))) {
            VaultOnDrive drive;
            QVERIFY(drive.setUp({}, {}, container));
            drive.driver.answerFile(drive.container);
            menuAction(drive.window(), {"USB", "Container", "Escolher container..."})->trigger();
            QVERIFY(drive.driver.allHandled());
            const QLabel* label = labelStartingWith(drive.window(), QStringLiteral("Container: "));
            QVERIFY(label);
            shown = place.endsWith(QLatin1String("label")) ? shownText(label) : shownToolTip(label->toolTip());
            // The label is cut in the middle to fit; its start names the file.
            literal = place.endsWith(QLatin1String("label")) ? QStringLiteral("Container: <h1>") : container;
        } else if (place == QLatin1String("drive-root box") || place == QLatin1String("creation: replace question")) {
            const auto dir = makeTempDir();
            const QString root = dir->filePath(QStringLiteral("<h1>PEN"));
            VaultOnDrive drive;
            if (place.startsWith(QLatin1String("drive"))) {
                QVERIFY(QDir().mkpath(root));
                drive.fixture =
                    std::make_unique<WindowFixture>(QList<UsbDevice>{mountedDrive(root, QStringLiteral("PEN"))});
                QListWidget* list = driveList(drive.window());
                drive.driver.answerBox(QStringLiteral("OK"));
                emit list->itemDoubleClicked(list->item(0));
                literal = root;
            } else {
                QVERIFY(drive.setUp({}, {}, QStringLiteral("kavendru.susb"), root));
                drive.driver.answerFile(drive.container);
                drive.driver.answerBox(QStringLiteral("Não"));
                menuAction(drive.window(), {"USB", "Container", "Criar novo cofre..."})->trigger();
                literal = drive.container;
            }
            QVERIFY(drive.driver.allHandled());
            QCOMPARE(drive.driver.unexpected(), 0);
            shown = firstBoxShown(drive.driver);
        } else if (place == QLatin1String("progress label")) {
            Kavendru::UI::OperationProgressDialog progress(QStringLiteral("Importar arquivos"),
                                                           QStringLiteral("Importando %1...").arg(file), nullptr);
            const QLabel* label = progress.findChild<QLabel*>();
            QVERIFY(label);
            shown = shownText(label);
            progress.step(1, 1, QStringLiteral("Importando %1...\n1 B de 1 B").arg(file));
            shown += shownText(label);
            literal = file;
        }
        QVERIFY(!literal.isEmpty());
        QVERIFY2(shown.contains(literal), qPrintable(QStringLiteral("shown: %1").arg(shown)));
    }

    // ---- About and help ----

    void aboutHelpAndTheMakersPage()
    {
        WindowFixture fixture;
        MainWindow* window = fixture.window.get();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        ModalDriver driver;
        QString helpTitle;
        driver.onNext([&](QWidget* widget) {
            if (widget->windowTitle() != QLatin1String("Ajuda do Kavendru"))
                return false;
            helpTitle = widget->windowTitle();
            static_cast<QDialog*>(widget)->reject();
            return true;
        });
        windowAction(window, QStringLiteral("Ajuda"))->trigger();
        QCOMPARE(helpTitle, QStringLiteral("Ajuda do Kavendru"));

        bool aboutShown = false;
        driver.onNext([&](QWidget* widget) {
            if (widget->windowTitle() != QLatin1String("Sobre o Kavendru"))
                return false;
            aboutShown = true;
            static_cast<QDialog*>(widget)->reject();
            return true;
        });
        windowAction(window, QStringLiteral("Sobre o Kavendru"))->trigger();
        QVERIFY(aboutShown);

        UrlCatcher catcher(QStringLiteral("https"));
        windowAction(window, QStringLiteral("Visitar a página oficial do Kavendru"))->trigger();
        QCOMPARE(catcher.urls, QList<QUrl>{QUrl(QString::fromLatin1(Kavendru::UI::kMakerPageUrl))});
        QVERIFY(catcher.urls.first().host().endsWith(QStringLiteral(".example")));
        QCOMPARE(driver.unexpected(), 0);
    }
};

KAVENDRU_UI_TEST_MAIN(TestVaultOperations)
#include "tst_vaultoperations.moc"
