#include <windows.h>

#include <cstdio>

#include "platform/files.h"

namespace files {

namespace {
std::string last_error_text() {
  char buf[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 GetLastError(), 0, buf, sizeof(buf), nullptr);
  std::string s(buf);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) s.pop_back();
  return s;
}
}  // namespace

bool replace(const std::string& path, const std::string& content, std::string* error) {
  std::string tmp = path + ".new";
  HANDLE h = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = last_error_text();
    return false;
  }
  DWORD written = 0;
  bool ok = WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
            written == content.size() && FlushFileBuffers(h);
  std::string why = ok ? std::string() : last_error_text();
  CloseHandle(h);
  if (ok &&
      !MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    why = last_error_text();
  }
  if (!ok) {
    DeleteFileA(tmp.c_str());
    if (error) *error = why;
  }
  return ok;
}

}  // namespace files
