#pragma once

// Command-line options of a benchmark program: "--name value" or a bare "--flag", a usage text
// from the same table, and "--help".

#include <string>
#include <vector>

class BenchOptions
{
public:
    struct Option
    {
        std::string name; // without the leading dashes
        std::string valueName; // empty for a flag
        std::string defaultValue;
        std::string help;
    };

    BenchOptions(std::string summary, std::vector<Option> options);

    // Prints the usage and exits: status 0 for --help, 2 for an unknown option or a missing value.
    void parse(int argc, char **argv);

    const std::string &text(const std::string &name) const;
    long integer(const std::string &name) const;
    bool flag(const std::string &name) const;

private:
    const Option &find(const std::string &name) const;
    [[noreturn]] void usage(int status) const;

    std::string m_program;
    std::string m_summary;
    std::vector<Option> m_options;
    std::vector<std::string> m_values;
};
