#pragma once

// Qt's own texts (the buttons of message boxes, the folder dialog) in Czech, whatever the user's
// locale: every other text of the program is Czech, and a box that asks "Odeslat soubor na
// server?" with "Yes" and "No" reads as broken. Debian ships the catalogues in
// qt6-translations-l10n.

class QCoreApplication;

// Installs the Czech catalogue of Qt on the application once; false when it cannot be found or
// read, and Qt's texts then stay English.
bool installCzechQtTranslation(QCoreApplication &application);
