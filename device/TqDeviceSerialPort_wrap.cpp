// TqDeviceSerialPort: a serial port of a device, opened over its adapter; bytes written from NumPy
// arrays and read into new ones, write progress, the receive buffer and byte statistics. An open
// port keeps the adapter's proxy (and so its device) alive; counts come back unsigned.
#include "attached.h"
#include "classes.h"
#include "sdk_types.h"

#include "TqDeviceAdapter.h"
#include "TqDeviceSerialPort.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using S = TqDeviceSerialPort;
using Count = Present<uint32_t&>;

// Closing lets the adapter go; so does the port's end.
void closed(CallFrame& f, bool) { forget_registered(f.self<void>()); }

}  // namespace

Entries serial_port_entries() {
    return {
        constructor_entry<"new_TqDeviceSerialPort", S>(),
        delete_entry<"delete_TqDeviceSerialPort", S, &forget_registered>(),
        method<"TqDeviceSerialPort_Open", &S::Open, Registers<>>("aDevice", "aPort"),
        method<"TqDeviceSerialPort_Close", &S::Close, After<closed>>(),
        method<"TqDeviceSerialPort_IsOpened", &S::IsOpened>(),
        method<"TqDeviceSerialPort_Write", &S::Write, Default,
               Params<Array<const uint8_t*, uint32_t>, Count>>("aBuffer", "aBytesWritten"),
        method<"TqDeviceSerialPort_GetWriteProgress", &S::GetWriteProgress, Default, Params<Count, Count>>(
            "aWritten", "aTotal"),
        method<"TqDeviceSerialPort_Read", &S::Read, Default,
               Params<NewArray<uint8_t*, uint32_t>, Count, uint32_t>>("aSize", "aBytesRead", "aTimeout"),
        method<"TqDeviceSerialPort_NotifyReadComplete", &S::NotifyReadComplete>(),
        method<"TqDeviceSerialPort_FlushRxBuffer", &S::FlushRxBuffer>(),
        method<"TqDeviceSerialPort_GetRxBytesReady", &S::GetRxBytesReady, Default, Params<Count>>("aBytes"),
        method<"TqDeviceSerialPort_GetRxBufferSize", &S::GetRxBufferSize, Default, Params<Count>>("aSize"),
        method<"TqDeviceSerialPort_SetRxBufferSize", &S::SetRxBufferSize>("aSize"),
        static_method<"TqDeviceSerialPort_IsSupported", S, &S::IsSupported>("aDevice", "aPort"),
        static_method<"TqDeviceSerialPort_RegisterEchoSink", S, &S::RegisterEchoSink>("aSink"),
        static_method<"TqDeviceSerialPort_UnregisterEchoSink", S, &S::UnregisterEchoSink>("aSink"),
        method<"TqDeviceSerialPort_GetBytesSent", &S::GetBytesSent>(),
        method<"TqDeviceSerialPort_GetBytesReceived", &S::GetBytesReceived>(),
        method<"TqDeviceSerialPort_ResetStatistics", &S::ResetStatistics>(),
        registration<"TqDeviceSerialPort_swigregister", S>(),
        initialisation<"TqDeviceSerialPort_swiginit">(),
    };
}

// The docstrings' texts of TqDeviceSerialPort's rows.
const DocTable kSerialPortDocs{
    whole("new_TqDeviceSerialPort", "Constructor."),
    whole("delete_TqDeviceSerialPort", "Destructor."),
    summary("TqDeviceSerialPort_Open",
            "The device must be connected before a port is opened on it.\n\nResults: "
            "#TqResult::Code::INVALID_PARAMETER if aDevice is NULL. #TqResult::Code::NOT_CONNECTED if the device is "
            "not connected. #TqResult::Code::NOT_SUPPORTED if the port is not supported by the device."),
    summary("TqDeviceSerialPort_Close", "#TqResult::Code::NOT_CONNECTED if the port was already closed"),
    summary("TqDeviceSerialPort_Write",
            "Write( aBuffer ) -> TqResult, int\n\naBuffer: A 1-dimensional python numpy array with dtype np.uint8 "
            "containing the bytes to write on the serial port.\n:return: Tuple composed of (result, "
            "aBytesWritten).\n\nResults: NOT_CONNECTED if the port is not opened or the associated #TqDevice is no "
            "longer connected. GENERIC_ERROR if not all bytes could be written to the serial port."),
    summary("TqDeviceSerialPort_GetWriteProgress",
            "GetWriteProgress() -> TqResult, int, int\n\nGets the progress of an ongoing write operation. It may be "
            "called from another thread than the one blocked in Write; after a successful write aWritten equals "
            "aTotal until the next write begins.\naWritten: How many bytes have been written up to now.\naTotal: The "
            "total number of bytes to write.\n:return: Tuple composed of (result, aWritten, aTotal).\n\nResults: "
            "STATE_ERROR if no write operation has been performed yet."),
    summary("TqDeviceSerialPort_Read",
            "Read( aSize, aTimeout=0 ) -> TqResult, ndarray, int\n\naSize: Size of the numpy array or maximum number "
            "of bytes that are read from the serial port\naTimeout: Time to wait for new bytes, in ms.\n:return: "
            "Tuple composed of (result, aBuffer, aBytesRead): aBuffer a 1-dimensional python numpy array with dtype "
            "np.uint8 describing the received bytes, aBytesRead the number of bytes read from the serial port."),
    summary("TqDeviceSerialPort_NotifyReadComplete",
            "Method used to trigger a OnReadComplete event to TqDeviceSerialPortEchoSink subscribers."),
    summary("TqDeviceSerialPort_FlushRxBuffer", "Empties the read buffer."),
    summary("TqDeviceSerialPort_GetRxBytesReady", "Number of bytes currently queued in the receive buffer."),
    summary("TqDeviceSerialPort_GetRxBufferSize",
            "When more data than the capacity arrives before it is read with Read, oldest bytes are dropped first."),
    summary("TqDeviceSerialPort_SetRxBufferSize",
            "The receive buffer needs to be big enough to buffer all incoming bytes before the user calls #Read. "
            "Resizing the receive buffer flushes all data in that buffer."),
    summary("TqDeviceSerialPort_IsSupported",
            "aDevice: Pointer to a #TqDevice object. The device must be connected.\n:return: True if supported."),
    summary("TqDeviceSerialPort_RegisterEchoSink",
            "Registers an echo sink for all device serial communication in the process.\n\nResults: "
            "#TqResult::Code::INVALID_PARAMETER if aSink is NULL, #TqResult::Code::NOT_SUPPORTED if aSink is already "
            "registered"),
    summary("TqDeviceSerialPort_UnregisterEchoSink",
            "Unregisters an echo sink for all device serial communication in the process.\n\nResults: "
            "#TqResult::Code::NOT_FOUND if the object was not previously registered"),
    summary("TqDeviceSerialPort_GetBytesSent", "Returns how many bytes were sent through the serial port."),
    summary("TqDeviceSerialPort_GetBytesReceived", "Returns how many bytes were received from the serial port."),
    summary("TqDeviceSerialPort_ResetStatistics", "Resets the port statistics."),
};

}  // namespace kivo::module
