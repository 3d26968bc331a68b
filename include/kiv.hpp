// C++ interface to the accelerator's client libraries (kiv_svcquery,
// kiv_logsend, kiv_clientlog): header-only, C++17, over their C exports.
//
// It adds no export and nothing to the wire: each function below calls the
// one C export it is named after, with the same request, so the service sees
// the same requests, the log server the same datagrams, and the files written
// are the same. What it takes off the caller is the C glue: fixed-size
// buffers, row callbacks with void* contexts, telling a written record from
// an untouched one, NUL-terminated copies of texts, and the lifetime of a
// message handler.
//
// - Results. A query returns kiv::result<T>: either its value (ok(), value())
//   or the export's result code (code(), name(): KIV_E_TRANSFER and the
//   others of kiv_svcquery.h). ok() is true exactly when code() is KIV_OK.
// - Texts are std::string and std::string_view of bytes in the client's code
//   page, passed and returned unconverted, as the C exports take them. The C
//   exports end a text at its first NUL byte, so a text argument that holds
//   one is cut there.
// - Errors are never thrown: this header needs no exceptions and compiles
//   with -fno-exceptions. It allocates with the standard library, which,
//   without exceptions, ends the program when no memory is left. A callable
//   handed to a list reader or delay query may throw when exceptions are on:
//   the exception is kept, no further rows are handed over, and it is thrown
//   again once the C export has returned.
// - Threads: every function may be called from any thread, as the exports
//   may; callables run on the calling thread, before the function returns.
// - Binding. By default the functions call the exports the program links
//   (kiv::svcquery and kiv::logsend in CMake). A program that loads the
//   libraries itself (dlopen, LoadLibraryA) fills a kiv::svcquery_exports or
//   kiv::logsend_exports with bind() and passes it as the last argument; the
//   header then references no export at link time.
// - Blocking, result codes per export, and what each record field means are
//   as the C headers document them; each function below names its export.
#ifndef KIV_HPP
#define KIV_HPP

#if defined(_MSVC_LANG) ? _MSVC_LANG < 201703L : __cplusplus < 201703L
#error "kiv.hpp needs C++17 or later"
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "kiv_clientlog.h"
#include "kiv_logsend.h"
#include "kiv_svcquery.h"

namespace kiv {

// ---- Results ----------------------------------------------------------------

// The primary name of a result code ("KIV_OK", "KIV_E_TRANSFER", ...; see
// kiv_result_name), or an empty view for a value that is not a code.
inline std::string_view result_name(int32_t code) noexcept {
  const char* name = kiv_result_name(code);
  return name != nullptr ? std::string_view(name) : std::string_view();
}

// The value of a call that succeeded, or the result code of one that did not.
template <typename T>
class result {
 public:
  static result success(T value) {
    result r;
    r.value_.emplace(std::move(value));
    return r;
  }
  // `code` is the export's nonzero result code.
  static result failure(int32_t code) noexcept {
    result r;
    r.code_ = code;
    return r;
  }

  bool ok() const noexcept { return value_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  // KIV_OK, or the export's result code.
  int32_t code() const noexcept { return code_; }
  // The code's primary name ("KIV_OK" on success).
  std::string_view name() const noexcept { return result_name(code_); }

  // The value; only when ok().
  T& value() & noexcept { return *value_; }
  const T& value() const& noexcept { return *value_; }
  T&& value() && noexcept { return std::move(*value_); }
  T& operator*() & noexcept { return *value_; }
  const T& operator*() const& noexcept { return *value_; }
  T&& operator*() && noexcept { return std::move(*value_); }
  T* operator->() noexcept { return &*value_; }
  const T* operator->() const noexcept { return &*value_; }

 private:
  result() = default;
  int32_t code_ = KIV_OK;
  std::optional<T> value_;
};

// The outcome of a call that has no value: success, or its result code.
template <>
class result<void> {
 public:
  static result success() noexcept { return result(KIV_OK); }
  static result failure(int32_t code) noexcept { return result(code); }

  bool ok() const noexcept { return code_ == KIV_OK; }
  explicit operator bool() const noexcept { return ok(); }
  int32_t code() const noexcept { return code_; }
  std::string_view name() const noexcept { return result_name(code_); }

