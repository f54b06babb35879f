#pragma once

#include <optional>

// "--help" and "--version" are answered on standard output before any window is made, so they
// work without a display (a terminal on a server, a packaging check). Returns the exit code when
// one of them was given; nothing when the program should start as usual.
std::optional<int> answerInformationOptions(int argc, char *argv[]);
