// Block compression against the compression library called directly (the same LZO1X-1
// compressor and decoders without our layer), on a mixed corpus: text, the library's own
// binary code, random bytes and zeros at 1k, 10k and 100k, and one 64 MiB mixed block. LZ4
// and zstd level 1 run on the same data for context ("context:" rows, not in the table); the
// compressed size of each is reported as "ratio" (compressed / input).
#include <benchmark/benchmark.h>
#include <lz4.h>
#include <lzo1x.h>
#include <zstd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench/report.h"
#include "system/compress/lzo.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The library's shared object, found among the mappings of this process.
Bytes LibraryBinary() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    const size_t at = line.find('/');
    if (at != std::string::npos && line.find("libyrsystem.so") != std::string::npos) return ReadFile(line.substr(at));
  }
  return ReadFile("/proc/self/exe");
}

Bytes Text(size_t n) {
  static const char* const kWords[] = {"the ", "frame ", "buffer ", "of ", "render ", "thread ", "engine ",
                                       "texture ", "and ", "a ", "mount ", "option ", "\n", "value, "};
  std::mt19937 random(3);
  std::string text;
  while (text.size() < n) text += kWords[random() % std::size(kWords)];
  return Bytes(text.begin(), text.begin() + static_cast<long>(n));
}

Bytes Random(size_t n) {
  std::mt19937 random(4);
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

Bytes Repeat(const Bytes& source, size_t n) {
  Bytes out;
  while (out.size() < n) out.insert(out.end(), source.begin(), source.end());
  out.resize(n);
  return out;
}

struct Input {
  std::string name;
  Bytes data;
};

std::vector<Input> Corpus() {
  const Bytes binary = LibraryBinary();
  std::vector<Input> corpus;
  for (size_t size : {size_t{1000}, size_t{10000}, size_t{100000}}) {
    const std::string tag = std::to_string(size / 1000) + "k";
    corpus.push_back({"text " + tag, Text(size)});
    corpus.push_back({"binary " + tag, Repeat(binary, size)});
    corpus.push_back({"random " + tag, Random(size)});
    corpus.push_back({"zeros " + tag, Bytes(size, 0)});
  }
  Bytes mixed;
  const Bytes parts[] = {Text(1 << 20), binary, Random(1 << 19), Bytes(2 << 20, 0)};
  while (mixed.size() < (64u << 20))
    for (const Bytes& part : parts) mixed.insert(mixed.end(), part.begin(), part.end());
  mixed.resize(64u << 20);
  corpus.push_back({"mixed 64M", std::move(mixed)});
  return corpus;
}

alignas(16) unsigned char gDirectWork[LZO1X_1_MEM_COMPRESS];

template <class Function>
void Measure(benchmark::State& state, const Bytes& input, Function function) {
  size_t out = 0;
  for (auto _ : state) {
    out = static_cast<size_t>(function());
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
  state.counters["ratio"] = input.empty() ? 0.0 : static_cast<double>(out) / static_cast<double>(input.size());
}

void Register(const Input& input) {
  const Bytes* data = &input.data;
  const auto n = static_cast<unsigned>(data->size());
  auto* packed = new Bytes(Yr::Lzo::MaxCompressedSize(n));
  auto* lz4 = new Bytes(static_cast<size_t>(LZ4_compressBound(static_cast<int>(n))));
  auto* zstd = new Bytes(ZSTD_compressBound(n));
  auto* out = new Bytes(n);
  const unsigned packedSize = Yr::Lzo::Compress(packed->data(), data->data(), n);
  const int lz4Size = LZ4_compress_default(reinterpret_cast<const char*>(data->data()), reinterpret_cast<char*>(lz4->data()),
                                           static_cast<int>(n), static_cast<int>(lz4->size()));
  const size_t zstdSize = ZSTD_compress(zstd->data(), zstd->size(), data->data(), n, 1);
  const std::string& name = input.name;

  auto add = [data](const std::string& benchmark, auto function) {
    benchmark::RegisterBenchmark(benchmark.c_str(), [=](benchmark::State& s) { Measure(s, *data, function); });
  };
  add("Compress " + name + "/ours", [=] { return Yr::Lzo::Compress(packed->data(), data->data(), n); });
  add("Compress " + name + "/peer:liblzo2", [=] {
    lzo_uint size = 0;
    lzo1x_1_compress(data->data(), n, packed->data(), &size, gDirectWork);
    return size;
  });
  add("Compress " + name + "/context:LZ4", [=] {
    return LZ4_compress_default(reinterpret_cast<const char*>(data->data()), reinterpret_cast<char*>(lz4->data()),
                                static_cast<int>(n), static_cast<int>(lz4->size()));
  });
  add("Compress " + name + "/context:zstd-1", [=] { return ZSTD_compress(zstd->data(), zstd->size(), data->data(), n, 1); });

  add("Decompress " + name + "/ours", [=] { return Yr::Lzo::Decompress(out->data(), packed->data(), packedSize); });
  add("Decompress " + name + "/peer:liblzo2", [=] {
    lzo_uint size = 0;
    lzo1x_decompress(packed->data(), packedSize, out->data(), &size, nullptr);
    return size;
  });
  add("Decompress checked " + name + "/ours", [=] {
    unsigned size = 0;
    Yr::Lzo::Decompress(out->data(), n, packed->data(), packedSize, &size);
    return size;
  });
  add("Decompress checked " + name + "/peer:liblzo2 safe", [=] {
    lzo_uint size = n;
    lzo1x_decompress_safe(packed->data(), packedSize, out->data(), &size, nullptr);
    return size;
  });
  add("Decompress " + name + "/context:LZ4", [=] {
    return LZ4_decompress_safe(reinterpret_cast<const char*>(lz4->data()), reinterpret_cast<char*>(out->data()), lz4Size,
                               static_cast<int>(n));
  });
  add("Decompress " + name + "/context:zstd-1", [=] { return ZSTD_decompress(out->data(), n, zstd->data(), zstdSize); });
}

}  // namespace

int main(int argc, char** argv) {
  if (!Yr::Lzo::Init()) return 1;
  static const std::vector<Input> corpus = Corpus();
  for (const Input& input : corpus) Register(input);
  return YrBench::RunBenchmarks(argc, argv);
}
