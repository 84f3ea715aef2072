// Replays a saved fuzz corpus through a fuzz target without libFuzzer: every regular file
// below the directories (or the files) named on the command line is one input. Lets the
// corpus run as an ordinary test in every build, with any compiler.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
        if (!entry.is_regular_file()) continue;
        if (!Replay(entry.path())) return 1;
        ++inputs;
      }
    } else {
      if (!Replay(path)) return 1;
      ++inputs;
    }
  }
  std::printf("replayed %zu inputs\n", inputs);
  // An empty corpus means the test is pointed at the wrong place.
  return inputs > 0 ? 0 : 1;
}