 private:
  explicit result(int32_t code) noexcept : code_(code) {}
  int32_t code_;
};

// ---- Records and rows ---------------------------------------------------------

// The six leading arguments of every query and transport export.
struct request_head {
  std::string host;               // the web service's host name or dotted IPv4 address
  std::string url;                // path (and query) after the "/" that follows the port
  uint32_t port = 0;              // TCP port
  std::string protocol = "http";  // a label that is only logged
  std::string request;            // the request text, sent as it is (request_size: its length)
};
// A request longer than an int32_t can count is not sent: KIV_E_MISSING_ARGUMENT,
// as the exports give for a negative size.

// get_verification_from_service. When err is 0 (the account was refused),
// the other fields are left at 0 and empty.
struct verification {
  int32_t err = 0;
  int32_t haveTime = 0;
  int32_t expired = 0;
  int32_t usepay = 0;
  std::string ut;
  std::string msg;
  int32_t bindUnvalide = 0;
  std::string ed;
  std::string endBind;
};

// get_kiv_adLink_from_service. err is the service's "err": 0 when it gave
// no link (the texts are then empty), otherwise the value the export returned.
struct ad_link {
  int32_t err = 0;
  std::string key;
  std::string ref;
  std::string url;
  std::string ref1;
};

// get_kiv_client_title_from_service; err as in ad_link.
struct client_title {
  int32_t err = 0;
  int32_t id = 0;
  std::string title;
  std::string url;
  int32_t usertype = 0;
  std::string msg;
  int32_t isopen = 0;
  int32_t isbind = 0;
};

// get_loginvpn_from_service and check_hangup_from_service: the answer's
// "err" and its message ("msg", or "usermsg" for the hang-up check).
struct dial_check {
  int32_t err = 0;
  std::string message;
};

// get_vpn_info. Members the answer lacked are empty, or 0.
struct vpn_connection {
  std::string VPNIP;
  std::string LocalOutIP;
  int32_t VPNPort = 0;
};

// get_serverdelay_from_server: one element of "gamedelay".
struct server_delay {
  int32_t gameid = 0;
  int32_t serverid = 0;
  int32_t delay = 0;
};

// get_areadelay_from_server: one element of "gamedelay".
struct area_delay {
  int32_t nodeId = 0;
  int32_t areaId = 0;
  int32_t delay = 0;
};

// get_data_from_file: one address of a relay server.
struct server_address {
  std::string ip;
  int32_t net = 0;
  int32_t IPv6 = 0;
  int32_t id = 0;
};

// get_data_from_file: one relay server, with its addresses in list order.
// Texts are cut as the export cuts them; absent numbers keep the previous
// server's values, as the export hands them over.
struct server {
  int32_t payId = 0;
  int32_t product = 0;
  int32_t serverId = 0;
  int32_t area = 0;
  bool charge = false;
  std::vector<server_address> serverIp;
  std::string userbw;
  int32_t paramValue2 = 0;
  int32_t maxOnline = 0;
  std::string serverName;
  std::string serverType;
  float paramValue1 = 0.0f;
  float userablePer = 0.0f;
  std::string msg;
};

// get_servertype_from_file: one element of "serverType".
struct server_type {
  std::string id;
  std::string name;
  std::string pid;
  int32_t level = 0;
};

// ---- Binding ------------------------------------------------------------------

namespace detail {

// A looked-up address as a function pointer of the export's type; through
// void(*)() when it is one already (GetProcAddress), so that no cast between
// unrelated function types is written.
template <typename Fn, typename P>
Fn to_function(P address) noexcept {
  if constexpr (std::is_pointer_v<P> && std::is_function_v<std::remove_pointer_t<P>>) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
  } else {
    return reinterpret_cast<Fn>(static_cast<void*>(address));
  }
}

}  // namespace detail

// clang-format off
#define KIV_HPP_SVCQUERY_EXPORTS(X)    \
  X(http_access_protocol1)             \
  X(http_access_protocol2)             \
  X(get_data_from_file)                \
  X(get_servertype_from_file)          \
  X(get_verification_from_service)     \
  X(get_local_ip_from_service)         \
  X(get_kiv_adLink_from_service)       \
  X(get_kiv_client_title_from_service) \
  X(get_loginvpn_from_service)         \
  X(check_hangup_from_service)         \
  X(get_vpn_info)                      \
  X(get_gameroute_from_server)         \
  X(get_usertypelist_from_server)      \
  X(get_gameprocess_from_server)       \
  X(get_serverdelay_from_server)       \
  X(get_areadelay_from_server)         \
  X(save_game_route_info)
#define KIV_HPP_LOGSEND_EXPORTS(X) \
  X(break_report)                  \
  X(bug_report)                    \
  X(client_operate_report)         \
  X(kiv_disconnect_report)         \
  X(link_report)                   \
  X(login_state_report)            \
  X(open_login_report)
// clang-format on
#define KIV_HPP_MEMBER(name) decltype(&::name) name = nullptr;
#define KIV_HPP_LINKED(name) exports.name = &::name;
#define KIV_HPP_BIND(name) exports.name = detail::to_function<decltype(&::name)>(lookup(#name));
#define KIV_HPP_BOUND(name) &&(name != nullptr)

// The seventeen exports of kiv_svcquery, as the functions below call them.
struct svcquery_exports {
  KIV_HPP_SVCQUERY_EXPORTS(KIV_HPP_MEMBER)

