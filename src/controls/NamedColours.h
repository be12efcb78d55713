#pragma once
// The list of named colours that the colour boxes offer.

#include <cstdint>

struct NamedColour {
    const char* name; // the keyword, first letter in upper case
    uint32_t argb;
};

constexpr int kNamedColourCount = 148;

// Entries 0 to 146 are the CSS keywords in alphabetical order; 147 is "Null" (0x00000000).
const NamedColour* namedColours();

// The first entry, from 0 upward, with this value; -1 when none has it.
int firstNamedColour(uint32_t argb);
