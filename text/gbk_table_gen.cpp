// Build-time generator: writes the GBK double-byte table (code points of
// lead 0x81-0xFE x trail 0x40-0xFE, 0 where undefined) as a C++ array, so
// that the logger never loads a conversion module while it logs.
#include <iconv.h>

#include <cstdint>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  iconv_t cd = iconv_open("UTF-32LE", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    std::perror("iconv_open GBK");
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
      char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
      uint8_t buffer[8] = {};
      char* in_ptr = in;
      size_t in_left = 2;
      char* out_ptr = reinterpret_cast<char*>(buffer);
      size_t out_left = sizeof buffer;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      uint32_t code = 0;
      if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) != static_cast<size_t>(-1) &&
          in_left == 0 && out_left == sizeof buffer - 4) {
        code = buffer[0] | (buffer[1] << 8) | (buffer[2] << 16) | (uint32_t{buffer[3]} << 24);
        if (code > 0xFFFF) code = 0;  // GBK has no characters outside the BMP
      }
      std::fprintf(out, "0x%04X,%s", code, trail % 12 == 0 ? "\n" : "");
    }
    std::fprintf(out, "\n");
  }
  std::fprintf(out, "};\n");
  iconv_close(cd);
  return std::fclose(out) == 0 ? 0 : 1;
}
