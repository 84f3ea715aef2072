// Tour section: modules register their options, then Options::Init feeds the registry once
// from this run's arguments and the default option file.
#include <filesystem>
#include <string>

#include "examples/tour/tour.h"
#include "system/options/command_line.h"
#include "system/options/options.h"

namespace {

// Stands in for the arguments of a run that has none: every argument form, a quoted word and
// "/?", which asks for the help listing.
constexpr const char* kSampleCommandLine =
    "yr_tour --render.width=1920 /rw=2560 --render.vsync=off !render.vsync=On /fs -ignored //ignored-too "
    "--files.root=data --files.root= --Files.root=x \"--tour.greeting=hello from the command line\" /?";

void ShowOption(const char* name) {
  const Yr::StringId id(name);
  std::printf("  %-14s set: %-3s switch: %-3s values: %u", name, Yr::Options::Test(id) ? "yes" : "no",
              Yr::Options::TestSwitch(id) ? "on" : "off", Yr::Options::Count(id));
  for (unsigned int i = 0; i < Yr::Options::Count(id); ++i) {
    std::printf("%s\"%s\"", i == 0 ? " [" : ", ", Yr::Options::Get(id, i).CStr());
  }
  std::printf("%s\n", Yr::Options::Count(id) ? "]" : "");
}

}  // namespace

std::string Tour::ProgramDirectory(const char* argv0) {
  std::error_code error;
  std::filesystem::path program = std::filesystem::canonical("/proc/self/exe", error);
  if (error) program = std::filesystem::absolute(argv0 ? argv0 : ".", error);
  return program.parent_path().string();
}

void Tour::Options(int argc, char** argv) {
  Section("Options");
  Yr::Options::Register("Render")("render.width", "window width in pixels", "rw")(
      "render.vsync", "waits for the vertical blank (on/off)")("render.fullscreen", "covers the whole screen", "fs");
  Yr::Options::Register("Files")("files.root", "directory the game data is read from");
  Yr::Options::Register("Tour")("tour.greeting", "printed by the options section")(
      "tour.mount", "name the program directory is mounted under")("tour.file", "file opened through the mount")(
      "crash", "ends the tour with a real crash, its report and minidump");
  Yr::Options::RegisterPositional()("tour.file");
  std::printf("Registered 8 options in the groups \"Render\", \"Files\" and \"Tour\" (aliases rw and fs);\n"
              "words without a prefix go to the positional option tour.file.\n");

  // Init registers the built-in options ("help" with alias "?", "options.dump"), reads
  // pcrun.cfg from the base directory, applies the arguments in order, sorts the records by
  // name and builds the help listing when "help" is given or an option file failed.
  const std::string base = ProgramDirectory(argc > 0 ? argv[0] : nullptr);
  bool ok;
  if (argc > 1) {
    std::printf("Options::Init with this run's %d argument(s), base directory %s\n", argc - 1, base.c_str());
    ok = Yr::Options::Init(argc, argv, base.c_str());
  } else {
    std::printf("No arguments given; Options::Init with a sample command line, base directory %s:\n  %s\n",
                base.c_str(), kSampleCommandLine);
    ok = Yr::Options::Init(kSampleCommandLine, base.c_str());
  }
  std::printf("  result: %s%s\n", ok ? "true" : "false", ok ? "" : " (an option file named with '@' could not be read)");

  std::printf("Queries (by name or alias; pcrun.cfg comes first, then the command line, and the first value\n"
              "given wins single-value reads):\n");
  for (const char* name : {"options.file", "render.width", "rw", "render.vsync", "fs", "files.root", "Files.root",
                           "tour.greeting", "tour.mount", "tour.file", "help"}) {
    ShowOption(name);
  }
  if (Yr::Options::Test("help") || !ok) {
    std::printf("The help listing:\n");
    for (const Yr::StringId& line : Yr::Options::GetHelpLines()) std::printf("  |%s\n", line.CStr());
  } else {
    std::printf("(pass --help or /? to print the help listing)\n");
  }
}
