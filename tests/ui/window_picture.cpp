// Writes a picture of the vault program's real window with an unlocked
// vault to the PNG file named on the command line.
#include "MainWindowTestSupport.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdio>

using namespace KavendruTest;

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kavendru"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.5"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/Kavendru.ico")));
    if (argc != 2) {
        std::fputs("uso: window_picture <arquivo.png>\n", stderr);
        return 2;
    }
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("KAVENDRU"));
    const QString container = QDir(root).filePath(QStringLiteral("kavendru.susb"));
    const QString password = QStringLiteral("senha de exemplo");
    if (!QDir().mkpath(root)
        || !writeVaultWithFiles(container, password.toUtf8(),
                                {{"contrato-aluguel.pdf", QByteArray(182000, 'c')},
                                 {"chave-ssh.pem", QByteArray(3200, 'k')},
                                 {"foto-documento.jpg", QByteArray(1450000, 'f')},
                                 {"senhas.txt", QByteArray(2100, 't')},
                                 {"assinatura.sig", QByteArray(566, 's')},
                                 {"gravacao.m4a", QByteArray(5400000, 'a')},
                                 {"Documentos/rg.pdf", "rg"}},
                                {"Documentos", "Fotos"}))
        return 1;
    WindowFixture fixture({mountedDrive(root, QStringLiteral("KAVENDRU"))});
    fixture.window->show();
    ModalDriver driver;
    if (!chooseAndUnlock(fixture.window.get(), driver, container, password))
        return 1;
    QCoreApplication::processEvents();
    if (!fixture.window->grab().save(QString::fromLocal8Bit(argv[1])))
        return 1;
    return 0;
}
