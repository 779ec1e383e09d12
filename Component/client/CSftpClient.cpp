#include "client/CSftpClient.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_set>

#include "client/ErrorTable.h"
#include "platform/Sockets.h"
#include "platform/SystemErrors.h"

namespace velunor {

namespace {

// Every live component, so a slot handed a stale or foreign pointer refuses it without reading
// through it.
std::mutex liveLock;
std::unordered_set<const ::CSftpClient*>& Live() {
    static auto* live = new std::unordered_set<const ::CSftpClient*>();
    return *live;
}
// 1/24 as the time conversions have always used it: a day's hour, slightly shortened.
constexpr double kHourInDays = 0.04166666666424135;

}  // namespace

CSftpClient* CSftpClient::Create(const SftpEvents* events) {
    try {
        auto* client = new (std::nothrow) CSftpClient(events);
        if (client == nullptr || !client->ioBuffer || !client->convertBuffer || !client->privateKey ||
            !client->nameScratch) {
            delete client;
            return nullptr;
        }
        std::lock_guard<std::mutex> guard(liveLock);
        Live().insert(client);
        return client;
    } catch (...) {
        return nullptr;
    }
}

CSftpClient::CSftpClient(const SftpEvents* hostEvents) {
    // The component never seeds rand: that generator belongs to the host.
    uint32_t high = uint32_t(std::rand()) & 0x7FFF;
    uint32_t low = uint32_t(std::rand()) & 0x7FFF;
    requestId = (high << 16) + low;
    VariantInit(&UserData);

    privateKey = std::unique_ptr<CByteBuffer>(new (std::nothrow) CByteBuffer());

    std::string hostName = platform::LocalHostName();
    LocalHostname = CWideString::FromUtf8(hostName);
    uint32_t address = platform::AddressNone;
    if (!hostName.empty() && platform::LookupHostIPv4(hostName.c_str(), &address) == 0)
        LocalAddress = CWideString::FromUtf8(platform::FormatDottedAddress(address));

    AllocateTransferBuffers(DefaultBufferSize);

    timeZone = platform::ReadTimeZoneInformation();
    int32_t standard = timeZone.Bias + timeZone.StandardBias;
    int32_t daylight = timeZone.Bias + timeZone.DaylightBias;
    standardBiasDays = double(standard / 60) * kHourInDays;
    daylightBiasDays = double(daylight / 60) * kHourInDays;
    standardBiasSeconds = standard * 60;
    daylightBiasSeconds = daylight * 60;

    nameScratch = std::unique_ptr<CByteBuffer>(new (std::nothrow) CByteBuffer());
    events = hostEvents;
    vtbl = nullptr;  // set by the table's owner right after construction
}

CSftpClient::~CSftpClient() {
    {
        std::lock_guard<std::mutex> guard(liveLock);
        Live().erase(this);
    }
    nameScratch.reset();
    session.reset();
    platform::CloseFile(transfer.localFile);
    transfer.Reset();
    if (!tempFilePath.empty()) platform::DeleteLocalFile(tempFilePath);
    tempFilePath.clear();
    privateKey.reset();
    ioBuffer.reset();
    convertBuffer.reset();
    VariantClear(&UserData);
}

bool CSftpClient::IsComponent(const ::CSftpClient* p) {
    if (p == nullptr) return false;
    std::lock_guard<std::mutex> guard(liveLock);
    return Live().count(p) != 0;
}

bool CSftpClient::AllocateTransferBuffers(int32_t effectiveSize) {
    size_t m = size_t(effectiveSize > DefaultBufferSize ? effectiveSize : DefaultBufferSize);
    std::unique_ptr<uint8_t[]> io(new (std::nothrow) uint8_t[m + IoSlack]);
    std::unique_ptr<uint8_t[]> convert(new (std::nothrow) uint8_t[2 * m + IoSlack]);
    if (!io || !convert) return false;
    ioBuffer = std::move(io);
    ioBufferSize = m + IoSlack;
    convertBuffer = std::move(convert);
    convertBufferSize = 2 * m + IoSlack;
    return true;
}

int32_t CSftpClient::SetErrorText(int32_t code, const char* text) {
    lastErrorText = CWideString(text != nullptr ? text : "");
    return code;
}

int32_t CSftpClient::RaiseError(int32_t code) {
    if (const char* message = ErrorMessage(code)) {
        lastErrorText = CWideString(message);
        return code;
    }
    if (const char* system = platform::SystemErrorText(code)) {
        // The text ends before its first control byte (its CR LF) or any byte of 0x80 and up.
        std::string cut;
        for (const char* p = system; static_cast<signed char>(*p) >= 32; ++p) cut.push_back(*p);
        lastErrorText = CWideString(cut.c_str());
        return code;
    }
    lastErrorText = CWideString("You system did not provide string representation of the error.");
    return code;
}

bool CSftpClient::SetState(int32_t newState) {
    if (newState == state) return true;
    int32_t previous = state;
    state = newState;
    if (events != nullptr && events->OnStateChange != nullptr) events->OnStateChange(this, previous);
    return true;
}

bool CSftpClient::ReportResult(int32_t code, const char* text) {
    operationPending = false;
    lastError = code;
    CWideString wide(text != nullptr ? text : "");
    lastErrorText = wide;
    if (events != nullptr && events->OnResult != nullptr) events->OnResult(this, code, wide.Narrow());
    return true;
}

void CSftpClient::TakePathVariant(CWideString& field, const VARIANT& path) {
    if (path.vt == VT_BSTR) {
        field = CWideString::FromBstr(path.u.bstrVal);
    } else if (path.vt == (VT_BSTR | VT_BYREF) && path.u.pbstrVal != nullptr) {
        field = CWideString::FromBstr(*path.u.pbstrVal);
    }
}

}  // namespace velunor
