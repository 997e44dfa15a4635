#include "MainWindow.h"

#include "MainWindowSupport.h"
#include "OperationProgressDialog.h"

#ifdef Q_OS_WIN
#include "platform/windows/WindowsDeviceManager.h"
#else
#include "platform/linux/LinuxDeviceManager.h"
#endif

#include <QAbstractFileIconProvider>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QScreen>
#include <QStatusBar>
#include <QStorageInfo>
#include <QStyle>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

namespace Kavendru::UI {

namespace {

using Core::VaultDirectoryEntry;
using Core::VaultFileEntry;
using Core::VaultManager;

enum VaultTableItemKind : int { File = 0, Directory = 1, ParentDirectory = 2 };

constexpr int kPathRole = Qt::UserRole;
constexpr int kKindRole = Qt::UserRole + 1;
constexpr int kDriveRootRole = Qt::UserRole;
constexpr int kDriveNameRole = Qt::UserRole + 1;
constexpr int kContainerBoxWidth = 180;

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity kFolderCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kFolderCase = Qt::CaseSensitive;
#endif

const char kToggleButtonStyle[] =
    "QToolButton { border: 1px solid #d0d0d0; border-radius: 4px; background: #f7f7f7; }"
    "QToolButton:hover:enabled { background: #eeeeee; border-color: #b8b8b8; }"
    "QToolButton:pressed:enabled { background: #e2e2e2; }"
    "QToolButton:disabled { background: #f1f1f1; border-color: #dedede; }";
const char kFileTableStyle[] = "QTableWidget::item { border-bottom: 1px solid #d8d8d8; }"
                               "QTableWidget::item:focus { outline: none; }"
                               "QTableWidget::item:selected { background-color: palette(highlight); "
                               "color: palette(highlighted-text); }";
const char kStatusLabelStyle[] = "QLabel { font-size: 11px; padding-left: 4px; padding-right: 4px; }";
const char kUnlockedBadgeStyle[] = "QLabel { background-color: #7bd88f; color: #000000; font-size: 11px; "
                                   "font-weight: 600; padding-left: 4px; padding-right: 4px; }";
const char kLockedBadgeStyle[] = "QLabel { background-color: #f06a6a; color: #000000; font-size: 11px; "
                                 "font-weight: 600; padding-left: 4px; padding-right: 4px; }";

// A folder with exactly one trailing "/" (a short root such as / or C:/
// keeps its own), so that /media/ana/PEN/ is no prefix of /media/ana/PEN2/.
QString normalizeDirectoryPath(const QString& path)
{
    QString normalized = QDir::fromNativeSeparators(path.trimmed());
    while (normalized.endsWith(QLatin1Char('/')) && normalized.size() > 3)
        normalized.chop(1);
    if (!normalized.endsWith(QLatin1Char('/')))
        normalized.append(QLatin1Char('/'));
    return normalized;
}

struct Badge {
    const char* text;
    QColor band;
};

std::optional<Badge> badgeForSuffix(const QString& lowerSuffix)
{
    static const QHash<QString, Badge> badges = [] {
        QHash<QString, Badge> table;
        const auto add = [&table](std::initializer_list<const char*> suffixes, const char* text, const char* colour) {
            for (const char* suffix : suffixes)
                table.insert(QLatin1String(suffix), Badge{text, QColor(QLatin1String(colour))});
        };
        add({"pem", "key"}, "KEY", "#1F735C");
        add({"sig", "asc"}, "SIG", "#7050A0");
        add({"crt", "cer", "csr"}, "CRT", "#B87118");
        add({"encrypted"}, "ENC", "#455C7A");
        add({"txt", "log"}, "TXT", "#5A5A5A");
        add({"mp3", "wav", "flac", "ogg", "m4a"}, "AUD", "#2563B4");
        add({"jpg", "jpeg", "png", "gif", "bmp", "webp"}, "IMG", "#1F848D");
        return table;
    }();
    const auto found = badges.constFind(lowerSuffix);
    if (found == badges.constEnd())
        return std::nullopt;
    return *found;
}

QIcon paintBadge(const Badge& badge)
{
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(QColor(QLatin1String("#ACACAC")), 1.0, Qt::SolidLine));
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(QRectF(4.0, 1.5, 14.0, 18.5), 1.5, 1.5);
    painter.setPen(QPen(QColor(QLatin1String("#BEBEBE")), 1.0));
    painter.setBrush(QColor(QLatin1String("#EDEDED")));
    const QPointF corner[] = {QPointF(14.0, 1.5), QPointF(18.0, 5.5), QPointF(14.0, 5.5)};
    painter.drawPolygon(corner, 3);
    painter.setPen(Qt::NoPen);
    painter.setBrush(badge.band);
    painter.drawRoundedRect(QRectF(2.5, 11.0, 17.0, 8.5), 1.8, 1.8);
    QFont font = QApplication::font();
    font.setWeight(QFont::Bold);
    font.setPixelSize(6);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRectF(2.5, 10.6, 17.0, 8.8), Qt::AlignCenter, QLatin1String(badge.text));
    painter.end();
    return QIcon(pixmap);
}

