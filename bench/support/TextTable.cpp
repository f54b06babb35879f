#include "support/TextTable.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>

TextTable::TextTable(std::vector<std::string> headers)
{
    m_rows.push_back(std::move(headers));
}

void TextTable::addRow(std::vector<std::string> cells)
{
    cells.resize(m_rows.front().size());
    m_rows.push_back(std::move(cells));
}

void TextTable::print() const
{
    std::vector<std::size_t> widths(m_rows.front().size(), 0);
    for (const auto &row : m_rows) {
        for (std::size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());
    }
    for (std::size_t r = 0; r < m_rows.size(); ++r) {
        std::string line;
        for (std::size_t column = 0; column < widths.size(); ++column) {
            const std::string &cell = m_rows[r][column];
            const std::string padding(widths[column] - cell.size(), ' ');
            if (column > 0)
                line += "  ";
            line += column == 0 ? cell + padding : padding + cell;
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        std::printf("%s\n", line.c_str());
        if (r == 0) {
            std::size_t total = 0;
            for (std::size_t width : widths)
                total += width + 2;
            std::printf("%s\n", std::string(total - 2, '-').c_str());
        }
    }
    std::fflush(stdout);
}

std::string TextTable::format(const char *pattern, ...)
{
    std::array<char, 256> buffer{};
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(buffer.data(), buffer.size(), pattern, arguments);
    va_end(arguments);
    return buffer.data();
}
