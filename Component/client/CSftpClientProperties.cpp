#include <cstring>

#include "client/CSftpClient.h"
#include "client/ErrorTable.h"
#include "platform/Ole.h"
#include "platform/TextCodec.h"

namespace velunor {

namespace {

int32_t GetText(const CWideString& field, BSTR* out) {
    if (out == nullptr) return E_POINTER;
    BSTR copy = field.Copy();
    if (copy == nullptr) return Err::NotEnoughMemory;
    *out = copy;
    return 0;
}

int32_t PutText(CWideString& field, BSTR value) {
    field.AssignUpToNul(value);
    return 0;
}

template <typename T, typename F>
int32_t GetValue(const F& field, T* out) {
    if (out == nullptr) return E_POINTER;
    *out = T(field);
    return 0;
}

int32_t GetBool(bool field, VARIANT_BOOL* out) {
    if (out == nullptr) return E_POINTER;
    *out = field ? VARIANT_TRUE : VARIANT_FALSE;
    return 0;
}

}  // namespace

// ---- texts ----
int32_t CSftpClient::get_ProxyPassword(BSTR* v) { return GetText(ProxyPassword, v); }
int32_t CSftpClient::put_ProxyPassword(BSTR v) { return PutText(ProxyPassword, v); }
int32_t CSftpClient::get_ProxyUsername(BSTR* v) { return GetText(ProxyUsername, v); }
int32_t CSftpClient::put_ProxyUsername(BSTR v) { return PutText(ProxyUsername, v); }
int32_t CSftpClient::get_ProxyHost(BSTR* v) { return GetText(ProxyHost, v); }
int32_t CSftpClient::put_ProxyHost(BSTR v) { return PutText(ProxyHost, v); }
int32_t CSftpClient::get_ServerStatusText(BSTR* v) { return GetText(ServerStatusText, v); }
int32_t CSftpClient::get_ServerIdentification(BSTR* v) { return GetText(ServerIdentification, v); }
int32_t CSftpClient::get_ResultText(BSTR* v) { return GetText(ResultText, v); }
int32_t CSftpClient::get_UserText(BSTR* v) { return GetText(UserText, v); }
int32_t CSftpClient::put_UserText(BSTR v) { return PutText(UserText, v); }
int32_t CSftpClient::get_Password(BSTR* v) { return GetText(Password, v); }
int32_t CSftpClient::put_Password(BSTR v) { return PutText(Password, v); }
int32_t CSftpClient::get_Username(BSTR* v) { return GetText(Username, v); }
int32_t CSftpClient::put_Username(BSTR v) { return PutText(Username, v); }
int32_t CSftpClient::get_LocalHostname(BSTR* v) { return GetText(LocalHostname, v); }
int32_t CSftpClient::put_LocalHostname(BSTR v) { return PutText(LocalHostname, v); }
int32_t CSftpClient::get_LocalAddress(BSTR* v) { return GetText(LocalAddress, v); }
int32_t CSftpClient::put_LocalAddress(BSTR v) { return PutText(LocalAddress, v); }
int32_t CSftpClient::get_Hostname(BSTR* v) { return GetText(Hostname, v); }

int32_t CSftpClient::put_Hostname(BSTR v) {
    if (state != StateDisconnected) return RaiseError(Err::CannotChangeHostname);
    return PutText(Hostname, v);
}

// The remote path property returns the value last put; the local one returns the path of the
// last operation or the value last put, whichever came later.
int32_t CSftpClient::get_RemotePath(BSTR* v) { return GetText(RemotePath, v); }
int32_t CSftpClient::put_RemotePath(BSTR v) {
    PutText(RemotePath, v);
    remotePath = RemotePath;
    return 0;
}
int32_t CSftpClient::get_LocalPath(BSTR* v) { return GetText(localPath, v); }
int32_t CSftpClient::put_LocalPath(BSTR v) {
    PutText(LocalPath, v);
    localPath = LocalPath;
    return 0;
}

// ---- numbers and flags ----
int32_t CSftpClient::get_UtcTimes(int32_t* v) { return GetValue(UtcTimes, v); }
int32_t CSftpClient::put_UtcTimes(int32_t v) { UtcTimes = v; return 0; }
int32_t CSftpClient::get_CompressionLevel(int16_t* v) { return GetValue(CompressionLevel, v); }

int32_t CSftpClient::put_CompressionLevel(int16_t v) {
    if (state != StateDisconnected) return RaiseError(Err::CannotSetCompression);
    if (v < 0 || v > 9) return RaiseError(Err::CompressionOutOfRange);
    CompressionLevel = v;
    return 0;
}

int32_t CSftpClient::get_ProxyPort(int32_t* v) { return GetValue(ProxyPort, v); }
int32_t CSftpClient::put_ProxyPort(int32_t v) { ProxyPort = v; return 0; }
int32_t CSftpClient::get_ProxyType(int32_t* v) { return GetValue(ProxyType, v); }
int32_t CSftpClient::put_ProxyType(int32_t v) { ProxyType = v; return 0; }
int32_t CSftpClient::get_ServerStatusCode(int16_t* v) { return GetValue(ServerStatusCode, v); }
int32_t CSftpClient::get_BufferSize(int32_t* v) { return GetValue(BufferSize, v); }

int32_t CSftpClient::put_BufferSize(int32_t v) {
    // A running transfer reads and writes these buffers, and a negative size means nothing.
    if (state == StateReceiving || state == StateSending) return RaiseError(Err::CannotChangeBufferSize);
    if (v < 0) return RaiseError(Err::InvalidBufferSize);
    int32_t effective = v == 0 ? DefaultBufferSize : v;
    // The old buffers stay until the new ones exist, so a refused size changes nothing.
    if (!AllocateTransferBuffers(effective)) return RaiseError(Err::NotEnoughMemory);
    BufferSize = v;
    bufferSize = effective;
    return 0;
}

int32_t CSftpClient::get_LastError(int16_t* v) {
    if (v == nullptr) return E_POINTER;
    *v = int16_t(uint16_t(uint32_t(lastError) & 0xFFFF));
    return 0;
}

int32_t CSftpClient::get_AuthenticationType(int32_t* v) { return GetValue(AuthenticationType, v); }
int32_t CSftpClient::put_AuthenticationType(int32_t v) { AuthenticationType = v; return 0; }
int32_t CSftpClient::get_TransferMode(int32_t* v) { return GetValue(TransferMode, v); }
int32_t CSftpClient::put_TransferMode(int32_t v) { TransferMode = v; return 0; }
int32_t CSftpClient::get_Resume(VARIANT_BOOL* v) { return GetBool(Resume, v); }
int32_t CSftpClient::put_Resume(VARIANT_BOOL v) { Resume = v != 0; return 0; }
int32_t CSftpClient::get_CipherType(int32_t* v) { return GetValue(CipherType, v); }
int32_t CSftpClient::put_CipherType(int32_t v) { CipherType = v; return 0; }
int32_t CSftpClient::get_State(int32_t* v) { return GetValue(state, v); }
int32_t CSftpClient::get_Blocking(VARIANT_BOOL* v) { return GetBool(Blocking, v); }
int32_t CSftpClient::put_Blocking(VARIANT_BOOL v) { Blocking = v != 0; return 0; }
int32_t CSftpClient::get_Timeout(int16_t* v) { return GetValue(Timeout, v); }
int32_t CSftpClient::put_Timeout(int16_t v) { Timeout = v; return 0; }
int32_t CSftpClient::put_ReceiveTimeout(int32_t v) { ReceiveTimeout = v; return 0; }
int32_t CSftpClient::put_SendTimeout(int32_t v) { SendTimeout = v; return 0; }
int32_t CSftpClient::get_Port(int32_t* v) { return GetValue(Port, v); }

int32_t CSftpClient::put_Port(int32_t v) {
    if (state != StateDisconnected) return RaiseError(Err::CannotChangePort);
    Port = v;
    return 0;
}

// ---- texts made on request ----
int32_t CSftpClient::get_Version(BSTR* v) {
    if (v == nullptr) return E_POINTER;
    *v = platform::AllocBstrFromUtf8("2.2.0.7 (DLL)");
    return *v != nullptr ? 0 : Err::NotEnoughMemory;
}

int32_t CSftpClient::GetStateText(VARIANT stateNumber, BSTR* text) {
    if (text == nullptr) return E_POINTER;
    int32_t number = state;
    if (stateNumber.vt == VT_I4) {
        number = stateNumber.u.lVal;
    } else {
        VARIANT converted;
        VariantInit(&converted);
        if (VariantChangeType(&converted, &stateNumber, 0, VT_I4) == S_OK) number = converted.u.lVal;
    }
    *text = platform::AllocBstrFromUtf8(StateText(number));
    return *text != nullptr ? 0 : Err::NotEnoughMemory;
}

int32_t CSftpClient::GetErrorText(int16_t code, BSTR* text) {
    if (text == nullptr) return E_POINTER;
    const char* message = ErrorMessage(int32_t(code));
    *text = message != nullptr ? platform::AllocBstrFromUtf8(message) : nullptr;
    return 0;
}

int32_t CSftpClient::Abort() {
    abortRequested = true;
    return 0;
}

// ---- host values ----
int32_t CSftpClient::put_UserData(VARIANT value) {
    // VariantCopy releases what was stored before; a failed copy keeps the old value.
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = VariantCopy(&copy, &value);
    if (hr != S_OK) return RaiseError(Err::NotEnoughMemory);
    VariantClear(&UserData);
    UserData = copy;
    return 0;
}

int32_t CSftpClient::get_UserData(VARIANT* value) {
    if (value == nullptr) return 0;
    VariantInit(value);
    if (VariantCopy(value, &UserData) != S_OK) return RaiseError(Err::NotEnoughMemory);
    return 0;
}

int32_t CSftpClient::get_PrivateKey(VARIANT* value) {
    if (value == nullptr) return 0;
    // The caller's previous content is not released: a host may hand in an uninitialised VARIANT.
    if (!privateKey || privateKey->Length() == 0) {
        std::memset(value, 0, sizeof(*value));
        value->vt = VT_ERROR;
        return 0;
    }
    auto bytes = privateKey->Bytes();
    if (privateKeyIsText) {
        BSTR text = platform::AllocBstrFromUtf8(
            std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        if (text == nullptr) return RaiseError(Err::NotEnoughMemory);
        std::memset(value, 0, sizeof(*value));
        value->vt = VT_BSTR;
        value->u.bstrVal = text;
        return 0;
    }
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, uint32_t(bytes.size()));
    if (array == nullptr) return RaiseError(Err::NotEnoughMemory);
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    std::memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array);
    std::memset(value, 0, sizeof(*value));
    value->vt = VT_ARRAY | VT_UI1;
    value->u.parray = array;
    return 0;
}

