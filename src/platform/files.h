// Small file helpers with the safety the settings file needs.
#pragma once

#include <string>

namespace files {

// Write content to path so that a crash or a full disk never leaves a half-written file in its
// place: a new file beside it, flushed to the disk, then renamed over the old one. On failure the
// old file is untouched, the new one removed, and error says why.
bool replace(const std::string& path, const std::string& content, std::string* error);

// Read at most max_bytes of a file; false when it cannot be opened.
bool read(const std::string& path, size_t max_bytes, std::string* content);

}  // namespace files
