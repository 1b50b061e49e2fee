// Writes a deterministic placeholder firmware image (see
// src/payload/image_format.h) so that the updater can be built, tested and
// rehearsed without the instrument's real firmware.
//
//   make_placeholder_image main|sub SIZE VERSION OUTPUT
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image_format.h"

namespace {

void putLe32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Pseudo-random payload, with a NUL and a line feed forced into every 61 and
// 97 bytes so that both occur throughout: an image is binary data and must
// never be handled as text anywhere on its way to the instrument.
void fillPayload(unsigned char* p, std::size_t n, std::uint32_t seed) {
  std::uint32_t x = seed;
  for (std::size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    p[i] = static_cast<unsigned char>(x >> 24);
    if (i % 61 == 7) p[i] = 0x00;
    if (i % 97 == 11) p[i] = 0x0A;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s main|sub SIZE VERSION OUTPUT\n", argv[0]);
    return 2;
  }
  const bool isMain = std::strcmp(argv[1], "main") == 0;
  const std::size_t size = std::strtoul(argv[2], nullptr, 10);
  const std::uint32_t version = std::strtoul(argv[3], nullptr, 0);
  if (size < benchfw::image::headerSize) {
    std::fprintf(stderr, "image size %zu is below the header size\n", size);
    return 2;
  }
  std::vector<unsigned char> img(size);
  std::memcpy(img.data(), benchfw::image::magic, 8);
  std::memcpy(img.data() + 8,
              isMain ? benchfw::image::mainTag : benchfw::image::subTag, 4);
  putLe32(img.data() + 12, version);
  const std::size_t payload = size - benchfw::image::headerSize;
  putLe32(img.data() + 16, static_cast<std::uint32_t>(payload));
  fillPayload(img.data() + benchfw::image::headerSize, payload,
              isMain ? 0x4D41494Eu : 0x53554220u);
  putLe32(img.data() + 20,
          benchfw::image::crc32(img.data() + benchfw::image::headerSize, payload));
  std::FILE* f = std::fopen(argv[4], "wb");
  if (!f || std::fwrite(img.data(), 1, size, f) != size || std::fclose(f) != 0) {
    std::fprintf(stderr, "cannot write %s\n", argv[4]);
    return 1;
  }
  return 0;
}
