// Layout of the placeholder firmware images that our build generates when no
// real images are given. The updater never reads this: it sends images as
// opaque bytes. The generator writes it and the simulator checks it, so that
// a rehearsal catches an image that was cut, corrupted or sent to the wrong
// application.
//
//   offset  size  field
//   0       8     magic "BFWIMAGE"
//   8       4     application: "MAIN" or "SUB "
//   12      4     version, little endian: major << 16 | minor << 8 | patch
//   16      4     payload length in bytes, little endian (image size - 32)
//   20      4     CRC-32 (IEEE 802.3, reflected, as zlib) of the payload
//   24      8     zero
//   32      ...   payload
#ifndef BENCHFW_PAYLOAD_IMAGE_FORMAT_H
#define BENCHFW_PAYLOAD_IMAGE_FORMAT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace benchfw::image {

inline constexpr std::size_t headerSize = 32;
inline constexpr char magic[8] = {'B', 'F', 'W', 'I', 'M', 'A', 'G', 'E'};
inline constexpr char mainTag[4] = {'M', 'A', 'I', 'N'};
inline constexpr char subTag[4] = {'S', 'U', 'B', ' '};

enum class App { main, sub };

inline std::uint32_t crc32Update(std::uint32_t crc, const unsigned char* data,
                                 std::size_t size) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i)
    crc = table[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
  return ~crc;
}

inline std::uint32_t crc32(const unsigned char* data, std::size_t size) {
  return crc32Update(0, data, size);
}

inline std::uint32_t readLe32(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 |
         std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

// What a check of an image found. `problem` is empty for a good image.
struct Inspection {
  std::string problem;
  App app = App::main;
  std::uint32_t version = 0;
};

// Checks magic, application tag, length and CRC of a placeholder image.
inline Inspection inspect(const unsigned char* data, std::size_t size) {
  Inspection r;
  if (size < headerSize) { r.problem = "shorter than the image header"; return r; }
  if (std::memcmp(data, magic, sizeof magic) != 0) { r.problem = "bad magic"; return r; }
  if (std::memcmp(data + 8, mainTag, 4) == 0) r.app = App::main;
  else if (std::memcmp(data + 8, subTag, 4) == 0) r.app = App::sub;
  else { r.problem = "unknown application tag"; return r; }
  r.version = readLe32(data + 12);
  if (readLe32(data + 16) != size - headerSize) { r.problem = "length mismatch"; return r; }
  if (readLe32(data + 20) != crc32(data + headerSize, size - headerSize))
    r.problem = "CRC mismatch";
  return r;
}

inline std::string versionText(std::uint32_t v) {
  return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xFF) + "." +
         std::to_string(v & 0xFF);
}

}  // namespace benchfw::image

#endif
