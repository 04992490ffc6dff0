// The build id: a digest of the sources this build was made from and of how
// they were compiled (written at build time by cmake/build_id.cmake). Two
// builds of one version string from different sources have different ids.
#pragma once

namespace pelmora {

// 64 hex characters (SHA-256).
extern const char kBuildId[];

}  // namespace pelmora
