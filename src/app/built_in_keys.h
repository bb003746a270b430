#pragma once
// The key texts of this executable, from a source generated per executable
// (built_in_keys.cpp.in): the shipped setup's come from the build settings
// VALDRIX_MANIFEST_PUBLIC_KEY and VALDRIX_TOKEN_PUBLIC_KEY, the keyed test
// setup's from the committed test keys. Empty texts: no key.
namespace BuiltInKeys {
extern const char kManifest[];
extern const char kToken[];
}  // namespace BuiltInKeys
