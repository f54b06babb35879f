#pragma once

// A plain-text table for figures: the first column left-aligned, the others right-aligned.

#include <string>
#include <vector>

class TextTable
{
public:
    explicit TextTable(std::vector<std::string> headers);
    void addRow(std::vector<std::string> cells);
    void print() const;

    // printf-style formatting of one cell.
    static std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

private:
    std::vector<std::vector<std::string>> m_rows;
};
