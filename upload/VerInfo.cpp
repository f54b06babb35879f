#include "upload/VerInfo.h"

#include <cstring>

TVersionInfo::TVersionInfo(const QString &fileName)
    : fileName_(fileName)
{
    if (const std::optional<QByteArray> section = ReadElfSection(fileName, VersionBlockSection))
        block_ = ParseVersionBlock(*section);
}

QString TVersionInfo::Translation() const
{
    if (!block_ || block_->translations.empty())
        return {};
    const VersionTranslation first = block_->translations.front();
    return QStringLiteral("%1%2")
            .arg(first.language, 4, 16, QLatin1Char('0'))
            .arg(first.codePage, 4, 16, QLatin1Char('0'))
            .toUpper();
}

QString TVersionInfo::StringValue(const QString &key) const
{
    if (!block_ || block_->translations.empty() || block_->stringTableTranslation != block_->translations.front())
        return {};
    const std::string wanted = key.toStdString();
    for (const auto &[storedKey, value] : block_->strings) {
        if (storedKey != wanted)
            continue;
        const std::size_t end = value.find('\0');
        return QString::fromUtf8(value.data(), qsizetype(end == std::string::npos ? value.size() : end));
    }
    return {};
}

TVersionInfo::FixedVersion TVersionInfo::FixedFileVersion() const
{
    if (!block_)
        return {};
    return {block_->fileVersionMS, block_->fileVersionLS};
}

QString TVersionInfo::FileVersionText() const
{
    if (!block_)
        return {};
    QString text = StringValue(QStringLiteral("FileVersion"));
    if (!text.isEmpty())
        return text;
    const FixedVersion version = FixedFileVersion();
    return QStringLiteral("%1.%2.%3.%4")
            .arg(version.ms >> 16)
            .arg(version.ms & 0xFFFF)
            .arg(version.ls >> 16)
            .arg(version.ls & 0xFFFF);
}
