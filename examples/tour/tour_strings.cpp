// Tour section: interned strings.
#include "examples/tour/tour.h"
#include "system/strings/string_id.h"

void Tour::Strings(int, char**) {
  Section("Interned strings");
  Yr::StringId a("textures/stone_wall.tga");
  Yr::StringId b("textures/stone_wall.tga");
  Yr::StringId c("Textures/stone_wall.tga");
  std::printf("Two handles of \"%s\" share one node: %s (references now %u).\n", a.CStr(), a == b ? "yes" : "no",
              a.RefCount());
  std::printf("Case matters: \"%s\" equals it: %s.\n", c.CStr(), a == c ? "yes" : "no");
  Yr::StringId empty("");
  std::printf("\"\" is not the null handle: %s; both are Empty(): %s.\n", empty != Yr::StringId::null ? "yes" : "no",
              empty.Empty() && Yr::StringId::null.Empty() ? "yes" : "no");
  std::printf("Handles order by node address, null first: null < \"\" is %s.\n",
              Yr::StringId::null < empty ? "true" : "false");
  {
    Yr::StringId temporary("a text made and dropped");
    std::printf("A dropped handle leaves its node waiting at count 0 ...\n");
  }
  Yr::StringId again("a text made and dropped");
  std::printf("... and making the text again revives it: count %u.\n", again.RefCount());
  Yr::StringId::GC(true);
  std::printf("A full collection freed every node no handle refers to.\n");
}
