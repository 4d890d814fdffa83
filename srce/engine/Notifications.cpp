// Position and NMEA notifications, the NMEA log file, and the two settings
// the driver commands change on the caller's thread: the NMEA count and the
// operation mode.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "Trace.h"
#include "engine/Engine.h"

namespace {

// The restart line, written with its terminating zero byte at each (re)open.
constexpr char kRestartLine[] = "---------------Restart-----------------\r\n";
static_assert(sizeof(kRestartLine) == 42);

// The NMEA log file.  SetNmea opens and closes it on a request thread while
// the client thread writes to it: every use of the descriptor holds the lock.
struct NmeaLogFile {
    std::mutex lock;
    int fd = -1;
};

NmeaLogFile& LogFile() {
    static NmeaLogFile file;
    return file;
}

std::string NmeaLogPath() {
    const char* path = std::getenv(NMEA_LOG_PATH_VARIABLE);
    if (path == nullptr || path[0] == '\0') return NMEA_LOG_DEFAULT_PATH;
    return path;
}

// Writes all of `length` bytes at the end of the file; false with errno set on failure.
bool WriteAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

void OpenNmeaLogFile(const char* function) {
    NmeaLogFile& file = LogFile();
    std::lock_guard guard(file.lock);
    if (file.fd >= 0) return;
    const std::string path = NmeaLogPath();
    // The folder is never created here: while it is missing, opening fails.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: NMEA CreateFile FAILED. Err=0x%X", TAG_MODEM, function,
                static_cast<unsigned>(errno));
        return;
    }
    file.fd = fd;
    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: NMEA CreateFile SUCCESS", TAG_MODEM, function);
    ::lseek(fd, 0, SEEK_END);
    if (!WriteAll(fd, kRestartLine, sizeof(kRestartLine)))
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: NMEA WriteFile FAILED. Error=0x%X", TAG_MODEM,
                function, static_cast<unsigned>(errno));
}

void WriteNmeaLogFile(const char* text, std::size_t capacity, const char* function) {
    NmeaLogFile& file = LogFile();
    std::lock_guard guard(file.lock);
    if (file.fd < 0) return;
    const std::size_t length = strnlen(text, capacity);
    if (length == 0) return;
    if (!WriteAll(file.fd, text, length))
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: NMEA WriteFile FAILED. Error=0x%X", TAG_MODEM,
                function, static_cast<unsigned>(errno));
}

}  // namespace

void CloseNmeaLogFile() {
    NmeaLogFile& file = LogFile();
    std::lock_guard guard(file.lock);
    if (file.fd < 0) return;
    ::close(file.fd);
    file.fd = -1;
}

bool IsNmeaLogFileOpen() {
    NmeaLogFile& file = LogFile();
    std::lock_guard guard(file.lock);
    return file.fd >= 0;
}

BOOL ProcessNavDataNotification(GNSS_FIXDATA* pFixData) {
    ENGINE_STATE& engine = Engine();
    MODEM_SESSION_PARAM& session = engine.m_ModemSessionParam;

    // PV7710: the first fix of a continuous session replaces the single-fix
    // request by the periodic one, before the fix is handed on.
    if (GetGNSSChip() == GNSS_CHIP_PV7710 && engine.m_bUsePV7710Procedure == 1 && session.Update == 1 &&
        engine.m_dwPreferredInterval > 0) {
        RefreshReportInterval();
    }
    session.Update = 0;

    const GPSCLIENT_CALLBACKS callbacks = ClientCallbacks();
    if (callbacks.pfnFixDataCb != nullptr && pFixData != nullptr) {
        callbacks.pfnFixDataCb(pFixData);
        return 1;
    }
    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid input param, pFixData=%p, pfnFixDataCb=%p",
            TAG_MODEM, __func__, static_cast<void*>(pFixData),
            reinterpret_cast<void*>(callbacks.pfnFixDataCb));
    return 0;
}

BOOL ProcessNMEADataNotification(GNSS_NMEA_DATA* pNmeaData) {
    const GPSCLIENT_CALLBACKS callbacks = ClientCallbacks();
    if (callbacks.pfnNmeaDataCb == nullptr || pNmeaData == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid input param, pNmeaData=%p, pfnNmeaDataCb=%p",
                TAG_MODEM, __func__, static_cast<void*>(pNmeaData),
                reinterpret_cast<void*>(callbacks.pfnNmeaDataCb));
        return 0;
    }
    WriteNmeaLogFile(pNmeaData->NmeaSentences, sizeof(pNmeaData->NmeaSentences), __func__);
    callbacks.pfnNmeaDataCb(pNmeaData);
    return 1;
}

void SetNmea(DWORD value) {
    ENGINE_STATE& engine = Engine();
    if (value == 255 || value == 256) {
        // The count never exceeds 2.
        DWORD listeners = engine.m_dwNmeaListeners;
        while (listeners < 2 && !engine.m_dwNmeaListeners.compare_exchange_weak(listeners, listeners + 1)) {
        }
        if (value == 255) OpenNmeaLogFile(__func__);
        return;
    }

    DWORD listeners = engine.m_dwNmeaListeners;
    bool decremented = false;
    while (listeners > 0 && !(decremented = engine.m_dwNmeaListeners.compare_exchange_weak(
                                  listeners, listeners - 1))) {
    }
    if (decremented) {
        const GPSCLIENT_CALLBACKS callbacks = ClientCallbacks();
        if (callbacks.pfnNmeaDataCb != nullptr) callbacks.pfnNmeaDataCb(nullptr);
    }
    if (value == 0) CloseNmeaLogFile();
}

void UpdateOperationMode(DWORD value) {
    ENGINE_STATE& engine = Engine();
    engine.dwTransportProtocol = 1;
    if (value & 0x1) {
        engine.dwOperationMode = 0;
    } else if ((value & 0x2) || (value & 0x4) || value == 0) {
        engine.dwOperationMode = 1;
    } else if (value & 0x100) {
        engine.dwOperationMode = 3;
        engine.dwTransportProtocol = 2;
    } else {
        engine.dwOperationMode = 1;
        GnssLog(GNSS_LEVEL_WARNING, "[%s] %s Invalid Operation Mode, Setting it to MSB", TAG_MODEM,
                __func__);
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s dwTransportProtocol=%d, dwOperationMode=%d", TAG_MODEM, __func__,
            static_cast<int>(engine.dwTransportProtocol.load()),
            static_cast<int>(engine.dwOperationMode.load()));
}
