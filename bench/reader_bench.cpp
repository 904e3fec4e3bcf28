// Reader throughput on a large TI-TXT file, beside Debian's srec_cat reading the same file.
//   bench_reader [MEGABYTES]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "titxt_reader.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
  const double megabytes = argc > 1 ? std::atof(argv[1]) : 3.0;
  const std::string path = "/tmp/cardflash-bench-" + std::to_string(::getpid()) + ".txt";
  std::mt19937 random(7);
  std::size_t data_bytes = 0;
  {
    std::ofstream out(path);
    std::uint32_t address = 0x4400;
    char line[64];
    // srec_cat reads TI-TXT addresses of up to 20 bits: the file stays below 1 MB of address space.
    while (out.tellp() < static_cast<std::streamoff>(megabytes * 1024 * 1024) && address < 0xF0000) {
      std::snprintf(line, sizeof line, "@%06X\n", address);
      out << line;
      int count = 200 + static_cast<int>(random() % 4000);
      if (address + static_cast<std::uint32_t>(count) > 0xFFFF0) count = static_cast<int>(0xFFFF0 - address);
      for (int i = 0; i < count; ++i) {
        std::snprintf(line, sizeof line, (i % 16 == 15 || i == count - 1) ? "%02X\n" : "%02X ", static_cast<unsigned>(random() & 0xFF));
        out << line;
      }
      data_bytes += static_cast<std::size_t>(count);
      address += static_cast<std::uint32_t>(count + 16);
    }
    out << "q\n";
  }
  std::ifstream probe(path, std::ios::ate);
  const double file_mb = static_cast<double>(probe.tellg()) / (1024 * 1024);

  const int runs = 5;
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    cardflash::FirmwareImage image;
    auto t = std::chrono::steady_clock::now();
    if (!cardflash::ReadTiTxtImage(path.c_str(), image)) return 1;
    best = std::min(best, seconds_since(t));
  }
  std::printf("file: %.1f MB of TI-TXT, %zu data bytes\n", file_mb, data_bytes);
  std::printf("ReadTiTxtImage: best of %d runs %.3f s (%.1f MB/s)\n", runs, best, file_mb / best);

  const std::string srec = "srec_cat " + path + " -ti-txt -o /dev/null -intel";
  double srec_best = 1e9;
  for (int i = 0; i < runs; ++i) {
    auto t = std::chrono::steady_clock::now();
    if (std::system(srec.c_str()) != 0) {
      std::printf("srec_cat: not available\n");
      srec_best = -1;
      break;
    }
    srec_best = std::min(srec_best, seconds_since(t));
  }
  if (srec_best > 0)
    std::printf("srec_cat (read + write Intel HEX): best of %d runs %.3f s (%.1f MB/s)\n", runs, srec_best,
                file_mb / srec_best);
  std::remove(path.c_str());
  return 0;
}
