#include "servers.h"

#include <kiv_svcquery.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>

#include "commands.h"
#include "platform.h"
#include "program.h"
#include "query.h"

namespace kiv::tool {
namespace {

enum class FieldType { kInt, kFloat, kText, kAddressList };

struct FieldSpec {
  const char* name;
  FieldType type;
  size_t text_size;  // the library's buffer size for texts
};

// The fields of each row kind, by the names the readers deliver.
constexpr FieldSpec kServerFields[] = {
    {"payId", FieldType::kInt, 0},         {"product", FieldType::kInt, 0},
    {"serverId", FieldType::kInt, 0},      {"area", FieldType::kInt, 0},
    {"charge", FieldType::kInt, 0},        {"serverIp", FieldType::kAddressList, 0},
    {"userbw", FieldType::kText, 64},      {"paramValue2", FieldType::kInt, 0},
    {"maxOnline", FieldType::kInt, 0},     {"serverName", FieldType::kText, 64},
    {"serverType", FieldType::kText, 17},  {"paramValue1", FieldType::kFloat, 0},
    {"userablePer", FieldType::kFloat, 0}, {"msg", FieldType::kText, 128},
};
constexpr FieldSpec kAddressFields[] = {
    {"ip", FieldType::kText, 17},
    {"net", FieldType::kInt, 0},
    {"IPv6", FieldType::kInt, 0},
    {"id", FieldType::kInt, 0},
};
constexpr FieldSpec kServerTypeFields[] = {
    {"id", FieldType::kText, 10},
    {"name", FieldType::kText, 32},
    {"pid", FieldType::kText, 64},
    {"level", FieldType::kInt, 0},
};

// What one reader call collected; the address lists are ours, and the
// library hands their addresses back through each server's slot.
struct Collected {
  std::deque<Json> address_lists;
  std::vector<Json> rows;
};

thread_local Collected* t_collected = nullptr;

template <size_t N>
const FieldSpec* spec_of(const FieldSpec (&specs)[N], const char* name) {
  for (const auto& spec : specs) {
    if (std::strcmp(spec.name, name) == 0) return &spec;
  }
  return nullptr;
}

json_object* address_list_json(void* slot_value) {
  if (slot_value == nullptr || t_collected == nullptr) return json_object_new_array();
  for (auto& list : t_collected->address_lists) {
    if (list.get() == slot_value) return json_object_get(list.get());
  }
  return nullptr;  // a pointer that is not one of ours: not followed
}

template <size_t N>
Json row_json(const FieldSpec (&specs)[N], int32_t count, char** names, void** values) {
  Json row(json_object_new_object());
  for (int32_t i = 0; names != nullptr && values != nullptr && i < count && i < 64; ++i) {
    if (names[i] == nullptr) continue;
    const std::string name(names[i], ::strnlen(names[i], 64));
    const FieldSpec* spec = spec_of(specs, name.c_str());
    json_object* value = nullptr;
    if (spec != nullptr && spec->type == FieldType::kAddressList) {
      value = address_list_json(values[i]);
    } else if (values[i] == nullptr) {
      value = nullptr;
    } else if (spec == nullptr || spec->type == FieldType::kInt) {
      int32_t number = 0;
      std::memcpy(&number, values[i], sizeof number);
      value = json_object_new_int(number);
    } else if (spec->type == FieldType::kFloat) {
      float number = 0;
      std::memcpy(&number, values[i], sizeof number);
      value = json_float(number);
    } else {
      const char* text = static_cast<const char*>(values[i]);
      value = json_text(display(std::string(text, ::strnlen(text, spec->text_size))));
    }
    json_add(row.get(), name.c_str(), value);
  }
  return row;
}

void on_address(int32_t count, char** names, void** values, void* slot_pointer) {
  if (t_collected == nullptr || slot_pointer == nullptr) return;
  void** slot = static_cast<void**>(slot_pointer);
  json_object* list = nullptr;
  for (auto& ours : t_collected->address_lists) {
    if (ours.get() == *slot) list = ours.get();
  }
  if (list == nullptr) {  // the server's first address: start its list
    t_collected->address_lists.emplace_back(json_object_new_array());
    list = t_collected->address_lists.back().get();
    *slot = list;
  }
  json_object_array_add(list, row_json(kAddressFields, count, names, values).release());
}

void on_server(int32_t count, char** names, void** values, void*) {
  if (t_collected != nullptr)
    t_collected->rows.push_back(row_json(kServerFields, count, names, values));
}

void on_server_type(int32_t count, char** names, void** values, void*) {
  if (t_collected != nullptr) {
    t_collected->rows.push_back(row_json(kServerTypeFields, count, names, values));
  }
}

// A saved list inflates to at most 30720 bytes, which zlib packs into
// fewer than 31 KB: a file much larger is no list, and the reader would
// take it whole before finding that out.
constexpr uint64_t kListFileLimit = 64u << 10;

// The list file is a regular file of a size a list can have; UsageError otherwise.
void check_list_file(const std::string& file) {
  platform::File opened(platform::open_regular_for_reading(file.c_str(), true));
  uint64_t size = 0;
  if (!opened || !platform::file_size(opened.get(), &size)) {
    throw UsageError("cannot read " + file + ": " +
                     platform::file_error_line(platform::last_error()));
  }
  if (size > kListFileLimit) {
    throw UsageError("cannot read " + file + ": larger (" + std::to_string(size) +
                     " bytes) than a saved service list can be (" + std::to_string(kListFileLimit) +
                     " bytes)");
  }
}

ListOutcome finish(const char* name, int32_t code, int32_t err, Collected& collected) {
  ListOutcome out;
  out.code = code;
  out.meaning = code_meaning(name, code);
  // The readers write "err" once the list has parsed, and a parsed list
  // whose "err" is 0 always gives KIV_E_LIST_REFUSED: starting from 0, any
  // other result left 0 only where nothing was written.
  const bool written = code == KIV_E_LIST_REFUSED || err != 0;
  out.err.reset(written ? json_object_new_int(err) : nullptr);
  if (code == 0) {
    out.rows.reset(json_object_new_array());
    for (auto& row : collected.rows) json_object_array_add(out.rows.get(), row.release());
  }
  return out;
}

// Points the callbacks at `collected` for one call.
class CollectFor {
 public:
  explicit CollectFor(Collected* collected) { t_collected = collected; }
  ~CollectFor() { t_collected = nullptr; }
  CollectFor(const CollectFor&) = delete;
  CollectFor& operator=(const CollectFor&) = delete;
};

}  // namespace

ListOutcome read_servers(const std::string& file) {
  auto call = KIV_SVCQUERY_EXPORT(get_data_from_file);
  Collected collected;
  int32_t err = 0;
  int32_t code = 0;
  {
    CollectFor collect(&collected);
    LibraryOutput divert;
    code = call(file.c_str(), &on_server, &on_address, &collected, &err);
  }
  return finish("get_data_from_file", code, err, collected);
}

ListOutcome read_server_types(const std::string& file) {
  auto call = KIV_SVCQUERY_EXPORT(get_servertype_from_file);
  Collected collected;
  int32_t err = 0;
  int32_t code = 0;
  {
    CollectFor collect(&collected);
    LibraryOutput divert;
    code = call(file.c_str(), &collected, &on_server_type, &err);
  }
  return finish("get_servertype_from_file", code, err, collected);
}

namespace {

Command add_reader_command(CLI::App& app, const char* name, const char* description,
                           const char* export_name, ListOutcome (*read)(const std::string&)) {
  struct Arguments {
    std::string file;
    bool json = false;
  };
  auto args = std::make_shared<Arguments>();
  CLI::App* sub = app.add_subcommand(name, description);
  sub->add_option("FILE", args->file, "A service list saved by http_access_protocol2")->required();
  sub->add_flag("--json", args->json, "Print one JSON document");
  sub->footer("Exit status: 0 when the result code is 0, 1 for any other code, 2 for bad input.");
  Command command;
  command.app = sub;
  command.run = [args, export_name, read]() {
    check_list_file(args->file);
    const ListOutcome out = read(args->file);
    if (args->json) {
      Json doc(json_object_new_object());
      json_add(doc.get(), "reader", json_text(export_name));
      json_add(doc.get(), "file", json_text(args->file));
      json_add(doc.get(), "result", json_object_new_int(out.code));
      json_add(doc.get(), "meaning", json_text(out.meaning));
      json_add(doc.get(), "err", out.err ? json_object_get(out.err.get()) : nullptr);
      json_add(doc.get(), "rows", out.rows ? json_object_get(out.rows.get()) : nullptr);
      std::fputs(json_document(doc.get()).c_str(), stdout);
    } else {
      std::printf("%s: %d (%s)", export_name, out.code, out.meaning.c_str());
      if (out.err) std::printf(", err %d", json_object_get_int(out.err.get()));
      std::printf("\n");
      if (out.rows) {
        const size_t count = json_object_array_length(out.rows.get());
        if (count == 0) std::printf("  (no rows)\n");
        // Addresses get their own table, keyed by server.
        Json table(json_object_new_array());
        Json addresses(json_object_new_array());
        for (size_t i = 0; i < count; ++i) {
          json_object* row = json_object_array_get_idx(out.rows.get(), i);
          json_object* shown = json_object_new_object();
          json_object_object_foreach(row, key, value) {
            if (std::strcmp(key, "serverIp") != 0) {
              json_add(shown, key, json_object_get(value));
              continue;
            }
            json_object* server_id = nullptr;
            json_object_object_get_ex(row, "serverId", &server_id);
            const size_t n =
                json_object_is_type(value, json_type_array) ? json_object_array_length(value) : 0;
            json_add(shown, "addresses", json_object_new_int(static_cast<int32_t>(n)));
            for (size_t a = 0; a < n; ++a) {
              json_object* address = json_object_new_object();
              json_add(address, "serverId", json_object_get(server_id));
              json_object* entry = json_object_array_get_idx(value, a);
              if (!json_object_is_type(entry, json_type_object)) continue;
              json_object_object_foreach(entry, k, v) {
                json_add(address, k, json_object_get(v));
              }
              json_object_array_add(addresses.get(), address);
            }
          }
          json_object_array_add(table.get(), shown);
        }
        if (count > 0) print_table(stdout, table.get(), "  ");
        if (json_object_array_length(addresses.get()) > 0) {
          std::printf("\n");
          print_table(stdout, addresses.get(), "  ");
        }
      }
    }
    return out.code == 0 ? kExitOk : kExitFailed;
  };
  return command;
}

}  // namespace

Command add_servers_commands(CLI::App& app, Command* server_types) {
  *server_types =
      add_reader_command(app, "server-types", "Read the server types of a saved service list",
                         "get_servertype_from_file", &read_server_types);
  return add_reader_command(app, "servers", "Read the relay servers of a saved service list",
                            "get_data_from_file", &read_servers);
}

}  // namespace kiv::tool