  // The exports the program links (the default of every query below).
  static svcquery_exports linked() noexcept {
    svcquery_exports exports;
    KIV_HPP_SVCQUERY_EXPORTS(KIV_HPP_LINKED)
    return exports;
  }
  // Each export looked up by its name: `lookup(const char* name)` returns
  // its address (a void* as dlsym gives it, or GetProcAddress's pointer),
  // null for a missing one.
  template <typename Lookup>
  static svcquery_exports bind(Lookup&& lookup) {
    svcquery_exports exports;
    KIV_HPP_SVCQUERY_EXPORTS(KIV_HPP_BIND)
    return exports;
  }
  // Whether every export was found. A function below must not be called
  // with an exports table that lacks its export.
  bool complete() const noexcept { return true KIV_HPP_SVCQUERY_EXPORTS(KIV_HPP_BOUND); }
};

// The seven exports of kiv_logsend, as the reports below call them.
struct logsend_exports {
  KIV_HPP_LOGSEND_EXPORTS(KIV_HPP_MEMBER)

  static logsend_exports linked() noexcept {
    logsend_exports exports;
    KIV_HPP_LOGSEND_EXPORTS(KIV_HPP_LINKED)
    return exports;
  }
  template <typename Lookup>
  static logsend_exports bind(Lookup&& lookup) {
    logsend_exports exports;
    KIV_HPP_LOGSEND_EXPORTS(KIV_HPP_BIND)
    return exports;
  }
  bool complete() const noexcept { return true KIV_HPP_LOGSEND_EXPORTS(KIV_HPP_BOUND); }
};

#undef KIV_HPP_BOUND
#undef KIV_HPP_BIND
#undef KIV_HPP_LINKED
#undef KIV_HPP_MEMBER
#undef KIV_HPP_LOGSEND_EXPORTS
#undef KIV_HPP_SVCQUERY_EXPORTS

namespace detail {

// A caller buffer that tells whether the library wrote a text into it: it
// starts without a NUL, and the library always writes the text's NUL.
template <std::size_t N>
class text_buffer {
 public:
  text_buffer() noexcept { std::memset(bytes_, 1, N); }
  char* data() noexcept { return bytes_; }
  bool written() const noexcept { return std::memchr(bytes_, 0, N) != nullptr; }
  std::string text() const {
    const void* end = std::memchr(bytes_, 0, N);
    return end != nullptr ? std::string(bytes_, static_cast<const char*>(end)) : std::string();
  }

