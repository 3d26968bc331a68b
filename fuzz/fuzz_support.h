// What the fuzz targets share: a quiet logger, a scratch file of their own,
// and a way to stop on a broken rule that libFuzzer records as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kiv_clientlog.h"
#include "platform.h"
#include "test_process.h"

namespace kiv::fuzz {

// Messages are formatted (so that their conversions are exercised) and dropped.
inline void quiet_logger() {
  kiv_set_message_handler([](const char*, void*) {}, nullptr);
}

// A file in the temporary folder that only this process uses, removed at exit.
class ScratchFile {
 public:
  explicit ScratchFile(std::string_view name) {
    const char* folder = std::getenv("TMPDIR");
    path_ = folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
    path_ += "/kiv_fuzz_" + std::to_string(kiv::platform::current_process_id()) + "_";
    path_ += name;
  }
  ~ScratchFile() { kiv::platform::delete_file(path_.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const char* path() const { return path_.c_str(); }
  bool write(std::string_view bytes) const {
    std::FILE* file = std::fopen(path_.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
  }

 private:
  std::string path_;
};

[[noreturn]] inline void broken(const char* rule) {
  std::fprintf(stderr, "broken rule: %s\n", rule);
  std::abort();
}

#define KIV_FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::kiv::fuzz::broken(#condition))

}  // namespace kiv::fuzz
