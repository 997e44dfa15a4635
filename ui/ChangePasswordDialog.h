#pragma once

#include <QByteArray>
#include <QDialog>

class QLineEdit;

namespace Kavendru::UI {

// Asks the current password and the new one twice; accepts only when they
// pass the checks. The caller changes the password and wipes what it got.
class ChangePasswordDialog : public QDialog {
public:
    explicit ChangePasswordDialog(QWidget* parent = nullptr);
    ~ChangePasswordDialog() override;

    QByteArray currentPassword() const;
    QByteArray newPassword() const;

private:
    void validateAndAccept();

    QLineEdit* currentPasswordEdit = nullptr;
    QLineEdit* newPasswordEdit = nullptr;
    QLineEdit* confirmPasswordEdit = nullptr;
};

} // namespace Kavendru::UI
