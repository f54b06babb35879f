#include "support/BenchOptions.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

BenchOptions::BenchOptions(std::string summary, std::vector<Option> options)
    : m_summary(std::move(summary))
    , m_options(std::move(options))
{
    for (const auto &option : m_options)
        m_values.push_back(option.valueName.empty() ? std::string() : option.defaultValue);
}

void BenchOptions::parse(int argc, char **argv)
{
    m_program = argc > 0 ? argv[0] : "benchmark";
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h")
            usage(0);
        bool known = false;
        for (std::size_t n = 0; n < m_options.size(); ++n) {
            if (argument != "--" + m_options[n].name)
                continue;
            known = true;
            if (m_options[n].valueName.empty()) {
                m_values[n] = "1";
            } else if (i + 1 < argc) {
                m_values[n] = argv[++i];
            } else {
                std::fprintf(stderr, "%s: %s needs a value\n", m_program.c_str(), argument.c_str());
                usage(2);
            }
        }
        if (!known) {
            std::fprintf(stderr, "%s: unknown option %s\n", m_program.c_str(), argument.c_str());
            usage(2);
        }
    }
    for (std::size_t n = 0; n < m_options.size(); ++n) {
        if (m_options[n].valueName != "N")
            continue;
        char *end = nullptr;
        const long value = std::strtol(m_values[n].c_str(), &end, 10);
        if (m_values[n].empty() || *end != '\0' || value < 0) {
            std::fprintf(stderr, "%s: --%s takes a number, not \"%s\"\n", m_program.c_str(), m_options[n].name.c_str(),
                         m_values[n].c_str());
            usage(2);
        }
    }
}

const BenchOptions::Option &BenchOptions::find(const std::string &name) const
{
    for (const auto &option : m_options) {
        if (option.name == name)
            return option;
    }
    throw std::logic_error("no option " + name);
}

const std::string &BenchOptions::text(const std::string &name) const
{
    const Option &option = find(name);
    return m_values[static_cast<std::size_t>(&option - m_options.data())];
}

long BenchOptions::integer(const std::string &name) const
{
    return std::strtol(text(name).c_str(), nullptr, 10);
}

bool BenchOptions::flag(const std::string &name) const
{
    return !text(name).empty();
}

void BenchOptions::usage(int status) const
{
    std::FILE *out = status == 0 ? stdout : stderr;
    std::fprintf(out, "Usage: %s [options]\n%s\n\nOptions:\n", m_program.c_str(), m_summary.c_str());
    for (const auto &option : m_options) {
        std::string left = "  --" + option.name;
        if (!option.valueName.empty())
            left += " " + option.valueName;
        std::string help = option.help;
        if (!option.valueName.empty() && !option.defaultValue.empty())
            help += " (" + option.defaultValue + ")";
        std::fprintf(out, "%-26s %s\n", left.c_str(), help.c_str());
    }
    std::exit(status);
}
