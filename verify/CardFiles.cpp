#include "verify/CardFiles.h"

#include <cstdio>
#include <span>

namespace CardFiles {

namespace {

constexpr CardFile FirstGeneration[] = {
        {Icc, "ICC", false, Required::Never},
        {Ic, "IC", false, Required::Never},
        {CardCertificate, "Card Certificate", false, Required::Always},
        {CaCertificate, "CA Certificate", false, Required::Always},
        {ApplicationIdentification, "Application Identification", true, Required::Always},
        {0x0520, "Identification", true, Required::Always},
        {0x050E, "Card Download", false, Required::Never},
        {0x0521, "Driving Licence Info", true, Required::Never},
        {0x0502, "Events Data", true, Required::DriverCard},
        {0x0503, "Faults Data", true, Required::DriverCard},
        {0x0504, "Driver Activity Data", true, Required::DriverCard},
        {0x0505, "Vehicles Used", true, Required::DriverCard},
        {0x0506, "Places", true, Required::DriverCard},
        {0x0507, "Current Usage", true, Required::Never},
        {0x0508, "Control Activity Data", true, Required::DriverCard},
        {0x0522, "Specific Conditions", true, Required::DriverCard},
        // A workshop card's files of its own.
        {0x0509, "Card Download", false, Required::Never},
        {0x050A, "Calibration", true, Required::Never},
        {0x050B, "Sensor Installation Data", true, Required::Never},
};

constexpr CardFile SecondGeneration[] = {
        {Icc, "ICC", false, Required::Never},
        {Ic, "IC", false, Required::Never},
        {CardCertificate, "Card MA Certificate G2", false, Required::Never},
        {CardSignCertificate, "Card Sign Certificate G2", false, Required::Always},
        {CaCertificate, "CA Certificate G2", false, Required::Always},
        {LinkCertificate, "Link Certificate G2", false, Required::Never},
        {ApplicationIdentification, "Application Identification G2", true, Required::Always},
        {0x0520, "Identification G2", true, Required::Always},
        {0x050E, "Card Download G2", false, Required::Never},
        {0x0521, "Driving Licence Info G2", true, Required::Never},
        {0x0502, "Events Data G2", true, Required::DriverCard},
        {0x0503, "Faults Data G2", true, Required::DriverCard},
        {0x0504, "Driver Activity Data G2", true, Required::DriverCard},
        {0x0505, "Vehicles Used G2", true, Required::DriverCard},
        {0x0506, "Places G2", true, Required::DriverCard},
        {0x0507, "Current Usage G2", true, Required::Never},
        {0x0508, "Control Activity Data G2", true, Required::DriverCard},
        {0x0522, "Specific Conditions G2", true, Required::DriverCard},
        {0x0523, "Vehicle Units Used G2", true, Required::DriverCard},
        {0x0524, "GNSS Places G2", true, Required::DriverCard},
        {0x0525, "Application Identification V2 G2", true, Required::Version2},
        {0x0526, "Places Authentication G2", true, Required::DriverCardVersion2},
        {0x0527, "GNSS Places Authentication G2", true, Required::DriverCardVersion2},
        {0x0528, "Border Crossings G2", true, Required::DriverCardVersion2},
        {0x0529, "Load Unload Operations G2", true, Required::DriverCardVersion2},
        {0x0530, "Load Type Entries G2", true, Required::DriverCardVersion2},
        {0x0540, "VU Configuration G2", true, Required::Never},
        {0x0509, "Card Download G2", false, Required::Never},
        {0x050A, "Calibration G2", true, Required::Never},
        {0x050B, "Sensor Installation Data G2", true, Required::Never},
};

} // namespace

std::span<const CardFile> files(int generation)
{
    if (generation == 2)
        return SecondGeneration;
    return FirstGeneration;
}

const CardFile *find(std::uint16_t fileId, int generation)
{
    for (const CardFile &file : files(generation))
        if (file.fileId == fileId)
            return &file;
    return nullptr;
}

std::string title(std::uint16_t fileId, int generation)
{
    if (const CardFile *file = find(fileId, generation))
        return file->title;
    char text[16];
    std::snprintf(text, sizeof text, "EF %04X%s", unsigned{fileId}, generation == 2 ? " G2" : "");
    return text;
}

} // namespace CardFiles
