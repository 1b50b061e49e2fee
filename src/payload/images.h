// The firmware images the updater carries: read-only blocks of the program
// image, reached without any file access, sent byte for byte and never
// parsed, copied or altered.
#ifndef BENCHFW_PAYLOAD_IMAGES_H
#define BENCHFW_PAYLOAD_IMAGES_H

#include "payload/image_sizes.h"
#include "visa.h"

extern "C" {
// Defined in the generated images.S; mainAppImageSize and subAppImageSize
// bytes long.
extern const unsigned char mainAppImage[];
extern const unsigned char subAppImage[];
}

namespace benchfw {
using ::mainAppImage;
using ::subAppImage;
// A block header carries the count in nine decimal digits.
static_assert(mainAppImageSize <= 999999999 && subAppImageSize <= 999999999);
}  // namespace benchfw

#endif
