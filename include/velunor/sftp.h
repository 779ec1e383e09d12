/*
 * Velunor SFTP: the public C interface.
 *
 * A host creates one component per connection with SFTP_Create, drives it through the fixed
 * table of function pointers reached from its first member, hears back through the SftpEvents
 * callbacks, and destroys it with SFTP_Delete. Valid C99 and C++.
 *
 * Every slot from 1 on returns a status: 0 for success, otherwise an error code whose text the
 * component keeps (GetErrorText gives the table text of a code). Texts are BSTRs: the caller
 * frees what it receives with SysFreeString. Optional arguments are VARIANTs; an omitted one has
 * type VT_ERROR.
 */
#ifndef VELUNOR_SFTP_H
#define VELUNOR_SFTP_H

#include <stddef.h>
#include <stdint.h>

#if defined(VELUNOR_BUILDING_LIBRARY)
#define VELUNOR_API __attribute__((visibility("default")))
#else
#define VELUNOR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- OLE Automation types (LP64 layouts) ---- */

#ifdef __cplusplus
typedef char16_t OLECHAR;
#else
typedef uint16_t OLECHAR;
#endif
typedef OLECHAR* BSTR;
typedef int32_t HRESULT;
typedef int16_t VARIANT_BOOL;
typedef double DATE;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

enum VARENUM {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000
};

#define S_OK ((HRESULT)0)
#define E_NOTIMPL ((HRESULT)0x80004001)
#define E_POINTER ((HRESULT)0x80004003)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005)
#define DISP_E_OVERFLOW ((HRESULT)0x8002000A)
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008)
#define DISP_E_ARRAYISLOCKED ((HRESULT)0x8002000D)

typedef struct SAFEARRAYBOUND {
    uint32_t cElements;
    int32_t lLbound;
} SAFEARRAYBOUND;

typedef struct SAFEARRAY {
    uint16_t cDims;
    uint16_t fFeatures;
    uint32_t cbElements;
    uint32_t cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY;

typedef struct VARIANT VARIANT;
struct VARIANT {
    uint16_t vt;
    uint16_t wReserved1;
    uint16_t wReserved2;
    uint16_t wReserved3;
    union {
        int64_t llVal;
        uint64_t ullVal;
        int32_t lVal;
        uint32_t ulVal;
        int16_t iVal;
        uint16_t uiVal;
        int8_t cVal;
        uint8_t bVal;
        int32_t intVal;
        uint32_t uintVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        int32_t scode;
        DATE date;
        BSTR bstrVal;
        SAFEARRAY* parray;
        int64_t* pllVal;
        uint64_t* pullVal;
        int32_t* plVal;
        uint32_t* pulVal;
        int16_t* piVal;
        uint16_t* puiVal;
        int8_t* pcVal;
        uint8_t* pbVal;
        float* pfltVal;
        double* pdblVal;
        VARIANT_BOOL* pboolVal;
        int32_t* pscode;
        DATE* pdate;
        BSTR* pbstrVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        void* byref;
        struct {
            void* pvRecord;
            void* pRecInfo;
        } record;
    } u;
};

typedef struct SYSTEMTIME {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
} SYSTEMTIME;

/* ---- Exported OLE helpers: make and free what is passed and received ---- */

VELUNOR_API BSTR SysAllocString(const OLECHAR* text);
VELUNOR_API BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length);
VELUNOR_API uint32_t SysStringLen(BSTR text);
VELUNOR_API uint32_t SysStringByteLen(BSTR text);
VELUNOR_API void SysFreeString(BSTR text);
VELUNOR_API void VariantInit(VARIANT* v);
VELUNOR_API HRESULT VariantClear(VARIANT* v);
VELUNOR_API HRESULT VariantCopy(VARIANT* dst, const VARIANT* src);
VELUNOR_API HRESULT VariantChangeType(VARIANT* dst, const VARIANT* src, uint16_t flags, uint16_t vt);
VELUNOR_API SAFEARRAY* SafeArrayCreateVector(uint16_t vt, int32_t lowerBound, uint32_t count);
VELUNOR_API HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
VELUNOR_API HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
VELUNOR_API HRESULT SafeArrayDestroy(SAFEARRAY* array);
VELUNOR_API int32_t SystemTimeToVariantTime(const SYSTEMTIME* time, double* date);
VELUNOR_API int32_t VariantTimeToSystemTime(double date, SYSTEMTIME* time);

/* ---- The component ---- */

typedef struct CSftpClient CSftpClient;
typedef struct CSftpClientVtbl CSftpClientVtbl;

