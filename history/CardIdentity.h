#pragma once

// Which card a download or an identification belongs to, and whose it is, from EF Identification.

#include <QByteArrayView>
#include <QString>

#include <cstdint>

struct CardIdentity
{
    int issuingState = 0; // cardIssuingMemberState, the NationNumeric byte
    QString cardNumber; // the 16 characters as the card holds them, trailing spaces removed
    QString surname;
    QString firstNames;

    // A card without a number cannot be told from another and is not counted as one.
    bool known() const { return !cardNumber.isEmpty(); }
    // "first names surname", as the card tab shows the holder.
    QString holder() const;

    friend bool operator==(const CardIdentity &, const CardIdentity &) = default;
};

// From the content of EF Identification (bytes beyond count are missing, not zero).
CardIdentity cardIdentityFromIdentification(const std::uint8_t *identification, std::size_t count);

// From the bytes of a download file: its first data record of EF Identification of either
// application. Unknown when there is none.
CardIdentity cardIdentityFromDownload(QByteArrayView download);
