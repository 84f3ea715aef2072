// The command line, option files and configuration sets: how the option registry
// (system/options/options.h) is fed once per run.
//
// Options::Init takes the process's arguments (an argument vector or one command-line text)
// and a base directory. It applies, in this order: the default option file "pcrun.cfg"
// (from the base directory, else from its "cfg" subdirectory; its absence is no error), then
// every command-line argument in order, where "@name" applies the option file name at its
// place. Words without a prefix go to the positional options. Option files hold comment
// lines ('#', ';'), argument lines (starting '!', '-', '/' or '@'), section headers
// ("[render]") and key lines ("size = 10" under [render] gives --render.size=10). The
// configuration sets "cfg.pc.retail", "cfg.pc.all" and "cfg.all.retail" give their keys as
// global options; every other section starting with "cfg." is skipped.
//
// Option files are outside input and are handled defensively: at most 8192 bytes are
// accepted and 8191 used; a UTF-8 byte-order mark at the start is skipped; lines end at CR,
// LF or CR LF alike; a line of 1024 characters or more, and a line holding a NUL byte, is
// skipped whole (never cut into a different option); every piece that is cut (section 32,
// key 64, value 896, argument 1023 characters) is cut inside fixed buffers.
//
// Over-long words follow one rule wherever they come from (argument vector, command-line
// text, option file): a word of 1023 characters or more is dropped whole, and a debug line
// names its length and first characters. Over-long option file lines get such a line too.
//
// Threads: Init and Done run on one thread while nobody else uses the registry; SplitLine
// may be called from any thread.
#pragma once

#include <cstdint>

#include "system/memory/darray.h"
#include "system/options/options.h"
#include "system/platform/export.h"
#include "system/strings/string_id.h"

namespace Yr::Options {

using TokenList = DArray<StringId, DefaultHeap<StringId, 16>>;

// Feeds the registry once. False at once (nothing applied) when it has been fed since the
// last Done; otherwise false when an option file named with '@' could not be used, in which
// case everything else is still applied and the help listing is built.
YR_API bool Init(int argc, char** argv, const char* base);
// As above; the words of commandLine (split by SplitLine) stand for the argument vector,
// the first of them for the program name.
YR_API bool Init(const char* commandLine, const char* base);
// Empties the registry (registered options too) so that Init may run again.
YR_API void Done();

// Appends the words of line to tokens. Words are separated by spaces outside double quotes;
// a double quote toggles quoting and is not kept; 2n backslashes before a quote give n
// backslashes, 2n+1 give n and a literal quote; other backslashes are literal. A pair of
// quotes gives an empty word. A word of 1023 characters or more is dropped whole.
YR_API void SplitLine(const char* line, TokenList& tokens);

}  // namespace Yr::Options

namespace Yr::Detail {

constexpr const char* kDefaultOptionFileArgument = "@pcrun.cfg";
constexpr const char* kDefaultOptionFile = kDefaultOptionFileArgument + 1;
constexpr const char* kOptionFileSubdirectory = "cfg";
constexpr const char* kOptionsFileOption = "options.file";

// An option file is accepted up to this size; one byte less of it is used.
constexpr uint32_t kOptionFileBufferSize = 8192;
constexpr uint32_t kOptionFileTextLimit = kOptionFileBufferSize - 1;
// Lines of an option file must be shorter than this: a line fits one option line.
constexpr uint32_t kOptionFileLineLimit = kOptionLineSize;
// A word reaching the longest argument's length is dropped.
constexpr uint32_t kTokenLimit = kMaxArgumentLength;
// Pieces of composed arguments: "--name=value".
constexpr char kArgumentPrefix[] = "--";
constexpr char kValueSeparator[] = "=";
// Cuts applied when arguments are composed. A positional word takes what the prefix, the
// name and the separator leave of one argument.
constexpr uint32_t kPositionalNameLimit = 32;
constexpr uint32_t kPositionalWordLimit =
    kMaxArgumentLength - (sizeof kArgumentPrefix - 1) - kPositionalNameLimit - (sizeof kValueSeparator - 1);
constexpr uint32_t kSectionNameLimit = 32;
constexpr uint32_t kKeyLimit = 64;
constexpr uint32_t kValueLimit = 896;

using ArgumentQueue = DArray<StringId, DefaultHeap<StringId, 16>>;

// Queues tokens from index first: prefixed words as they stand, other words as arguments of
// the positional options (dropped when none are registered).
YR_API void QueueTokens(const Options::TokenList& tokens, uint32_t first, ArgumentQueue& queue);
// Turns the text of an option file (bytes, not terminated; at most kOptionFileTextLimit of
// them are used) into arguments on queue.
YR_API void QueueOptionFileText(const char* bytes, uint32_t count, ArgumentQueue& queue);
// Applies queued arguments in order; with readFiles, "@name" reads that option file. False
// when some option file other than "pcrun.cfg" could not be used.
YR_API bool ApplyQueue(const ArgumentQueue& queue, const char* base, bool readFiles);
// Reads option file name (relative to base, else to its "cfg" subdirectory) and applies it.
YR_API bool ReadOptionFile(const char* name, const char* base);

}  // namespace Yr::Detail
