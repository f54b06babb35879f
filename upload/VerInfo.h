#pragma once

#include "upload/VersionBlock.h"

#include <QString>

#include <cstdint>
#include <optional>

// The version block of one executable file, read at construction.
class TVersionInfo
{
public:
    struct FixedVersion
    {
        std::uint32_t ms = 0; // major << 16 | minor
        std::uint32_t ls = 0; // release << 16 | build
    };

    explicit TVersionInfo(const QString &fileName);

    // True only when the whole block was read and is well formed.
    bool Loaded() const { return block_.has_value(); }
    // The first translation as eight upper-case hex digits, language first ("040504E2");
    // empty when not loaded or there is none.
    QString Translation() const;
    // The value of key in the string table of the first translation, up to its first zero byte;
    // empty when not loaded or not found.
    QString StringValue(const QString &key) const;
    // Zero halves when not loaded.
    FixedVersion FixedFileVersion() const;
    // The "FileVersion" string, or the fixed file version as four numbers when that string is
    // empty; empty when not loaded (the caller chooses its own default).
    QString FileVersionText() const;

    const QString &FileName() const { return fileName_; }

private:
    QString fileName_;
    std::optional<VersionBlock> block_;
};
