// Tour section: the command line, the default option file, mounts and files.
#include <filesystem>
#include <string>

#include "examples/tour/tour.h"
#include "system/io/mount.h"
#include "system/io/raw_file.h"
#include "system/options/command_line.h"
#include "system/options/options.h"

namespace {

void ShowValues(const char* name) {
  std::printf("  %-16s", name);
  if (!Yr::Options::Test(name)) {
    std::printf(" (not set)\n");
    return;
  }
  for (unsigned int i = 0; i < Yr::Options::Count(name); ++i) std::printf(" \"%s\"", Yr::Options::Get(name, i).CStr());
  std::printf("%s\n", Yr::Options::Count(name) ? "" : " (set, no value)");
}

// The directory of the tour program, where the build puts the sample pcrun.cfg.
std::string ProgramDirectory(const char* argv0) {
  std::error_code error;
  std::filesystem::path program = std::filesystem::canonical("/proc/self/exe", error);
  if (error) program = std::filesystem::absolute(argv0 ? argv0 : ".", error);
  return program.parent_path().string();
}

}  // namespace

void Tour::Files(int argc, char** argv) {
  Section("Command line, option files and files");
  // The walk-through of the registry above set options by hand; Init feeds the registry once
  // per run, so empty it first.
  Yr::Options::Done();
  Yr::Options::Register("Render")("render.width", "window width in pixels", "rw")("render.vsync",
                                                                               "waits for the vertical blank");
  Yr::Options::Register("Tour")("tour.greeting", "printed by the files section")("tour.mount",
                                                                                 "name the program directory is mounted under")(
      "tour.file", "file opened through the mount");
  Yr::Options::RegisterPositional()("tour.file");

  const std::string base = ProgramDirectory(argc > 0 ? argv[0] : nullptr);
  std::printf("Options::Init with this run's %d argument(s), base directory %s\n", argc - 1, base.c_str());
  const bool ok = Yr::Options::Init(argc, argv, base.c_str());
  std::printf("  result: %s%s\n", ok ? "true" : "false", ok ? "" : " (an option file named with '@' could not be read)");
  std::printf("Option files read, then a few values (pcrun.cfg first, then the command line):\n");
  for (const char* name : {"options.file", "render.width", "rw", "render.vsync", "tour.greeting", "tour.mount", "tour.file"}) {
    ShowValues(name);
  }
  if (Yr::Options::Test("help") || !ok) {
    std::printf("The help listing:\n");
    for (const Yr::StringId& line : Yr::Options::GetHelpLines()) std::printf("  |%s\n", line.CStr());
  } else {
    std::printf("(pass --help or /? to print the help listing)\n");
  }

  // Mount the program directory under the name from the option file and open a file through it.
  Yr::StringId mountName = Yr::Options::Test("tour.mount") ? Yr::Options::Get("tour.mount") : Yr::StringId("data");
  if (!mountName) mountName = "data";
  Yr::IO::Mount(mountName, (base + "/").c_str(), false, false);
  Yr::MountBase* head = Yr::IO::FindMount(mountName);
  std::printf("Mounted \"%s\" on %s (stored as %s)\n", mountName.CStr(), (base + "/").c_str(), head ? head->GetPath() : "?");

  Yr::StringId fileName = Yr::Options::Get("tour.file");
  const char* name = fileName ? fileName.CStr() : "pcrun.cfg";
  Yr::RawFile file;
  if (file.Open(mountName, name, 0)) {
    char head8[9] = {};
    unsigned int count = file.Read(head8, 8);
    std::printf("Opened %s through \"%s\": %llu bytes, time stamp %llu (100 ns since 1601), first %u bytes \"%s\"\n", name,
                mountName.CStr(), file.GetSize(), file.GetTime(), count, head8);
    file.Close();
  } else {
    std::printf("%s did not open through \"%s\" (error state %u)\n", name, mountName.CStr(), file.GetError());
  }
  Yr::RawFile missing;
  bool opened = missing.Open(mountName, "no-such-file.txt", 0);
  std::printf("A missing file through the mount: %s, error state %u (a refused open records nothing)\n",
              opened ? "opened" : "not opened", missing.GetError());
  Yr::RawFile unmounted;
  opened = unmounted.Open("never-mounted", "pcrun.cfg", 0);
  std::printf("A file through a name without mount points: %s, error state %u\n", opened ? "opened" : "not opened",
              unmounted.GetError());

  Yr::RawFile::NameList names;
  Yr::RawFile::GetFiles((base + "/*.cfg").c_str(), names);
  std::printf("GetFiles(\"<base>/*.cfg\"):");
  for (const Yr::StringId& entry : names) std::printf(" %s", entry.CStr());
  std::printf("\n");
  std::printf("Dismount: %s\n", Yr::IO::Dismount(mountName, head ? head->GetPath() : "") ? "done" : "not found");
}