 private:
  char bytes_[N];
};

// A NUL-terminated text of fixed capacity in a row or record.
inline std::string fixed_text(const void* field, std::size_t size) {
  const auto* text = static_cast<const char*>(field);
  if (text == nullptr) return std::string();
  const void* end = std::memchr(text, 0, size);
  return std::string(text, end != nullptr ? static_cast<const char*>(end) : text + size);
}

// A row's field by position, as the export documents it; 0 or empty when
// the row is shorter or the value is absent.
inline const void* field(int32_t count, void** values, int32_t index) noexcept {
  return values != nullptr && index < count ? values[index] : nullptr;
}
template <typename V>
V field_value(int32_t count, void** values, int32_t index) noexcept {
  V value{};
  if (const void* at = field(count, values, index)) std::memcpy(&value, at, sizeof value);
  return value;
}

// Runs the caller's callable for one row and keeps an exception that leaves
// it, which must not pass through the C library.
struct row_guard {
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS) || defined(_CPPUNWIND)
  std::exception_ptr error;
  template <typename F>
  void run(F&& f) noexcept {
    if (error) return;
    try {
      f();
    } catch (...) {
      error = std::current_exception();
    }
  }
  void rethrow() const {
    if (error) std::rethrow_exception(error);
  }
#else
  template <typename F>
  void run(F&& f) noexcept {
    f();
  }
  void rethrow() const noexcept {}
#endif
};

inline bool request_fits(const request_head& head) noexcept {
  return head.request.size() <= static_cast<std::size_t>(std::numeric_limits<int32_t>::max());
}

// Calls `fn` with the request head's six arguments and then `rest`.
template <typename Fn, typename... Rest>
int32_t call(Fn fn, const request_head& head, Rest... rest) {
  if (!request_fits(head)) return KIV_E_MISSING_ARGUMENT;
  return fn(head.host.c_str(), head.url.c_str(), head.port, head.protocol.c_str(),
            head.request.c_str(), static_cast<int32_t>(head.request.size()), rest...);
}

template <typename T>
result<T> failed(int32_t code) {
  return result<T>::failure(code);
}

// The rows of a delay query or list reader, handed to the caller's callable.
template <typename Row, typename F>
struct row_sink {
  F& on_row;
  row_guard guard;
};

inline server_delay make_row(const server_delay*, int32_t count, void** values) noexcept {
  return {field_value<int32_t>(count, values, 0), field_value<int32_t>(count, values, 1),
          field_value<int32_t>(count, values, 2)};
}
inline area_delay make_row(const area_delay*, int32_t count, void** values) noexcept {
  return {field_value<int32_t>(count, values, 0), field_value<int32_t>(count, values, 1),
          field_value<int32_t>(count, values, 2)};
}
inline server_type make_row(const server_type*, int32_t count, void** values) {
  server_type row;
  row.id = fixed_text(field(count, values, 0), 10);
  row.name = fixed_text(field(count, values, 1), 32);
  row.pid = fixed_text(field(count, values, 2), 64);
  row.level = field_value<int32_t>(count, values, 3);
  return row;
}

template <typename Row, typename F>
void KIV_CALL deliver_row(int32_t count, char**, void** values, void* context) noexcept {
  auto* sink = static_cast<row_sink<Row, F>*>(context);
  sink->guard.run([&] { sink->on_row(make_row(static_cast<const Row*>(nullptr), count, values)); });
}

// The addresses of the server being read: the address callback's context is
// the server's slot, not the caller's, so the list is found through the slot.
struct address_list {
  std::vector<server_address> addresses;
  row_guard* guard = nullptr;
};

inline void KIV_CALL deliver_address(int32_t count, char**, void** values, void* slot) noexcept {
  auto* list = static_cast<address_list*>(*static_cast<void**>(slot));
  if (list == nullptr) return;
  list->guard->run([&] {
    server_address address;
    address.ip = fixed_text(field(count, values, 0), 17);
    address.net = field_value<int32_t>(count, values, 1);
    address.IPv6 = field_value<int32_t>(count, values, 2);
    address.id = field_value<int32_t>(count, values, 3);
    list->addresses.push_back(std::move(address));
  });
}

template <typename F>
struct server_sink {
  F& on_row;
  row_guard guard;
  address_list* addresses;
};

template <typename F>
void KIV_CALL deliver_server(int32_t count, char**, void** values, void* context) noexcept {
  auto* sink = static_cast<server_sink<F>*>(context);
  sink->guard.run([&] {
    server row;
    row.payId = field_value<int32_t>(count, values, 0);
    row.product = field_value<int32_t>(count, values, 1);
    row.serverId = field_value<int32_t>(count, values, 2);
    row.area = field_value<int32_t>(count, values, 3);
    row.charge = field_value<int32_t>(count, values, 4) != 0;
    if (field(count, values, 5) != nullptr) row.serverIp = std::move(sink->addresses->addresses);
    row.userbw = fixed_text(field(count, values, 6), 64);
    row.paramValue2 = field_value<int32_t>(count, values, 7);
    row.maxOnline = field_value<int32_t>(count, values, 8);
    row.serverName = fixed_text(field(count, values, 9), 64);
    row.serverType = fixed_text(field(count, values, 10), 17);
    row.paramValue1 = field_value<float>(count, values, 11);
    row.userablePer = field_value<float>(count, values, 12);
    row.msg = fixed_text(field(count, values, 13), 128);
    sink->on_row(std::move(row));
  });
  sink->addresses->addresses.clear();
}

// The slot of every server starts null: the first address of a server
// points it at the list being built. The library hands the address callback
// only the slot, so the list of the current call is kept per thread (a
// callable may itself read a list: each call restores the one before).
inline address_list*& current_addresses() noexcept {
  static thread_local address_list* current = nullptr;
  return current;
}

inline void KIV_CALL first_address(int32_t count, char** names, void** values,
                                   void* slot) noexcept {
  if (*static_cast<void**>(slot) == nullptr) *static_cast<void**>(slot) = current_addresses();
  deliver_address(count, names, values, slot);
}

template <typename F, typename Row>
inline constexpr bool takes_row_v =
    std::is_invocable_v<F&, Row&&> && !std::is_same_v<std::decay_t<F>, svcquery_exports>;

template <typename Row, typename Export, typename F>
result<void> delay_query(Export fn, const request_head& head, F& on_row) {
  row_sink<Row, F> sink{on_row, {}};
  const int32_t code = call(fn, head, &deliver_row<Row, F>, static_cast<void*>(&sink));
  sink.guard.rethrow();
  return code == KIV_OK ? result<void>::success() : result<void>::failure(code);
}

// The callbacks below have the libraries' calling convention, whatever the
// client's default is.
inline void KIV_CALL take_text(const char* handed, void* context) noexcept {
  auto* out = static_cast<std::optional<std::string>*>(context);
  if (!out->has_value()) out->emplace(handed != nullptr ? handed : "");
}

template <typename Export>
result<std::optional<std::string>> text_query(Export fn, const request_head& head) {
  std::optional<std::string> text;
  const int32_t code = call(fn, head, &take_text, static_cast<void*>(&text));
  if (code != KIV_OK) return failed<std::optional<std::string>>(code);
  return result<std::optional<std::string>>::success(std::move(text));
}

template <typename Export>
result<dial_check> dial_query(Export fn, const request_head& head) {
  int32_t err = 0;
  text_buffer<1024> message;
  const int32_t code = call(fn, head, &err, message.data());
  if (code != KIV_OK) return failed<dial_check>(code);
  return result<dial_check>::success({err, message.text()});
}

}  // namespace detail