// Every icon is made once and reused: a folder of thousands of files must
// refresh without painting or asking the platform thousands of times. The
// caches live until the program ends, like the icon provider.
QIcon vaultItemIcon(VaultTableItemKind kind, const QString& vaultPath)
{
    static auto* iconProvider = new QFileIconProvider;
    static auto* icons = new QHash<QString, QIcon>;
    // Keys: "@up", "@folder", "@file", "badge:<lower suffix>", "type:<suffix>".
    const auto cached = [](const QString& key, const auto& make) {
        auto found = icons->constFind(key);
        if (found == icons->constEnd())
            found = icons->insert(key, make());
        return *found;
    };
    switch (kind) {
    case ParentDirectory:
        return cached(QStringLiteral("@up"), [] { return QApplication::style()->standardIcon(QStyle::SP_ArrowUp); });
    case Directory:
        return cached(QStringLiteral("@folder"), [] { return iconProvider->icon(QAbstractFileIconProvider::Folder); });
    case File:
        break;
    }
    const QString suffix = QFileInfo(vaultPath).suffix();
    if (suffix.isEmpty())
        return cached(QStringLiteral("@file"), [] { return iconProvider->icon(QAbstractFileIconProvider::File); });
    const QString lower = suffix.toLower();
    if (const std::optional<Badge> badge = badgeForSuffix(lower))
        return cached(QStringLiteral("badge:") + lower, [&badge] { return paintBadge(*badge); });
    return cached(QStringLiteral("type:") + suffix, [&suffix] {
        return iconProvider->icon(QFileInfo(QStringLiteral("kavendru-placeholder.%1").arg(suffix)));
    });
}

int compareNames(const QString& a, const QString& b)
{
    return QString::compare(vaultBaseName(a), vaultBaseName(b), Qt::CaseInsensitive);
}

int compareDirectoryRows(const VaultDirectoryEntry& a, const VaultDirectoryEntry& b, int column)
{
    if (column == 4) {
        if (a.modifiedUtc < b.modifiedUtc)
            return -1;
        if (b.modifiedUtc < a.modifiedUtc)
            return 1;
    }
    return compareNames(a.path, b.path);
}

int compareFileRows(const VaultFileEntry& a, const VaultFileEntry& b, int column)
{
    switch (column) {
    case 2:
        if (a.sizeBytes != b.sizeBytes)
            return a.sizeBytes < b.sizeBytes ? -1 : 1;
        break;
    case 3:
        if (const int byType = QString::compare(fileTypeLabel(a.vaultPath), fileTypeLabel(b.vaultPath),
                                                Qt::CaseInsensitive))
            return byType;
        break;
    case 4:
        if (a.lastModifiedUtc < b.lastModifiedUtc)
            return -1;
        if (b.lastModifiedUtc < a.lastModifiedUtc)
            return 1;
        break;
    default:
        break;
    }
    return compareNames(a.vaultPath, b.vaultPath);
}

// Stable: rows that compare equal keep the index's order in both
// directions; descending reverses the comparison, name tie-break included.
template <typename Row, typename Compare>
void sortVaultRows(QList<const Row*>& rows, Qt::SortOrder order, const Compare& compare)
{
    std::stable_sort(rows.begin(), rows.end(), [order, &compare](const Row* a, const Row* b) {
        const int result = compare(*a, *b);
        return order == Qt::AscendingOrder ? result < 0 : result > 0;
    });
}

QTableWidgetItem* tableItem(const QString& text, Qt::Alignment alignment = {})
{
    auto* item = new QTableWidgetItem(text);
    if (alignment)
        item->setTextAlignment(alignment);
    return item;
}

void setRow(QTableWidget* table, int row, VaultTableItemKind kind, const QString& vaultPath, const QString& name,
            const QString& size, const QString& type, const QString& date)
{
    auto* icon = new QTableWidgetItem;
    icon->setIcon(vaultItemIcon(kind, vaultPath));
    icon->setTextAlignment(Qt::AlignCenter);
    auto* nameItem = tableItem(name);
    for (QTableWidgetItem* item : {icon, nameItem}) {
        item->setData(kPathRole, vaultPath);
        item->setData(kKindRole, int(kind));
    }
    table->setItem(row, 0, icon);
    table->setItem(row, 1, nameItem);
    table->setItem(row, 2, tableItem(size, size.isEmpty() ? Qt::Alignment() : Qt::AlignRight | Qt::AlignVCenter));
    table->setItem(row, 3, tableItem(type, Qt::AlignCenter));
    table->setItem(row, 4, tableItem(date, date.isEmpty() ? Qt::Alignment() : Qt::Alignment(Qt::AlignCenter)));
}

