#pragma once
// Names from the manifest that are joined to a folder (product file paths,
// installer file names) must stay inside that folder.
#include <string_view>

// Refuses (std::runtime_error) a manifest path or installer file name that
// would leave its folder: absolute paths, drive letters, "..", leading
// separators, ":" streams, device names, characters Windows forbids in names
// and names too long for any folder.
void CheckRelativePath(std::wstring_view path);

// The same rules for a name that must not name a folder either (an installer
// kept directly in its folder): "sub\\x.exe" is refused.
void CheckFileName(std::wstring_view name);
