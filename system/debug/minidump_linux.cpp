// The Linux dump writer: the process written by the library itself, stream by stream.
#include "system/debug/minidump.h"

#include <cstring>

#include "system/platform/process_platform.h"

namespace Yr::Detail {
namespace {

// ---- Container layout (all little-endian, packed to 4 bytes as the format has it) -------
constexpr uint32_t kSignature = 0x504D444Du;  // "MDMP"
constexpr uint32_t kVersion = 0xA793u;

enum StreamType : uint32_t {
  kThreadListStream = 3,
  kModuleListStream = 4,
  kMemoryListStream = 5,
  kExceptionStream = 6,
  kSystemInfoStream = 7,
  kMiscInfoStream = 15,
  kLinuxProcStatus = 0x47670004u,
  kLinuxCmdLine = 0x47670006u,
  kLinuxAuxv = 0x47670008u,
  kLinuxMaps = 0x47670009u,
};

constexpr uint64_t kFlagsForKind[] = {0, 0x0 /* normal */, 0x1 /* data segments */, 0x2 /* full memory */};
constexpr uint32_t kPlatformLinux = 0x8201u;
constexpr uint32_t kCodeViewElfSignature = 0x4270454Cu;  // "LEpB" in the file: an ELF build id
constexpr uint32_t kVersionInfoSignature = 0xFEEF04BDu;
constexpr uint32_t kMiscProcessId = 1;

#pragma pack(push, 4)
struct Location {
  uint32_t dataSize;
  uint32_t rva;
};
struct Header {
  uint32_t signature;
  uint32_t version;
  uint32_t streamCount;
  uint32_t directoryRva;
  uint32_t checksum;
  uint32_t timeDateStamp;
  uint64_t flags;
};
struct Directory {
  uint32_t streamType;
  Location location;
};
struct MemoryDescriptor {
  uint64_t start;
  Location memory;
};
struct Thread {
  uint32_t threadId;
  uint32_t suspendCount;
  uint32_t priorityClass;
  uint32_t priority;
  uint64_t teb;
  MemoryDescriptor stack;
  Location context;
};
struct Module {
  uint64_t base;
  uint32_t size;
  uint32_t checksum;
  uint32_t timeDateStamp;
  uint32_t nameRva;
  uint32_t versionInfo[13];
  Location codeView;
  Location misc;
  uint64_t reserved0;
  uint64_t reserved1;
};
struct ExceptionRecord {
  uint32_t code;
  uint32_t flags;
  uint64_t record;
  uint64_t address;
  uint32_t parameterCount;
  uint32_t unusedAlignment;
  uint64_t information[15];
};
struct ExceptionStream {
  uint32_t threadId;
  uint32_t alignment;
  ExceptionRecord record;
  Location context;
};
struct SystemInfo {
  uint16_t processorArchitecture;
  uint16_t processorLevel;
  uint16_t processorRevision;
  uint8_t processorCount;
  uint8_t productType;
  uint32_t majorVersion;
  uint32_t minorVersion;
  uint32_t buildNumber;
  uint32_t platformId;
  uint32_t csdVersionRva;
  uint16_t suiteMask;
  uint16_t reserved;
  uint32_t vendorId[3];
  uint32_t versionInformation;
  uint32_t featureInformation;
  uint32_t amdExtendedFeatures;
};
struct MiscInfo {
  uint32_t size;
  uint32_t flags1;
  uint32_t processId;
  uint32_t processCreateTime;
  uint32_t processUserTime;
  uint32_t processKernelTime;
};
// The registers of both layouts carry the names CpuContext gives them (ax for rax and eax),
// so one copy fills either.
struct ContextAmd64 {
  uint64_t homes[6];
  uint32_t contextFlags;
  uint32_t mxcsr;
  uint16_t cs, ds, es, fs, gs, ss;
  uint32_t flags;
  uint64_t dr0, dr1, dr2, dr3, dr6, dr7;
  uint64_t ax, cx, dx, bx, sp, bp, si, di;
  uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
  uint64_t ip;
  uint8_t floatSave[512];
  uint8_t vectorRegisters[26 * 16];
  uint64_t vectorControl;
  uint64_t debugControl;
  uint64_t lastBranchToRip;
  uint64_t lastBranchFromRip;
  uint64_t lastExceptionToRip;
  uint64_t lastExceptionFromRip;
};
struct ContextX86 {
  uint32_t contextFlags;
  uint32_t dr0, dr1, dr2, dr3, dr6, dr7;
  uint8_t floatSave[112];
  uint32_t gs, fs, es, ds;
  uint32_t di, si, bx, dx, cx, ax;
  uint32_t bp, ip, cs, flags, sp, ss;
  uint8_t extendedRegisters[512];
};
#pragma pack(pop)

static_assert(sizeof(Header) == 32 && sizeof(Directory) == 12 && sizeof(MemoryDescriptor) == 16);
static_assert(sizeof(Thread) == 48 && sizeof(Module) == 108 && sizeof(ExceptionStream) == 168);
static_assert(sizeof(SystemInfo) == 56 && sizeof(MiscInfo) == 24);
static_assert(sizeof(ContextAmd64) == 1232 && sizeof(ContextX86) == 716);

#if UINTPTR_MAX > 0xFFFFFFFFu
using Context = ContextAmd64;
constexpr uint16_t kArchitecture = 9;            // AMD64
constexpr uint32_t kContextArch = 0x00100000u;   // the AMD64 context flag
constexpr uintptr_t kRedZone = 128;              // below the stack pointer, still live
#else
using Context = ContextX86;
constexpr uint16_t kArchitecture = 0;            // x86
constexpr uint32_t kContextArch = 0x00010000u;   // the x86 context flag
constexpr uintptr_t kRedZone = 0;
#endif
constexpr uint32_t kContextControl = 0x1, kContextInteger = 0x2, kContextSegments = 0x4, kContextFloat = 0x8;

// ---- Limits of the preallocated tables ----------------------------------------------------
constexpr size_t kMapsCapacity = 1 << 20;
constexpr size_t kMaxMappings = 8192;
constexpr size_t kMaxModules = 512;
constexpr size_t kMaxThreads = 256;
constexpr size_t kMaxMemoryRanges = 8192;
constexpr size_t kCopyChunk = 64 * 1024;
constexpr size_t kMaxBuildId = 64;
constexpr uintptr_t kMaxStackBytes = 256 * 1024;
constexpr uintptr_t kCodeWindow = 256;  // bytes on each side of each thread's instruction pointer
constexpr uint64_t kMaxRangeBytes = 512ull * 1024 * 1024;
constexpr uint64_t kMaxFileBytes = 0xF0000000ull;  // every location is a 32-bit offset
constexpr unsigned int kThreadAnswerMilliseconds = 500;
constexpr unsigned int kStreamCount = 10;

struct Mapping {
  uintptr_t start;
  uintptr_t end;
  uint64_t offset;
  bool read, write, exec, shared;
  const char* path;  // into gMaps; "" for anonymous memory
  size_t pathLength;
};

struct ModuleInfo {
  uintptr_t base;
  uintptr_t end;
  size_t firstMapping;
  size_t lastMapping;
  size_t buildIdLength;
  unsigned char buildId[kMaxBuildId];
};

struct Range {
  uintptr_t start;
  uint32_t size;
  uint32_t rva;
};

// Preallocated state: none of it is touched before a dump is written.
char gMaps[kMapsCapacity];
size_t gMapsLength;
Mapping gMappings[kMaxMappings];
size_t gMappingCount;
ModuleInfo gModules[kMaxModules];
size_t gModuleCount;
Platform::ThreadSnapshot gThreads[kMaxThreads];
size_t gThreadCount;
Range gRanges[kMaxMemoryRanges];
size_t gRangeCount;
alignas(16) unsigned char gChunk[kCopyChunk];
Context gContext;

// ---- Output -------------------------------------------------------------------------------
struct Writer {
  int file;
  uint64_t cursor;
  bool failed;

