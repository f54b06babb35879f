#include "app/QtTranslation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>

bool installCzechQtTranslation(QCoreApplication &application)
{
    // Owned by the application: gone with it, so a later application installs its own.
    static QPointer<QTranslator> installed;
    if (installed)
        return true;
    // qt_cs is the meta catalogue that pulls in qtbase_cs and the other modules' catalogues.
    auto *translator = new QTranslator(&application);
    if (!translator->load(QStringLiteral("qt_cs"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))
        || !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return false;
    }
    installed = translator;
    return true;
}
