/* hidlink: HID device access for VireoMeter.
 *
 * Lists the HID devices that are present (the system's hidraw devices, then the virtual
 * devices of HIDLINK_VIRTUAL_DIR), opens one exclusively, and moves whole reports to and
 * from it with a time-out per report. Results are 1 or 0, or a handle; the library leaves errno
 * alone and prints nothing, and QelHidGetLastError tells why an open or a transfer failed.
 *
 * Threads: scanning, walking the device list and freeing it use one process-wide table, so
 * only one thread may do them at a time. Transfers on different handles, or a read and a
 * write on one handle, may run on different threads, and so may a QelHidClose of the handle.
 * Change the report settings only while no transfer runs.
 */
#ifndef HIDLINK_H
#define HIDLINK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(HIDLINK_BUILD)
#define HIDLINK_API __attribute__((visibility("default")))
#else
#define HIDLINK_API
#endif

/* No export throws: in C++ they are declared noexcept. */
#ifdef __cplusplus
#define HIDLINK_NOEXCEPT noexcept
#else
#define HIDLINK_NOEXCEPT
#endif

/** An open device; HIDLINK_INVALID_HANDLE on failure. A handle is a number that only hidlink
 * gives meaning to: it is no file descriptor, and a value that hidlink did not return, or
 * that was closed, finds no device (every call with it fails, and closing it closes nothing). */
typedef intptr_t QelHidHandle;
#define HIDLINK_INVALID_HANDLE ((QelHidHandle)-1)

/** One device of a scan. Byte-packed: the offsets are part of the interface. The records
 * belong to the library; callers read them and never free them. */
#pragma pack(push, 1)
typedef struct HidDeviceInfo {
  uint16_t VendorID;
  uint16_t ProductID;
  uint16_t VersionNumber;
  QelHidHandle Handle;        /* unused; always HIDLINK_INVALID_HANDLE */
  struct HidDeviceInfo* Next; /* next record of the scan, NULL in the last */
  char DevicePath[];          /* NUL-terminated path, /dev/hidrawN or the socket's; the record
                                 ends with its NUL */
} HidDeviceInfo;
#pragma pack(pop)

/** Attributes as the system's HID layer reports them. */
typedef struct QelHidAttributes {
  uint32_t Size;
  uint16_t VendorID;
  uint16_t ProductID;
  uint16_t VersionNumber;
} QelHidAttributes;

/** A 16-byte interface class identifier. */
typedef struct QelHidGuid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} QelHidGuid;

/** 1: empties the device table. Records it held stay readable until the next scan or
 * QelHidFreeDevicesInfo, which frees them. Returns 0. */
HIDLINK_API int QelHidInit(void) HIDLINK_NOEXCEPT;
/** 2: frees every record of the last scan; QelHidGetDevices then returns NULL. */
HIDLINK_API void QelHidFreeDevicesInfo(void) HIDLINK_NOEXCEPT;
/** 3: frees the previous scan's records and lists the devices present: the hidraw nodes in
 * number order, then the virtual devices in byte order of their names; at most 256 are
 * examined. A device whose identifiers cannot be read gets no record. *count (if count is not
 * NULL) receives the number of devices examined. Returns 1 if any was examined. */
HIDLINK_API int QelHidScanDevices(uint32_t* count) HIDLINK_NOEXCEPT;
/** 4: the first record of the last scan, NULL if there is none. */
HIDLINK_API HidDeviceInfo* QelHidGetDevices(void) HIDLINK_NOEXCEPT;
/** 5: opens the device for reading and writing, exclusively: a device that this or another
 * process holds open cannot be opened again. HIDLINK_INVALID_HANDLE on failure. The handle
 * stays valid after the records are freed, until QelHidClose. A virtual device's socket file
 * that refuses the connection (nobody serves it any more) is removed, so later scans no
 * longer list it. */
HIDLINK_API QelHidHandle QelHidOpen(const HidDeviceInfo* device) HIDLINK_NOEXCEPT;
/** 6: closes the handle. Returns 1 for HIDLINK_INVALID_HANDLE (nothing to close), else 1 if
 * the handle was open and is now closed, 0 if it was not open. Transfers that wait on the
 * handle on other threads fail at once; the call returns when they have let go of it. */
HIDLINK_API int QelHidClose(QelHidHandle handle) HIDLINK_NOEXCEPT;
/** 7-10: report settings for every later transfer on every handle (defaults 64, 64, 0, 0);
 * return the value. A report length of 0 makes transfers in that direction fail. Reads
 * overwrite the input report ID with the ID of the last report received. */
HIDLINK_API uint16_t QelHidSetInpQelReportLength(uint16_t length) HIDLINK_NOEXCEPT;
HIDLINK_API uint16_t QelHidSetOQelpQelReportLength(uint16_t length) HIDLINK_NOEXCEPT;
HIDLINK_API uint8_t QelHidSetInpQelReportID(uint8_t id) HIDLINK_NOEXCEPT;
HIDLINK_API uint8_t QelHidSetOQelpQelReportID(uint8_t id) HIDLINK_NOEXCEPT;
/** 11: reads length bytes as whole input reports; the report ID byte never reaches the buffer
 * and at most length bytes are written into it. *transferred (if not NULL) receives the bytes
 * delivered. timeoutMs applies to each report, 0 waits without limit. A time-out, a report of
 * the wrong length or a device that went away ends the read. Returns 1 if all were delivered;
 * a length of 0 moves nothing and returns 1. */