QPixmap paintPadlock(bool unlocked, bool active)
{
    QPixmap pixmap(48, 48);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QColor outline(QLatin1String(active ? "#464646" : "#a5a5a5"));
    const QColor fill(QLatin1String(active ? "#eeeeee" : "#e2e2e2"));
    painter.setPen(QPen(outline, 3.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    if (unlocked) {
        painter.drawArc(QRect(14, 7, 20, 26), 400, 3920);
        painter.drawLine(QPoint(35, 19), QPoint(40, 15));
    } else {
        painter.drawArc(QRect(13, 7, 22, 26), 0, 2880);
    }
    painter.setBrush(fill);
    painter.drawRoundedRect(QRect(10, 22, 28, 20), 4.0, 4.0, Qt::AbsoluteSize);
    painter.setBrush(outline);
    painter.drawEllipse(QRect(22, 30, 4, 4));
    painter.drawLine(QPoint(24, 34), QPoint(24, 37));
    painter.end();
    return pixmap;
}

} // namespace

MainWindow::MainWindow(QWidget* parent)
#ifdef Q_OS_WIN
    : MainWindow(std::make_unique<Platform::Windows::WindowsDeviceManager>(), parent)
#else
    : MainWindow(std::make_unique<Platform::Linux::LinuxDeviceManager>(), parent)
#endif
{
}

MainWindow::MainWindow(std::unique_ptr<Platform::DeviceManager> detector, QWidget* parent)
    : QMainWindow(parent)
    , deviceManager(std::move(detector))
{
    buildUi();
    buildMenus();
    // The menu bar came after the size was fixed: fix it again around it.
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    adjustSize();
    setFixedSize(sizeHint());
    connectSignals();
    refreshDevices();
    updateActions();
    setStatusMessage(tr("Pronto"), 0);
}

MainWindow::~MainWindow() = default;

// ---------------------------------------------------------------------------
// Widgets, menus and connections

void MainWindow::buildUi()
{
    auto* central = new QWidget;
    const QScreen* screen = QGuiApplication::primaryScreen();
    central->setFixedSize(centralAreaSize(screen ? std::optional<QSize>(screen->availableGeometry().size())
                                                 : std::nullopt));

    auto* layout = new QVBoxLayout(central);
    layout->addWidget(new QLabel(tr("Dispositivos USB")));

    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    deviceList = new QListWidget;
    const int rowHeight = 3 * QFontMetrics(deviceList->font()).height() + 24 + 2 * deviceList->frameWidth();
    deviceList->setFixedHeight(rowHeight);
    deviceList->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    auto* iconLabel = new QLabel;
    iconLabel->setFixedSize(rowHeight, rowHeight);
    iconLabel->setAlignment(Qt::AlignCenter);
    iconLabel->setPixmap(QIcon(QStringLiteral(":/icons/Kavendru.ico")).pixmap(rowHeight, rowHeight));
    vaultToggleButton = new QToolButton;
    vaultToggleButton->setFixedSize(rowHeight, rowHeight);
    vaultToggleButton->setIconSize(QSize(48, 48));
    vaultToggleButton->setCheckable(true);
    vaultToggleButton->setAutoRaise(false);
    vaultToggleButton->setFocusPolicy(Qt::NoFocus);
    vaultToggleButton->setStyleSheet(QLatin1String(kToggleButtonStyle));
    row->addWidget(iconLabel);
    row->addWidget(deviceList, 1);
    row->addWidget(vaultToggleButton);
    layout->addLayout(row);

    protectedFilesLabel = plainTextLabel();
    layout->addWidget(protectedFilesLabel);

    fileTable = new QTableWidget(0, 5);
    fileTable->setHorizontalHeaderLabels(
        {QString(), tr("Nome do arquivo"), tr("Tamanho"), tr("Tipo"), tr("Modificado em")});
    fileTable->setMinimumHeight(220);
    fileTable->setContextMenuPolicy(Qt::CustomContextMenu);
    fileTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    fileTable->setFocusPolicy(Qt::NoFocus);
    fileTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    fileTable->setSelectionMode(QAbstractItemView::SingleSelection);
    fileTable->setAlternatingRowColors(true);
    fileTable->setShowGrid(false);
    fileTable->setIconSize(QSize(18, 18));
    fileTable->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    fileTable->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    fileTable->setStyleSheet(QLatin1String(kFileTableStyle));
    fileTable->verticalHeader()->hide();
    QHeaderView* header = fileTable->horizontalHeader();
    header->setStretchLastSection(false);
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setSortIndicator(1, Qt::AscendingOrder);
    header->setSectionResizeMode(0, QHeaderView::Fixed);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    for (int column : {2, 3, 4})
        header->setSectionResizeMode(column, QHeaderView::Fixed);
    fileTable->setColumnWidth(0, 28);
    fileTable->setColumnWidth(2, 110);
    fileTable->setColumnWidth(3, 70);
    fileTable->setColumnWidth(4, 140);
    layout->addWidget(fileTable);

    updateProtectedFilesLabel();

    auto* containerBox = new QWidget;
    containerBox->setFixedWidth(kContainerBoxWidth);
    auto* boxLayout = new QHBoxLayout(containerBox);
    boxLayout->setContentsMargins(0, 0, 0, 0);
    boxLayout->setSpacing(0);
    auto* separator = new QFrame;
    separator->setFixedWidth(1);
    separator->setFrameShape(QFrame::NoFrame);
    separator->setStyleSheet(QStringLiteral("QFrame { background-color: #c8c8c8; }"));
    containerLabel = plainTextLabel(tr("Container: nenhum"));
    containerLabel->setAlignment(Qt::AlignCenter);
    containerLabel->setStyleSheet(QLatin1String(kStatusLabelStyle));
    boxLayout->addWidget(separator);
    boxLayout->addWidget(containerLabel, 1);

    versionLabel = new QLabel(tr("Versão %1").arg(QStringLiteral("1.0.5")));
    versionLabel->setFixedWidth(180);
    versionLabel->setAlignment(Qt::AlignCenter);
    versionLabel->setStyleSheet(QLatin1String(kStatusLabelStyle));
    dateLabel = new QLabel(QDate::currentDate().toString(QStringLiteral("dd/MM/yyyy")));
    dateLabel->setFixedWidth(78);
    dateLabel->setAlignment(Qt::AlignCenter);
    dateLabel->setStyleSheet(QStringLiteral("QLabel { font-size: 11px; }"));
    vaultStateLabel = new QLabel;
    vaultStateLabel->setFixedWidth(50);
    vaultStateLabel->setAlignment(Qt::AlignCenter);
    statusBar()->addPermanentWidget(containerBox);
    statusBar()->addPermanentWidget(versionLabel);
    statusBar()->addPermanentWidget(dateLabel);
    statusBar()->addPermanentWidget(vaultStateLabel);

    setCentralWidget(central);
    setWindowTitle(tr("Kavendru"));
    adjustSize();
    setFixedSize(sizeHint());
}

void MainWindow::buildMenus()
{
    const auto add = [](QMenu* menu, QAction*& action, const QString& text, const QKeySequence& shortcut) {
        action = menu->addAction(text);
        if (!shortcut.isEmpty())
            action->setShortcut(shortcut);
    };

    QMenu* fileMenu = menuBar()->addMenu(tr("Arquivo"));
    add(fileMenu, quitAction, tr("Sair"), QKeySequence(Qt::CTRL | Qt::Key_Q));

    QMenu* usbMenu = menuBar()->addMenu(tr("USB"));
    QMenu* devicesMenu = usbMenu->addMenu(tr("Dispositivos"));
    add(devicesMenu, refreshDevicesAction, tr("Atualizar lista"), QKeySequence(Qt::CTRL | Qt::Key_F5));
    QMenu* containerMenu = usbMenu->addMenu(tr("Container"));
    add(containerMenu, chooseContainerAction, tr("Escolher container..."), QKeySequence(Qt::CTRL | Qt::Key_O));
    add(containerMenu, createVaultAction, tr("Criar novo cofre..."), QKeySequence(Qt::CTRL | Qt::Key_N));
    containerMenu->addSeparator();
    add(containerMenu, backupContainerAction, tr("Fazer backup..."), QKeySequence(Qt::CTRL | Qt::Key_B));
    containerMenu->addSeparator();
    add(containerMenu, changePasswordAction, tr("Alterar senha..."), QKeySequence(Qt::CTRL | Qt::Key_P));
    QMenu* accessMenu = usbMenu->addMenu(tr("Acesso ao cofre"));
    add(accessMenu, unlockVaultAction, tr("Desbloquear"), QKeySequence(Qt::CTRL | Qt::Key_L));
    add(accessMenu, lockVaultAction, tr("Bloquear"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L));
    accessMenu->addSeparator();
    QMenu* filesMenu = accessMenu->addMenu(tr("Arquivos protegidos"));
    add(filesMenu, createDirectoryAction, tr("Nova pasta..."), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N));
    filesMenu->addSeparator();
    add(filesMenu, importFilesAction, tr("Importar..."), QKeySequence(Qt::CTRL | Qt::Key_I));
    add(filesMenu, exportFileAction, tr("Exportar..."), QKeySequence(Qt::CTRL | Qt::Key_E));
    add(filesMenu, openFileAction, tr("Abrir"), QKeySequence(Qt::Key_Return));
    filesMenu->addSeparator();
    add(filesMenu, renameDirectoryAction, tr("Renomear pasta..."), QKeySequence());
    add(filesMenu, deleteDirectoryAction, tr("Excluir pasta vazia"), QKeySequence());
    filesMenu->addSeparator();
    add(filesMenu, deleteFileAction, tr("Excluir..."), QKeySequence(Qt::Key_Delete));
    accessMenu->addSeparator();
    add(accessMenu, compactVaultAction, tr("Compactar cofre..."), QKeySequence(Qt::Key_F6));

    QMenu* aboutMenu = menuBar()->addMenu(tr("Sobre"));
    add(aboutMenu, helpAction, tr("Ajuda"), QKeySequence());
    add(aboutMenu, websiteAction, tr("Visitar a página oficial do Kavendru"), QKeySequence());
    aboutMenu->addSeparator();
    add(aboutMenu, aboutAction, tr("Sobre o Kavendru"), QKeySequence());

    // Only the file table's context menu shows these two.
    moveFileAction = new QAction(tr("Mover para pasta..."), this);
    renameFileAction = new QAction(tr("Renomear arquivo..."), this);
}

