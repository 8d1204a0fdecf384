// Win32 backend of TComPort: "\\.\COMn" opened exclusively for overlapped I/O. Reads and comm-event
// waits complete in the background and are collected through the record's event; a write is
// waited for here (bounded by the write timeouts), so the caller's text need not outlive the call.
// A read returns as soon as what it has read ends a line: LF is the driver's event character, and
// a comm-event wait for it runs beside each read (the line-end watch).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <shared_mutex>
#include <string>
#include <vector>

#include "serial/ComPort.h"

// The port's handle is closed only under the exclusive lock, and every call that takes the handle
// runs under the shared lock and tests Closed first: a worker never issues a call on a handle value
// that a close has already given back to the system (and that a later open may have reused).
struct TPortHandle {
  TPortHandle(HANDLE file, HANDLE closing) : File(file), Closing(closing) {}
  ~TPortHandle() {
    if (File != INVALID_HANDLE_VALUE) CloseHandle(File);
    CloseHandle(Closing);
  }
  TPortHandle(const TPortHandle&) = delete;
  TPortHandle& operator=(const TPortHandle&) = delete;

  HANDLE File;
  const HANDLE Closing;  // manual-reset event, signalled once the port is closed
  std::shared_mutex Use;
  std::atomic<bool> Closed{false};
  std::atomic<bool> HungUp{false};  // the driver reported the device gone
  // The completion event of the comm-event wait in flight, if any (one receiving thread).
  std::atomic<HANDLE> CommWaitEvent{nullptr};
  DCB Dcb{};  // what the driver last accepted
};

