// The TI-TXT reader on arbitrary file contents. The reader takes a path, so each input is
// written to a memory file and read through /proc/self/fd. Besides the sanitizers, the reader's
// own promises are checked: an accepted image has segments whose byte buffers match their
// counts and whose addresses fit 24 bits; a refused file leaves the caller's image untouched.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "titxt_reader.h"

namespace {

int memory_file = -1;
char memory_path[64];

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  memory_file = memfd_create("titxt", 0);
  if (memory_file < 0) std::abort();
  std::snprintf(memory_path, sizeof memory_path, "/proc/self/fd/%d", memory_file);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (ftruncate(memory_file, 0) != 0 || pwrite(memory_file, data, size, 0) != static_cast<ssize_t>(size)) std::abort();

  cardflash::FirmwareImage image;
  image.append({0x1234, 2, {0xAB, 0xCD}});  // what the caller held before
  bool accepted = cardflash::ReadTiTxtImage(memory_path, image);
  if (!accepted) {
    require(image.segment_count() == 1 && image.segment(0).start_address == 0x1234 &&
                image.segment(0).bytes == std::vector<std::uint8_t>{0xAB, 0xCD},
            "a refused file changed the caller's image");
    return 0;
  }
  for (const cardflash::ImageSegment& s : image) {
    require(s.byte_count >= 0 && static_cast<std::size_t>(s.byte_count) == s.bytes.size(),
            "segment byte count differs from its buffer");
    require(s.start_address <= 0xFFFFFF, "address beyond 24 bits");
  }
  return 0;
}
