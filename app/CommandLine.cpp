#include "app/CommandLine.h"

#include "app/ErrorDisplay.h"
#include "app/QtTranslation.h"
#include "verify/VerifyCommand.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string_view>

#ifndef KORVAN_VERSION
#error "KORVAN_VERSION must be defined by the build"
#endif

namespace {

bool isInformationOption(const char *argument)
{
    for (const char *option : {"-h", "--help", "-?", "--help-all", "-v", "--version", "--verify"}) {
        if (std::strcmp(argument, option) == 0)
            return true;
    }
    return std::string_view(argument).starts_with("--verify=");
}

} // namespace

std::optional<int> answerInformationOptions(int argc, char *argv[])
{
    bool asked = false;
    for (int i = 1; i < argc && !asked; ++i)
        asked = isInformationOption(argv[i]);
    if (!asked)
        return std::nullopt;

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvan"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVAN_VERSION));
    installCzechQtTranslation(application);

    QCommandLineParser parser;
    parser.setApplicationDescription(
            ApplicationTitle
            + QStringLiteral(": stažení dat z karet řidičů digitálního tachografu do souborů .ddd a jejich odeslání "
                             "na server firmy. Bez voleb otevře okno programu."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    // An office checks its archive without a window.
    const QCommandLineOption verify(
            QStringLiteral("verify"),
            QStringLiteral("Ověří podpisy souboru .ddd až ke kořenovým klíčům EU a vypíše výsledek; návratový kód "
                           "0 jen když je vše ověřeno, 1 když ne, 2 když soubor nelze přečíst."),
            QStringLiteral("soubor"));
    parser.addOption(verify);
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "%s\n", parser.errorText().toLocal8Bit().constData());
        return 2;
    }
    if (parser.isSet(verify) && !parser.isSet(help)) {
        std::cout.flush();
        return runVerifyCommand(parser.value(verify).toLocal8Bit().toStdString(), std::cout);
    }
    if (parser.isSet(version)) {
        std::printf("korvan %s\n", KORVAN_VERSION);
        return 0;
    }
    std::printf("%s", parser.helpText().toLocal8Bit().constData());
    return 0;
}
