// Remote directory listing: OPENDIR, READDIR until the end, CLOSE.
#include <cstring>
#include <string>

#include "client/CSftpClient.h"
#include "client/ErrorTable.h"
#include "sftp/SftpProtocol.h"
#include "sftp/SftpReply.h"
#include "sftp/SftpTime.h"

namespace velunor {

namespace {

constexpr const char* kInvalidReaddir = "Server returned invalid response to FXP_READDIR";

// The layout of a find-data record.
constexpr size_t kRecordSize = 320;
constexpr size_t kAttributesAt = 0;
constexpr size_t kAccessTimeAt = 12;
constexpr size_t kWriteTimeAt = 20;
constexpr size_t kSizeHighAt = 28;
constexpr size_t kSizeLowAt = 32;
constexpr size_t kNameAt = 44;
constexpr size_t kNameBytes = 259;
constexpr size_t kAltNameAt = 304;
constexpr size_t kAltNameBytes = 13;
constexpr uint32_t kDirectoryAttribute = 0x10;

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

void PutLe64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

// The longest prefix of at most limit bytes that does not end inside a UTF-8 character.
size_t Utf8Prefix(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text.size();
    size_t n = limit;
    while (n > 0 && (uint8_t(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

}  // namespace

int32_t CSftpClient::StartListing(int32_t mode, const VARIANT& remote) {
    listMode = mode;
    if (int32_t code = CheckOperationStart()) return code;
    TakePathVariant(remotePath, remote);
    ResetTransfer();
    BeginOperation(StateExecuting);
    ResultText.Reset();
    listingText.clear();
    SendOpenDirectory();
    return WaitForCompletion();
}

int32_t CSftpClient::ListDirectory(VARIANT remote) { return StartListing(2, remote); }
int32_t CSftpClient::ListFindData(VARIANT remote) { return StartListing(1, remote); }
int32_t CSftpClient::ListNames(VARIANT remote) { return StartListing(0, remote); }
int32_t CSftpClient::ListCheck(VARIANT remote) { return StartListing(-1, remote); }

uint64_t CSftpClient::EntryFileTime(uint32_t seconds) const {
    if (seconds == 0) return 0;
    int64_t local = seconds;
    if (UtcTimes == 0) {
        SYSTEMTIME fields = UtcFieldsOf(seconds);
        bool daylight = DaylightInEffect(timeZone, fields.wMonth - 1, fields.wDay);
        local -= daylight ? daylightBiasSeconds : standardBiasSeconds;
    }
    // Before 1970 the calendar split fails; the time is then left zero.
    return local < 0 ? 0 : FileTimeOf(uint64_t(local));
}

void CSftpClient::AppendFindData(std::string& records, const std::string& name) {
    uint8_t record[kRecordSize] = {};
    PutLe32(record + kAttributesAt, IsDirectoryMode(transfer.permissions) ? kDirectoryAttribute : 0);
    PutLe64(record + kAccessTimeAt, EntryFileTime(transfer.accessTime));
    PutLe64(record + kWriteTimeAt, EntryFileTime(transfer.modifyTime));
    PutLe32(record + kSizeHighAt, uint32_t(transfer.fileSize >> 32));
    PutLe32(record + kSizeLowAt, uint32_t(transfer.fileSize));
    std::memcpy(record + kNameAt, name.data(), Utf8Prefix(name, kNameBytes));
    std::memcpy(record + kAltNameAt, name.data(), Utf8Prefix(name, kAltNameBytes));
    records.append(reinterpret_cast<const char*>(record), kRecordSize);
}

void CSftpClient::ReadDirectoryStep(SftpReply* reply) {
    if (abortRequested) {
        // The READDIR just answered was the last request outstanding; the abort is reported
        // when the CLOSE is answered, so the component is idle by the time the host hears of it.
        ResultText = CWideString::FromUtf8(listingText);
        SendClose();
        return;
    }
    if (reply == nullptr) {
        ResultText.Reset();
        listingText.clear();
        SendReadDirectory();
        return;
    }

    if (reply->type == SftpType::Name) {
        if (!CheckResponseId(*reply)) return;
        CWireReader& in = reply->in;
        uint32_t count = in.Uint32();
        std::string batch;
        std::string records;
        // The count is the server's word; entries are read only while the packet holds them.
        for (uint32_t i = 0; i < count && in.Ok(); ++i) {
            auto nameBytes = in.String();
            auto longBytes = in.String();
            DecodeAttributes(*reply);
            if (!in.Ok()) break;
            std::string name(reinterpret_cast<const char*>(nameBytes.data()), nameBytes.size());
            std::string longName(reinterpret_cast<const char*>(longBytes.data()), longBytes.size());
            if (listMode == 0) {
                batch += name;
                if (IsDirectoryMode(transfer.permissions) && name.find('/') == std::string::npos) batch += '/';
            } else {
                batch += longName;
            }
            batch += "\r\n";
            if (listMode == 1) AppendFindData(records, name);
        }
        if (!in.Ok()) {
            FailOperation(Err::InvalidReadResponse, kInvalidReaddir);
            return;
        }
        if (count != 0) {
            if (listMode == 1 && events != nullptr && events->OnListData != nullptr)
                FireGuarded([&] { events->OnListData(this, uint32_t(records.size() / kRecordSize), records.data()); });
            listingText += batch;
            if (listMode != 1 && events != nullptr && events->OnText != nullptr) {
                CWideString text = CWideString::FromUtf8(batch);
                events->OnText(this, text.Narrow());
            }
            SendReadDirectory();
            return;
        }
        ResultText = CWideString::FromUtf8(listingText);
        SendClose();
        return;
    }

    if (reply->type == SftpType::Status) {
        // End of file, or an OK status where entries were due: the listing is over either way,
        // and the handle is closed before the outcome is reported.
        if (reply->status != StatusEof) {
            closeResult = Err::ServerError;
            closeResultText = std::string("Server error: ") + StatusText(reply->status);
        }
        ResultText = CWideString::FromUtf8(listingText);
        SendClose();
        return;
    }

    ResultText = CWideString::FromUtf8(listingText);
    FailOperation(Err::InvalidReadResponse, kInvalidReaddir);
}

}  // namespace velunor
