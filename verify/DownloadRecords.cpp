#include "verify/DownloadRecords.h"

namespace DownloadRecords {

std::optional<std::vector<Record>> read(std::span<const std::uint8_t> file, std::string &problem)
{
    std::vector<Record> records;
    std::size_t position = 0;
    while (position < file.size()) {
        const std::string at = " at offset " + std::to_string(position);
        if (file.size() - position < HeaderSize) {
            problem = "record header cut off" + at;
            return std::nullopt;
        }
        const std::uint8_t *header = file.data() + position;
        Record record;
        record.fileId = static_cast<std::uint16_t>(header[0] << 8 | header[1]);
        record.type = header[2];
        const std::size_t length = std::size_t{header[3]} << 8 | header[4];
        record.offset = position;
        if (record.type > SecondSignature) {
            problem = "unknown record type" + at;
            return std::nullopt;
        }
        if (length == 0xFFFF) {
            problem = "reserved record length" + at;
            return std::nullopt;
        }
        if (length > file.size() - position - HeaderSize) {
            problem = "record runs past the end of the file" + at;
            return std::nullopt;
        }
        record.content = file.subspan(position + HeaderSize, length);
        records.push_back(record);
        position += HeaderSize + length;
    }
    return records;
}

} // namespace DownloadRecords