void MainWindow::connectAction(QAction* action, void (MainWindow::*handler)())
{
    connect(action, &QAction::triggered, this, [this, handler] {
        if (!refuseWhileOperationRuns())
            (this->*handler)();
    });
}

void MainWindow::connectSignals()
{
    connect(quitAction, &QAction::triggered, this, [this] { close(); });
    connectAction(refreshDevicesAction, &MainWindow::refreshDevices);
    connectAction(chooseContainerAction, &MainWindow::chooseContainer);
    connectAction(createVaultAction, &MainWindow::createVault);
    connectAction(backupContainerAction, &MainWindow::backupContainer);
    connectAction(changePasswordAction, &MainWindow::changeVaultPassword);
    connectAction(unlockVaultAction, &MainWindow::unlockVault);
    connectAction(lockVaultAction, &MainWindow::lockVault);
    connectAction(createDirectoryAction, &MainWindow::createDirectory);
    connectAction(renameDirectoryAction, &MainWindow::renameSelectedDirectory);
    connectAction(deleteDirectoryAction, &MainWindow::deleteSelectedDirectory);
    connectAction(importFilesAction, &MainWindow::importFiles);
    connectAction(exportFileAction, &MainWindow::exportSelectedFile);
    connectAction(openFileAction, &MainWindow::openSelectedFile);
    connectAction(moveFileAction, &MainWindow::moveSelectedFile);
    connectAction(renameFileAction, &MainWindow::renameSelectedFile);
    connectAction(deleteFileAction, &MainWindow::deleteSelectedFile);
    connectAction(compactVaultAction, &MainWindow::compactVault);
    connectAction(helpAction, &MainWindow::showHelp);
    connectAction(websiteAction, &MainWindow::openWebsite);
    connectAction(aboutAction, &MainWindow::showAbout);

    connect(vaultToggleButton, &QToolButton::clicked, this, [this] { toggleVault(); });
    connect(deviceList, &QListWidget::currentItemChanged, this, [this] { deviceSelectionChanged(); });
    connect(deviceList, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { chooseDriveContainer(item); });
    connect(fileTable, &QTableWidget::itemSelectionChanged, this, [this] { updateActions(); });
    connect(fileTable->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int section) { sortBySection(section); });
    connect(fileTable, &QTableWidget::itemDoubleClicked, this,
            [this](QTableWidgetItem* item) { activateFileRow(item); });
    connect(fileTable, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& position) { showFileTableMenu(position); });
}

// ---------------------------------------------------------------------------
// Long operations

bool MainWindow::refuseWhileOperationRuns()
{
    if (!operationRunning)
        return false;
    setStatusMessage(tr("Aguarde o fim da operação em andamento."), kStatusTimeout);
    return true;
}

