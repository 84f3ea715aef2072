#include "system/platform/linux/symbol_index.h"

#include "system/platform/symbols_common.h"

#include <dwarf.h>
#include <elfutils/libdwfl.h>
#include <gelf.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>

namespace Yr::Detail {
namespace {

// Cached answers of a segment: not asked yet, asked and nothing found, else an offset into
// the name arena or an index into the file table.
constexpr uint32_t kUnknown = 0xFFFFFFFFu;
constexpr uint32_t kNone = 0xFFFFFFFEu;
// Scopes nest a few levels deep in real code; deeper means a cycle or corrupt data, and the
// module then answers through the reader.
constexpr int kScopeDepthLimit = 256;
constexpr uint64_t kNanosecondsPerSecond = 1000000000u;
constexpr size_t kFirstCapacity = 16;

// A growable array of plain values in system memory; growing reports failure instead of
// throwing.
template <typename T>
struct Buffer {
  static_assert(std::is_trivially_copyable_v<T>);
  T* data = nullptr;
  size_t count = 0;
  size_t capacity = 0;

  bool Reserve(size_t wanted) {
    if (wanted <= capacity) return true;
    size_t grown = capacity ? capacity * 2 : kFirstCapacity;
    if (grown < wanted) grown = wanted;
    if (grown > SIZE_MAX / sizeof(T)) return false;
    T* moved = static_cast<T*>(::realloc(data, grown * sizeof(T)));
    if (!moved) return false;
    data = moved;
    capacity = grown;
    return true;
  }
  bool Push(const T& value) {
    if (!Reserve(count + 1)) return false;
    data[count++] = value;
    return true;
  }
  bool Append(const T* values, size_t length) {
    if (!Reserve(count + length)) return false;
    std::memcpy(data + count, values, length * sizeof(T));
    count += length;
    return true;
  }
  void Release() {
    ::free(data);
    data = nullptr;
    count = capacity = 0;
  }
  size_t Bytes() const { return capacity * sizeof(T); }
};

struct LineAnswer {
  uint32_t file;
  int32_t line;
};

struct ModuleIndex {
  Dwfl_Module* module;
  Dwarf_Addr base;  // the module's first address: segments start at offsets from it
  Dwarf_Addr end;
  char* name;  // the module's name when indexed, to tell a record reused for another file
  bool failed;
  uint64_t buildNanoseconds;
  Buffer<uint32_t> nameStarts;
  Buffer<uint32_t> names;  // per name segment: kUnknown, kNone or an arena offset
  Buffer<uint32_t> lineStarts;
  Buffer<LineAnswer> lines;  // per line segment
  Buffer<char> arena;        // demangled names, each terminated
  Buffer<const char*> files;  // the reader's source texts
  Buffer<uint32_t> fileSlots;  // open addressing over files by pointer: index + 1, 0 when free
};

// Segment boundaries of one kind, as offsets from the module's first address; addresses
// outside the module are of no use and dropped.
struct Boundaries {
  Boundaries(Dwarf_Addr first, Dwarf_Addr length) : base(first), span(length) {}
  Dwarf_Addr base;
  Dwarf_Addr span;
  Buffer<uint32_t> points;
  bool failed = false;

