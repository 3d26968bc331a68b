# The files the libraries bind at run time, by the names each system gives
# them: json-c and zlib for the query library, the report library for both.
# The platform layer's names (library_files.h), the tests' stand-ins for
# these libraries and the Windows build's copies of them all take these.
if(WIN32)
  set(KIV_JSON_LIBRARY_FILE kiv_json.dll)
  set(KIV_ZLIB_LIBRARY_FILE zlib1.dll)
  set(KIV_REPORT_LIBRARY_FILE kiv_logsend.dll)
else()
  set(KIV_JSON_LIBRARY_FILE libjson-c.so.5)
  set(KIV_ZLIB_LIBRARY_FILE libz.so.1)
  set(KIV_REPORT_LIBRARY_FILE libkiv_logsend.so)
endif()
