#pragma once
#include <array>
#include <string_view>

// One known tweak: its name as a tweak file or a getter spells it, the kind of value it takes and whether the
// dynamic-tweaks cache holds it.
struct TweakDescriptor {
    std::string_view name;
    // "bool" (a number tested against zero), "int", "uint", "long" (the getter of that width) or "string" (a text
    // in double quotes).
    std::string_view type;
    bool dynamic;
};

// The built-in record of the tweak vocabulary. Nothing looks names up here: the registry takes any name, and the
// cache keeps its own list. Constant data, so it exists before any static initialiser runs. Every program that
// links the infra library contains it, although nothing references it (see infra's CMakeLists.txt).
extern const std::array<TweakDescriptor, 793> TweakCatalogue;
