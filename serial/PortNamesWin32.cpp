// COM numbers on Win32: the device namespace names every port, and the registry lists those
// present.
#include <windows.h>

#include <string>
#include <vector>

#include "serial/PortNames.h"

std::string PortDevicePath(TPort port) {
  return "\\\\.\\COM" + std::to_string(port);
}

// The serial drivers enter each port they serve under this key; values in the registry's own
// order, each holding a port name such as "COM3". Only names beginning with COM are ports that
// a COM number can open.
std::optional<std::vector<std::string>> PresentPorts() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::vector<std::string> names;
  for (DWORD index = 0;; ++index) {
    wchar_t valueName[256];
    DWORD nameLength = 256;
    wchar_t data[256] = {};
    DWORD dataBytes = sizeof data - sizeof(wchar_t);  // room for a terminator of our own
    DWORD type = 0;
    const LONG rc = RegEnumValueW(key, index, valueName, &nameLength, nullptr, &type,
                                  reinterpret_cast<BYTE*>(data), &dataBytes);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;  // too long, or not text: no port name
    std::string name;
    for (DWORD i = 0; i < dataBytes / sizeof(wchar_t) && data[i] != L'\0'; ++i) {
      name.push_back(data[i] < 0x80 ? static_cast<char>(data[i]) : '?');
    }
    std::string head = name.substr(0, 3);
    for (char& c : head) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    if (head == "COM") names.push_back(name);
  }
  RegCloseKey(key);
  return names;
}

std::optional<std::vector<TPortInfo>> PresentPortInfo() {
  const std::optional<std::vector<std::string>> names = PresentPorts();
  if (!names) return std::nullopt;
  std::vector<TPortInfo> ports;
  for (const std::string& name : *names) ports.push_back({name, {}, {}});
  return ports;
}
