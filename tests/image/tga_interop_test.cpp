// TGA files against two readers and writers that are not ours: ImageMagick writes files in
// every storage the reader handles and decodes them as it sees them (oriented by the file's
// origin bit), and both ImageMagick and stb_image read the files Save writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "system/image/tga.h"
#include "tests/io/temp_dir.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_TGA
#include <stb/stb_image.h>

namespace {

using namespace Yr::Image;
using Yr::Bitmap;

constexpr unsigned kWidth = 23, kHeight = 11;

// ImageMagick is a program of the Linux host: a Windows build running under Wine can start
// it but cannot hand it its own paths, so there only stb_image, built into the test, reads.
#if defined(_WIN32)
constexpr bool kMagickRuns = false;
#else
constexpr bool kMagickRuns = true;
#endif
constexpr const char* kNoMagick = "ImageMagick is a host program the Windows build cannot give its paths to";

class TgaInteropTest : public YrTest::TempDirTest {
 protected:
  // Runs ImageMagick's convert with the arguments; fails the test when it fails.
  void Magick(const std::string& arguments) {
    const std::string command = std::string(YR_IMAGEMAGICK_CONVERT) + " " + arguments + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  std::vector<uint8_t> Bytes(const std::string& name) {
    std::ifstream in(At(name), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // ImageMagick's own decoding of a file, rows in the order the file's origin says.
  std::vector<uint8_t> MagickRgba(const std::string& name) {
    Magick("'" + At(name) + "' -auto-orient -depth 8 'rgba:" + At("decoded.rgba") + "'");
    return Bytes("decoded.rgba");
  }
  std::vector<uint8_t> OurRgba(const std::string& name) {
    std::unique_ptr<Bitmap> bitmap(TGA::Load(At(name).c_str(), FormatR8G8B8A8));
    if (!bitmap) return {};
    EXPECT_EQ(bitmap->mWidth, kWidth);
    EXPECT_EQ(bitmap->mHeight, kHeight);
    const uint8_t* p = static_cast<uint8_t*>(bitmap->mPixels);
    return std::vector<uint8_t>(p, p + kWidth * kHeight * 4);
  }
  // A picture with flat areas (runs for the encoded files), gradients and a soft alpha.
  void WriteSource() {
    std::string pam = "P7\nWIDTH " + std::to_string(kWidth) + "\nHEIGHT " + std::to_string(kHeight) +
                      "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
    std::mt19937 random(17);
    for (unsigned y = 0; y < kHeight; ++y) {
      for (unsigned x = 0; x < kWidth; ++x) {
        const bool flat = x < 8;
        pam += static_cast<char>(flat ? 200 : x * 11);
        pam += static_cast<char>(flat ? 30 : y * 23);
        pam += static_cast<char>(flat ? 90 : random() % 256);
        pam += static_cast<char>(x < 4 ? 255 : (x * 37 + y * 5) % 256);
      }
    }
    WriteText("source.pam", pam);
  }
};

// Channels compared at the precision the file keeps (5 bits for 16-bit files); alpha of a
// file without alpha is opaque on both sides.
void ExpectSamePixels(const std::vector<uint8_t>& ours, const std::vector<uint8_t>& theirs, unsigned bits,
                      bool compareAlpha, const std::string& what) {
  ASSERT_EQ(ours.size(), theirs.size()) << what;
  const unsigned drop = 8 - bits;
  for (size_t i = 0; i < ours.size(); ++i) {
    if (i % 4 == 3 && !compareAlpha) continue;
    const unsigned shift = i % 4 == 3 ? 0 : drop;
    ASSERT_EQ(ours[i] >> shift, theirs[i] >> shift)
        << what << ": pixel " << i / 4 << " (x " << i / 4 % kWidth << ", y " << i / 4 / kWidth << ") channel " << i % 4;
  }
}

TEST_F(TgaInteropTest, LoadMatchesImageMagicksDecodingOfItsOwnFiles) {
  if (!kMagickRuns) GTEST_SKIP() << kNoMagick;
  WriteSource();
  const struct {
    const char* what;
    const char* arguments;
    uint8_t imageType, bitsPerPixel;
    unsigned channelBits;
  } cases[] = {
      {"32-bit", "-compress None", 2, 32, 8},
      {"24-bit", "-alpha off -compress None", 2, 24, 8},
      {"16-bit", "-alpha off -depth 5 -compress None", 2, 16, 5},
      {"24-bit top first", "-alpha off -orient TopLeft -compress None", 2, 24, 8},
      {"32-bit top first", "-orient TopLeft -compress None", 2, 32, 8},
      {"24-bit bottom first", "-alpha off -orient BottomLeft -compress None", 2, 24, 8},
      {"32-bit run-length", "-compress RLE", 10, 32, 8},
      {"24-bit run-length top first", "-alpha off -orient TopLeft -compress RLE", 10, 24, 8},
      {"16-bit run-length", "-alpha off -depth 5 -compress RLE", 10, 16, 5},
      {"grey", "-alpha off -colorspace Gray -compress None", 3, 8, 8},
      {"grey run-length", "-alpha off -colorspace Gray -compress RLE", 11, 8, 8},
      {"colour-mapped", "-alpha off -colors 40 -type Palette -compress None", 1, 8, 8},
      {"colour-mapped run-length top first", "-alpha off -colors 40 -type Palette -orient TopLeft -compress RLE", 9, 8, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Magick("'" + At("source.pam") + "' " + c.arguments + " 'tga:" + At("file.tga") + "'");
    const std::vector<uint8_t> file = Bytes("file.tga");
    ASSERT_GE(file.size(), size_t{TGA::kHeaderBytes});
    // The file is of the kind the case is about.
    ASSERT_EQ(file[2], c.imageType);
    ASSERT_EQ(file[16], c.bitsPerPixel);
    const std::vector<uint8_t> ours = OurRgba("file.tga");
    ASSERT_FALSE(ours.empty());
    ExpectSamePixels(ours, MagickRgba("file.tga"), c.channelBits, true, c.what);
  }
}

TEST_F(TgaInteropTest, OtherReadersShowSavedFilesTheRightWayUp) {
  std::mt19937 random(4);
  for (Format format : {FormatB8G8R8A8, FormatB8G8R8, FormatA1B5G5R5}) {
    SCOPED_TRACE(format);
    Bitmap bitmap;
    bitmap.Init(Yr::Size{kWidth, kHeight}, format, 0, nullptr);
    uint8_t* p = static_cast<uint8_t*>(bitmap.mPixels);
    for (unsigned i = 0; i < bitmap.mPitch * kHeight; ++i) p[i] = static_cast<uint8_t>(random());
    std::vector<uint8_t> expected(kWidth * kHeight * 4);
    Convert(expected.data(), FormatR8G8B8A8, p, format, bitmap.mPitch * kHeight, nullptr);
    TGA::Save(At("saved.tga").c_str(), &bitmap);

    const unsigned bits = format == FormatA1B5G5R5 ? 5 : 8;
    if (kMagickRuns) ExpectSamePixels(expected, MagickRgba("saved.tga"), bits, true, "ImageMagick");

    int width = 0, height = 0, channels = 0;
    stbi_uc* decoded = stbi_load(At("saved.tga").c_str(), &width, &height, &channels, 4);
    ASSERT_NE(decoded, nullptr) << stbi_failure_reason();
    ASSERT_EQ(width, static_cast<int>(kWidth));
    ASSERT_EQ(height, static_cast<int>(kHeight));
    // stb_image keeps no alpha of 16-bit files.
    ExpectSamePixels(expected, std::vector<uint8_t>(decoded, decoded + kWidth * kHeight * 4), bits,
                     format != FormatA1B5G5R5, "stb_image");
    stbi_image_free(decoded);
  }
}

}  // namespace
