#include "system/options/options.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "system/debug/debug_output.h"
#include "system/memory/allocator.h"
#include "system/memory/startup.h"
#include "system/platform/platform.h"

namespace Yr::Detail {
namespace {

constexpr const char* kRegistryStepName = "option registry";
constexpr const char* kBuiltInGroup = "System options";
constexpr const char* kHelpDescription = "prints a list of all available options";
constexpr const char* kOptionsDumpDescription = "prints all options set";

// Pieces of a help line: "--name (/alias)" padded to the group's width, then " : " and the
// description when there is room for more than four characters.
constexpr char kHelpNamePrefix[] = "--";
constexpr char kHelpAliasOpen[] = " (/";
constexpr char kHelpAliasClose[] = ")";
constexpr char kHelpSeparator[] = " : ";
constexpr uint32_t kHelpMinRoom = 4;

template <size_t N>
constexpr uint32_t Literal(const char (&)[N]) {
  return static_cast<uint32_t>(N - 1);
}

bool gReportIO = false;

OptionRecord* NewRecord() {
  void* block = Allocate(static_cast<unsigned int>(sizeof(OptionRecord)));
  if (block == nullptr) Platform::FatalOutOfMemory(sizeof(OptionRecord), kDefaultAlignment);
  return new (block) OptionRecord();
}

void DeleteRecord(OptionRecord* record) {
  record->~OptionRecord();
  FreeManaged(record);
}

// Unsigned byte order; a name that is a prefix of another sorts first.
bool NameLess(const OptionRecord* a, const OptionRecord* b) {
  const uint32_t lengthA = a->name.Length();
  const uint32_t lengthB = b->name.Length();
  const uint32_t common = std::min(lengthA, lengthB);
  if (common > 0) {
    const int order = std::memcmp(a->name.CStr(), b->name.CStr(), common);
    if (order != 0) return order < 0;
  }
  return lengthA < lengthB;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(const char* text, const char* lower) {
  for (; *lower; ++text, ++lower) {
    if (LowerAscii(*text) != *lower) return false;
  }
  return *text == '\0';
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

uint32_t FirstColumnWidth(const OptionRecord& record) {
  uint32_t width = Literal(kHelpNamePrefix) + std::min(record.name.Length(), kHelpNameLimit);
  if (record.alias) {
    width += Literal(kHelpAliasOpen) + std::min(record.alias.Length(), kHelpAliasLimit) + Literal(kHelpAliasClose);
  }
  return width;
}

// Composes the help line of record in a group whose first column is width characters wide.
void ComposeHelpLine(OptionLine& line, const OptionRecord& record, uint32_t width) {
  line.Append(kHelpNamePrefix);
  if (record.name) line.Append(record.name.CStr(), kHelpNameLimit);
  if (record.alias) {
    line.Append(kHelpAliasOpen);
    line.Append(record.alias.CStr(), kHelpAliasLimit);
    line.Append(kHelpAliasClose);
  }
  line.PadTo(width);
  if (record.description.Empty() || kMaxArgumentLength - line.Length() <= kHelpMinRoom) return;
  line.Append(kHelpSeparator);
  line.Append(record.description.CStr());
}

}  // namespace

// ---- OptionRegistry -------------------------------------------------------------------------

OptionRegistry::OptionRegistry() : mInitialized(false), mPositionalCursor(0) {
  StartupTrace("build", kRegistryStepName);
}

OptionRegistry::~OptionRegistry() {
  StartupTrace("teardown", kRegistryStepName);
  Clear();
  mHelpLines.Release();
}

const StringId& OptionRegistry::Resolve(const StringId& name) const {
  const uintptr_t position = mAliasIndex.Get(name.GetNode());
  return position != 0 ? mAliases[static_cast<uint32_t>(position - 1)].target : name;
}

OptionRecord* OptionRegistry::FindExact(const StringId& name) const {
  return reinterpret_cast<OptionRecord*>(mRecordIndex.Get(name.GetNode()));
}

void OptionRegistry::AddRecord(OptionRecord* record) {
  mRecords.Add(record);
  mRecordIndex.Put(record->name.GetNode(), reinterpret_cast<uintptr_t>(record));
}

OptionRecord* OptionRegistry::Find(const StringId& name) { return FindExact(Resolve(name)); }

OptionRecord* OptionRegistry::FindOrCreate(const StringId& name) {
  const StringId& resolved = Resolve(name);
  if (resolved.Empty()) return nullptr;
  OptionRecord* record = FindExact(resolved);
  if (record == nullptr) {
    record = NewRecord();
    record->name = resolved;
    record->registered = false;
    AddRecord(record);
  }
  record->isSet = true;
  return record;
}

void OptionRegistry::Register(const StringId& name, const StringId& group, const StringId& description,
                              const StringId& alias) {
  if (!name) return;
  // A name given (or registered) before keeps its record as it is.
  if (FindExact(name) == nullptr) {
    OptionRecord* record = NewRecord();
    record->name = name;
    record->alias = alias;
    record->group = group;
    record->description = description;
    record->registered = true;
    record->isSet = false;
    AddRecord(record);
  }
  // The alias is entered either way; registering it again points it at the latest name.
  if (!alias) return;
  if (const uintptr_t position = mAliasIndex.Get(alias.GetNode())) {
    mAliases[static_cast<uint32_t>(position - 1)].target = name;
    return;
  }
  mAliases.Add(OptionAlias{alias, name});
  mAliasIndex.Put(alias.GetNode(), mAliases.Count());
}

void OptionRegistry::Sort() { std::sort(mRecords.begin(), mRecords.end(), NameLess); }

void OptionRegistry::BuildHelpListing() {
  mHelpLines.Clear();
  // Groups appear in the order of their first registered record.
  DArray<StringId> groups;
  for (const OptionRecord* record : mRecords) {
    if (!record->registered) continue;
    if (std::find(groups.begin(), groups.end(), record->group) == groups.end()) groups.Add(record->group);
  }
  for (const StringId& group : groups) {
    uint32_t width = 0;
    for (const OptionRecord* record : mRecords) {
      if (record->registered && record->group == group) width = std::max(width, FirstColumnWidth(*record));
    }
    for (const OptionRecord* record : mRecords) {
      if (!record->registered || record->group != group) continue;
      OptionLine line;
      ComposeHelpLine(line, *record, width);
      mHelpLines.Add(StringId(line.CStr()));
      Debug::OutputFmtCR("%s", line.CStr());
    }
  }
}

void OptionRegistry::Clear() {
  for (OptionRecord* record : mRecords) DeleteRecord(record);
  mRecords.Release();
  mRecordIndex.Clear();
  mPositionalNames.Release();
  mAliases.Release();
  mAliasIndex.Clear();
  mInitialized = false;
}

OptionRegistry& GetOptionRegistry() {
  // Built on first use; its teardown is registered now, so it runs before the start-up
  // frame releases the string table.
  static OptionRegistry registry;
  return registry;
}

// ---- Argument application -----------------------------------------------------------------

bool ApplyOptionArgument(const char* argument) {
  if (argument == nullptr) return false;
  const char prefix = argument[0];
  bool reset = false;
  switch (prefix) {
    case '-':
      if (argument[1] != '-') return true;  // "-x": accepted and ignored
      break;
    case '/':
      if (argument[1] == '/') return true;  // "//x": accepted and ignored
      break;
    case '!':
      reset = true;
      break;
    default:
      return false;
  }
  const char* rest = argument;
  while (*rest == prefix) ++rest;

  char text[kOptionLineSize];
  uint32_t length = 0;
  while (length < kMaxArgumentLength && rest[length]) {
    text[length] = rest[length];
    ++length;
  }
  text[length] = '\0';

  // Name and value split at the first '='; both are taken as they stand.
  const char* value = "";
  if (char* equals = std::strchr(text, '=')) {
    *equals = '\0';
    value = equals + 1;
  }
  if (text[0] == '\0') return true;

  OptionRecord* record = GetOptionRegistry().FindOrCreate(StringId(text));
  if (record == nullptr) return true;
  if (reset) record->values.Clear();
  if (*value) record->values.Add(StringId(value));
  return true;
}

void RegisterBuiltInOptions() {
  Options::Register(kBuiltInGroup)(kHelpOptionName, kHelpDescription, kHelpOptionAlias)(kOptionsDumpName,
                                                                                       kOptionsDumpDescription);
}

void SortOptions() { GetOptionRegistry().Sort(); }
void BuildHelpListing() { GetOptionRegistry().BuildHelpListing(); }
void ClearOptions() { GetOptionRegistry().Clear(); }

bool ReadBoolean(const char* text) {
  if (text == nullptr) return false;
  if (EqualsIgnoringCase(text, "true") || EqualsIgnoringCase(text, "on")) return true;
  if (EqualsIgnoringCase(text, "false") || EqualsIgnoringCase(text, "off")) return false;
  // A decimal integer: only whether it is zero matters, so no digit can overflow anything.
  while (IsSpace(*text)) ++text;
  if (*text == '+' || *text == '-') ++text;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (*text != '0') return true;
  }
  return false;
}

}  // namespace Yr::Detail

namespace Yr::Options {

EasyInit& EasyInit::operator()(const StringId& name, const StringId& description, const StringId& alias) {
  Detail::GetOptionRegistry().Register(name, mGroup, description, alias);
  return *this;
}

PositionalInit& PositionalInit::operator()(const StringId& name) {
  Detail::GetOptionRegistry().mPositionalNames.Add(name);
  return *this;
}

EasyInit Register(const StringId& group) { return EasyInit(group); }
PositionalInit RegisterPositional() { return PositionalInit(); }

bool Test(const StringId& name) {
  const Detail::OptionRecord* record = Detail::GetOptionRegistry().Find(name);
  return record && record->isSet;
}

bool TestSwitch(const StringId& name) {
  const Detail::OptionRecord* record = Detail::GetOptionRegistry().Find(name);
  if (record == nullptr || !record->isSet) return false;
  if (record->values.Empty()) return true;
  return Detail::ReadBoolean(record->values[0].CStr());
}

StringId Get(const StringId& name, unsigned int index) {
  const Detail::OptionRecord* record = Detail::GetOptionRegistry().Find(name);
  if (record == nullptr || index >= record->values.Count()) return StringId();
  return record->values[index];
}

unsigned int Count(const StringId& name) {
  const Detail::OptionRecord* record = Detail::GetOptionRegistry().Find(name);
  return record ? record->values.Count() : 0;
}

const ValueList* GetValueList(const StringId& name) {
  const Detail::OptionRecord* record = Detail::GetOptionRegistry().Find(name);
  return record ? &record->values : nullptr;
}

void Set(const char* argument) { Detail::ApplyOptionArgument(argument); }

void Add(const StringId& name, const StringId& value) {
  Detail::OptionRecord* record = Detail::GetOptionRegistry().FindOrCreate(name);
  if (record && !value.Empty()) record->values.Add(value);
}

void Reset(const StringId& name, const StringId& value) {
  Detail::OptionRecord* record = Detail::GetOptionRegistry().FindOrCreate(name);
  if (record == nullptr) return;
  record->values.Clear();
  if (!value.Empty()) record->values.Add(value);
}

void ReportIO(bool report) {
  Detail::GetOptionRegistry();
  Detail::gReportIO = report;
}

void Dump() { Detail::GetOptionRegistry(); }

const DArray<StringId>& GetHelpLines() { return Detail::GetOptionRegistry().mHelpLines; }

}  // namespace Yr::Options
