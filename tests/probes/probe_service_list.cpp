// Loads the query library the way a client program does and reads a cached
// service list with one of its two readers. Prints "result=R err=E rows=N"
// on standard output; every logged message goes to standard error, each
// ended by 0x1E.
// usage: probe_service_list LIBRARY_PATH (servers|types) LIST_FILE
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kiv_svcquery.h"
#include "probe_support.h"

namespace {

int g_rows = 0;

void on_row(int32_t, char**, void**, void*) {
  ++g_rows;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s LIBRARY_PATH (servers|types) LIST_FILE\n", argv[0]);
    return 2;
  }
  kiv::probe::frame_messages_on_stderr();
  void* library = kiv::probe::load_or_exit(argv[1]);
  int context = 0;
  int32_t err = -1;
  int32_t result = -1;
  if (std::strcmp(argv[2], "servers") == 0) {
    auto read = kiv::probe::export_of<decltype(&get_data_from_file)>(library, "get_data_from_file");
    if (read == nullptr) return 4;
    result = read(argv[3], on_row, on_row, &context, &err);
  } else {
    auto read = kiv::probe::export_of<decltype(&get_servertype_from_file)>(
        library, "get_servertype_from_file");
    if (read == nullptr) return 4;
    result = read(argv[3], &context, on_row, &err);
  }
  std::printf("result=%d err=%d rows=%d\n", result, err, g_rows);
  kiv::probe::unload(library);
  return 0;
}