// ---- HTTP transport -------------------------------------------------------------

// http_access_protocol1: posts the request and returns the inflated answer,
// which must fit `capacity` bytes (more: KIV_E_UNCOMPRESS).
inline result<std::string> http_access_protocol1(
    const request_head& head, uint32_t capacity = 1u << 20,
    const svcquery_exports& exports = svcquery_exports::linked()) {
  std::string answer(capacity, '\0');
  uint32_t size = capacity;
  const int32_t code = detail::call(exports.http_access_protocol1, head, &answer[0], &size);
  if (code != KIV_OK) return detail::failed<std::string>(code);
  answer.resize(size < capacity ? size : capacity);
  return result<std::string>::success(std::move(answer));
}

// http_access_protocol2: posts the request and replaces the file `save_file`
// with the answer as received (the service list the readers below read).
inline result<void> http_access_protocol2(
    const request_head& head, std::string_view save_file,
    const svcquery_exports& exports = svcquery_exports::linked()) {
  const std::string file(save_file);
  const int32_t code = detail::call(exports.http_access_protocol2, head, file.c_str());
  return code == KIV_OK ? result<void>::success() : result<void>::failure(code);
}

// ---- Saved service list -----------------------------------------------------------

// get_data_from_file: hands each relay server of the saved list, with its
// addresses, to `on_server(kiv::server&&)`, in list order. Returns the
// list's "err" (nonzero) on success. On KIV_E_NO_MEMORY during the walk the
// servers handed over before were whole.
template <typename F, std::enable_if_t<detail::takes_row_v<F, server>, int> = 0>
result<int32_t> get_data_from_file(std::string_view file_name, F&& on_server,
                                   const svcquery_exports& exports = svcquery_exports::linked()) {
  const std::string file(file_name);
  detail::address_list addresses;
  detail::server_sink<std::remove_reference_t<F>> sink{on_server, {}, &addresses};
  addresses.guard = &sink.guard;
  detail::address_list*& current = detail::current_addresses();
  detail::address_list* const outer = current;
  current = &addresses;
  int32_t err = 0;
  const int32_t code =
      exports.get_data_from_file(file.c_str(), &detail::deliver_server<std::remove_reference_t<F>>,
                                 &detail::first_address, static_cast<void*>(&sink), &err);
  current = outer;
  sink.guard.rethrow();
  if (code != KIV_OK) return detail::failed<int32_t>(code);
  return result<int32_t>::success(err);
}

// get_data_from_file: every relay server of the saved list.
inline result<std::vector<server>> get_data_from_file(
    std::string_view file_name, const svcquery_exports& exports = svcquery_exports::linked()) {
  std::vector<server> rows;
  const auto r = get_data_from_file(
      file_name, [&rows](server&& row) { rows.push_back(std::move(row)); }, exports);
  if (!r) return detail::failed<std::vector<server>>(r.code());
  return result<std::vector<server>>::success(std::move(rows));
}

// get_servertype_from_file: hands each element of the saved list's
// "serverType" to `on_type(kiv::server_type&&)`. Returns the list's "err".
template <typename F, std::enable_if_t<detail::takes_row_v<F, server_type>, int> = 0>
result<int32_t> get_servertype_from_file(
    std::string_view file_name, F&& on_type,
    const svcquery_exports& exports = svcquery_exports::linked()) {
  const std::string file(file_name);
  using Callable = std::remove_reference_t<F>;
  detail::row_sink<server_type, Callable> sink{on_type, {}};
  int32_t err = 0;
  const int32_t code = exports.get_servertype_from_file(
      file.c_str(), static_cast<void*>(&sink), &detail::deliver_row<server_type, Callable>, &err);
  sink.guard.rethrow();
  if (code != KIV_OK) return detail::failed<int32_t>(code);
  return result<int32_t>::success(err);
}

// get_servertype_from_file: every server type of the saved list.
inline result<std::vector<server_type>> get_servertype_from_file(
    std::string_view file_name, const svcquery_exports& exports = svcquery_exports::linked()) {
  std::vector<server_type> rows;
  const auto r = get_servertype_from_file(
      file_name, [&rows](server_type&& row) { rows.push_back(std::move(row)); }, exports);
  if (!r) return detail::failed<std::vector<server_type>>(r.code());
  return result<std::vector<server_type>>::success(std::move(rows));
}

// ---- Account and connection queries -------------------------------------------------

