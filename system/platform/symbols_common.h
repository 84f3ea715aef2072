// What the symbol lookup of every system shares (internal to the platform layer): texts
// cut to their buffers, C++ names undecorated.
#pragma once

#include <cstddef>

namespace Yr::Detail {

// Copies text (null: the empty text) into out, terminated and cut to size - 1 characters.
void CopySymbolText(char* out, size_t size, const char* text);
// A C++ symbol undecorated, in memory from malloc the caller frees; null for any other.
char* DemangledCopy(const char* symbol);

}  // namespace Yr::Detail
