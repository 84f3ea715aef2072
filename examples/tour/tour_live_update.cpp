// Tour section: live update. The program registers a few variables by name and listens for
// a tool; the frame loop polls the connection once per frame. To show a tool at work, the
// section starts the yr_rtu command line as a child process, which lists the variables and
// changes two of them while the frames run.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "examples/tour/tour.h"
#include "system/math/color32.h"
#include "system/rtu/connection.h"
#include "system/rtu/variable.h"
#include "system/strings/string_id.h"
#include "system/thread/timer.h"

namespace {

struct Scene {
  float sunHeight = 0.25f;
  Yr::StringId skybox{"skies/dawn"};
  Yr::Color32 fog{128, 140, 160, 255};
  int frames = 0;
};

void PrintScene(const char* when, const Scene& scene) {
  std::printf("%s: sun height %.2f, skybox \"%s\", fog %u, frames %d\n", when, scene.sunHeight, scene.skybox.CStr(),
              scene.fog.GetValue(), scene.frames);
}

// Runs the tool with the given arguments and echoes what it prints.
void RunTool(const std::string& socket, const char* arguments) {
  const std::string command = std::string(YR_RTU_TOOL) + " " + socket + " " + arguments + " 2>&1";
  std::printf("$ yr_rtu %s %s\n", socket.c_str(), arguments);
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) std::printf("  %s", line);
    pclose(pipe);
  }
}

}  // namespace

void Tour::LiveUpdate(int, char**) {
  Section("Live update");
  Scene scene;
  Yr::RTU::Register("scene.sun_height", &scene.sunHeight, &scene);
  Yr::RTU::Register("scene.skybox", &scene.skybox, &scene);
  Yr::RTU::Register("scene.fog", &scene.fog, &scene);
  Yr::RTU::Register("scene.frames", &scene.frames, &scene);
  PrintScene("registered", scene);

  const std::string socket =
      (std::filesystem::temp_directory_path() / ("yr-tour-" + std::to_string(getpid()) + ".rtu")).string();
  Yr::RTU::Connection connection;
  if (!connection.Listen(socket.c_str())) {
    std::printf("cannot listen on %s; skipping the tool\n", socket.c_str());
  } else {
    std::printf("listening on %s\n", socket.c_str());
    // The tool blocks on each reply, so it runs beside the frame loop, never inside it.
    std::atomic<bool> toolDone{false};
    std::thread tool([&] {
      RunTool(socket, "list");
      RunTool(socket, "set scene.sun_height 0.8");
      RunTool(socket, "set scene.skybox skies/noon");
      RunTool(socket, "get scene.frames");
      toolDone = true;
    });
    unsigned int changed = 0;
    while (!toolDone && scene.frames < 10000) {
      changed += connection.Poll();
      ++scene.frames;
      Yr::Timer::Sleep(1);
    }
    tool.join();
    connection.Close();
    std::printf("the frame loop ran %d frames; the tool changed %u variables\n", scene.frames, changed);
  }
  PrintScene("now", scene);
  Yr::StaticSingleton<Yr::RTU::Database>::Ref().UnregisterSource(&scene);
  Yr::StaticSingleton<Yr::RTU::Database>::Ref().ClearAll();
}
