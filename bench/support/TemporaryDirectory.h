#pragma once

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

// A directory of its own under /tmp, removed with everything in it when the object goes.
class TemporaryDirectory
{
public:
    explicit TemporaryDirectory(const char *prefix = "korvan-bench")
    {
        std::array<char, 128> pattern{};
        std::snprintf(pattern.data(), pattern.size(), "/tmp/%s-XXXXXX", prefix);
        if (mkdtemp(pattern.data()) != nullptr)
            m_path = pattern.data();
    }
    ~TemporaryDirectory()
    {
        if (!m_path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_path, ignored);
        }
    }
    TemporaryDirectory(const TemporaryDirectory &) = delete;
    TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;

    bool valid() const { return !m_path.empty(); }
    const std::string &path() const { return m_path; }

private:
    std::string m_path;
};
