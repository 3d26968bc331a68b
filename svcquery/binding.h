// Entry points bound at start-up: the JSON library, zlib and the report
// library's failure hook. Written only while the library attaches, read by
// every export afterwards without a lock.
#pragma once

#include <json-c/json.h>
#include <zlib.h>

#include "kiv_logsend.h"
#include "platform.h"

namespace kiv::svcquery {

struct JsonApi {
  decltype(&::json_tokener_parse) tokener_parse = nullptr;
  decltype(&::json_object_object_get) object_get = nullptr;
  decltype(&::json_object_get_string) get_string = nullptr;
  decltype(&::json_object_get_int) get_int = nullptr;
  decltype(&::json_object_array_length) array_length = nullptr;
  decltype(&::json_object_get_array) get_array = nullptr;  // bound, never called
  decltype(&::json_object_get_double) get_double = nullptr;
  decltype(&::json_object_get_boolean) get_boolean = nullptr;
  decltype(&::json_object_array_get_idx) array_get_idx = nullptr;
  decltype(&::json_object_put) put = nullptr;
  // Optional, looked up after the ten above: lets a list walk tell arrays and
  // objects apart (json-c asserts when an array call meets another type).
  decltype(&::json_object_get_type) get_type = nullptr;
};

struct ZlibApi {
  decltype(&::compress) compress = nullptr;
  decltype(&::uncompress) uncompress = nullptr;
};

struct ReportApi {
  kiv_bug_report_fn bug_report = nullptr;
  kiv_link_report_fn link_report = nullptr;                // bound, never called
  kiv_login_state_report_fn login_state_report = nullptr;  // bound, never called
};

struct Bindings {
  platform::Library json_library;
  platform::Library zlib_library;
  platform::Library report_library;
  JsonApi json;
  ZlibApi zlib;
  ReportApi report;
};

const Bindings& bindings() noexcept;

// Whether every JSON entry point that an export calls is bound.
bool json_bound() noexcept;
bool compress_bound() noexcept;
bool uncompress_bound() noexcept;
bool failure_hook_bound() noexcept;

// The start-up and shutdown routines; only the library's entry routine calls
// them. detach() releases the bindings only while no export runs: at process
// exit (Linux runs it then too) running calls keep what they use.
void attach() noexcept;
void detach() noexcept;

// One call of an export, counted for as long as it runs. A call that begins
// once the library is being detached (the process is exiting) is not
// admitted and must not touch the bindings.
class ExportCall {
 public:
  ExportCall() noexcept;
  ~ExportCall();
  ExportCall(const ExportCall&) = delete;
  ExportCall& operator=(const ExportCall&) = delete;
  bool admitted() const noexcept { return admitted_; }

 private:
  bool admitted_ = false;
};

// The three binding steps, returning their binding codes.
int bind_json_library(Bindings& state) noexcept;
int bind_zlib_library(Bindings& state) noexcept;
int bind_report_library(Bindings& state) noexcept;

}  // namespace kiv::svcquery
