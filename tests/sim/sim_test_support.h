// Small helpers shared by the simulator's tests.
#ifndef BENCHFW_TESTS_SIM_SUPPORT_H
#define BENCHFW_TESTS_SIM_SUPPORT_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "payload/image_format.h"

namespace benchfw::sim::testing_support {

// A valid placeholder image of `size` bytes for `app` (the layout the
// build's generator writes), with line feeds and NULs in its payload.
inline std::vector<std::uint8_t> makeImage(bool main, std::size_t size, std::uint32_t version) {
  std::vector<std::uint8_t> img(size);
  std::memcpy(img.data(), image::magic, 8);
  std::memcpy(img.data() + 8, main ? image::mainTag : image::subTag, 4);
  const auto put = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) img[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  for (std::size_t i = image::headerSize; i < size; ++i)
    img[i] = static_cast<std::uint8_t>(i % 3 == 0 ? '\n' : i % 3 == 1 ? 0 : i);
  put(12, version);
  put(16, static_cast<std::uint32_t>(size - image::headerSize));
  put(20, image::crc32(img.data() + image::headerSize, size - image::headerSize));
  return img;
}

// "<command> #9<nine digits><bytes>\n", as the updater sends a download.
inline std::string downloadMessage(const std::string& command, const std::vector<std::uint8_t>& img) {
  char count[16];
  std::snprintf(count, sizeof count, "%09zu", img.size());
  return command + " #9" + count + std::string(img.begin(), img.end()) + "\n";
}

}  // namespace benchfw::sim::testing_support

#endif