  uint32_t Rva() const { return static_cast<uint32_t>(cursor); }
  bool Room(uint64_t bytes) const { return !failed && cursor + bytes <= kMaxFileBytes; }
  uint32_t Write(const void* bytes, size_t count) {
    uint32_t at = Rva();
    if (!Room(count) || !Platform::WriteFileBytes(file, bytes, count)) {
      failed = true;
      return at;
    }
    cursor += count;
    return at;
  }
  void Align() {
    static const unsigned char kZeros[16] = {};
    size_t pad = static_cast<size_t>((16 - (cursor & 15)) & 15);
    if (pad) Write(kZeros, pad);
  }
};

// Copies count bytes of own memory into the file; unreadable pages become zeros.
uint32_t WriteOwnMemory(Writer& out, uintptr_t start, size_t count) {
  out.Align();
  uint32_t at = out.Rva();
  while (count > 0 && !out.failed) {
    size_t chunk = count < kCopyChunk ? count : kCopyChunk;
    Platform::CopyOwnMemory(gChunk, reinterpret_cast<const void*>(start), chunk);
    out.Write(gChunk, chunk);
    start += chunk;
    count -= chunk;
  }
  return at;
}

// A string as the format stores it: byte length, UTF-16 text, a terminating zero unit.
uint32_t WriteString(Writer& out, const char* text, size_t length) {
  out.Align();
  uint32_t bytes = static_cast<uint32_t>(length * 2);
  uint32_t at = out.Write(&bytes, sizeof bytes);
  uint16_t units[128];
  size_t used = 0;
  for (size_t i = 0; i <= length; ++i) {
    units[used++] = i < length ? static_cast<unsigned char>(text[i]) : 0;
    if (used == sizeof units / sizeof units[0] || i == length) {
      out.Write(units, used * sizeof units[0]);
      used = 0;
    }
  }
  return at;
}

// Streams a /proc file of the process into the dump.
Location WriteProcFile(Writer& out, const char* path) {
  out.Align();
  Location where = {0, out.Rva()};
  int file = Platform::OpenFileForReading(path);
  if (file < 0) return where;
  for (;;) {
    long got = Platform::ReadFileBytes(file, gChunk, sizeof gChunk);
    if (got <= 0) break;
    out.Write(gChunk, static_cast<size_t>(got));
    where.dataSize += static_cast<uint32_t>(got);
  }
  Platform::CloseFile(file);
  return where;
}

// ---- /proc/self/maps ------------------------------------------------------------------------
uintptr_t ParseHex(const char*& cursor, const char* end) {
  uintptr_t value = 0;
  for (; cursor < end; ++cursor) {
    char c = *cursor;
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) break;
    value = (value << 4) | static_cast<uintptr_t>(digit);
  }
  return value;
}

void SkipField(const char*& cursor, const char* end) {
  while (cursor < end && *cursor != ' ' && *cursor != '\n') ++cursor;
  while (cursor < end && *cursor == ' ') ++cursor;
}

void ReadMappings() {
  long length = Platform::ReadWholeFile("/proc/self/maps", gMaps, sizeof gMaps);
  gMapsLength = length > 0 ? static_cast<size_t>(length) : 0;
  gMappingCount = 0;
  const char* cursor = gMaps;
  const char* end = gMaps + gMapsLength;
  while (cursor < end && gMappingCount < kMaxMappings) {
    const char* lineEnd = static_cast<const char*>(std::memchr(cursor, '\n', static_cast<size_t>(end - cursor)));
    if (!lineEnd) lineEnd = end;
    Mapping mapping = {};
    mapping.start = ParseHex(cursor, lineEnd);
    if (cursor < lineEnd && *cursor == '-') ++cursor;
    mapping.end = ParseHex(cursor, lineEnd);
    while (cursor < lineEnd && *cursor == ' ') ++cursor;
    if (lineEnd - cursor >= 4) {
      mapping.read = cursor[0] == 'r';
      mapping.write = cursor[1] == 'w';
      mapping.exec = cursor[2] == 'x';
      mapping.shared = cursor[3] == 's';
    }
    SkipField(cursor, lineEnd);
    mapping.offset = ParseHex(cursor, lineEnd);
    SkipField(cursor, lineEnd);  // offset
    SkipField(cursor, lineEnd);  // device
    SkipField(cursor, lineEnd);  // inode
    mapping.path = cursor;
    mapping.pathLength = static_cast<size_t>(lineEnd - cursor);
    if (mapping.end > mapping.start) gMappings[gMappingCount++] = mapping;
    cursor = lineEnd + 1;
  }
}

const Mapping* MappingAt(uintptr_t address) {
  for (size_t i = 0; i < gMappingCount; ++i)
    if (address >= gMappings[i].start && address < gMappings[i].end) return &gMappings[i];
  return nullptr;
}

bool SamePath(const Mapping& a, const Mapping& b) {
  return a.pathLength == b.pathLength && std::memcmp(a.path, b.path, a.pathLength) == 0;
}

// ---- Modules and build ids --------------------------------------------------------------
template <typename T>
T ReadAt(uintptr_t address) {
  T value{};
  Platform::CopyOwnMemory(&value, reinterpret_cast<const void*>(address), sizeof value);
  return value;
}

// ELF identification and the program-header fields the build id needs.
constexpr unsigned char kElfMagic[4] = {0x7F, 'E', 'L', 'F'};
constexpr uint32_t kProgramLoad = 1;
constexpr uint32_t kProgramNote = 4;
constexpr uint32_t kNoteGnuBuildId = 3;
// A note: this header, then the name and the descriptor, each padded to kNoteAlignment.
struct NoteHeader {
  uint32_t nameSize;
  uint32_t descSize;
  uint32_t type;
};
constexpr uint32_t kNoteAlignment = 4;
constexpr char kGnuNoteName[] = "GNU";  // the note stores its terminator too
constexpr uintptr_t NotePadded(uint32_t size) { return (size + kNoteAlignment - 1) & ~(kNoteAlignment - 1); }
#if UINTPTR_MAX > 0xFFFFFFFFu
constexpr uintptr_t kProgramHeaderOffsetField = 0x20, kProgramHeaderSizeField = 0x36, kProgramHeaderCountField = 0x38;
constexpr uintptr_t kSegmentOffsetField = 8, kSegmentAddressField = 16, kSegmentFileSizeField = 32;
using Word = uint64_t;
#else
constexpr uintptr_t kProgramHeaderOffsetField = 0x1C, kProgramHeaderSizeField = 0x2A, kProgramHeaderCountField = 0x2C;
constexpr uintptr_t kSegmentOffsetField = 4, kSegmentAddressField = 8, kSegmentFileSizeField = 16;
using Word = uint32_t;
#endif

void FindBuildId(ModuleInfo& module) {
  module.buildIdLength = 0;
  uintptr_t base = module.base;
  uintptr_t headers = base + static_cast<uintptr_t>(ReadAt<Word>(base + kProgramHeaderOffsetField));
  uint16_t entrySize = ReadAt<uint16_t>(base + kProgramHeaderSizeField);
  uint16_t entries = ReadAt<uint16_t>(base + kProgramHeaderCountField);
  if (entrySize == 0 || !Platform::ReadableBytes(reinterpret_cast<const void*>(headers), size_t{entrySize} * entries))
    return;
  // The load bias: the first loadable segment starts at the module's base.
  uintptr_t bias = base;
  for (uint16_t i = 0; i < entries; ++i) {
    uintptr_t entry = headers + uintptr_t{i} * entrySize;
    if (ReadAt<uint32_t>(entry) != kProgramLoad) continue;
    uintptr_t address = static_cast<uintptr_t>(ReadAt<Word>(entry + kSegmentAddressField));
    uintptr_t offset = static_cast<uintptr_t>(ReadAt<Word>(entry + kSegmentOffsetField));
    bias = base - (address - offset);
    break;
  }
  for (uint16_t i = 0; i < entries; ++i) {
    uintptr_t entry = headers + uintptr_t{i} * entrySize;
    if (ReadAt<uint32_t>(entry) != kProgramNote) continue;
    uintptr_t note = bias + static_cast<uintptr_t>(ReadAt<Word>(entry + kSegmentAddressField));
    uintptr_t noteEnd = note + static_cast<uintptr_t>(ReadAt<Word>(entry + kSegmentFileSizeField));
    while (note + sizeof(NoteHeader) <= noteEnd) {
      NoteHeader header = ReadAt<NoteHeader>(note);
      uintptr_t name = note + sizeof(NoteHeader);
      uintptr_t desc = name + NotePadded(header.nameSize);
      char owner[sizeof kGnuNoteName] = {};
      if (header.nameSize == sizeof owner) Platform::CopyOwnMemory(owner, reinterpret_cast<const void*>(name), sizeof owner);
      if (header.type == kNoteGnuBuildId && std::memcmp(owner, kGnuNoteName, sizeof owner) == 0 &&
          header.descSize <= kMaxBuildId) {
        Platform::CopyOwnMemory(module.buildId, reinterpret_cast<const void*>(desc), header.descSize);
        module.buildIdLength = header.descSize;
        return;
      }
      note = desc + NotePadded(header.descSize);
    }
  }
}

void FindModules() {
  gModuleCount = 0;
  for (size_t i = 0; i < gMappingCount && gModuleCount < kMaxModules; ++i) {
    const Mapping& first = gMappings[i];
    if (first.pathLength == 0 || first.path[0] != '/' || first.offset != 0 || !first.read) continue;
    unsigned char magic[4] = {};
    Platform::CopyOwnMemory(magic, reinterpret_cast<const void*>(first.start), sizeof magic);
    if (std::memcmp(magic, kElfMagic, sizeof magic) != 0) continue;
    ModuleInfo& module = gModules[gModuleCount];
    module.base = first.start;
    module.end = first.end;
    module.firstMapping = module.lastMapping = i;
    bool executable = first.exec;
    // The module's segments follow on; anonymous mappings between them (bss) belong to it.
    for (size_t j = i + 1; j < gMappingCount; ++j) {
      const Mapping& next = gMappings[j];
      if (next.pathLength != 0 && !SamePath(first, next)) break;
      if (next.pathLength == 0 && !(next.start == gMappings[j - 1].end)) break;
      if (SamePath(first, next)) module.end = next.end;
      executable = executable || next.exec;
      module.lastMapping = j;
    }
    // Only files the loader mapped are modules: its first segment is never writable, and it
    // maps code or several segments. ELF files mapped as data (the symbol reader maps the
    // files and debug files it reads, in one writable private mapping) are not. Emulators
    // may show code without its execute bit, hence the second test.
    if (first.write || !(executable || module.lastMapping > module.firstMapping)) continue;
    FindBuildId(module);
    ++gModuleCount;
  }
}

// ---- Memory ranges ----------------------------------------------------------------------
void AddRange(Writer& out, uintptr_t start, uintptr_t end) {
  if (end <= start || gRangeCount >= kMaxMemoryRanges) return;
  uint64_t size = end - start;
  if (size > kMaxRangeBytes || !out.Room(size)) return;
  Range& range = gRanges[gRangeCount++];
  range.start = start;
  range.size = static_cast<uint32_t>(size);
  range.rva = WriteOwnMemory(out, start, static_cast<size_t>(size));
}

// Stack bytes of one thread: from just below its stack pointer to the end of its stack
// mapping, at most kMaxStackBytes.
MemoryDescriptor WriteStack(Writer& out, uintptr_t stackPointer) {
  MemoryDescriptor stack = {};
  const Mapping* mapping = MappingAt(stackPointer);
  if (!mapping) {
    // A stack overflow leaves the stack pointer just below the stack's mapping.
    for (size_t i = 0; i < gMappingCount; ++i) {
      const Mapping& candidate = gMappings[i];
      if (candidate.start > stackPointer && candidate.start - stackPointer <= Platform::kStackOverflowReach &&
          (!mapping || candidate.start < mapping->start))
        mapping = &candidate;
    }
    if (!mapping) return stack;
  }
  uintptr_t start = stackPointer - kRedZone;
  if (start < mapping->start || start > stackPointer) start = mapping->start;
  uintptr_t end = mapping->end;
  if (end - start > kMaxStackBytes) end = start + kMaxStackBytes;
  size_t before = gRangeCount;
  AddRange(out, start, end);
  if (gRangeCount == before) return stack;
  stack.start = start;
  stack.memory = {gRanges[before].size, gRanges[before].rva};
  return stack;
}

void AddCodeWindow(Writer& out, uintptr_t instruction) {
  const Mapping* mapping = MappingAt(instruction);
  if (!mapping || !mapping->read) return;
  uintptr_t start = instruction - mapping->start > kCodeWindow ? instruction - kCodeWindow : mapping->start;
  uintptr_t end = mapping->end - instruction > kCodeWindow ? instruction + kCodeWindow : mapping->end;
  AddRange(out, start, end);
}

bool SkippedForFullMemory(const Mapping& mapping) {
  if (!mapping.read) return true;
  auto named = [&](const char* name) {
    size_t length = std::strlen(name);
    return mapping.pathLength >= length && std::memcmp(mapping.path, name, length) == 0;
  };
  // Kernel pages and device memory are not the process's own data.
  return named("[vvar]") || named("[vsyscall]") || named("/dev/");
}

void AddDataSegments(Writer& out) {
  for (size_t m = 0; m < gModuleCount; ++m) {
    for (size_t i = gModules[m].firstMapping; i <= gModules[m].lastMapping; ++i) {
      const Mapping& mapping = gMappings[i];
      if (mapping.read && mapping.write && !mapping.shared) AddRange(out, mapping.start, mapping.end);
    }
  }
}

void AddAllMemory(Writer& out) {
  for (size_t i = 0; i < gMappingCount; ++i) {
    if (!SkippedForFullMemory(gMappings[i])) AddRange(out, gMappings[i].start, gMappings[i].end);
  }
}

// ---- Contexts ---------------------------------------------------------------------------
void FillContext(const Platform::CpuContext& cpu) {
  std::memset(&gContext, 0, sizeof gContext);
  gContext.contextFlags = kContextArch | kContextControl | kContextInteger | kContextSegments;
  gContext.ax = cpu.ax;
  gContext.bx = cpu.bx;
  gContext.cx = cpu.cx;
  gContext.dx = cpu.dx;
  gContext.si = cpu.si;
  gContext.di = cpu.di;
  gContext.bp = cpu.bp;
  gContext.sp = cpu.sp;
  gContext.ip = cpu.ip;
  gContext.flags = cpu.flags;
  gContext.cs = cpu.cs;
  gContext.ds = cpu.ds;
  gContext.es = cpu.es;
  gContext.fs = cpu.fs;
  gContext.gs = cpu.gs;
  gContext.ss = cpu.ss;
#if UINTPTR_MAX > 0xFFFFFFFFu
  gContext.mxcsr = cpu.mxcsr;
  gContext.r8 = cpu.r8;
  gContext.r9 = cpu.r9;
  gContext.r10 = cpu.r10;
  gContext.r11 = cpu.r11;
  gContext.r12 = cpu.r12;
  gContext.r13 = cpu.r13;
  gContext.r14 = cpu.r14;
  gContext.r15 = cpu.r15;
#endif
  if (cpu.hasFloatState) {
    static_assert(sizeof(gContext.floatSave) == sizeof(cpu.floatState), "float save area");
    std::memcpy(gContext.floatSave, cpu.floatState, sizeof gContext.floatSave);
    gContext.contextFlags |= kContextFloat;
  }
}

Location WriteContext(Writer& out, const Platform::CpuContext& cpu) {
  FillContext(cpu);
  out.Align();
  uint32_t at = out.Write(&gContext, sizeof gContext);
  return {static_cast<uint32_t>(sizeof gContext), at};
}

// ---- Small streams ----------------------------------------------------------------------
void ParseRelease(const char* release, uint32_t parts[3]) {
  parts[0] = parts[1] = parts[2] = 0;
  for (int part = 0; part < 3 && *release; ++part) {
    while (*release >= '0' && *release <= '9') parts[part] = parts[part] * 10 + static_cast<uint32_t>(*release++ - '0');
    if (*release != '.') break;
    ++release;
  }
}

Location WriteSystemInfo(Writer& out) {
  char release[128];
  Platform::OsRelease(release, sizeof release);
  char description[160] = "Linux ";
  std::strncat(description, release, sizeof description - std::strlen(description) - 1);
  uint32_t csd = WriteString(out, description, std::strlen(description));
  SystemInfo info = {};
  info.processorArchitecture = kArchitecture;
  info.processorLevel = 6;
  unsigned int processors = Platform::ProcessorCount();
  info.processorCount = static_cast<uint8_t>(processors > 255 ? 255 : processors);
  info.productType = 1;
  uint32_t parts[3];
  ParseRelease(release, parts);
  info.majorVersion = parts[0];
  info.minorVersion = parts[1];
  info.buildNumber = parts[2];
  info.platformId = kPlatformLinux;
  info.csdVersionRva = csd;
  out.Align();
  return {static_cast<uint32_t>(sizeof info), out.Write(&info, sizeof info)};
}

Location WriteMiscInfo(Writer& out) {
  MiscInfo info = {};
  info.size = sizeof info;
  info.flags1 = kMiscProcessId;
  info.processId = Platform::OwnProcessId();
  out.Align();
  return {static_cast<uint32_t>(sizeof info), out.Write(&info, sizeof info)};
}

Location WriteModuleList(Writer& out) {
  uint32_t nameRva[kMaxModules];
  Location codeView[kMaxModules];
  for (size_t m = 0; m < gModuleCount; ++m) {
    const Mapping& first = gMappings[gModules[m].firstMapping];
    nameRva[m] = WriteString(out, first.path, first.pathLength);
    out.Align();
    codeView[m].rva = out.Write(&kCodeViewElfSignature, sizeof kCodeViewElfSignature);
    out.Write(gModules[m].buildId, gModules[m].buildIdLength);
    codeView[m].dataSize = static_cast<uint32_t>(sizeof kCodeViewElfSignature + gModules[m].buildIdLength);
  }
  out.Align();
  uint32_t count = static_cast<uint32_t>(gModuleCount);
  uint32_t at = out.Write(&count, sizeof count);
  for (size_t m = 0; m < gModuleCount; ++m) {
    Module record = {};
    record.base = gModules[m].base;
    record.size = static_cast<uint32_t>(gModules[m].end - gModules[m].base);
    record.nameRva = nameRva[m];
    record.versionInfo[0] = kVersionInfoSignature;
    record.codeView = codeView[m];
    out.Write(&record, sizeof record);
  }
  return {static_cast<uint32_t>(sizeof count + gModuleCount * sizeof(Module)), at};
}

}  // namespace

