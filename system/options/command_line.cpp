#include "system/options/command_line.h"

#include <cstring>

#include "system/debug/debug_output.h"
#include "system/io/path.h"
#include "system/io/raw_file.h"
#include "system/options/options.h"

namespace Yr::Detail {
namespace {

constexpr const char* kGlobalSets[] = {"cfg.pc.retail", "cfg.pc.all", "cfg.all.retail"};
constexpr char kSkippedSetPrefix[] = "cfg.";

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
bool IsArgumentStart(char c) { return c == '!' || c == '-' || c == '/' || c == '@'; }

// Editors that write UTF-8 may put this mark at the start of a file; it is not text.
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr uint32_t kByteOrderMarkLength = sizeof kByteOrderMark - 1;

// The one rule for over-long words, wherever they come from (argument vector, command-line
// text, option file): a word of kTokenLimit characters or more is dropped whole, never cut
// into a different value, and a debug line says what was dropped.
constexpr int kDroppedShownCharacters = 40;
void ReportDroppedWord(const char* text, size_t length) {
  Debug::OutputFmtCR("Options: dropped a word of %zu characters (the limit is %u): %.*s...", length,
                     kTokenLimit - 1, kDroppedShownCharacters, text);
}
void ReportDroppedLine(const char* text, size_t length) {
  Debug::OutputFmtCR("Options: dropped an option file line of %zu characters (the limit is %u): %.*s...", length,
                     kOptionFileLineLimit - 1, kDroppedShownCharacters, text);
}

// The word under construction in SplitLine. A word reaching kTokenLimit characters is
// dropped: it keeps being scanned to find its end, but nothing more is stored.
class Token {
 public:
  void Emit(char c) {
    ++mFullLength;
    if (mDropped) return;
    if (mLength + 1 >= kTokenLimit) {
      mDropped = true;
      return;
    }
    mText[mLength++] = c;
  }
  void EmitBackslashes(uint32_t count) {
    for (uint32_t i = 0; i < count && !mDropped; ++i) Emit('\\');
  }
  bool Empty() const { return mLength == 0; }
  void Finish(Options::TokenList& tokens) {
    mText[mLength] = '\0';
    if (mDropped) {
      ReportDroppedWord(mText, mFullLength);
    } else {
      tokens.Add(StringId(mText));
    }
    mLength = 0;
    mFullLength = 0;
    mDropped = false;
  }

