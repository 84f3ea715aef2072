// Tour section: mounts and files.
#include <string>

#include "examples/tour/tour.h"
#include "system/io/mount.h"
#include "system/io/raw_file.h"
#include "system/options/options.h"

void Tour::Files(int argc, char** argv) {
  Section("Mounts and files");
  // Mount the program directory under the name from the option file and open a file through it.
  const std::string base = ProgramDirectory(argc > 0 ? argv[0] : nullptr);
  Yr::StringId mountName = Yr::Options::Get("tour.mount");
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