HIDLINK_API int QelHidRead(QelHidHandle handle, void* buffer, uint32_t length,
                           uint32_t* transferred, uint32_t timeoutMs) HIDLINK_NOEXCEPT;
/** 12: writes length bytes as whole output reports, each preceded by the report ID byte; the
 * last partial report is zero-padded, so no byte past length is read. *transferred (if not
 * NULL) receives the data bytes written, at most length. timeoutMs as for QelHidRead. Returns
 * 1 if all were written. */
HIDLINK_API int QelHidWrite(QelHidHandle handle, const void* buffer, uint32_t length,
                            uint32_t* transferred, uint32_t timeoutMs) HIDLINK_NOEXCEPT;

/* 13-31: the system's HID queries. Each returns 1 on success, 0 where it failed or Linux has
 * no counterpart. On a hidraw node: GetAttributes (VersionNumber is the USB bcdDevice, 0 if
 * unknown), GetFeature/SetFeature, GetInputReport/SetOutputReport (report ID in the first
 * byte), GetProductString and GetSerialNumberString (the NUL-terminated UTF-8 name and
 * unique ID the kernel reports), and FlushQueue (drops the input reports waiting to be read).
 * On a virtual device only QelHidD_GetAttributes answers (from the name). QelHidD_GetHidGuid
 * fills in the HID interface class {4D1E55B2-F16F-11CF-88CB-001111000030}. */
HIDLINK_API int QelHidD_GetAttributes(QelHidHandle handle,
                                      QelHidAttributes* attributes) HIDLINK_NOEXCEPT;
HIDLINK_API void QelHidD_GetHidGuid(QelHidGuid* guid) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_GetPreparsedData(QelHidHandle handle,
                                         void** preparsedData) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_FreePreparsedData(void* preparsedData) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_FlushQueue(QelHidHandle handle) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_GetConfiguration(QelHidHandle handle, void* configuration,
                                         uint32_t length) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_SetConfiguration(QelHidHandle handle, void* configuration,
                                         uint32_t length) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_GetFeature(QelHidHandle handle, void* report,
                                   uint32_t length) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_SetFeature(QelHidHandle handle, void* report,
                                   uint32_t length) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_GetInputReport(QelHidHandle handle, void* report,
                                       uint32_t length) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_SetOutputReport(QelHidHandle handle, void* report,
                                        uint32_t length) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_GetNumInputBuffers(QelHidHandle handle, uint32_t* count) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_SetNumInputBuffers(QelHidHandle handle, uint32_t count) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_GetPhysicalDescriptor(QelHidHandle handle, void* buffer,
                                              uint32_t length) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_GetManufacturerString(QelHidHandle handle, void* buffer,
                                              uint32_t length) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_GetProductString(QelHidHandle handle, void* buffer,
                                         uint32_t length) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_GetIndexedString(QelHidHandle handle, uint32_t index, void* buffer,
                                         uint32_t length) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_GetSerialNumberString(QelHidHandle handle, void* buffer,
                                              uint32_t length) HIDLINK_NOEXCEPT;
HIDLINK_API int QelHidD_GetMsGenreDescriptor(QelHidHandle handle, void* buffer,
                                             uint32_t length) HIDLINK_NOEXCEPT;

/** 32: why something failed, for the user: with a handle, the last QelHidRead or QelHidWrite
 * on it that failed; with HIDLINK_INVALID_HANDLE, the last QelHidOpen of the calling thread that
 * failed (each thread has its own). A success clears neither. Copies the sentence that names the
 * cause and the device ("permission denied on /dev/hidraw3", "the device is held by another
 * program (/dev/hidraw3 is locked)", "the device /dev/hidraw3 was unplugged") into buffer,
 * NUL-terminated and cut to length - 1 bytes at the start of a UTF-8 character; buffer may be
 * NULL or length 0 to ask for the number alone. Returns the failure's error number from
 * <errno.h>, for a caller to branch on: EACCES or EPERM (this user may not open the device),
 * EBUSY (another program holds it, or a virtual device refused the open), ENOENT or
 * ECONNREFUSED (the device is gone), ENODEV (unplugged during a transfer), ETIMEDOUT (no
 * answer in time), ECANCELED (the handle was closed during the transfer), EMSGSIZE (a report of
 * the wrong length), or another the system gave. 0 and an empty text when nothing has failed;
 * EBADF for a handle that is not open. Any thread may call it; a handle's record is kept until
 * QelHidClose. Ordinal 32, version HIDLINK_1.1. */
HIDLINK_API int QelHidGetLastError(QelHidHandle handle, char* buffer,
                                   uint32_t length) HIDLINK_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* HIDLINK_H */
