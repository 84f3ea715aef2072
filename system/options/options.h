// Yr::Options: the process-wide registry of named options.
//
// Modules declare (register) their options with a group and a one-line description; the
// command line and option files give them values through option arguments ("--name=value",
// "/name=value", "!name=value"), and anyone queries them by name or alias. An option that
// was never registered can still be given and queried: giving it creates its record. Names
// and values are StringId handles, so lookups compare node identities and names are
// case-sensitive. Values accumulate in the order given; single-value reads see the first.
//
// Ownership: the registry owns its records, their values and its tables; it is built on
// first use and released at library unload. Pointers returned by GetValueList stay valid
// until the registry is emptied or the library unloaded.
//
// Threads: no lock. Register and give values on one thread (start-up); queries from several
// threads are safe only while nobody registers, gives values or empties the registry.
#pragma once

#include <cstdint>

#include "system/memory/darray.h"
#include "system/options/record_index.h"
#include "system/platform/export.h"
#include "system/strings/string_id.h"

namespace Yr::Options {

using ValueList = DArray<StringId, DefaultHeap<StringId, 16>>;

// Registers options of one group: Register("Render")("render.size", "window size", "rs")(...).
class YR_API EasyInit {
 public:
  explicit EasyInit(const StringId& group) : mGroup(group) {}
  // A null name does nothing. A name registered before keeps its first registration; an
  // alias registered before points at the latest name.
  EasyInit& operator()(const StringId& name, const StringId& description, const StringId& alias = StringId());

 private:
  StringId mGroup;
};

// Declares the names that words without a prefix are given to, in order.
class YR_API PositionalInit {
 public:
  PositionalInit& operator()(const StringId& name);
};

YR_API EasyInit Register(const StringId& group);
YR_API PositionalInit RegisterPositional();

// True when the option (name or alias) has been given.
YR_API bool Test(const StringId& name);
// False when not given; true when given without a value; else its first value read as a
// boolean ("true"/"on" and "false"/"off" in any case, else a decimal integer, non-zero true).
YR_API bool TestSwitch(const StringId& name);
// The value at index (0 = first given); the null handle when there is no such value.
YR_API StringId Get(const StringId& name, unsigned int index = 0);
YR_API unsigned int Count(const StringId& name);
// The option's values; null when the option has no record.
YR_API const ValueList* GetValueList(const StringId& name);

// Applies one option argument; the whole text is one argument:
//   "--name[=value]" and "/name[=value]"  add the value (the option is set in any case)
//   "!name[=value]"                        discard earlier values, then add the value
//   "-x", "//x"                            accepted and ignored
// At most 1023 characters after the prefix are used; nothing is trimmed; an empty name or
// an empty value is not stored.
YR_API void Set(const char* argument);
// Marks name set and appends value unless it is null or empty.
YR_API void Add(const StringId& name, const StringId& value);
// Marks name set, removes its values, then appends value unless it is null or empty.
YR_API void Reset(const StringId& name, const StringId& value);
// Stores the flag; nothing in the library reads it.
YR_API void ReportIO(bool report);
// Kept for callers: lists nothing in this library.
YR_API void Dump();

// The lines of the help listing built last (by Init when "help" is given or an option file
// failed), in order, without line feeds. Empty until a listing has been built. Each line is
// also written to the debug output as it is built.
YR_API const DArray<StringId>& GetHelpLines();

}  // namespace Yr::Options

namespace Yr::Detail {

// One option. Allocated through the entry points as one block and owned by the registry.
struct OptionRecord {
  StringId name;
  StringId alias;        // null when the option has none
  StringId group;        // null for records made by giving an unregistered option
  StringId description;  // null for records made by giving an unregistered option
  bool registered;
  bool isSet;
  Options::ValueList values;  // only a set record has values; never an empty text
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(OptionRecord) == 32, "an option record is 32 bytes");
#endif

struct OptionAlias {
  StringId alias;
  StringId target;
};

// The registry itself. The first five fields are the ones command-line handling works
// with; GetOptionRegistry builds it on first use.
class YR_API OptionRegistry {
 public:
  OptionRegistry();
  ~OptionRegistry();
  OptionRegistry(const OptionRegistry&) = delete;
  OptionRegistry& operator=(const OptionRegistry&) = delete;

