// Transfers from and to memory through a temporary file, and the offset, range, append and
// text variants of the transfers.
#include <string>

#include "client/CSftpClient.h"
#include "client/ErrorTable.h"
#include "platform/Ole.h"
#include "platform/TextCodec.h"

namespace velunor {

namespace {

uint64_t Offset(uint32_t low, uint32_t high) { return (uint64_t(high) << 32) | low; }

std::string Bytes(BSTR text) { return platform::Utf16ToUtf8(platform::BstrView(text)); }

}  // namespace

int32_t CSftpClient::NewTempFile(platform::FileHandle& file) {
    DeleteTempFile();
    std::string directory = platform::TemporaryDirectory();
    if (directory.empty()) return RaiseError(Err::TempFileFailed);
    file = platform::CreateTemporaryFile(directory, tempFilePath);
    if (file == platform::kInvalidFile) {
        tempFilePath.clear();
        return RaiseError(Err::TempFileFailed);
    }
    return 0;
}

int32_t CSftpClient::UploadData(const uint8_t* data, int32_t length, VARIANT remote) {
    if (int32_t code = CheckOperationStart()) return code;
    if (length < 0) return RaiseError(E_INVALIDARG);
    if (data == nullptr && length > 0) return RaiseError(E_POINTER);
    TakePathVariant(remotePath, remote);
    platform::FileHandle file = platform::kInvalidFile;
    if (int32_t code = NewTempFile(file)) return code;
    // A write that fails leaves a shorter file; the upload sends what it holds.
    constexpr int32_t kPiece = 16384;
    for (int32_t done = 0; done < length; done += kPiece) {
        int32_t n = length - done < kPiece ? length - done : kPiece;
        if (!platform::WriteFileBytes(file, data + done, size_t(n))) break;
    }
    platform::CloseFile(file);
    VARIANT local = platform::BstrVariant(platform::AllocBstrFromUtf8(tempFilePath));
    int32_t result = Upload(local, platform::MissingVariant());
    VariantClear(&local);
    return result;
}

int32_t CSftpClient::DownloadData(VARIANT remote) {
    if (int32_t code = CheckOperationStart()) return code;
    TakePathVariant(remotePath, remote);
    platform::FileHandle file = platform::kInvalidFile;
    if (int32_t code = NewTempFile(file)) return code;
    platform::CloseFile(file);
    ResultText.Reset();
    VARIANT local = platform::BstrVariant(platform::AllocBstrFromUtf8(tempFilePath));
    int32_t result = Download(local, platform::MissingVariant());
    VariantClear(&local);
    return result;
}

// The variants check the state before they touch the transfer block: a block reset under a
// running transfer would lose its local file and counters.

int32_t CSftpClient::UploadDataAt(const uint8_t* data, int32_t length, VARIANT remote, uint32_t offsetLow,
                                  uint32_t offsetHigh) {
    if (Resume) return RaiseError(Err::AppendWithResume);
    if (int32_t code = CheckOperationStart()) return code;
    ResetTransfer();
    transfer.startOffset = Offset(offsetLow, offsetHigh);
    transfer.sizeLimit = 1;
    appendMode = false;
    return UploadData(data, length, remote);
}

int32_t CSftpClient::DownloadDataRange(VARIANT remote, uint32_t offsetLow, uint32_t offsetHigh, int32_t size) {
    if (size == 0) return RaiseError(Err::SizeZero);
    if (size < 0) return RaiseError(Err::InvalidPropertyValue);
    if (Resume) return RaiseError(Err::AppendWithResume);
    if (int32_t code = CheckOperationStart()) return code;
    transfer.sizeLimit = size;
    transfer.startOffset = Offset(offsetLow, offsetHigh);
    return DownloadData(remote);
}

int32_t CSftpClient::DownloadDataRangeFresh(VARIANT remote, uint32_t offsetLow, uint32_t offsetHigh, int32_t size) {
    if (int32_t code = CheckOperationStart()) return code;
    ResetTransfer();
    return DownloadDataRange(remote, offsetLow, offsetHigh, size);
}

int32_t CSftpClient::UploadTextAt(BSTR text, VARIANT remote, uint32_t offsetLow, uint32_t offsetHigh) {
    std::string bytes = Bytes(text);
    if (bytes.size() > size_t(INT32_MAX)) return RaiseError(E_INVALIDARG);
    return UploadDataAt(reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()), remote, offsetLow,
                        offsetHigh);
}

int32_t CSftpClient::DownloadRange(VARIANT local, VARIANT remote, uint32_t offsetLow, uint32_t offsetHigh,
                                   int32_t size) {
    Resume = false;
    if (size == 0) return RaiseError(Err::SizeZero);
    if (size < 0) return RaiseError(Err::InvalidPropertyValue);
    if (int32_t code = CheckOperationStart()) return code;
    ResetTransfer();
    transfer.sizeLimit = size;
    transfer.startOffset = Offset(offsetLow, offsetHigh);
    return Download(local, remote);
}

int32_t CSftpClient::UploadAt(VARIANT local, VARIANT remote, uint32_t offsetLow, uint32_t offsetHigh) {
    Resume = false;
    if (int32_t code = CheckOperationStart()) return code;
    ResetTransfer();
    transfer.startOffset = Offset(offsetLow, offsetHigh);
    transfer.sizeLimit = 1;
    appendMode = false;
    return Upload(local, remote);
}

int32_t CSftpClient::AppendText(BSTR text, VARIANT remote) {
    if (Resume) return RaiseError(Err::AppendWithResume);
    appendMode = true;
    std::string bytes = Bytes(text);
    if (bytes.size() > size_t(INT32_MAX)) return RaiseError(E_INVALIDARG);
    return UploadData(reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()), remote);
}

int32_t CSftpClient::AppendFile(VARIANT local, VARIANT remote) {
    if (Resume) return RaiseError(Err::AppendWithResume);
    appendMode = true;
    return Upload(local, remote);
}

int32_t CSftpClient::DownloadDataFresh(VARIANT remote) {
    if (int32_t code = CheckOperationStart()) return code;
    ResetTransfer();
    return DownloadData(remote);
}

int32_t CSftpClient::UploadText(BSTR text, VARIANT remote) {
    appendMode = false;
    std::string bytes = Bytes(text);
    if (bytes.size() > size_t(INT32_MAX)) return RaiseError(E_INVALIDARG);
    if (int32_t code = CheckOperationStart()) return code;
    ResetTransfer();
    return UploadData(reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()), remote);
}

int32_t CSftpClient::DownloadFresh(VARIANT local, VARIANT remote) {
    if (int32_t code = CheckOperationStart()) return code;
    ResetTransfer();
    return Download(local, remote);
}

int32_t CSftpClient::UploadFresh(VARIANT local, VARIANT remote) {
    if (int32_t code = CheckOperationStart()) return code;
    ResetTransfer();
    appendMode = false;
    return Upload(local, remote);
}

}  // namespace velunor