bool MainWindow::runOperation(const QString& title, const QString& label,
                              const std::function<bool(OperationProgressDialog& progress)>& work)
{
    if (refuseWhileOperationRuns())
        return false;
    operationRunning = true;
    OperationProgressDialog progress(title, label, this);
    progress.show();
    QCoreApplication::processEvents();
    const bool result = work(progress);
    progress.finish();
    operationRunning = false;
    return result;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (refuseWhileOperationRuns()) {
        event->ignore();
        return;
    }
    if (vaultManager.state() != VaultManager::Unlocked) {
        event->accept();
        return;
    }
    const LockOutcome outcome = lockAndShowState();
    if (outcome == LockOutcome::Locked) {
        event->accept();
        return;
    }
    // The close stays refused either way.
    warnAboutLock(outcome);
    event->ignore();
}

// ---------------------------------------------------------------------------
// Status display

void MainWindow::updateActions()
{
    const bool unlocked = vaultManager.state() == VaultManager::Unlocked;
    const bool locked = !unlocked;
    const bool containerChosen = !containerPath.isEmpty();
    const bool fileRow = !selectedVaultPath().isEmpty();
    const bool folderRow = selectedItemIsDirectory();

    refreshDevicesAction->setEnabled(locked);
    chooseContainerAction->setEnabled(locked);
    createVaultAction->setEnabled(locked);
    backupContainerAction->setEnabled(locked && containerChosen);
    changePasswordAction->setEnabled(locked && containerChosen);
    unlockVaultAction->setEnabled(locked && containerChosen);
    lockVaultAction->setEnabled(unlocked);
    createDirectoryAction->setEnabled(unlocked);
    importFilesAction->setEnabled(unlocked);
    compactVaultAction->setEnabled(unlocked);
    renameDirectoryAction->setEnabled(unlocked && folderRow);
    deleteDirectoryAction->setEnabled(unlocked && folderRow);
    for (QAction* action : {exportFileAction, openFileAction, renameFileAction, deleteFileAction})
        action->setEnabled(unlocked && fileRow);
    moveFileAction->setEnabled(unlocked && fileRow && !vaultManager.fileIndex().directoryList().isEmpty());

    updateVaultToggleButton();
    updateStatusBar();
    updateProtectedFilesLabel();
}

void MainWindow::updateVaultToggleButton()
{
    if (!vaultToggleButton)
        return;
    const bool unlocked = vaultManager.state() == VaultManager::Unlocked;
    const bool active = unlocked ? lockVaultAction->isEnabled() : unlockVaultAction->isEnabled();
    const bool wasBlocked = vaultToggleButton->blockSignals(true);
    vaultToggleButton->setEnabled(active);
    vaultToggleButton->setChecked(unlocked);
    vaultToggleButton->setIcon(QIcon(paintPadlock(unlocked, active)));
    if (unlocked)
        vaultToggleButton->setToolTip(tr("Bloquear cofre"));
    else if (active)
        vaultToggleButton->setToolTip(tr("Desbloquear cofre"));
    else
        vaultToggleButton->setToolTip(tr("Selecione um container para desbloquear o cofre."));
    vaultToggleButton->blockSignals(wasBlocked);
}

void MainWindow::updateStatusBar()
{
    if (!vaultStateLabel)
        return;
    if (containerLabel) {
        QString name = tr("nenhum");
        if (!containerPath.isEmpty()) {
            name = QFileInfo(containerPath).fileName();
            if (name.compare(QLatin1String("kavendru.susb"), Qt::CaseInsensitive) == 0)
                name = QStringLiteral("Kavendru");
        }
        const QString text = tr("Container: %1").arg(name);
        // The label's width inside its fixed box, beside the 1-pixel line;
        // its own width is not laid out before the window is first shown.
        const int width = kContainerBoxWidth - 1 - 8;
        containerLabel->setText(QFontMetrics(containerLabel->font()).elidedText(text, Qt::ElideMiddle, width));
        containerLabel->setToolTip(plainToolTip(text));
    }
    const bool unlocked = vaultManager.state() == VaultManager::Unlocked;
    vaultStateLabel->setText(tr("COFRE"));
    vaultStateLabel->setStyleSheet(QLatin1String(unlocked ? kUnlockedBadgeStyle : kLockedBadgeStyle));
}

void MainWindow::updateProtectedFilesLabel()
{
    if (!protectedFilesLabel)
        return;
    if (vaultManager.state() != VaultManager::Unlocked) {
        protectedFilesLabel->setText(tr("Nenhum cofre em uso (aberto)"));
        return;
    }
    const QString folder = currentDirectory.isEmpty() ? tr("Raiz") : currentDirectory;
    const qsizetype count = vaultManager.fileIndex().fileList().size();
    QString countText;
    if (count == 0)
        countText = tr("O cofre está vazio.");
    else if (count == 1)
        countText = tr("1 arquivo no cofre.");
    else
        countText = tr("%1 arquivos no cofre.").arg(count);
    protectedFilesLabel->setText(tr("Arquivos protegidos | Pasta: %1 | %2").arg(folder, countText));
}

void MainWindow::setStatusMessage(const QString& text, int timeoutMilliseconds)
{
    statusBar()->showMessage(text, timeoutMilliseconds);
}

// ---------------------------------------------------------------------------
// Selection

QString MainWindow::selectedVaultPath() const
{
    const int row = fileTable->currentRow();
    const QTableWidgetItem* item = row >= 0 ? fileTable->item(row, 1) : nullptr;
    if (!item || item->data(kKindRole).toInt() != File)
        return QString();
    return item->data(kPathRole).toString();
}

QString MainWindow::selectedDirectoryPath() const
{
    const int row = fileTable->currentRow();
    const QTableWidgetItem* item = row >= 0 ? fileTable->item(row, 1) : nullptr;
    if (!item)
        return QString();
    const int kind = item->data(kKindRole).toInt();
    if (kind != Directory && kind != ParentDirectory)
        return QString();
    return item->data(kPathRole).toString();
}

bool MainWindow::selectedItemIsDirectory() const
{
    const int row = fileTable->currentRow();
    const QTableWidgetItem* item = row >= 0 ? fileTable->item(row, 1) : nullptr;
    return item && item->data(kKindRole).toInt() == Directory;
}

