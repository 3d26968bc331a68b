// Build-time generator: writes the GBK double-byte table (code points of
// lead 0x81-0xFE x trail 0x40-0xFE, 0 where undefined) as a C++ array, so
// that the logger never loads a conversion module while it logs.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "test_system.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  std::string probe;
  if (!kiv::platform::convert_encoding("GBK", "UTF-32LE", "\xB0\xA1", &probe)) {
    std::fprintf(stderr, "no GBK converter\n");
    return 1;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(out, "// Generated from the system's GBK converter. Do not edit.\n");
  std::fprintf(out, "static const unsigned short kGbkTable[126 * 191] = {\n");
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      const char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
      std::string utf32;
      uint32_t code = 0;
      if (kiv::platform::convert_encoding("GBK", "UTF-32LE", std::string_view(in, 2), &utf32) &&
          utf32.size() == 4) {
        const auto byte = [&](int i) { return uint32_t{static_cast<unsigned char>(utf32[i])}; };
        code = byte(0) | (byte(1) << 8) | (byte(2) << 16) | (byte(3) << 24);
        if (code > 0xFFFF) code = 0;  // GBK has no characters outside the BMP
      }
      std::fprintf(out, "0x%04X,%s", code, trail % 12 == 0 ? "\n" : "");
    }
    std::fprintf(out, "\n");
  }
  std::fprintf(out, "};\n");
  return std::fclose(out) == 0 ? 0 : 1;
}
