#include "system/image/tga.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "system/image/gtf.h"
#include "tests/image/tga_file.h"
#include "tests/io/temp_dir.h"

namespace {

using namespace Yr::Image;
using Yr::Bitmap;
using Yr::Color32;
using YrTest::TgaBytes;
using YrTest::TgaSpec;

class TgaTest : public YrTest::TempDirTest {
 protected:
  std::unique_ptr<Bitmap> LoadSpec(const TgaSpec& spec, Format format) {
    YrTest::WriteBytes(At("in.tga"), TgaBytes(spec));
    return std::unique_ptr<Bitmap>(TGA::Load(At("in.tga").c_str(), format));
  }
};

std::vector<uint8_t> Row(const Bitmap& b, unsigned row) {
  return std::vector<uint8_t>(b.GetRow(row), b.GetRow(row) + b.mWidth * b.mBytesPerPixel);
}
std::vector<uint8_t> Pixels(const Bitmap& b) {
  std::vector<uint8_t> all;
  for (unsigned r = 0; r < b.mHeight; ++r) {
    auto row = Row(b, r);
    all.insert(all.end(), row.begin(), row.end());
  }
  return all;
}

std::vector<uint8_t> RandomBytes(size_t n, std::mt19937& random, unsigned levels = 256) {
  std::vector<uint8_t> v(n);
  for (uint8_t& b : v) b = static_cast<uint8_t>(random() % levels);
  return v;
}

// Stored rows in file order to bitmap rows top first.
std::vector<uint8_t> TopFirst(const std::vector<uint8_t>& stored, unsigned rowBytes, bool storedTopFirst) {
  if (storedTopFirst) return stored;
  std::vector<uint8_t> out;
  for (size_t r = stored.size() / rowBytes; r-- > 0;) out.insert(out.end(), stored.begin() + r * rowBytes, stored.begin() + (r + 1) * rowBytes);
  return out;
}

// x1r5g5b5 file words to the FormatA1B5G5R5 layout.
std::vector<uint8_t> FileWordsToFormat6(const std::vector<uint8_t>& stored, bool opaque) {
  std::vector<uint8_t> out(stored.size());
  for (size_t i = 0; i + 1 < stored.size(); i += 2) {
    unsigned w = stored[i] | stored[i + 1] << 8;
    unsigned red = (w >> 10) & 31, green = (w >> 5) & 31, blue = w & 31, alpha = opaque ? 1 : w >> 15;
    unsigned v = alpha << 15 | blue << 10 | green << 5 | red;
    out[i] = static_cast<uint8_t>(v), out[i + 1] = static_cast<uint8_t>(v >> 8);
  }
  return out;
}

TEST_F(TgaTest, RowOrderAndTheIdentificationField) {
  TgaSpec spec;
  spec.width = 2, spec.height = 2, spec.id = "made by hand";
  spec.pixels = {1, 2, 3, 4, 5, 6, /* row 2 */ 7, 8, 9, 10, 11, 12};
  auto top = LoadSpec(spec, FormatFromFile);
  ASSERT_TRUE(top);
  EXPECT_EQ(top->mFormat, FormatB8G8R8);
  EXPECT_EQ(Row(*top, 0), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  spec.descriptor = 0;
  auto bottom = LoadSpec(spec, FormatFromFile);
  EXPECT_EQ(Row(*bottom, 0), (std::vector<uint8_t>{7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(Row(*bottom, 1), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  auto rgba = LoadSpec(spec, FormatR8G8B8A8);
  EXPECT_EQ(Row(*rgba, 1), (std::vector<uint8_t>{3, 2, 1, 255, 6, 5, 4, 255}));
}

// Every true-colour and grey depth, stored plain and run-length encoded, in both row orders,
// loaded in the file's format and converted: all give the same picture.
TEST_F(TgaTest, TrueColourAndGreyFilesInEveryStorage) {
  std::mt19937 random(21);
  const struct {
    uint8_t type, bits;
    Format file;
  } kinds[] = {{2, 32, FormatB8G8R8A8}, {2, 24, FormatB8G8R8}, {2, 16, FormatA1B5G5R5}, {3, 8, FormatIndexed8}};
  for (const auto& kind : kinds) {
    for (bool rle : {false, true}) {
      for (uint8_t descriptor : {0x00, 0x20, 0x21}) {
        TgaSpec spec;
        spec.width = 37, spec.height = 5, spec.bitsPerPixel = kind.bits, spec.descriptor = descriptor;
        const unsigned pixelBytes = kind.bits / 8;
        // Few levels, so runs of equal pixels happen and packets cross rows.
        std::vector<uint8_t> stored = RandomBytes(37 * 5 * pixelBytes, random, 3);
        spec.imageType = static_cast<uint8_t>(kind.type + (rle ? 8 : 0));
        spec.pixels = rle ? YrTest::RleEncode(stored, pixelBytes) : stored;
        std::vector<uint8_t> expected = TopFirst(stored, 37 * pixelBytes, descriptor & 0x20);
        if (kind.bits == 16) expected = FileWordsToFormat6(expected, (descriptor & 0x0F) == 0);
        SCOPED_TRACE(testing::Message() << "bits " << int(kind.bits) << " rle " << rle << " descriptor " << int(descriptor));

        auto own = LoadSpec(spec, FormatFromFile);
        ASSERT_TRUE(own);
        EXPECT_EQ(own->mFormat, kind.file);
        EXPECT_EQ(GetFormat((At("in.tga")).c_str()), kind.file);
        EXPECT_EQ(Pixels(*own), expected);
        if (kind.type == 3) {
          for (unsigned i = 0; i < 256; ++i) ASSERT_EQ(own->mPalette[i], Color32(i, i, i, 255));
        }
        // Converted on load: the same as converting the file-format bitmap afterwards.
        auto rgba = LoadSpec(spec, FormatR8G8B8A8);
        ASSERT_TRUE(rgba);
        std::vector<uint8_t> converted(37 * 5 * 4);
        Convert(converted.data(), FormatR8G8B8A8, expected.data(), kind.file, static_cast<unsigned>(expected.size()), own->mPalette);
        EXPECT_EQ(Pixels(*rgba), converted);
      }
    }
  }
}

TEST_F(TgaTest, ColourMapsHonourFirstEntryLengthAndEntrySize) {
  TgaSpec spec;
  spec.imageType = 1, spec.mapType = 1, spec.bitsPerPixel = 8, spec.width = 4, spec.height = 1;
  spec.pixels = {0, 1, 2, 255};
  // 256 entries of 24 bits: blue, green, red.
  spec.mapLength = 256, spec.mapEntryBits = 24;
  for (unsigned i = 0; i < 256; ++i) spec.map.insert(spec.map.end(), {uint8_t(i), uint8_t(i + 1), uint8_t(i + 2)});
  auto full = LoadSpec(spec, FormatFromFile);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->mFormat, FormatIndexed8);
  EXPECT_EQ(Row(*full, 0), spec.pixels);
  EXPECT_EQ(full->mPalette[0], Color32(2, 1, 0, 255));
  EXPECT_EQ(full->mPalette[255], Color32(1, 0, 255, 255));

  // Three 16-bit entries from entry 1 on; index 0 and 255 are outside the map.
  spec.mapFirst = 1, spec.mapLength = 3, spec.mapEntryBits = 16;
  spec.map = {0x00, 0x7C, /* red */ 0xE0, 0x03, /* green */ 0x1F, 0x80 /* blue */};
  auto rgba = LoadSpec(spec, FormatR8G8B8A8);
  ASSERT_TRUE(rgba);
  EXPECT_EQ(Row(*rgba, 0), (std::vector<uint8_t>{0, 0, 0, 0, 248, 0, 0, 255, 0, 248, 0, 255, 0, 0, 0, 0}));

  // 32-bit entries keep their alpha; a 15-bit map reads like a 16-bit one.
  spec.mapFirst = 0, spec.mapLength = 2, spec.mapEntryBits = 32;
  spec.map = {1, 2, 3, 4, 5, 6, 7, 8};
  auto alpha = LoadSpec(spec, FormatR8G8B8A8);
  EXPECT_EQ(Row(*alpha, 0), (std::vector<uint8_t>{3, 2, 1, 4, 7, 6, 5, 8, 0, 0, 0, 0, 0, 0, 0, 0}));
  spec.mapEntryBits = 15;
  spec.map = {0x00, 0x7C, 0x1F, 0x00};
  auto fifteen = LoadSpec(spec, FormatB8G8R8);
  EXPECT_EQ(Row(*fifteen, 0), (std::vector<uint8_t>{0, 0, 248, 248, 0, 0, 0, 0, 0, 0, 0, 0}));

  // Run-length encoded indices read the same map.
  spec.imageType = 9;
  spec.pixels = {0x83, 1};  // index 1 four times
  auto encoded = LoadSpec(spec, FormatB8G8R8);
  EXPECT_EQ(Row(*encoded, 0), (std::vector<uint8_t>{248, 0, 0, 248, 0, 0, 248, 0, 0, 248, 0, 0}));

  // Indices of another depth and map entries of another size are refused.
  spec.imageType = 1, spec.bitsPerPixel = 16;
  EXPECT_FALSE(LoadSpec(spec, FormatFromFile));
  spec.bitsPerPixel = 8, spec.mapEntryBits = 8;
  EXPECT_FALSE(LoadSpec(spec, FormatFromFile));
  EXPECT_EQ(TGA::GetFormat(At("in.tga").c_str()), FormatUnknown);
}

// What a short file does not hold is zero, in every path the rows take.
TEST_F(TgaTest, TruncatedFilesGiveZeroRows) {
  for (bool rle : {false, true}) {
    for (uint8_t descriptor : {0x00, 0x20}) {
      for (Format format : {FormatFromFile, FormatR8G8B8A8}) {
        TgaSpec spec;
        spec.imageType = rle ? 10 : 2, spec.width = 4, spec.height = 3, spec.descriptor = descriptor;
        std::vector<uint8_t> stored(4 * 3 * 3);
        for (size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<uint8_t>(1 + i);
        // One whole row and two pixels of the next.
        std::vector<uint8_t> held(stored.begin(), stored.begin() + 18);
        spec.pixels = rle ? YrTest::RleEncode(held, 3) : std::vector<uint8_t>(held.begin(), held.end() - 1);  // the last byte is a partial pixel
        auto bitmap = LoadSpec(spec, format);
        ASSERT_TRUE(bitmap);
        const unsigned bpp = bitmap->mBytesPerPixel;
        std::vector<uint8_t> expected(4 * 3 * bpp, 0);
        std::vector<uint8_t> got = Pixels(*bitmap);
        const unsigned firstRow = descriptor ? 0 : 2, secondRow = descriptor ? 1 : 1;
        std::vector<uint8_t> want0(4 * bpp), want1(4 * bpp, 0);
        Convert(want0.data(), bitmap->mFormat, held.data(), FormatB8G8R8, 12, nullptr);
        Convert(want1.data(), bitmap->mFormat, held.data() + 12, FormatB8G8R8, rle ? 6 : 5, nullptr);
        std::copy(want0.begin(), want0.end(), expected.begin() + firstRow * 4 * bpp);
        std::copy(want1.begin(), want1.end(), expected.begin() + secondRow * 4 * bpp);
        EXPECT_EQ(got, expected) << "rle " << rle << " descriptor " << int(descriptor) << " format " << format;
      }
    }
  }
  // A file that ends inside the header is refused.
  YrTest::WriteBytes(At("short.tga"), std::vector<uint8_t>(17, 2));
  EXPECT_EQ(TGA::Load(At("short.tga").c_str(), FormatFromFile), nullptr);
}

TEST_F(TgaTest, RefusedFilesAndRequests) {
  TgaSpec good;
  good.width = 1, good.height = 1, good.pixels = {1, 2, 3};
  struct Case {
    const char* what;
    TgaSpec spec;
    Format format;
  };
  std::vector<Case> cases;
  for (uint8_t type : {0, 4, 5, 8, 12, 32, 255}) {
    TgaSpec s = good;
    s.imageType = type;
    cases.push_back({"image type", s, FormatFromFile});
  }
  for (uint8_t bits : {0, 8, 15, 31, 48}) {
    TgaSpec s = good;
    s.bitsPerPixel = bits;
    cases.push_back({"true-colour depth", s, FormatFromFile});
  }
  TgaSpec mapped = good;
  mapped.mapType = 1;
  cases.push_back({"true colour with a map", mapped, FormatFromFile});
  TgaSpec grey16 = good;
  grey16.imageType = 3, grey16.bitsPerPixel = 16;
  cases.push_back({"16-bit grey", grey16, FormatFromFile});
  cases.push_back({"format 8", good, static_cast<Format>(8)});
  cases.push_back({"format 200", good, static_cast<Format>(200)});
  // A header that claims a huge picture in a small file.
  TgaSpec huge = good;
  huge.width = 65535, huge.height = 65535;
  cases.push_back({"65535 x 65535", huge, FormatFromFile});
  TgaSpec wide = good;
  wide.width = 8193, wide.height = 8192;
  cases.push_back({"just above the bound", wide, FormatFromFile});
  for (const Case& c : cases) {
    EXPECT_FALSE(LoadSpec(c.spec, c.format)) << c.what;
    // The size bound is the loader's: the header itself names a format.
    const bool sizeOnly = c.spec.width > 8192;
    if (c.format == FormatFromFile) {
      EXPECT_EQ(TGA::GetFormat(At("in.tga").c_str()), sizeOnly ? FormatB8G8R8 : FormatUnknown) << c.what;
    }
  }
  EXPECT_EQ(TGA::Load(At("missing.tga").c_str(), FormatFromFile), nullptr);
  EXPECT_EQ(TGA::GetFormat(At("missing.tga").c_str()), FormatUnknown);
  EXPECT_EQ(TGA::Load(nullptr, FormatFromFile), nullptr);

  // Nothing converts a true-colour file into indices: the pixels and the palette are zero.
  auto indexed = LoadSpec(good, FormatIndexed8);
  ASSERT_TRUE(indexed);
  EXPECT_EQ(Row(*indexed, 0), std::vector<uint8_t>{0});
  for (unsigned i = 0; i < 256; ++i) ASSERT_EQ(indexed->mPalette[i], Color32(0, 0, 0, 0));
  // An empty picture is a bitmap without pixels to read.
  TgaSpec empty = good;
  empty.width = 0;
  auto nothing = LoadSpec(empty, FormatFromFile);
  ASSERT_TRUE(nothing);
  EXPECT_EQ(nothing->mWidth, 0u);
}

TEST_F(TgaTest, NameRulesOfTheFrontDoor) {
  TgaSpec spec;
  spec.width = 1, spec.height = 1, spec.pixels = {1, 2, 3};
  const std::vector<uint8_t> bytes = TgaBytes(spec);
  const struct {
    const char* name;
    bool read;
  } cases[] = {{"picture.tga", true}, {"picture.tga.bak", true}, {"a.tga-b", true}, {"picture.TGA", false}, {"picture.tg", false}};
  for (const auto& c : cases) {
    YrTest::WriteBytes(At(c.name), bytes);
    std::unique_ptr<Bitmap> bitmap(Load(At(c.name).c_str(), FormatFromFile));
    EXPECT_EQ(bitmap != nullptr, c.read) << c.name;
    EXPECT_EQ(GetFormat(At(c.name).c_str()), c.read ? FormatB8G8R8 : FormatUnknown) << c.name;
  }
}

TEST_F(TgaTest, SaveWritesTheDesignedHeaderAndLoadsBackUnchanged) {
  Bitmap bitmap;
  bitmap.Init(Yr::Size{3, 2}, FormatB8G8R8, 0, nullptr);
  for (unsigned i = 0; i < 18; ++i) static_cast<uint8_t*>(bitmap.mPixels)[i] = static_cast<uint8_t>(i * 7);
  TGA::Save(At("out.tga").c_str(), &bitmap);
  const std::string file = ReadText("out.tga");
  ASSERT_EQ(file.size(), 36u);
  const std::vector<uint8_t> header(file.begin(), file.begin() + 18);
  EXPECT_EQ(header, (std::vector<uint8_t>{0, 0, 2, 0, 0, 0, 0, 24, 0, 0, 0, 0, 3, 0, 2, 0, 24, 0x20}));
  EXPECT_EQ(std::memcmp(file.data() + 18, bitmap.mPixels, 18), 0);

  // Load(Save(b)) == b for every format a file keeps.
  std::mt19937 random(8);
  for (Format format : {FormatB8G8R8A8, FormatB8G8R8, FormatA1B5G5R5}) {
    Bitmap original;
    original.Init(Yr::Size{13, 7}, format, 0, nullptr);
    std::vector<uint8_t> bytes = RandomBytes(original.mPitch * 7, random);
    std::memcpy(original.mPixels, bytes.data(), bytes.size());
    TGA::Save(At("round.tga").c_str(), &original);
    std::unique_ptr<Bitmap> back(TGA::Load(At("round.tga").c_str(), FormatFromFile));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->mFormat, format);
    EXPECT_EQ(Pixels(*back), bytes) << format;
  }
  // A file that cannot be created is left alone; a null bitmap writes nothing.
  TGA::Save((At("no-such-dir") + "/x.tga").c_str(), &bitmap);
  TGA::Save(At("null.tga").c_str(), nullptr);
  EXPECT_FALSE(std::filesystem::exists(At("null.tga")));
}

TEST(GtfTest, FieldsOfTheContainer) {
  alignas(4) uint8_t data[32] = {};
  const uint32_t offset = 0x12345678;
  std::memcpy(data + 16, &offset, 4);
  Yr::CellGtfTextureAttribute* attribute = nullptr;
  EXPECT_EQ(Yr::GTFLoadFromMemory(data, &attribute), 0);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(attribute), data + 12);
  EXPECT_EQ(attribute->offsetToTexture, offset);
  EXPECT_EQ(Yr::GTFTextureInfoFromMemory(data), 24u);
  EXPECT_EQ(Yr::GTFTextureInfoFromMemory(nullptr), 24u);
  EXPECT_EQ(Yr::GTFTextureOffsetFromMemory(data), offset);
  std::memcpy(data + 17, &offset, 4);  // the container may sit at any address
  EXPECT_EQ(Yr::GTFTextureOffsetFromMemory(data + 1), offset);
}

}  // namespace