  void Add(Dwarf_Addr address) {
    if (address < base || address - base > span) return;
    if (!points.Push(static_cast<uint32_t>(address - base))) failed = true;
  }
  void AddRange(Dwarf_Addr start, Dwarf_Addr end) {
    Add(start);
    Add(end);
  }
  // Sorted, without repeats; the module's first address always starts a segment.
  void Finish() {
    Add(base);
    std::sort(points.data, points.data + points.count);
    points.count = static_cast<size_t>(std::unique(points.data, points.data + points.count) - points.data);
  }
};

uint64_t NowNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * kNanosecondsPerSecond + static_cast<uint64_t>(now.tv_nsec);
}

void CollectSymbols(Dwfl_Module* module, Boundaries& out) {
  // Every symbol counts, whatever its kind: a boundary more only splits a segment whose
  // halves then give the same answer.
  const int count = dwfl_module_getsymtab(module);
  for (int i = 0; i < count; ++i) {
    GElf_Sym symbol;
    GElf_Addr value = 0;
    GElf_Word section = 0;
    Elf* file = nullptr;
    Dwarf_Addr bias = 0;
    if (dwfl_module_getsym_info(module, i, &symbol, &value, &section, &file, &bias) == nullptr) continue;
    out.AddRange(value, value + symbol.st_size);
  }
  // A symbol without a size is chosen only inside its own section.
  Dwarf_Addr bias = 0;
  if (Elf* elf = dwfl_module_getelf(module, &bias)) {
    for (Elf_Scn* section = elf_nextscn(elf, nullptr); section; section = elf_nextscn(elf, section)) {
      GElf_Shdr header;
      if (gelf_getshdr(section, &header) && (header.sh_flags & SHF_ALLOC))
        out.AddRange(header.sh_addr + bias, header.sh_addr + header.sh_size + bias);
    }
  }
}

void AddRanges(Dwarf_Die* die, Dwarf_Addr bias, Boundaries& out) {
  Dwarf_Addr base = 0, start = 0, end = 0;
  for (ptrdiff_t offset = 0; (offset = dwarf_ranges(die, offset, &base, &start, &end)) > 0;)
    out.AddRange(start + bias, end + bias);
}

// The ranges of every scope the reader can find an address in, following the same tags it
// descends into.
void CollectScopes(Dwarf_Die* parent, Dwarf_Addr bias, int depth, Boundaries& out) {
  if (depth > kScopeDepthLimit) {
    out.failed = true;
    return;
  }
  Dwarf_Die child;
  if (dwarf_child(parent, &child) != 0) return;
  do {
    switch (dwarf_tag(&child)) {
      case DW_TAG_subprogram:
      case DW_TAG_inlined_subroutine:
      case DW_TAG_lexical_block:
      case DW_TAG_entry_point:
      case DW_TAG_try_block:
      case DW_TAG_catch_block:
      case DW_TAG_with_stmt:
      case DW_TAG_module:
        AddRanges(&child, bias, out);
        CollectScopes(&child, bias, depth + 1, out);
        break;
      case DW_TAG_namespace:
      case DW_TAG_class_type:
      case DW_TAG_structure_type:
      case DW_TAG_union_type:
        CollectScopes(&child, bias, depth + 1, out);
        break;
      case DW_TAG_imported_unit: {
        Dwarf_Attribute attribute;
        Dwarf_Die unit;
        if (dwarf_formref_die(dwarf_attr(&child, DW_AT_import, &attribute), &unit))
          CollectScopes(&unit, bias, depth + 1, out);
        break;
      }
      default:
        break;
    }
  } while (!out.failed && dwarf_siblingof(&child, &child) == 0);
}

void CollectLines(Dwfl_Module* module, Boundaries& out) {
  Dwarf_Addr bias = 0;
  Dwarf* dwarf = dwfl_module_getdwarf(module, &bias);
  if (!dwarf) return;  // no debug information: no line anywhere in the module
  // The unit holding an address is found through the address ranges table.
  Dwarf_Aranges* aranges = nullptr;
  size_t arangeCount = 0;
  if (dwarf_getaranges(dwarf, &aranges, &arangeCount) == 0) {
    for (size_t i = 0; i < arangeCount; ++i) {
      Dwarf_Addr start = 0;
      Dwarf_Word length = 0;
      if (dwarf_getarangeinfo(dwarf_onearange(aranges, i), &start, &length, nullptr) == 0)
        out.AddRange(start + bias, start + length + bias);
    }
  }
  for (Dwarf_Die* unit = nullptr; !out.failed && (unit = dwfl_module_nextcu(module, unit, &bias)) != nullptr;) {
    AddRanges(unit, bias, out);
    Dwarf_Lines* lines = nullptr;
    size_t lineCount = 0;
    if (dwarf_getsrclines(unit, &lines, &lineCount) == 0) {
      for (size_t i = 0; i < lineCount; ++i) {
        Dwarf_Addr address = 0;
        if (dwarf_lineaddr(dwarf_onesrcline(lines, i), &address) == 0) out.Add(address + bias);
      }
    }
    CollectScopes(unit, bias, 0, out);
  }
}

void Release(ModuleIndex* index) {
  if (!index) return;
  index->nameStarts.Release();
  index->names.Release();
  index->lineStarts.Release();
  index->lines.Release();
  index->arena.Release();
  index->files.Release();
  index->fileSlots.Release();
  ::free(index->name);
  ::free(index);
}

// Takes over the sorted boundaries as segment starts, every answer unknown.
template <typename Answer>
bool Segments(Boundaries& boundaries, Buffer<uint32_t>& starts, Buffer<Answer>& answers, Answer unknown) {
  starts = boundaries.points;
  boundaries.points = {};
  if (!answers.Reserve(starts.count)) return false;
  for (size_t i = 0; i < starts.count; ++i) answers.data[i] = unknown;
  answers.count = starts.count;
  return true;
}

bool Build(ModuleIndex& index) {
  const uint64_t began = NowNanoseconds();
  if (index.end <= index.base || index.end - index.base > UINT32_MAX) return false;
  Boundaries symbols{index.base, index.end - index.base};
  CollectSymbols(index.module, symbols);
  symbols.Finish();
  Boundaries lines{index.base, index.end - index.base};
  CollectLines(index.module, lines);
  lines.Finish();
  bool built = !symbols.failed && !lines.failed && Segments(symbols, index.nameStarts, index.names, kUnknown) &&
               Segments(lines, index.lineStarts, index.lines, LineAnswer{kUnknown, 0});
  symbols.points.Release();
  lines.points.Release();
  index.buildNanoseconds = NowNanoseconds() - began;
  return built;
}

ModuleIndex* NewIndex(Dwfl_Module* module) {
  void* memory = ::malloc(sizeof(ModuleIndex));
  if (!memory) return nullptr;
  auto* index = new (memory) ModuleIndex{};
  index->module = module;
  const char* name = dwfl_module_info(module, nullptr, &index->base, &index->end, nullptr, nullptr, nullptr, nullptr);
  index->name = ::strdup(name ? name : "");
  index->failed = !index->name || !Build(*index);
  if (index->failed) {
    // The record stays, so the module is not tried again at every lookup.
    index->nameStarts.Release();
    index->names.Release();
    index->lineStarts.Release();
    index->lines.Release();
  }
  return index;
}

// The segment holding offset: the last one starting at or before it (the first starts at 0).
size_t SegmentOf(const Buffer<uint32_t>& starts, uint32_t offset) {
  return static_cast<size_t>(std::upper_bound(starts.data, starts.data + starts.count, offset) - starts.data) - 1;
}

size_t SlotOf(const char* text, size_t mask) {
  uint64_t key = reinterpret_cast<uintptr_t>(text);
  return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

// The index of a source text in the module's file table, added when new; kUnknown when
// there is no memory for it.
uint32_t FileIndex(ModuleIndex& index, const char* source) {
  if (index.fileSlots.count) {
    size_t mask = index.fileSlots.count - 1;
    for (size_t slot = SlotOf(source, mask);; slot = (slot + 1) & mask) {
      uint32_t entry = index.fileSlots.data[slot];
      if (entry == 0) break;
      if (index.files.data[entry - 1] == source) return entry - 1;
    }
  }
  // Kept at most half full, so a probe always ends at a free slot.
  if ((index.files.count + 1) * 2 > index.fileSlots.count) {
    size_t grown = index.fileSlots.count ? index.fileSlots.count * 2 : kFirstCapacity;
    Buffer<uint32_t> slots;
    if (!slots.Reserve(grown)) return kUnknown;
    std::memset(slots.data, 0, grown * sizeof(uint32_t));
    slots.count = grown;
    for (size_t i = 0; i < index.files.count; ++i) {
      size_t slot = SlotOf(index.files.data[i], grown - 1);
      while (slots.data[slot] != 0) slot = (slot + 1) & (grown - 1);
      slots.data[slot] = static_cast<uint32_t>(i + 1);
    }
    index.fileSlots.Release();
    index.fileSlots = slots;
  }
  if (!index.files.Push(source)) return kUnknown;
  size_t mask = index.fileSlots.count - 1;
  size_t slot = SlotOf(source, mask);
  while (index.fileSlots.data[slot] != 0) slot = (slot + 1) & mask;
  index.fileSlots.data[slot] = static_cast<uint32_t>(index.files.count);
  return static_cast<uint32_t>(index.files.count - 1);
}

// The name answer of a segment, asked of the reader and kept; false when it cannot be kept.
bool LearnName(ModuleIndex& index, size_t segment, uintptr_t address) {
  const char* raw = ReaderName(index.module, address);
  if (!raw) {
    index.names.data[segment] = kNone;
    return true;
  }
  char* readable = DemangledCopy(raw);
  const char* text = readable ? readable : raw;
  const size_t offset = index.arena.count;
  const bool kept = offset < kNone && index.arena.Append(text, std::strlen(text) + 1);
  ::free(readable);
  if (!kept) return false;
  index.names.data[segment] = static_cast<uint32_t>(offset);
  return true;
}

bool LearnLine(ModuleIndex& index, size_t segment, uintptr_t address) {
  const char* source = nullptr;
  int number = 0;
  if (!ReaderLine(index.module, address, &source, &number)) {
    index.lines.data[segment] = {kNone, 0};
    return true;
  }
  uint32_t file = FileIndex(index, source);
  if (file == kUnknown) return false;
  index.lines.data[segment] = {file, number};
  return true;
}

size_t IndexBytes(const ModuleIndex& index) {
  return sizeof index + std::strlen(index.name) + 1 + index.nameStarts.Bytes() + index.names.Bytes() +
         index.lineStarts.Bytes() + index.lines.Bytes() + index.arena.Bytes() + index.files.Bytes() +
         index.fileSlots.Bytes();
}

// For an address inside inlined code, the line of the outermost inlined call: it lies in the
// function the symbol names, so "file(line): function" speak of the same function rather than
// pairing the caller's name with a line of the inlined body.
bool OutermostCallSite(Dwfl_Module* module, Dwarf_Addr address, const char** source, int* lineNumber) {
  Dwarf_Addr bias = 0;
  Dwarf_Die* unit = dwfl_module_addrdie(module, address, &bias);
  if (unit == nullptr) return false;
  Dwarf_Die* scopes = nullptr;
  const int count = dwarf_getscopes(unit, address - bias, &scopes);
  if (count <= 0) return false;
  int outermost = -1;  // scopes run from the innermost outwards
  for (int i = 0; i < count; ++i)
    if (dwarf_tag(&scopes[i]) == DW_TAG_inlined_subroutine) outermost = i;
  bool found = false;
  if (outermost >= 0) {
    Dwarf_Attribute attribute;
    Dwarf_Word fileIndex = 0;
    Dwarf_Word callLine = 0;
    Dwarf_Files* files = nullptr;
    size_t fileCount = 0;
    if (dwarf_formudata(dwarf_attr(&scopes[outermost], DW_AT_call_file, &attribute), &fileIndex) == 0 &&
        dwarf_formudata(dwarf_attr(&scopes[outermost], DW_AT_call_line, &attribute), &callLine) == 0 &&
        dwarf_getsrcfiles(unit, &files, &fileCount) == 0 && fileIndex < fileCount) {
      if (const char* name = dwarf_filesrc(files, fileIndex, nullptr, nullptr); name && *name) {
        *source = name;
        *lineNumber = static_cast<int>(callLine);
        found = true;
      }
    }
  }
  ::free(scopes);
  return found;
}

}  // namespace

class SymbolIndexSet {
 public:
  Buffer<ModuleIndex*> indexes;
  ModuleIndex* last = nullptr;  // lookups tend to stay in one module
};

SymbolIndexSet* NewSymbolIndexSet() {
  void* memory = ::malloc(sizeof(SymbolIndexSet));
  return memory ? new (memory) SymbolIndexSet() : nullptr;
}

void DeleteSymbolIndexSet(SymbolIndexSet* set) {
  if (!set) return;
  for (size_t i = 0; i < set->indexes.count; ++i) Release(set->indexes.data[i]);
  set->indexes.Release();
  ::free(set);
}

namespace {

ModuleIndex* Find(const SymbolIndexSet* set, const Dwfl_Module* module) {
  if (set->last && set->last->module == module) return set->last;
  for (size_t i = 0; i < set->indexes.count; ++i)
    if (set->indexes.data[i]->module == module) return set->indexes.data[i];
  return nullptr;
}

}  // namespace

bool IndexedLookup(SymbolIndexSet* set, Dwfl_Module* module, uintptr_t address, const char** name,
                   const char** file, int* lineNumber) {
  if (!set || !module) return false;
  ModuleIndex* index = Find(set, module);
  if (!index) {
    index = NewIndex(module);
    if (!index) return false;
    if (!set->indexes.Push(index)) {
      Release(index);
      return false;
    }
  }
  set->last = index;
  const Dwarf_Addr where = address;
  if (index->failed || where < index->base || where >= index->end) return false;
  const uint32_t offset = static_cast<uint32_t>(where - index->base);
  const size_t nameSegment = SegmentOf(index->nameStarts, offset);
  if (index->names.data[nameSegment] == kUnknown && !LearnName(*index, nameSegment, address)) return false;
  const size_t lineSegment = SegmentOf(index->lineStarts, offset);
  if (index->lines.data[lineSegment].file == kUnknown && !LearnLine(*index, lineSegment, address)) return false;
  const uint32_t nameAt = index->names.data[nameSegment];
  *name = nameAt == kNone ? nullptr : index->arena.data + nameAt;
  const LineAnswer line = index->lines.data[lineSegment];
  *file = line.file == kNone ? nullptr : index->files.data[line.file];
  *lineNumber = line.file == kNone ? 0 : line.line;
  return true;
}

namespace {

struct LiveModules {
  SymbolIndexSet* set;
  bool* alive;
};

int MarkAlive(Dwfl_Module* module, void**, const char* name, Dwarf_Addr start, void* argument) {
  auto* live = static_cast<LiveModules*>(argument);
  Dwarf_Addr end = 0;
  dwfl_module_info(module, nullptr, nullptr, &end, nullptr, nullptr, nullptr, nullptr);
  for (size_t i = 0; i < live->set->indexes.count; ++i) {
    const ModuleIndex* index = live->set->indexes.data[i];
    if (index->module == module && index->base == start && index->end == end &&
        std::strcmp(index->name, name ? name : "") == 0)
      live->alive[i] = true;
  }
  return DWARF_CB_OK;
}

}  // namespace

void ForgetGoneModules(SymbolIndexSet* set, Dwfl* dwfl) {
  if (!set || set->indexes.count == 0) return;
  set->last = nullptr;
  auto* alive = static_cast<bool*>(::calloc(set->indexes.count, sizeof(bool)));
  if (alive && dwfl) {
    LiveModules live = {set, alive};
    dwfl_getmodules(dwfl, &MarkAlive, &live, 0);
  }
  // Without memory to tell, every index goes: a stale answer is worse than a slow one.
  size_t kept = 0;
  for (size_t i = 0; i < set->indexes.count; ++i) {
    if (alive && alive[i]) {
      set->indexes.data[kept++] = set->indexes.data[i];
    } else {
      Release(set->indexes.data[i]);
    }
  }
  set->indexes.count = kept;
  ::free(alive);
}

bool IndexStats(const SymbolIndexSet* set, const Dwfl_Module* module, SymbolIndexStats& out) {
  if (!set) return false;
  const ModuleIndex* index = Find(set, module);
  if (!index || index->failed) return false;
  out.nameSegments = index->nameStarts.count;
  out.lineSegments = index->lineStarts.count;
  out.bytes = IndexBytes(*index);
  out.buildNanoseconds = index->buildNanoseconds;
  return true;
}

const char* ReaderName(Dwfl_Module* module, uintptr_t address) {
  const char* symbol = dwfl_module_addrname(module, static_cast<Dwarf_Addr>(address));
  return symbol && *symbol ? symbol : nullptr;
}

bool ReaderLine(Dwfl_Module* module, uintptr_t address, const char** source, int* lineNumber) {
  const Dwarf_Addr where = static_cast<Dwarf_Addr>(address);
  Dwfl_Line* line = dwfl_module_getsrc(module, where);
  if (!line) return false;
  int number = 0;
  const char* text = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr);
  OutermostCallSite(module, where, &text, &number);
  if (!text || !*text) return false;
  *source = text;
  *lineNumber = number;
  return true;
}

}  // namespace Yr::Detail
