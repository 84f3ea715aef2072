// Writes TGA files for the image tests, independently of the library's writer.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace YrTest {

struct TgaSpec {
  uint8_t imageType = 2;
  uint8_t bitsPerPixel = 24;
  uint16_t width = 0, height = 0;
  uint8_t descriptor = 0x20;
  uint8_t mapType = 0;
  uint16_t mapFirst = 0, mapLength = 0;
  uint8_t mapEntryBits = 0;
  std::string id;
  std::vector<uint8_t> map;     // the colour map's bytes as stored
  std::vector<uint8_t> pixels;  // the pixel data as stored (packets for encoded types)
};

inline std::vector<uint8_t> TgaBytes(const TgaSpec& s) {
  std::vector<uint8_t> b = {static_cast<uint8_t>(s.id.size()),
                            s.mapType,
                            s.imageType,
                            static_cast<uint8_t>(s.mapFirst),
                            static_cast<uint8_t>(s.mapFirst >> 8),
                            static_cast<uint8_t>(s.mapLength),
                            static_cast<uint8_t>(s.mapLength >> 8),
                            s.mapEntryBits,
                            0, 0, 0, 0,
                            static_cast<uint8_t>(s.width),
                            static_cast<uint8_t>(s.width >> 8),
                            static_cast<uint8_t>(s.height),
                            static_cast<uint8_t>(s.height >> 8),
                            s.bitsPerPixel,
                            s.descriptor};
  b.insert(b.end(), s.id.begin(), s.id.end());
  b.insert(b.end(), s.map.begin(), s.map.end());
  b.insert(b.end(), s.pixels.begin(), s.pixels.end());
  return b;
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Run-length packets for stored pixels of pixelBytes each: runs where pixels repeat, literal
// packets elsewhere, packets never longer than 128 pixels and free to cross rows.
inline std::vector<uint8_t> RleEncode(const std::vector<uint8_t>& pixels, unsigned pixelBytes) {
  std::vector<uint8_t> out;
  const size_t count = pixels.size() / pixelBytes;
  auto same = [&](size_t a, size_t b) {
    return std::equal(pixels.begin() + a * pixelBytes, pixels.begin() + (a + 1) * pixelBytes, pixels.begin() + b * pixelBytes);
  };
  size_t i = 0;
  while (i < count) {
    size_t run = 1;
    while (i + run < count && run < 128 && same(i, i + run)) ++run;
    if (run > 1) {
      out.push_back(static_cast<uint8_t>(0x80 | (run - 1)));
      out.insert(out.end(), pixels.begin() + i * pixelBytes, pixels.begin() + (i + 1) * pixelBytes);
      i += run;
      continue;
    }
    size_t literal = 1;
    while (i + literal < count && literal < 128 && !(i + literal + 1 < count && same(i + literal, i + literal + 1))) ++literal;
    out.push_back(static_cast<uint8_t>(literal - 1));
    out.insert(out.end(), pixels.begin() + i * pixelBytes, pixels.begin() + (i + literal) * pixelBytes);
    i += literal;
  }
  return out;
}

}  // namespace YrTest
