#pragma once

// A second-generation certificate as a card holds it, with a key on the named curve. Neither the
// point nor the signature is real: only what the certificate says counts.

#include <cstdint>
#include <span>
#include <vector>

// The certificate in DER; the curve is the content of its OBJECT IDENTIFIER.
std::vector<std::uint8_t> cvCertificateBytes(std::span<const std::uint8_t> curveOid, std::size_t coordinateSize);

// A DER element of the tag (one or two bytes) around the content.
std::vector<std::uint8_t> derElement(std::uint16_t tag, std::span<const std::uint8_t> content);
