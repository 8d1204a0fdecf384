// One serial port, opened exclusively, configured once at open (57600 bit/s, 8N1 by default).
// The component runs no thread: the laser's worker threads call its I/O operations, each with a
// completion record of its own. The platform part lives in one backend file per OS.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

using TPort = std::uint16_t;  // 1..256 (higher numbers only through LASER_COM_DIR on POSIX)

enum class TParity : std::uint8_t { No = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class TStopBits : std::uint8_t { sb1 = 0, sb1_5 = 1, sb2 = 2 };

// The five timeouts in milliseconds, in the order the driver record keeps them.
struct TCommTimeouts {
  std::uint32_t ReadIntervalTimeout = 1;
  std::uint32_t ReadTotalTimeoutMultiplier = 1;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 1;
  std::uint32_t WriteTotalTimeoutConstant = 0;
};

#if defined(_WIN32)
using TWaitHandle = void*;  // an event HANDLE
#else
using TWaitHandle = int;  // a descriptor that is readable while the wake event is signalled
#endif

// Completion record of one read or write; defined by the backend. Each thread owns its own.
// (The deleter is the backend's too, so users never need the complete type.)
struct TOverlapped;
struct TOverlappedDeleter {
  void operator()(TOverlapped* overlapped) const;
};
using TOverlappedPtr = std::unique_ptr<TOverlapped, TOverlappedDeleter>;
TOverlappedPtr NewOverlapped();
void FreeOverlapped(TOverlappedPtr& overlapped);

enum class TWaitResult {
  Input,   // bytes are waiting to be read
  Woken,   // the wake event was signalled (pause or stop of the waiting thread)
  Failed,  // the line reports hang-up or error, or the port is closed: waiting again returns at
           // once
};

class TComPort;
using TNotifyEvent = std::function<void(TComPort* Sender)>;

struct TPortHandle;  // the open device; defined by the backend, shared with threads doing I/O

class TComPort {
 public:
  TComPort();
  virtual ~TComPort();
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  // Opens the device of Port; returns Connected. A port that is open already returns true at once.
  virtual bool Open();
  // Closes the device; true when it is closed afterwards (also when it was closed already).
  bool Close();

  bool Connected() const { return FConnected.load(std::memory_order_acquire); }
  // The system's reason the last Open failed (errno on POSIX, GetLastError on Win32: EACCES, a
  // device the user may not open; EBUSY, one in use); 0 after an Open that succeeded.
  int OpenError() const { return FOpenError; }
  void SetConnected(bool value);

  TPort Port() const { return FPort; }
  void SetPort(TPort value);
  // The device the port number maps to ("\\.\COMn", or a POSIX device path).
  std::string DeviceName() const;

  std::uint32_t BaudRate() const { return FBaudRate; }
  TParity Parity() const { return FParity; }
  void SetParity(TParity value);
  std::uint8_t ByteSize() const { return FByteSize; }
  void SetByteSize(std::uint8_t value);
  TStopBits StopBits() const { return FStopBits; }
  void SetStopBits(TStopBits value);

  std::uint32_t InBufferSize() const { return FInBufferSize; }
  void SetInBufferSize(std::uint32_t value);
  std::uint32_t OutBufferSize() const { return FOutBufferSize; }
  void SetOutBufferSize(std::uint32_t value);

  const TCommTimeouts& Timeouts() const { return FTimeouts; }
  std::uint32_t ReadIntervalTimeout() const { return FTimeouts.ReadIntervalTimeout; }
  void SetReadIntervalTimeout(std::uint32_t value);
  std::uint32_t ReadTotalTimeoutMultiplier() const { return FTimeouts.ReadTotalTimeoutMultiplier; }
  void SetReadTotalTimeoutMultiplier(std::uint32_t value);
  std::uint32_t ReadTotalTimeoutConstant() const { return FTimeouts.ReadTotalTimeoutConstant; }
  void SetReadTotalTimeoutConstant(std::uint32_t value);
  std::uint32_t WriteTotalTimeoutMultiplier() const {
    return FTimeouts.WriteTotalTimeoutMultiplier;
  }
  void SetWriteTotalTimeoutMultiplier(std::uint32_t value);
  std::uint32_t WriteTotalTimeoutConstant() const { return FTimeouts.WriteTotalTimeoutConstant; }
  void SetWriteTotalTimeoutConstant(std::uint32_t value);

