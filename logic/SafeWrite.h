// Writing a whole file so that it is either the old one or the new one, never half of either.
// One implementation per operating system (SafeWritePosix.cpp, SafeWriteWin32.cpp).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Writes Text into a temporary file beside Target, puts it on the disk, then renames it over
// Target, so a crash or a full disk never leaves half a file. On failure returns false with the
// system's reason in Reason; Target is then as it was and no temporary file is left behind.
// Target's folder must exist.
bool ReplaceFileContents(const std::filesystem::path& Target, std::string_view Text,
                         std::string& Reason);