struct TOverlapped {
  TOverlapped() {
    Ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    LineOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~TOverlapped() {
    CloseHandle(Ov.hEvent);
    CloseHandle(LineOv.hEvent);
  }
  TOverlapped(const TOverlapped&) = delete;
  TOverlapped& operator=(const TOverlapped&) = delete;

  OVERLAPPED Ov{};
  std::shared_ptr<TPortHandle> Port;  // the port of the operation in flight, if any
  bool Pending = false;               // an operation was started and not collected yet
  bool CommWait = false;              // that operation is a WaitCommEvent
  bool Stuck = false;  // an operation did not end when cancelled: the record is never used again
  bool Complete = false;
  bool Ok = false;
  DWORD Transferred = 0;
  DWORD CommMask = 0;
  std::vector<unsigned char> Data;  // read target or the copy of the bytes written
  void* ReadTarget = nullptr;       // where a read's bytes go once they are collected
  // The line-end watch of a read in flight: a wait for the event character on the read's port.
  OVERLAPPED LineOv{};
  DWORD LineMask = 0;
  bool LineWatch = false;  // started and not collected yet
};

namespace {

constexpr DWORD kCancelWaitMs = 5000;
// Replies are lines: their end is the driver's event character.
constexpr char kLineEnd = '\n';
// The receive wait ends on any byte, and says whether a line end has come too.
constexpr DWORD kReceiveMask = EV_RXCHAR | EV_RXFLAG;
// A zero write timeout means "no limit" to the driver; a stuck line must still not hang the
// sending thread for ever.
constexpr DWORD kWriteLimitWhenUnboundedMs = 2000;

// Errors with which a driver reports that its device has gone (USB adapter pulled out, a virtual
// port whose far end was removed), as opposed to a slow or cancelled operation.
bool DeviceGone(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GEN_FAILURE:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_READY:
    case ERROR_BROKEN_PIPE:
      return true;
    default:
      return false;
  }
}

void Finish(TOverlapped& overlapped, bool ok, DWORD transferred) {
  overlapped.Ok = ok;
  overlapped.Transferred = transferred;
  overlapped.Complete = true;
  overlapped.Pending = false;
}

void Start(TOverlapped& overlapped, const std::shared_ptr<TPortHandle>& port) {
  overlapped.Complete = false;
  overlapped.Ok = false;
  overlapped.Transferred = 0;
  overlapped.CommMask = 0;
  overlapped.ReadTarget = nullptr;
  overlapped.CommWait = false;
  overlapped.Port = port;
  const HANDLE event = overlapped.Ov.hEvent;
  overlapped.Ov = OVERLAPPED{};
  overlapped.Ov.hEvent = event;
  ResetEvent(event);
}

// Takes the result of the operation in flight, which has finished (its event is signalled).
void Collect(TOverlapped& overlapped) {
  if (!overlapped.Pending) return;
  const std::shared_ptr<TPortHandle> port = overlapped.Port;
  DWORD n = 0;
  bool ok = false;
  DWORD error = ERROR_OPERATION_ABORTED;
  {
    std::shared_lock lock(port->Use);
    if (!port->Closed.load(std::memory_order_acquire)) {
      ok = ::GetOverlappedResult(port->File, &overlapped.Ov, &n, FALSE) != FALSE;
      if (!ok) error = GetLastError();
    }
    if (overlapped.CommWait) port->CommWaitEvent.store(nullptr, std::memory_order_release);
  }
  if (!ok && error != ERROR_OPERATION_ABORTED && DeviceGone(error)) {
    port->HungUp.store(true, std::memory_order_release);
  }
  // A cancelled read hands over the bytes it had taken from the driver: the line-end watch ends
  // reads that way, and a woken thread must not lose what was read for it.
  if (!ok && error == ERROR_OPERATION_ABORTED && !overlapped.CommWait && n > 0) ok = true;
  Finish(overlapped, ok, ok ? n : 0);
}

// Collects the line-end watch, which has finished. True when it saw the event character.
bool CollectLineWatch(TOverlapped& overlapped) {
  const std::shared_ptr<TPortHandle> port = overlapped.Port;
  DWORD n = 0;
  bool ok = false;
  {
    std::shared_lock lock(port->Use);
    if (!port->Closed.load(std::memory_order_acquire)) {
      ok = ::GetOverlappedResult(port->File, &overlapped.LineOv, &n, FALSE) != FALSE;
    }
    port->CommWaitEvent.store(nullptr, std::memory_order_release);
  }
  overlapped.LineWatch = false;
  return ok && (overlapped.LineMask & EV_RXFLAG) != 0;
}

// Ends the line-end watch: a new mask completes the wait (see Settle), which is over once its
// event is set. False when it did not end in time.
bool EndLineWatch(TOverlapped& overlapped) {
  if (!overlapped.LineWatch) return true;
  const std::shared_ptr<TPortHandle> port = overlapped.Port;
  if (WaitForSingleObject(overlapped.LineOv.hEvent, 0) != WAIT_OBJECT_0) {
    std::shared_lock lock(port->Use);
    if (!port->Closed.load(std::memory_order_acquire)) SetCommMask(port->File, kReceiveMask);
  }
  if (WaitForSingleObject(overlapped.LineOv.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
    overlapped.Stuck = true;
    return false;
  }
  CollectLineWatch(overlapped);
  return true;
}

// Ends the operation in flight: cancelled unless it has finished, and in either case waited for,
// because the system writes into the record until then. False when it did not end in time; the
// record must then never be freed or reused.
bool Settle(TOverlapped& overlapped) {
  if (overlapped.Stuck) return false;
  if (!overlapped.Pending) return EndLineWatch(overlapped);
  const std::shared_ptr<TPortHandle> port = overlapped.Port;
  if (WaitForSingleObject(overlapped.Ov.hEvent, 0) != WAIT_OBJECT_0) {
    std::shared_lock lock(port->Use);
    // A closed port has ended everything already. A comm-event wait is ended by setting the
    // mask, the documented way, and never cancelled: Wine's emulation completes a cancelled wait
    // at once but writes its result into the record a moment later.
    if (!port->Closed.load(std::memory_order_acquire)) {
      if (overlapped.CommWait) {
        SetCommMask(port->File, kReceiveMask);
      } else {
        CancelIoEx(port->File, &overlapped.Ov);
      }
    }
  }
  if (WaitForSingleObject(overlapped.Ov.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
    overlapped.Stuck = true;
    return false;
  }
  Collect(overlapped);
  return EndLineWatch(overlapped);
}

std::wstring Widen(const std::string& text) {
  std::wstring wide;
  for (const char c : text) wide.push_back(static_cast<unsigned char>(c));
  return wide;
}

COMMTIMEOUTS ToDriver(const TCommTimeouts& t) {
  COMMTIMEOUTS c{};
  c.ReadIntervalTimeout = t.ReadIntervalTimeout;
  c.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
  c.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
  c.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
  c.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
  return c;
}

}  // namespace

void TOverlappedDeleter::operator()(TOverlapped* overlapped) const {
  if (!overlapped) return;
  // A record that the system may still write into is left alone: a small leak in a case that
  // should not happen beats a write into freed memory.
  if (Settle(*overlapped)) delete overlapped;
}

TOverlappedPtr NewOverlapped() {
  return TOverlappedPtr(new TOverlapped);
}

void FreeOverlapped(TOverlappedPtr& overlapped) {
  overlapped.reset();
}

std::shared_ptr<TPortHandle> TComPort::OpenDevice() {
  const std::wstring name = Widen(DeviceName());
  const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    FOpenError = static_cast<int>(GetLastError());
    return nullptr;
  }
  const HANDLE closing = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!closing) {
    FOpenError = static_cast<int>(GetLastError());
    CloseHandle(file);
    return nullptr;
  }
  auto handle = std::make_shared<TPortHandle>(file, closing);
  handle->Dcb.DCBlength = sizeof(DCB);
  GetCommState(file, &handle->Dcb);
  return handle;
}

