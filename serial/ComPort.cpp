// The platform-independent part of TComPort: properties, Open/Close and their events. Everything
// that touches the device is in the backend file of the platform.
#include "serial/ComPort.h"

#include "serial/PortNames.h"

TComPort::TComPort() = default;

TComPort::~TComPort() {
  // The derived part is gone by now, so no event is raised: a handler would see a half-destroyed
  // sender. The device is given up all the same.
  std::shared_ptr<TPortHandle> handle;
  {
    std::lock_guard lock(FHandleLock);
    handle = std::move(FHandle);
  }
  if (handle) CloseDevice(*handle);
  FConnected.store(false, std::memory_order_release);
}

bool TComPort::Open() {
  if (Connected()) return true;
  FOpenError = 0;
  std::shared_ptr<TPortHandle> handle = OpenDevice();
  if (!handle) return false;
  // A setting the driver refuses does not keep a port from opening.
  ApplyBufferSizes(*handle);
  ApplyTimeouts(*handle);
  ApplyLineSettings(*handle, FByteSize, FParity, FStopBits);
  {
    std::lock_guard lock(FHandleLock);
    FHandle = std::move(handle);
  }
  // Published after the handle, so a worker that sees Connected also finds the handle.
  FConnected.store(true, std::memory_order_release);
  if (OnConnect) OnConnect(this);
  return true;
}

bool TComPort::Close() {
  if (!Connected()) return true;
  std::shared_ptr<TPortHandle> handle;
  {
    std::lock_guard lock(FHandleLock);
    handle = std::move(FHandle);
  }
  if (!handle || !CloseDevice(*handle)) {
    std::lock_guard lock(FHandleLock);
    FHandle = std::move(handle);
    return false;
  }
  FConnected.store(false, std::memory_order_release);
  PortClosed();
  if (OnDisconnect) OnDisconnect(this);
  return true;
}

void TComPort::SetConnected(bool value) {
  if (value == Connected()) return;
  if (value) {
    Open();
  } else {
    Close();
  }
}

void TComPort::SetPort(TPort value) {
  if (value == FPort) return;
  FPort = value;
  // Reopening after a refused close would only report the old device as open.
  if (Connected() && Close()) Open();
}

std::string TComPort::DeviceName() const {
  return PortDevicePath(FPort);
}

template <typename T>
void TComPort::SetLineSetting(T& field, T value) {
  if (field == value) return;
  const T old = field;
  field = value;
  if (!Connected()) return;  // applied at the next Open
  // The field shows what the driver accepted.
  std::shared_ptr<TPortHandle> handle = Handle();
  if (!handle || !ApplyLineSettings(*handle, FByteSize, FParity, FStopBits)) field = old;
}

void TComPort::SetParity(TParity value) {
  SetLineSetting(FParity, value);
}
void TComPort::SetByteSize(std::uint8_t value) {
  SetLineSetting(FByteSize, value);
}
void TComPort::SetStopBits(TStopBits value) {
  SetLineSetting(FStopBits, value);
}

void TComPort::SetInBufferSize(std::uint32_t value) {
  if (value == FInBufferSize) return;
  FInBufferSize = value;
  if (std::shared_ptr<TPortHandle> handle = Connected() ? Handle() : nullptr) {
    ApplyBufferSizes(*handle);
  }
}

void TComPort::SetOutBufferSize(std::uint32_t value) {
  if (value == FOutBufferSize) return;
  FOutBufferSize = value;
  if (std::shared_ptr<TPortHandle> handle = Connected() ? Handle() : nullptr) {
    ApplyBufferSizes(*handle);
  }
}

// Timeouts are stored even when unchanged, and the whole record goes to the open device.
void TComPort::SetTimeout(std::uint32_t TCommTimeouts::*field, std::uint32_t value) {
  FTimeouts.*field = value;
  if (std::shared_ptr<TPortHandle> handle = Connected() ? Handle() : nullptr) {
    ApplyTimeouts(*handle);
  }
}

void TComPort::SetReadIntervalTimeout(std::uint32_t value) {
  SetTimeout(&TCommTimeouts::ReadIntervalTimeout, value);
}
void TComPort::SetReadTotalTimeoutMultiplier(std::uint32_t value) {
  SetTimeout(&TCommTimeouts::ReadTotalTimeoutMultiplier, value);
}
void TComPort::SetReadTotalTimeoutConstant(std::uint32_t value) {
  SetTimeout(&TCommTimeouts::ReadTotalTimeoutConstant, value);
}
void TComPort::SetWriteTotalTimeoutMultiplier(std::uint32_t value) {
  SetTimeout(&TCommTimeouts::WriteTotalTimeoutMultiplier, value);
}
void TComPort::SetWriteTotalTimeoutConstant(std::uint32_t value) {
  SetTimeout(&TCommTimeouts::WriteTotalTimeoutConstant, value);
}

std::shared_ptr<TPortHandle> TComPort::Handle() const {
  std::lock_guard lock(FHandleLock);
  return FHandle;
}
