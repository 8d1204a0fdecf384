// TEvent on Win32: a kernel event, so that a thread waits for it and a port's completion event
// in one WaitForMultipleObjects.
#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

#include "laser/Sync.h"

namespace {

using Clock = std::chrono::steady_clock;

// Remaining milliseconds of a bounded wait, rounded up; INFINITE when unbounded.
DWORD Remaining(int timeoutMs, Clock::time_point deadline) {
  if (timeoutMs < 0) return INFINITE;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<DWORD>(left) : 0;
}

}  // namespace

TEvent::TEvent(bool manualReset, bool initialState)
    : FManualReset(manualReset),
      FHandle(CreateEventW(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE,
                           nullptr)) {}

TEvent::~TEvent() {
  if (FHandle) CloseHandle(FHandle);
}

void TEvent::Set() {
  SetEvent(FHandle);
}

void TEvent::Reset() {
  ResetEvent(FHandle);
}

bool TEvent::IsSet() const {
  if (WaitForSingleObject(FHandle, 0) != WAIT_OBJECT_0) return false;
  // Looking at an auto-reset event takes its signal: give it back.
  if (!FManualReset) SetEvent(FHandle);
  return true;
}

bool TEvent::TryConsume() {
  return WaitForSingleObject(FHandle, 0) == WAIT_OBJECT_0;
}

bool TEvent::Wait(int timeoutMs) {
  return WaitForAny({this}, timeoutMs) == 0;
}

int TEvent::WaitForAny(std::initializer_list<TEvent*> events, int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<HANDLE> handles;
  handles.reserve(events.size());
  for (TEvent* e : events) handles.push_back(e->FHandle);
  for (;;) {
    // With several signalled, the lowest index is reported (and only that one taken).
    const DWORD rc = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                            FALSE, Remaining(timeoutMs, deadline));
    if (rc < WAIT_OBJECT_0 + handles.size()) return static_cast<int>(rc - WAIT_OBJECT_0);
    if (rc != WAIT_TIMEOUT) return -2;
    // A timed wait may end up to a clock tick early; the caller was promised the whole time.
    if (Remaining(timeoutMs, deadline) == 0) return -1;
  }
}

int LastSystemError() {
  return static_cast<int>(GetLastError());
}

std::string SystemErrorText(int code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::size_t length = n;
  while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n' ||
                        buffer[length - 1] == L' ')) {
    --length;
  }
  std::string text;
  if (length > 0) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr);
    text.resize(static_cast<std::size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), text.data(), bytes, nullptr,
                        nullptr);
  }
  if (buffer) LocalFree(buffer);
  if (text.empty()) text = "error " + std::to_string(static_cast<unsigned>(code));
  return text;
}
