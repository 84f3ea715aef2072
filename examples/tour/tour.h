// The tour: the application start-up road through the library, one section per subsystem.
// Each section prints what happens at each of its steps.
#pragma once

#include <cstdio>
#include <string>

namespace Tour {

// Prints a section heading.
inline void Section(const char* title) { std::printf("\n== %s ==\n", title); }

// The directory of the tour program: the base directory Options::Init reads pcrun.cfg from
// (the build puts the sample there) and the directory the files section mounts.
std::string ProgramDirectory(const char* argv0);

// Sections, in the order an application meets them. Each lives in its own tour_<x>.cpp.
void Memory(int argc, char** argv);
void Strings(int argc, char** argv);
void Options(int argc, char** argv);
void Debug(int argc, char** argv);
void Files(int argc, char** argv);
void Heaps(int argc, char** argv);
void Threads(int argc, char** argv);
void Diag(int argc, char** argv);
void LiveUpdate(int argc, char** argv);
// Prints the hook's final counts and uninstalls it: a hook must not be destroyed while installed.
void MemoryFinish();

}  // namespace Tour
