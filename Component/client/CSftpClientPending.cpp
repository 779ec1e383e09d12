// Slots whose operations are not built yet: each says so with E_NOTIMPL rather than pretend.
#include "client/CSftpClient.h"

namespace velunor {

int32_t CSftpClient::MakeDirectory(VARIANT) { return NotBuilt(); }
int32_t CSftpClient::RemoveDirectory(VARIANT) { return NotBuilt(); }
int32_t CSftpClient::DeleteFile(VARIANT) { return NotBuilt(); }
int32_t CSftpClient::ResolvePath(VARIANT) { return NotBuilt(); }
int32_t CSftpClient::ListDirectory(VARIANT) { return NotBuilt(); }
int32_t CSftpClient::GetAttributes(VARIANT, VARIANT_BOOL) { return NotBuilt(); }
int32_t CSftpClient::Upload(VARIANT, VARIANT) { return NotBuilt(); }
int32_t CSftpClient::UploadData(const uint8_t*, int32_t, VARIANT) { return NotBuilt(); }
int32_t CSftpClient::Download(VARIANT, VARIANT) { return NotBuilt(); }
int32_t CSftpClient::DownloadData(VARIANT) { return NotBuilt(); }
int32_t CSftpClient::UploadDataAt(const uint8_t*, int32_t, VARIANT, uint32_t, uint32_t) { return NotBuilt(); }
int32_t CSftpClient::DownloadDataRange(VARIANT, uint32_t, uint32_t, int32_t) { return NotBuilt(); }
int32_t CSftpClient::DownloadDataRangeFresh(VARIANT, uint32_t, uint32_t, int32_t) { return NotBuilt(); }
int32_t CSftpClient::UploadTextAt(BSTR, VARIANT, uint32_t, uint32_t) { return NotBuilt(); }
int32_t CSftpClient::DownloadRange(VARIANT, VARIANT, uint32_t, uint32_t, int32_t) { return NotBuilt(); }
int32_t CSftpClient::UploadAt(VARIANT, VARIANT, uint32_t, uint32_t) { return NotBuilt(); }
int32_t CSftpClient::CloseRemoteHandle() { return NotBuilt(); }
int32_t CSftpClient::AppendText(BSTR, VARIANT) { return NotBuilt(); }
int32_t CSftpClient::AppendFile(VARIANT, VARIANT) { return NotBuilt(); }
int32_t CSftpClient::ListFindData(VARIANT) { return NotBuilt(); }
int32_t CSftpClient::ListNames(VARIANT) { return NotBuilt(); }
int32_t CSftpClient::DownloadDataFresh(VARIANT) { return NotBuilt(); }
int32_t CSftpClient::UploadText(BSTR, VARIANT) { return NotBuilt(); }
int32_t CSftpClient::SetAttributesShort(VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT) {
    return NotBuilt();
}
int32_t CSftpClient::SetAttributes(VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT) {
    return NotBuilt();
}
int32_t CSftpClient::ListCheck(VARIANT) { return NotBuilt(); }
int32_t CSftpClient::Rename(BSTR, VARIANT) { return NotBuilt(); }
int32_t CSftpClient::DownloadFresh(VARIANT, VARIANT) { return NotBuilt(); }
int32_t CSftpClient::UploadFresh(VARIANT, VARIANT) { return NotBuilt(); }
int32_t CSftpClient::ImportPrivateKey(const char*, const char*) { return NotBuilt(); }


}  // namespace velunor

namespace velunor {

void CSftpClient::OnSftpPacket(CSftpPacket&) {}

}  // namespace velunor