bool WriteMiniDump(const DumpRequest& request) {
  if (request.kind == kDumpNone || !request.path || !request.context) return false;
  int file = Platform::CreateFileForWriting(request.path);
  if (file < 0) return false;
  Writer out = {file, 0, false};

  // Room for the header and directory; both are written at the very end.
  const size_t reserved = sizeof(Header) + kStreamCount * sizeof(Directory);
  static const unsigned char kZeros[sizeof(Header) + kStreamCount * sizeof(Directory)] = {};
  out.Write(kZeros, reserved);

  ReadMappings();
  FindModules();
  gRangeCount = 0;
  gThreadCount = Platform::CaptureOtherThreads(gThreads, kMaxThreads, kThreadAnswerMilliseconds);

  // Threads: the asking thread first, with the context the exception stream points at.
  Thread threads[kMaxThreads + 1];
  size_t threadCount = 0;
  Location exceptionContext = {};
  for (size_t i = 0; i <= gThreadCount && threadCount <= kMaxThreads; ++i) {
    const Platform::CpuContext& cpu = i == 0 ? *request.context : gThreads[i - 1].context;
    Thread& thread = threads[threadCount++];
    thread = {};
    thread.threadId = i == 0 ? request.threadId : gThreads[i - 1].threadId;
    thread.stack = WriteStack(out, cpu.sp);
    thread.context = WriteContext(out, cpu);
    if (i == 0) exceptionContext = thread.context;
    AddCodeWindow(out, cpu.ip);
  }
  if (request.releaseThreads) Platform::ReleaseThreads();

  Directory directory[kStreamCount] = {};
  unsigned int streams = 0;

  out.Align();
  uint32_t threadListCount = static_cast<uint32_t>(threadCount);
  uint32_t threadListRva = out.Write(&threadListCount, sizeof threadListCount);
  out.Write(threads, threadCount * sizeof(Thread));
  directory[streams++] = {kThreadListStream, {static_cast<uint32_t>(sizeof threadListCount + threadCount * sizeof(Thread)), threadListRva}};

  ExceptionStream exception = {};
  exception.threadId = request.threadId;
  exception.record.code = static_cast<uint32_t>(request.signal);
  exception.record.flags = static_cast<uint32_t>(request.signalCode);
  exception.record.address = request.faultAddress;
  exception.record.parameterCount = 1;
  exception.record.information[0] = request.exceptionCode;
  exception.context = exceptionContext;
  out.Align();
  directory[streams++] = {kExceptionStream, {static_cast<uint32_t>(sizeof exception), out.Write(&exception, sizeof exception)}};

  directory[streams++] = {kSystemInfoStream, WriteSystemInfo(out)};
  directory[streams++] = {kMiscInfoStream, WriteMiscInfo(out)};
  directory[streams++] = {kModuleListStream, WriteModuleList(out)};

  out.Align();
  directory[streams++] = {kLinuxMaps, {static_cast<uint32_t>(gMapsLength), out.Write(gMaps, gMapsLength)}};
  directory[streams++] = {kLinuxProcStatus, WriteProcFile(out, "/proc/self/status")};
  directory[streams++] = {kLinuxCmdLine, WriteProcFile(out, "/proc/self/cmdline")};
  directory[streams++] = {kLinuxAuxv, WriteProcFile(out, "/proc/self/auxv")};

  if (request.kind == kDumpWithDataSegs) AddDataSegments(out);
  if (request.kind == kDumpWithFullMemory) AddAllMemory(out);

  // The memory list last: every range written so far, stacks included.
  out.Align();
  uint32_t rangeCount = static_cast<uint32_t>(gRangeCount);
  uint32_t memoryListRva = out.Write(&rangeCount, sizeof rangeCount);
  for (size_t i = 0; i < gRangeCount; ++i) {
    MemoryDescriptor descriptor = {gRanges[i].start, {gRanges[i].size, gRanges[i].rva}};
    out.Write(&descriptor, sizeof descriptor);
  }
  directory[streams++] = {kMemoryListStream,
                          {static_cast<uint32_t>(sizeof rangeCount + gRangeCount * sizeof(MemoryDescriptor)), memoryListRva}};

  // Directory, then the header: only a complete dump carries the signature.
  bool ok = !out.failed && Platform::WriteFileBytesAt(file, sizeof(Header), directory, streams * sizeof(Directory));
  Header header = {kSignature, kVersion, streams, static_cast<uint32_t>(sizeof(Header)), 0, Platform::UnixTime(),
                   kFlagsForKind[request.kind]};
  ok = ok && Platform::WriteFileBytesAt(file, 0, &header, sizeof header);
  Platform::CloseFile(file);
  return ok;
}

}  // namespace Yr::Detail
