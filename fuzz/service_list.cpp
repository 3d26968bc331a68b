// The cached service-list readers, file bytes in. The first byte decides how
// the rest becomes the file: as it is (bit 0 clear), or compressed with zlib
// first, so that the fuzzer also reaches the JSON beneath the stream. Both
// readers read the file; every row they deliver is checked.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "binding.h"
#include "fuzz_support.h"
#include "kiv_svcquery.h"

namespace {

using kiv::fuzz::ScratchFile;

// Text fields: their place in the row and the size of their value buffer.
struct TextField {
  int32_t index;
  size_t size;
};

constexpr const char* kServerNames[] = {
    "payId",       "product",   "serverId",   "area",       "charge",      "serverIp",    "userbw",
    "paramValue2", "maxOnline", "serverName", "serverType", "paramValue1", "userablePer", "msg"};
constexpr TextField kServerTexts[] = {{6, 64}, {9, 64}, {10, 17}, {13, 128}};
constexpr int32_t kAddressSlot = 5;
constexpr const char* kAddressNames[] = {"ip", "net", "IPv6", "id"};
constexpr TextField kAddressTexts[] = {{0, 17}};
constexpr const char* kTypeNames[] = {"id", "name", "pid", "level"};
constexpr TextField kTypeTexts[] = {{0, 10}, {1, 32}, {2, 64}};

// What the callbacks saw during one call.
struct Seen {
  int calls = 0;
  int addresses_of_server = 0;  // address rows since the last server row
};
Seen g_seen;
int g_context;
char g_address_list;  // what the address callback stores in the slot

template <size_t N, size_t M>
void check_row(int32_t count, char** names, void** values, const char* const (&expected)[N],
               const TextField (&texts)[M]) {
  ++g_seen.calls;
  KIV_FUZZ_CHECK(count == static_cast<int32_t>(N));
  KIV_FUZZ_CHECK(names != nullptr && values != nullptr);
  for (size_t i = 0; i < N; ++i) KIV_FUZZ_CHECK(std::strcmp(names[i], expected[i]) == 0);
  for (const TextField& text : texts) {
    const char* value = static_cast<const char*>(values[text.index]);
    KIV_FUZZ_CHECK(value != nullptr && ::strnlen(value, text.size) < text.size);
  }
}

void on_server(int32_t count, char** names, void** values, void* context) {
  check_row(count, names, values, kServerNames, kServerTexts);
  KIV_FUZZ_CHECK(context == &g_context);
  // The slot holds what this server's address callbacks left, or null.
  KIV_FUZZ_CHECK(values[kAddressSlot] ==
                 (g_seen.addresses_of_server > 0 ? &g_address_list : nullptr));
  g_seen.addresses_of_server = 0;
}

void on_address(int32_t count, char** names, void** values, void* slot) {
  check_row(count, names, values, kAddressNames, kAddressTexts);
  void** list = static_cast<void**>(slot);
  KIV_FUZZ_CHECK(list != nullptr);
  KIV_FUZZ_CHECK(*list == (g_seen.addresses_of_server > 0 ? &g_address_list : nullptr));
  *list = &g_address_list;
  ++g_seen.addresses_of_server;
}

void on_type(int32_t count, char** names, void** values, void* context) {
  check_row(count, names, values, kTypeNames, kTypeTexts);
  KIV_FUZZ_CHECK(context == &g_context);
}

const std::set<int32_t> kReaderCodes = {0, 1, 4, 7, 8, 102, 114, 115, 116, 10003};

void check_outcome(int32_t code, int32_t err) {
  KIV_FUZZ_CHECK(kReaderCodes.count(code) == 1);
  // Every failure comes before the first callback.
  KIV_FUZZ_CHECK(code == 0 || g_seen.calls == 0);
  if (code == 0) KIV_FUZZ_CHECK(err != 0);
  if (code == 115) KIV_FUZZ_CHECK(err == 0);
}

ScratchFile* g_file = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kiv::svcquery::attach();
  kiv::fuzz::quiet_logger();
  static ScratchFile file("list.dat");
  g_file = &file;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string bytes;
  if ((data[0] & 1) != 0) {
    uLongf packed_size = compressBound(static_cast<uLong>(rest.size()));
    bytes.resize(packed_size);
    if (compress(reinterpret_cast<Bytef*>(bytes.data()), &packed_size,
                 reinterpret_cast<const Bytef*>(rest.data()),
                 static_cast<uLong>(rest.size())) != Z_OK) {
      return 0;
    }
    bytes.resize(packed_size);
  } else {
    bytes.assign(rest);
  }
  if (!g_file->write(bytes)) return 0;

  int32_t err = -1;
  g_seen = {};
  const int32_t servers =
      get_data_from_file(g_file->path(), on_server, on_address, &g_context, &err);
  check_outcome(servers, err);
  KIV_FUZZ_CHECK(g_seen.addresses_of_server == 0);  // every server's addresses came before it

  const int32_t servers_err = err;
  err = -1;
  g_seen = {};
  const int32_t types = get_servertype_from_file(g_file->path(), &g_context, on_type, &err);
  check_outcome(types, err);
  // Both read the same file: the steps they share end the same way.
  if (servers != 0 && servers != 116) KIV_FUZZ_CHECK(types == servers && err == servers_err);
  return 0;
}
