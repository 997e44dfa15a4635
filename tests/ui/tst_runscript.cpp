// scripts/run.sh in a copy of the tree whose installing, building and
// programs only note that they ran: without a display it says so before
// anything is installed or built; with one, it builds and starts.
#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

using namespace KavendruTest;

namespace {

bool writeScript(const QString& path, const QByteArray& content)
{
    return QDir().mkpath(QFileInfo(path).absolutePath()) && writeWholeFile(path, content)
           && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace

class TestRunScript : public QObject {
    Q_OBJECT

private slots:
    void displayIsCheckedBeforeTheBuild_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("calls");
        const QStringList built{"setup", "build"};
        QTest::newRow("no display") << QString() << QString() << 1 << QStringList();
        QTest::newRow("no display, the drive tool") << QString() << "KavendruConfig" << 1 << QStringList();
        QTest::newRow("X display") << "DISPLAY=:0" << QString() << 0 << built + QStringList{"Kavendru"};
        QTest::newRow("Wayland display") << "WAYLAND_DISPLAY=wayland-0" << QString() << 0
                                         << built + QStringList{"Kavendru"};
        QTest::newRow("Qt platform set") << "QT_QPA_PLATFORM=offscreen" << "KavendruConfig" << 0
                                         << built + QStringList{"KavendruConfig"};
    }

    void displayIsCheckedBeforeTheBuild()
    {
        QFETCH(QString, variable);
        QFETCH(QString, program);
        QFETCH(int, exitCode);
        QFETCH(QStringList, calls);
        const auto tree = makeTempDir();
        const QDir root(tree->path());
        const QString script = root.filePath(QStringLiteral("scripts/run.sh"));
        QVERIFY(writeScript(script, readWholeFile(QStringLiteral(KAVENDRU_RUN_SCRIPT))));
        // Each step notes its name in one file at the root of the tree.
        const QByteArray calledFile = QFile::encodeName(root.filePath(QStringLiteral("CALLS")));
        const auto step = [&root, &calledFile](const QString& path, const QByteArray& name) {
            return writeScript(root.filePath(path), "#!/bin/sh\necho " + name + " >> '" + calledFile + "'\n");
        };
        QVERIFY(step(QStringLiteral("scripts/setup.sh"), "setup"));
        QVERIFY(step(QStringLiteral("scripts/build.sh"), "build"));
        QVERIFY(step(QStringLiteral("build/bundles/linux-x64/Kavendru"), "Kavendru"));
        QVERIFY(step(QStringLiteral("build/config/KavendruConfig"), "KavendruConfig"));

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "KAVENDRU_BUILD_DIR"})
            environment.remove(QString::fromLatin1(name));
        if (!variable.isEmpty())
            environment.insert(variable.section(QLatin1Char('='), 0, 0), variable.section(QLatin1Char('='), 1));
        QProcess run;
        run.setProcessEnvironment(environment);
        run.start(QStringLiteral("sh"), program.isEmpty() ? QStringList{script} : QStringList{script, program});
        QVERIFY(run.waitForFinished(60000));
        QCOMPARE(run.exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.exitCode(), exitCode);
        const QString errors = QString::fromUtf8(run.readAllStandardError());
        const QStringList noted = QString::fromUtf8(readWholeFile(root.filePath(QStringLiteral("CALLS"))))
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(noted, calls);
        if (exitCode == 1) {
            QCOMPARE(errors.count(QLatin1Char('\n')), 1);
            QVERIFY2(errors.startsWith(QStringLiteral("Sem tela: ")), qPrintable(errors));
            QVERIFY(errors.contains(program.isEmpty() ? QStringLiteral("inicie Kavendru ") : QStringLiteral("inicie KavendruConfig ")));
        } else {
            QCOMPARE(errors, QString());
        }
    }
};

KAVENDRU_TEST_MAIN(TestRunScript)

#include "tst_runscript.moc"
