#pragma once

#include "UiTestSupport.h"
#include "common/FakeDrives.h"

#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <memory>

namespace ConfigTest {

using Kavendru::Platform::UsbDevice;

using KavendruTest::FakeDeviceManager;
using KavendruTest::mountedDrive;
using KavendruTest::unmountedDrive;

using KavendruTest::SeenBox;

// Deals with the modal widgets that open from now on, one handler each, in
// order. A handler returns false when the modal widget is not yet its own
// (a progress dialog before the box it waits for).
class ModalDriver {
public:
    using Handler = std::function<bool(QWidget*)>;

    ModalDriver();
    ~ModalDriver();
    ModalDriver(const ModalDriver&) = delete;
    ModalDriver& operator=(const ModalDriver&) = delete;

    void onNext(Handler handler);
    // The next message box: recorded, then answered with the button of
    // that text ("&" mnemonics ignored), or "<Escape>" / "<Return>" keys.
    void answerBox(const QString& answer);

    const QList<SeenBox>& boxes() const { return seen; }
    bool allHandled() const { return pending.isEmpty(); }

private:
    void poll();
    bool answerIfBox(QWidget* widget, const QString& answer);

    QTimer timer;
    QList<Handler> pending;
    QList<SeenBox> seen;
};

// The states a window's progress dialog goes through: one entry each time
// its label changes, with the value and maximum at that moment.
struct ProgressState {
    QString label;
    int value = 0;
    int maximum = 0;
};

class ProgressWatcher {
public:
    explicit ProgressWatcher(QWidget* window);
    ~ProgressWatcher();
    ProgressWatcher(const ProgressWatcher&) = delete;
    ProgressWatcher& operator=(const ProgressWatcher&) = delete;

    // Called at every look while a progress dialog is visible.
    void whileVisible(std::function<void(QProgressDialog*)> action) { visibleAction = std::move(action); }
    const QList<ProgressState>& states() const { return seen; }

private:
    void poll();

    QPointer<QWidget> window;
    QTimer timer;
    QList<ProgressState> seen;
    std::function<void(QProgressDialog*)> visibleAction;
};

QString withoutMnemonic(QString text);

// The process's own HOME, TMPDIR and XDG_RUNTIME_DIR: fresh folders, gone
// at exit, so nothing a test does reaches the machine's temporary location.
class PrivateEnvironment {
public:
    PrivateEnvironment();
    QString temporaryLocation() const { return tmp->path(); }

private:
    std::unique_ptr<QTemporaryDir> home;
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<QTemporaryDir> runtime;
};

// Lines of a text box, without trailing empty ones.
QStringList lines(const QString& plainText);

// Everything below a folder, relative and sorted, hidden entries and links
// included (not followed).
QStringList treeOf(const QString& root);

} // namespace ConfigTest

// The tool's source is compiled into the test that includes this, with its
// main renamed, so the window and its helpers are reachable.
#define KAVENDRU_CONFIG_TEST_MAIN(TestObject)                                                                      \
    int main(int argc, char* argv[])                                                                             \
    {                                                                                                            \
        KavendruTest::enterPrivateMountNamespace();                                                              \
        ConfigTest::PrivateEnvironment environment;                                                              \
        QApplication app(argc, argv);                                                                            \
        applyApplicationIdentity();                                                                              \
        TestObject test;                                                                                         \
        QTEST_SET_MAIN_SOURCE_PATH                                                                               \
        return QTest::qExec(&test, argc, argv);                                                                  \
    }
