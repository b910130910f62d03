/*
 * A card-reader driver for pcscd that stands in for real readers in the reader-switch test. Each
 * reader.conf entry is one reader; its DEVICENAME says who the reader pretends to be:
 *     LABEL:VENDOR:ESCAPE[:nul]
 * LABEL names the reader in the record, VENDOR is the vendor-name attribute, ESCAPE (hexadecimal) the
 * control code the reader advertises for its escape command, and ":nul" makes the attribute count its
 * terminating zero, as some readers do. The vendor reads and every control request the reader receives
 * are appended, one line each, to the file named by MIRDAL_TEST_IFD_RECORD:
 *     LABEL vendor
 *     LABEL control 0x42000D48 in=-
 *     LABEL control 0x42330001 in=10
 * No card is ever present.
 */
#include <ifdhandler.h>
#include <reader.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_READERS 8

static struct TestReader {
    int used;
    DWORD lun;
    char label[64], vendor[64];
    unsigned long escape;
    int countNul;
} readers[MAX_READERS];
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
    pthread_mutex_lock(&lock);
    FILE* file = path ? fopen(path, "a") : NULL;
    if (file) {
        fprintf(file, "%s %s\n", reader->label, line);
        fclose(file);
    }
    pthread_mutex_unlock(&lock);
}

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName)
{
    char flag[8] = "";
    struct TestReader reader = {1, Lun, "", "", 0, 0};
    if (sscanf(DeviceName, "%63[^:]:%63[^:]:%lx:%7s", reader.label, reader.vendor, &reader.escape, flag) < 3) {
        fprintf(stderr, "test reader: bad DEVICENAME %s\n", DeviceName);
        return IFD_COMMUNICATION_ERROR;
    }
    reader.countNul = strcmp(flag, "nul") == 0;
    pthread_mutex_lock(&lock);
    RESPONSECODE result = IFD_COMMUNICATION_ERROR;
    for (int i = 0; i < MAX_READERS && result != IFD_SUCCESS; ++i) {
        if (!readers[i].used) {
            readers[i] = reader;
            result = IFD_SUCCESS;
        }
    }
    pthread_mutex_unlock(&lock);
    return result;
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel)
{
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

/* Copies the bytes when `*Length` leaves room for them, and sets `*Length` to what was given. */
static RESPONSECODE give(PDWORD Length, PUCHAR Value, const void* bytes, DWORD size)
{
    if (*Length < size)
        return *Length = 0, IFD_ERROR_INSUFFICIENT_BUFFER;
    memcpy(Value, bytes, size);
    *Length = size;
    return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value)
{
    const UCHAR one = 1, none = 0, slots = MAX_READERS;
    const struct TestReader* reader = findReader(Lun);
    switch (Tag) {
    case TAG_IFD_SLOTS_NUMBER: return give(Length, Value, &one, 1);
    case TAG_IFD_SIMULTANEOUS_ACCESS: return give(Length, Value, &slots, 1);
    case TAG_IFD_THREAD_SAFE:
    case TAG_IFD_SLOT_THREAD_SAFE: return give(Length, Value, &none, 1);
    case SCARD_ATTR_VENDOR_NAME:
        if (!reader)
            return IFD_COMMUNICATION_ERROR;
        record(reader, "vendor");
        return give(Length, Value, reader->vendor, (DWORD)strlen(reader->vendor) + (reader->countNul ? 1 : 0));
    default: return IFD_ERROR_TAG;
    }
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value)
{
    return IFD_NOT_SUPPORTED;
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1, UCHAR PTS2, UCHAR PTS3)
{
    return IFD_NOT_SUPPORTED;
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength)
{
    *AtrLength = 0;
    return Action == IFD_POWER_DOWN ? IFD_SUCCESS : IFD_ERROR_POWER_ACTION;
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                               PDWORD RxLength, PSCARD_IO_HEADER RecvPci)
{
    *RxLength = 0;
    return IFD_ICC_NOT_PRESENT;
}

RESPONSECODE IFDHICCPresence(DWORD Lun)
{
    return IFD_ICC_NOT_PRESENT;
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned)
{
    const struct TestReader* reader = findReader(Lun);
    *pdwBytesReturned = RxLength; /* the room, then what was given */
    if (!reader)
        return IFD_COMMUNICATION_ERROR;
    char line[400];
    int used = snprintf(line, sizeof line, "control 0x%08lX in=%s", (unsigned long)dwControlCode, TxLength ? "" : "-");
    for (DWORD i = 0; i < TxLength && used < (int)sizeof line - 3; ++i)
        used += snprintf(line + used, sizeof line - used, "%02x", TxBuffer[i]);
    record(reader, line);

    if (dwControlCode == CM_IOCTL_GET_FEATURE_REQUEST) {
        /* One entry for the TLV properties, one for the escape command: tag, 4, code big-endian. */
        const unsigned long codes[2][2] = {{FEATURE_GET_TLV_PROPERTIES, SCARD_CTL_CODE(3600)},
                                           {FEATURE_CCID_ESC_COMMAND, reader->escape}};
        UCHAR list[12];
        for (int i = 0; i < 2; ++i) {
            const UCHAR entry[6] = {(UCHAR)codes[i][0],         4,
                                    (UCHAR)(codes[i][1] >> 24), (UCHAR)(codes[i][1] >> 16),
                                    (UCHAR)(codes[i][1] >> 8),  (UCHAR)codes[i][1]};
            memcpy(list + 6 * i, entry, 6);
        }
        return give(pdwBytesReturned, RxBuffer, list, 12);
    }
    if (dwControlCode == reader->escape)
        return give(pdwBytesReturned, RxBuffer, "\x90\x00", 2);
    *pdwBytesReturned = 0;
    return IFD_ERROR_NOT_SUPPORTED;
}
