// One-request operations on remote paths: directories, removal, rename, path resolution and
// attributes.
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>

#include "client/CSftpClient.h"
#include "client/ErrorTable.h"
#include "sftp/SftpProtocol.h"
#include "sftp/SftpReply.h"
#include "sftp/SftpTime.h"
#include "ssh/CSftpPacketSink.h"

namespace velunor {

namespace {

constexpr const char* kInvalidRealpath = "Server returned invalid response to FXP_REALPATH";
constexpr const char* kInvalidStat = "Server returned invalid response to FXP_LSTAT";
constexpr double kMaxOleDate = 2958465.0;
constexpr double kMinOleDate = -657434.0;

bool ToInt32(const VARIANT& v, int32_t& out) {
    VARIANT converted;
    VariantInit(&converted);
    if (VariantChangeType(&converted, &v, 0, VT_I4) != S_OK) return false;
    out = converted.u.lVal;
    return true;
}

// The OLE date of a time argument: VT_DATE by value or by reference; 0 when it is neither.
double DateOf(const VARIANT& v) {
    if (v.vt == VT_DATE) return v.u.date;
    if (v.vt == (VT_DATE | VT_BYREF) && v.u.pdate != nullptr) return *v.u.pdate;
    return 0;
}

}  // namespace

int32_t CSftpClient::StartCommand(const VARIANT& remote, void (CSftpClient::*send)()) {
    if (int32_t code = CheckOperationStart()) return code;
    TakePathVariant(remotePath, remote);
    ResetTransfer();
    BeginOperation(StateExecuting);
    (this->*send)();
    return WaitForCompletion();
}

int32_t CSftpClient::MakeDirectory(VARIANT remote) { return StartCommand(remote, &CSftpClient::SendMakeDirectory); }
int32_t CSftpClient::RemoveDirectory(VARIANT remote) {
    return StartCommand(remote, &CSftpClient::SendRemoveDirectory);
}
int32_t CSftpClient::DeleteFile(VARIANT remote) { return StartCommand(remote, &CSftpClient::SendRemove); }

int32_t CSftpClient::ResolvePath(VARIANT remote) {
    if (int32_t code = CheckOperationStart()) return code;
    TakePathVariant(remotePath, remote);
    ResetTransfer();
    BeginOperation(StateExecuting);
    ResultText.Reset();
    SendRealPath();
    return WaitForCompletion();
}

int32_t CSftpClient::Rename(BSTR newPath, VARIANT remote) {
    std::string target = CWideString(newPath).ToUtf8();
    if (int32_t code = CheckOperationStart()) return code;
    TakePathVariant(remotePath, remote);
    ResetTransfer();
    BeginOperation(StateExecuting);
    SendRename(remotePath.ToUtf8(), target);
    return WaitForCompletion();
}

int32_t CSftpClient::GetAttributes(VARIANT remote, VARIANT_BOOL follow) {
    if (int32_t code = CheckOperationStart()) return code;
    TakePathVariant(remotePath, remote);
    ResetTransfer();
    BeginOperation(StateExecuting);
    ResultText.Reset();
    SendAttributeQuery(follow != 0);
    return WaitForCompletion();
}

void CSftpClient::OnRealPathReply(SftpReply& reply) {
    if (reply.type != SftpType::Name) {
        FailOperation(Err::InvalidReadResponse, kInvalidRealpath);
        return;
    }
    if (!CheckResponseId(reply)) return;
    uint32_t count = reply.in.Uint32();
    std::string resolved;
    if (count != 0) {
        auto name = reply.in.String();
        resolved.assign(reinterpret_cast<const char*>(name.data()), name.size());
    } else {
        resolved = remotePath.ToUtf8();
    }
    if (!reply.in.Ok()) {
        FailOperation(Err::InvalidReadResponse, kInvalidRealpath);
        return;
    }
    SetState(StateIdle);
    ResultText = CWideString::FromUtf8(resolved);
    if (events != nullptr && events->OnText != nullptr) {
        CWideString text = ResultText;
        events->OnText(this, text.Narrow());
    }
    ReportResult(0, "");
}

double CSftpClient::OleDateOf(uint32_t seconds) const {
    SYSTEMTIME fields = UtcFieldsOf(seconds);
    double date = 0;
    if (!SystemTimeToVariantTime(&fields, &date)) return 0;
    if (UtcTimes == 0)
        date -= DaylightInEffect(timeZone, fields.wMonth - 1, fields.wDay) ? daylightBiasDays : standardBiasDays;
    return date;
}

void CSftpClient::OnAttributesReply(SftpReply& reply) {
    if (reply.type != SftpType::Attrs) {
        FailOperation(Err::InvalidReadResponse, kInvalidStat);
        return;
    }
    if (!CheckResponseId(reply)) return;
    DecodeAttributes(reply);
    if (!reply.in.Ok()) {
        FailOperation(Err::InvalidReadResponse, kInvalidStat);
        return;
    }
    double accessDate = OleDateOf(transfer.accessTime);
    double modifyDate = OleDateOf(transfer.modifyTime);
    char text[256];
    std::snprintf(text, sizeof(text),
                  "Size %" PRId64 "\r\nUid %u\r\nGid %u\r\nPermissions %X\r\nCreationDate %X\r\nModifyDate %X\r\n",
                  int64_t(transfer.fileSize), transfer.uid, transfer.gid, transfer.permissions, transfer.accessTime,
                  transfer.modifyTime);
    ResultText = CWideString(text);
    if (events != nullptr && events->OnFileInfo != nullptr)
        events->OnFileInfo(this, uint32_t(transfer.fileSize), uint32_t(transfer.fileSize >> 32), transfer.uid,
                           transfer.gid, transfer.permissions, accessDate, modifyDate);
    SetState(StateIdle);
    ReportResult(0, "");
}

// Seconds since 1970 UTC of a date the host gave in local time (or UTC with UtcTimes 1); false
// for a date outside what the conversion represents (before 1970, beyond 32 bits).
bool CSftpClient::SecondsOfOleDate(double date, uint32_t& seconds) const {
    if (date > kMaxOleDate || date < kMinOleDate) return false;
    SYSTEMTIME fields{};
    if (!VariantTimeToSystemTime(date, &fields)) return false;
    // The fields read as local standard time.
    int64_t value = SecondsOfFields(fields) + standardBiasSeconds;
    if (value < 0) return false;
    if (UtcTimes == 1) {
        SYSTEMTIME now = UtcFieldsOf(uint64_t(std::time(nullptr)));
        value -= DaylightInEffect(timeZone, now.wMonth - 1, now.wDay) ? daylightBiasSeconds : standardBiasSeconds;
    }
    // A wall-clock time in daylight time is that much earlier in UTC than read as standard time.
    if (DaylightInEffect(timeZone, fields.wMonth - 1, fields.wDay)) value -= standardBiasSeconds - daylightBiasSeconds;
    if (value < 0 || value > int64_t(UINT32_MAX)) return false;
    seconds = uint32_t(value);
    return true;
}

int32_t CSftpClient::SetAttributesShort(VARIANT remote, VARIANT sizeLow, VARIANT uid, VARIANT gid,
                                        VARIANT permissions, VARIANT accessTime, VARIANT modifyTime) {
    VARIANT missing;
    VariantInit(&missing);
    missing.vt = VT_ERROR;
    return SetAttributes(remote, sizeLow, missing, uid, gid, permissions, accessTime, modifyTime);
}

int32_t CSftpClient::SetAttributes(VARIANT remote, VARIANT sizeLow, VARIANT sizeHigh, VARIANT uid, VARIANT gid,
                                   VARIANT permissions, VARIANT accessTime, VARIANT modifyTime) {
    if (int32_t code = CheckOperationStart()) return code;
    TakePathVariant(remotePath, remote);

    uint32_t flags = 0;
    uint64_t size = 0;
    int32_t low = 0, high = 0;
    if (ToInt32(sizeLow, low)) {
        flags |= AttrSize;
        size = uint64_t(int64_t(low));
        if (ToInt32(sizeHigh, high)) size = (uint64_t(uint32_t(high)) << 32) | uint32_t(low);
    }
    int32_t uidValue = 0, gidValue = 0, mode = 0;
    bool haveUid = ToInt32(uid, uidValue);
    bool haveGid = ToInt32(gid, gidValue);
    if (haveUid || haveGid) flags |= AttrUidGid;
    if (!haveUid) uidValue = 0;
    if (!haveGid) gidValue = 0;
    if (ToInt32(permissions, mode)) flags |= AttrPermissions;
    uint32_t atime = 0, mtime = 0;
    double accessDate = DateOf(accessTime), modifyDate = DateOf(modifyTime);
    if (accessDate != 0 && SecondsOfOleDate(accessDate, atime)) flags |= AttrTimes;
    if (modifyDate != 0 && SecondsOfOleDate(modifyDate, mtime)) flags |= AttrTimes;

    if (flags == 0) {
        ReportResult(0, "");
        return 0;
    }
    ResetTransfer();
    auto packet = NewRequest(uint8_t(SftpType::Setstat));
    std::string path = remotePath.ToUtf8();
    packet->body.PutString(path.data(), uint32_t(path.size()));
    packet->body.PutUint32(flags);
    if (flags & AttrSize) packet->body.PutUint64(size);
    if (flags & AttrUidGid) {
        packet->body.PutUint32(uint32_t(uidValue));
        packet->body.PutUint32(uint32_t(gidValue));
    }
    if (flags & AttrPermissions) packet->body.PutUint32(uint32_t(mode));
    if (flags & AttrTimes) {
        packet->body.PutUint32(atime);
        packet->body.PutUint32(mtime);
    }
    BeginOperation(StateExecuting);
    SendRequest(std::move(packet), OpState::SetStat);
    return WaitForCompletion();
}

void CSftpClient::OnSetStatReply(SftpReply& reply) {
    SetState(StateIdle);
    if (reply.type == SftpType::Status) {
        ReportResult(0, "");
        return;
    }
    ReportResult(Err::SetAttributesFailed, ErrorMessage(Err::SetAttributesFailed));
}

}  // namespace velunor