bool MainWindow::selectedItemIsParentDirectory() const
{
    const int row = fileTable->currentRow();
    const QTableWidgetItem* item = row >= 0 ? fileTable->item(row, 1) : nullptr;
    return item && item->data(kKindRole).toInt() == ParentDirectory;
}

// ---------------------------------------------------------------------------
// File table

void MainWindow::refreshVaultFiles()
{
    fileTable->setRowCount(0);
    fileTable->clearSelection();
    fileTable->setCurrentCell(-1, -1);
    updateProtectedFilesLabel();
    if (vaultManager.state() != VaultManager::Unlocked)
        return;

    // A copy of the index shares its lists with the vault's; nothing is
    // copied row by row.
    const Core::SecureFileIndex index = vaultManager.fileIndex();
    QList<const VaultDirectoryEntry*> folders;
    for (const VaultDirectoryEntry& entry : index.directoryList()) {
        if (QString::compare(parentVaultPath(entry.path), currentDirectory, Qt::CaseInsensitive) == 0)
            folders.append(&entry);
    }
    QList<const VaultFileEntry*> files;
    for (const VaultFileEntry& entry : index.fileList()) {
        if (QString::compare(parentVaultPath(entry.vaultPath), currentDirectory, Qt::CaseInsensitive) == 0)
            files.append(&entry);
    }
    const int column = sortColumn;
    sortVaultRows(folders, sortOrder,
                  [column](const VaultDirectoryEntry& a, const VaultDirectoryEntry& b) {
                      return compareDirectoryRows(a, b, column);
                  });
    sortVaultRows(files, sortOrder, [column](const VaultFileEntry& a, const VaultFileEntry& b) {
        return compareFileRows(a, b, column);
    });

    const bool hasParentRow = !currentDirectory.isEmpty();
    const QString folderType = tr("Pasta");
    fileTable->setUpdatesEnabled(false);
    fileTable->setRowCount(int(hasParentRow) + int(folders.size()) + int(files.size()));
    // The view learns of the rows above; a signal for each of the items
    // set below would only repaint cells one by one. One repaint follows.
    const bool modelWasBlocked = fileTable->model()->blockSignals(true);
    int row = 0;
    if (hasParentRow)
        setRow(fileTable, row++, ParentDirectory, parentVaultPath(currentDirectory), QStringLiteral(".."), QString(),
               folderType, QString());
    for (const VaultDirectoryEntry* folder : folders)
        setRow(fileTable, row++, Directory, folder->path, vaultBaseName(folder->path), QString(), folderType,
               formatFileDate(folder->modifiedUtc));
    for (const VaultFileEntry* file : files)
        setRow(fileTable, row++, File, file->vaultPath, vaultBaseName(file->vaultPath), formatFileSize(file->sizeBytes),
               fileTypeLabel(file->vaultPath), formatFileDate(file->lastModifiedUtc));
    fileTable->model()->blockSignals(modelWasBlocked);
    fileTable->setUpdatesEnabled(true);
    fileTable->viewport()->update();

    fileTable->clearSelection();
    fileTable->setCurrentCell(-1, -1);
}

void MainWindow::enterSelectedDirectory()
{
    if (refuseWhileOperationRuns())
        return;
    const QString folder = selectedDirectoryPath();
    if (folder.isEmpty())
        return;
    currentDirectory = folder;
    refreshVaultFiles();
    updateActions();
}

void MainWindow::navigateToParentDirectory()
{
    if (refuseWhileOperationRuns())
        return;
    currentDirectory = parentVaultPath(currentDirectory);
    refreshVaultFiles();
    updateActions();
}

void MainWindow::sortBySection(int section)
{
    // Qt has already moved the indicator to the clicked section; a refused
    // or ignored click puts it back.
    if (section == 0 || refuseWhileOperationRuns()) {
        fileTable->horizontalHeader()->setSortIndicator(sortColumn, sortOrder);
        return;
    }
    if (section != sortColumn) {
        sortColumn = section;
        sortOrder = Qt::AscendingOrder;
    } else {
        sortOrder = sortOrder == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
    }
    fileTable->horizontalHeader()->setSortIndicator(sortColumn, sortOrder);
    refreshVaultFiles();
    updateActions();
}

void MainWindow::activateFileRow(QTableWidgetItem* item)
{
    if (!item || refuseWhileOperationRuns())
        return;
    if (selectedItemIsParentDirectory())
        navigateToParentDirectory();
    else if (selectedItemIsDirectory())
        enterSelectedDirectory();
    else if (openFileAction->isEnabled())
        openSelectedFile();
}

void MainWindow::showFileTableMenu(const QPoint& position)
{
    if (refuseWhileOperationRuns())
        return;
    const QModelIndex index = fileTable->indexAt(position);
    if (index.isValid())
        fileTable->setCurrentCell(index.row(), 1);
    updateActions();

    QMenu menu(this);
    menu.addAction(createDirectoryAction);
    menu.addAction(renameDirectoryAction);
    menu.addAction(deleteDirectoryAction);
    menu.addSeparator();
    menu.addAction(importFilesAction);
    menu.addAction(exportFileAction);
    menu.addAction(openFileAction);
    if (!selectedVaultPath().isEmpty()) {
        menu.addAction(moveFileAction);
        menu.addAction(renameFileAction);
    }
    menu.addSeparator();
    menu.addAction(deleteFileAction);
    menu.exec(fileTable->viewport()->mapToGlobal(position));
}

// ---------------------------------------------------------------------------
// Drive list and container choice