  // The target of name in the alias table (registration order), else name itself.
  const StringId& Resolve(const StringId& name) const;
  // The record of exactly this name (no alias followed), by identity; null when none.
  OptionRecord* FindExact(const StringId& name) const;
  // Follows the alias table, then finds the record by identity.
  OptionRecord* Find(const StringId& name);
  // Finds the record of name (after aliases) and marks it set, or appends a new set record.
  // Null, with nothing changed, for a null or empty name.
  OptionRecord* FindOrCreate(const StringId& name);
  void Register(const StringId& name, const StringId& group, const StringId& description, const StringId& alias);
  // Orders the records by name, bytes compared as unsigned values.
  void Sort();
  // Composes the help listing from the registered records, replacing the kept lines.
  void BuildHelpListing();
  // Removes every record, positional name and alias pair and clears the initialized flag.
  void Clear();

  bool mInitialized;
  DArray<StringId> mPositionalNames;
  DArray<OptionRecord*> mRecords;
  DArray<OptionAlias> mAliases;
  uint32_t mPositionalCursor;
  DArray<StringId> mHelpLines;
  // Record of each name's node, and the position plus one in mAliases of each alias's node:
  // a lookup costs the same with ten options or a hundred thousand.
  PointerIndex mRecordIndex;
  PointerIndex mAliasIndex;

 private:
  void AddRecord(OptionRecord* record);
};

YR_API OptionRegistry& GetOptionRegistry();

// Applies one option argument (see Options::Set). Returns true when its first character made
// it an option argument ('-', '/' or '!'), whether it changed anything or was ignored; false
// for anything else, which the caller may treat further.
YR_API bool ApplyOptionArgument(const char* argument);
// Registers "help" (alias "?") and "options.dump" in the group "System options".
YR_API void RegisterBuiltInOptions();
YR_API void SortOptions();
YR_API void BuildHelpListing();
YR_API void ClearOptions();
// The boolean reading of option values: "true"/"on" and "false"/"off" in any letter case,
// else a decimal integer (leading white space, optional sign, digits) that is true when
// non-zero. Null reads as false.
YR_API bool ReadBoolean(const char* text);

// Names of the built-in options.
constexpr const char* kHelpOptionName = "help";
constexpr const char* kHelpOptionAlias = "?";
constexpr const char* kOptionsDumpName = "options.dump";

// Limits of the help listing and of one argument.
constexpr uint32_t kOptionLineSize = 1024;
constexpr uint32_t kMaxArgumentLength = kOptionLineSize - 1;
constexpr uint32_t kHelpNameLimit = 64;
constexpr uint32_t kHelpAliasLimit = 32;

// A line under composition (a help line, or an argument composed from an option file or a
// positional word): at most kMaxArgumentLength characters, always terminated; what does not
// fit is cut.
class OptionLine {
 public:
  OptionLine() { mText[0] = '\0'; }
  // Appends at most limit characters of text (fewer when the line is full).
  void Append(const char* text, uint32_t limit = kMaxArgumentLength) {
    for (uint32_t i = 0; i < limit && text[i] != '\0' && mLength < kMaxArgumentLength; ++i) mText[mLength++] = text[i];
    mText[mLength] = '\0';
  }
  // Pads with spaces up to width characters.
  void PadTo(uint32_t width) {
    while (mLength < width && mLength < kMaxArgumentLength) mText[mLength++] = ' ';
    mText[mLength] = '\0';
  }
  uint32_t Length() const { return mLength; }
  const char* CStr() const { return mText; }

 private:
  char mText[kOptionLineSize];
  uint32_t mLength = 0;
};

}  // namespace Yr::Detail