// get_verification_from_service: the login check of an account.
inline result<verification> get_verification_from_service(
    const request_head& head, const svcquery_exports& exports = svcquery_exports::linked()) {
  detail::text_buffer<1024> ut, msg, ed, end_bind;
  verification_info info{};
  info.ut = ut.data();
  info.msg = msg.data();
  info.ed = ed.data();
  info.endBind = end_bind.data();
  const int32_t code = detail::call(exports.get_verification_from_service, head, &info);
  if (code != KIV_OK) return detail::failed<verification>(code);
  verification out;
  out.err = info.err;
  if (info.err != 0) {
    out.haveTime = info.haveTime;
    out.expired = info.expired;
    out.usepay = info.usepay;
    out.ut = ut.text();
    out.msg = msg.text();
    out.bindUnvalide = info.bindUnvalide;
    out.ed = ed.text();
    out.endBind = end_bind.text();
  }
  return result<verification>::success(std::move(out));
}

// get_local_ip_from_service: the client's outside address; nothing when the
// service's "err" was 0.
inline result<std::optional<std::string>> get_local_ip_from_service(
    const request_head& head, const svcquery_exports& exports = svcquery_exports::linked()) {
  detail::text_buffer<128> ip;
  const int32_t code = detail::call(exports.get_local_ip_from_service, head, ip.data());
  if (code != KIV_OK) return detail::failed<std::optional<std::string>>(code);
  return result<std::optional<std::string>>::success(ip.written() ? std::optional(ip.text())
                                                                  : std::nullopt);
}

// get_kiv_adLink_from_service: the advertisement link. The export returns
// the service's nonzero "err" when it gives a link, which may equal a
// failure code; this function tells them apart by whether all four texts
// were written, and returns that value as ad_link::err with code() KIV_OK.
inline result<ad_link> get_kiv_adLink_from_service(
    const request_head& head, const svcquery_exports& exports = svcquery_exports::linked()) {
  detail::text_buffer<1024> key, ref, url, ref1;
  ad_link_info link{key.data(), ref.data(), url.data(), ref1.data()};
  const int32_t code = detail::call(exports.get_kiv_adLink_from_service, head, &link);
  if (code == KIV_OK) return result<ad_link>::success({});
  if (!key.written() || !ref.written() || !url.written() || !ref1.written()) {
    return detail::failed<ad_link>(code);
  }
  return result<ad_link>::success({code, key.text(), ref.text(), url.text(), ref1.text()});
}

// get_kiv_client_title_from_service: the notice the client may pop up; the
// service's "err" is told from a failure code as for the link.
inline result<client_title> get_kiv_client_title_from_service(
    const request_head& head, const svcquery_exports& exports = svcquery_exports::linked()) {
  detail::text_buffer<1024> title_text, url, msg;
  client_title_info title{};
  title.title = title_text.data();
  title.url = url.data();
  title.msg = msg.data();
  const int32_t code = detail::call(exports.get_kiv_client_title_from_service, head, &title);
  if (code == KIV_OK) return result<client_title>::success({});
  if (!title_text.written() || !url.written() || !msg.written()) {
    return detail::failed<client_title>(code);
  }
  return result<client_title>::success({code, title.id, title_text.text(), url.text(),
                                        title.usertype, msg.text(), title.isopen, title.isbind});
}

// get_loginvpn_from_service: the check after a VPN dial-up ("err", "msg").
inline result<dial_check> get_loginvpn_from_service(
    const request_head& head, const svcquery_exports& exports = svcquery_exports::linked()) {
  return detail::dial_query(exports.get_loginvpn_from_service, head);
}

// check_hangup_from_service: the check around hanging up ("err", "usermsg").
inline result<dial_check> check_hangup_from_service(
    const request_head& head, const svcquery_exports& exports = svcquery_exports::linked()) {
  return detail::dial_query(exports.check_hangup_from_service, head);
}

// get_vpn_info: the VPN connection data.
inline result<vpn_connection> get_vpn_info(
    const request_head& head, const svcquery_exports& exports = svcquery_exports::linked()) {
  vpn_connection_info vpn{};
  const int32_t code = detail::call(exports.get_vpn_info, head, &vpn);
  if (code != KIV_OK) return detail::failed<vpn_connection>(code);
  return result<vpn_connection>::success({detail::fixed_text(vpn.VPNIP, sizeof vpn.VPNIP),
                                          detail::fixed_text(vpn.LocalOutIP, sizeof vpn.LocalOutIP),
                                          vpn.VPNPort});
}

// ---- Game route and delay queries -------------------------------------------------

// get_gameroute_from_server: the JSON text of the answer's "gameroute";
// nothing when the member is absent. "err" 0 gives KIV_E_SERVICE_REFUSED.
inline result<std::optional<std::string>> get_gameroute_from_server(
    const request_head& head, const svcquery_exports& exports = svcquery_exports::linked()) {
  return detail::text_query(exports.get_gameroute_from_server, head);
}

