/*
 * A card-reader driver for pcscd that stands in for real readers in the
 * reader-switch test. Each reader.conf entry is one reader; its DEVICENAME
 * says who the reader pretends to be:
 *
 *     LABEL:VENDOR:ESCAPE[:nul]
 *
 * LABEL names the reader in the record, VENDOR is the vendor-name attribute,
 * ESCAPE (hexadecimal) the control code the reader advertises for its escape
 * command, and ":nul" makes the attribute count its terminating zero, as some
 * readers do. The vendor reads and every control request the reader receives
 * are appended, one line each, to the file named by MIRDAL_TEST_IFD_RECORD:
 *
 *     LABEL vendor
 *     LABEL control 0x42000D48 in=-
 *     LABEL control 0x42330001 in=10
 *
 * No card is ever present.
 */
#include <ifdhandler.h>
#include <reader.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define MAX_READERS 8

struct TestReader {
    int used;
    DWORD lun;
    char label[64];
    char vendor[64];
    unsigned long escape;
    int countNul;
};

static struct TestReader readers[MAX_READERS];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static struct TestReader* findReader(DWORD lun)
{
    for (int i = 0; i < MAX_READERS; ++i)
        if (readers[i].used && readers[i].lun == lun)
            return &readers[i];
    return NULL;
}

static void record(const struct TestReader* reader, const char* line)
{
    const char* path = getenv("MIRDAL_TEST_IFD_RECORD");
    if (!path)
        return;
    char text[600];
    const int length = snprintf(text, sizeof text, "%s %s\n", reader->label, line);
    if (length <= 0 || (size_t)length >= sizeof text)
        return;
    pthread_mutex_lock(&lock);
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd >= 0) {
        if (write(fd, text, (size_t)length) != length)
            fprintf(stderr, "test reader: cannot write %s: %s\n", path, strerror(errno));
        close(fd);
    }
    pthread_mutex_unlock(&lock);
}

/* Splits LABEL:VENDOR:ESCAPE[:nul] into the reader. */
static int parseDeviceName(const char* deviceName, struct TestReader* reader)
{
    char copy[256];
    if (strlen(deviceName) >= sizeof copy)
        return 0;
    strcpy(copy, deviceName);
    char* save = NULL;
    const char* label = strtok_r(copy, ":", &save);
    const char* vendor = strtok_r(NULL, ":", &save);
    const char* escape = strtok_r(NULL, ":", &save);
    const char* flag = strtok_r(NULL, ":", &save);
    if (!label || !vendor || !escape || strlen(label) >= sizeof reader->label ||
        strlen(vendor) >= sizeof reader->vendor)
        return 0;
    strcpy(reader->label, label);
    strcpy(reader->vendor, vendor);
    char* end = NULL;
    reader->escape = strtoul(escape, &end, 16);
    if (!end || *end)
        return 0;
    reader->countNul = flag && strcmp(flag, "nul") == 0;
    return 1;
}

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName)
{
    pthread_mutex_lock(&lock);
    RESPONSECODE result = IFD_COMMUNICATION_ERROR;
    for (int i = 0; i < MAX_READERS; ++i) {
        if (readers[i].used)
            continue;
        if (parseDeviceName(DeviceName, &readers[i])) {
            readers[i].used = 1;
            readers[i].lun = Lun;
            result = IFD_SUCCESS;
        } else {
            fprintf(stderr, "test reader: bad DEVICENAME %s\n", DeviceName);
        }
        break;
    }
    pthread_mutex_unlock(&lock);
    return result;
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel)
{
    (void)Lun;
    (void)Channel;
    return IFD_COMMUNICATION_ERROR; /* every reader needs its DEVICENAME */
}

RESPONSECODE IFDHCloseChannel(DWORD Lun)
{
    pthread_mutex_lock(&lock);
    struct TestReader* reader = findReader(Lun);
    if (reader)
        reader->used = 0;
    pthread_mutex_unlock(&lock);
    return IFD_SUCCESS;
}