  TNotifyEvent OnConnect;
  TNotifyEvent OnDisconnect;

  // --- I/O for the worker threads (any thread; each with its own completion record) ---

  // Blocks until bytes can be read, `wake` is signalled, or the line has failed. Never polls.
  TWaitResult WaitReceive(TOverlapped& overlapped, TWaitHandle wake);
  // Starts a read of up to `count` bytes into `buffer`; collect it with WaitComplete and
  // GetOverlappedResult. On a closed port nothing is read and the record reports a failure, so
  // a stale result of an earlier read is never taken for new bytes.
  void ReadBytes(void* buffer, std::uint32_t count, TOverlapped& overlapped);
  // Waits until the operation of `overlapped` has finished (true) or `wake` was signalled (false).
  // A finished operation wins over a signalled wake: its bytes are already out of the driver.
  bool WaitComplete(TOverlapped& overlapped, TWaitHandle wake);
  // Result of the finished operation: false for a failed one; `transferred` gets the byte count.
  bool GetOverlappedResult(TOverlapped& overlapped, std::uint32_t& transferred);
  // Starts a write; the bytes are copied, so the caller's buffer need not outlive the call.
  // On a closed port nothing is written and the record reports a failure.
  void WriteBytes(const void* buffer, std::uint32_t count, TOverlapped& overlapped);
  void WriteString(std::string_view text, TOverlapped& overlapped);

  // True while the port is open but its device has reported a hang-up or an I/O error (unplugged,
  // the far end closed): nothing more will be read or written on it. False when closed.
  bool LineFailed() const;
  // Bytes the driver has received that nobody has read yet; 0 when closed.
  std::uint32_t InputWaiting() const;

 protected:
  // Runs inside Close, after the device was given up and before OnDisconnect, on the closing
  // thread. The laser forgets there what it had meant to write on the closed line.
  virtual void PortClosed() {}

 private:
  // Backend: open DeviceName() exclusively; nullptr on failure. Open applies the settings.
  std::shared_ptr<TPortHandle> OpenDevice();
  // Backend: give the device up and wake every thread waiting on it; false when the OS refused.
  // Threads still holding the handle see a closed port.
  bool CloseDevice(TPortHandle& handle);
  // Backend: hand speed, data bits, parity and stop bits to the open device; false when the
  // driver refused, and then the line keeps its previous settings.
  bool ApplyLineSettings(TPortHandle& handle, std::uint8_t byteSize, TParity parity,
                         TStopBits stopBits);
  void ApplyBufferSizes(TPortHandle& handle);
  void ApplyTimeouts(TPortHandle& handle);
  std::shared_ptr<TPortHandle> Handle() const;

  template <typename T>
  void SetLineSetting(T& field, T value);
  void SetTimeout(std::uint32_t TCommTimeouts::*field, std::uint32_t value);

  TPort FPort = 1;
  std::uint32_t FBaudRate = 57600;
  TParity FParity = TParity::No;
  std::uint8_t FByteSize = 8;
  TStopBits FStopBits = TStopBits::sb1;
  std::uint32_t FInBufferSize = 1024;
  std::uint32_t FOutBufferSize = 1024;
  TCommTimeouts FTimeouts;
  std::atomic<bool> FConnected{false};
  int FOpenError = 0;  // Open and OpenError run on the same (the UI) thread

  // The handle is swapped on the UI thread and used by the workers; they take a reference for
  // each operation so that a close never pulls a descriptor out from under a waiting thread.
  mutable std::mutex FHandleLock;
  std::shared_ptr<TPortHandle> FHandle;
};
