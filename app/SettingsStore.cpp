#include "app/SettingsStore.h"

#include "app/IniFile.h"
#include "app/SettingsCodec.h"

namespace {

const QString SettingsSection = QStringLiteral("Settings");
const QString WindowSection = QStringLiteral("Window");

int readPosition(const IniFile &ini, const QString &key)
{
    bool ok = false;
    const int position = ini.value(WindowSection, key, QString()).toInt(&ok, 10);
    return ok ? position : -1;
}

} // namespace

StoredSettings readSettings(const QString &fileName)
{
    const IniFile ini = IniFile::load(fileName);
    StoredSettings settings;
    settings.Company = DecodeSettingValue(ini.value(SettingsSection, u"Company", QString()));
    settings.User = DecodeSettingValue(ini.value(SettingsSection, u"User", QString()));
    settings.Password = DecodeSettingValue(ini.value(SettingsSection, u"Password", QString()));
    settings.CardReader = ini.value(SettingsSection, u"CardReader", QString());
    settings.Left = readPosition(ini, QStringLiteral("Left"));
    settings.Top = readPosition(ini, QStringLiteral("Top"));
    settings.FilePath = ini.value(SettingsSection, u"FilePath", QString());
    return settings;
}

SettingsWriteResult writeSettings(const QString &fileName, const StoredSettings &settings)
{
    // Read again rather than reuse the start-up copy: lines another program added meanwhile stay.
    IniFile ini = IniFile::load(fileName);
    ini.setValue(SettingsSection, u"Company", EncodeSettingValue(settings.Company));
    ini.setValue(SettingsSection, u"User", EncodeSettingValue(settings.User));
    ini.setValue(SettingsSection, u"Password", EncodeSettingValue(settings.Password));
    ini.setValue(SettingsSection, u"CardReader", settings.CardReader);
    ini.setValue(SettingsSection, u"FilePath", settings.FilePath);
    ini.setValue(WindowSection, u"Left", QString::number(settings.Left));
    ini.setValue(WindowSection, u"Top", QString::number(settings.Top));

    SettingsWriteResult result;
    result.ok = ini.save(fileName, &result.error);
    if (!result.ok)
        result.errorText = QStringLiteral("Unable to write to ") + fileName;
    return result;
}