/* Host callbacks. Any entry may be null. Texts are UTF-8, valid only during the call; 64-bit
 * counts come as low and high halves; dates are OLE Automation dates. */
typedef struct SftpEvents {
    void (*OnConnected)(CSftpClient* c, int32_t code, const char* text);
    void (*OnDisconnect)(CSftpClient* c);
    void (*OnStateChange)(CSftpClient* c, int32_t previousState);
    void (*OnHostKey)(CSftpClient* c, const char* fingerprint, int32_t* accept);
    void (*OnProgress)(CSftpClient* c, uint32_t doneLow, uint32_t doneHigh, uint32_t totalLow,
                       uint32_t totalHigh);
    void (*OnText)(CSftpClient* c, const char* text);
    void (*OnResult)(CSftpClient* c, int32_t code, const char* text);
    void (*OnFileInfo)(CSftpClient* c, uint32_t sizeLow, uint32_t sizeHigh, uint32_t uid, uint32_t gid,
                       uint32_t permissions, double accessTime, double modifyTime);
    void (*OnServerInfo)(CSftpClient* c, const char* protocol, const char* serverIdentification,
                         const char* cipherIn, const char* cipherOut, const char* hostKeyAlgorithm,
                         int32_t* accept);
    void (*OnListData)(CSftpClient* c, uint32_t count, const void* records);
    void (*OnPrompt)(CSftpClient* c, const char* prompt, const char** answer);
} SftpEvents;

