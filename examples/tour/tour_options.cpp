// Tour section: the option registry.
#include "examples/tour/tour.h"
#include "system/options/options.h"

namespace {

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

void Tour::Options(int argc, char** argv) {
  Section("Options");
  Yr::Options::Register("Render")("render.width", "window width in pixels", "rw")(
      "render.vsync", "waits for the vertical blank (on/off)")("render.fullscreen", "covers the whole screen", "fs");
  Yr::Options::Register("Files")("files.root", "directory the game data is read from");
  std::printf("Registered 4 options in the groups \"Render\" and \"Files\" (aliases rw and fs).\n");

  // Options::Init starts by registering the built-in options "help" (alias "?") and
  // "options.dump"; this walk-through does the same before applying arguments.
  Yr::Detail::RegisterBuiltInOptions();

  // The arguments of this run when they look like options, else a sample command line.
  const char* sample[] = {"--render.width=1280", "/rw=1920",      "--render.vsync=off", "!render.vsync=On",
                          "/fs",                 "-ignored",      "//ignored-too",      "--files.root=data",
                          "--files.root=",       "--Files.root=x", "/?"};
  bool fromArgv = false;
  for (int i = 1; i < argc; ++i) {
    const char first = argv[i][0];
    if (first == '-' || first == '/' || first == '!') fromArgv = true;
  }
  if (fromArgv) {
    std::printf("Applying the option arguments of this run:\n");
    for (int i = 1; i < argc; ++i) {
      std::printf("  Set(\"%s\")\n", argv[i]);
      Yr::Options::Set(argv[i]);
    }
  } else {
    std::printf("No option arguments given; applying a sample command line:\n");
    for (const char* argument : sample) {
      std::printf("  Set(\"%s\")\n", argument);
      Yr::Options::Set(argument);
    }
  }

  std::printf("Queries (by name or alias; the first value given wins single-value reads):\n");
  for (const char* name : {"render.width", "rw", "render.vsync", "fs", "files.root", "Files.root", "help"}) {
    ShowOption(name);
  }

  // What Options::Init does at its end: sort the records by name and build the listing when
  // "help" (or its alias "?") was given.
  Yr::Detail::SortOptions();
  if (Yr::Options::Test("help")) {
    Yr::Detail::BuildHelpListing();
    std::printf("\"help\" was given, so the help listing was built:\n");
    for (const Yr::StringId& line : Yr::Options::GetHelpLines()) std::printf("  |%s\n", line.CStr() ? line.CStr() : "");
  } else {
    std::printf("\"help\" was not given (pass /? or --help to see the listing).\n");
  }
}
