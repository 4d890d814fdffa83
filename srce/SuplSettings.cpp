// SUPL settings from the platform: the SUPL server (H-SLP) and the root
// certificates, carried to the engine.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "GnssState.h"
#include "engine/AtClient.h"

namespace {

constexpr std::size_t kCertificateHeaderSize = offsetof(GNSS_SUPL_CERT_CONFIG, CertData);
constexpr ULONG kMaxCertificateSize = 4095;
constexpr std::size_t kCertificateTracePiece = 128;

bool StartsWithLetter(const char* text) {
    const unsigned char c = static_cast<unsigned char>(text[0]);
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Traces the certificate bytes in pieces of at most 128 bytes, one line each.
void HelperLogCertificateData(const BYTE* data, ULONG size) {
    for (ULONG offset = 0; offset < size; offset += kCertificateTracePiece) {
        const ULONG piece = std::min<ULONG>(kCertificateTracePiece, size - offset);
        char text[kCertificateTracePiece + 1];
        for (ULONG i = 0; i < piece; ++i) {
            const unsigned char c = data[offset + i];
            text[i] = std::isprint(c) ? static_cast<char>(c) : '.';
        }
        text[piece] = '\0';
        GnssLog(GNSS_LEVEL_DATA, "[%s] %s %s", TAG_IOCTRL, __func__, text);
    }
}

// A text field of a fixed size as a bounded string for the log.
int FieldLength(const char* field, std::size_t size) {
    return static_cast<int>(strnlen(field, size));
}

}  // namespace

NTSTATUS OnGNSSSetSuplHslp(WDFREQUEST Request, std::size_t InputBufferLength) {
    PVOID buffer = nullptr;
    NTSTATUS status =
        HelperGetInputBuffer(Request, InputBufferLength, sizeof(GNSS_SUPL_HSLP_CONFIG), &buffer);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetInputBuffer FAILED", TAG_IOCTRL, __func__);
        status = STATUS_INVALID_PARAMETER;
    } else {
        const auto* config = static_cast<const GNSS_SUPL_HSLP_CONFIG*>(buffer);
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s Version=%d", TAG_IOCTRL, __func__,
                static_cast<int>(config->Version));
        if (!StartsWithLetter(config->SuplHslp)) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid Parameter", TAG_IOCTRL, __func__);
            status = STATUS_INVALID_PARAMETER;
        } else {
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s SuplHslp=%.*s", TAG_IOCTRL, __func__,
                    FieldLength(config->SuplHslp, sizeof config->SuplHslp), config->SuplHslp);
            if (StartsWithLetter(config->SuplHslpFromImsi))
                GnssLog(GNSS_LEVEL_INFO, "[%s] %s SuplHslpFromImsi=%.*s", TAG_IOCTRL, __func__,
                        FieldLength(config->SuplHslpFromImsi, sizeof config->SuplHslpFromImsi),
                        config->SuplHslpFromImsi);
            if (!atclient_SetHslpAddress(config)) {
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: atclient_SetHslpAddress FAILED", TAG_IOCTRL,
                        __func__);
                status = STATUS_INTERNAL_ERROR;
            }
        }
    }
    WdfRequestSetInformation(Request, sizeof(ULONG));
    WdfRequestComplete(Request, status);
    return status;
}

NTSTATUS OnGNSSConfigSuplCert(WDFREQUEST Request, std::size_t InputBufferLength) {
    PVOID buffer = nullptr;
    NTSTATUS status =
        HelperGetInputBuffer(Request, InputBufferLength, sizeof(GNSS_SUPL_CERT_CONFIG), &buffer);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetInputBuffer FAILED", TAG_IOCTRL, __func__);
        WdfRequestCompleteWithInformation(Request, STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
    }
    const auto* config = static_cast<const GNSS_SUPL_CERT_CONFIG*>(buffer);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s Version=%d, CertAction=%d", TAG_IOCTRL, __func__,
            static_cast<int>(config->Version), static_cast<int>(config->CertAction));
    const int nameLength = FieldLength(config->SuplCertName, sizeof config->SuplCertName);

    switch (config->CertAction) {
        case GNSS_Supl_Cert_Inject:
            if (!StartsWithLetter(config->SuplCertName)) {
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid Certificate Name", TAG_IOCTRL,
                        __func__);
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s CertSize=%d, SuplCertName=%.*s", TAG_IOCTRL, __func__,
                    static_cast<int>(config->CertSize), nameLength, config->SuplCertName);
            // The certificate must be 1 to 4095 bytes and lie inside the input.
            if (config->CertSize < 1 || config->CertSize > kMaxCertificateSize ||
                kCertificateHeaderSize + config->CertSize > InputBufferLength) {
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid Certificate Size", TAG_IOCTRL,
                        __func__);
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            HelperLogCertificateData(config->CertData, config->CertSize);
            if (!atclient_SetCertificate(config)) {
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: atclient_SetCertificate FAILED", TAG_IOCTRL,
                        __func__);
                status = STATUS_INTERNAL_ERROR;
            }
            break;
        case GNSS_Supl_Cert_Delete:
            if (!StartsWithLetter(config->SuplCertName))
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid Certificate Name", TAG_IOCTRL,
                        __func__);
            else
                GnssLog(GNSS_LEVEL_INFO, "[%s] %s SuplCertName=%.*s", TAG_IOCTRL, __func__,
                        nameLength, config->SuplCertName);
            break;
        case GNSS_Supl_Cert_Purge:
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s Delete All SuplCertificates", TAG_IOCTRL, __func__);
            break;
        default:
            break;
    }
    WdfRequestCompleteWithInformation(Request, status, 0);
    return status;
}
