// The cached service-list readers: the file that http_access_protocol2 saved
// is read, inflated and parsed, and its servers, their addresses and the
// server types are handed to the caller's row callbacks one by one.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "binding.h"
#include "export_guard.h"
#include "failure_report.h"
#include "heap.h"
#include "json_access.h"
#include "kiv_clientlog.h"
#include "kiv_svcquery.h"
#include "platform.h"
#include "query_messages.h"
#include "report_numbers.h"
#include "rows.h"
#include "transport.h"

namespace kiv::svcquery {

namespace {

using rows::Absent;
using rows::Field;
using rows::Kind;

// The list is inflated into this many bytes; one more stays 0 so that a text
// that fills them exactly is still terminated.
constexpr std::size_t kListTextCapacity = 30720;

constexpr Field kServerFields[] = {
    {"payId", "payId", Kind::kInt, 0, Absent::kKeep},
    {"product", "product", Kind::kInt, 0, Absent::kKeep},
    {"serverId", "id", Kind::kInt, 0, Absent::kKeep},
    {"area", "area", Kind::kInt, 0, Absent::kKeep},
    {"charge", "charge", Kind::kBool, 0, Absent::kKeep},
    {"serverIp", "serverip", Kind::kSlot, 0, Absent::kKeep},
    {"userbw", "userbw", Kind::kText, 64, Absent::kClear},
    {"paramValue2", "paramValue2", Kind::kInt, 0, Absent::kKeep},
    {"maxOnline", "maxOnline", Kind::kInt, 0, Absent::kKeep},
    {"serverName", "serverName", Kind::kText, 64, Absent::kClear},
    {"serverType", "serverType", Kind::kText, 17, Absent::kClear},
    {"paramValue1", "paramValue1", Kind::kFloat, 0, Absent::kKeep},
    {"userablePer", "userablePer", Kind::kFloat, 0, Absent::kKeep},
    {"msg", "msg", Kind::kText, 128, Absent::kClear},
};
constexpr std::size_t kAddressListField = 5;
static_assert(kServerFields[kAddressListField].kind == Kind::kSlot);

constexpr Field kAddressFields[] = {
    {"ip", "ip", Kind::kText, 17, Absent::kClear},
    {"net", "net", Kind::kInt, 0, Absent::kKeep},
    {"IPv6", "IPv6", Kind::kInt, 0, Absent::kKeep},
    {"id", "id", Kind::kInt, 0, Absent::kClear},
};

constexpr Field kServerTypeFields[] = {
    {"id", "id", Kind::kText, 10, Absent::kClear},
    {"name", "name", Kind::kText, 32, Absent::kClear},
    {"pid", "pid", Kind::kText, 64, Absent::kClear},
    {"level", "level", Kind::kInt, 0, Absent::kKeep},
};

constexpr char kParamError[] = "ERROR: PARAM, in get_data_from_file()";
constexpr char kNoServiceList[] = "No service list";

// zlib and the JSON library are called only when bound; without them the
// list can't be read at all, which is said before the file is touched.
int32_t check_bindings(const char* export_name) noexcept {
  if (!uncompress_bound()) {
    kiv_show_message("Error: zlib1.dll is not bound, in %s()", export_name);
    return KIV_E_UNCOMPRESS;
  }
  if (!json_bound()) {
    kiv_show_message("Error: kiv_json.dll is not bound, in %s()", export_name);
    return KIV_E_NOT_JSON_114;
  }
  return KIV_OK;
}

// Reads `byte_count` bytes of the open list file into `buffer`. It reads
// from the handle that the size was taken from: opening the name a second
// time could meet a list saved since, of another size.
int32_t read_local_data_from_file(void* buffer, const platform::File& file,
                                  std::size_t byte_count) noexcept {
  if (buffer == nullptr || !file) {
    kiv_show_message("Error: PARAM, in read_local_data_from_file()");
    report::missing_argument(func_id::kDataFromFile, "read_local_data_from_file");
    return KIV_E_MISSING_ARGUMENT;
  }
  // Reads on until the count is in; a file that ends early (it was cut
  // since its size was taken) is a failed read too, as the rest of the
  // buffer would otherwise be parsed as if it were data. Such a read leaves
  // no error number, so nothing is reported for it.
  platform::set_last_error(0);
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  bool ok = true;
  while (ok && done < byte_count) {
    std::size_t got = 0;
    ok = platform::read_file(file.get(), bytes + done, byte_count - done, &got) && got != 0;
    done += got;
  }
  if (!ok) {
    kiv_show_message("Error: Failed to call ReadFile, in read_local_data_from_file()");
    report::system_call_failed(func_id::kDataFromFile, "ReadFile");
    return KIV_E_FILE_READ;
  }
  return KIV_OK;
}

// The JSON library had no memory for a member's text while the list was
// walked: the walk ends there, the rows delivered so far are whole.
int32_t text_failed(int32_t func_id) noexcept {
  const int error = platform::last_error();
  kiv_show_message("ERROR: Failed to alloc memory, in get_data_from_file()");
  platform::set_last_error(error);
  report::system_call_failed(func_id, "malloc");
  return KIV_E_NO_MEMORY;
}

// Reads, inflates and parses the list file. On success `document` holds the
// list and "err" (non-zero) is in *err_value; *err_value is written as soon
// as the text has parsed.
int32_t load_list(const char* file_name, int32_t func_id, json::Document& document,
                  int32_t* err_value) noexcept {
  platform::File file(platform::open_for_reading(file_name));
  if (!file) {
    kiv_show_message("Error: Failed to call OpenFile, in get_data_from_file() ");
    report::system_call_failed(func_id, "OpenFile");
    return KIV_E_FILE_OPEN;
  }
  uint64_t file_bytes = 0;
  if (!platform::file_size(file.get(), &file_bytes)) {
    kiv_show_message("Error: Failed to call GetFileSize, in get_data_from_file ");
    report::system_call_failed(func_id, "GetFileSize");
    return KIV_E_FILE_SIZE;
  }
  // The writer never saves more than one answer's bytes: a larger file is
  // none of its lists, and is refused as a failed read before any memory is
  // taken for it.
  if (file_bytes > transport::kAnswerLimit) {
    platform::set_last_error(platform::file_too_large_error());
    kiv_show_message("Error: Failed to call ReadFile, in read_local_data_from_file()");
    report::system_call_failed(func_id, "ReadFile");
    return KIV_E_FILE_READ;
  }

  // An empty file still gets a block, so that it fails as an empty stream.
  // Neither block is cleared: the read fills the first whole, and the text
  // is ended after inflating.
  HeapPtr<unsigned char> packed =
      heap_allocate<unsigned char>(std::max<std::size_t>(static_cast<std::size_t>(file_bytes), 1));
  HeapPtr<char> text = heap_allocate<char>(kListTextCapacity + 1);
  if (!packed || !text) {
    kiv_show_message("ERROR: Failed to alloc memory, in get_data_from_file()");
    report::system_call_failed(func_id, "malloc");
    return KIV_E_NO_MEMORY;
  }
  const auto packed_bytes = static_cast<std::size_t>(file_bytes);

  const int32_t read = read_local_data_from_file(packed.get(), file, packed_bytes);
  if (read != KIV_OK) return read;
  file.reset();

  uLongf text_bytes = kListTextCapacity;
  const int inflated = bindings().zlib.uncompress(reinterpret_cast<Bytef*>(text.get()), &text_bytes,
                                                  packed.get(), static_cast<uLong>(packed_bytes));
  if (inflated != Z_OK) {
    kiv_show_message("Error: Failed to call uncompress, in get_data_from_file()1");
    report::zlib_failed(func_id, "uncompress", inflated);
    return KIV_E_UNCOMPRESS;
  }
  packed.reset();
  text.get()[text_bytes] = '\0';

  document = json::Document::parse(text.get());
  if (!document) {
    kiv_show_message("ERROR : Failed to call json_tokener_parser, in get_data_from_file()");
    return KIV_E_NOT_JSON_114;
  }
  *err_value = json::int_member(document.root(), "err");
  if (*err_value == 0) {
    kiv_show_message(msg::kUserVerifyFailed);
    return KIV_E_LIST_REFUSED;
  }
  return KIV_OK;
}

// What both readers do before their walk: missing arguments are refused
// (logged under the first reader's name), the bindings checked, the file
// read and the list named `list_name` found in it. On success `*list` is
// that list inside `document`.
int32_t open_list(const char* export_name, int32_t func_id, bool arguments_present,
                  const char* file_name, const char* list_name, json::Document& document,
                  int32_t* err_value, const json_object** list) noexcept {
  if (!arguments_present) {
    kiv_show_message(kParamError);
    report::missing_argument(func_id, export_name);
    return KIV_E_MISSING_ARGUMENT;
  }
  if (const int32_t code = check_bindings(export_name); code != KIV_OK) return code;
  const int32_t loaded = load_list(file_name, func_id, document, err_value);
  if (loaded != KIV_OK) return loaded;
  *list = json::member(document.root(), list_name);
  if (*list == nullptr) {
    kiv_show_message(kNoServiceList);
    return KIV_E_NO_LIST;
  }
  return KIV_OK;
}

}  // namespace
}  // namespace kiv::svcquery