 private:
  char mText[kTokenLimit];
  uint32_t mLength = 0;
  size_t mFullLength = 0;  // characters of the word, stored or not
  bool mDropped = false;
};

bool StartsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

bool IsGlobalSet(const char* section) {
  for (const char* set : kGlobalSets) {
    if (std::strcmp(section, set) == 0) return true;
  }
  return false;
}

// Reading state of one option file.
struct FileSections {
  char section[kOptionFileLineLimit] = {};
  bool hasSection = false;
  bool skipSection = false;
};

void HandleSectionHeader(const char* line, uint32_t length, FileSections& state) {
  const char* close = static_cast<const char*>(std::memchr(line, ']', length));
  if (close == nullptr) return;  // no ']': the current section stays
  const char* begin = line + 1;
  const char* end = close;
  while (begin < end && IsWhite(*begin)) ++begin;
  while (end > begin && IsWhite(end[-1])) --end;
  size_t count = static_cast<size_t>(end - begin);
  std::memcpy(state.section, begin, count);
  state.section[count] = '\0';
  state.hasSection = true;
  state.skipSection = StartsWith(state.section, kSkippedSetPrefix);
}

void HandleKeyLine(const char* line, FileSections& state, ArgumentQueue& queue) {
  if (!state.hasSection || state.section[0] == '\0') return;
  const bool hasValue = std::strchr(line, '=') != nullptr;
  size_t keyLength = std::strcspn(line, "\t =");

  char key[kKeyLimit + 1];
  size_t keyUsed = keyLength < kKeyLimit ? keyLength : kKeyLimit;
  std::memcpy(key, line, keyUsed);
  key[keyUsed] = '\0';

  OptionLine argument;
  argument.Append(kArgumentPrefix);
  if (IsGlobalSet(state.section)) {
    argument.Append(key);
  } else if (state.skipSection) {
    return;
  } else {
    argument.Append(state.section, kSectionNameLimit);
    argument.Append(".");
    argument.Append(key);
  }
  if (hasValue) {
    // The value follows the key's terminating character, without leading tabs, spaces or '='.
    const char* value = line + keyLength + 1;
    while (*value == '\t' || *value == ' ' || *value == '=') ++value;
    argument.Append(kValueSeparator);
    argument.Append(value, kValueLimit);
  }
  queue.Add(StringId(argument.CStr()));
}

// One trimmed, non-empty line shorter than kOptionFileLineLimit, terminated.
void HandleFileLine(const char* line, uint32_t length, FileSections& state, ArgumentQueue& queue) {
  char first = line[0];
  if (IsArgumentStart(first)) {
    state.hasSection = false;
    state.skipSection = false;
    state.section[0] = '\0';
    Options::TokenList tokens;
    Options::SplitLine(line, tokens);
    QueueTokens(tokens, 0, queue);
  } else if (first == '#' || first == ';') {
    return;
  } else if (first == '[') {
    HandleSectionHeader(line, length, state);
  } else {
    HandleKeyLine(line, state, queue);
  }
}

// Opens the file at path for reading when its size is acceptable.
bool OpenAccepted(RawFile& file, const Path& path) {
  if (path.Empty() || !file.Open(path.CStr(), 0)) return false;
  if (file.GetSize() <= kOptionFileBufferSize) return true;
  file.Close();
  return false;
}

// base joined with the pieces; the empty path when base or the join does not fit.
Path JoinedPath(const char* base, const char* first, const char* second) {
  Path path;
  if (base && std::strlen(base) > Path::kMaxLength) return path;
  path.Set(base);
  if (!path.Append(first)) return Path();
  if (second && !path.Append(second)) return Path();
  return path;
}

}  // namespace

void QueueTokens(const Options::TokenList& tokens, uint32_t first, ArgumentQueue& queue) {
  OptionRegistry& registry = GetOptionRegistry();
  for (uint32_t i = first; i < tokens.Count(); ++i) {
    const StringId& token = tokens[i];
    if (token.Empty()) continue;
    if (token.Length() >= kTokenLimit) {
      ReportDroppedWord(token.CStr(), token.Length());
      continue;
    }
    if (IsArgumentStart(token.CStr()[0])) {
      queue.Add(token);
      continue;
    }
    const uint32_t names = registry.mPositionalNames.Count();
    if (names == 0) continue;  // no positional options: the word is dropped
    const StringId* name;
    if (registry.mPositionalCursor < names) {
      name = &registry.mPositionalNames[registry.mPositionalCursor++];
    } else {
      name = &registry.mPositionalNames[names - 1];
    }
    OptionLine argument;
    argument.Append(kArgumentPrefix);
    if (name->CStr()) argument.Append(name->CStr(), kPositionalNameLimit);
    argument.Append(kValueSeparator);
    argument.Append(token.CStr(), kPositionalWordLimit);
    queue.Add(StringId(argument.CStr()));
  }
}

void QueueOptionFileText(const char* bytes, uint32_t count, ArgumentQueue& queue) {
  if (bytes == nullptr) return;
  if (count > kOptionFileTextLimit) count = kOptionFileTextLimit;
  FileSections state;
  char line[kOptionFileLineLimit];
  const char* cursor = bytes;
  const char* const end = bytes + count;
  if (count >= kByteOrderMarkLength && std::memcmp(bytes, kByteOrderMark, kByteOrderMarkLength) == 0) {
    cursor += kByteOrderMarkLength;
  }
  while (cursor < end) {
    // Lines end at CR, LF or CR LF alike; the empty line between CR and LF vanishes below.
    const char* lineEnd = cursor;
    while (lineEnd < end && !IsLineEnd(*lineEnd)) ++lineEnd;
    const char* begin = cursor;
    cursor = lineEnd < end ? lineEnd + 1 : end;
    while (begin < lineEnd && IsWhite(*begin)) ++begin;
    while (lineEnd > begin && IsWhite(lineEnd[-1])) --lineEnd;
    const size_t length = static_cast<size_t>(lineEnd - begin);
    // Empty lines vanish; over-long lines and lines holding NUL bytes are skipped whole, so
    // that no line is ever read as a shortened, different setting.
    if (length == 0) continue;
    if (length >= kOptionFileLineLimit) {
      ReportDroppedLine(begin, length);
      continue;
    }
    if (std::memchr(begin, '\0', length) != nullptr) continue;
    std::memcpy(line, begin, length);
    line[length] = '\0';
    HandleFileLine(line, static_cast<uint32_t>(length), state, queue);
  }
}

bool ReadOptionFile(const char* name, const char* base) {
  if (name == nullptr) return false;
  RawFile file;
  Path path = JoinedPath(base, name, nullptr);
  if (!OpenAccepted(file, path)) {
    path = JoinedPath(base, kOptionFileSubdirectory, name);
    if (!OpenAccepted(file, path)) return false;
  }
  Options::Add(kOptionsFileOption, path.CStr());

  char buffer[kOptionFileBufferSize];
  const unsigned int count = file.Read(buffer, kOptionFileBufferSize);
  file.Close();
  if (count == 0) return false;
  ArgumentQueue queue;
  QueueOptionFileText(buffer, count, queue);
  // '@' arguments inside option files are not followed.
  ApplyQueue(queue, base, false);
  return true;
}

bool ApplyQueue(const ArgumentQueue& queue, const char* base, bool readFiles) {
  bool result = true;
  for (const StringId& argument : queue) {
    if (argument.Empty()) continue;
    const char* text = argument.CStr();
    if (ApplyOptionArgument(text)) continue;
    if (text[0] == '@' && readFiles) {
      if (!ReadOptionFile(text + 1, base) && std::strcmp(text, kDefaultOptionFileArgument) != 0) result = false;
    }
  }
  return result;
}

namespace {

bool RunInitialization(const Options::TokenList& tokens, const char* base) {
  OptionRegistry& registry = GetOptionRegistry();
  RegisterBuiltInOptions();
  registry.mPositionalCursor = 0;
  ArgumentQueue queue;
  queue.Add(StringId(kDefaultOptionFileArgument));
  QueueTokens(tokens, 1, queue);
  const bool result = ApplyQueue(queue, base, true);
  SortOptions();
  if (Options::Test(kHelpOptionName) || !result) BuildHelpListing();
  Options::Test(kOptionsDumpName);  // looked up; it lists nothing in this library
  registry.mInitialized = true;
  return result;
}

}  // namespace
}  // namespace Yr::Detail

