#include "platform/WinShell.h"

#include <windows.h>

#include <shellapi.h>

#include <vector>

namespace {

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string ToUtf8(const wchar_t* text, std::size_t length) {
  if (length == 0) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

std::optional<std::string> FileVersionString(const std::wstring& path, const std::string& name) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return std::nullopt;
  std::vector<unsigned char> info(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data())) return std::nullopt;
  const std::wstring query = L"\\StringFileInfo\\040904E4\\" + FromUtf8(name);
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(info.data(), query.c_str(), &value, &length) || !value) return std::nullopt;
  // The length counts the terminator when there is one.
  const auto* text = static_cast<const wchar_t*>(value);
  std::size_t chars = length;
  while (chars > 0 && text[chars - 1] == L'\0') --chars;
  return ToUtf8(text, chars);
}

std::wstring ProgramFilePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);  // a long path: try again with room for it
  }
}

std::optional<std::string> ProgramVersionString(const std::string& name) {
  const std::wstring path = ProgramFilePath();
  if (path.empty()) return std::nullopt;
  return FileVersionString(path, name);
}

bool ShellOpen(const std::string& target) {
  const std::wstring wide = FromUtf8(target);
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32;  // values up to 32 are the shell's error codes
}