using namespace kiv::svcquery;

namespace {

int32_t data_from_file(const char* file_name, row_callback server_callback,
                       row_callback server_ip_callback, void* context, int32_t* err_value) {
  rows::RowSet servers;
  rows::RowSet addresses;
  if (!servers.allocate(kServerFields) || !addresses.allocate(kAddressFields)) {
    return KIV_E_NO_ROW_MEMORY;
  }
  // Null callbacks or a null err_value would bring the client down: they are
  // refused like the other required arguments.
  const bool present = file_name != nullptr && context != nullptr && server_callback != nullptr &&
                       server_ip_callback != nullptr && err_value != nullptr;
  json::Document document;
  const json_object* list = nullptr;
  if (const int32_t code = open_list("get_data_from_file", func_id::kDataFromFile, present,
                                     file_name, "server", document, err_value, &list);
      code != KIV_OK) {
    return code;
  }

  const char* const address_member = kServerFields[kAddressListField].member;
  const bool walked = json::for_each_object(list, [&](const json_object* server) {
    if (!servers.fill(server)) return false;
    // The callbacks may build the server's address list in this slot.
    void* address_list = nullptr;
    const bool addressed = json::for_each_object(
        json::member(server, address_member), [&](const json_object* address) {
          if (!addresses.fill(address)) return false;
          addresses.deliver(server_ip_callback, &address_list);
          return true;
        });
    if (!addressed) return false;
    servers.set_slot(kAddressListField, address_list);
    servers.deliver(server_callback, context);
    return true;
  });
  return walked ? KIV_OK : text_failed(func_id::kDataFromFile);
}

int32_t servertype_from_file(const char* file_name, void* context,
                             row_callback server_type_callback, int32_t* err_value) {
  const bool present = file_name != nullptr && context != nullptr &&
                       server_type_callback != nullptr && err_value != nullptr;
  json::Document document;
  const json_object* list = nullptr;
  if (const int32_t code = open_list("get_servertype_from_file", func_id::kServerTypeFromFile,
                                     present, file_name, "serverType", document, err_value, &list);
      code != KIV_OK) {
    return code;
  }

  rows::RowSet types;
  if (!types.allocate(kServerTypeFields)) return KIV_E_NO_ROW_MEMORY;
  const bool walked = json::for_each_object(list, [&](const json_object* type) {
    if (!types.fill(type)) return false;
    types.deliver(server_type_callback, context);
    return true;
  });
  return walked ? KIV_OK : text_failed(func_id::kServerTypeFromFile);
}

}  // namespace

extern "C" KIV_SVCQUERY_API int32_t get_data_from_file(const char* file_name,
                                                       row_callback server_callback,
                                                       row_callback server_ip_callback,
                                                       void* context, int32_t* err_value) {
  return guarded("get_data_from_file", KIV_E_NO_MEMORY, [&] {
    return data_from_file(file_name, server_callback, server_ip_callback, context, err_value);
  });
}

extern "C" KIV_SVCQUERY_API int32_t get_servertype_from_file(const char* file_name, void* context,
                                                             row_callback server_type_callback,
                                                             int32_t* err_value) {
  return guarded("get_servertype_from_file", KIV_E_NO_MEMORY, [&] {
    return servertype_from_file(file_name, context, server_type_callback, err_value);
  });
}