namespace Yr::Options {

bool Init(int argc, char** argv, const char* base) {
  if (Detail::GetOptionRegistry().mInitialized) return false;
  TokenList tokens;
  // A null entry keeps its place as a null token, which queueing skips.
  for (int i = 0; argv && i < argc; ++i) tokens.Add(argv[i] ? StringId(argv[i]) : StringId());
  const bool result = Detail::RunInitialization(tokens, base);
  StringId::GC(false);
  return result;
}

bool Init(const char* commandLine, const char* base) {
  if (Detail::GetOptionRegistry().mInitialized) return false;
  TokenList tokens;
  SplitLine(commandLine, tokens);
  const bool result = Detail::RunInitialization(tokens, base);
  StringId::GC(false);
  return result;
}

void Done() { Detail::ClearOptions(); }

void SplitLine(const char* line, TokenList& tokens) {
  if (line == nullptr) return;
  while (Detail::IsWhite(*line)) ++line;
  if (*line == '\0') return;

  Detail::Token token;
  uint32_t backslashes = 0;
  bool quoted = false;
  for (const char* c = line; *c != '\0'; ++c) {
    if (*c == '\\') {
      ++backslashes;
      continue;
    }
    if (*c == '"') {
      token.EmitBackslashes(backslashes / 2);
      if (backslashes % 2 == 0) {
        quoted = !quoted;
      } else {
        token.Emit('"');
      }
      backslashes = 0;
      continue;
    }
    token.EmitBackslashes(backslashes);
    backslashes = 0;
    if (*c == ' ' && !quoted) {
      token.Finish(tokens);  // a pair of quotes gives an empty word here
      while (Detail::IsWhite(c[1])) ++c;
      continue;
    }
    token.Emit(*c);
  }
  token.EmitBackslashes(backslashes);
  if (!token.Empty() || quoted) {
    token.Finish(tokens);
  }
}

}  // namespace Yr::Options