void MainWindow::refreshDevices()
{
    deviceList->clear();
    if (!deviceManager) {
        deviceList->addItem(tr("Detecção de USB ainda não disponível neste sistema."));
        selectDeviceForContainer(containerPath);
        updateActions();
        return;
    }
    const QList<Platform::UsbDevice> drives = deviceManager->detectUsbDevices();
    if (drives.isEmpty()) {
        deviceList->addItem(tr("Nenhum dispositivo USB detectado."));
        selectDeviceForContainer(containerPath);
        updateActions();
        return;
    }
    for (const Platform::UsbDevice& drive : drives) {
        QString location = drive.mounted ? drive.mountPoint : drive.devicePath;
        if (location.isEmpty())
            location = tr("não montado");
        const QString name = drive.label.isEmpty() ? location : drive.label;
        QString text = QStringLiteral("%1 (%2)").arg(name, location);
        if (!drive.mounted) {
            text += tr(" | não montado");
        } else {
            const QStorageInfo storage(drive.mountPoint);
            if (storage.isValid() && storage.isReady()) {
                const QString free = tr("%1 livres").arg(formatFileSize(storage.bytesAvailable()));
                if (!free.isEmpty())
                    text += QStringLiteral(" | %1").arg(free);
            }
        }
        auto* item = new QListWidgetItem(text, deviceList);
        item->setData(kDriveRootRole, drive.mounted ? drive.mountPoint : QString());
        item->setData(kDriveNameRole, name);
        if (!drive.mounted) {
            item->setFlags(item->flags() & ~Qt::ItemIsSelectable);
            item->setForeground(QColor(110, 110, 110));
            item->setToolTip(tr("Monte a unidade USB no gerenciador de arquivos e atualize a lista."));
        }
    }
    if (!containerPath.isEmpty())
        selectDeviceForContainer(containerPath);
    else
        selectDefaultUsbAfterRefresh();
    updateActions();
}

void MainWindow::selectDefaultUsbAfterRefresh()
{
    // Only a single mounted drive is chosen for the user.
    if (mountedUsbDeviceCount() == 1) {
        for (int row = 0; row < deviceList->count(); ++row) {
            if (!deviceList->item(row)->data(kDriveRootRole).toString().isEmpty())
                deviceList->setCurrentRow(row);
        }
    } else {
        deviceList->clearSelection();
        deviceList->setCurrentRow(-1);
    }
}

void MainWindow::selectDeviceForContainer(const QString& path)
{
    const bool wasBlocked = deviceList->blockSignals(true);
    const QString containerFolder = path.isEmpty() ? QString() : normalizeDirectoryPath(QFileInfo(path).absolutePath());
    QListWidgetItem* match = nullptr;
    for (int row = 0; row < deviceList->count(); ++row) {
        QListWidgetItem* item = deviceList->item(row);
        item->setBackground(QBrush());
        item->setToolTip(QString());
        QFont font = item->font();
        font.setWeight(QFont::Normal);
        item->setFont(font);
        const QString root = item->data(kDriveRootRole).toString();
        if (!root.isEmpty() && !containerFolder.isEmpty()
            && containerFolder.startsWith(normalizeDirectoryPath(root), kFolderCase))
            match = item;
    }
    if (!match) {
        deviceList->clearSelection();
        deviceList->setCurrentRow(-1);
    } else {
        QFont font = match->font();
        font.setWeight(QFont::Bold);
        match->setFont(font);
        match->setBackground(QColor(222, 237, 255));
        match->setToolTip(tr("Dispositivo associado ao container selecionado."));
        deviceList->setCurrentItem(match);
        deviceList->scrollToItem(match);
    }
    deviceList->blockSignals(wasBlocked);
}

void MainWindow::deviceSelectionChanged()
{
    // While the vault is locked the user may pick another drive, to create a
    // vault there; the chosen container's drive keeps its highlight.
    if (!containerPath.isEmpty() && vaultManager.state() == VaultManager::Unlocked)
        selectDeviceForContainer(containerPath);
    updateActions();
}

void MainWindow::chooseDriveContainer(QListWidgetItem* item)
{
    if (!item || refuseWhileOperationRuns())
        return;
    const QString root = item->data(kDriveRootRole).toString();
    if (root.isEmpty())
        return;
    const QString candidate = containerManager.containerPath(root);
    if (QFileInfo::exists(candidate)) {
        containerPath = candidate;
        selectDeviceForContainer(containerPath);
        updateActions();
        return;
    }
    showInformation(
        this, tr("Kavendru"),
        tr("Nenhum kavendru.susb foi encontrado em %1. Use Criar cofre para criar um novo container.").arg(root));
}

void MainWindow::chooseContainer()
{
    if (refuseWhileOperationRuns())
        return;
    const QString path = QFileDialog::getOpenFileName(this, tr("Escolher container Kavendru"), selectedUsbRootPath(),
                                                      tr("Kavendru Container (*.susb);;Todos os arquivos (*.*)"));
    if (path.isEmpty())
        return;
    containerPath = path;
    currentDirectory.clear();
    selectDeviceForContainer(containerPath);
    updateActions();
    setStatusMessage(tr("Container selecionado."), kStatusTimeout);
}

int MainWindow::mountedUsbDeviceCount() const
{
    int count = 0;
    for (int row = 0; row < deviceList->count(); ++row) {
        if (!deviceList->item(row)->data(kDriveRootRole).toString().isEmpty())
            ++count;
    }
    return count;
}

QString MainWindow::selectedUsbRootPath() const
{
    const QListWidgetItem* item = deviceList->currentItem();
    return item ? item->data(kDriveRootRole).toString() : QString();
}

QString MainWindow::selectedUsbDisplayName() const
{
    const QListWidgetItem* item = deviceList->currentItem();
    return item ? item->data(kDriveNameRole).toString() : QString();
}

// ---------------------------------------------------------------------------
// Unlock, lock and creation

QByteArray MainWindow::requestPassword(const QString& title) const
{
    bool accepted = false;
    QString text = QInputDialog::getText(nullptr, title, tr("Senha:"), QLineEdit::Password, QString(), &accepted);
    QByteArray password = accepted ? text.toUtf8() : QByteArray();
    wipe(text);
    return password;
}

