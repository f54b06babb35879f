#pragma once

// The root files built into the library: the European roots always, test roots only when the
// build was configured with KORVAN_TEST_ROOT_FILES.

#include "verify/TrustStore.h"

#include <cstddef>
#include <cstdint>
#include <span>

enum class RootGeneration { First, Second };

struct EmbeddedRoot
{
    RootGeneration generation;
    RootKind kind;
    const std::uint8_t *bytes;
    std::size_t size;
    const char *fileName;
};

std::span<const EmbeddedRoot> embeddedRoots();
