# Writes the build id of pelmora: a SHA-256 digest of every source the package is
# built from (the native sources, the Python package, the build script) and of how
# the native code is compiled. A sweep store fingerprints its rows with it, so the
# rows of another build are run again rather than served: the version string alone
# stays the same across many commits that change the figures.
#
# Run as a script (cmake -P) at build time, so that an incremental build sees an
# edited source. Inputs: SOURCE_DIR, FILE_LIST (a file naming the sources, one
# path relative to SOURCE_DIR per line), COMPILE (how the code is compiled, as
# text), OUTPUT (the C++ file to write; left untouched when the id is unchanged,
# so that nothing relinks).
file(STRINGS "${FILE_LIST}" sources)
list(SORT sources)
set(text "compile: ${COMPILE}\n")
foreach(source IN LISTS sources)
  file(SHA256 "${SOURCE_DIR}/${source}" digest)
  string(APPEND text "${source} ${digest}\n")
endforeach()
string(SHA256 PELMORA_BUILD_ID "${text}")
file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT [=[
// Written at build time by cmake/build_id.cmake: the digest of the sources and
// of how they are compiled.
#include "modules/build_id.hpp"

namespace pelmora {
extern const char kBuildId[] = "@PELMORA_BUILD_ID@";
}  // namespace pelmora
]=] @ONLY)
