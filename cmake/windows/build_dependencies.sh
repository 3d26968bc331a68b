#!/usr/bin/env bash
# Builds what the Windows build for TRIPLE (i686-w64-mingw32 or
# x86_64-w64-mingw32) links and ships, from Debian only, into PREFIX
# (include/, lib/, bin/):
#   zlib1.dll, libz.a   the MinGW-w64 zlib package
#   kiv_json.dll        json-c from Debian's source package, as a DLL (and a
#                       static copy for the tool and the tests)
#   libcurl.a           curl from Debian's source package: HTTP only, no TLS,
#                       static, for linking into kiv_svcquery.dll
#   gtest, gmock        from /usr/src/googletest
#   httplib.h, CLI/     cpp-httplib's whole header (Debian's source package)
#                       and CLI11's headers, for the tool and the tests
# PREFIX/stamp holds the key (source versions and this script's digest); a
# prefix whose key matches is left as it is.
#
# usage: build_dependencies.sh PREFIX TRIPLE
set -euo pipefail

prefix=$1
triple=$2
toolchains=$(cd "$(dirname "$0")/../toolchains" && pwd)
toolchain=$toolchains/$triple.cmake
[ -f "$toolchain" ] || { echo "no toolchain file for $triple: $toolchain" >&2; exit 2; }
mingw_root=/usr/$triple
jobs=$(nproc 2>/dev/null || echo 2)

log() { printf '==> %s\n' "$*" >&2; }

# The source version that matches the native build: the installed -dev
# package's, so both builds use the same library.
source_version() {
  dpkg-query -W -f='${source:Version}' "$1" 2>/dev/null
}

json_version=$(source_version libjson-c-dev)
curl_version=$(source_version libcurl4-openssl-dev)
httplib_version=$(source_version libcpp-httplib-dev)
zlib_version=$(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)
gtest_version=$(dpkg-query -W -f='${Version}' googletest 2>/dev/null ||
  dpkg-query -W -f='${Version}' libgtest-dev)
for v in json_version curl_version httplib_version zlib_version gtest_version; do
  [ -n "${!v}" ] || { log "cannot tell the version behind $v: is the native build's package installed?"; exit 1; }
done

key="json-c=$json_version curl=$curl_version cpp-httplib=$httplib_version"
key+=" zlib=$zlib_version googletest=$gtest_version"
key+=" target=$triple recipe=$(sha256sum "$0" "$toolchain" "$toolchains/mingw-w64.cmake" | sha256sum | cut -c1-16)"
if [ -f "$prefix/stamp" ] && [ "$(cat "$prefix/stamp")" = "$key" ]; then
  log "Windows dependencies up to date in $prefix"
  exit 0
fi

log "building the Windows dependencies: $key"
work=$prefix.work
rm -rf "$prefix" "$work"
mkdir -p "$prefix"/{bin,include,lib} "$work"

# ---- sources: Debian's source packages, with Debian's patches -------------------
# The source entries are the machine's own binary-package entries turned into
# deb-src ones, so the sources come from wherever its packages do. They live
# in an apt configuration of this run's own (lists included): the system's
# sources and package lists are never touched.
source_entries() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    sed -n -E 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' "$file"
  done >"$apt_dir/sources.list"
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    # deb822 stanzas that offer binary packages, made source ones.
    awk 'function flush() { if (binary && !disabled) printf "%s\n", stanza
                            stanza = ""; binary = 0; disabled = 0 }
         /^[[:space:]]*$/ { flush(); next }
         /^[[:space:]]*#/ { next }
         $1 == "Types:" { for (i = 2; i <= NF; i++) if ($i == "deb") binary = 1
                          stanza = stanza "Types: deb-src\n"; next }
         tolower($1) == "enabled:" && tolower($2) == "no" { disabled = 1 }
         { stanza = stanza $0 "\n" }
         END { flush() }' "$file"
  done >"$apt_dir/sources.list.d/derived.sources"
  if ! grep -q . "$apt_dir/sources.list" "$apt_dir/sources.list.d/derived.sources"; then
    log "no package sources configured in /etc/apt to derive source entries from"
    return 1
  fi
}