bool TComPort::CloseDevice(TPortHandle& handle) {
  // Waiting workers are woken first; the exclusive lock then waits for calls still being issued.
  handle.Closed.store(true, std::memory_order_release);
  SetEvent(handle.Closing);
  std::unique_lock lock(handle.Use);
  // A comm-event wait ends with a new mask (see Settle), and is over once its event is set;
  // reads and writes end with the cancel.
  SetCommMask(handle.File, 0);
  if (const HANDLE wait = handle.CommWaitEvent.load(std::memory_order_acquire)) {
    WaitForSingleObject(wait, kCancelWaitMs);
  }
  CancelIoEx(handle.File, nullptr);
  if (!CloseHandle(handle.File)) {
    handle.Closed.store(false, std::memory_order_release);
    ResetEvent(handle.Closing);
    return false;
  }
  handle.File = INVALID_HANDLE_VALUE;
  return true;
}

bool TComPort::ApplyLineSettings(TPortHandle& handle, std::uint8_t byteSize, TParity parity,
                                 TStopBits stopBits) {
  std::shared_lock lock(handle.Use);
  if (handle.Closed.load(std::memory_order_acquire)) return false;
  // Only these fields are ours; flow control and the other special characters stay as the driver
  // reported them.
  DCB dcb = handle.Dcb;
  dcb.EvtChar = kLineEnd;
  dcb.BaudRate = FBaudRate;
  dcb.ByteSize = byteSize;
  dcb.Parity = static_cast<BYTE>(parity);
  dcb.StopBits = static_cast<BYTE>(stopBits);
  if (!SetCommState(handle.File, &dcb)) return false;
  handle.Dcb = dcb;
  return true;
}

void TComPort::ApplyBufferSizes(TPortHandle& handle) {
  std::shared_lock lock(handle.Use);
  if (!handle.Closed.load(std::memory_order_acquire)) {
    SetupComm(handle.File, FInBufferSize, FOutBufferSize);
  }
}

void TComPort::ApplyTimeouts(TPortHandle& handle) {
  std::shared_lock lock(handle.Use);
  if (handle.Closed.load(std::memory_order_acquire)) return;
  COMMTIMEOUTS timeouts = ToDriver(FTimeouts);
  SetCommTimeouts(handle.File, &timeouts);
}

TWaitResult TComPort::WaitReceive(TOverlapped& overlapped, TWaitHandle wake) {
  if (!Settle(overlapped)) return TWaitResult::Failed;
  const std::shared_ptr<TPortHandle> handle = Handle();
  for (;;) {
    if (!handle || handle->Closed.load(std::memory_order_acquire) ||
        handle->HungUp.load(std::memory_order_acquire)) {
      return TWaitResult::Failed;
    }
    Start(overlapped, handle);
    {
      std::shared_lock lock(handle->Use);
      if (handle->Closed.load(std::memory_order_acquire)) return TWaitResult::Failed;
      // Setting the mask forgets earlier events, so the bytes already waiting are looked at
      // after it: any that come later raise the event that the wait below sees.
      SetCommMask(handle->File, kReceiveMask);
      DWORD errors = 0;
      COMSTAT stat{};
      if (!ClearCommError(handle->File, &errors, &stat)) {
        if (DeviceGone(GetLastError())) handle->HungUp.store(true, std::memory_order_release);
        return TWaitResult::Failed;
      }
      if (stat.cbInQue > 0) return TWaitResult::Input;
      if (WaitCommEvent(handle->File, &overlapped.CommMask, &overlapped.Ov)) {
        overlapped.Complete = overlapped.Ok = true;
        if ((overlapped.CommMask & kReceiveMask) != 0) return TWaitResult::Input;
        continue;
      }
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) {
        if (DeviceGone(error)) handle->HungUp.store(true, std::memory_order_release);
        return TWaitResult::Failed;
      }
      overlapped.Pending = true;
      overlapped.CommWait = true;
      handle->CommWaitEvent.store(overlapped.Ov.hEvent, std::memory_order_release);
    }
    const HANDLE events[3] = {overlapped.Ov.hEvent, handle->Closing, wake};
    const DWORD rc = WaitForMultipleObjects(wake ? 3 : 2, events, FALSE, INFINITE);
    if (rc == WAIT_OBJECT_0) {
      Collect(overlapped);
      if (!overlapped.Ok) return TWaitResult::Failed;
      if ((overlapped.CommMask & kReceiveMask) != 0) return TWaitResult::Input;
      continue;  // the mask was changed under the wait: wait again
    }
    Settle(overlapped);
    if (rc == WAIT_OBJECT_0 + 2) return TWaitResult::Woken;
    return TWaitResult::Failed;
  }
}

