#pragma once

// The command-line form of the verification: reads a download file, takes the time of the
// download from the file's name (or its modification time), prints the lines and says by its exit
// code whether everything verified.

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

class TrustStore;

// 0 when every signature verified up to a trusted root, 1 when something did not, 2 when the file
// cannot be read. Trusts the built-in roots.
int runVerifyCommand(const std::string &path, std::ostream &out);
int runVerifyCommand(const std::string &path, std::ostream &out, const TrustStore &trust);

// The time in a download file name of the form C_yyyymmdd_hhnn_..., read as local time.
std::optional<std::chrono::sys_seconds> downloadTimeFromFileName(std::string_view fileName);
