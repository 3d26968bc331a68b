/* Version of the accelerator's client libraries (kiv_svcquery, kiv_logsend
 * and kiv_clientlog are released together and share it).
 *
 * The build checks these three numbers against the version of its CMake
 * project, which the CMake package (kivConfigVersion.cmake) and the
 * pkg-config files (kiv-*.pc) carry, so that the four cannot differ.
 *
 * Compatibility: a client built against one version runs with any later
 * library of the same major version; a new major version may change the
 * exports, the records or the meaning of a result code.
 *
 * Everything in this header is an addition of these libraries. */
#ifndef KIV_VERSION_H
#define KIV_VERSION_H

#define KIV_VERSION_MAJOR 1
#define KIV_VERSION_MINOR 0
#define KIV_VERSION_PATCH 0

/* One number that grows with every release: MAJOR * 10000 + MINOR * 100 +
 * PATCH (1.0.0 is 10000), for compile-time tests such as
 * `#if KIV_VERSION_NUMBER >= 10100`. */
#define KIV_VERSION_NUMBER (KIV_VERSION_MAJOR * 10000 + KIV_VERSION_MINOR * 100 + KIV_VERSION_PATCH)

/* The version as text, "MAJOR.MINOR.PATCH" (a string literal). */
#define KIV_VERSION_TEXT_(x) #x
#define KIV_VERSION_TEXT(x) KIV_VERSION_TEXT_(x)
#define KIV_VERSION_STRING            \
  KIV_VERSION_TEXT(KIV_VERSION_MAJOR) \
  "." KIV_VERSION_TEXT(KIV_VERSION_MINOR) "." KIV_VERSION_TEXT(KIV_VERSION_PATCH)

/* The calling convention of every export of the three libraries and of
 * every function they call back (row and text callbacks, the message
 * handler), and so of every function-pointer type in their headers: the C
 * convention (__cdecl) on 32-bit Windows, whatever the client's default
 * (/Gz, -mrtd), so that the plain, undecorated export names link and a
 * callback leaves the stack as the library expects. Empty where the system
 * has one convention. kiv_clientlog.h, which includes no other header of
 * ours, defines it identically. An addition of these libraries. */
#if defined(_WIN32) && !defined(_WIN64)
#define KIV_CALL __cdecl
#else
#define KIV_CALL
#endif

#endif /* KIV_VERSION_H */