void TComPort::ReadBytes(void* buffer, std::uint32_t count, TOverlapped& overlapped) {
  // The receive wait that came before saw a line end come in.
  bool lineEnd = overlapped.Complete && overlapped.Ok && (overlapped.CommMask & EV_RXFLAG) != 0;
  if (!Settle(overlapped)) return;  // a stuck record reports failure from now on
  const std::shared_ptr<TPortHandle> handle = Handle();
  Start(overlapped, handle);
  if (!handle || (!buffer && count > 0)) {
    Finish(overlapped, false, 0);
    return;
  }
  // Read into the record's own buffer: a read abandoned by a woken thread may still finish.
  overlapped.Data.resize(count);
  overlapped.ReadTarget = buffer;
  std::shared_lock lock(handle->Use);
  if (handle->Closed.load(std::memory_order_acquire)) {
    Finish(overlapped, false, 0);
    return;
  }
  if (!lineEnd) {
    // The watch wants line ends only: with EV_RXCHAR it would end at every byte of the line.
    SetCommMask(handle->File, EV_RXFLAG);
    const HANDLE event = overlapped.LineOv.hEvent;
    overlapped.LineOv = OVERLAPPED{};
    overlapped.LineOv.hEvent = event;
    ResetEvent(event);
    overlapped.LineMask = 0;
    if (WaitCommEvent(handle->File, &overlapped.LineMask, &overlapped.LineOv)) {
      lineEnd = (overlapped.LineMask & EV_RXFLAG) != 0;  // one has come since the receive wait
    } else if (GetLastError() == ERROR_IO_PENDING) {
      overlapped.LineWatch = true;
      handle->CommWaitEvent.store(event, std::memory_order_release);
    }
    // A driver without the wait leaves the read to its timeouts.
  }
  if (lineEnd) {
    // The line end is queued already: a read of just what is queued returns at once. (One that
    // came after the receive wait and before the watch began is not seen: that read waits out
    // the interval after it, as reads without the event character do.)
    DWORD errors = 0;
    COMSTAT stat{};
    if (ClearCommError(handle->File, &errors, &stat) && stat.cbInQue > 0) {
      count = std::min<std::uint32_t>(count, stat.cbInQue);
    }
  }
  overlapped.Pending = true;
  if (!ReadFile(handle->File, overlapped.Data.data(), count, nullptr, &overlapped.Ov)) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      if (DeviceGone(error)) handle->HungUp.store(true, std::memory_order_release);
      Finish(overlapped, false, 0);
    }
  }
}

bool TComPort::WaitComplete(TOverlapped& overlapped, TWaitHandle wake) {
  if (overlapped.Stuck) return false;
  if (!overlapped.Pending) {
    EndLineWatch(overlapped);
    return overlapped.Complete;
  }
  const std::shared_ptr<TPortHandle> port = overlapped.Port;
  for (;;) {
    HANDLE events[4] = {overlapped.Ov.hEvent, port->Closing};
    DWORD count = 2;
    const DWORD lineIndex = overlapped.LineWatch ? count++ : MAXDWORD;
    if (overlapped.LineWatch) events[lineIndex] = overlapped.LineOv.hEvent;
    const DWORD wakeIndex = wake ? count++ : MAXDWORD;
    if (wake) events[wakeIndex] = wake;
    const DWORD rc = WaitForMultipleObjects(count, events, FALSE, INFINITE);
    if (rc == WAIT_OBJECT_0) {
      Collect(overlapped);
      EndLineWatch(overlapped);
      return true;
    }
    if (lineIndex != MAXDWORD && rc == WAIT_OBJECT_0 + lineIndex) {
      // The line end is in the read's buffer: the read is ended now rather than after the
      // interval, and hands over what it has (see Collect). A watch ended otherwise: wait on.
      if (!CollectLineWatch(overlapped)) continue;
      Settle(overlapped);
      return overlapped.Ok && overlapped.Transferred > 0;
    }
    // Woken or closed: the operation is cancelled, but bytes it has taken from the driver already
    // are delivered all the same.
    Settle(overlapped);
    return overlapped.Ok && overlapped.Transferred > 0;
  }
}

