#pragma once

// Qt's own Brazilian Portuguese texts (file and input dialogs, standard
// buttons, key names), compiled into each program from the system's Qt
// translations so that a bundle on a drive needs no translation folder.
// Header-only: the drive tool links no library of the vault program.

#include <QCoreApplication>
#include <QString>
#include <QTranslator>

#include <cstring>

namespace Kavendru {

inline QString qtTranslationResource()
{
    return QStringLiteral(":/translations/qtbase_pt_BR.qm");
}

// Qt's Brazilian catalogue keeps two key names of the menus in English;
// these are the names on a Brazilian keyboard's keys.
class KeyNameTranslator : public QTranslator {
public:
    using QTranslator::QTranslator;

    QString translate(const char* context, const char* sourceText, const char* disambiguation = nullptr,
                      int n = -1) const override
    {
        Q_UNUSED(disambiguation);
        Q_UNUSED(n);
        if (!context || !sourceText || std::strcmp(context, "QShortcut") != 0)
            return QString();
        if (std::strcmp(sourceText, "Return") == 0)
            return QStringLiteral("Enter");
        if (std::strcmp(sourceText, "Del") == 0)
            return QStringLiteral("Delete");
        return QString();
    }
    bool isEmpty() const override { return false; }
};

// Installs the translation on the application, which owns it from then on.
// False when the build carried none or it does not load; Qt's texts then
// stay in English.
inline bool installQtTranslation(QCoreApplication& application)
{
    auto* translator = new QTranslator(&application);
    if (!translator->load(qtTranslationResource()) || !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return false;
    }
    // Installed last, asked first.
    auto* keyNames = new KeyNameTranslator(&application);
    if (!QCoreApplication::installTranslator(keyNames)) {
        delete keyNames;
        return false;
    }
    return true;
}

} // namespace Kavendru