// get_usertypelist_from_server: the JSON text of "usertypelist"; nothing when
// it is absent or "err" is 0.
inline result<std::optional<std::string>> get_usertypelist_from_server(
    const request_head& head, const svcquery_exports& exports = svcquery_exports::linked()) {
  return detail::text_query(exports.get_usertypelist_from_server, head);
}

// get_gameprocess_from_server: the JSON text of "gameprocess", as the game
// routes.
inline result<std::optional<std::string>> get_gameprocess_from_server(
    const request_head& head, const svcquery_exports& exports = svcquery_exports::linked()) {
  return detail::text_query(exports.get_gameprocess_from_server, head);
}

// get_serverdelay_from_server: hands each delay row to
// `on_row(kiv::server_delay&&)`, in answer order.
template <typename F, std::enable_if_t<detail::takes_row_v<F, server_delay>, int> = 0>
result<void> get_serverdelay_from_server(
    const request_head& head, F&& on_row,
    const svcquery_exports& exports = svcquery_exports::linked()) {
  return detail::delay_query<server_delay>(exports.get_serverdelay_from_server, head, on_row);
}

// get_serverdelay_from_server: every delay row.
inline result<std::vector<server_delay>> get_serverdelay_from_server(
    const request_head& head, const svcquery_exports& exports = svcquery_exports::linked()) {
  std::vector<server_delay> rows;
  const auto r = get_serverdelay_from_server(
      head, [&rows](server_delay&& row) { rows.push_back(row); }, exports);
  if (!r) return detail::failed<std::vector<server_delay>>(r.code());
  return result<std::vector<server_delay>>::success(std::move(rows));
}

// get_areadelay_from_server: hands each delay row to
// `on_row(kiv::area_delay&&)`, in answer order.
template <typename F, std::enable_if_t<detail::takes_row_v<F, area_delay>, int> = 0>
result<void> get_areadelay_from_server(
    const request_head& head, F&& on_row,
    const svcquery_exports& exports = svcquery_exports::linked()) {
  return detail::delay_query<area_delay>(exports.get_areadelay_from_server, head, on_row);
}

// get_areadelay_from_server: every delay row.
inline result<std::vector<area_delay>> get_areadelay_from_server(
    const request_head& head, const svcquery_exports& exports = svcquery_exports::linked()) {
  std::vector<area_delay> rows;
  const auto r = get_areadelay_from_server(
      head, [&rows](area_delay&& row) { rows.push_back(row); }, exports);
  if (!r) return detail::failed<std::vector<area_delay>>(r.code());
  return result<std::vector<area_delay>>::success(std::move(rows));
}

// save_game_route_info: sends the game-route data (the request text) and
// returns the answer's "err", any int32_t as the export wrote it (the JSON
// library's clamped ends included). An answer without "err", or one that is
// not JSON, gives 0, as an absent "err" reads in every other query: the
// export then leaves its out-parameter as it was, and no value put there
// first could be told from the same value sent by the service. Every failed
// exchange gives KIV_E_SAVE_ROUTE_FAILED.
inline result<int32_t> save_game_route_info(
    const request_head& head, const svcquery_exports& exports = svcquery_exports::linked()) {
  int32_t err = 0;
  const int32_t code = detail::call(exports.save_game_route_info, head, &err);
  if (code != KIV_OK) return detail::failed<int32_t>(code);
  return result<int32_t>::success(err);
}

// ---- Reports ------------------------------------------------------------------------
//
// Each calls the report of its name with NUL-terminated copies of its texts.
// Reports return nothing, as the C exports do (see kiv_logsend.h).

// break_report: going offline.
inline void break_report(std::string_view kiv_version, std::string_view user_name,
                         std::string_view server_ip, int32_t dial_mode, int32_t disconnect_type,
                         const logsend_exports& exports = logsend_exports::linked()) {
  exports.break_report(std::string(kiv_version).c_str(), std::string(user_name).c_str(),
                       std::string(server_ip).c_str(), dial_mode, disconnect_type);
}

// bug_report: an internal failure. Without `error_specify` the system's text
// for error_number is sent in its place (the C export's null).
inline void bug_report(int32_t module_id, int32_t func_id, int32_t error_number,
                       std::string_view error_func_name,
                       std::optional<std::string_view> error_specify = std::nullopt,
                       const logsend_exports& exports = logsend_exports::linked()) {
  const std::optional<std::string> specify =
      error_specify ? std::optional<std::string>(*error_specify) : std::nullopt;
  exports.bug_report(module_id, func_id, error_number, std::string(error_func_name).c_str(),
                     specify ? specify->c_str() : nullptr);
}