bool TComPort::GetOverlappedResult(TOverlapped& overlapped, std::uint32_t& transferred) {
  if (overlapped.Stuck) {
    transferred = 0;
    return false;
  }
  if (overlapped.Pending) {
    WaitForSingleObject(overlapped.Ov.hEvent, INFINITE);
    Collect(overlapped);
  }
  transferred = overlapped.Transferred;
  if (overlapped.Complete && overlapped.Ok && overlapped.ReadTarget && overlapped.Transferred > 0) {
    std::copy_n(overlapped.Data.data(), overlapped.Transferred,
                static_cast<unsigned char*>(overlapped.ReadTarget));
  }
  return overlapped.Complete && overlapped.Ok;
}

void TComPort::WriteBytes(const void* buffer, std::uint32_t count, TOverlapped& overlapped) {
  if (!Settle(overlapped)) return;  // a stuck record reports failure from now on
  const std::shared_ptr<TPortHandle> handle = Handle();
  Start(overlapped, handle);
  if (!handle || (!buffer && count > 0)) {
    Finish(overlapped, false, 0);
    return;
  }
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  overlapped.Data.assign(bytes, bytes + count);
  std::uint64_t limit = 0;
  {
    std::shared_lock lock(handle->Use);
    if (handle->Closed.load(std::memory_order_acquire)) {
      Finish(overlapped, false, 0);
      return;
    }
    overlapped.Pending = true;
    if (!WriteFile(handle->File, overlapped.Data.data(), count, nullptr, &overlapped.Ov)) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) {
        if (DeviceGone(error)) handle->HungUp.store(true, std::memory_order_release);
        Finish(overlapped, false, 0);
        return;
      }
    }
    limit = std::uint64_t{FTimeouts.WriteTotalTimeoutMultiplier} * count +
            FTimeouts.WriteTotalTimeoutConstant;
  }
  // The driver ends the write at its timeout; this bound only guards a driver that does not.
  const DWORD waitMs = static_cast<DWORD>(
      std::min<std::uint64_t>(limit > 0 ? limit + 1000 : kWriteLimitWhenUnboundedMs, 86'400'000));
  const HANDLE events[2] = {overlapped.Ov.hEvent, handle->Closing};
  if (WaitForMultipleObjects(2, events, FALSE, waitMs) == WAIT_OBJECT_0) {
    Collect(overlapped);
  } else {
    Settle(overlapped);
  }
  // A write that timed out succeeds with fewer bytes: that is a failed write here.
  if (overlapped.Ok && overlapped.Transferred != count) overlapped.Ok = false;
}

bool TComPort::LineFailed() const {
  const std::shared_ptr<TPortHandle> handle = Handle();
  if (!handle || handle->Closed.load(std::memory_order_acquire)) return false;
  if (handle->HungUp.load(std::memory_order_acquire)) return true;
  std::shared_lock lock(handle->Use);
  if (handle->Closed.load(std::memory_order_acquire)) return false;
  // The driver of a device that has gone refuses even this question.
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(handle->File, &errors, &stat) && DeviceGone(GetLastError())) {
    handle->HungUp.store(true, std::memory_order_release);
    return true;
  }
  return false;
}

std::uint32_t TComPort::InputWaiting() const {
  const std::shared_ptr<TPortHandle> handle = Handle();
  if (!handle) return 0;
  std::shared_lock lock(handle->Use);
  if (handle->Closed.load(std::memory_order_acquire)) return 0;
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(handle->File, &errors, &stat)) return 0;
  return stat.cbInQue;
}

void TComPort::WriteString(std::string_view text, TOverlapped& overlapped) {
  WriteBytes(text.data(), static_cast<std::uint32_t>(text.size()), overlapped);
}
