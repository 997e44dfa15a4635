#pragma once

// Helpers of the main window shared by its two source files (the window
// itself and its operations); not meant for anything outside the window.

#include <QByteArray>
#include <QDateTime>
#include <QSize>
#include <QString>

#include <optional>

class QLabel;
class QWidget;

namespace Kavendru::UI {

// The 16:9 central area for the primary screen's available size; without a
// screen, a fixed 960 x 540.
QSize centralAreaSize(const std::optional<QSize>& availableScreenSize);

// Sizes in the system locale's traditional units (base 1024), one decimal.
QString formatFileSize(qint64 bytes);
// Local time, "dd/MM/yyyy HH:mm"; empty for an invalid time.
QString formatFileDate(const QDateTime& time);

// The folder above a vault path; the root ("") for a top-level one.
QString parentVaultPath(const QString& vaultPath);
// The last part of a vault path.
QString vaultBaseName(const QString& vaultPath);
// The upper-case suffix, or "Arquivo" without one.
QString fileTypeLabel(const QString& vaultPath);

// How long a status message of an operation stays in the status bar.
constexpr int kStatusTimeout = 5000;

// Overwrites a password's bytes with sodium_memzero and empties it.
void wipe(QByteArray& secret);
void wipe(QString& secret);

// Every box below shows its text as plain text: names of files, folders,
// containers and drives are the user's or the drive's, and may look like
// markup.

// Confirmation boxes whose default is the negative answer: true only when
// the user picked "Sim" / "Continuar".
bool questionYesNo(QWidget* parent, const QString& title, const QString& text);
bool questionContinueCancel(QWidget* parent, const QString& title, const QString& text);
// The same question as a warning, for an answer that destroys data.
bool warningYesNo(QWidget* parent, const QString& title, const QString& text);

// A modal box with one OK button.
void showWarning(QWidget* parent, const QString& title, const QString& text);
void showInformation(QWidget* parent, const QString& title, const QString& text);

// A label that never reads its text as markup.
QLabel* plainTextLabel(const QString& text = QString(), QWidget* parent = nullptr);
// A tool tip that shows the text as given (tool tips read markup when the
// text looks like it).
QString plainToolTip(const QString& text);

} // namespace Kavendru::UI
