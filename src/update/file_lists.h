// What the drive, folder and file lists of the update window show.
#pragma once

#include <string>
#include <vector>

namespace update {

// Drive roots ("C:\" ...) on Windows; "/" elsewhere.
std::vector<std::string> drives();
// The root a path lives on, as drives() names it.
std::string drive_of(const std::string& path);
// Names of the sub-folders of a folder, sorted; empty when it cannot be read.
std::vector<std::string> subdirectories(const std::string& directory);
// Names of the regular files of a folder that match a mask such as "*.Bit" (letter case does
// not matter, as on the receiver's home platform), sorted.
std::vector<std::string> matching_files(const std::string& directory, const std::string& mask);
// '*' any run of characters, '?' one character, letter case ignored.
bool mask_matches(const std::string& mask, const std::string& name);
// directory + separator + name.
std::string join_path(const std::string& directory, const std::string& name);

}  // namespace update
