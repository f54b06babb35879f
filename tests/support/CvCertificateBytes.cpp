#include "support/CvCertificateBytes.h"

#include <algorithm>

namespace {

void append(std::vector<std::uint8_t> &to, const std::vector<std::uint8_t> &bytes)
{
    to.insert(to.end(), bytes.begin(), bytes.end());
}

} // namespace

std::vector<std::uint8_t> derElement(std::uint16_t tag, std::span<const std::uint8_t> content)
{
    std::vector<std::uint8_t> element;
    if (tag > 0xFF)
        element.push_back(static_cast<std::uint8_t>(tag >> 8));
    element.push_back(static_cast<std::uint8_t>(tag));
    const std::size_t length = content.size();
    if (length >= 0x100) {
        element.insert(element.end(),
                       {0x82, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)});
    } else if (length >= 0x80) {
        element.insert(element.end(), {0x81, static_cast<std::uint8_t>(length)});
    } else {
        element.push_back(static_cast<std::uint8_t>(length));
    }
    element.insert(element.end(), content.begin(), content.end());
    return element;
}

std::vector<std::uint8_t> cvCertificateBytes(std::span<const std::uint8_t> curveOid, std::size_t coordinateSize)
{
    std::vector<std::uint8_t> point(1 + 2 * coordinateSize, 0x11);
    point.front() = 0x04;
    std::vector<std::uint8_t> key = derElement(0x06, curveOid);
    append(key, derElement(0x86, point));

    const std::vector<std::uint8_t> reference(8, 0x22);
    const std::vector<std::uint8_t> authorisation{0xFF, 0x53, 0x4D, 0x52, 0x44, 0x54, 0x11};
    const std::vector<std::uint8_t> date{0x60, 0x00, 0x00, 0x00};
    std::vector<std::uint8_t> body = derElement(0x5F29, std::vector<std::uint8_t>{0x00});
    append(body, derElement(0x42, reference));
    append(body, derElement(0x5F4C, authorisation));
    append(body, derElement(0x7F49, key));
    append(body, derElement(0x5F20, reference));
    append(body, derElement(0x5F25, date));
    append(body, derElement(0x5F24, date));

    std::vector<std::uint8_t> certificate = derElement(0x7F4E, body);
    append(certificate, derElement(0x5F37, std::vector<std::uint8_t>(2 * coordinateSize, 0x33)));
    return derElement(0x7F21, certificate);
}