QByteArray MainWindow::requestNewVaultPassword() const
{
    QByteArray first = requestPassword(tr("Definir senha do cofre"));
    if (first.isEmpty())
        return QByteArray();
    QByteArray second = requestPassword(tr("Confirmar senha do cofre"));
    const bool same = second == first;
    wipe(second);
    if (!same) {
        wipe(first);
        QMessageBox::warning(nullptr, tr("Kavendru"), tr("As senhas informadas não coincidem."), QMessageBox::Ok);
        return QByteArray();
    }
    QString decoded = QString::fromUtf8(first);
    const bool longEnough = decoded.size() >= 12;
    wipe(decoded);
    if (!longEnough) {
        wipe(first);
        QMessageBox::warning(nullptr, tr("Kavendru"),
                             tr("Use uma senha com pelo menos 12 caracteres para criar o cofre."), QMessageBox::Ok);
        return QByteArray();
    }
    return first;
}

void MainWindow::toggleVault()
{
    if (!refuseWhileOperationRuns()) {
        if (vaultManager.state() == VaultManager::Unlocked) {
            if (lockVaultAction->isEnabled())
                lockVault();
        } else if (unlockVaultAction->isEnabled()) {
            unlockVault();
        }
    }
    // The click toggled the button itself; it shows the vault's state, not
    // the click, whatever came of it.
    updateVaultToggleButton();
}

void MainWindow::unlockVault()
{
    if (refuseWhileOperationRuns())
        return;
    QByteArray password = requestPassword(tr("Senha do cofre"));
    if (password.isEmpty()) {
        updateVaultToggleButton();
        return;
    }
    const bool unlocked = vaultManager.unlockVault(containerPath, password);
    wipe(password);
    if (!unlocked) {
        updateVaultToggleButton();
        QMessageBox::warning(
            this, tr("Kavendru"),
            tr("Não foi possível desbloquear o cofre. Verifique a senha ou se o container foi alterado."),
            QMessageBox::Ok);
        return;
    }
    openContainerPath = containerPath;
    currentDirectory.clear();
    // A drive picked while locked gives way to the open container's.
    selectDeviceForContainer(containerPath);
    refreshVaultFiles();
    updateActions();
    setStatusMessage(tr("Cofre desbloqueado."), kStatusTimeout);
}

MainWindow::LockOutcome MainWindow::lockAndShowState()
{
    const bool clean = vaultManager.lockVault();
    const bool locked = vaultManager.state() == VaultManager::Locked;
    if (locked) {
        openContainerPath.clear();
        currentDirectory.clear();
    }
    // The table and the actions show the real state before any box does,
    // never the files of a vault that is now locked.
    refreshVaultFiles();
    updateActions();
    if (!locked)
        return LockOutcome::StillUnlocked;
    return clean ? LockOutcome::Locked : LockOutcome::LockedWithLeftovers;
}

void MainWindow::warnAboutLock(LockOutcome outcome)
{
    if (outcome == LockOutcome::StillUnlocked) {
        // An edited copy could not be written back: the vault stays open
        // with every copy in the workspace.
        QMessageBox::warning(this, tr("Kavendru"), tr("Não foi possível bloquear o cofre."), QMessageBox::Ok);
    } else if (outcome == LockOutcome::LockedWithLeftovers) {
        QMessageBox::warning(this, tr("Kavendru"), tr("Não foi possível limpar a área temporária."), QMessageBox::Ok);
    }
}

void MainWindow::lockVault()
{
    if (refuseWhileOperationRuns())
        return;
    const LockOutcome outcome = lockAndShowState();
    warnAboutLock(outcome);
    if (outcome != LockOutcome::StillUnlocked)
        setStatusMessage(tr("Cofre bloqueado."), kStatusTimeout);
}

void MainWindow::createVault()
{
    if (refuseWhileOperationRuns())
        return;
    const QString root = selectedUsbRootPath();
    const QString path = QFileDialog::getSaveFileName(this, tr("Criar container Kavendru"),
                                                      QDir(root).filePath(QStringLiteral("kavendru.susb")),
                                                      tr("Kavendru Container (*.susb);;Todos os arquivos (*.*)"));
    if (path.isEmpty())
        return;
    const QFileInfo chosen(path);
    if (QString::compare(QDir::cleanPath(root), QDir::cleanPath(chosen.absolutePath()), kFolderCase) != 0
        || chosen.suffix().compare(QLatin1String("susb"), Qt::CaseInsensitive) != 0) {
        QMessageBox::information(
            this, tr("Criar cofre"),
            tr("O cofre deve ser criado como arquivo .susb diretamente na raiz da unidade USB selecionada."),
            QMessageBox::Ok);
        return;
    }
    // The save dialog's own question is a generic one; replacing a container
    // loses every file in it, so that is said in so many words.
    if (QFileInfo::exists(path)
        && !warningYesNo(this, tr("Substituir container"),
                         tr("O arquivo %1 já existe.\n\nSe você continuar, ele será substituído por um cofre novo "
                            "e vazio, e todos os arquivos protegidos que ele guarda serão perdidos para sempre.\n\n"
                            "Deseja substituir este container?")
                             .arg(QDir::toNativeSeparators(path))))
        return;
    QByteArray password = requestNewVaultPassword();
    if (password.isEmpty())
        return;
    const bool created = vaultManager.createVault(path, password);
    wipe(password);
    if (!created) {
        QMessageBox::warning(this, tr("Kavendru"), tr("Não foi possível criar o cofre."), QMessageBox::Ok);
        return;
    }
    containerPath = path;
    currentDirectory.clear();
    selectDeviceForContainer(containerPath);
    refreshVaultFiles();
    updateActions();
    setStatusMessage(tr("Cofre criado com sucesso."), kStatusTimeout);
}

} // namespace Kavendru::UI
