// The settings-file reader, file bytes in: the lookups the report channel
// makes, into buffers of the sizes it uses and of a size taken from the
// input's length, over the bytes in memory and, for the first size, from a
// file as well. Both must agree, and every result must be a terminated text
// within its buffer whose length is the count returned.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "fuzz_support.h"
#include "platform.h"

namespace {

using kiv::fuzz::ScratchFile;
namespace platform = kiv::platform;

struct Lookup {
  const char* section;
  const char* key;
  const char* default_value;
};

constexpr Lookup kLookups[] = {
    {"LOG_SERVERS", "log_servers_dns", ""},
    {"log_servers", "LOG_SERVERS_PORT", ""},
    {"LOG_SERVERS", "missing", "  \"fallback\"  "},
    {"", "", nullptr},
};

ScratchFile* g_file = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static ScratchFile file("loginurl.ini");
  g_file = &file;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto* text = reinterpret_cast<const char*>(data);
  // Larger files are no settings files to the file reader: compared in memory only.
  const bool in_file = size <= (1u << 20) && g_file->write(std::string_view(text, size));
  const uint32_t sizes[] = {64, 8, static_cast<uint32_t>(size % 19)};
  for (const Lookup& lookup : kLookups) {
    for (const uint32_t buffer_size : sizes) {
      // Exactly the size given, so that a write past it is caught.
      const auto memory_out = std::make_unique<char[]>(buffer_size);
      const auto file_out = std::make_unique<char[]>(buffer_size);
      const uint32_t count =
          platform::profile_string_from_text(text, size, lookup.section, lookup.key,
                                             lookup.default_value, memory_out.get(), buffer_size);
      if (buffer_size == 0) {
        KIV_FUZZ_CHECK(count == 0);
        continue;
      }
      KIV_FUZZ_CHECK(count < buffer_size);
      KIV_FUZZ_CHECK(std::strlen(memory_out.get()) <= count);  // a value may hold a NUL byte
      KIV_FUZZ_CHECK(memory_out[count] == '\0');
      // The file is read once per lookup: reading it is the slow part.
      if (!in_file || buffer_size != sizes[0]) continue;
      const uint32_t file_count =
          platform::get_profile_string(lookup.section, lookup.key, lookup.default_value,
                                       file_out.get(), buffer_size, g_file->path());
      KIV_FUZZ_CHECK(file_count == count);
      KIV_FUZZ_CHECK(std::memcmp(file_out.get(), memory_out.get(), count + 1) == 0);
    }
  }
  return 0;
}
