// Pixel conversion and TGA loading.
//
// convert_<pair>: Image::Convert of a picture (1920 x 1080, and 1k, 10k and 100k pixels)
// against memcpy of the same source bytes, the floor any conversion pays for touching its
// input and output. Goal: 0.8x memcpy's speed for the 8-bit swizzles, 0.5x for the 16-bit
// expansion (it writes twice the bytes it reads).
//
// tga_load_<kind>: TGA::Load into R8G8B8A8 against stb_image's stbi_load with four
// channels (the same result) of the same file, 32-bit, 4096 x 4096 and 1k/10k/100k pixels.
// The top-first file is the fast path; the bottom-first file (rows reversed) and the
// run-length-encoded file are the worst cases. Files sit in the page cache.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/report.h"
#include "system/image/tga.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_TGA
#include <stb/stb_image.h>

namespace {

using namespace Yr::Image;

constexpr unsigned kFullHd = 1920 * 1080;

struct Buffers {
  std::vector<uint8_t> src, dst;
  explicit Buffers(size_t pixels) : src(pixels * 4), dst(pixels * 4) {
    std::mt19937 random(1);
    for (uint8_t& b : src) b = static_cast<uint8_t>(random());
  }
};

template <Format S, Format D>
void ConvertOurs(benchmark::State& state) {
  const size_t pixels = static_cast<size_t>(state.range(0));
  Buffers b(pixels);
  const unsigned bytes = static_cast<unsigned>(pixels * GetBytesPerPixel(S));
  for (auto _ : state) {
    Convert(b.dst.data(), D, b.src.data(), S, bytes, nullptr);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

template <Format S>
void ConvertPeer(benchmark::State& state) {
  const size_t pixels = static_cast<size_t>(state.range(0));
  Buffers b(pixels);
  const size_t bytes = pixels * GetBytesPerPixel(S);
  for (auto _ : state) {
    std::memcpy(b.dst.data(), b.src.data(), bytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// TGA files written once into a scratch directory, removed at exit.
struct Files {
  std::filesystem::path dir;
  std::map<std::string, std::string> names;
  Files() {
    std::string pattern = (std::filesystem::temp_directory_path() / "yr-image-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
  }
  ~Files() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  // A 32-bit picture of side x side pixels; smooth areas, so run-length packets have runs.
  const std::string& Get(unsigned width, unsigned height, bool topFirst, bool rle) {
    const std::string key = std::to_string(width) + "x" + std::to_string(height) + (topFirst ? "t" : "b") + (rle ? "r" : "u");
    auto found = names.find(key);
    if (found != names.end()) return found->second;
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>((i / 64) * 7 + (i % 4) * 50);
    std::vector<uint8_t> body;
    if (!rle) {
      body = pixels;
    } else {
      // Runs of 16 equal pixels where they repeat, literal packets of 16 elsewhere.
      for (size_t p = 0; p < pixels.size() / 4; p += 16) {
        const size_t n = std::min<size_t>(16, pixels.size() / 4 - p);
        bool same = true;
        for (size_t k = 1; k < n; ++k) same = same && std::memcmp(&pixels[(p + k) * 4], &pixels[p * 4], 4) == 0;
        if (same) {
          body.push_back(static_cast<uint8_t>(0x80 | (n - 1)));
          body.insert(body.end(), &pixels[p * 4], &pixels[p * 4] + 4);
        } else {
          body.push_back(static_cast<uint8_t>(n - 1));
          body.insert(body.end(), &pixels[p * 4], &pixels[p * 4] + 4 * n);
        }
      }
    }
    const uint8_t header[18] = {0, 0, static_cast<uint8_t>(rle ? 10 : 2), 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                static_cast<uint8_t>(width), static_cast<uint8_t>(width >> 8),
                                static_cast<uint8_t>(height), static_cast<uint8_t>(height >> 8), 32,
                                static_cast<uint8_t>(topFirst ? 0x28 : 0x08)};
    const std::string name = (dir / (key + ".tga")).string();
    std::ofstream out(name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    out.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
    return names[key] = name;
  }
};

Files& GetFiles() {
  static Files files;
  return files;
}

unsigned Side(int64_t pixels) {
  unsigned side = 1;
  while (static_cast<int64_t>(side + 1) * (side + 1) <= pixels) ++side;
  return side;
}

void LoadOurs(benchmark::State& state, bool topFirst, bool rle) {
  const unsigned side = Side(state.range(0));
  const std::string& name = GetFiles().Get(side, side, topFirst, rle);
  for (auto _ : state) {
    Yr::Bitmap* bitmap = TGA::Load(name.c_str(), FormatR8G8B8A8);
    if (bitmap == nullptr) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(bitmap);
    delete bitmap;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * side * side));
}

void LoadPeer(benchmark::State& state, bool topFirst, bool rle) {
  const unsigned side = Side(state.range(0));
  const std::string& name = GetFiles().Get(side, side, topFirst, rle);
  for (auto _ : state) {
    int width, height, channels;
    stbi_uc* pixels = stbi_load(name.c_str(), &width, &height, &channels, 4);
    if (pixels == nullptr) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(pixels);
    stbi_image_free(pixels);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * side * side));
}

void ConvertSizes(benchmark::internal::Benchmark* b) { b->Arg(1000)->Arg(10000)->Arg(100000)->Arg(kFullHd); }
void LoadSizes(benchmark::internal::Benchmark* b) {
  b->Arg(1000)->Arg(10000)->Arg(100000)->Arg(4096 * 4096)->Unit(benchmark::kMicrosecond);
}

BENCHMARK(ConvertOurs<FormatB8G8R8A8, FormatR8G8B8A8>)->Name("convert_bgra_to_rgba/ours")->Apply(ConvertSizes);
BENCHMARK(ConvertPeer<FormatB8G8R8A8>)->Name("convert_bgra_to_rgba/peer:memcpy")->Apply(ConvertSizes);
BENCHMARK(ConvertOurs<FormatB8G8R8, FormatR8G8B8A8>)->Name("convert_bgr_to_rgba/ours")->Apply(ConvertSizes);
BENCHMARK(ConvertPeer<FormatB8G8R8>)->Name("convert_bgr_to_rgba/peer:memcpy")->Apply(ConvertSizes);
BENCHMARK(ConvertOurs<FormatR5G6B5, FormatB8G8R8A8>)->Name("convert_r5g6b5_to_bgra/ours")->Apply(ConvertSizes);
BENCHMARK(ConvertPeer<FormatR5G6B5>)->Name("convert_r5g6b5_to_bgra/peer:memcpy")->Apply(ConvertSizes);

BENCHMARK_CAPTURE(LoadOurs, top, true, false)->Name("tga_load_32bit_top_first/ours")->Apply(LoadSizes);
BENCHMARK_CAPTURE(LoadPeer, top, true, false)->Name("tga_load_32bit_top_first/peer:stb_image")->Apply(LoadSizes);
BENCHMARK_CAPTURE(LoadOurs, bottom, false, false)->Name("tga_load_32bit_bottom_first/ours")->Apply(LoadSizes);
BENCHMARK_CAPTURE(LoadPeer, bottom, false, false)->Name("tga_load_32bit_bottom_first/peer:stb_image")->Apply(LoadSizes);
BENCHMARK_CAPTURE(LoadOurs, rle, true, true)->Name("tga_load_32bit_rle/ours")->Apply(LoadSizes);
BENCHMARK_CAPTURE(LoadPeer, rle, true, true)->Name("tga_load_32bit_rle/peer:stb_image")->Apply(LoadSizes);

}  // namespace

YR_BENCH_MAIN()