/* The fixed slot table. Slot n is the n-th pointer; the order never changes. */
struct CSftpClientVtbl {
    /* 0 */ void* (*DeletingDestructor)(CSftpClient* c, uint32_t flags);
    /* 1 */ int32_t (*MakeDirectory)(CSftpClient* c, VARIANT remote);
    /* 2 */ int32_t (*RemoveDirectory)(CSftpClient* c, VARIANT remote);
    /* 3 */ int32_t (*DeleteFile)(CSftpClient* c, VARIANT remote);
    /* 4 */ int32_t (*ResolvePath)(CSftpClient* c, VARIANT remote);
    /* 5 */ int32_t (*ListDirectory)(CSftpClient* c, VARIANT remote);
    /* 6 */ int32_t (*GetAttributes)(CSftpClient* c, VARIANT remote, VARIANT_BOOL follow);
    /* 7 */ int32_t (*Upload)(CSftpClient* c, VARIANT local, VARIANT remote);
    /* 8 */ int32_t (*UploadData)(CSftpClient* c, const uint8_t* data, int32_t length, VARIANT remote);
    /* 9 */ int32_t (*Download)(CSftpClient* c, VARIANT local, VARIANT remote);
    /* 10 */ int32_t (*DownloadData)(CSftpClient* c, VARIANT remote);
    /* 11 */ int32_t (*UploadDataAt)(CSftpClient* c, const uint8_t* data, int32_t length, VARIANT remote,
                                     uint32_t offsetLow, uint32_t offsetHigh);
    /* 12 */ int32_t (*DownloadDataRange)(CSftpClient* c, VARIANT remote, uint32_t offsetLow,
                                          uint32_t offsetHigh, int32_t size);
    /* 13 */ int32_t (*Reserved13)(CSftpClient* c, int32_t ignored);
    /* 14 */ int32_t (*DownloadDataRangeFresh)(CSftpClient* c, VARIANT remote, uint32_t offsetLow,
                                               uint32_t offsetHigh, int32_t size);
    /* 15 */ int32_t (*UploadTextAt)(CSftpClient* c, BSTR text, VARIANT remote, uint32_t offsetLow,
                                     uint32_t offsetHigh);
    /* 16 */ int32_t (*DownloadRange)(CSftpClient* c, VARIANT local, VARIANT remote, uint32_t offsetLow,
                                      uint32_t offsetHigh, int32_t size);
    /* 17 */ int32_t (*UploadAt)(CSftpClient* c, VARIANT local, VARIANT remote, uint32_t offsetLow,
                                 uint32_t offsetHigh);
    /* 18 */ int32_t (*CloseRemoteHandle)(CSftpClient* c);
    /* 19 */ int32_t (*AppendText)(CSftpClient* c, BSTR text, VARIANT remote);
    /* 20 */ int32_t (*AppendFile)(CSftpClient* c, VARIANT local, VARIANT remote);
    /* 21 */ int32_t (*get_UtcTimes)(CSftpClient* c, int32_t* value);
    /* 22 */ int32_t (*put_UtcTimes)(CSftpClient* c, int32_t value);
    /* 23 */ int32_t (*ListFindData)(CSftpClient* c, VARIANT remote);
    /* 24 */ int32_t (*get_CompressionLevel)(CSftpClient* c, int16_t* value);
    /* 25 */ int32_t (*put_CompressionLevel)(CSftpClient* c, int16_t value);
    /* 26 */ int32_t (*get_ProxyPort)(CSftpClient* c, int32_t* value);
    /* 27 */ int32_t (*put_ProxyPort)(CSftpClient* c, int32_t value);
    /* 28 */ int32_t (*get_ProxyPassword)(CSftpClient* c, BSTR* value);
    /* 29 */ int32_t (*put_ProxyPassword)(CSftpClient* c, BSTR value);
    /* 30 */ int32_t (*get_ProxyUsername)(CSftpClient* c, BSTR* value);
    /* 31 */ int32_t (*put_ProxyUsername)(CSftpClient* c, BSTR value);
    /* 32 */ int32_t (*get_ProxyHost)(CSftpClient* c, BSTR* value);
    /* 33 */ int32_t (*put_ProxyHost)(CSftpClient* c, BSTR value);
    /* 34 */ int32_t (*get_ProxyType)(CSftpClient* c, int32_t* value);
    /* 35 */ int32_t (*put_ProxyType)(CSftpClient* c, int32_t value);
    /* 36 */ int32_t (*get_ServerStatusCode)(CSftpClient* c, int16_t* value);
    /* 37 */ int32_t (*get_ServerStatusText)(CSftpClient* c, BSTR* value);
    /* 38 */ int32_t (*get_BufferSize)(CSftpClient* c, int32_t* value);
    /* 39 */ int32_t (*put_BufferSize)(CSftpClient* c, int32_t value);
    /* 40 */ int32_t (*Abort)(CSftpClient* c);
    /* 41 */ int32_t (*get_LastError)(CSftpClient* c, int16_t* value);
    /* 42 */ int32_t (*put_UserData)(CSftpClient* c, VARIANT value);
    /* 43 */ int32_t (*get_UserData)(CSftpClient* c, VARIANT* value);
    /* 44 */ int32_t (*GetErrorText)(CSftpClient* c, int16_t code, BSTR* text);
    /* 45 */ int32_t (*ListNames)(CSftpClient* c, VARIANT remote);
    /* 46 */ int32_t (*DownloadDataFresh)(CSftpClient* c, VARIANT remote);
    /* 47 */ int32_t (*UploadText)(CSftpClient* c, BSTR text, VARIANT remote);
    /* 48 */ int32_t (*SetAttributesShort)(CSftpClient* c, VARIANT remote, VARIANT sizeLow, VARIANT uid,
                                           VARIANT gid, VARIANT permissions, VARIANT accessTime,
                                           VARIANT modifyTime);
    /* 49 */ int32_t (*SetAttributes)(CSftpClient* c, VARIANT remote, VARIANT sizeLow, VARIANT sizeHigh,
                                      VARIANT uid, VARIANT gid, VARIANT permissions, VARIANT accessTime,
                                      VARIANT modifyTime);
    /* 50 */ int32_t (*get_PrivateKey)(CSftpClient* c, VARIANT* value);
    /* 51 */ int32_t (*put_PrivateKey)(CSftpClient* c, VARIANT value);
    /* 52 */ int32_t (*get_ServerIdentification)(CSftpClient* c, BSTR* value);
    /* 53 */ int32_t (*get_AuthenticationType)(CSftpClient* c, int32_t* value);
    /* 54 */ int32_t (*put_AuthenticationType)(CSftpClient* c, int32_t value);
    /* 55 */ int32_t (*get_ResultText)(CSftpClient* c, BSTR* value);
    /* 56 */ int32_t (*get_TransferMode)(CSftpClient* c, int32_t* value);
    /* 57 */ int32_t (*put_TransferMode)(CSftpClient* c, int32_t value);
    /* 58 */ int32_t (*ListCheck)(CSftpClient* c, VARIANT remote);
    /* 59 */ int32_t (*Rename)(CSftpClient* c, BSTR newPath, VARIANT remote);
    /* 60 */ int32_t (*get_Resume)(CSftpClient* c, VARIANT_BOOL* value);
    /* 61 */ int32_t (*put_Resume)(CSftpClient* c, VARIANT_BOOL value);
    /* 62 */ int32_t (*get_RemotePath)(CSftpClient* c, BSTR* value);
    /* 63 */ int32_t (*put_RemotePath)(CSftpClient* c, BSTR value);
    /* 64 */ int32_t (*get_LocalPath)(CSftpClient* c, BSTR* value);
    /* 65 */ int32_t (*put_LocalPath)(CSftpClient* c, BSTR value);
    /* 66 */ int32_t (*get_UserText)(CSftpClient* c, BSTR* value);
    /* 67 */ int32_t (*put_UserText)(CSftpClient* c, BSTR value);
    /* 68 */ int32_t (*get_CipherType)(CSftpClient* c, int32_t* value);
    /* 69 */ int32_t (*put_CipherType)(CSftpClient* c, int32_t value);
    /* 70 */ int32_t (*GetStateText)(CSftpClient* c, VARIANT state, BSTR* text);
    /* 71 */ int32_t (*get_State)(CSftpClient* c, int32_t* value);
    /* 72 */ int32_t (*get_Password)(CSftpClient* c, BSTR* value);
    /* 73 */ int32_t (*put_Password)(CSftpClient* c, BSTR value);
    /* 74 */ int32_t (*get_Username)(CSftpClient* c, BSTR* value);
    /* 75 */ int32_t (*put_Username)(CSftpClient* c, BSTR value);
    /* 76 */ int32_t (*Reserved76)(CSftpClient* c);
    /* 77 */ int32_t (*DownloadFresh)(CSftpClient* c, VARIANT local, VARIANT remote);
    /* 78 */ int32_t (*UploadFresh)(CSftpClient* c, VARIANT local, VARIANT remote);
    /* 79 */ int32_t (*get_Blocking)(CSftpClient* c, VARIANT_BOOL* value);
    /* 80 */ int32_t (*put_Blocking)(CSftpClient* c, VARIANT_BOOL value);
    /* 81 */ int32_t (*Disconnect)(CSftpClient* c);
    /* 82 */ int32_t (*Connect)(CSftpClient* c, VARIANT host, VARIANT port);
    /* 83 */ int32_t (*get_Timeout)(CSftpClient* c, int16_t* value);
    /* 84 */ int32_t (*put_Timeout)(CSftpClient* c, int16_t value);
    /* 85 */ int32_t (*put_ReceiveTimeout)(CSftpClient* c, int32_t value);
    /* 86 */ int32_t (*put_SendTimeout)(CSftpClient* c, int32_t value);
    /* 87 */ int32_t (*get_Version)(CSftpClient* c, BSTR* value);
    /* 88 */ int32_t (*Reserved88)(CSftpClient* c, int32_t ignored);
    /* 89 */ int32_t (*get_Port)(CSftpClient* c, int32_t* value);
    /* 90 */ int32_t (*put_Port)(CSftpClient* c, int32_t value);
    /* 91 */ int32_t (*get_Hostname)(CSftpClient* c, BSTR* value);
    /* 92 */ int32_t (*put_Hostname)(CSftpClient* c, BSTR value);
    /* 93 */ int32_t (*get_LocalHostname)(CSftpClient* c, BSTR* value);
    /* 94 */ int32_t (*put_LocalHostname)(CSftpClient* c, BSTR value);
    /* 95 */ int32_t (*get_LocalAddress)(CSftpClient* c, BSTR* value);
    /* 96 */ int32_t (*put_LocalAddress)(CSftpClient* c, BSTR value);
    /* 97 */ int32_t (*ImportPrivateKey)(CSftpClient* c, const char* path, const char* passphrase);
    /* 98 */ int32_t (*PollReceive)(CSftpClient* c);
    /* 99 */ int32_t (*DrainSocket)(CSftpClient* c);
    /* 100 */ int32_t (*ClearBannerText)(CSftpClient* c);
    /* 101 */ int32_t (*ClearChannelOutput)(CSftpClient* c);
};

/* The host sees only the first member; the rest of the object is the component's own. */
struct CSftpClient {
    const CSftpClientVtbl* vtbl;
};

/* Creates a component that reports to events (kept, not copied; may be null). Null when out of
 * memory. */
VELUNOR_API CSftpClient* SFTP_Create(const SftpEvents* events);
/* Destroys a component; null is ignored. Called from inside one of the component's own
 * callbacks, the destruction waits until the outermost call into the component returns. */
VELUNOR_API void SFTP_Delete(CSftpClient* client);
/* Frees a status-line block the component posted to a host window; null is ignored. */
VELUNOR_API void SFTP_Delete_Msg(void* block);
/* Dispatches the calling thread's posted messages and due timers, waiting at most timeoutMs
 * milliseconds (0: do not wait) for the first; returns how many were dispatched. */
VELUNOR_API int32_t SFTP_PumpMessages(int32_t timeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* VELUNOR_SFTP_H */