static RESPONSECODE giveByte(PDWORD Length, PUCHAR Value, UCHAR byte)
{
    if (*Length < 1)
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    *Length = 1;
    Value[0] = byte;
    return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value)
{
    switch (Tag) {
    case TAG_IFD_SLOTS_NUMBER: return giveByte(Length, Value, 1);
    case TAG_IFD_SIMULTANEOUS_ACCESS: return giveByte(Length, Value, MAX_READERS);
    case TAG_IFD_THREAD_SAFE:
    case TAG_IFD_SLOT_THREAD_SAFE: return giveByte(Length, Value, 0);
    case SCARD_ATTR_VENDOR_NAME: {
        const struct TestReader* reader = findReader(Lun);
        if (!reader)
            return IFD_COMMUNICATION_ERROR;
        record(reader, "vendor");
        const DWORD size = (DWORD)strlen(reader->vendor) + (reader->countNul ? 1 : 0);
        if (*Length < size)
            return IFD_ERROR_INSUFFICIENT_BUFFER;
        memcpy(Value, reader->vendor, size); /* vendor[] holds the zero too */
        *Length = size;
        return IFD_SUCCESS;
    }
    default: return IFD_ERROR_TAG;
    }
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value)
{
    (void)Lun;
    (void)Tag;
    (void)Length;
    (void)Value;
    return IFD_NOT_SUPPORTED;
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1, UCHAR PTS2, UCHAR PTS3)
{
    (void)Lun;
    (void)Protocol;
    (void)Flags;
    (void)PTS1;
    (void)PTS2;
    (void)PTS3;
    return IFD_NOT_SUPPORTED;
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength)
{
    (void)Lun;
    (void)Atr;
    *AtrLength = 0;
    return Action == IFD_POWER_DOWN ? IFD_SUCCESS : IFD_ERROR_POWER_ACTION;
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                               PDWORD RxLength, PSCARD_IO_HEADER RecvPci)
{
    (void)Lun;
    (void)SendPci;
    (void)TxBuffer;
    (void)TxLength;
    (void)RxBuffer;
    (void)RecvPci;
    *RxLength = 0;
    return IFD_ICC_NOT_PRESENT;
}

RESPONSECODE IFDHICCPresence(DWORD Lun)
{
    (void)Lun;
    return IFD_ICC_NOT_PRESENT;
}

/* The feature list: one entry for the TLV properties, one for the escape command. */
static DWORD featureList(const struct TestReader* reader, PUCHAR out)
{
    const unsigned long codes[2][2] = {{FEATURE_GET_TLV_PROPERTIES, SCARD_CTL_CODE(3600)},
                                       {FEATURE_CCID_ESC_COMMAND, reader->escape}};
    DWORD size = 0;
    for (int i = 0; i < 2; ++i) {
        out[size++] = (UCHAR)codes[i][0];
        out[size++] = 4;
        out[size++] = (UCHAR)(codes[i][1] >> 24);
        out[size++] = (UCHAR)(codes[i][1] >> 16);
        out[size++] = (UCHAR)(codes[i][1] >> 8);
        out[size++] = (UCHAR)codes[i][1];
    }
    return size;
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned)
{
    const struct TestReader* reader = findReader(Lun);
    *pdwBytesReturned = 0;
    if (!reader)
        return IFD_COMMUNICATION_ERROR;

    char line[400];
    int used = snprintf(line, sizeof line, "control 0x%08lX in=", (unsigned long)dwControlCode);
    if (TxLength == 0)
        used += snprintf(line + used, sizeof line - used, "-");
    for (DWORD i = 0; i < TxLength && used < (int)sizeof line - 3; ++i)
        used += snprintf(line + used, sizeof line - used, "%02x", TxBuffer[i]);
    record(reader, line);

    if (dwControlCode == CM_IOCTL_GET_FEATURE_REQUEST) {
        if (RxLength < 12)
            return IFD_ERROR_INSUFFICIENT_BUFFER;
        *pdwBytesReturned = featureList(reader, RxBuffer);
        return IFD_SUCCESS;
    }
    if (dwControlCode == reader->escape) {
        if (RxLength < 2)
            return IFD_ERROR_INSUFFICIENT_BUFFER;
        RxBuffer[0] = 0x90;
        RxBuffer[1] = 0x00;
        *pdwBytesReturned = 2;
        return IFD_SUCCESS;
    }
    return IFD_ERROR_NOT_SUPPORTED;
}