fetch_sources() {
  apt_dir=$work/apt
  mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/archives/partial"
  source_entries
  local options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list"
                 -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
                 -o "Dir::State::Lists=$apt_dir/lists"
                 -o "Dir::Cache::Archives=$apt_dir/archives"
                 -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=")
  # An entry without sources (a third-party archive) only warns here; what
  # matters is that apt-get source then finds every package.
  apt-get "${options[@]}" update -q >"$work/apt-update.log" 2>&1 || true
  if ! (cd "$work" && apt-get "${options[@]}" source -q --only-source "$@" \
          >"$work/apt-source.log" 2>&1); then
    log "apt-get source failed; see $work/apt-source.log"
    cat "$work/apt-update.log" "$work/apt-source.log" >&2 || true
    return 1
  fi
}
fetch_sources "json-c=$json_version" "curl=$curl_version" "cpp-httplib=$httplib_version"

# The unpacked source tree of a package (NAME-UPSTREAMVERSION/).
source_tree() { find "$work" -mindepth 1 -maxdepth 1 -type d -name "$1-[0-9]*" | head -n 1; }
json_src=$(source_tree json-c)
curl_src=$(source_tree curl)
httplib_src=$(source_tree cpp-httplib)

cmake_build() {
  local name=$1 source=$2
  shift 2
  log "building $name for $triple"
  cmake -S "$source" -B "$work/build-$name" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" "$@" >"$work/$name.configure.log" 2>&1 ||
    { tail -30 "$work/$name.configure.log" >&2; return 1; }
  cmake --build "$work/build-$name" -j "$jobs" >"$work/$name.build.log" 2>&1 ||
    { tail -30 "$work/$name.build.log" >&2; return 1; }
  cmake --install "$work/build-$name" >"$work/$name.install.log" 2>&1
}

# ---- zlib: Debian's MinGW-w64 build ----------------------------------------------
cp "$mingw_root/lib/zlib1.dll" "$prefix/bin/"
cp "$mingw_root/lib/libz.a" "$mingw_root/lib/libz.dll.a" "$prefix/lib/"
cp "$mingw_root/include/zlib.h" "$mingw_root/include/zconf.h" "$prefix/include/"

# ---- json-c: a DLL under the name the query library binds ----------------------
cmake_build json-c "$json_src" -DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=ON \
  -DBUILD_TESTING=OFF -DBUILD_APPS=OFF -DDISABLE_WERROR=ON
mv "$prefix/bin/libjson-c.dll" "$prefix/bin/kiv_json.dll"
rm -f "$prefix/lib/libjson-c.dll.a"

# ---- libcurl: static, plain HTTP, nothing else -----------------------------------
cmake_build curl "$curl_src" -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF \
  -DENABLE_MANUAL=OFF -DHTTP_ONLY=ON -DCURL_ENABLE_SSL=OFF -DCURL_USE_OPENSSL=OFF \
  -DCURL_USE_SCHANNEL=OFF -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF \
  -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF \
  -DCURL_USE_GSSAPI=OFF -DENABLE_UNIX_SOCKETS=OFF -DCURL_DISABLE_LDAP=ON \
  -DCURL_DISABLE_CRYPTO_AUTH=ON -DCURL_DISABLE_NTLM=ON

# ---- GoogleTest ---------------------------------------------------------------------
cmake_build googletest /usr/src/googletest -Dgtest_disable_pthreads=OFF

# ---- header-only libraries of the tool and the tests --------------------------------
cp "$httplib_src/httplib.h" "$prefix/include/"
cp -r /usr/include/CLI "$prefix/include/"

rm -rf "$work"
echo "$key" >"$prefix/stamp"
log "Windows dependencies ready in $prefix"
