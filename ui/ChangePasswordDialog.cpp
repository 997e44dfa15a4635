#include "ChangePasswordDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace Kavendru::UI {

namespace {

constexpr int kMinimumPasswordLength = 12;

QLineEdit* passwordEdit(QWidget* parent)
{
    auto* edit = new QLineEdit(parent);
    edit->setEchoMode(QLineEdit::Password);
    return edit;
}

} // namespace

ChangePasswordDialog::ChangePasswordDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(tr("Alterar senha do cofre"));
    setModal(true);

    currentPasswordEdit = passwordEdit(this);
    newPasswordEdit = passwordEdit(this);
    confirmPasswordEdit = passwordEdit(this);

    auto* form = new QFormLayout;
    form->addRow(tr("Senha atual:"), currentPasswordEdit);
    form->addRow(tr("Nova senha:"), newPasswordEdit);
    form->addRow(tr("Confirmar nova senha:"), confirmPasswordEdit);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("Alterar"));
    buttons->button(QDialogButtonBox::Cancel)->setText(tr("Cancelar"));
    connect(buttons, &QDialogButtonBox::accepted, this, [this] { validateAndAccept(); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

ChangePasswordDialog::~ChangePasswordDialog() = default;

QByteArray ChangePasswordDialog::currentPassword() const
{
    return currentPasswordEdit->text().toUtf8();
}

QByteArray ChangePasswordDialog::newPassword() const
{
    return newPasswordEdit->text().toUtf8();
}

void ChangePasswordDialog::validateAndAccept()
{
    // The field in question gets the focus back, so the user can correct it.
    const auto refuse = [this](QLineEdit* field, const QString& text) {
        QMessageBox::warning(this, tr("Alterar senha"), text);
        field->setFocus();
    };
    if (currentPasswordEdit->text().isEmpty()) {
        refuse(currentPasswordEdit, tr("Informe a senha atual."));
        return;
    }
    if (newPasswordEdit->text().size() < kMinimumPasswordLength) {
        refuse(newPasswordEdit, tr("Use uma nova senha com pelo menos 12 caracteres."));
        return;
    }
    if (confirmPasswordEdit->text() != newPasswordEdit->text()) {
        refuse(confirmPasswordEdit, tr("A confirmação não coincide com a nova senha."));
        return;
    }
    accept();
}

} // namespace Kavendru::UI
