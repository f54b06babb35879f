#include "cardmodel/CardFiles.h"

#include <algorithm>
#include <cstdio>

namespace CardFiles {

namespace {

constexpr Read MF = Read::MasterFile;
constexpr Read App = Read::Application;
constexpr Read No = Read::Never;

constexpr CardFile FirstGeneration[] = {
        {Icc, "ICC", 1, false, Required::Never, MF},
        {Ic, "IC", 1, false, Required::Never, MF},
        {CardCertificate, "Card Certificate", 1, false, Required::Always, App},
        {CaCertificate, "CA Certificate", 1, false, Required::Always, App},
        {ApplicationIdentification, "Application Identification", 1, true, Required::Always, App},
        {Identification, "Identification", 1, true, Required::Always, App},
        {CardDownload, "Card Download", 1, true, Required::Never, App},
        {0x0521, "Driving Licence Info", 1, true, Required::Never, App},
        {0x0502, "Events Data", 1, true, Required::DriverCard, App},
        {0x0503, "Faults Data", 1, true, Required::DriverCard, App},
        {0x0504, "Driver Activity Data", 1, true, Required::DriverCard, App},
        {0x0505, "Vehicles Used", 1, true, Required::DriverCard, App},
        {0x0506, "Places", 1, true, Required::DriverCard, App},
        {0x0507, "Current Usage", 1, true, Required::Never, App},
        {0x0508, "Control Activity Data", 1, true, Required::DriverCard, App},
        {0x0522, "Specific Conditions", 1, true, Required::DriverCard, App},
        // A workshop card's files of its own.
        {0x0509, "Card Download", 1, false, Required::Never, No},
        {0x050A, "Calibration", 1, true, Required::Never, No},
        {0x050B, "Sensor Installation Data", 1, true, Required::Never, No},
};

// A run reads neither EF Card_Download, which it writes, nor EF VU_Configuration, which a driver
// card does not fill; the common files were read with the first application.
constexpr CardFile SecondGeneration[] = {
        {Icc, "ICC", 2, false, Required::Never, No},
        {Ic, "IC", 2, false, Required::Never, No},
        {CardCertificate, "Card MA Certificate G2", 2, false, Required::Never, No},
        {CardSignCertificate, "Card Sign Certificate G2", 2, false, Required::Always, App},
        {CaCertificate, "CA Certificate G2", 2, false, Required::Always, App},
        {LinkCertificate, "Link Certificate G2", 2, false, Required::Never, App},
        {ApplicationIdentification, "Application Identification G2", 2, true, Required::Always, App},
        {Identification, "Identification G2", 2, true, Required::Always, App},
        {CardDownload, "Card Download G2", 2, false, Required::Never, No},
        {0x0521, "Driving Licence Info G2", 2, true, Required::Never, App},
        {0x0502, "Events Data G2", 2, true, Required::DriverCard, App},
        {0x0503, "Faults Data G2", 2, true, Required::DriverCard, App},
        {0x0504, "Driver Activity Data G2", 2, true, Required::DriverCard, App},
        {0x0505, "Vehicles Used G2", 2, true, Required::DriverCard, App},
        {0x0506, "Places G2", 2, true, Required::DriverCard, App},
        {0x0507, "Current Usage G2", 2, true, Required::Never, App},
        {0x0508, "Control Activity Data G2", 2, true, Required::DriverCard, App},
        {0x0522, "Specific Conditions G2", 2, true, Required::DriverCard, App},
        {0x0523, "Vehicle Units Used G2", 2, true, Required::DriverCard, App},
        {0x0524, "GNSS Places G2", 2, true, Required::DriverCard, App},
        {0x0525, "Application Identification V2 G2", 2, true, Required::Version2, App},
        {0x0526, "Places Authentication G2", 2, true, Required::DriverCardVersion2, App},
        {0x0527, "GNSS Places Authentication G2", 2, true, Required::DriverCardVersion2, App},
        {0x0528, "Border Crossings G2", 2, true, Required::DriverCardVersion2, App},
        {0x0529, "Load Unload Operations G2", 2, true, Required::DriverCardVersion2, App},
        {0x0530, "Load Type Entries G2", 2, true, Required::DriverCardVersion2, App},
        {0x0540, "VU Configuration G2", 2, true, Required::Never, No},
        {0x0509, "Card Download G2", 2, false, Required::Never, No},
        {0x050A, "Calibration G2", 2, true, Required::Never, No},
        {0x050B, "Sensor Installation Data G2", 2, true, Required::Never, No},
};

} // namespace

bool CardFile::isRequired(bool driverCard, bool version2) const
{
    switch (required) {
    case Required::Never:
        return false;
    case Required::Always:
        return true;
    case Required::DriverCard:
        return driverCard;
    case Required::Version2:
        return version2;
    case Required::DriverCardVersion2:
        return driverCard && version2;
    }
    return false;
}

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

int runFileCount(int generation, int version)
{
    const std::span<const CardFile> table = files(generation);
    return static_cast<int>(std::count_if(table.begin(), table.end(), [version](const CardFile &file) {
        return file.read != Read::Never && (version == 2 || !file.version2Only());
    }));
}

} // namespace CardFiles
