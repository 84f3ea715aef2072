// The per-module symbol index behind LookupSymbol: for one module of a symbol session, the
// function name and the source line of an address found by two binary searches, once the
// stretch of the module holding it has been looked up.
//
// Design. What the debug-information reader answers for an address (the name its symbol
// rules pick, the line row, the outermost inlined call site) can only change where some
// symbol, section, line row or code scope begins or ends. At the first lookup in a module the
// index collects every such boundary from the module's symbol tables, section headers, line
// tables and scope ranges, sorted and without repeats: the module falls into segments on
// which the reader's answer is constant. The answer of a segment is asked of the reader the
// first time an address lands in it and kept (the name demangled once, in an arena; the
// source file as an index into a table of the reader's own texts), so every later lookup in
// the segment is a binary search and a copy. Answers are the reader's by construction: the
// index decides only where they can change, never what they are, so the reader's symbol
// preference rules and the inline rule are not written twice.
//
// Boundaries are offsets from the module's first address, 32 bits each; a segment costs 8
// bytes for names and 12 for lines. The reader's texts stay valid while its module is
// reported: an index is dropped with its module (ForgetGoneModules).
//
// Everything here allocates through the system allocator only, and a module whose index
// cannot be built (no memory, a module spanning more than 4 GiB, unreadable tables) answers
// through the reader for every lookup instead. Not thread-safe: the session's owner
// serialises lookups.
#pragma once

#include <cstddef>
#include <cstdint>

struct Dwfl;
struct Dwfl_Module;

namespace Yr::Detail {

class SymbolIndexSet;

// The statistics of one module's index.
struct SymbolIndexStats {
  size_t nameSegments;
  size_t lineSegments;
  size_t bytes;           // everything the index holds, the cached texts included
  uint64_t buildNanoseconds;
};

SymbolIndexSet* NewSymbolIndexSet();
void DeleteSymbolIndexSet(SymbolIndexSet* set);

// What the reader answers for address in module, through the module's index. name (already
// demangled when it was a C++ name) and file are null when the reader found none; they stay
// valid until the module is forgotten. False when the module has no index: the caller asks
// the reader itself.
bool IndexedLookup(SymbolIndexSet* set, Dwfl_Module* module, uintptr_t address, const char** name,
                   const char** file, int* lineNumber);

// After the session's module list was read again: drops the index of every module that is
// gone, or whose record now stands for another file or range.
void ForgetGoneModules(SymbolIndexSet* set, Dwfl* dwfl);

// Statistics of the index of module; false when it has none (not built yet, or failed).
bool IndexStats(const SymbolIndexSet* set, const Dwfl_Module* module, SymbolIndexStats& out);

// The reader's own answers for one address, as the index asks them. ReaderName gives the
// raw symbol (null: none); ReaderLine the source file and line, with the line of the
// outermost inlined call for an address inside inlined code.
const char* ReaderName(Dwfl_Module* module, uintptr_t address);
bool ReaderLine(Dwfl_Module* module, uintptr_t address, const char** source, int* lineNumber);

}  // namespace Yr::Detail