// client_operate_report: a client operation; `param` is a JSON text, sent as
// it is.
inline void client_operate_report(std::string_view param,
                                  const logsend_exports& exports = logsend_exports::linked()) {
  exports.client_operate_report(std::string(param).c_str());
}

// kiv_disconnect_report: disconnection from a server.
inline void kiv_disconnect_report(std::string_view kiv_version, std::string_view user_name,
                                  std::string_view server_ip, std::string_view server_name,
                                  int32_t dial_module,
                                  const logsend_exports& exports = logsend_exports::linked()) {
  exports.kiv_disconnect_report(std::string(kiv_version).c_str(), std::string(user_name).c_str(),
                                std::string(server_ip).c_str(), std::string(server_name).c_str(),
                                dial_module);
}

// link_report: the state of a link to a server.
inline void link_report(int32_t link_mode, int32_t link_state, std::string_view link_service_ip,
                        std::string_view link_service_name, std::string_view link_account,
                        int32_t userType_Id,
                        const logsend_exports& exports = logsend_exports::linked()) {
  exports.link_report(link_mode, link_state, std::string(link_service_ip).c_str(),
                      std::string(link_service_name).c_str(), std::string(link_account).c_str(),
                      userType_Id);
}

// login_state_report: a login state.
inline void login_state_report(std::string_view kiv_version, std::string_view user_name,
                               int32_t login_state,
                               const logsend_exports& exports = logsend_exports::linked()) {
  exports.login_state_report(std::string(kiv_version).c_str(), std::string(user_name).c_str(),
                             login_state);
}

// open_login_report: the opening of the login window.
inline void open_login_report(std::string_view kiv_version,
                              const logsend_exports& exports = logsend_exports::linked()) {
  exports.open_login_report(std::string(kiv_version).c_str());
}

// ---- Messages -----------------------------------------------------------------------

namespace detail {

// The handlers that scopes installed, newest last. The logger cannot say
// which handler is installed, so this record, one per program or shared
// library that includes this header, is what a scope restores from.
struct handler_link {
  handler_link* older = nullptr;
  handler_link* newer = nullptr;
  kiv_message_handler handler = nullptr;
  void* context = nullptr;
};
struct handler_record {
  std::mutex mutex;
  handler_link* newest = nullptr;
};
inline handler_record& handlers() noexcept {
  static handler_record record;
  return record;
}

}  // namespace detail

// Hands every message of the libraries to `on_message(std::string_view)`
// while it exists (kiv_set_message_handler). The view holds the message's
// bytes exactly (GBK where the library's text is), valid only during the
// call.
//
// The callable runs on the thread that logs, on several threads at once, so
// it must be safe to call concurrently; it must not throw (an exception
// that leaves it ends the program: it cannot pass through the libraries).
//
// On destruction the scope installs again what was there before it: the
// handler of the newest scope still alive, or the default sink when there is
// none. Scopes may end in any order and on any thread. The destructor
// returns once no thread runs the callable any more. The record is kept by
// this header only: a handler set directly with kiv_set_message_handler
// while scopes exist is replaced by the next scope that starts or ends, and
// is not restored. Constructing or destroying a scope waits for the handlers
// running on other threads, so a callable must not itself start or end a
// scope.
//
//   kiv::message_handler_scope scope([&](std::string_view message) { log(message); });
template <typename F>
class message_handler_scope {
 public:
  explicit message_handler_scope(F on_message) : on_message_(std::move(on_message)) {
    link_.handler = &message_handler_scope::deliver;
    link_.context = this;
    detail::handler_record& record = detail::handlers();
    const std::lock_guard<std::mutex> lock(record.mutex);
    link_.older = record.newest;
    if (record.newest != nullptr) record.newest->newer = &link_;
    record.newest = &link_;
    kiv_set_message_handler(link_.handler, link_.context);
  }

  ~message_handler_scope() {
    detail::handler_record& record = detail::handlers();
    const std::lock_guard<std::mutex> lock(record.mutex);
    if (link_.older != nullptr) link_.older->newer = link_.newer;
    if (link_.newer != nullptr) {
      link_.newer->older = link_.older;  // a newer scope's handler is installed: leave it
      return;
    }
    record.newest = link_.older;
    if (record.newest != nullptr) {
      kiv_set_message_handler(record.newest->handler, record.newest->context);
    } else {
      kiv_set_message_handler(nullptr, nullptr);
    }
  }

  message_handler_scope(const message_handler_scope&) = delete;
  message_handler_scope& operator=(const message_handler_scope&) = delete;

 private:
  static void KIV_CALL deliver(const char* message, void* context) noexcept {
    auto* self = static_cast<message_handler_scope*>(context);
    self->on_message_(message != nullptr ? std::string_view(message) : std::string_view());
  }

  F on_message_;
  detail::handler_link link_;
};

template <typename F>
message_handler_scope(F) -> message_handler_scope<F>;

}  // namespace kiv

#endif  // KIV_HPP