int32_t CSftpClient::put_PrivateKey(VARIANT value) {
    auto replace = [this](const void* data, size_t n) -> int32_t {
        // A key beyond what one buffer append takes would be cut silently; refuse it whole.
        if (n > CByteBuffer::MaxReserve) return RaiseError(Err::KeyImportFailed);
        auto fresh = std::unique_ptr<CByteBuffer>(new (std::nothrow) CByteBuffer());
        if (!fresh) return RaiseError(Err::NotEnoughMemory);
        fresh->Append(data, uint32_t(n));
        privateKey = std::move(fresh);
        return 0;
    };
    switch (value.vt) {
        case VT_EMPTY:
        case VT_ERROR:
        case VT_UNKNOWN:
            return replace(nullptr, 0);
        case VT_BSTR:
        case VT_BSTR | VT_BYREF: {
            BSTR text = value.vt == VT_BSTR ? value.u.bstrVal
                                            : (value.u.pbstrVal != nullptr ? *value.u.pbstrVal : nullptr);
            if (text == nullptr) return replace(nullptr, 0);
            std::string narrow = platform::Utf16ToUtf8(platform::BstrView(text));
            return replace(narrow.data(), narrow.size());
        }
        case VT_ARRAY | VT_UI1:
        case VT_ARRAY | VT_UI1 | VT_BYREF: {
            SAFEARRAY* array = value.vt == (VT_ARRAY | VT_UI1)
                                   ? value.u.parray
                                   : (value.u.pparray != nullptr ? *value.u.pparray : nullptr);
            if (array == nullptr) return replace(nullptr, 0);
            if (array->cDims != 1) return RaiseError(Err::UnknownKeyType);
            uint64_t n = uint64_t(array->rgsabound[0].cElements) * array->cbElements;
            void* data = nullptr;
            if (SafeArrayAccessData(array, &data) != S_OK) return RaiseError(Err::UnknownKeyType);
            int32_t result = n > CByteBuffer::MaxReserve ? RaiseError(Err::KeyImportFailed)
                                                         : replace(data, size_t(n));
            SafeArrayUnaccessData(array);
            if (result == 0) privateKeyIsText = 0;
            return result;
        }
        default:
            return RaiseError(Err::UnknownKeyType);
    }
}

}  // namespace velunor
